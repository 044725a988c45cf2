#include "sim/sim_usb_identity.h"

namespace lumora::sim {

int readUsbId(const QJsonValue &value)
{
    if (value.isDouble()) {
        const double id = value.toDouble();
        return id >= 0 && id <= 0xFFFF && id == int(id) ? int(id) : -1;
    }
    QString text = value.toString().trimmed().toLower();
    if (text.startsWith(QLatin1String("0x")))
        text = text.mid(2);
    bool ok = false;
    const uint id = text.toUInt(&ok, 16);
    return ok && text.size() <= 4 ? int(id) : -1;
}

SimUsbIdentity readUsbIdentity(const QJsonObject &config)
{
    SimUsbIdentity usb;
    usb.vendorId = quint16(qMax(0, readUsbId(config.value("vendorId"))));
    usb.productId = quint16(qMax(0, readUsbId(config.value("productId"))));
    usb.manufacturer = config.value("manufacturer").toString();
    usb.product = config.value("product").toString();
    usb.serial = config.value("serial").toString();
    usb.busNumber = config.value("bus").toInt(1);
    // "2" on bus 1 means "1-2"; a full "3-1.4" names its own bus.
    const QString port = config.value("port").toString(QStringLiteral("1"));
    const int dash = port.indexOf('-');
    bool ok = false;
    const int bus = dash > 0 ? port.left(dash).toInt(&ok) : 0;
    if (ok && bus > 0)
        usb.busNumber = bus;
    usb.port = QStringLiteral("%1-%2").arg(usb.busNumber).arg(dash >= 0 ? port.mid(dash + 1) : port);
    return usb;
}

void writeUsbIdentity(const SimUsbIdentity &usb, QJsonObject *config)
{
    config->insert("vendorId", QStringLiteral("0x%1").arg(usb.vendorId, 4, 16, QLatin1Char('0')));
    config->insert("productId", QStringLiteral("0x%1").arg(usb.productId, 4, 16, QLatin1Char('0')));
    config->insert("manufacturer", usb.manufacturer);
    config->insert("product", usb.product);
    config->insert("serial", usb.serial);
    config->insert("bus", usb.busNumber);
    config->insert("port", usb.port);
}

QString usbDevpath(const SimUsbIdentity &usb)
{
    return usb.port.mid(usb.port.indexOf('-') + 1);
}

} // namespace lumora::sim
