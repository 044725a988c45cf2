#include "sim/sim_usbfs.h"

#include "sim/sim_device.h"

#include <linux/usb/ch9.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>

#include <cerrno>

namespace lumora::sim {

QVector<SimUsbInterface> parseUsbInterfaces(const QByteArray &d)
{
    QVector<SimUsbInterface> found;
    bool inAltZero = false;
    for (int at = 0; at + 1 < d.size() && quint8(d[at]) >= 2; at += quint8(d[at])) {
        const int type = quint8(d[at + 1]);
        if (type == USB_DT_INTERFACE && at + 8 < d.size()) {
            inAltZero = d[at + 3] == 0;
            if (inAltZero)
                found.append({quint8(d[at + 2]), quint8(d[at + 5]), quint8(d[at + 6]), quint8(d[at + 7]), {}, {}});
        } else if (type == USB_DT_ENDPOINT && at + 3 < d.size() && inAltZero && !found.isEmpty()) {
            found.last().endpoints.append(quint8(d[at + 2]));
            found.last().endpointTypes.append(quint8(d[at + 3]) & 3);
        }
    }
    return found;
}

QString usbfsNode(int bus, int devnum)
{
    return QStringLiteral("/dev/bus/usb/%1/%2").arg(bus, 3, 10, QLatin1Char('0')).arg(devnum, 3, 10, QLatin1Char('0'));
}

QString kernelDriverFor(const SimUsbInterface &interface)
{
    if (interface.cls == USB_CLASS_MASS_STORAGE)
        return QStringLiteral("usb-storage");
    if (interface.cls == USB_CLASS_VIDEO)
        return QStringLiteral("uvcvideo");
    return {};
}

int SimDevice::usbTransfer(unsigned long request, void *)
{
    switch (request) {
    case USBDEVFS_BULK:
        return -ETIMEDOUT; // nobody answers: the endpoint NAKs until the timeout
    case USBDEVFS_CLEAR_HALT:
        return 0;
    default:
        return -EPIPE; // a request the device does not know is stalled
    }
}

} // namespace lumora::sim
