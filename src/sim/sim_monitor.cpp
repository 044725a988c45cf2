#include "sim/sim_monitor.h"

#include <QMutexLocker>

namespace lumora::sim {

void SimMonitorHub::publish(const platform::DeviceEvent &event)
{
    QMutexLocker lock(&m_mutex);
    for (SimMonitor *monitor : qAsConst(m_started))
        QMetaObject::invokeMethod(monitor, [monitor, event] { emit monitor->deviceEvent(event); }, Qt::QueuedConnection);
}

SimMonitor::SimMonitor(std::shared_ptr<SimMonitorHub> hub) : m_hub(std::move(hub)) {}

SimMonitor::~SimMonitor()
{
    QMutexLocker lock(&m_hub->m_mutex);
    m_hub->m_started.removeAll(this);
}

bool SimMonitor::start()
{
    QMutexLocker lock(&m_hub->m_mutex);
    if (!m_hub->m_started.contains(this))
        m_hub->m_started.append(this);
    return true;
}

} // namespace lumora::sim
