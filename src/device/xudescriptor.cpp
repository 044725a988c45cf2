#include "device/xudescriptor.h"

#include <algorithm>

namespace {

constexpr quint8 kConfigurationDescriptor = 0x02;
constexpr quint8 kInterfaceDescriptor = 0x04;
constexpr quint8 kClassSpecificInterface = 0x24;
constexpr quint8 kVideoClass = 0x0E;
constexpr quint8 kVideoControlSubclass = 0x01;
constexpr quint8 kExtensionUnitSubtype = 0x06;
constexpr int kFixedExtensionUnitLength = 24; // without baSourceID and bmControls

} // namespace

QVector<ExtensionUnitDescriptor> parseExtensionUnits(const QByteArray &descriptors, int activeConfiguration)
{
    QVector<ExtensionUnitDescriptor> units;
    const auto *bytes = reinterpret_cast<const quint8 *>(descriptors.constData());
    const int size = descriptors.size();
    // Subtype 0x06 means something else in a VideoStreaming interface (an MJPEG
    // format), so only descriptors inside a VideoControl interface count.
    bool inVideoControl = false;
    bool inActiveConfiguration = true;
    int configurations = 0;
    for (int at = 0; at + 2 <= size;) {
        const int length = bytes[at];
        if (length < 2 || at + length > size)
            break;
        const quint8 *d = bytes + at;
        if (d[1] == kConfigurationDescriptor && length >= 9) {
            ++configurations;
            inActiveConfiguration = activeConfiguration < 0 ? configurations == 1 : d[5] == activeConfiguration;
            inVideoControl = false;
        } else if (!inActiveConfiguration) {
        } else if (d[1] == kInterfaceDescriptor && length >= 9)
            inVideoControl = d[5] == kVideoClass && d[6] == kVideoControlSubclass;
        else if (inVideoControl && d[1] == kClassSpecificInterface && length >= kFixedExtensionUnitLength
                 && d[2] == kExtensionUnitSubtype) {
            const int pins = d[21];
            const int controlSizeAt = 22 + pins;
            const int controlSize = controlSizeAt < length ? d[controlSizeAt] : -1;
            if (controlSize >= 0 && controlSizeAt + 1 + controlSize + 1 <= length) {
                ExtensionUnitDescriptor unit;
                unit.unitId = d[3];
                std::copy(d + 4, d + 20, unit.guid.begin());
                unit.numControls = d[20];
                unit.controls = QByteArray(reinterpret_cast<const char *>(d + controlSizeAt + 1), controlSize);
                units.append(unit);
            }
        }
        at += length;
    }
    return units;
}

const ExtensionUnitDescriptor *pickExtensionUnit(const QVector<ExtensionUnitDescriptor> &units,
                                                 const ExtensionUnitGuid &guid)
{
    for (const ExtensionUnitDescriptor &unit : units)
        if (unit.guid == guid)
            return &unit;
    return units.isEmpty() ? nullptr : &units.first();
}
