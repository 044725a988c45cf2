// LABELS: worker
// The camera model acting on what its firmware asks for.
#include "sim/sim_camera.h"
#include "sim/sim_kernel.h"
#include "sim/sim_update_drive.h"
#include "sim_fixtures.h"
#include "support/testsupport.h"

#include <QtTest>

#include <fcntl.h>
#include <linux/uvcvideo.h>
#include <linux/usb/video.h>

using namespace lumora::sim;
using simtest::cameraConfig;

using Packet = QVector<quint8>;
Q_DECLARE_METATYPE(Packet)

class CameraTest : public QObject {
    Q_OBJECT
private slots:
    void firmwareOutcomes_data();
    void firmwareOutcomes();
};

void CameraTest::firmwareOutcomes_data()
{
    QTest::addColumn<int>("selector");
    QTest::addColumn<Packet>("packet");
    QTest::addColumn<bool>("becomesDrive");
    QTest::newRow("restore defaults restarts") << 1 << Packet{0x7F, 1, 0, 0, 0, 0, 0, 0} << false;
    QTest::newRow("upgrade mode turns into a drive")
        << 4 << Packet{0x00, 0xFF, 0x07, 0x3C, 0x96, 0xC3, 0x1E, 0x6B} << true;
}

void CameraTest::firmwareOutcomes()
{
    QFETCH(int, selector);
    QFETCH(Packet, packet);
    QFETCH(bool, becomesDrive);
    SimKernel k;
    const QJsonObject config = cameraConfig("cam", "1-2");
    k.plug(makeCamera(config));
    const auto camera = k.find<SimCamera>("cam");
    const int fd = k.open("/dev/video0", O_RDWR);
    uvc_xu_control_query query{quint8(camera->extensionUnit().unitId()), quint8(selector), UVC_SET_CUR,
                               quint16(packet.size()), packet.data()};
    QCOMPARE(k.ioctl(fd, UVCIOC_CTRL_QUERY, &query), 0);
    QVERIFY(!k.device("cam"));
    QCOMPARE(k.ioctl(fd, UVCIOC_CTRL_QUERY, &query), -ENODEV);

    QTRY_VERIFY_WITH_TIMEOUT(k.device("cam"), deadlineMs(10000));
    QByteArray vendor;
    QCOMPARE(k.readAttribute("/sys/bus/usb/devices/1-2/idVendor", &vendor), 0);
    QCOMPARE(vendor, QByteArray("1d6b\n"));
    if (!becomesDrive) {
        QVERIFY(k.find<SimCamera>("cam") && k.find<SimCamera>("cam") != camera);
        QCOMPARE(k.devNodes("cam"), QStringList({"/dev/video0", "/dev/video1"}));
        return;
    }
    const auto drive = k.find<SimUpdateDrive>("cam");
    QVERIFY(drive);
    QCOMPARE(drive->state(), SimUpdateDrive::State::UBoot);
    QCOMPARE(k.devNodes("cam"), QStringList({"/dev/sdb"}));
    QCOMPARE(drive->config().value("camera").toObject().value("serial"), config.value("serial"));
}

QTEST_GUILESS_MAIN(CameraTest)
#include "test_camera.moc"
