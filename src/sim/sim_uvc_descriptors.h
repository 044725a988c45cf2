#pragma once
// The raw USB descriptors of a USB Video Class camera, as the sysfs
// "descriptors" file of the USB device holds them: the device descriptor,
// then the configuration with its interface association, the VideoControl
// interface (header, camera terminal, processing unit, extension units,
// output terminal, interrupt endpoint) and the VideoStreaming interface
// (one MJPEG format at 1920x1080, 30 frames per second).

#include "sim/sim_device.h"

#include <QByteArray>

namespace lumora::sim {

// Unit ids used by the camera's own entities; extension units take others.
constexpr int kUvcCameraTerminalId = 1;
constexpr int kUvcProcessingUnitId = 2;

// `extensionUnits` are complete VC_EXTENSION_UNIT descriptors (may be empty).
QByteArray uvcCameraDescriptors(const SimUsbIdentity &usb, quint16 bcdDevice, int videoInterface,
                                const QByteArray &extensionUnits);

} // namespace lumora::sim
