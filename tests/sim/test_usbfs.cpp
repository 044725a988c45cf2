// The simulated kernel as strict as Linux for a desktop user: SG_IO filters
// SCSI commands, every USB device has a usbfs node, and detaching or
// re-attaching a driver through it takes the interface's nodes away and back.

#include "platform/udev_rules.h"
#include "sim/sim_camera.h"
#include "sim/sim_kernel.h"
#include "sim/sim_update_drive.h"
#include "sim/sim_usbfs.h"
#include "sim_fixtures.h"
#include "support/testsupport.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>

#include <cstring>

using namespace lumora::sim;
using lumora::platform::DeviceEvent;

namespace {

QJsonObject driveConfig(const QJsonArray &denied = {})
{
    return {{"id", "drive"}, {"state", "uboot"}, {"vendorId", "0x5a17"}, {"productId", "0x0305"},
            {"port", "1-6"}, {"denied", denied}};
}

// SG_IO with a command block of `length` bytes starting with `opcode` (36
// bytes in, copied to `answer` when given); the kernel's return value.
int sgio(SimKernel &kernel, int fd, quint8 opcode, int length = 0, QByteArray *answer = nullptr)
{
    quint8 cdb[16] = {opcode, 2, 0, 0, 0, 0, 0, 0, 0, 4};
    quint8 data[36] = {};
    if (opcode == 0x12)
        cdb[4] = 36;
    sg_io_hdr_t hdr{};
    hdr.interface_id = 'S';
    hdr.dxfer_direction = SG_DXFER_FROM_DEV;
    hdr.cmd_len = quint8(length ? length : opcode == 0x12 ? 6 : 10);
    hdr.cmdp = cdb;
    hdr.dxfer_len = opcode == 0x12 ? 36 : 4;
    hdr.dxferp = data;
    const int rc = kernel.ioctl(fd, SG_IO, &hdr);
    if (answer)
        *answer = QByteArray(reinterpret_cast<const char *>(data), sizeof data);
    return rc;
}

struct Events {
    explicit Events(SimKernel &kernel) : monitor(kernel.createMonitor())
    {
        QObject::connect(monitor.get(), &lumora::platform::DeviceMonitor::deviceEvent, monitor.get(),
                         [this](const DeviceEvent &e) {
                             lines << QStringLiteral("%1 %2").arg(e.action == DeviceEvent::Action::Add ? "add" : "remove", e.devNode);
                         });
        monitor->start();
    }
    std::unique_ptr<lumora::platform::DeviceMonitor> monitor;
    QStringList lines;
};

} // namespace

class UsbfsTest : public QObject {
    Q_OBJECT
private slots:
    // scsi_cmd_allowed(): read-safe commands for anyone, basic writing
    // commands on a descriptor opened for writing, vendor commands for root;
    // a command block shorter than 6 bytes is EMSGSIZE even for root. The
    // drive itself refuses what it does not know (a SCSI status, rc 0).
    void sgioFiltersVendorCommands_data()
    {
        QTest::addColumn<bool>("privileged");
        QTest::addColumn<int>("openFlags");
        QTest::addColumn<quint8>("opcode");
        QTest::addColumn<int>("length");
        QTest::addColumn<int>("rc");
        const int readOnly = O_RDONLY | O_NONBLOCK, writable = O_RDWR | O_NONBLOCK;
        QTest::newRow("INQUIRY, desktop user") << false << readOnly << quint8(0x12) << 0 << 0;
        QTest::newRow("REQUEST SENSE, desktop user") << false << readOnly << quint8(0x03) << 6 << 0;
        QTest::newRow("MMC READ CD, desktop user") << false << readOnly << quint8(0xBE) << 12 << 0;
        QTest::newRow("MMC GET CONFIGURATION, desktop user") << false << readOnly << quint8(0x46) << 10 << 0;
        QTest::newRow("WRITE(10), read-only descriptor") << false << readOnly << quint8(0x2A) << 10 << -EPERM;
        QTest::newRow("WRITE(10), writable descriptor") << false << writable << quint8(0x2A) << 10 << 0;
        QTest::newRow("0x0D, writable descriptor") << false << writable << quint8(0x0D) << 10 << 0;
        QTest::newRow("0x3D, writable descriptor") << false << writable << quint8(0x3D) << 10 << -EPERM;
        QTest::newRow("vendor command, desktop user") << false << writable << quint8(0xE8) << 0 << -EPERM;
        QTest::newRow("vendor command, privileged") << true << readOnly << quint8(0xE8) << 0 << 0;
        QTest::newRow("5-byte block, desktop user") << false << readOnly << quint8(0x12) << 5 << -EMSGSIZE;
        QTest::newRow("5-byte block, privileged") << true << readOnly << quint8(0xE8) << 5 << -EMSGSIZE;
    }

    void sgioFiltersVendorCommands()
    {
        QFETCH(bool, privileged);
        QFETCH(int, openFlags);
        QFETCH(quint8, opcode);
        QFETCH(int, length);
        QFETCH(int, rc);
        SimKernel kernel;
        kernel.setPrivileged(privileged);
        kernel.plug(makeUpdateDrive(driveConfig()));
        const int fd = kernel.open("/dev/sdb", openFlags);
        QVERIFY(fd >= 0);
        QCOMPARE(sgio(kernel, fd, opcode, length), rc);
    }

    // A drive that shows itself as a CD-ROM: sr.c's node, INQUIRY device type
    // 5, and a writable open that only O_NONBLOCK lets through (cdrom_open()
    // checks for writable media otherwise); write-protected media refuse it
    // either way (sd_open()).
    void cdromAndWriteProtectedDrives_data()
    {
        QTest::addColumn<QString>("shape");
        QTest::addColumn<QString>("node");
        QTest::addColumn<int>("deviceType");
        QTest::addColumn<int>("blockingWrite");
        QTest::addColumn<int>("nonBlockingWrite");
        QTest::newRow("disk") << "" << "/dev/sdb" << 0 << 0 << 0;
        QTest::newRow("CD-ROM") << "cdrom" << "/dev/sr0" << 5 << -EROFS << 0;
        QTest::newRow("write-protected") << "writeProtected" << "/dev/sdb" << 0 << -EROFS << -EROFS;
    }

    void cdromAndWriteProtectedDrives()
    {
        QFETCH(QString, shape);
        QFETCH(QString, node);
        QFETCH(int, deviceType);
        QFETCH(int, blockingWrite);
        QFETCH(int, nonBlockingWrite);
        SimKernel kernel;
        QJsonObject config = driveConfig();
        if (!shape.isEmpty())
            config.insert(shape, true);
        kernel.plug(makeUpdateDrive(config));
        const auto opened = [&](int flags) {
            const int fd = kernel.open(node, flags);
            if (fd >= 0)
                kernel.close(fd);
            return fd < 0 ? fd : 0;
        };
        QCOMPARE(opened(O_RDWR), blockingWrite);
        QCOMPARE(opened(O_RDWR | O_NONBLOCK), nonBlockingWrite);
        QByteArray answer;
        QCOMPARE(sgio(kernel, kernel.open(node, O_RDONLY | O_NONBLOCK), 0x12, 0, &answer), 0);
        QCOMPARE(int(answer.at(0) & 0x1F), deviceType);
    }

    // A usbfs node is root's: the seat user may write to it only where the
    // rule tags it "uaccess" (the folder's file, else the shipped rule). Root always may.
    void usbfsWritesFollowTheInstalledRule_data()
    {
        QTest::addColumn<QString>("vendorId");
        QTest::addColumn<QString>("productId");
        QTest::addColumn<QString>("rule"); // "shipped", "none", or "shipped plus the line"
        QTest::addColumn<bool>("privileged");
        QTest::addColumn<int>("writable");
        QTest::newRow("camera ids, shipped rule") << "0x5a17" << "0x0305" << "shipped" << false << 0;
        QTest::newRow("QX 4K ids, shipped rule") << "0x1d6b" << "0xff01" << "shipped" << false << 0;
        QTest::newRow("chip maker's ids, shipped rule") << "0x1b3f" << "0x0c52" << "shipped" << false << -EACCES;
        QTest::newRow("QX vendor, another product") << "0x1d6b" << "0x0002" << "shipped" << false << -EACCES;
        QTest::newRow("chip maker's ids, line added") << "0x1b3f" << "0x0c52" << "plus line" << false << 0;
        QTest::newRow("chip maker's ids, as root") << "0x1b3f" << "0x0c52" << "shipped" << true << 0;
        QTest::newRow("camera ids, no rule folder: the shipped rule") << "0x5a17" << "0x0305" << "none" << false << 0;
        QTest::newRow("chip maker's ids, no rule folder") << "0x1b3f" << "0x0c52" << "none" << false << -EACCES;
    }

    void usbfsWritesFollowTheInstalledRule()
    {
        QFETCH(QString, vendorId);
        QFETCH(QString, productId);
        QFETCH(QString, rule);
        QFETCH(bool, privileged);
        QFETCH(int, writable);
        QTemporaryDir folder;
        QFile installed(folder.filePath(lumora::platform::kUdevRuleName));
        QVERIFY(installed.open(QIODevice::WriteOnly));
        installed.write((lumora::platform::shippedUdevRule()
                         + lumora::platform::usbAccessRuleLine(vendorId.toInt(nullptr, 16), productId.toInt(nullptr, 16)))
                            .toUtf8());
        installed.close();
        SimKernel kernel;
        kernel.setPrivileged(privileged);
        kernel.setUdevRuleFolder(rule == QLatin1String("none") ? QString()
                                 : rule == QLatin1String("plus line") ? folder.path()
                                                                      : QStringLiteral("/nonexistent"));
        QJsonObject config = driveConfig();
        config.insert("vendorId", vendorId);
        config.insert("productId", productId);
        kernel.plug(makeUpdateDrive(config));
        const QString node = usbfsNode(1, 2);
        const int fd = kernel.open(node, O_RDWR);
        QCOMPARE(fd < 0 ? fd : 0, writable);
        // Reading is everyone's.
        const int reader = kernel.open(node, O_RDONLY);
        QVERIFY(reader >= 0);
    }

    void everyUsbDeviceHasANode()
    {
        SimKernel kernel;
        kernel.plug(makeCamera(simtest::cameraConfig("cam", "1-1")));
        kernel.plug(makeUpdateDrive(driveConfig({"usbfs"})));
        QByteArray devnum, dev;
        QCOMPARE(kernel.readAttribute("/sys/bus/usb/devices/1-1/devnum", &devnum), 0);
        QCOMPARE(kernel.readAttribute("/sys/bus/usb/devices/1-1/dev", &dev), 0);
        QCOMPARE(dev, "189:" + QByteArray::number(devnum.trimmed().toInt() - 1) + "\n");
        const int camera = kernel.open("/dev/bus/usb/001/" + QString::number(devnum.trimmed().toInt()).rightJustified(3, '0'), O_RDWR);
        QVERIFY(camera >= 0);
        // Without the udev rule's grant a node opens for reading only, and then refuses every ioctl.
        QCOMPARE(kernel.open("/dev/bus/usb/001/003", O_RDWR), -EACCES);
        const int readOnly = kernel.open("/dev/bus/usb/001/003", O_RDONLY);
        QVERIFY(readOnly >= 0);
        unsigned interface = 0;
        QCOMPARE(kernel.ioctl(readOnly, USBDEVFS_CLAIMINTERFACE, &interface), -EPERM);
        QCOMPARE(kernel.open("/dev/bus/usb/001/009", O_RDWR), -ENOENT);
        // A camera's endpoint 0x81 is no bulk endpoint, and it has no 0x02 at all.
        quint8 buffer[13];
        usbdevfs_bulktransfer bulk{0x81, 13, 100, buffer};
        QCOMPARE(kernel.ioctl(camera, USBDEVFS_BULK, &bulk), -EINVAL);
        bulk.ep = 0x02;
        QCOMPARE(kernel.ioctl(camera, USBDEVFS_BULK, &bulk), -ENOENT);
    }

    void disconnectAndConnectMoveTheDiskNode()
    {
        SimKernel kernel;
        Events events(kernel);
        kernel.plug(makeUpdateDrive(driveConfig()));
        const int disk = kernel.open("/dev/sdb", O_RDWR);
        const int usb = kernel.open("/dev/bus/usb/001/002", O_RDWR);
        const int other = kernel.open("/dev/bus/usb/001/002", O_RDWR);
        QVERIFY(disk >= 0 && usb >= 0 && other >= 0);
        quint8 csw[13];
        usbdevfs_bulktransfer bulk{0x81, 13, 100, csw};
        QCOMPARE(kernel.ioctl(usb, USBDEVFS_BULK, &bulk), -EBUSY); // usb-storage has the interface

        usbdevfs_disconnect_claim claim{};
        claim.flags = USBDEVFS_DISCONNECT_CLAIM_EXCEPT_DRIVER;
        std::strcpy(claim.driver, "usbfs");
        QCOMPARE(kernel.ioctl(usb, USBDEVFS_DISCONNECT_CLAIM, &claim), 0);
        QCOMPARE(kernel.ioctl(other, USBDEVFS_DISCONNECT_CLAIM, &claim), -EBUSY);
        QCOMPARE(kernel.open("/dev/sdb", O_RDWR), -ENOENT);
        QCOMPARE(sgio(kernel, disk, 0x12), -ENODEV);
        QVERIFY(!kernel.listDirectory("/sys/block").contains("sdb"));
        usbdevfs_ioctl connect{0, int(USBDEVFS_CONNECT), nullptr};
        QCOMPARE(kernel.ioctl(usb, USBDEVFS_IOCTL, &connect), -EBUSY); // still claimed

        unsigned interface = 0;
        QCOMPARE(kernel.ioctl(usb, USBDEVFS_RELEASEINTERFACE, &interface), 0);
        usbdevfs_ioctl disconnect{0, int(USBDEVFS_DISCONNECT), nullptr};
        QCOMPARE(kernel.ioctl(usb, USBDEVFS_IOCTL, &disconnect), -ENODATA); // no driver left to detach
        QCOMPARE(kernel.ioctl(usb, USBDEVFS_IOCTL, &connect), 1); // device_attach(): a driver bound
        QVERIFY(kernel.listDirectory("/sys/block").contains("sdb"));
        QByteArray vendor;
        QCOMPARE(kernel.readAttribute("/sys/block/sdb/device/vendor", &vendor), 0);
        QCOMPARE(vendor, QByteArray("GC      \n"));
        QVERIFY(kernel.open("/dev/sdb", O_RDWR) >= 0);
        QTRY_COMPARE_WITH_TIMEOUT(events.lines, (QStringList{"add /dev/sdb", "remove /dev/sdb", "add /dev/sdb"}), deadlineMs(5000));
    }
};

QTEST_GUILESS_MAIN(UsbfsTest)
#include "test_usbfs.moc"
