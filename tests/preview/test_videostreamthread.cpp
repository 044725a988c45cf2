// LABELS: worker
#include "preview_session.h"
#include "qt_tsan_suppressions.h"

#include "platform/kernel.h"
#include "platform/trace.h"
#include "sim/sim_camera.h"
#include "sim/sim_kernel.h"
#include "support/testsupport.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QJsonArray>
#include <QtTest>

#include <fcntl.h>
#include <linux/videodev2.h>

#include <chrono>
#include <mutex>
#include <thread>

using namespace lumora;

namespace {

const QString kCamera = QStringLiteral("/dev/video0"); // qx-4k of the default scenario

std::mutex g_logMutex;
QStringList g_log;

void captureLog(QtMsgType, const QMessageLogContext &, const QString &message)
{
    std::lock_guard<std::mutex> lock(g_logMutex);
    g_log << message;
}

bool logged(const QString &prefix)
{
    std::lock_guard<std::mutex> lock(g_logMutex);
    for (const QString &line : qAsConst(g_log))
        if (line.startsWith(prefix))
            return true;
    return false;
}

QJsonObject cameraConfig(const QString &id, const QString &port, const QJsonArray &faults = {})
{
    return {{"id", id},          {"vendorId", "0x1d6b"}, {"productId", "0xff01"}, {"manufacturer", "QX"},
            {"product", "QX NV-Optica-4K-AI"}, {"serial", "SN-" + id}, {"port", port}, {"firmware", "1.4.2"},
            {"faults", faults}};
}

// The default scenario, plus a camera the test makes hang and one that sends
// frames that are no pictures.
class TestKernel : public sim::SimKernel {
public:
    TestKernel()
    {
        loadScenario(defaultScenario());
        plug(sim::makeCamera(cameraConfig("test", "3-1")));
        plug(sim::makeCamera(cameraConfig("garbage", "3-2", {QJsonObject{{"kind", "garbageFrames"}}})));
        QJsonObject yuyv = cameraConfig("yuyv", "3-3");
        yuyv.insert("streams", QJsonArray{QJsonObject{{"formats", QJsonArray{"yuyv"}}}});
        plug(sim::makeCamera(yuyv));
    }
    QString node(const QString &id) const { return devNodes(id).value(0); }
    std::shared_ptr<sim::SimCamera> testCamera() const { return find<sim::SimCamera>("test"); }
};

double meanLevel(const QImage &image)
{
    double sum = 0;
    int samples = 0;
    for (int y = 0; y < image.height(); y += 17)
        for (int x = 0; x < image.width(); x += 17, ++samples)
            sum += qGray(image.pixel(x, y));
    return samples ? sum / samples : 0;
}

} // namespace

class TestVideoStreamThread : public QObject {
    Q_OBJECT

    TestKernel *m_kernel = nullptr;

private Q_SLOTS:
    void initTestCase() { qInstallMessageHandler(captureLog); }
    // The cameras and their feed threads go while the application still exists.
    void cleanupTestCase() { platform::installKernel(std::make_unique<sim::SimKernel>()); }

    void init()
    {
        auto kernel = std::make_unique<TestKernel>();
        m_kernel = kernel.get();
        platform::installKernel(std::move(kernel));
        std::lock_guard<std::mutex> lock(g_logMutex);
        g_log.clear();
    }

    void picturesArriveOnGuiThreadAtNativeSize()
    {
        PreviewSession session(kCamera);
        QTRY_VERIFY_WITH_TIMEOUT(session.pictures >= 3, deadlineMs(10000));
        QCOMPARE(session.last.size(), QSize(1920, 1080));
        QCOMPARE(session.last.format(), QImage::Format_RGB32);
        QVERIFY(session.onGuiThread);
        QVERIFY(logged("VideoStreamThread::m_CameraName:"));
    }

    // Pictures come at the size they are shown, and a full frame when asked for.
    void picturesComeAtTheShownSize()
    {
        PreviewSession session(kCamera);
        session.worker()->setShownSize(QSize(652, 367));
        QTRY_VERIFY_WITH_TIMEOUT(session.last.size() == QSize(648, 365), deadlineMs(10000));
        QCOMPARE(session.last.format(), QImage::Format_RGB32);
        const int before = session.pictures;
        QTRY_VERIFY_WITH_TIMEOUT(session.pictures >= before + 2, deadlineMs(10000));
        QCOMPARE(session.last.size(), QSize(648, 365));
        QVERIFY(session.lastFull.isNull());
        const qulonglong frame = session.last.text("frame").toULongLong();
        QVERIFY(frame > 0);

        session.worker()->requestFullFrame();
        QTRY_VERIFY_WITH_TIMEOUT(!session.lastFull.isNull(), deadlineMs(10000));
        QCOMPARE(session.lastFull.size(), QSize(1920, 1080));
        QVERIFY(session.lastFull.text("frame").toULongLong() > frame);

        session.worker()->setShownSize(QSize());
        QTRY_COMPARE_WITH_TIMEOUT(session.last.size(), QSize(1920, 1080), deadlineMs(10000));
    }

    // A camera without MJPEG is decoded by FFmpeg, to the same picture.
    void everyFormatGivesThePicture()
    {
        PreviewSession mjpeg(kCamera);
        PreviewSession yuyv(m_kernel->node("yuyv"));
        for (PreviewSession *session : {&mjpeg, &yuyv})
            session->worker()->setShownSize(QSize(652, 367));
        QTRY_VERIFY_WITH_TIMEOUT(mjpeg.last.size() == QSize(648, 365), deadlineMs(10000));
        QTRY_VERIFY_WITH_TIMEOUT(yuyv.last.size() == QSize(648, 365), deadlineMs(10000));
        QCOMPARE(yuyv.last.format(), QImage::Format_RGB32);
        QVERIFY2(qAbs(meanLevel(yuyv.last) - meanLevel(mjpeg.last)) < 8,
                 qPrintable(QStringLiteral("%1 against %2").arg(meanLevel(yuyv.last)).arg(meanLevel(mjpeg.last))));
        yuyv.worker()->requestFullFrame();
        QTRY_COMPARE_WITH_TIMEOUT(yuyv.lastFull.size(), QSize(1920, 1080), deadlineMs(10000));
    }

    void stopEndsWorkerPromptly_data()
    {
        QTest::addColumn<bool>("hangBeforeOpen");
        QTest::addColumn<bool>("hangWhileStreaming");
        QTest::newRow("streaming") << false << false;
        QTest::newRow("camera hangs while streaming") << false << true;
        QTest::newRow("camera hangs before its first frame") << true << false;
    }

    void stopEndsWorkerPromptly()
    {
        QFETCH(bool, hangBeforeOpen);
        QFETCH(bool, hangWhileStreaming);
        const auto camera = m_kernel->testCamera();
        if (hangBeforeOpen)
            camera->stallFeed();
        PreviewSession session(m_kernel->node("test"));
        if (hangBeforeOpen) {
            QTRY_VERIFY_WITH_TIMEOUT(session.started, deadlineMs(5000));
        } else {
            QTRY_VERIFY_WITH_TIMEOUT(session.pictures >= 1, deadlineMs(10000));
            if (hangWhileStreaming)
                camera->stallFeed();
        }

        session.stop();
        QTRY_VERIFY_WITH_TIMEOUT(session.finished, deadlineMs(2000));
        session.shutDown();
        QCoreApplication::sendPostedEvents();
        QCOMPARE(session.picturesAfterFinish, 0);
        QVERIFY(session.workerDeleted);
        if (hangBeforeOpen)
            QCOMPARE(session.pictures, 0);
    }

    // A scenario camera that stops sending mid-stream: the stop takes less than
    // 200 ms, the stream is handed back, and the next preview streams.
    void stalledCameraStopsPromptlyAndNextPreviewStarts()
    {
        const auto camera = m_kernel->find<sim::SimCamera>(QStringLiteral("qx-4k"));
        QVERIFY(camera);
        std::atomic<qint64> stoppedAfterMs{-1};
        QElapsedTimer clock;
        {
            PreviewSession stalled(kCamera);
            connect(stalled.worker(), &VideoStreamThread::workFinished, stalled.worker(),
                    [&] { stoppedAfterMs = clock.elapsed(); }, Qt::DirectConnection);
            QTRY_VERIFY_WITH_TIMEOUT(stalled.pictures >= 1, deadlineMs(10000));
            camera->stallFeed();
            // Stalled for sure: a whole frame period and more without a picture.
            int seen = stalled.pictures;
            QElapsedTimer quiet;
            quiet.start();
            QTRY_VERIFY_WITH_TIMEOUT((seen != stalled.pictures ? (seen = stalled.pictures, quiet.restart()) : 0,
                                      quiet.elapsed() > 150), deadlineMs(10000));
            clock.start();
            stalled.stop();
            QTRY_VERIFY_WITH_TIMEOUT(stalled.finished, deadlineMs(2000));
            QVERIFY2(stoppedAfterMs.load() >= 0 && stoppedAfterMs.load() < 200,
                     qPrintable(QStringLiteral("stop took %1 ms").arg(stoppedAfterMs.load())));
        }
        camera->resumeFeed();
        bool busy = false;
        PreviewSession next(kCamera);
        connect(next.worker(), &VideoStreamThread::cameraBusy, &next, [&busy] { busy = true; });
        QTRY_VERIFY_WITH_TIMEOUT(next.pictures >= 2, deadlineMs(10000));
        QVERIFY(!busy);
    }

    void badInputIsLoggedAndReleased_data()
    {
        QTest::addColumn<QString>("camera");
        QTest::addColumn<QString>("message");
        QTest::newRow("no such camera") << QString() << QStringLiteral("Couldn't open input stream.\n");
        QTest::newRow("camera sends garbage") << QStringLiteral("garbage")
                                              << QStringLiteral("No picture could be shown for 2 s");
    }

    void badInputIsLoggedAndReleased()
    {
        QFETCH(QString, camera);
        QFETCH(QString, message);
        QElapsedTimer clock;
        clock.start();
        PreviewSession session(camera.isEmpty() ? QStringLiteral("/dev/video99") : m_kernel->node(camera));
        QTRY_VERIFY_WITH_TIMEOUT(logged(message), deadlineMs(10000));
        // A camera that sends only garbage is given its two seconds.
        QVERIFY(camera.isEmpty() || clock.elapsed() >= 2000);
        session.shutDown();
        QVERIFY(!session.finished);
        QCOMPARE(session.pictures, 0);
        QVERIFY(session.workerDeleted);
    }

    // Frames that cannot be shown now and then (damaged on the wire, empty,
    // or not decodable) are skipped: the preview goes on.
    void occasionalBadFramesAreSkipped_data()
    {
        QTest::addColumn<QJsonObject>("fault");
        const auto damaged = [](int kept, bool flagged) {
            return QJsonObject{{"kind", "damagedFrames"}, {"every", 2}, {"keptPercent", kept}, {"flagged", flagged}};
        };
        QTest::newRow("flagged with half a frame") << damaged(50, true);
        QTest::newRow("flagged and empty") << damaged(0, true);
        QTest::newRow("short, unflagged") << damaged(50, false);
        QTest::newRow("every third not a picture") << QJsonObject{{"kind", "garbageFrames"}, {"every", 3}};
    }

    void occasionalBadFramesAreSkipped()
    {
        QFETCH(QJsonObject, fault);
        m_kernel->plug(sim::makeCamera(cameraConfig("faulty", "3-4", {fault})));
        PreviewSession session(m_kernel->node("faulty"));
        QTRY_VERIFY_WITH_TIMEOUT(session.pictures >= 20, deadlineMs(20000));
        QVERIFY(!logged("Video stream ended:"));
        QVERIFY(!logged("No picture could be shown"));
    }

    // A camera that raises its frame bound for the rate the preview sets:
    // the buffers are sized from the format read back after S_PARM.
    void buffersHoldTheBoundOfTheRateSet()
    {
        QJsonObject config = cameraConfig("growing", "3-4");
        config.insert("frameRates", QJsonArray{15, 30});
        config.insert("frameBoundFollowsRate", true);
        m_kernel->plug(sim::makeCamera(config));
        PreviewSession session(m_kernel->node("growing"));
        QTRY_VERIFY_WITH_TIMEOUT(session.pictures >= 3, deadlineMs(10000));
        QVERIFY(!logged("Couldn't open input stream."));
    }

    // The preview asks for 1920x1080 and a snapshot takes the full frame at
    // that size, on every model, whatever other sizes the camera lists.
    void previewAndSnapshotSizePerModel_data()
    {
        QTest::addColumn<QString>("camera");
        QTest::newRow("4K model") << QStringLiteral("qx-4k");
        QTest::newRow("1080p model") << QStringLiteral("qx-1080");
        QTest::newRow("ORBIT 160A") << QStringLiteral("orbit-160a");
        QTest::newRow("ORBIT 400") << QStringLiteral("orbit-400");
        QTest::newRow("other vendor's webcam") << QStringLiteral("webcam");
    }

    void previewAndSnapshotSizePerModel()
    {
        QFETCH(QString, camera);
        PreviewSession session(m_kernel->node(camera));
        QTRY_VERIFY_WITH_TIMEOUT(session.pictures >= 1, deadlineMs(10000));
        QCOMPARE(session.last.size(), QSize(1920, 1080));
        session.worker()->requestFullFrame();
        QTRY_VERIFY_WITH_TIMEOUT(!session.lastFull.isNull(), deadlineMs(10000));
        QCOMPARE(session.lastFull.size(), QSize(1920, 1080));
    }

    // The stop takes the stream down step by step, each answered 0: STREAMOFF,
    // then REQBUFS 0 while the node is still open (vb2 refuses it with EBUSY
    // while streaming); the trace shows the capture calls with the answers.
    void stopTakesTheStreamDownInOrder()
    {
        QTemporaryDir dir;
        const QString file = dir.filePath(QStringLiteral("trace.log"));
        auto kernel = std::make_unique<TestKernel>();
        m_kernel = kernel.get();
        platform::installKernel(std::make_unique<platform::TraceKernel>(std::move(kernel), file));
        {
            PreviewSession session(kCamera);
            QTRY_VERIFY_WITH_TIMEOUT(session.pictures >= 2, deadlineMs(10000));
        }
        QFile trace(file);
        QVERIFY(trace.open(QIODevice::ReadOnly));
        QStringList calls;
        for (const QByteArray &line : trace.readAll().split('\n'))
            if (line.contains(" v4l2 "))
                calls << QString::fromUtf8(line.mid(line.indexOf(' ') + 1));
        const QString bound = QString::number(1920 * 1080 / 2);
        QCOMPARE(calls, (QStringList{
                            "v4l2 /dev/video0 s_fmt fmt=MJPG size=1920x1080 sizeimage=" + bound + " rc=0",
                            "v4l2 /dev/video0 s_parm interval=1/30 rc=0",
                            "v4l2 /dev/video0 g_fmt fmt=MJPG size=1920x1080 sizeimage=" + bound + " rc=0",
                            "v4l2 /dev/video0 reqbufs memory=userptr count=4 rc=0",
                            "v4l2 /dev/video0 streamon rc=0",
                            "v4l2 /dev/video0 streamoff rc=0",
                            "v4l2 /dev/video0 reqbufs memory=userptr count=0 rc=0",
                        }));
        // Nothing of the stream is left: another file takes it at once.
        const int fd = platform::kernel().open(kCamera, O_RDWR | O_NONBLOCK);
        v4l2_requestbuffers request{};
        request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        request.memory = V4L2_MEMORY_USERPTR;
        request.count = 1;
        QCOMPARE(platform::kernel().ioctl(fd, VIDIOC_REQBUFS, &request), 0);
        platform::kernel().close(fd);
    }

    void unplugEndsLoopWithoutSpinning()
    {
        PreviewSession unplugged(kCamera);
        QTRY_VERIFY_WITH_TIMEOUT(unplugged.pictures >= 2, deadlineMs(10000));
        m_kernel->unplug("qx-4k");
        QTRY_VERIFY_WITH_TIMEOUT(logged("Video stream ended:"), deadlineMs(5000));

        // While it waits to be stopped, another camera streams a few frames.
        const double cpuBefore = unplugged.cpuMs();
        QElapsedTimer wall;
        wall.start();
        PreviewSession other(m_kernel->node("test"));
        QTRY_VERIFY_WITH_TIMEOUT(other.pictures >= 10, deadlineMs(10000));
        QVERIFY2(unplugged.cpuMs() - cpuBefore < 0.1 * double(wall.elapsed()),
                 qPrintable(QString("%1 ms CPU in %2 ms").arg(unplugged.cpuMs() - cpuBefore).arg(wall.elapsed())));
        QVERIFY(!unplugged.finished);
        unplugged.shutDown();
        QVERIFY(unplugged.workerDeleted);
    }

    void stalledReceiverKeepsOnePictureInFlight()
    {
        PreviewSession session(m_kernel->node("test"));
        QTRY_VERIFY_WITH_TIMEOUT(session.pictures >= 1, deadlineMs(10000));

        // The GUI thread stops handling events while a second's worth of frames is served.
        std::atomic<quint64> served{0};
        m_kernel->testCamera()->setFrameObserver([&served](quint64 frame) { served = frame; });
        QTRY_VERIFY_WITH_TIMEOUT(served > 0, deadlineMs(10000));
        const quint64 target = served + 30;
        QElapsedTimer deadline;
        deadline.start();
        while (served < target && deadline.elapsed() < 10000)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        m_kernel->testCamera()->setFrameObserver({});
        QVERIFY(served >= target);

        const int before = session.pictures;
        QCoreApplication::sendPostedEvents();
        QVERIFY2(session.pictures - before <= 2, qPrintable(QString::number(session.pictures - before)));
        QTRY_VERIFY_WITH_TIMEOUT(session.pictures >= before + 5, deadlineMs(10000));
    }

    void pictureFollowsCameraControls()
    {
        PreviewSession session(kCamera);
        QTRY_VERIFY_WITH_TIMEOUT(session.pictures >= 1, deadlineMs(10000));
        const double normal = meanLevel(session.last);

        const int fd = platform::kernel().open(kCamera, O_RDWR);
        QVERIFY(fd >= 0);
        v4l2_control control{V4L2_CID_BRIGHTNESS, 255};
        QCOMPARE(platform::kernel().ioctl(fd, VIDIOC_S_CTRL, &control), 0);
        platform::kernel().close(fd);

        QTRY_VERIFY_WITH_TIMEOUT(meanLevel(session.last) > normal + 40, deadlineMs(10000));
    }
};

QTEST_MAIN(TestVideoStreamThread)
#include "test_videostreamthread.moc"
