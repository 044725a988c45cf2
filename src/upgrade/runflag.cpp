#include "upgrade/runflag.h"

#include <QThread>

namespace lumora::upgrade {

namespace {
thread_local RunFlag *t_current = nullptr;
}

void RunFlag::begin()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_running = !m_stopped;
}

void RunFlag::stop()
{
    // Notified under the lock: once woken, a stopped worker may finish and
    // delete this flag, so nothing may touch it after the lock is released.
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stopped = true;
    m_running = false;
    m_changed.notify_all();
}

bool RunFlag::isRunning() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_running;
}

bool RunFlag::sleep(int ms)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait_for(lock, std::chrono::milliseconds(ms), [this] { return !m_running; });
    return m_running;
}

RunFlag::Scope::Scope(RunFlag *flag) : m_previous(t_current) { t_current = flag; }
RunFlag::Scope::~Scope() { t_current = m_previous; }

bool pauseMs(int ms)
{
    if (t_current)
        return t_current->sleep(ms);
    QThread::msleep(static_cast<unsigned long>(ms));
    return true;
}

bool stopRequested() { return t_current && !t_current->isRunning(); }

} // namespace lumora::upgrade
