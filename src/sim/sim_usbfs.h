#pragma once
// What usbfs needs to know about a simulated USB device: its interfaces and
// endpoints as the raw descriptors declare them, the kernel driver bound to
// each interface, and the node name under /dev/bus/usb.

#include <QByteArray>
#include <QString>
#include <QVector>

namespace lumora::sim {

struct SimUsbInterface {
    int number = 0, cls = 0, subclass = 0, protocol = 0;
    QVector<int> endpoints;     // bEndpointAddress (bit 0x80: IN)
    QVector<int> endpointTypes; // bmAttributes & 3, per endpoint
};

// Alternate setting 0 of every interface in the descriptors, with its endpoints.
QVector<SimUsbInterface> parseUsbInterfaces(const QByteArray &descriptors);

// "/dev/bus/usb/001/004"
QString usbfsNode(int bus, int devnum);

// The driver Linux binds to an interface of this class: "usb-storage" for
// mass storage, "uvcvideo" for video, empty for anything else.
QString kernelDriverFor(const SimUsbInterface &interface);

} // namespace lumora::sim
