#include "platform/udev_monitor.h"

#include <QSocketNotifier>

#include <libudev.h>

namespace lumora::platform {

struct UdevMonitor::Connection {
    udev *context = nullptr;
    udev_monitor *monitor = nullptr;
    QSocketNotifier *notifier = nullptr;

    ~Connection()
    {
        delete notifier;
        if (monitor)
            udev_monitor_unref(monitor);
        if (context)
            udev_unref(context);
    }
};

UdevMonitor::UdevMonitor(QObject *parent) : DeviceMonitor(parent) {}

UdevMonitor::~UdevMonitor() = default;

bool UdevMonitor::start()
{
    if (m_connection)
        return true;
    auto connection = std::make_unique<Connection>();
    connection->context = udev_new();
    if (!connection->context)
        return false;
    connection->monitor = udev_monitor_new_from_netlink(connection->context, "udev");
    if (!connection->monitor
        || udev_monitor_filter_add_match_subsystem_devtype(connection->monitor, "video4linux", nullptr) < 0
        || udev_monitor_filter_add_match_subsystem_devtype(connection->monitor, "block", nullptr) < 0
        || udev_monitor_enable_receiving(connection->monitor) < 0)
        return false;
    const int fd = udev_monitor_get_fd(connection->monitor);
    if (fd < 0)
        return false;
    connection->notifier = new QSocketNotifier(fd, QSocketNotifier::Read);
    connect(connection->notifier, &QSocketNotifier::activated, this, &UdevMonitor::readEvents);
    m_connection = std::move(connection);
    return true;
}

void UdevMonitor::readEvents()
{
    // The socket is non-blocking: drain what is there.
    while (udev_device *device = udev_monitor_receive_device(m_connection->monitor)) {
        const char *action = udev_device_get_action(device);
        const QLatin1String name(action ? action : "");
        if (name == QLatin1String("add") || name == QLatin1String("remove")) {
            DeviceEvent event;
            event.action = name == QLatin1String("add") ? DeviceEvent::Action::Add : DeviceEvent::Action::Remove;
            event.subsystem = QString::fromUtf8(udev_device_get_subsystem(device));
            event.devNode = QString::fromUtf8(udev_device_get_devnode(device));
            event.sysPath = QString::fromUtf8(udev_device_get_syspath(device));
            udev_list_entry *entry = nullptr;
            udev_list_entry_foreach(entry, udev_device_get_properties_list_entry(device))
            {
                event.properties.insert(QString::fromUtf8(udev_list_entry_get_name(entry)),
                                        QString::fromUtf8(udev_list_entry_get_value(entry)));
            }
            Q_EMIT deviceEvent(event);
        }
        udev_device_unref(device);
    }
}

} // namespace lumora::platform
