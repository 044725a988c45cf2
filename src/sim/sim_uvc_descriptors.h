#pragma once
// The raw USB descriptors of a USB Video Class camera, as the sysfs
// "descriptors" file of the USB device holds them: the device descriptor,
// then the configuration with its interface association, the VideoControl
// interface (header, camera terminal, processing unit, extension units,
// output terminals, interrupt endpoint) and one VideoStreaming interface per
// stream (its formats, each at 1920x1080, 30 frames per second).

#include "sim/sim_device.h"

#include <QByteArray>
#include <QStringList>
#include <QVector>

namespace lumora::sim {

// Unit ids used by the camera's own entities; extension units take others.
constexpr int kUvcCameraTerminalId = 1;
constexpr int kUvcProcessingUnitId = 2;

// A pixel format a VideoStreaming interface may offer.
struct SimVideoFormat {
    const char *name;       // in a scenario: "mjpeg", "yuyv"
    const char *ffmpegName; // FFmpeg's input_format
    quint32 pixelFormat;    // V4L2 fourcc
    // MJPEG: uvcvideo flags it UVC_FMT_FLAG_COMPRESSED, which VIDIOC_ENUM_FMT
    // answers as V4L2_FMT_FLAG_COMPRESSED.
    bool compressed;
    quint8 guid[16]; // uncompressed formats' guidFormat
    int bitsPerPixel;
};
// nullptr for a name that is none of these.
const SimVideoFormat *simVideoFormat(const QString &name);

// `extensionUnits` are complete VC_EXTENSION_UNIT descriptors (may be empty);
// `streams` gives each VideoStreaming interface's format names, in order (the
// interfaces follow the VideoControl interface's number).
QByteArray uvcCameraDescriptors(const SimUsbIdentity &usb, quint16 bcdDevice, int videoInterface,
                                const QByteArray &extensionUnits, const QVector<QStringList> &streams);

} // namespace lumora::sim
