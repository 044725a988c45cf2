// Node numbering, the sysfs view and descriptor life of the simulated kernel.
#include "sim/sim_camera.h"
#include "sim/sim_kernel.h"
#include "sim_fixtures.h"

#include <QtTest>

#include <fcntl.h>
#include <linux/videodev2.h>

using namespace lumora::sim;
using simtest::cameraConfig;

class KernelTest : public QObject {
    Q_OBJECT
private slots:
    void videoNumbersAreLowestFreeAndConsecutive();
    void sysfsLooksLikeAMachine();
    void platformCameraHasNoUsbAncestors();
    void diskAppearsAsScsiBlockDevice();
    void queryCapabilitiesPerNode();
    void descriptorsFailAfterUnplug();
    void usbDescriptorsChainUp();
};

void KernelTest::videoNumbersAreLowestFreeAndConsecutive()
{
    SimKernel k;
    k.plug(makeCamera(cameraConfig("a", "1-1")));
    k.plug(makeCamera(cameraConfig("b", "1-2", false)));
    k.plug(makeCamera(cameraConfig("c", "1-3")));
    QCOMPARE(k.devNodes("a"), QStringList({"/dev/video0", "/dev/video1"}));
    QCOMPARE(k.devNodes("b"), QStringList({"/dev/video2"}));
    QCOMPARE(k.devNodes("c"), QStringList({"/dev/video3", "/dev/video4"}));

    k.unplug("b");
    k.plug(makeCamera(cameraConfig("d", "1-4"))); // video2 alone is too small for two nodes
    QCOMPARE(k.devNodes("d"), QStringList({"/dev/video5", "/dev/video6"}));
    k.unplug("a");
    k.plug(makeCamera(cameraConfig("e", "1-5", false)));
    QCOMPARE(k.devNodes("e"), QStringList({"/dev/video0"}));
    QCOMPARE(k.listDirectory("/sys/class/video4linux"),
             QStringList({"video0", "video3", "video4", "video5", "video6"}));

    // Same port or same id twice is refused, as no machine could do it.
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("cannot plug f"));
    k.plug(makeCamera(cameraConfig("f", "1-3")));
    QVERIFY(k.devNodes("f").isEmpty());
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("cannot plug c"));
    k.plug(k.device("c"));
    // Still attached: its node answers.
    const int fd = k.open("/dev/video3", O_RDWR);
    v4l2_format format{};
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    QCOMPARE(k.ioctl(fd, VIDIOC_G_FMT, &format), 0);
    k.close(fd);
}

void KernelTest::sysfsLooksLikeAMachine()
{
    SimKernel k;
    k.plug(makeCamera(cameraConfig("cam", "1-4.2")));
    const QString usbDir = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-4/1-4.2";
    const QString node = usbDir + "/1-4.2:1.0/video4linux/video0";
    QCOMPARE(k.canonicalPath("/sys/class/video4linux/video0"), node);
    QCOMPARE(k.canonicalPath("/sys/class/video4linux/video1/device"), usbDir + "/1-4.2:1.0");
    QCOMPARE(k.canonicalPath("/sys/bus/usb/devices/1-4.2"), usbDir);

    const QList<QPair<QString, QByteArray>> attributes{
        {"/sys/class/video4linux/video0/name", "QX NV-Optica-4K-AI\n"},
        {"/sys/class/video4linux/video0/index", "0\n"},
        {"/sys/class/video4linux/video1/index", "1\n"},
        {"/sys/class/video4linux/video1/dev", "81:1\n"},
        {"/sys/class/video4linux/video0/device/bInterfaceNumber", "00\n"},
        {"/sys/class/video4linux/video0/device/bInterfaceClass", "0e\n"},
        {usbDir + "/1-4.2:1.1/bInterfaceSubClass", "02\n"},
        {"/sys/class/video4linux/video0/device/../idVendor", "1d6b\n"},
        {usbDir + "/idProduct", "ff01\n"},
        {usbDir + "/manufacturer", "QX\n"},
        {usbDir + "/product", "QX NV-Optica-4K-AI\n"},
        {usbDir + "/serial", "SN-cam\n"},
        {usbDir + "/busnum", "1\n"},
        {usbDir + "/devnum", "2\n"},
        {usbDir + "/devpath", "4.2\n"},
        {usbDir + "/speed", "480\n"},
    };
    for (const auto &[path, expected] : attributes) {
        QByteArray contents;
        QCOMPARE(k.readAttribute(path, &contents), 0);
        QCOMPARE(contents, expected);
    }
    QByteArray descriptors;
    QCOMPARE(k.readAttribute(usbDir + "/descriptors", &descriptors), 0);
    QCOMPARE(descriptors, k.device("cam")->descriptors());
    QCOMPARE(k.readAttribute(usbDir + "/nothing", nullptr), -ENOENT);
    QCOMPARE(k.readAttribute(usbDir, nullptr), -EISDIR);
    QVERIFY(k.listDirectory(usbDir).contains("1-4.2:1.0"));

    k.unplug("cam");
    QVERIFY(k.listDirectory("/sys/class/video4linux").isEmpty());
    QVERIFY(k.canonicalPath(node).isEmpty());
    QCOMPARE(k.readAttribute(usbDir + "/idVendor", nullptr), -ENOENT);
}

void KernelTest::platformCameraHasNoUsbAncestors()
{
    SimKernel k;
    k.plug(makeCamera({{"id", "front"}, {"usb", false}, {"name", "Integrated Camera"}}));
    QCOMPARE(k.devNodes("front"), QStringList({"/dev/video0"}));
    QString dir = k.canonicalPath("/sys/class/video4linux/video0");
    QCOMPARE(dir, QString("/sys/devices/platform/front/video4linux/video0"));
    for (; dir != "/sys"; dir = dir.left(dir.lastIndexOf('/')))
        QCOMPARE(k.readAttribute(dir + "/idVendor", nullptr), -ENOENT);
}

void KernelTest::diskAppearsAsScsiBlockDevice()
{
    SimKernel k;
    k.plug(makeUpdateDrive({{"id", "drive"}, {"state", "uboot"}, {"vendorId", "0x5a17"}, {"productId", "0x0307"},
                            {"port", "1-6"}, {"sectors", 2048}}));
    QCOMPARE(k.devNodes("drive"), QStringList({"/dev/sdb"}));
    QCOMPARE(k.listDirectory("/sys/block"), QStringList({"sda", "sdb"}));
    QCOMPARE(k.canonicalPath("/sys/block/sdb"),
             QString("/sys/devices/pci0000:00/0000:00:14.0/usb1/1-6/1-6:1.0/host1/target1:0:0/1:0:0:0/block/sdb"));
    const QList<QPair<QString, QByteArray>> attributes{
        {"/sys/block/sdb/removable", "1\n"},
        {"/sys/block/sdb/size", "2048\n"},
        {"/sys/block/sdb/device/vendor", "GC      \n"},
        {"/sys/block/sdb/device/model", "UBOOT           \n"},
        {"/sys/block/sdb/device/../../../bInterfaceClass", "08\n"},
        {"/sys/block/sda/removable", "0\n"},
    };
    for (const auto &[path, expected] : attributes) {
        QByteArray contents;
        QCOMPARE(k.readAttribute(path, &contents), 0);
        QCOMPARE(contents, expected);
    }
    QCOMPARE(k.open("/dev/sda", O_RDWR), -EACCES);
    QVERIFY(k.open("/dev/sdb", O_RDWR | O_NONBLOCK) >= 0);
}

void KernelTest::queryCapabilitiesPerNode()
{
    SimKernel k;
    k.plug(makeCamera(cameraConfig("cam", "1-4.2")));
    struct Expect {
        const char *node;
        quint32 deviceCaps;
    };
    for (const Expect &e : {Expect{"/dev/video0", V4L2_CAP_VIDEO_CAPTURE}, Expect{"/dev/video1", V4L2_CAP_META_CAPTURE}}) {
        const int fd = k.open(e.node, O_RDWR);
        QVERIFY(fd >= 0);
        v4l2_capability cap{};
        QCOMPARE(k.ioctl(fd, VIDIOC_QUERYCAP, &cap), 0);
        QCOMPARE(QByteArray(reinterpret_cast<char *>(cap.driver)), QByteArray("uvcvideo"));
        QCOMPARE(QByteArray(reinterpret_cast<char *>(cap.card)), QByteArray("QX NV-Optica-4K-AI"));
        QCOMPARE(QByteArray(reinterpret_cast<char *>(cap.bus_info)), QByteArray("usb-0000:00:14.0-4.2"));
        QVERIFY(cap.capabilities & V4L2_CAP_DEVICE_CAPS);
        QVERIFY(cap.capabilities & V4L2_CAP_VIDEO_CAPTURE);
        QCOMPARE(cap.device_caps & (V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_META_CAPTURE), e.deviceCaps);
        QCOMPARE(k.close(fd), 0);
    }
}

void KernelTest::descriptorsFailAfterUnplug()
{
    SimKernel k;
    auto camera = makeCamera(cameraConfig("cam", "1-1"));
    k.plug(camera);
    QCOMPARE(k.open("/dev/video7", O_RDWR), -ENOENT);
    const int fd = k.open("/dev/video0", O_RDWR);
    QVERIFY(fd >= 0);
    v4l2_capability cap{};
    k.unplug("cam");
    QCOMPARE(k.ioctl(fd, VIDIOC_QUERYCAP, &cap), -ENODEV);
    QCOMPARE(k.open("/dev/video0", O_RDWR), -ENOENT);
    // The same camera back on the same node: the old descriptor stays dead.
    QVERIFY(k.replug("cam"));
    QCOMPARE(k.devNodes("cam"), QStringList({"/dev/video0", "/dev/video1"}));
    QCOMPARE(k.ioctl(fd, VIDIOC_QUERYCAP, &cap), -ENODEV);
    QCOMPARE(k.close(fd), 0);
    QCOMPARE(k.ioctl(fd, VIDIOC_QUERYCAP, &cap), -EBADF);
    QCOMPARE(k.close(fd), -EBADF);
}

// Every descriptor's length adds up; the class-specific totals match what follows them.
void KernelTest::usbDescriptorsChainUp()
{
    SimKernel k;
    QJsonObject config = cameraConfig("cam", "1-1");
    config.insert("interface", 2);
    k.plug(makeCamera(config));
    QByteArray d;
    QCOMPARE(k.readAttribute("/sys/bus/usb/devices/1-1/descriptors", &d), 0);
    auto u8 = [&](int at) { return int(quint8(d[at])); };
    auto u16 = [&](int at) { return u8(at) | u8(at + 1) << 8; };
    QCOMPARE(u8(0), 18);
    QCOMPARE(u16(8), 0x1d6b);
    QCOMPARE(u16(10), 0xff01);
    QCOMPARE(u16(18 + 2), d.size() - 18); // configuration wTotalLength

    QVector<int> interfaces, unitIds;
    int vcHeader = -1, vcTotal = 0, vcSeen = 0, inVideoControl = 0;
    for (int at = 18; at < d.size(); at += u8(at)) {
        QVERIFY(u8(at) >= 2 && at + u8(at) <= d.size());
        if (u8(at + 1) == 0x04) {
            interfaces << u8(at + 2);
            inVideoControl = u8(at + 5) == 0x0e && u8(at + 6) == 0x01;
        } else if (u8(at + 1) == 0x24 && inVideoControl) {
            if (u8(at + 2) == 0x01) {
                vcHeader = at;
                vcTotal = u16(at + 5);
                QCOMPARE(u8(at + 12), 3); // the streaming interface it owns
            } else {
                unitIds << u8(at + 3);
            }
            vcSeen += u8(at);
        }
    }
    QVERIFY(vcHeader > 0);
    QCOMPARE(vcSeen, vcTotal);
    QCOMPARE(interfaces, QVector<int>({2, 3}));
    QCOMPARE(QSet<int>(unitIds.begin(), unitIds.end()).size(), unitIds.size()); // unit ids are unique
    QByteArray cls;
    QCOMPARE(k.readAttribute("/sys/bus/usb/devices/1-1:1.3/bInterfaceClass", &cls), 0);
    QCOMPARE(cls, QByteArray("0e\n"));
}

QTEST_GUILESS_MAIN(KernelTest)
#include "test_kernel.moc"
