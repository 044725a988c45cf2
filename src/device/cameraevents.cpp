#include "device/cameraevents.h"

namespace lumora::devices {

QString CameraEvents::cameraOf(const platform::DeviceEvent &event)
{
    const QString sysPath = event.sysPath.isEmpty()
        ? QStringLiteral("/sys") + event.properties.value(QStringLiteral("DEVPATH"))
        : event.sysPath;
    // .../<usb interface>/video4linux/videoN: the class directory sits in the node's device.
    const int at = sysPath.lastIndexOf(QLatin1String("/video4linux/"));
    return at > 0 ? sysPath.left(at) : sysPath;
}

QString CameraEvents::cameraOfNode(const QString &node)
{
    return platform::kernel().canonicalPath(QStringLiteral("/sys/class/video4linux/") + node.section(QLatin1Char('/'), -1)
                                            + QStringLiteral("/device"));
}

bool CameraEvents::announces(const platform::DeviceEvent &event)
{
    if (event.subsystem != QLatin1String("video4linux")
        || !event.properties.value(QStringLiteral("ID_V4L_CAPABILITIES")).contains(QLatin1String(":capture:")))
        return false;
    const bool arrival = event.action == platform::DeviceEvent::Action::Add;
    const QString parent = cameraOf(event);
    const auto known = m_present.constFind(parent);
    if (known != m_present.constEnd() && known.value() == arrival)
        return false;
    m_present.insert(parent, arrival);
    return true;
}

} // namespace lumora::devices
