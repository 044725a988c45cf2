#include "sim/sim_uvc_descriptors.h"

#include <QJsonArray>

#include <linux/usb/video.h>
#include <linux/videodev2.h>

#include <algorithm>

namespace lumora::sim {

namespace {

constexpr quint8 kDeviceType = 0x01, kConfigurationType = 0x02, kInterfaceType = 0x04, kEndpointType = 0x05,
                 kAssociationType = 0x0B, kCsInterface = 0x24, kCsEndpoint = 0x25;
constexpr quint8 kVideoClass = 0x0E, kVideoControl = 0x01, kVideoStreaming = 0x02, kVideoCollection = 0x03;
constexpr quint8 kInterruptEndpoint = 0x81, kBulkEndpoint = 0x82;
constexpr quint32 kIntervalUnitsPerSecond = 10000000; // frame intervals count 100 ns
constexpr quint32 kBoundRate = 30;

// Little-endian descriptor bytes; bLength is patched in by end().
class Writer {
public:
    Writer &u8(int v) { m_bytes.append(char(v & 0xFF)); return *this; }
    Writer &u16(int v) { return u8(v).u8(v >> 8); }
    Writer &u32(quint32 v) { return u16(int(v & 0xFFFF)).u16(int(v >> 16)); }
    Writer &raw(const QByteArray &bytes) { m_bytes.append(bytes); return *this; }
    QByteArray end()
    {
        m_bytes[0] = char(m_bytes.size());
        return m_bytes;
    }

private:
    QByteArray m_bytes = QByteArray(1, '\0');
};

void patch16(QByteArray *bytes, int offset, int value)
{
    (*bytes)[offset] = char(value & 0xFF);
    (*bytes)[offset + 1] = char((value >> 8) & 0xFF);
}

// The highest unit id among the extension units, so the output terminal takes a free one.
int highestUnitId(const QByteArray &extensionUnits)
{
    int highest = kUvcProcessingUnitId;
    for (int at = 0; at + 3 < extensionUnits.size() && quint8(extensionUnits[at]) > 0; at += quint8(extensionUnits[at]))
        highest = std::max(highest, int(quint8(extensionUnits[at + 3])));
    return highest;
}

QByteArray videoControl(int videoInterface, int streams, const QByteArray &extensionUnits)
{
    const int outputId = highestUnitId(extensionUnits) + 1;
    QByteArray units;
    units += Writer().u8(kCsInterface).u8(UVC_VC_INPUT_TERMINAL).u8(kUvcCameraTerminalId).u16(UVC_ITT_CAMERA)
                 .u8(0).u8(0).u16(0).u16(0).u16(0)
                 .u8(3).u8(0x20).u8(0x0A).u8(0x02) // focus, zoom, pan/tilt absolute; focus auto
                 .end();
    units += Writer().u8(kCsInterface).u8(UVC_VC_PROCESSING_UNIT).u8(kUvcProcessingUnitId).u8(kUvcCameraTerminalId)
                 .u16(0).u8(2).u8(0x1F).u8(0x08) // brightness .. sharpness; hue auto
                 .u8(0).u8(0).end(); // iProcessing, bmVideoStandards: 12 bytes under UVC 1.1, or uvcvideo won't bind
    units += extensionUnits;
    // One streaming output terminal per VideoStreaming interface, all fed by the
    // processing unit: uvcvideo's chain scan puts them in one chain, so every
    // capture node reaches the same controls.
    for (int s = 0; s < streams; ++s)
        units += Writer().u8(kCsInterface).u8(UVC_VC_OUTPUT_TERMINAL).u8(outputId + s).u16(UVC_TT_STREAMING)
                     .u8(0).u8(kUvcProcessingUnitId).u8(0).end();
    Writer header;
    header.u8(kCsInterface).u8(UVC_VC_HEADER).u16(0x0110).u16(0).u32(48000000).u8(streams);
    for (int s = 0; s < streams; ++s)
        header.u8(videoInterface + 1 + s);
    QByteArray headerBytes = header.end();
    patch16(&headerBytes, 5, headerBytes.size() + units.size());

    QByteArray out = Writer().u8(kInterfaceType).u8(videoInterface).u8(0).u8(1)
                         .u8(kVideoClass).u8(kVideoControl).u8(0).u8(2).end();
    out += headerBytes + units;
    out += Writer().u8(kEndpointType).u8(kInterruptEndpoint).u8(0x03).u16(16).u8(8).end();
    out += Writer().u8(kCsEndpoint).u8(0x03).u16(16).end();
    return out;
}

// One format with a frame descriptor per size, each with every rate, and its colour matching.
QByteArray formatDescriptors(const SimVideoFormat &format, int formatIndex, const SimFrameOffer &offer)
{
    const int frames = int(offer.sizes.size());
    const int defaultFrame = offer.defaultSize() + 1;
    QByteArray out;
    if (format.compressed) {
        out += Writer().u8(kCsInterface).u8(UVC_VS_FORMAT_MJPEG).u8(formatIndex).u8(frames).u8(1).u8(defaultFrame)
                   .u8(0).u8(0).u8(0).u8(0).end();
    } else {
        Writer uncompressed;
        uncompressed.u8(kCsInterface).u8(UVC_VS_FORMAT_UNCOMPRESSED).u8(formatIndex).u8(frames);
        for (const quint8 byte : format.guid)
            uncompressed.u8(byte);
        out += uncompressed.u8(format.bitsPerPixel).u8(defaultFrame).u8(0).u8(0).u8(0).u8(0).end();
    }
    const int frameType = format.compressed ? UVC_VS_FRAME_MJPEG : UVC_VS_FRAME_UNCOMPRESSED;
    const quint32 fastest = *std::max_element(offer.rates.begin(), offer.rates.end());
    const quint32 slowest = *std::min_element(offer.rates.begin(), offer.rates.end());
    for (int f = 0; f < frames; ++f) {
        const QSize size = offer.sizes[f];
        const quint32 pixels = quint32(size.width()) * quint32(size.height());
        const quint32 bound = simMaxFrameSize(format, size, fastest, offer.boundFollowsRate);
        Writer frame;
        frame.u8(kCsInterface).u8(frameType).u8(f + 1).u8(0).u16(size.width()).u16(size.height())
            .u32(pixels * quint32(format.bitsPerPixel) * slowest).u32(pixels * quint32(format.bitsPerPixel) * fastest)
            .u32(bound).u32(kIntervalUnitsPerSecond / offer.rates.first()).u8(int(offer.rates.size()));
        for (const quint32 rate : offer.rates)
            frame.u32(kIntervalUnitsPerSecond / rate);
        out += frame.end();
    }
    out += Writer().u8(kCsInterface).u8(UVC_VS_COLORFORMAT).u8(1).u8(1).u8(4).end();
    return out;
}

QByteArray videoStreaming(int interfaceNumber, int endpoint, int outputTerminalId, const QStringList &formatNames,
                          const SimFrameOffer &offer)
{
    QByteArray formats;
    int count = 0;
    for (const QString &name : formatNames)
        if (const SimVideoFormat *format = simVideoFormat(name))
            formats += formatDescriptors(*format, ++count, offer);
    Writer header;
    header.u8(kCsInterface).u8(UVC_VS_INPUT_HEADER).u8(count).u16(0).u8(endpoint)
        .u8(0).u8(outputTerminalId).u8(0).u8(0).u8(0).u8(1);
    for (int i = 0; i < count; ++i)
        header.u8(0);
    QByteArray headerBytes = header.end();
    patch16(&headerBytes, 4, headerBytes.size() + formats.size());

    QByteArray out = Writer().u8(kInterfaceType).u8(interfaceNumber).u8(0).u8(1)
                         .u8(kVideoClass).u8(kVideoStreaming).u8(0).u8(0).end();
    out += headerBytes + formats;
    out += Writer().u8(kEndpointType).u8(endpoint).u8(0x02).u16(512).u8(0).end();
    return out;
}

} // namespace

int SimFrameOffer::defaultSize() const
{
    const int fullHd = sizes.indexOf(QSize(1920, 1080));
    return fullHd >= 0 ? fullHd : 0;
}

SimFrameOffer simFrameOffer(const QJsonObject &camera)
{
    SimFrameOffer offer;
    for (const QJsonValue &value : camera.value("frameSizes").toArray()) {
        const QStringList parts = value.toString().split('x');
        const QSize size(parts.value(0).toInt(), parts.value(1).toInt());
        // Even widths only: YUYV pairs its pixels.
        if (parts.size() == 2 && size.width() > 0 && size.width() % 2 == 0 && size.height() > 0 && !offer.sizes.contains(size))
            offer.sizes.append(size);
    }
    for (const QJsonValue &value : camera.value("frameRates").toArray())
        if (value.toInt() > 0 && value.toInt() <= 240 && !offer.rates.contains(quint32(value.toInt())))
            offer.rates.append(quint32(value.toInt()));
    // What most UVC cameras list.
    if (offer.sizes.isEmpty())
        offer.sizes = {QSize(640, 480), QSize(1280, 720), QSize(1920, 1080)};
    if (offer.rates.isEmpty())
        offer.rates = {30, 15};
    offer.boundFollowsRate = camera.value("frameBoundFollowsRate").toBool();
    return offer;
}

quint32 simMaxFrameSize(const SimVideoFormat &format, QSize size, quint32 rate, bool boundFollowsRate)
{
    const quint32 pixels = quint32(size.width()) * quint32(size.height());
    if (!format.compressed)
        return pixels * quint32(format.bitsPerPixel) / 8;
    const quint32 bound = pixels / 2;
    return boundFollowsRate ? quint32(quint64(bound) * rate / kBoundRate) : bound;
}

// GUIDs of the uncompressed formats: the FourCC, then the USB Video Class suffix.
const SimVideoFormat *simVideoFormat(const QString &name)
{
    static const SimVideoFormat kFormats[] = {
        {"mjpeg", "mjpeg", V4L2_PIX_FMT_MJPEG, true, {}, 16},
        {"yuyv", "yuyv422", V4L2_PIX_FMT_YUYV, false,
         {'Y', 'U', 'Y', '2', 0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}, 16},
    };
    for (const SimVideoFormat &format : kFormats)
        if (name == QLatin1String(format.name))
            return &format;
    return nullptr;
}

QByteArray uvcCameraDescriptors(const SimUsbIdentity &usb, quint16 bcdDevice, int videoInterface,
                                const QByteArray &extensionUnits, const QVector<QStringList> &streams,
                                const SimFrameOffer &offer)
{
    const QByteArray device = Writer().u8(kDeviceType).u16(0x0200).u8(0xEF).u8(0x02).u8(0x01).u8(64)
                                  .u16(usb.vendorId).u16(usb.productId).u16(bcdDevice)
                                  .u8(usb.manufacturer.isEmpty() ? 0 : 1).u8(usb.product.isEmpty() ? 0 : 2)
                                  .u8(usb.serial.isEmpty() ? 0 : 3).u8(1).end();
    const int interfaces = 1 + int(streams.size());
    QByteArray body = Writer().u8(kAssociationType).u8(videoInterface).u8(interfaces).u8(kVideoClass)
                          .u8(kVideoCollection).u8(0).u8(2).end()
        + videoControl(videoInterface, int(streams.size()), extensionUnits);
    const int outputId = highestUnitId(extensionUnits) + 1;
    for (int s = 0; s < streams.size(); ++s)
        body += videoStreaming(videoInterface + 1 + s, kBulkEndpoint + s, outputId + s, streams[s], offer);
    QByteArray configuration = Writer().u8(kConfigurationType).u16(0).u8(interfaces).u8(1).u8(0).u8(0x80).u8(250).end();
    patch16(&configuration, 2, configuration.size() + body.size());
    return device + configuration + body;
}

} // namespace lumora::sim
