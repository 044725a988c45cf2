// Faults injected into a camera's transfers, armed by tests and by scenarios.
#include "sim/sim_camera.h"
#include "sim/sim_kernel.h"
#include "sim_fixtures.h"
#include "support/testsupport.h"

#include <QtTest>

#include <fcntl.h>
#include <linux/videodev2.h>

using namespace lumora::sim;
using simtest::cameraConfig;

class FaultsTest : public QObject {
    Q_OBJECT
private slots:
    void countedFaults_data();
    void countedFaults();
    void failsDuringWindow();
    void dropInTheMiddleOfATransfer();
    void restartBringsBackAFreshCamera();
};

using Failures = QMap<int, int>; // transfer index -> result

namespace {

// One standard-control read: a transfer on the wire.
int readZoom(SimKernel &k, int fd)
{
    v4l2_control control{V4L2_CID_ZOOM_ABSOLUTE, 0};
    return k.ioctl(fd, VIDIOC_G_CTRL, &control);
}

QVector<int> readZoomTimes(SimKernel &k, int fd, int times)
{
    QVector<int> results;
    for (int i = 0; i < times; ++i)
        results << readZoom(k, fd);
    return results;
}

} // namespace

void FaultsTest::countedFaults_data()
{
    QTest::addColumn<QJsonArray>("faults");
    QTest::addColumn<Failures>("failures");
    QTest::newRow("none") << QJsonArray{} << Failures{};
    QTest::newRow("second fails with EIO")
        << QJsonArray{QJsonObject{{"kind", "failNth"}, {"n", 2}}} << Failures{{1, -EIO}};
    QTest::newRow("two faults, named errno")
        << QJsonArray{QJsonObject{{"kind", "failNth"}, {"n", 1}, {"errno", "EPIPE"}},
                      QJsonObject{{"kind", "failNth"}, {"n", 4}, {"errno", "ETIMEDOUT"}}}
        << Failures{{0, -EPIPE}, {3, -ETIMEDOUT}};
}

// The same reads on a faultless camera give the baseline; only the armed transfers differ.
void FaultsTest::countedFaults()
{
    QFETCH(QJsonArray, faults);
    QFETCH(Failures, failures);
    SimKernel k;
    QJsonObject config = cameraConfig("cam", "1-1");
    k.plug(makeCamera(config));
    config.insert("faults", faults);
    config.insert("id", "faulty");
    config.insert("port", "1-2");
    k.plug(makeCamera(config));
    const int clean = k.open(k.devNodes("cam").value(0), O_RDWR);
    const int faulty = k.open(k.devNodes("faulty").value(0), O_RDWR);
    QVector<int> expected = readZoomTimes(k, clean, 5);
    for (auto it = failures.begin(); it != failures.end(); ++it)
        expected[it.key()] = it.value();
    QCOMPARE(readZoomTimes(k, faulty, 5), expected);

    // Queries of a control's range are not transfers and never fail.
    v4l2_queryctrl query{};
    query.id = V4L2_CID_ZOOM_ABSOLUTE;
    k.find<SimCamera>("faulty")->faults().failNth(1, EIO);
    QCOMPARE(k.ioctl(faulty, VIDIOC_QUERYCTRL, &query), k.ioctl(clean, VIDIOC_QUERYCTRL, &query));
    QCOMPARE(readZoom(k, faulty), -EIO);
}

void FaultsTest::failsDuringWindow()
{
    SimKernel k;
    k.plug(makeCamera(cameraConfig("cam", "1-1")));
    const int fd = k.open("/dev/video0", O_RDWR);
    const int baseline = readZoom(k, fd);
    k.find<SimCamera>("cam")->faults().failDuring(0, 150, EIO);
    QCOMPARE(readZoom(k, fd), -EIO);
    QCOMPARE(readZoom(k, fd), -EIO);
    QTRY_COMPARE_WITH_TIMEOUT(readZoom(k, fd), baseline, deadlineMs(5000));
}

void FaultsTest::dropInTheMiddleOfATransfer()
{
    SimKernel k;
    k.plug(makeCamera(cameraConfig("cam", "1-1")));
    const int fd = k.open("/dev/video0", O_RDWR);
    k.find<SimCamera>("cam")->faults().dropOnNth(2);
    readZoom(k, fd);
    QCOMPARE(readZoom(k, fd), -ENODEV);
    QVERIFY(!k.device("cam"));
    QVERIFY(k.listDirectory("/sys/class/video4linux").isEmpty());
    QCOMPARE(readZoom(k, fd), -ENODEV);
}

// A power cycle rebuilds the camera from its saved state, without its faults.
void FaultsTest::restartBringsBackAFreshCamera()
{
    SimKernel k;
    QJsonObject config = cameraConfig("cam", "1-1");
    config.insert("faults", QJsonArray{QJsonObject{{"kind", "failDuring"}, {"durationMs", 600000}}});
    k.plug(makeCamera(config));
    const auto before = k.device("cam");
    int fd = k.open("/dev/video0", O_RDWR);
    QCOMPARE(readZoom(k, fd), -EIO);
    k.restart("cam", 50);
    QVERIFY(!k.device("cam"));
    QTRY_VERIFY_WITH_TIMEOUT(k.device("cam"), deadlineMs(5000));
    QVERIFY(k.device("cam") != before);
    QCOMPARE(k.device("cam")->config().value("serial"), config.value("serial"));
    fd = k.open("/dev/video0", O_RDWR);
    QVERIFY(readZoom(k, fd) != -EIO);
}

QTEST_GUILESS_MAIN(FaultsTest)
#include "test_faults.moc"
