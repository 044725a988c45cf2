// The extension-unit search over a USB device's raw descriptors (sysfs "descriptors").
#include "fuzz_common.h"

#include "device/xudescriptor.h"

#include <cstring>

LUMORA_FUZZ_START

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QVector<ExtensionUnitDescriptor> units = parseExtensionUnits(fuzzing::bytes(data, size));
    // The wanted GUID comes from the input too, so a match is reachable.
    ExtensionUnitGuid guid{};
    if (size >= guid.size())
        std::memcpy(guid.data(), data + size - guid.size(), guid.size());
    if (const ExtensionUnitDescriptor *unit = pickExtensionUnit(units, guid))
        (void)unit->controls.size();
    return 0;
}
