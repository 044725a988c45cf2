// The wire trace: one exact line per transfer kind and per device event.
// LABELS: worker
#include "platform/device_path.h"
#include "platform/trace.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <linux/usb/video.h>
#include <linux/uvcvideo.h>
#include <linux/videodev2.h>
#include <scsi/sg.h>

#include <cerrno>
#include <cstring>
#include <thread>
#include <vector>

using namespace lumora::platform;

namespace {

class FakeMonitor : public DeviceMonitor {
public:
    bool start() override { return true; }
    void fire(const DeviceEvent &event) { Q_EMIT deviceEvent(event); }
};

// Answers like a device would: gets fill the buffer, "/dev/broken" fails with EIO.
class FakeKernel : public Kernel {
public:
    FakeMonitor *lastMonitor = nullptr;

    int open(const QString &node, int) override { return node == QLatin1String("/dev/broken") ? 9 : 7; }
    int close(int) override { return 0; }
    int ioctl(int fd, unsigned long request, void *arg) override
    {
        if (fd == 9)
            return -EIO;
        if (request == UVCIOC_CTRL_QUERY) {
            auto *query = static_cast<uvc_xu_control_query *>(arg);
            if (query->query == UVC_GET_CUR)
                for (int i = 0; i < query->size; ++i)
                    query->data[i] = static_cast<quint8>(0xa0 + i);
        } else if (request == VIDIOC_G_CTRL) {
            static_cast<v4l2_control *>(arg)->value = -36;
        } else if (request == SG_IO) {
            auto *hdr = static_cast<sg_io_hdr *>(arg);
            if (hdr->dxfer_direction == SG_DXFER_FROM_DEV)
                std::memset(hdr->dxferp, 0xab, hdr->dxfer_len);
        }
        return 0;
    }
    int readAttribute(const QString &, QByteArray *) override { return -ENOENT; }
    QStringList listDirectory(const QString &) override { return {}; }
    QString canonicalPath(const QString &) override { return {}; }
    QVector<NodeHolder> holders(const QString &node) override { return {{42, node}}; }
    bool rawScsiAllowed() override { return false; }
    QString installedUdevRule(const QString &) override { return {}; }
    std::unique_ptr<DeviceMonitor> createMonitor() override
    {
        auto monitor = std::make_unique<FakeMonitor>();
        lastMonitor = monitor.get();
        return monitor;
    }
    int poll(int, short events, int) override { return events; }
};

DeviceEvent cameraEvent(DeviceEvent::Action action)
{
    DeviceEvent event;
    event.action = action;
    event.subsystem = QStringLiteral("video4linux");
    event.devNode = QStringLiteral("/dev/video0");
    event.sysPath = QStringLiteral("/sys/devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/video4linux/video0");
    event.properties = {{QStringLiteral("DEVPATH"), event.sysPath.mid(4)},
                        {QStringLiteral("ID_VENDOR_ID"), QStringLiteral("5a17")},
                        {QStringLiteral("ID_MODEL_ID"), QStringLiteral("0307")},
                        {QStringLiteral("ID_USB_INTERFACE_NUM"), QStringLiteral("00")}};
    return event;
}

} // namespace

class TestTrace : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString m_file;
    FakeKernel *m_inner = nullptr;
    std::unique_ptr<TraceKernel> m_trace;

    // Trace lines without their time stamps.
    QStringList lines()
    {
        QFile file(m_file);
        if (!file.open(QIODevice::ReadOnly))
            return {};
        QStringList result;
        for (const QByteArray &line : file.readAll().split('\n')) {
            if (line.isEmpty())
                continue;
            const int blank = line.indexOf(' ');
            bool numeric = false;
            line.left(blank).toLongLong(&numeric);
            result << (numeric ? QString::fromUtf8(line.mid(blank + 1)) : QStringLiteral("BAD: ") + line);
        }
        return result;
    }

private Q_SLOTS:
    void init()
    {
        m_file = m_dir.filePath(QStringLiteral("trace-%1.log").arg(QTest::currentTestFunction()));
        QFile::remove(m_file);
        auto inner = std::make_unique<FakeKernel>();
        m_inner = inner.get();
        m_trace = std::make_unique<TraceKernel>(std::move(inner), m_file);
    }

    void transfers_data()
    {
        QTest::addColumn<QString>("node");
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("expected");
        QTest::newRow("xu set") << "/dev/video0" << "xu-set"
                                << "xu /dev/video0 set sel=1 out=0102030405060708 rc=0";
        QTest::newRow("xu get") << "/dev/video0" << "xu-get"
                                << "xu /dev/video0 get sel=2 out=0000000000000000 in=a0a1a2a3a4a5a6a7 rc=0";
        QTest::newRow("xu get failing") << "/dev/broken" << "xu-get"
                                        << "xu /dev/broken get sel=2 out=0000000000000000 in=0000000000000000 rc=-5";
        QTest::newRow("ctl get") << "/dev/video0" << "ctl-get" << "ctl /dev/video0 get pan value=-36 rc=0";
        QTest::newRow("ctl set") << "/dev/video0" << "ctl-set" << "ctl /dev/video0 set zoom value=150 rc=0";
        QTest::newRow("ctl unknown id") << "/dev/video0" << "ctl-unknown"
                                        << "ctl /dev/video0 set 0x009a0999 value=1 rc=0";
        QTest::newRow("scsi in") << "/dev/sdb" << "scsi-in"
                                 << "scsi /dev/sdb cdb=120000002400 dir=in len=36 head="
                                        + QStringLiteral("ab").repeated(32)
                                        + " rc=0";
        QTest::newRow("scsi out") << "/dev/sdb" << "scsi-out"
                                  << "scsi /dev/sdb cdb=e8010000 dir=out len=3 head=c0ffee rc=0";
        QTest::newRow("scsi out failing") << "/dev/broken" << "scsi-out"
                                          << "scsi /dev/broken cdb=e8010000 dir=out len=3 head=c0ffee rc=-5";
        QTest::newRow("s_fmt") << "/dev/video0" << "s_fmt"
                               << "v4l2 /dev/video0 s_fmt fmt=MJPG size=1920x1080 sizeimage=1036800 rc=0";
        QTest::newRow("g_fmt failing") << "/dev/broken" << "g_fmt"
                                       << "v4l2 /dev/broken g_fmt fmt=MJPG size=1920x1080 sizeimage=1036800 rc=-5";
        QTest::newRow("s_parm") << "/dev/video0" << "s_parm" << "v4l2 /dev/video0 s_parm interval=1/30 rc=0";
        QTest::newRow("reqbufs") << "/dev/video0" << "reqbufs" << "v4l2 /dev/video0 reqbufs memory=userptr count=4 rc=0";
        QTest::newRow("streamon") << "/dev/video0" << "streamon" << "v4l2 /dev/video0 streamon rc=0";
        QTest::newRow("streamoff failing") << "/dev/broken" << "streamoff" << "v4l2 /dev/broken streamoff rc=-5";
    }
    void transfers()
    {
        QFETCH(QString, node);
        QFETCH(QString, kind);
        QFETCH(QString, expected);
        const int fd = m_trace->open(node, 0);
        quint8 xu[8] = {1, 2, 3, 4, 5, 6, 7, 8};
        quint8 cdbInquiry[6] = {0x12, 0, 0, 0, 0x24, 0};
        quint8 cdbVendor[4] = {0xe8, 0x01, 0, 0};
        quint8 inquiry[36] = {};
        quint8 payload[3] = {0xc0, 0xff, 0xee};
        uvc_xu_control_query query{};
        v4l2_control control{};
        sg_io_hdr hdr{};
        v4l2_format format{};
        format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        format.fmt.pix = {1920, 1080, V4L2_PIX_FMT_MJPEG, V4L2_FIELD_NONE, 0, 1036800, V4L2_COLORSPACE_SRGB, 0, 0, {0}, 0, 0};
        v4l2_streamparm parameters{};
        parameters.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        parameters.parm.capture.timeperframe = {1, 30};
        v4l2_requestbuffers request{};
        request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        request.memory = V4L2_MEMORY_USERPTR;
        request.count = 4;
        int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (kind == QLatin1String("s_fmt") || kind == QLatin1String("g_fmt")) {
            m_trace->ioctl(fd, kind == QLatin1String("s_fmt") ? VIDIOC_S_FMT : VIDIOC_G_FMT, &format);
        } else if (kind == QLatin1String("s_parm")) {
            m_trace->ioctl(fd, VIDIOC_S_PARM, &parameters);
        } else if (kind == QLatin1String("reqbufs")) {
            m_trace->ioctl(fd, VIDIOC_REQBUFS, &request);
        } else if (kind.startsWith(QLatin1String("stream"))) {
            m_trace->ioctl(fd, kind == QLatin1String("streamon") ? VIDIOC_STREAMON : VIDIOC_STREAMOFF, &type);
        } else if (kind.startsWith(QLatin1String("xu"))) {
            const bool set = kind == QLatin1String("xu-set");
            if (!set)
                std::memset(xu, 0, sizeof xu);
            query = {4, static_cast<__u8>(set ? 1 : 2), static_cast<__u8>(set ? UVC_SET_CUR : UVC_GET_CUR), 8, xu};
            m_trace->ioctl(fd, UVCIOC_CTRL_QUERY, &query);
        } else if (kind == QLatin1String("ctl-get")) {
            control.id = V4L2_CID_PAN_ABSOLUTE;
            m_trace->ioctl(fd, VIDIOC_G_CTRL, &control);
        } else if (kind.startsWith(QLatin1String("ctl-"))) {
            control.id = kind == QLatin1String("ctl-set") ? V4L2_CID_ZOOM_ABSOLUTE : 0x009a0999u;
            control.value = kind == QLatin1String("ctl-set") ? 150 : 1;
            m_trace->ioctl(fd, VIDIOC_S_CTRL, &control);
        } else {
            const bool in = kind == QLatin1String("scsi-in");
            hdr.interface_id = 'S';
            hdr.cmdp = in ? cdbInquiry : cdbVendor;
            hdr.cmd_len = in ? sizeof cdbInquiry : sizeof cdbVendor;
            hdr.dxfer_direction = in ? SG_DXFER_FROM_DEV : SG_DXFER_TO_DEV;
            hdr.dxferp = in ? static_cast<void *>(inquiry) : static_cast<void *>(payload);
            hdr.dxfer_len = in ? sizeof inquiry : sizeof payload;
            m_trace->ioctl(fd, SG_IO, &hdr);
        }
        QCOMPARE(lines(), QStringList{expected});
    }

    void scsiHeadIsCappedAt32Bytes()
    {
        const int fd = m_trace->open(QStringLiteral("/dev/sdb"), 0);
        QByteArray data(100, '\x11');
        quint8 cdb[1] = {0x28};
        sg_io_hdr hdr{};
        hdr.cmdp = cdb;
        hdr.cmd_len = 1;
        hdr.dxfer_direction = SG_DXFER_TO_DEV;
        hdr.dxferp = data.data();
        hdr.dxfer_len = static_cast<unsigned>(data.size());
        m_trace->ioctl(fd, SG_IO, &hdr);
        QCOMPARE(lines(), QStringList{"scsi /dev/sdb cdb=28 dir=out len=100 head=" + QString(64, QLatin1Char('1')) + " rc=0"});
    }

    void otherCallsAreNotTraced()
    {
        const int fd = m_trace->open(QStringLiteral("/dev/video0"), 0);
        v4l2_capability cap{};
        m_trace->ioctl(fd, VIDIOC_QUERYCAP, &cap);
        // Per-buffer calls, format listing, and the metadata node's format.
        v4l2_buffer buffer{};
        buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        m_trace->ioctl(fd, VIDIOC_QBUF, &buffer);
        m_trace->ioctl(fd, VIDIOC_DQBUF, &buffer);
        v4l2_fmtdesc description{};
        m_trace->ioctl(fd, VIDIOC_ENUM_FMT, &description);
        v4l2_format metadata{};
        metadata.type = V4L2_BUF_TYPE_META_CAPTURE;
        m_trace->ioctl(fd, VIDIOC_G_FMT, &metadata);
        m_trace->close(fd);
        QByteArray ignored;
        m_trace->readAttribute(QStringLiteral("/sys/class/video4linux/video0/name"), &ignored);
        QCOMPARE(lines(), QStringList{});
    }

    void eventsFromTheHandedOutMonitor()
    {
        auto monitor = m_trace->createMonitor();
        QVERIFY(monitor->start());
        QSignalSpy forwarded(monitor.get(), &DeviceMonitor::deviceEvent);
        m_inner->lastMonitor->fire(cameraEvent(DeviceEvent::Action::Add));
        m_inner->lastMonitor->fire(cameraEvent(DeviceEvent::Action::Remove));
        DeviceEvent disk;
        disk.subsystem = QStringLiteral("block");
        disk.sysPath = QStringLiteral("/sys/devices/virtual/block/sdb");
        m_inner->lastMonitor->fire(disk);
        QCOMPARE(forwarded.count(), 3);
        const QString path = synthesizeDevicePath({0x5a17, 0x0307, 0, 1, QStringLiteral("1-2")});
        const QStringList got = lines();
        QCOMPARE(got.size(), 3);
        QCOMPARE(got[0], QStringLiteral("event add ") + path);
        QCOMPARE(got[1], QString(got[0]).replace(QLatin1String("event add"), QLatin1String("event remove")));
        QCOMPARE(got[2], QStringLiteral("event add /sys/devices/virtual/block/sdb"));
    }

    void concurrentWritersKeepLinesWhole()
    {
        const int fd = m_trace->open(QStringLiteral("/dev/video0"), 0);
        constexpr int kThreads = 4, kEach = 200;
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([this, fd, t] {
                for (int i = 0; i < kEach; ++i) {
                    v4l2_control control{V4L2_CID_ZOOM_ABSOLUTE, t * 1000 + i};
                    m_trace->ioctl(fd, VIDIOC_S_CTRL, &control);
                }
            });
        for (std::thread &thread : threads)
            thread.join();
        const QStringList got = lines();
        QCOMPARE(got.size(), kThreads * kEach);
        const QRegularExpression shape(QStringLiteral("^ctl /dev/video0 set zoom value=\\d+ rc=0$"));
        for (const QString &line : got)
            QVERIFY2(shape.match(line).hasMatch(), qPrintable(line));
    }
};

QTEST_GUILESS_MAIN(TestTrace)
#include "test_trace.moc"
