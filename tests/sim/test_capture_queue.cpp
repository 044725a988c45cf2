// LABELS: worker
// The simulated capture node streams as uvcvideo and videobuf2 do: the format
// is negotiated, the application's buffers are filled one whole frame each,
// DQBUF blocks or answers EAGAIN by the open flags, one file owns the stream,
// and the stream ends with the camera.
#include "capture_stream.h"
#include "sim/sim_camera.h"
#include "sim/sim_kernel.h"
#include "sim_fixtures.h"
#include "support/testsupport.h"

#include <QImage>
#include <QJsonArray>
#include <QtTest>

#include <fcntl.h>
#include <poll.h>

#include <future>

using namespace lumora::sim;
using simtest::CaptureStream;
using simtest::cameraConfig;

namespace {

const QString kCapture = QStringLiteral("/dev/video0");
const QString kMetadata = QStringLiteral("/dev/video1");
const int kFrameWaitMs = deadlineMs(5000);

} // namespace

class CaptureQueueTest : public QObject {
    Q_OBJECT

    std::unique_ptr<SimKernel> m_kernel;
    std::shared_ptr<SimCamera> m_camera;

    CaptureStream open(int flags = O_RDWR | O_NONBLOCK)
    {
        return {*m_kernel, m_kernel->open(kCapture, flags), {}};
    }

private slots:
    void init()
    {
        m_kernel = std::make_unique<SimKernel>();
        m_kernel->plug(makeCamera(cameraConfig("cam", "1-1")));
        m_camera = m_kernel->find<SimCamera>("cam");
    }
    void cleanup()
    {
        m_camera.reset();
        m_kernel.reset();
    }

    // The camera offers MJPEG at 640x480, 1280x720 and 1920x1080: S_FMT
    // answers the nearest of those, and the application must look at the
    // answer. sizeimage is the camera's bound for an MJPEG frame, not w*h*2.
    void formatIsTheNearestOffered_data()
    {
        QTest::addColumn<quint32>("pixelFormat");
        QTest::addColumn<QSize>("size");
        QTest::addColumn<QSize>("answered");
        QTest::newRow("mjpeg 1920x1080") << quint32(V4L2_PIX_FMT_MJPEG) << QSize(1920, 1080) << QSize(1920, 1080);
        QTest::newRow("mjpeg 1280x720") << quint32(V4L2_PIX_FMT_MJPEG) << QSize(1280, 720) << QSize(1280, 720);
        QTest::newRow("mjpeg 1000x700") << quint32(V4L2_PIX_FMT_MJPEG) << QSize(1000, 700) << QSize(1280, 720);
        QTest::newRow("mjpeg 3840x2160") << quint32(V4L2_PIX_FMT_MJPEG) << QSize(3840, 2160) << QSize(1920, 1080);
        QTest::newRow("yuyv 1920x1080") << quint32(V4L2_PIX_FMT_YUYV) << QSize(1920, 1080) << QSize(1920, 1080);
        QTest::newRow("h264 640x480") << quint32(V4L2_PIX_FMT_H264) << QSize(640, 480) << QSize(640, 480);
    }

    void formatIsTheNearestOffered()
    {
        QFETCH(quint32, pixelFormat);
        QFETCH(QSize, size);
        QFETCH(QSize, answered);
        CaptureStream s = open();
        v4l2_format answer{};
        QCOMPARE(s.setFormat(pixelFormat, quint32(size.width()), quint32(size.height()), &answer), 0);
        QCOMPARE(answer.fmt.pix.pixelformat, quint32(V4L2_PIX_FMT_MJPEG));
        QCOMPARE(QSize(int(answer.fmt.pix.width), int(answer.fmt.pix.height)), answered);
        QCOMPARE(answer.fmt.pix.sizeimage, quint32(answered.width() * answered.height() / 2));

        v4l2_fmtdesc description{};
        description.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        QCOMPARE(m_kernel->ioctl(s.fd, VIDIOC_ENUM_FMT, &description), 0);
        QCOMPARE(description.pixelformat, quint32(V4L2_PIX_FMT_MJPEG));
        QVERIFY(description.flags & V4L2_FMT_FLAG_COMPRESSED);
        description.index = 1;
        QCOMPARE(m_kernel->ioctl(s.fd, VIDIOC_ENUM_FMT, &description), -EINVAL);
        // The metadata node carries no picture: it has format ioctls, of the
        // metadata type only, so a video format is EINVAL (check_fmt).
        const int metadata = m_kernel->open(kMetadata, O_RDWR);
        QCOMPARE(m_kernel->ioctl(metadata, VIDIOC_S_FMT, &answer), -EINVAL);
    }

    // What the queue refuses, in the order an application meets it.
    void queueRefusesWhatVideobuf2Refuses()
    {
        CaptureStream s = open();
        CaptureStream other = open();
        v4l2_buffer buffer{};
        QCOMPARE(s.stream(true), -EBUSY); // the stream is taken by S_FMT or REQBUFS first
        QCOMPARE(s.setFormat(V4L2_PIX_FMT_MJPEG, 1920, 1080), 0);
        QCOMPARE(s.stream(true), -EINVAL); // no buffers yet
        QCOMPARE(s.request(4), 0);
        QCOMPARE(s.buffers.size(), 4);
        // One file streams: the other may look, not take.
        QCOMPARE(other.setFormat(V4L2_PIX_FMT_MJPEG, 1920, 1080), -EBUSY);
        QCOMPARE(other.request(4), -EBUSY);
        other.buffers.resize(1);
        QCOMPARE(other.queue(0), -EBUSY);
        // The format stays while buffers exist.
        QCOMPARE(s.setFormat(V4L2_PIX_FMT_MJPEG, 1920, 1080), -EBUSY);
        QCOMPARE(s.queue(0, 4096), -EINVAL);          // shorter than a frame
        QCOMPARE(s.queue(0, 0, true), -EFAULT);        // no memory
        s.buffers.resize(5);
        QCOMPARE(s.queue(4), -EINVAL);                 // no such buffer
        QCOMPARE(s.queue(0), 0);
        QCOMPARE(s.queue(0), -EINVAL);                 // already queued
        QCOMPARE(s.dequeue(&buffer), -EINVAL);         // not streaming
        QCOMPARE(s.request(2), 0);                     // asking again before streaming is allowed
        QCOMPARE(s.queue(0), 0);
        QCOMPARE(s.stream(true), 0);
        QCOMPARE(s.request(4), -EBUSY);                // not while streaming
        QCOMPARE(s.stream(false), 0);
        QCOMPARE(s.dequeue(&buffer), -EINVAL);
        QCOMPARE(s.queue(0), 0);                       // STREAMOFF gave it back

        // Giving the buffers back, or closing, hands the stream over.
        QCOMPARE(s.request(0), 0);
        QCOMPARE(other.setFormat(V4L2_PIX_FMT_MJPEG, 1920, 1080), 0);
        QCOMPARE(s.request(1), -EBUSY);
        QCOMPARE(m_kernel->close(other.fd), 0);
        QCOMPARE(s.request(1), 0);
    }

    // Each buffer holds one whole JPEG picture; an empty queue answers EAGAIN
    // and poll() waits for the next frame.
    void buffersHoldWholeFrames()
    {
        m_camera->stallFeed();
        CaptureStream s = open();
        QCOMPARE(s.setFormat(V4L2_PIX_FMT_MJPEG, 1920, 1080), 0);
        QCOMPARE(s.request(3), 0);
        for (int i = 0; i < 3; ++i)
            QCOMPARE(s.queue(i), 0);
        QCOMPARE(s.stream(true), 0);
        v4l2_buffer buffer{};
        QCOMPARE(s.dequeue(&buffer), -EAGAIN);
        QCOMPARE(m_kernel->poll(s.fd, POLLIN, 50), 0);

        m_camera->resumeFeed();
        quint32 lastSequence = 0;
        for (int frame = 0; frame < 5; ++frame) {
            QVERIFY(m_kernel->poll(s.fd, POLLIN, kFrameWaitMs) & POLLIN);
            QCOMPARE(s.dequeue(&buffer), 0);
            const QByteArray jpeg = s.frame(buffer);
            QVERIFY(jpeg.startsWith("\xff\xd8") && jpeg.endsWith("\xff\xd9"));
            QCOMPARE(QImage::fromData(jpeg, "JPEG").size(), QSize(1920, 1080));
            QVERIFY(!(buffer.flags & V4L2_BUF_FLAG_ERROR));
            QVERIFY(buffer.flags & V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC);
            QVERIFY(frame == 0 || buffer.sequence > lastSequence);
            lastSequence = buffer.sequence;
            QCOMPARE(s.queue(int(buffer.index)), 0);
        }
        QCOMPARE(s.stream(false), 0);
        QCOMPARE(m_kernel->poll(s.fd, POLLIN, 0), int(POLLERR));
    }

    // Each model lists the frame sizes it has, each with its rates, and takes
    // the size asked for.
    void frameSizesFollowTheModel_data()
    {
        QTest::addColumn<QJsonArray>("listed");
        QTest::addColumn<QVector<QSize>>("sizes");
        const QVector<QSize> hd{QSize(640, 480), QSize(1280, 720), QSize(1920, 1080)};
        QTest::newRow("1080p camera") << QJsonArray() << hd;
        QTest::newRow("4K camera") << QJsonArray{"640x480", "1280x720", "1920x1080", "3840x2160"}
                                   << (hd + QVector<QSize>{QSize(3840, 2160)});
    }

    void frameSizesFollowTheModel()
    {
        QFETCH(QJsonArray, listed);
        QFETCH(QVector<QSize>, sizes);
        QJsonObject config = cameraConfig("model", "1-2");
        if (!listed.isEmpty())
            config.insert("frameSizes", listed);
        m_kernel->plug(makeCamera(config));
        CaptureStream s{*m_kernel, m_kernel->open(m_kernel->devNodes("model").value(0), O_RDWR | O_NONBLOCK), {}};
        QVector<QSize> enumerated;
        for (quint32 index = 0;; ++index) {
            v4l2_frmsizeenum frameSize{};
            frameSize.index = index;
            frameSize.pixel_format = V4L2_PIX_FMT_MJPEG;
            if (m_kernel->ioctl(s.fd, VIDIOC_ENUM_FRAMESIZES, &frameSize) != 0)
                break;
            QCOMPARE(frameSize.type, quint32(V4L2_FRMSIZE_TYPE_DISCRETE));
            enumerated.append(QSize(int(frameSize.discrete.width), int(frameSize.discrete.height)));
            QVector<quint32> rates;
            v4l2_frmivalenum interval{};
            interval.pixel_format = V4L2_PIX_FMT_MJPEG;
            interval.width = frameSize.discrete.width;
            interval.height = frameSize.discrete.height;
            for (; m_kernel->ioctl(s.fd, VIDIOC_ENUM_FRAMEINTERVALS, &interval) == 0; ++interval.index)
                rates.append(interval.discrete.denominator / interval.discrete.numerator);
            QCOMPARE(rates, (QVector<quint32>{30, 15}));
        }
        QCOMPARE(enumerated, sizes);
        for (const QSize &size : sizes) {
            v4l2_format answer{};
            QCOMPARE(s.setFormat(V4L2_PIX_FMT_MJPEG, quint32(size.width()), quint32(size.height()), &answer), 0);
            QCOMPARE(QSize(int(answer.fmt.pix.width), int(answer.fmt.pix.height)), size);
        }
    }

    // uvcvideo probes the camera again on S_PARM; a camera whose frame size
    // bound grows with the rate then answers a larger sizeimage, and a buffer
    // sized from S_FMT's answer is refused at QBUF.
    void newRateRaisesTheFrameBound()
    {
        QJsonObject config = cameraConfig("growing", "1-2");
        config.insert("frameRates", QJsonArray{15, 30});
        config.insert("frameBoundFollowsRate", true);
        m_kernel->plug(makeCamera(config));
        CaptureStream s{*m_kernel, m_kernel->open(m_kernel->devNodes("growing").value(0), O_RDWR | O_NONBLOCK), {}};
        v4l2_format format{};
        QCOMPARE(s.setFormat(V4L2_PIX_FMT_MJPEG, 1920, 1080, &format), 0);
        const quint32 atFifteen = format.fmt.pix.sizeimage;
        v4l2_streamparm parameters{};
        parameters.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        parameters.parm.capture.timeperframe = {1, 30};
        QCOMPARE(m_kernel->ioctl(s.fd, VIDIOC_S_PARM, &parameters), 0);
        QCOMPARE(parameters.parm.capture.timeperframe.denominator, 30u);
        format = {};
        format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        QCOMPARE(m_kernel->ioctl(s.fd, VIDIOC_G_FMT, &format), 0);
        QCOMPARE(format.fmt.pix.sizeimage, 2 * atFifteen);
        QCOMPARE(s.request(2), 0);
        QCOMPARE(s.queue(0, atFifteen), -EINVAL);
        QCOMPARE(s.queue(0, 2 * atFifteen), 0);
        QCOMPARE(s.stream(true), 0);
        QCOMPARE(m_kernel->ioctl(s.fd, VIDIOC_S_PARM, &parameters), -EBUSY);
    }

    // Since Linux 6.14 uvcvideo hands damaged frames on: flagged
    // V4L2_BUF_FLAG_ERROR with what arrived, or empty. An MJPEG frame that
    // merely ends early carries no flag.
    void damagedFramesComeFlagged_data()
    {
        QTest::addColumn<int>("keptPercent");
        QTest::addColumn<bool>("flagged");
        QTest::newRow("flagged, half of it") << 50 << true;
        QTest::newRow("flagged, empty") << 0 << true;
        QTest::newRow("short, unflagged") << 50 << false;
    }

    void damagedFramesComeFlagged()
    {
        QFETCH(int, keptPercent);
        QFETCH(bool, flagged);
        QJsonObject config = cameraConfig("damaged", "1-2");
        config.insert("faults", QJsonArray{QJsonObject{{"kind", "damagedFrames"}, {"every", 2},
                                                       {"keptPercent", keptPercent}, {"flagged", flagged}}});
        m_kernel->plug(makeCamera(config));
        CaptureStream s{*m_kernel, m_kernel->open(m_kernel->devNodes("damaged").value(0), O_RDWR | O_NONBLOCK), {}};
        QCOMPARE(s.setFormat(V4L2_PIX_FMT_MJPEG, 1920, 1080), 0);
        QCOMPARE(s.request(2), 0);
        QCOMPARE(s.queue(0), 0);
        QCOMPARE(s.queue(1), 0);
        QCOMPARE(s.stream(true), 0);
        int whole = 0, damaged = 0;
        for (int frames = 0; frames < 200 && (whole < 3 || damaged < 3); ++frames) {
            QVERIFY(m_kernel->poll(s.fd, POLLIN, kFrameWaitMs) & POLLIN);
            v4l2_buffer buffer{};
            QCOMPARE(s.dequeue(&buffer), 0);
            const QByteArray jpeg = s.frame(buffer);
            if (jpeg.endsWith("\xff\xd9")) {
                QVERIFY(!(buffer.flags & V4L2_BUF_FLAG_ERROR));
                ++whole;
            } else {
                QCOMPARE(bool(buffer.flags & V4L2_BUF_FLAG_ERROR), flagged);
                QCOMPARE(buffer.bytesused == 0, keptPercent == 0);
                ++damaged;
            }
            QCOMPARE(s.queue(int(buffer.index)), 0);
        }
        QVERIFY(whole >= 3 && damaged >= 3);
    }

    // A blocking DQBUF waits for a frame; one on a camera that stopped
    // sending waits until the camera goes.
    void blockingDequeueWaits()
    {
        CaptureStream s = open(O_RDWR);
        QCOMPARE(s.setFormat(V4L2_PIX_FMT_MJPEG, 1920, 1080), 0);
        QCOMPARE(s.request(2), 0);
        QCOMPARE(s.queue(0), 0);
        QCOMPARE(s.queue(1), 0);
        QCOMPARE(s.stream(true), 0);
        v4l2_buffer buffer{};
        QCOMPARE(s.dequeue(&buffer), 0);
        QVERIFY(buffer.bytesused > 0);

        m_camera->stallFeed();
        QCOMPARE(s.queue(int(buffer.index)), 0);
        // Drain what was filled before the stall.
        while (m_kernel->poll(s.fd, POLLIN, 0) & POLLIN)
            QCOMPARE(s.dequeue(&buffer), 0);
        auto waiting = std::async(std::launch::async, [&s] {
            v4l2_buffer b{};
            return s.dequeue(&b);
        });
        QCOMPARE(waiting.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
        m_kernel->unplug("cam");
        // EIO when the camera went during the wait, ENODEV when before it.
        QVERIFY(waiting.wait_for(std::chrono::milliseconds(kFrameWaitMs)) == std::future_status::ready);
        const int rc = waiting.get();
        QVERIFY2(rc == -EIO || rc == -ENODEV, qPrintable(QString::number(rc)));
    }

    // An unplugged camera's node answers ENODEV and polls as gone; plugged
    // again, it streams anew.
    void streamFollowsThePlug()
    {
        CaptureStream s = open();
        QCOMPARE(s.request(2), 0);
        m_kernel->unplug("cam");
        QCOMPARE(s.queue(0), -ENODEV);
        QCOMPARE(m_kernel->poll(s.fd, POLLIN, 1000), int(POLLERR | POLLHUP | POLLPRI));
        QVERIFY(m_kernel->replug("cam"));
        CaptureStream again = open();
        QCOMPARE(again.request(1), 0);
        QCOMPARE(again.queue(0), 0);
        QCOMPARE(again.stream(true), 0);
        QVERIFY(m_kernel->poll(again.fd, POLLIN, kFrameWaitMs) & POLLIN);
        v4l2_buffer buffer{};
        QCOMPARE(again.dequeue(&buffer), 0);
        QVERIFY(again.frame(buffer).startsWith("\xff\xd8"));
    }
};

QTEST_MAIN(CaptureQueueTest)
#include "test_capture_queue.moc"
