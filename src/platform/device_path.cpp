#include "platform/device_path.h"

#include <QRegularExpression>

namespace lumora::platform {

namespace {

// The capture-device class the rest of the app recognises in interface paths.
const char kCaptureClass[] = "{65e8773d-8f56-11d0-a3b9-00a0c9223196}";

// FNV-1a: small, stable across runs and builds, good enough to tell ports apart.
quint32 portHash(const QString &port)
{
    quint32 hash = 2166136261u;
    for (const char c : port.toUtf8()) {
        hash ^= static_cast<quint8>(c);
        hash *= 16777619u;
    }
    return hash;
}

// "1-2.3" -> 1; 0 when the name does not start with a bus number.
int busOfPort(const QString &port)
{
    return port.section(QLatin1Char('-'), 0, 0).toInt();
}

bool readHex(Kernel &kernel, const QString &path, int *value)
{
    QByteArray text;
    if (kernel.readAttribute(path, &text) < 0)
        return false;
    bool ok = false;
    *value = text.trimmed().toInt(&ok, 16);
    return ok;
}

// A USB interface directory is named "<bus>-<ports>:<config>.<interface>".
const QRegularExpression &interfaceDirName()
{
    static const QRegularExpression re(QStringLiteral("^(\\d+-[\\d.]+):\\d+\\.(\\d+)$"));
    return re;
}

} // namespace

QString synthesizeDevicePath(const UsbInterfaceIdentity &id)
{
    const auto hex = [](qint64 value, int width) {
        return QStringLiteral("%1").arg(value, width, 16, QLatin1Char('0'));
    };
    return QStringLiteral("\\\\?\\usb#vid_%1&pid_%2&mi_%3#%4&%5&0&%6#%7\\global")
        .arg(hex(id.vendorId, 4), hex(id.productId, 4), hex(id.interfaceNumber, 2),
             QString::number(id.busNumber), hex(portHash(id.port), 8), hex(id.interfaceNumber, 4),
             QLatin1String(kCaptureClass));
}

QString usbSerial(Kernel &kernel, const QString &port)
{
    QByteArray serial;
    if (kernel.readAttribute(QStringLiteral("/sys/bus/usb/devices/%1/serial").arg(port), &serial) < 0)
        return {};
    return QString::fromUtf8(serial).section(QLatin1Char('\n'), 0, 0).trimmed();
}

bool usbIdentityFromSysfs(Kernel &kernel, const QString &nodeName, UsbInterfaceIdentity *id)
{
    const QString node = kernel.canonicalPath(QStringLiteral("/sys/class/video4linux/") + nodeName);
    if (node.isEmpty())
        return false;
    // .../<usb device>/<usb interface>/video4linux/<node>
    const QString interfaceDir = node.section(QLatin1Char('/'), 0, -3);
    const QString deviceDir = interfaceDir.section(QLatin1Char('/'), 0, -2);
    int vendor = 0, product = 0, number = 0;
    if (!interfaceDirName().match(interfaceDir.section(QLatin1Char('/'), -1)).hasMatch()
        || !readHex(kernel, interfaceDir + QStringLiteral("/bInterfaceNumber"), &number)
        || !readHex(kernel, deviceDir + QStringLiteral("/idVendor"), &vendor)
        || !readHex(kernel, deviceDir + QStringLiteral("/idProduct"), &product))
        return false;
    id->vendorId = static_cast<quint16>(vendor);
    id->productId = static_cast<quint16>(product);
    id->interfaceNumber = number;
    id->port = deviceDir.section(QLatin1Char('/'), -1);
    id->busNumber = busOfPort(id->port);
    return true;
}

bool usbIdentityFromEvent(const DeviceEvent &event, UsbInterfaceIdentity *id)
{
    const auto &props = event.properties;
    QString port;
    for (const QString &part : props.value(QStringLiteral("DEVPATH"), event.sysPath).split(QLatin1Char('/'))) {
        const auto match = interfaceDirName().match(part);
        if (match.hasMatch())
            port = match.captured(1);
    }
    bool vendorOk = false, productOk = false, numberOk = false;
    const int vendor = props.value(QStringLiteral("ID_VENDOR_ID")).toInt(&vendorOk, 16);
    const int product = props.value(QStringLiteral("ID_MODEL_ID")).toInt(&productOk, 16);
    const int number = props.value(QStringLiteral("ID_USB_INTERFACE_NUM")).toInt(&numberOk, 16);
    if (port.isEmpty() || !vendorOk || !productOk || !numberOk)
        return false;
    id->vendorId = static_cast<quint16>(vendor);
    id->productId = static_cast<quint16>(product);
    id->interfaceNumber = number;
    id->port = port;
    id->busNumber = busOfPort(port);
    return true;
}

QString eventPath(const DeviceEvent &event)
{
    UsbInterfaceIdentity id;
    if (event.subsystem == QLatin1String("video4linux") && usbIdentityFromEvent(event, &id))
        return synthesizeDevicePath(id);
    return event.sysPath;
}

} // namespace lumora::platform
