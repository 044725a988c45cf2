// LABELS: worker
// A camera another application streams from: everything but streaming works,
// and the holder lookup names who has it.
#include "sim/sim_camera.h"
#include "sim/sim_kernel.h"
#include "sim_fixtures.h"
#include "support/testsupport.h"

#include <QJsonArray>
#include <QtTest>

#include <fcntl.h>
#include <linux/usb/video.h>
#include <linux/uvcvideo.h>
#include <linux/videodev2.h>
#include <unistd.h>

using namespace lumora::sim;
using lumora::platform::NodeHolder;
using simtest::cameraConfig;

namespace {

const QString kCapture = QStringLiteral("/dev/video0");

QJsonObject heldCamera(const QJsonObject &holder)
{
    QJsonObject camera = cameraConfig("cam", "1-1");
    camera.insert("heldBy", holder);
    return camera;
}

int requestBuffers(SimKernel &k, int fd, quint32 count, quint32 type = V4L2_BUF_TYPE_VIDEO_CAPTURE)
{
    v4l2_requestbuffers request{};
    request.count = count;
    request.type = type;
    request.memory = V4L2_MEMORY_MMAP;
    return k.ioctl(fd, VIDIOC_REQBUFS, &request);
}

int streamOn(SimKernel &k, int fd)
{
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    return k.ioctl(fd, VIDIOC_STREAMON, &type);
}

QStringList described(const QVector<NodeHolder> &holders)
{
    QStringList text;
    for (const NodeHolder &h : holders)
        text << QStringLiteral("%1 %2").arg(h.pid).arg(h.name);
    return text;
}

QString self()
{
    return QStringLiteral("%1 %2").arg(::getpid()).arg(QString::fromLocal8Bit(program_invocation_short_name).left(15));
}

} // namespace

class BusyCameraTest : public QObject {
    Q_OBJECT
private slots:
    void everythingButStreamingWorks();
    void releaseFreesStreaming();
    void holderLookup_data();
    void holderLookup();
    void restartLosesTheHolder();
    void timelineReleases();
};

void BusyCameraTest::everythingButStreamingWorks()
{
    SimKernel k;
    k.plug(makeCamera(heldCamera({{"pid", 4242}, {"name", "videocall"}})));
    const auto camera = k.find<SimCamera>("cam");
    const int fd = k.open(kCapture, O_RDWR | O_NONBLOCK);
    QVERIFY(fd >= 0);
    v4l2_capability cap{};
    QCOMPARE(k.ioctl(fd, VIDIOC_QUERYCAP, &cap), 0);

    v4l2_control zoom{V4L2_CID_ZOOM_ABSOLUTE, 200};
    QCOMPARE(k.ioctl(fd, VIDIOC_S_CTRL, &zoom), 0);
    zoom.value = 0;
    QCOMPARE(k.ioctl(fd, VIDIOC_G_CTRL, &zoom), 0);
    QCOMPARE(zoom.value, 200);

    quint8 hdrOn[8] = {0x01, 1, 1, 0, 0, 0, 0, 0};
    uvc_xu_control_query set{quint8(camera->extensionUnit().unitId()), 1, UVC_SET_CUR, 8, hdrOn};
    QCOMPARE(k.ioctl(fd, UVCIOC_CTRL_QUERY, &set), 0);

    QCOMPARE(requestBuffers(k, fd, 0), -EBUSY);
    QCOMPARE(requestBuffers(k, fd, 4), -EBUSY);
    QCOMPARE(streamOn(k, fd), -EBUSY);
    // The type is checked before the streaming right, as V4L2 does.
    QCOMPARE(requestBuffers(k, fd, 0, V4L2_BUF_TYPE_VIDEO_OUTPUT), -EINVAL);
    v4l2_format format{};
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    QCOMPARE(k.ioctl(fd, VIDIOC_S_FMT, &format), -EBUSY);
    QCOMPARE(k.ioctl(fd, VIDIOC_G_FMT, &format), 0); // looking needs no right
    QVERIFY(camera->isHeld());
}

void BusyCameraTest::releaseFreesStreaming()
{
    SimKernel k;
    k.plug(makeCamera(heldCamera({{"pid", 4242}, {"name", "videocall"}})));
    const int fd = k.open(kCapture, O_RDWR | O_NONBLOCK);
    k.find<SimCamera>("cam")->release();
    QCOMPARE(requestBuffers(k, fd, 0), 0);
    QCOMPARE(requestBuffers(k, fd, 0), 0); // the right was handed back: asking again works
    QCOMPARE(streamOn(k, fd), -EBUSY);     // handed back with the buffers: uvcvideo wants it taken again
    v4l2_format format{};
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    QCOMPARE(k.ioctl(fd, VIDIOC_S_FMT, &format), 0);
    QCOMPARE(described(k.holders(kCapture)), QStringList{self()});
}

void BusyCameraTest::holderLookup_data()
{
    QTest::addColumn<QJsonObject>("holder");
    QTest::addColumn<bool>("openHere");
    QTest::addColumn<QStringList>("expected");
    const QJsonObject call{{"pid", 4242}, {"name", "videocall"}};
    QTest::newRow("holder only") << call << false << QStringList{"4242 videocall"};
    // Listed by pid; the holder's pid is chosen relative to ours so the order holds on any machine.
    const qint64 later = qint64(::getpid()) + 1;
    QTest::newRow("holder after this process by pid")
        << QJsonObject{{"pid", later}, {"name", "videocall"}} << true
        << QStringList{self(), QStringLiteral("%1 videocall").arg(later)};
    QTest::newRow("holder before this process by pid")
        << QJsonObject{{"pid", 1}, {"name", "init"}} << true << QStringList{"1 init", self()};
    QTest::newRow("name cut as Linux keeps it")
        << QJsonObject{{"pid", 77}, {"name", "chromium-browser-stable"}} << false << QStringList{"77 chromium-browse"};
    QTest::newRow("another user's process is hidden")
        << QJsonObject{{"pid", 4242}, {"name", "videocall"}, {"otherUser", true}} << false << QStringList{};
}

void BusyCameraTest::holderLookup()
{
    QFETCH(QJsonObject, holder);
    QFETCH(bool, openHere);
    QFETCH(QStringList, expected);
    SimKernel k;
    k.plug(makeCamera(heldCamera(holder)));
    const int fd = openHere ? k.open(kCapture, O_RDWR) : -1;
    QCOMPARE(described(k.holders(kCapture)), expected);
    // The holder has the capture node; the metadata node and unknown nodes have nobody.
    QCOMPARE(described(k.holders("/dev/video1")), QStringList{});
    QCOMPARE(described(k.holders("/dev/video7")), QStringList{});
    // Hidden or not, the camera is busy.
    const int probe = k.open(kCapture, O_RDWR);
    QCOMPARE(requestBuffers(k, probe, 0), -EBUSY);
    k.close(probe);
    if (fd >= 0) {
        k.close(fd);
        QVERIFY(!described(k.holders(kCapture)).contains(self()));
    }
}

void BusyCameraTest::restartLosesTheHolder()
{
    SimKernel k;
    k.plug(makeCamera(heldCamera({{"pid", 4242}, {"name", "videocall"}})));
    QVERIFY(!k.find<SimCamera>("cam")->config().contains("heldBy"));
    k.restart("cam", 0);
    QTRY_VERIFY_WITH_TIMEOUT(k.find<SimCamera>("cam"), deadlineMs(5000));
    QVERIFY(!k.find<SimCamera>("cam")->isHeld());
    QVERIFY(k.holders(kCapture).isEmpty());
}

void BusyCameraTest::timelineReleases()
{
    SimKernel k;
    QVERIFY(k.loadScenario({{"cameras", QJsonArray{heldCamera({{"pid", 4242}, {"name", "videocall"}})}},
                            {"timeline", QJsonArray{QJsonObject{{"atMs", 50}, {"action", "release"}, {"device", "cam"}}}}}));
    QVERIFY(k.find<SimCamera>("cam")->isHeld());
    QTRY_VERIFY_WITH_TIMEOUT(!k.find<SimCamera>("cam")->isHeld(), deadlineMs(5000));
    QVERIFY(k.holders(kCapture).isEmpty());
}

QTEST_GUILESS_MAIN(BusyCameraTest)
#include "test_busy_camera.moc"
