// LABELS: worker
// A camera with several VideoStreaming interfaces, as uvcvideo shows it: a
// capture node (and a metadata node) per interface, all children of the
// VideoControl interface, each listing its own stream's formats.
#include "device/xudescriptor.h"
#include "sim/sim_camera.h"
#include "sim/sim_kernel.h"
#include "sim/sim_usbfs.h"
#include "capture_stream.h"
#include "sim_fixtures.h"
#include "support/testsupport.h"

#include <QJsonArray>
#include <QtTest>

#include <fcntl.h>
#include <poll.h>
#include <linux/usb/video.h>
#include <linux/videodev2.h>

using namespace lumora::sim;
using lumora::platform::DeviceEvent;
using simtest::cameraConfig;

namespace {

const QString kControlInterface = QStringLiteral("/sys/devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0");

QJsonArray streams(const QVector<QStringList> &formats)
{
    QJsonArray list;
    for (const QStringList &stream : formats)
        list.append(QJsonObject{{"formats", QJsonArray::fromStringList(stream)}});
    return list;
}

// MJPEG and YUYV on the first interface, YUYV alone on the second.
QJsonObject twoStreamCamera(bool metadata = true)
{
    QJsonObject config = cameraConfig("cam", "1-2", metadata);
    config.insert("streams", streams({{"mjpeg", "yuyv"}, {"yuyv"}}));
    return config;
}

QByteArray attribute(SimKernel &k, const QString &path)
{
    QByteArray text;
    return k.readAttribute(path, &text) < 0 ? QByteArray("<none>") : text.trimmed();
}

quint32 deviceCaps(SimKernel &k, const QString &node)
{
    const int fd = k.open(node, O_RDWR);
    v4l2_capability cap{};
    const int rc = k.ioctl(fd, VIDIOC_QUERYCAP, &cap);
    k.close(fd);
    return rc < 0 ? 0 : cap.device_caps;
}

// The class-specific descriptors of one subtype, in order, from a configuration.
QVector<QByteArray> classDescriptors(const QByteArray &bytes, int subtype, int interfaceSubclass)
{
    QVector<QByteArray> found;
    int currentSubclass = -1;
    for (int at = 0; at + 2 < bytes.size() && quint8(bytes[at]) > 0; at += quint8(bytes[at])) {
        const QByteArray d = bytes.mid(at, quint8(bytes[at]));
        if (d[1] == 0x04 && d.size() > 6)
            currentSubclass = quint8(d[6]);
        else if (quint8(d[1]) == 0x24 && currentSubclass == interfaceSubclass && quint8(d[2]) == subtype)
            found.append(d);
    }
    return found;
}

} // namespace

class StreamsTest : public QObject {
    Q_OBJECT
private slots:
    void nodesAsUvcvideoRegistersThem_data();
    void nodesAsUvcvideoRegistersThem();
    void eachNodeListsItsStreamsFormats_data();
    void eachNodeListsItsStreamsFormats();
    void descriptorsCarryEveryStream();
    void formatsFollowTheNodesStream_data();
    void formatsFollowTheNodesStream();
    void everyCaptureNodeReachesTheControls();
    void eachCaptureNodeStreamsOnItsOwn();
};

void StreamsTest::nodesAsUvcvideoRegistersThem_data()
{
    QTest::addColumn<bool>("metadata");
    QTest::addColumn<QStringList>("nodes");
    QTest::addColumn<QVector<bool>>("capture");
    QTest::newRow("with metadata") << true << QStringList{"video0", "video1", "video2", "video3"}
                                   << QVector<bool>{true, false, true, false};
    QTest::newRow("without metadata") << false << QStringList{"video0", "video1"} << QVector<bool>{true, true};
}

void StreamsTest::nodesAsUvcvideoRegistersThem()
{
    QFETCH(bool, metadata);
    QFETCH(QStringList, nodes);
    QFETCH(QVector<bool>, capture);
    SimKernel k;
    auto monitor = k.createMonitor();
    QVector<DeviceEvent> events;
    QObject::connect(monitor.get(), &lumora::platform::DeviceMonitor::deviceEvent, monitor.get(),
                     [&](const DeviceEvent &e) { events.append(e); });
    monitor->start();
    k.plug(makeCamera(twoStreamCamera(metadata)));
    QCOMPARE(k.listDirectory("/sys/class/video4linux"), nodes);
    for (int n = 0; n < nodes.size(); ++n) {
        const QString sys = "/sys/class/video4linux/" + nodes[n];
        QCOMPARE(k.canonicalPath(sys + "/device"), kControlInterface);
        QCOMPARE(attribute(k, sys + "/index"), QByteArray::number(n));
        QCOMPARE(deviceCaps(k, "/dev/" + nodes[n]) & (V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_META_CAPTURE),
                 capture[n] ? quint32(V4L2_CAP_VIDEO_CAPTURE) : quint32(V4L2_CAP_META_CAPTURE));
    }
    // The streaming interfaces are there, without nodes of their own.
    for (const QString &vs : {QStringLiteral("1-2:1.1"), QStringLiteral("1-2:1.2")})
        QCOMPARE(attribute(k, "/sys/bus/usb/devices/" + vs + "/bInterfaceSubClass"), QByteArray("02"));
    QTRY_COMPARE_WITH_TIMEOUT(events.size(), nodes.size(), deadlineMs(5000));
    for (int n = 0; n < nodes.size(); ++n) {
        QCOMPARE(events[n].devNode, "/dev/" + nodes[n]);
        QCOMPARE(events[n].properties.value("ID_V4L_CAPABILITIES") == ":capture:", capture[n]);
        QCOMPARE(events[n].properties.value("ID_USB_INTERFACE_NUM"), QStringLiteral("00"));
    }
}

void StreamsTest::eachNodeListsItsStreamsFormats_data()
{
    QTest::addColumn<bool>("twoStreams");
    QTest::addColumn<QString>("node");
    QTest::addColumn<quint32>("type");
    QTest::addColumn<quint32>("index");
    QTest::addColumn<int>("rc");
    QTest::addColumn<quint32>("pixelFormat");
    QTest::addColumn<quint32>("flags");
    QTest::addColumn<QString>("description");
    const quint32 capture = V4L2_BUF_TYPE_VIDEO_CAPTURE, meta = V4L2_BUF_TYPE_META_CAPTURE;
    const quint32 compressed = V4L2_FMT_FLAG_COMPRESSED;
    QTest::newRow("first stream, MJPEG") << true << "/dev/video0" << capture << 0u << 0 << quint32(V4L2_PIX_FMT_MJPEG)
                                         << compressed << "Motion-JPEG";
    QTest::newRow("first stream, YUYV") << true << "/dev/video0" << capture << 1u << 0 << quint32(V4L2_PIX_FMT_YUYV)
                                        << 0u << "YUYV 4:2:2";
    QTest::newRow("first stream, past the end") << true << "/dev/video0" << capture << 2u << -EINVAL << 0u << 0u << "";
    QTest::newRow("first stream, huge index") << true << "/dev/video0" << capture << 0xFFFFFFFFu << -EINVAL << 0u << 0u << "";
    QTest::newRow("first stream, metadata type") << true << "/dev/video0" << meta << 0u << -EINVAL << 0u << 0u << "";
    QTest::newRow("first stream, multi-planar type")
        << true << "/dev/video0" << quint32(V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE) << 0u << -EINVAL << 0u << 0u << "";
    QTest::newRow("second stream, its own YUYV") << true << "/dev/video2" << capture << 0u << 0
                                                 << quint32(V4L2_PIX_FMT_YUYV) << 0u << "YUYV 4:2:2";
    QTest::newRow("second stream, no MJPEG after it") << true << "/dev/video2" << capture << 1u << -EINVAL << 0u << 0u << "";
    QTest::newRow("metadata node") << true << "/dev/video1" << meta << 0u << 0 << quint32(V4L2_META_FMT_UVC) << 0u
                                   << "UVC Payload Header Metadata";
    QTest::newRow("metadata node, second") << true << "/dev/video3" << meta << 1u << -EINVAL << 0u << 0u << "";
    QTest::newRow("metadata node, capture type") << true << "/dev/video1" << capture << 0u << -EINVAL << 0u << 0u << "";
    QTest::newRow("camera without streams, MJPEG") << false << "/dev/video0" << capture << 0u << 0
                                                   << quint32(V4L2_PIX_FMT_MJPEG) << compressed << "Motion-JPEG";
    QTest::newRow("camera without streams, only that") << false << "/dev/video0" << capture << 1u << -EINVAL << 0u << 0u << "";
}

void StreamsTest::eachNodeListsItsStreamsFormats()
{
    QFETCH(bool, twoStreams);
    QFETCH(QString, node);
    QFETCH(quint32, type);
    QFETCH(quint32, index);
    QFETCH(int, rc);
    QFETCH(quint32, pixelFormat);
    QFETCH(quint32, flags);
    QFETCH(QString, description);
    SimKernel k;
    k.plug(makeCamera(twoStreams ? twoStreamCamera() : cameraConfig("cam", "1-2")));
    const int fd = k.open(node, O_RDWR);
    QVERIFY(fd >= 0);
    v4l2_fmtdesc format{};
    format.index = index;
    format.type = type;
    format.pixelformat = 0xDEADBEEF; // the driver clears what it does not fill
    QCOMPARE(k.ioctl(fd, VIDIOC_ENUM_FMT, &format), rc);
    k.close(fd);
    if (rc < 0)
        return;
    QCOMPARE(format.index, index);
    QCOMPARE(format.type, type);
    QCOMPARE(format.pixelformat, pixelFormat);
    QCOMPARE(format.flags, flags);
    QCOMPARE(QString::fromUtf8(reinterpret_cast<const char *>(format.description)), description);
}

// One interface association over the VideoControl interface and both
// VideoStreaming interfaces; each streaming interface is linked to an output
// terminal of its own and lists its own formats.
void StreamsTest::descriptorsCarryEveryStream()
{
    SimKernel k;
    k.plug(makeCamera(twoStreamCamera()));
    QByteArray descriptors;
    QCOMPARE(k.readAttribute("/sys/bus/usb/devices/1-2/descriptors", &descriptors), 0);

    const QVector<SimUsbInterface> interfaces = parseUsbInterfaces(descriptors);
    QCOMPARE(interfaces.size(), 3);
    QCOMPARE(interfaces[0].subclass, 1);
    QCOMPARE(interfaces[1].number, 1);
    QCOMPARE(interfaces[1].subclass, 2);
    QCOMPARE(interfaces[1].endpoints, QVector<int>{0x82});
    QCOMPARE(interfaces[2].number, 2);
    QCOMPARE(interfaces[2].subclass, 2);
    QCOMPARE(interfaces[2].endpoints, QVector<int>{0x83});
    QCOMPARE(quint8(descriptors[18 + 4]), quint8(3)); // configuration's bNumInterfaces
    const int association = descriptors.indexOf(QByteArray::fromHex("080b00030e0300"));
    QVERIFY(association > 0);

    const QVector<QByteArray> headers = classDescriptors(descriptors, UVC_VC_HEADER, 1);
    QCOMPARE(headers.size(), 1);
    QCOMPARE(headers[0].mid(11), QByteArray::fromHex("020102")); // bInCollection 2: interfaces 1 and 2
    QVector<int> outputs;
    for (const QByteArray &terminal : classDescriptors(descriptors, UVC_VC_OUTPUT_TERMINAL, 1))
        outputs << quint8(terminal[3]);
    QCOMPARE(outputs.size(), 2);
    const QVector<QByteArray> inputs = classDescriptors(descriptors, UVC_VS_INPUT_HEADER, 2);
    QCOMPARE(inputs.size(), 2);
    QCOMPARE(quint8(inputs[0][3]), quint8(2)); // bNumFormats
    QCOMPARE(quint8(inputs[1][3]), quint8(1));
    QCOMPARE((QVector<int>{quint8(inputs[0][8]), quint8(inputs[1][8])}), outputs); // bTerminalLink
    QCOMPARE(classDescriptors(descriptors, UVC_VS_FORMAT_MJPEG, 2).size(), 1);
    const QVector<QByteArray> uncompressed = classDescriptors(descriptors, UVC_VS_FORMAT_UNCOMPRESSED, 2);
    QCOMPARE(uncompressed.size(), 2);
    for (const QByteArray &format : uncompressed)
        QCOMPARE(format.mid(5, 4), QByteArray("YUY2"));
    // The app finds the same extension units as in a camera with one stream.
    k.plug(makeCamera(cameraConfig("one", "1-3")));
    QByteArray oneStream;
    QCOMPARE(k.readAttribute("/sys/bus/usb/devices/1-3/descriptors", &oneStream), 0);
    const auto units = parseExtensionUnits(descriptors, 1), expected = parseExtensionUnits(oneStream, 1);
    QVERIFY(!expected.isEmpty());
    QCOMPARE(units.size(), expected.size());
    for (int i = 0; i < units.size(); ++i)
        QCOMPARE(units[i].unitId, expected[i].unitId);
}

// S_FMT keeps a format the node's own stream offers and answers another with
// the stream's first; the metadata node takes no video format at all.
void StreamsTest::formatsFollowTheNodesStream_data()
{
    QTest::addColumn<QString>("node");
    QTest::addColumn<quint32>("asked");
    QTest::addColumn<int>("rc");
    QTest::addColumn<quint32>("got");
    const quint32 mjpeg = V4L2_PIX_FMT_MJPEG, yuyv = V4L2_PIX_FMT_YUYV;
    QTest::newRow("MJPEG on the first stream") << "/dev/video0" << mjpeg << 0 << mjpeg;
    QTest::newRow("YUYV on the first stream") << "/dev/video0" << yuyv << 0 << yuyv;
    QTest::newRow("MJPEG on the second stream") << "/dev/video2" << mjpeg << 0 << yuyv;
    QTest::newRow("YUYV on the second stream") << "/dev/video2" << yuyv << 0 << yuyv;
    QTest::newRow("NV12 on the first stream") << "/dev/video0" << quint32(V4L2_PIX_FMT_NV12) << 0 << mjpeg;
    QTest::newRow("metadata node") << "/dev/video3" << yuyv << -EINVAL << 0u;
}

void StreamsTest::formatsFollowTheNodesStream()
{
    QFETCH(QString, node);
    QFETCH(quint32, asked);
    QFETCH(int, rc);
    QFETCH(quint32, got);
    SimKernel k;
    k.plug(makeCamera(twoStreamCamera()));
    const int fd = k.open(node, O_RDWR);
    QVERIFY(fd >= 0);
    v4l2_format format{};
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    format.fmt.pix.pixelformat = asked;
    format.fmt.pix.width = 1920;
    format.fmt.pix.height = 1080;
    QCOMPARE(k.ioctl(fd, VIDIOC_S_FMT, &format), rc);
    if (rc == 0)
        QCOMPARE(format.fmt.pix.pixelformat, got);
    k.close(fd);
}

// Both output terminals hang from the processing unit: one chain, whose
// controls every capture node of the camera reaches.
void StreamsTest::everyCaptureNodeReachesTheControls()
{
    SimKernel k;
    k.plug(makeCamera(twoStreamCamera()));
    for (const QString &node : {QStringLiteral("/dev/video0"), QStringLiteral("/dev/video2")}) {
        const int fd = k.open(node, O_RDWR);
        v4l2_control control{V4L2_CID_BRIGHTNESS, 0};
        QCOMPARE(k.ioctl(fd, VIDIOC_G_CTRL, &control), 0);
        k.close(fd);
    }
    const int fd = k.open("/dev/video3", O_RDWR);
    v4l2_control control{V4L2_CID_BRIGHTNESS, 0};
    QCOMPARE(k.ioctl(fd, VIDIOC_G_CTRL, &control), -ENOTTY);
    k.close(fd);
}

// Every capture node has its own queue: both stream at once.
void StreamsTest::eachCaptureNodeStreamsOnItsOwn()
{
    SimKernel k;
    QJsonObject config = cameraConfig("cam", "1-2");
    config.insert("streams", streams({{"mjpeg"}, {"yuyv", "mjpeg"}}));
    k.plug(makeCamera(config));
    simtest::CaptureStream first{k, k.open("/dev/video0", O_RDWR | O_NONBLOCK), {}};
    simtest::CaptureStream second{k, k.open("/dev/video2", O_RDWR | O_NONBLOCK), {}};
    QVERIFY(first.fd >= 0 && second.fd >= 0);
    for (simtest::CaptureStream *stream : {&first, &second}) {
        v4l2_format answer{};
        QCOMPARE(stream->setFormat(V4L2_PIX_FMT_MJPEG, 1920, 1080, &answer), 0);
        QCOMPARE(answer.fmt.pix.pixelformat, quint32(V4L2_PIX_FMT_MJPEG));
        QCOMPARE(stream->request(2), 0);
        QCOMPARE(stream->queue(0), 0);
        QCOMPARE(stream->queue(1), 0);
        QCOMPARE(stream->stream(true), 0);
    }
    for (simtest::CaptureStream *stream : {&first, &second}) {
        QVERIFY(k.poll(stream->fd, POLLIN, 5000) & POLLIN);
        v4l2_buffer buffer{};
        QCOMPARE(stream->dequeue(&buffer), 0);
        QVERIFY(stream->frame(buffer).startsWith("\xff\xd8"));
    }
    for (simtest::CaptureStream *stream : {&first, &second}) {
        QCOMPARE(stream->stream(false), 0);
        k.close(stream->fd);
    }
}

QTEST_GUILESS_MAIN(StreamsTest)
#include "test_streams.moc"
