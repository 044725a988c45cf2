#pragma once
// The raw USB descriptors of a USB Video Class camera, as the sysfs
// "descriptors" file of the USB device holds them: the device descriptor,
// then the configuration with its interface association, the VideoControl
// interface (header, camera terminal, processing unit, extension units,
// output terminals, interrupt endpoint) and one VideoStreaming interface per
// stream (its formats, each at the camera's frame sizes and rates).

#include "sim/sim_device.h"

#include <QByteArray>
#include <QJsonObject>
#include <QSize>
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

// The frame sizes every format of a camera comes in, and the frame rates of
// each size. Read from a camera's "frameSizes", "frameRates" and
// "frameBoundFollowsRate".
struct SimFrameOffer {
    QVector<QSize> sizes;    // in descriptor order
    QVector<quint32> rates;  // frames per second; the first is the default
    bool boundFollowsRate = false; // the camera's frame size bound grows with the rate
    // The size a stream starts with: 1920x1080 when offered, else the first.
    int defaultSize() const;
};
SimFrameOffer simFrameOffer(const QJsonObject &camera);

// dwMaxVideoFrameSize: what uvcvideo answers as sizeimage. Uncompressed
// frames are exactly that big; an MJPEG frame's bound is the camera's own,
// 4 bits a pixel at 30 frames per second here (and in proportion to the rate
// when the bound follows it).
quint32 simMaxFrameSize(const SimVideoFormat &format, QSize size, quint32 rate, bool boundFollowsRate);

// `extensionUnits` are complete VC_EXTENSION_UNIT descriptors (may be empty);
// `streams` gives each VideoStreaming interface's format names, in order (the
// interfaces follow the VideoControl interface's number).
QByteArray uvcCameraDescriptors(const SimUsbIdentity &usb, quint16 bcdDevice, int videoInterface,
                                const QByteArray &extensionUnits, const QVector<QStringList> &streams,
                                const SimFrameOffer &offer);

} // namespace lumora::sim
