// LABELS: worker
// udev-like events of the simulated kernel: properties and thread delivery.
#include "sim/sim_camera.h"
#include "sim/sim_kernel.h"
#include "sim_fixtures.h"
#include "support/testsupport.h"

#include <QtTest>

#include <fcntl.h>
#include <linux/videodev2.h>

#include <atomic>
#include <thread>

using namespace lumora::sim;
using lumora::platform::DeviceEvent;
using simtest::cameraConfig;

class EventsTest : public QObject {
    Q_OBJECT
private slots:
    void addAndRemoveCarryUdevProperties();
    void diskEventsDescribeTheDisk();
    void deliveredOnMonitorThreadInOrder();
    void ioctlsRaceUnplugs();
};

namespace {

// Collects events and the thread each arrived on.
struct Recorder {
    explicit Recorder(SimKernel &kernel) : monitor(kernel.createMonitor())
    {
        QObject::connect(monitor.get(), &lumora::platform::DeviceMonitor::deviceEvent, monitor.get(),
                         [this](const DeviceEvent &e) {
                             events.append(e);
                             threads.append(QThread::currentThread());
                         });
        monitor->start();
    }
    std::unique_ptr<lumora::platform::DeviceMonitor> monitor;
    QVector<DeviceEvent> events;
    QVector<QThread *> threads;
};

} // namespace

void EventsTest::addAndRemoveCarryUdevProperties()
{
    SimKernel k;
    Recorder r(k);
    std::unique_ptr<lumora::platform::DeviceMonitor> idle = k.createMonitor(); // never started: hears nothing
    QSignalSpy idleSpy(idle.get(), &lumora::platform::DeviceMonitor::deviceEvent);

    k.plug(makeCamera(cameraConfig("cam", "1-3")));
    k.unplug("cam");
    QTRY_COMPARE_WITH_TIMEOUT(r.events.size(), 4, deadlineMs(5000));

    const QString sysPath = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-3/1-3:1.0/video4linux/video0";
    const DeviceEvent &add = r.events[0];
    QCOMPARE(add.action, DeviceEvent::Action::Add);
    QCOMPARE(add.subsystem, QString("video4linux"));
    QCOMPARE(add.devNode, QString("/dev/video0"));
    QCOMPARE(add.sysPath, sysPath);
    const QMap<QString, QString> expected{
        {"ACTION", "add"},
        {"DEVPATH", sysPath.mid(4)},
        {"DEVNAME", "/dev/video0"},
        {"SUBSYSTEM", "video4linux"},
        {"ID_VENDOR_ID", "1d6b"},
        {"ID_MODEL_ID", "ff01"},
        {"ID_USB_INTERFACE_NUM", "00"},
        {"BUSNUM", "001"},
        {"DEVNUM", "002"},
        {"ID_SERIAL_SHORT", "SN-cam"},
        {"ID_PATH", "pci-0000:00:14.0-usb-0:3:1.0"},
        {"ID_V4L_CAPABILITIES", ":capture:"},
        {"ID_V4L_PRODUCT", "QX NV-Optica-4K-AI"},
    };
    for (auto it = expected.begin(); it != expected.end(); ++it)
        QCOMPARE(add.properties.value(it.key()), it.value());
    QCOMPARE(r.events[1].properties.value("ID_V4L_CAPABILITIES"), QString(":"));
    QCOMPARE(r.events[1].devNode, QString("/dev/video1"));

    // The removal describes the device as it was.
    const DeviceEvent &remove = r.events[2];
    QCOMPARE(remove.action, DeviceEvent::Action::Remove);
    QCOMPARE(remove.sysPath, add.sysPath);
    QMap<QString, QString> removeProperties = remove.properties;
    removeProperties["ACTION"] = "add";
    QCOMPARE(removeProperties, add.properties);
    QCOMPARE(idleSpy.count(), 0);
}

void EventsTest::diskEventsDescribeTheDisk()
{
    SimKernel k;
    Recorder r(k);
    k.plug(makeUpdateDrive({{"id", "drive"}, {"state", "rom"}, {"vendorId", "0x5a17"}, {"productId", "0x0307"},
                            {"port", "1-6"}}));
    QTRY_COMPARE_WITH_TIMEOUT(r.events.size(), 1, deadlineMs(5000));
    const DeviceEvent &add = r.events[0];
    QCOMPARE(add.subsystem, QString("block"));
    QCOMPARE(add.devNode, QString("/dev/sdb"));
    QCOMPARE(add.sysPath, k.canonicalPath("/sys/block/sdb"));
    QCOMPARE(add.properties.value("DEVTYPE"), QString("disk"));
    QCOMPARE(add.properties.value("ID_VENDOR_ID"), QString("5a17"));
    QCOMPARE(add.properties.value("ID_PATH"), QString("pci-0000:00:14.0-usb-0:6:1.0-scsi-0:0:0:0"));
    QVERIFY(!add.properties.contains("ID_V4L_CAPABILITIES"));
}

void EventsTest::deliveredOnMonitorThreadInOrder()
{
    SimKernel k;
    Recorder r(k);
    std::thread worker([&] {
        for (int i = 0; i < 3; ++i) {
            k.plug(makeCamera(cameraConfig(QString("c%1").arg(i), QString("1-%1").arg(i + 1), false)));
            k.unplug(QString("c%1").arg(i));
        }
    });
    worker.join();
    QTRY_COMPARE_WITH_TIMEOUT(r.events.size(), 6, deadlineMs(5000));
    for (int i = 0; i < 6; ++i) {
        QCOMPARE(r.threads[i], QThread::currentThread());
        QCOMPARE(r.events[i].action, i % 2 ? DeviceEvent::Action::Remove : DeviceEvent::Action::Add);
        QCOMPARE(r.events[i].properties.value("ID_SERIAL_SHORT"), QString("SN-c%1").arg(i / 2));
    }
}

// Workers keep querying while the camera comes and goes: every answer is a
// success or a clean ENODEV/EBADF, never a crash.
void EventsTest::ioctlsRaceUnplugs()
{
    SimKernel k;
    auto camera = makeCamera(cameraConfig("cam", "1-1"));
    k.plug(camera);
    std::atomic<bool> stop{false};
    std::atomic<int> unexpected{0};
    auto hammer = [&] {
        while (!stop) {
            const int fd = k.open("/dev/video0", O_RDWR);
            if (fd < 0)
                continue;
            v4l2_capability cap{};
            const int rc = k.ioctl(fd, VIDIOC_QUERYCAP, &cap);
            if (rc != 0 && rc != -ENODEV)
                ++unexpected;
            k.close(fd);
        }
    };
    std::thread a(hammer), b(hammer);
    for (int i = 0; i < 50; ++i) {
        k.unplug("cam");
        k.replug("cam");
        k.readAttribute("/sys/class/video4linux/video0/name", nullptr);
    }
    stop = true;
    a.join();
    b.join();
    QCOMPARE(unexpected.load(), 0);
    QCOMPARE(k.devNodes("cam"), QStringList({"/dev/video0", "/dev/video1"}));
}

QTEST_GUILESS_MAIN(EventsTest)
#include "test_events.moc"
