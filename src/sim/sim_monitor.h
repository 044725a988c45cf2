#pragma once
// udev-like event delivery of the simulated kernel: the kernel publishes to a
// hub from any thread; every started monitor receives the event queued on
// the thread it lives in, in publishing order.

#include "platform/kernel.h"

#include <QVector>

#include <memory>
#include <mutex>

namespace lumora::sim {

class SimMonitorHub {
public:
    void publish(const platform::DeviceEvent &event);

private:
    friend class SimMonitor;
    std::mutex m_mutex;
    QVector<class SimMonitor *> m_started;
};

class SimMonitor : public platform::DeviceMonitor {
public:
    explicit SimMonitor(std::shared_ptr<SimMonitorHub> hub);
    ~SimMonitor() override;
    bool start() override;

private:
    std::shared_ptr<SimMonitorHub> m_hub;
};

} // namespace lumora::sim
