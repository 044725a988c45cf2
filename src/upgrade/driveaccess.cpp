#include "upgrade/driveaccess.h"

#include "platform/kernel.h"
#include "platform/udev_rules.h"

#include <cerrno>
#include <fcntl.h>

namespace lumora::upgrade {

namespace {

QByteArray driveAttribute(const QString &path)
{
    QByteArray contents;
    return platform::kernel().readAttribute(path, &contents) == 0 ? contents.trimmed() : QByteArray();
}

// "/dev/bus/usb/BBB/DDD" of the USB device a disk hangs from; empty without one.
QString usbNodeOfDisk(const QString &node, const QString &port)
{
    const QString disk = platform::kernel().canonicalPath("/sys/block/" + node.section('/', -1));
    const int at = port.isEmpty() ? -1 : disk.indexOf('/' + port + '/');
    if (at < 0)
        return {};
    return usbDeviceNode(disk.left(at + port.size() + 1));
}

} // namespace

QString usbDeviceNode(const QString &usbDeviceDir)
{
    bool okBus = false, okDev = false;
    const int bus = driveAttribute(usbDeviceDir + "/busnum").toInt(&okBus);
    const int dev = driveAttribute(usbDeviceDir + "/devnum").toInt(&okDev);
    if (!okBus || !okDev)
        return {};
    return QStringLiteral("/dev/bus/usb/%1/%2").arg(bus, 3, 10, QLatin1Char('0')).arg(dev, 3, 10, QLatin1Char('0'));
}

DriveAccess checkDriveAccess(const UpdateDriveInfo &drive)
{
    DriveAccess access;
    access.usbNode = usbNodeOfDisk(drive.node, drive.port);
    access.ruleLine = platform::usbAccessRuleLine(drive.vendorId, drive.productId);
    if (platform::kernel().rawScsiAllowed() || access.usbNode.isEmpty())
        return access;
    // Opened and closed at once: nothing is claimed, nothing is sent.
    const int fd = platform::kernel().open(access.usbNode, O_RDWR);
    if (fd >= 0)
        platform::kernel().close(fd);
    access.reachable = fd != -EACCES && fd != -EPERM;
    return access;
}

QString DriveAccess::explanation(const UpdateDriveInfo &drive) const
{
    if (reachable)
        return {};
    const QString rules = QStringLiteral("/etc/udev/rules.d/") + QLatin1String(platform::kUdevRuleName);
    return QStringLiteral("The update drive %1 (USB id %2:%3) was found, but its USB device node %4 cannot be opened "
                          "for writing, so the firmware cannot be sent to it as this user. Nothing was sent.\n"
                          "Add this line to %5:\n"
                          "  %6\n"
                          "with:\n"
                          "  echo '%6' | sudo tee -a %5\n"
                          "  sudo udevadm control --reload && sudo udevadm trigger\n"
                          "Running the rescue as root works at once.")
        .arg(drive.node)
        .arg(drive.vendorId, 4, 16, QLatin1Char('0'))
        .arg(drive.productId, 4, 16, QLatin1Char('0'))
        .arg(usbNode, rules, ruleLine);
}

} // namespace lumora::upgrade
