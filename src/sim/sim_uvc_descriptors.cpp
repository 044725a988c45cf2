#include "sim/sim_uvc_descriptors.h"

#include <linux/usb/video.h>

#include <algorithm>

namespace lumora::sim {

namespace {

constexpr quint8 kDeviceType = 0x01, kConfigurationType = 0x02, kInterfaceType = 0x04, kEndpointType = 0x05,
                 kAssociationType = 0x0B, kCsInterface = 0x24, kCsEndpoint = 0x25;
constexpr quint8 kVideoClass = 0x0E, kVideoControl = 0x01, kVideoStreaming = 0x02, kVideoCollection = 0x03;
constexpr quint8 kInterruptEndpoint = 0x81, kBulkEndpoint = 0x82;
constexpr int kWidth = 1920, kHeight = 1080;
constexpr quint32 kFrameInterval = 333333; // 100 ns units: 30 frames per second

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

QByteArray videoControl(int videoInterface, const QByteArray &extensionUnits)
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
    units += Writer().u8(kCsInterface).u8(UVC_VC_OUTPUT_TERMINAL).u8(outputId).u16(UVC_TT_STREAMING)
                 .u8(0).u8(kUvcProcessingUnitId).u8(0).end();
    QByteArray header = Writer().u8(kCsInterface).u8(UVC_VC_HEADER).u16(0x0110).u16(0).u32(48000000)
                            .u8(1).u8(videoInterface + 1).end();
    patch16(&header, 5, header.size() + units.size());

    QByteArray out = Writer().u8(kInterfaceType).u8(videoInterface).u8(0).u8(1)
                         .u8(kVideoClass).u8(kVideoControl).u8(0).u8(2).end();
    out += header + units;
    out += Writer().u8(kEndpointType).u8(kInterruptEndpoint).u8(0x03).u16(16).u8(8).end();
    out += Writer().u8(kCsEndpoint).u8(0x03).u16(16).end();
    return out;
}

QByteArray videoStreaming(int videoInterface, int outputTerminalId)
{
    QByteArray formats = Writer().u8(kCsInterface).u8(UVC_VS_FORMAT_MJPEG).u8(1).u8(1).u8(1).u8(1)
                             .u8(0).u8(0).u8(0).u8(0).end();
    formats += Writer().u8(kCsInterface).u8(UVC_VS_FRAME_MJPEG).u8(1).u8(0).u16(kWidth).u16(kHeight)
                   .u32(kWidth * kHeight * 16 * 30).u32(kWidth * kHeight * 16 * 30).u32(kWidth * kHeight * 2)
                   .u32(kFrameInterval).u8(1).u32(kFrameInterval).end();
    formats += Writer().u8(kCsInterface).u8(UVC_VS_COLORFORMAT).u8(1).u8(1).u8(4).end();
    QByteArray header = Writer().u8(kCsInterface).u8(UVC_VS_INPUT_HEADER).u8(1).u16(0).u8(kBulkEndpoint)
                            .u8(0).u8(outputTerminalId).u8(0).u8(0).u8(0).u8(1).u8(0).end();
    patch16(&header, 4, header.size() + formats.size());

    QByteArray out = Writer().u8(kInterfaceType).u8(videoInterface + 1).u8(0).u8(1)
                         .u8(kVideoClass).u8(kVideoStreaming).u8(0).u8(0).end();
    out += header + formats;
    out += Writer().u8(kEndpointType).u8(kBulkEndpoint).u8(0x02).u16(512).u8(0).end();
    return out;
}

} // namespace

QByteArray uvcCameraDescriptors(const SimUsbIdentity &usb, quint16 bcdDevice, int videoInterface,
                                const QByteArray &extensionUnits)
{
    const QByteArray device = Writer().u8(kDeviceType).u16(0x0200).u8(0xEF).u8(0x02).u8(0x01).u8(64)
                                  .u16(usb.vendorId).u16(usb.productId).u16(bcdDevice)
                                  .u8(usb.manufacturer.isEmpty() ? 0 : 1).u8(usb.product.isEmpty() ? 0 : 2)
                                  .u8(usb.serial.isEmpty() ? 0 : 3).u8(1).end();
    const QByteArray body = Writer().u8(kAssociationType).u8(videoInterface).u8(2).u8(kVideoClass)
                                .u8(kVideoCollection).u8(0).u8(2).end()
        + videoControl(videoInterface, extensionUnits)
        + videoStreaming(videoInterface, highestUnitId(extensionUnits) + 1);
    QByteArray configuration = Writer().u8(kConfigurationType).u16(0).u8(2).u8(1).u8(0).u8(0x80).u8(250).end();
    patch16(&configuration, 2, configuration.size() + body.size());
    return device + configuration + body;
}

} // namespace lumora::sim
