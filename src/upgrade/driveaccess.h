#pragma once
// Whether this user can send an update drive its firmware, checked before
// anything is written: SG_IO passes vendor commands only with CAP_SYS_RAWIO,
// so an ordinary user needs the drive's USB device node open for writing,
// which only the udev rule grants, and only for the ids it names. A drive in
// its boot ROM or updater may show ids nobody knew in advance.

#include "upgrade/updatechannel.h"

#include <QString>

namespace lumora::upgrade {

struct DriveAccess {
    bool reachable = true;
    QString usbNode;  // "/dev/bus/usb/001/003"
    QString ruleLine; // the udev rule line for the drive's ids
    // What is wrong and what to do: the rule line, the commands that install
    // it, and that a rescue run as root works at once. Empty when reachable.
    QString explanation(const UpdateDriveInfo &drive) const;
};

DriveAccess checkDriveAccess(const UpdateDriveInfo &drive);
// "/dev/bus/usb/BBB/DDD" of a USB device's sysfs directory; empty without busnum and devnum.
QString usbDeviceNode(const QString &usbDeviceDir);

} // namespace lumora::upgrade
