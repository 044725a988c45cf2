#include "sim/sim_monitor.h"


namespace lumora::sim {

void SimMonitorHub::publish(const platform::DeviceEvent &event)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (SimMonitor *monitor : qAsConst(m_started))
        QMetaObject::invokeMethod(monitor, [monitor, event] { emit monitor->deviceEvent(event); }, Qt::QueuedConnection);
}

SimMonitor::SimMonitor(std::shared_ptr<SimMonitorHub> hub) : m_hub(std::move(hub)) {}

SimMonitor::~SimMonitor()
{
    std::lock_guard<std::mutex> lock(m_hub->m_mutex);
    m_hub->m_started.removeAll(this);
}

bool SimMonitor::start()
{
    std::lock_guard<std::mutex> lock(m_hub->m_mutex);
    if (!m_hub->m_started.contains(this))
        m_hub->m_started.append(this);
    return true;
}

} // namespace lumora::sim
