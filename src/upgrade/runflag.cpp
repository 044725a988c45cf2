#include "upgrade/runflag.h"

#include <QDeadlineTimer>
#include <QThread>

namespace lumora::upgrade {

namespace {
thread_local RunFlag *t_current = nullptr;
}

void RunFlag::setRunning(bool running)
{
    QMutexLocker lock(&m_mutex);
    m_running = running;
    m_changed.wakeAll();
}

bool RunFlag::isRunning() const
{
    QMutexLocker lock(&m_mutex);
    return m_running;
}

bool RunFlag::sleep(int ms)
{
    QDeadlineTimer deadline(ms);
    QMutexLocker lock(&m_mutex);
    while (m_running && !deadline.hasExpired())
        m_changed.wait(&m_mutex, deadline);
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
