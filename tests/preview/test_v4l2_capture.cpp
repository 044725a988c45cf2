// LABELS: worker
// The capture as a decoder meets it: each dequeued frame is followed by
// V4l2Capture::kTailPadding zero bytes inside the buffer, whatever the buffer
// held before and however exactly the frame fills its pages.
#include "platform/kernel.h"
#include "preview/v4l2capture.h"
#include "sim/sim_camera.h"
#include "sim/sim_kernel.h"
#include "support/testsupport.h"

#include <QJsonArray>
#include <QtTest>

#include <linux/videodev2.h>

using namespace lumora;

class TestV4l2Capture : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void cleanupTestCase() { platform::installKernel(std::make_unique<sim::SimKernel>()); }

    void framesAreFollowedByZeros_data()
    {
        QTest::addColumn<QString>("format");
        QTest::addColumn<QSize>("size");
        // 640x480 YUYV fills exactly 150 pages; MJPEG frames vary in length from one to the next.
        QTest::newRow("YUYV 640x480") << "yuyv" << QSize(640, 480);
        QTest::newRow("MJPEG 640x480") << "mjpeg" << QSize(640, 480);
        QTest::newRow("MJPEG 1920x1080") << "mjpeg" << QSize(1920, 1080);
    }

    void framesAreFollowedByZeros()
    {
        QFETCH(QString, format);
        QFETCH(QSize, size);
        auto kernel = std::make_unique<sim::SimKernel>();
        kernel->plug(sim::makeCamera({{"id", "cam"}, {"vendorId", "0x5a17"}, {"productId", "0x0305"},
                                      {"product", "ORBIT 400"}, {"port", "1-1"},
                                      {"streams", QJsonArray{QJsonObject{{"formats", QJsonArray{format}}}}}}));
        const QString node = kernel->devNodes("cam").value(0);
        platform::installKernel(std::move(kernel));

        V4l2Capture capture;
        QCOMPARE(capture.open(node), 0);
        QCOMPARE(capture.setFormat({V4L2_PIX_FMT_MJPEG, V4L2_PIX_FMT_YUYV}, size, 30), 0);
        QCOMPARE(capture.format().size, size);
        QCOMPARE(capture.start(), 0);
        for (int frames = 0; frames < 20;) {
            V4l2Capture::Frame frame;
            const int rc = capture.dequeue(&frame);
            if (rc == -EAGAIN) {
                QVERIFY(capture.wait(deadlineMs(5000)) > 0);
                continue;
            }
            QCOMPARE(rc, 0);
            QVERIFY(frame.size > 0 && frame.size <= capture.format().sizeImage);
            const QByteArray tail(reinterpret_cast<const char *>(frame.data) + frame.size, int(V4l2Capture::kTailPadding));
            QCOMPARE(tail, QByteArray(int(V4l2Capture::kTailPadding), '\0'));
            QCOMPARE(capture.requeue(frame), 0);
            ++frames;
        }
        capture.close();
    }
};

QTEST_MAIN(TestV4l2Capture)
#include "test_v4l2_capture.moc"
