#pragma once
// How a Linux video node is named to the rest of the app.
//
// The device list, the hot-plug handler and the catalogue work on
// Windows-shaped interface paths ("\\?\usb#vid_..&pid_..&mi_..#..#{guid}\global").
// These functions build that path from the USB identity of a node, once from
// sysfs (enumeration) and once from udev event properties (hot-plug), so both
// sides produce the very same string for the same node.

#include "platform/kernel.h"

#include <QString>

namespace lumora::platform {

struct UsbInterfaceIdentity {
    quint16 vendorId = 0;
    quint16 productId = 0;
    int interfaceNumber = 0; // bInterfaceNumber of the interface the node hangs from
    int busNumber = 0;
    QString port;            // USB port path as in sysfs device names, e.g. "1-2.3"
};

// The synthesized interface path of a video-capture interface.
QString synthesizeDevicePath(const UsbInterfaceIdentity &id);

// The USB identity of /sys/class/video4linux/<nodeName>; false for a node
// without USB ancestors (a platform camera) or an unreadable sysfs.
bool usbIdentityFromSysfs(Kernel &kernel, const QString &nodeName, UsbInterfaceIdentity *id);

// The serial number (iSerialNumber) of the USB device on `port`, as sysfs
// shows it; empty when the device has none.
QString usbSerial(Kernel &kernel, const QString &port);

// The same identity from the properties of a udev event (they survive the
// device, so removals can be named too); false when they do not describe a
// USB interface.
bool usbIdentityFromEvent(const DeviceEvent &event, UsbInterfaceIdentity *id);

// The interface path of an event's device: the synthesized path for USB video
// nodes, the sysfs path for everything else.
QString eventPath(const DeviceEvent &event);

} // namespace lumora::platform
