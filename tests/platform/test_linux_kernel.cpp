// The Linux kernel against a fixture /sys tree laid out like a real machine's.
#include "platform/device_path.h"
#include "platform/linux_kernel.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <linux/videodev2.h>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace lumora::platform;

namespace {

const QString kUsbDevice = QStringLiteral("devices/pci0000:00/0000:00:14.0/usb1/1-2.4");
const QString kUsbInterface = kUsbDevice + QStringLiteral("/1-2.4:1.0");
const QString kPlatformCamera = QStringLiteral("devices/platform/soc/camera0");
const QByteArray kDescriptors = QByteArray::fromHex("12010002ef0201400b1d01ff0001010203010902");

void writeFile(const QString &path, const QByteArray &contents)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(contents);
}

void link(const QString &target, const QString &path)
{
    QDir().mkpath(QFileInfo(path).path());
    QVERIFY(QFile::link(target, path));
}

// A camera (capture node video0, metadata node video1) on port 1-2.4 and a
// platform camera (video2) without USB ancestors.
void buildFixture(const QString &root)
{
    writeFile(root + "/" + kUsbDevice + "/idVendor", "1d6b\n");
    writeFile(root + "/" + kUsbDevice + "/idProduct", "ff01\n");
    writeFile(root + "/" + kUsbDevice + "/busnum", "1\n");
    writeFile(root + "/" + kUsbDevice + "/devpath", "2.4\n");
    writeFile(root + "/" + kUsbDevice + "/product", "NV-Optica-4K-AI\n");
    writeFile(root + "/" + kUsbDevice + "/descriptors", kDescriptors);
    writeFile(root + "/" + kUsbInterface + "/bInterfaceNumber", "00\n");
    writeFile(root + "/" + kUsbInterface + "/bInterfaceClass", "0e\n");
    for (const char *node : {"video0", "video1"}) {
        writeFile(root + "/" + kUsbInterface + "/video4linux/" + node + "/name", "NV-Optica-4K-AI\n");
        link("../../" + kUsbInterface + "/video4linux/" + node, root + "/class/video4linux/" + node);
    }
    writeFile(root + "/" + kPlatformCamera + "/video4linux/video2/name", "soc-camera\n");
    link("../../" + kPlatformCamera + "/video4linux/video2", root + "/class/video4linux/video2");
    link("../../../" + kUsbDevice, root + "/bus/usb/devices/1-2.4");
}

} // namespace

class TestLinuxKernel : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_root;
    std::unique_ptr<LinuxKernel> m_kernel;

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_root.isValid());
        buildFixture(m_root.path());
        m_kernel = std::make_unique<LinuxKernel>(m_root.path());
    }

    void readAttribute_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("rc");
        QTest::addColumn<QByteArray>("contents");
        QTest::newRow("through a class link") << "/sys/class/video4linux/video0/name" << 0 << QByteArray("NV-Optica-4K-AI\n");
        QTest::newRow("binary descriptors") << "/sys/bus/usb/devices/1-2.4/descriptors" << 0 << kDescriptors;
        QTest::newRow("missing attribute") << "/sys/class/video4linux/video0/nothing" << -ENOENT << QByteArray();
        QTest::newRow("outside sysfs") << "/etc/passwd" << -ENOENT << QByteArray();
        QTest::newRow("escaping the root") << "/sys/../etc/passwd" << -ENOENT << QByteArray();
    }
    void readAttribute()
    {
        QFETCH(QString, path);
        QFETCH(int, rc);
        QFETCH(QByteArray, contents);
        QByteArray got;
        QCOMPARE(m_kernel->readAttribute(path, &got), rc);
        QCOMPARE(got, contents);
    }

    void listDirectory()
    {
        QCOMPARE(m_kernel->listDirectory(QStringLiteral("/sys/class/video4linux")),
                 (QStringList{"video0", "video1", "video2"}));
        QCOMPARE(m_kernel->listDirectory(QStringLiteral("/sys/class/sound")), QStringList());
    }

    void canonicalPath_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("resolved");
        QTest::newRow("class link") << "/sys/class/video4linux/video1"
                                    << "/sys/" + kUsbInterface + "/video4linux/video1";
        QTest::newRow("bus link") << "/sys/bus/usb/devices/1-2.4" << "/sys/" + kUsbDevice;
        QTest::newRow("root") << "/sys" << "/sys";
        QTest::newRow("missing") << "/sys/class/video4linux/video9" << QString();
    }
    void canonicalPath()
    {
        QFETCH(QString, path);
        QFETCH(QString, resolved);
        QCOMPARE(m_kernel->canonicalPath(path), resolved);
    }

    void usbIdentityOfNodes()
    {
        UsbInterfaceIdentity id;
        QVERIFY(usbIdentityFromSysfs(*m_kernel, QStringLiteral("video0"), &id));
        QCOMPARE(id.vendorId, quint16(0x1d6b));
        QCOMPARE(id.productId, quint16(0xff01));
        QCOMPARE(id.interfaceNumber, 0);
        QCOMPARE(id.busNumber, 1);
        QCOMPARE(id.port, QStringLiteral("1-2.4"));
        QVERIFY(!usbIdentityFromSysfs(*m_kernel, QStringLiteral("video2"), &id));
        QVERIFY(!usbIdentityFromSysfs(*m_kernel, QStringLiteral("video7"), &id));
    }

    // A removal is named from udev's properties alone: it must give the path
    // enumeration gave while the device was there.
    void eventNamesTheSamePathAsSysfs()
    {
        UsbInterfaceIdentity fromSysfs, fromEvent;
        QVERIFY(usbIdentityFromSysfs(*m_kernel, QStringLiteral("video0"), &fromSysfs));
        DeviceEvent event;
        event.action = DeviceEvent::Action::Remove;
        event.subsystem = QStringLiteral("video4linux");
        event.properties = {{"DEVPATH", "/" + kUsbInterface + "/video4linux/video0"},
                            {"ID_VENDOR_ID", "1d6b"},
                            {"ID_MODEL_ID", "ff01"},
                            {"ID_USB_INTERFACE_NUM", "00"}};
        QVERIFY(usbIdentityFromEvent(event, &fromEvent));
        QCOMPARE(synthesizeDevicePath(fromEvent), synthesizeDevicePath(fromSysfs));
        QCOMPARE(eventPath(event), synthesizeDevicePath(fromSysfs));
        event.properties.remove(QStringLiteral("ID_VENDOR_ID"));
        QVERIFY(!usbIdentityFromEvent(event, &fromEvent));
    }

    void deviceNodesReturnErrno()
    {
        QCOMPARE(m_kernel->open(m_root.filePath(QStringLiteral("dev/video9")), O_RDWR), -ENOENT);
        const int fd = m_kernel->open(m_root.filePath(QStringLiteral("class/video4linux/video0/name")), O_RDONLY);
        QVERIFY(fd >= 0);
        // Every node is opened close-on-exec: a child process never keeps a
        // stream, or the buffers it points into, alive.
        QVERIFY(::fcntl(fd, F_GETFD) & FD_CLOEXEC);
        v4l2_capability cap{};
        QCOMPARE(m_kernel->ioctl(fd, VIDIOC_QUERYCAP, &cap), -ENOTTY);
        QCOMPARE(m_kernel->close(fd), 0);
        QCOMPARE(m_kernel->close(fd), -EBADF);
    }

    // A descriptor with nothing to read times out with 0; a ready one answers its events.
    void pollWaitsForReadiness()
    {
        QTemporaryDir folder;
        const QByteArray fifo = QFile::encodeName(folder.filePath(QStringLiteral("fifo")));
        QCOMPARE(::mkfifo(fifo.constData(), 0600), 0);
        const int reader = m_kernel->open(QString::fromLocal8Bit(fifo), O_RDONLY | O_NONBLOCK);
        QVERIFY(reader >= 0);
        QCOMPARE(m_kernel->poll(reader, POLLIN, 20), 0);
        const int writer = ::open(fifo.constData(), O_WRONLY | O_NONBLOCK);
        QVERIFY(writer >= 0);
        QCOMPARE(::write(writer, "x", 1), ssize_t(1));
        QCOMPARE(m_kernel->poll(reader, POLLIN, 1000), int(POLLIN));
        ::close(writer);
        m_kernel->close(reader);
    }

    // The real /proc: this process holding a file is found by the file's path
    // and by a link to it, and only while the descriptor is open.
    void holdersOfAFileThisProcessHasOpen()
    {
        LinuxKernel kernel;
        QTemporaryDir folder;
        const QString node = folder.filePath(QStringLiteral("node"));
        writeFile(node, "x");
        link(node, folder.filePath(QStringLiteral("by-id")));
        QVERIFY(kernel.holders(node).isEmpty());
        QVERIFY(kernel.holders(folder.filePath(QStringLiteral("missing"))).isEmpty());

        const int fd = kernel.open(node, O_RDONLY);
        QVERIFY(fd >= 0);
        QFile comm(QStringLiteral("/proc/self/comm"));
        QVERIFY(comm.open(QIODevice::ReadOnly));
        const QString name = QString::fromUtf8(comm.readAll()).trimmed();
        for (const QString &path : {node, folder.filePath(QStringLiteral("by-id"))}) {
            const QVector<NodeHolder> holders = kernel.holders(path);
            QCOMPARE(holders.size(), 1);
            QCOMPARE(holders.first().pid, QCoreApplication::applicationPid());
            QCOMPARE(holders.first().name, name);
        }
        QCOMPARE(kernel.close(fd), 0);
        QVERIFY(kernel.holders(node).isEmpty());
    }

    // A fixture /proc: numeric folders are processes; a process whose
    // descriptors cannot be listed (another user's) is left out.
    void holdersFromAProcTree()
    {
        QTemporaryDir proc;
        const QString node = proc.filePath(QStringLiteral("video0"));
        writeFile(node, "");
        writeFile(proc.filePath(QStringLiteral("other")), "");
        writeFile(proc.filePath(QStringLiteral("4242/comm")), "videocall\n");
        link(node, proc.filePath(QStringLiteral("4242/fd/7")));
        writeFile(proc.filePath(QStringLiteral("31/comm")), "browser\n");
        link(proc.filePath(QStringLiteral("other")), proc.filePath(QStringLiteral("31/fd/3")));
        link(node, proc.filePath(QStringLiteral("31/fd/9")));
        writeFile(proc.filePath(QStringLiteral("500/comm")), "editor\n");
        link(proc.filePath(QStringLiteral("other")), proc.filePath(QStringLiteral("500/fd/1")));
        writeFile(proc.filePath(QStringLiteral("77/comm")), "locked\n");
        link(node, proc.filePath(QStringLiteral("self/fd/4")));
        link(proc.filePath(QStringLiteral("gone")), proc.filePath(QStringLiteral("600/fd/2")));

        LinuxKernel kernel(m_root.path(), proc.path());
        const QVector<NodeHolder> holders = kernel.holders(node);
        QCOMPARE(holders.size(), 2);
        QCOMPARE(holders[0].pid, qint64(31));
        QCOMPARE(holders[0].name, QStringLiteral("browser"));
        QCOMPARE(holders[1].pid, qint64(4242));
        QCOMPARE(holders[1].name, QStringLiteral("videocall"));
    }
};

QTEST_GUILESS_MAIN(TestLinuxKernel)
#include "test_linux_kernel.moc"
