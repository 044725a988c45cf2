#pragma once
// Device events of the running system, read from udev ("video4linux" and
// "block") and delivered on the thread that created the monitor.

#include "platform/kernel.h"

#include <memory>

namespace lumora::platform {

class UdevMonitor : public DeviceMonitor {
public:
    explicit UdevMonitor(QObject *parent = nullptr);
    ~UdevMonitor() override;

    bool start() override;

private:
    void readEvents();

    struct Connection;
    std::unique_ptr<Connection> m_connection;
};

} // namespace lumora::platform
