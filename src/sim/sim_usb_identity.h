#pragma once
// The USB identity fields shared by every device model's JSON config:
// "vendorId", "productId" (numbers, or strings such as "0x1d6b"),
// "manufacturer", "product", "serial", "bus" and "port".

#include "sim/sim_device.h"

#include <QJsonObject>

namespace lumora::sim {

SimUsbIdentity readUsbIdentity(const QJsonObject &config);
void writeUsbIdentity(const SimUsbIdentity &usb, QJsonObject *config);

// A 16-bit id from a JSON number or a hex string ("0x1d6b" or "1d6b"); -1 when neither.
int readUsbId(const QJsonValue &value);

// The port path below the bus ("2.3" for "1-2.3"), as sysfs "devpath" shows it.
QString usbDevpath(const SimUsbIdentity &usb);

} // namespace lumora::sim
