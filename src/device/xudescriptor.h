#pragma once
// Extension units found in a USB device's raw descriptors (the sysfs
// "descriptors" file: device descriptor, then the configuration descriptors).

#include <QByteArray>
#include <QVector>

#include <array>

using ExtensionUnitGuid = std::array<quint8, 16>; // in descriptor (little-endian GUID) byte order

struct ExtensionUnitDescriptor {
    int unitId = 0;
    ExtensionUnitGuid guid{};
    int numControls = 0;
    QByteArray controls; // bmControls, bit n-1 set when selector n exists
};

// The VC_EXTENSION_UNIT descriptors of the VideoControl interfaces, in descriptor order.
// The file holds every configuration; only the one with bConfigurationValue
// activeConfiguration counts (the first one when that is unknown, < 0).
// Truncated or malformed input yields what was read before the fault.
QVector<ExtensionUnitDescriptor> parseExtensionUnits(const QByteArray &descriptors, int activeConfiguration = -1);

// The unit with this GUID, else the first one; nullptr when there is none.
const ExtensionUnitDescriptor *pickExtensionUnit(const QVector<ExtensionUnitDescriptor> &units,
                                                 const ExtensionUnitGuid &guid);
