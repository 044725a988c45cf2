#include "platform/trace.h"

#include "platform/device_path.h"

#include <QElapsedTimer>
#include <QFile>

#include <linux/usbdevice_fs.h>
#include <linux/usb/video.h>
#include <linux/uvcvideo.h>
#include <linux/videodev2.h>
#include <scsi/sg.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace lumora::platform {

class TraceWriter {
public:
    explicit TraceWriter(const QString &file)
        : m_fd(::open(QFile::encodeName(file).constData(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644))
    {
        m_clock.start();
    }
    ~TraceWriter()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    TraceWriter(const TraceWriter &) = delete;
    TraceWriter &operator=(const TraceWriter &) = delete;

    // One write() per line: O_APPEND keeps lines from different threads whole.
    void write(const QString &text)
    {
        if (m_fd < 0)
            return;
        const QByteArray line = QByteArray::number(m_clock.elapsed()) + ' ' + text.toUtf8() + '\n';
        ssize_t n;
        do {
            n = ::write(m_fd, line.constData(), static_cast<size_t>(line.size()));
        } while (n < 0 && errno == EINTR);
    }

private:
    int m_fd;
    QElapsedTimer m_clock;
};

namespace {

QString hex(const void *data, size_t size)
{
    if (!data)
        return {};
    return QString::fromLatin1(QByteArray(static_cast<const char *>(data), static_cast<int>(size)).toHex());
}

class TraceMonitor : public DeviceMonitor {
public:
    TraceMonitor(std::unique_ptr<DeviceMonitor> inner, std::shared_ptr<TraceWriter> writer)
        : m_inner(std::move(inner)), m_writer(std::move(writer))
    {
        connect(m_inner.get(), &DeviceMonitor::deviceEvent, this, [this](const DeviceEvent &event) {
            m_writer->write(QStringLiteral("event %1 %2")
                                .arg(event.action == DeviceEvent::Action::Add ? QLatin1String("add")
                                                                              : QLatin1String("remove"),
                                     eventPath(event)));
            Q_EMIT deviceEvent(event);
        });
    }
    bool start() override { return m_inner->start(); }

private:
    std::unique_ptr<DeviceMonitor> m_inner;
    std::shared_ptr<TraceWriter> m_writer;
};

QString xuLine(const QString &node, const uvc_xu_control_query &query, const QString &out, int rc)
{
    const bool set = query.query == UVC_SET_CUR;
    QString line = QStringLiteral("xu %1 %2 sel=%3 out=%4")
                       .arg(node, set ? QLatin1String("set") : QLatin1String("get"))
                       .arg(query.selector)
                       .arg(out);
    if (!set)
        line += QStringLiteral(" in=") + hex(query.data, query.size);
    return line + QStringLiteral(" rc=%1").arg(rc);
}

QString scsiLine(const QString &node, const sg_io_hdr &hdr, const QString &outHead, int rc)
{
    const bool in = hdr.dxfer_direction == SG_DXFER_FROM_DEV;
    const bool out = hdr.dxfer_direction == SG_DXFER_TO_DEV;
    const size_t headLen = std::min<size_t>(hdr.dxfer_len, 32);
    return QStringLiteral("scsi %1 cdb=%2 dir=%3 len=%4 head=%5 rc=%6")
        .arg(node, hex(hdr.cmdp, hdr.cmd_len),
             in ? QLatin1String("in") : out ? QLatin1String("out") : QLatin1String("none"))
        .arg(hdr.dxfer_len)
        .arg(in ? hex(hdr.dxferp, headLen) : outHead)
        .arg(rc);
}

QString bulkLine(const QString &node, const usbdevfs_bulktransfer &transfer, const QByteArray &sent, int rc)
{
    const bool in = transfer.ep & 0x80;
    const unsigned moved = rc >= 0 ? unsigned(rc) : transfer.len;
    QByteArray head;
    if (!in)
        head = sent.left(int(std::min<unsigned>(moved, 32)));
    else if (rc > 0 && transfer.data)
        head = QByteArray(static_cast<const char *>(transfer.data), std::min(rc, 32));
    return QStringLiteral("usb %1 bulk ep=%2 len=%3 head=%4 rc=%5")
        .arg(node)
        .arg(transfer.ep & 0xFF, 2, 16, QLatin1Char('0'))
        .arg(moved)
        .arg(QString::fromLatin1(head.toHex()))
        .arg(rc);
}

// The details of a usbfs call other than a bulk transfer; empty for calls the trace leaves out.
QString fourcc(quint32 code)
{
    QString text;
    for (int shift = 0; shift < 32; shift += 8) {
        const char c = char((code >> shift) & 0xFF);
        text += c > ' ' && c < 0x7F ? QChar(c) : QChar('.');
    }
    return text;
}

// The capture calls that set a stream up and take it down, with what the
// driver answered; empty for anything else (per-buffer QBUF/DQBUF included).
QString captureCall(unsigned long request, const void *arg)
{
    switch (request) {
    case VIDIOC_S_FMT:
    case VIDIOC_G_FMT: {
        const auto *format = static_cast<const v4l2_format *>(arg);
        if (format->type != V4L2_BUF_TYPE_VIDEO_CAPTURE)
            return {};
        return QStringLiteral("%1 fmt=%2 size=%3x%4 sizeimage=%5")
            .arg(request == VIDIOC_S_FMT ? QLatin1String("s_fmt") : QLatin1String("g_fmt"), fourcc(format->fmt.pix.pixelformat))
            .arg(format->fmt.pix.width)
            .arg(format->fmt.pix.height)
            .arg(format->fmt.pix.sizeimage);
    }
    case VIDIOC_S_PARM: {
        const auto *parameters = static_cast<const v4l2_streamparm *>(arg);
        if (parameters->type != V4L2_BUF_TYPE_VIDEO_CAPTURE)
            return {};
        return QStringLiteral("s_parm interval=%1/%2")
            .arg(parameters->parm.capture.timeperframe.numerator)
            .arg(parameters->parm.capture.timeperframe.denominator);
    }
    case VIDIOC_REQBUFS: {
        const auto *request = static_cast<const v4l2_requestbuffers *>(arg);
        const char *memory = request->memory == V4L2_MEMORY_USERPTR ? "userptr"
                             : request->memory == V4L2_MEMORY_MMAP  ? "mmap"
                                                                    : "other";
        return QStringLiteral("reqbufs memory=%1 count=%2").arg(QLatin1String(memory)).arg(request->count);
    }
    case VIDIOC_STREAMON:
        return QStringLiteral("streamon");
    case VIDIOC_STREAMOFF:
        return QStringLiteral("streamoff");
    default:
        return {};
    }
}

QString usbfsCall(unsigned long request, const void *arg)
{
    switch (request) {
    case USBDEVFS_CLAIMINTERFACE:
        return QStringLiteral("claim if=%1").arg(*static_cast<const unsigned *>(arg));
    case USBDEVFS_DISCONNECT_CLAIM: {
        const auto *claim = static_cast<const usbdevfs_disconnect_claim *>(arg);
        const QString driver = QString::fromLatin1(claim->driver, int(qstrnlen(claim->driver, sizeof claim->driver)));
        QString line = QStringLiteral("claim if=%1 disconnect").arg(claim->interface);
        if (claim->flags & USBDEVFS_DISCONNECT_CLAIM_IF_DRIVER)
            line += QStringLiteral(" if_driver=") + driver;
        if (claim->flags & USBDEVFS_DISCONNECT_CLAIM_EXCEPT_DRIVER)
            line += QStringLiteral(" except_driver=") + driver;
        return line;
    }
    case USBDEVFS_RELEASEINTERFACE:
        return QStringLiteral("release if=%1").arg(*static_cast<const unsigned *>(arg));
    case USBDEVFS_IOCTL: {
        const auto *call = static_cast<const usbdevfs_ioctl *>(arg);
        if (call->ioctl_code == int(USBDEVFS_DISCONNECT))
            return QStringLiteral("disconnect if=%1").arg(call->ifno);
        if (call->ioctl_code == int(USBDEVFS_CONNECT))
            return QStringLiteral("connect if=%1").arg(call->ifno);
        return {};
    }
    case USBDEVFS_CLEAR_HALT:
        return QStringLiteral("clear_halt ep=%1").arg(*static_cast<const unsigned *>(arg) & 0xFF, 2, 16, QLatin1Char('0'));
    case USBDEVFS_RESET:
        return QStringLiteral("reset");
    case USBDEVFS_CONTROL: {
        const auto *c = static_cast<const usbdevfs_ctrltransfer *>(arg);
        return QStringLiteral("control type=%1 req=%2 value=%3 index=%4 len=%5")
            .arg(c->bRequestType, 2, 16, QLatin1Char('0'))
            .arg(c->bRequest, 2, 16, QLatin1Char('0'))
            .arg(c->wValue, 4, 16, QLatin1Char('0'))
            .arg(c->wIndex, 4, 16, QLatin1Char('0'))
            .arg(c->wLength);
    }
    default:
        return {};
    }
}

} // namespace

QString controlName(quint32 id)
{
    static const QHash<quint32, QString> names = {
        {V4L2_CID_BRIGHTNESS, QStringLiteral("brightness")},
        {V4L2_CID_CONTRAST, QStringLiteral("contrast")},
        {V4L2_CID_SATURATION, QStringLiteral("saturation")},
        {V4L2_CID_HUE, QStringLiteral("hue")},
        {V4L2_CID_HUE_AUTO, QStringLiteral("hue_auto")},
        {V4L2_CID_GAMMA, QStringLiteral("gamma")},
        {V4L2_CID_GAIN, QStringLiteral("gain")},
        {V4L2_CID_SHARPNESS, QStringLiteral("sharpness")},
        {V4L2_CID_BACKLIGHT_COMPENSATION, QStringLiteral("backlight_compensation")},
        {V4L2_CID_POWER_LINE_FREQUENCY, QStringLiteral("power_line_frequency")},
        {V4L2_CID_AUTO_WHITE_BALANCE, QStringLiteral("white_balance_auto")},
        {V4L2_CID_WHITE_BALANCE_TEMPERATURE, QStringLiteral("white_balance_temperature")},
        {V4L2_CID_EXPOSURE_AUTO, QStringLiteral("exposure_auto")},
        {V4L2_CID_EXPOSURE_ABSOLUTE, QStringLiteral("exposure")},
        {V4L2_CID_PAN_ABSOLUTE, QStringLiteral("pan")},
        {V4L2_CID_TILT_ABSOLUTE, QStringLiteral("tilt")},
        {V4L2_CID_PAN_RELATIVE, QStringLiteral("pan_relative")},
        {V4L2_CID_TILT_RELATIVE, QStringLiteral("tilt_relative")},
        {V4L2_CID_ZOOM_ABSOLUTE, QStringLiteral("zoom")},
        {V4L2_CID_ZOOM_RELATIVE, QStringLiteral("zoom_relative")},
        {V4L2_CID_FOCUS_ABSOLUTE, QStringLiteral("focus")},
        {V4L2_CID_FOCUS_AUTO, QStringLiteral("focus_auto")},
    };
    return names.value(id, QStringLiteral("0x%1").arg(id, 8, 16, QLatin1Char('0')));
}

TraceKernel::TraceKernel(std::unique_ptr<Kernel> inner, const QString &file)
    : m_inner(std::move(inner)), m_writer(std::make_shared<TraceWriter>(file))
{
}

TraceKernel::~TraceKernel() = default;

QString TraceKernel::nodeOf(int fd)
{
    std::lock_guard<std::mutex> lock(m_nodesMutex);
    return m_nodes.value(fd, QStringLiteral("fd%1").arg(fd));
}

int TraceKernel::open(const QString &node, int flags)
{
    const int fd = m_inner->open(node, flags);
    if (fd >= 0) {
        std::lock_guard<std::mutex> lock(m_nodesMutex);
        m_nodes.insert(fd, node);
    }
    return fd;
}

int TraceKernel::close(int fd)
{
    {
        std::lock_guard<std::mutex> lock(m_nodesMutex);
        m_nodes.remove(fd);
    }
    return m_inner->close(fd);
}

int TraceKernel::ioctl(int fd, unsigned long request, void *arg)
{
    switch (request) {
    case UVCIOC_CTRL_QUERY: {
        const auto *query = static_cast<const uvc_xu_control_query *>(arg);
        const QString out = hex(query->data, query->size);
        const int rc = m_inner->ioctl(fd, request, arg);
        m_writer->write(xuLine(nodeOf(fd), *query, out, rc));
        return rc;
    }
    case VIDIOC_G_CTRL:
    case VIDIOC_S_CTRL: {
        const auto *control = static_cast<const v4l2_control *>(arg);
        // A set shows the value sent; uvcvideo writes back what it made of it.
        const int sent = control->value;
        const int rc = m_inner->ioctl(fd, request, arg);
        m_writer->write(QStringLiteral("ctl %1 %2 %3 value=%4 rc=%5")
                            .arg(nodeOf(fd), request == VIDIOC_S_CTRL ? QLatin1String("set") : QLatin1String("get"),
                                 controlName(control->id))
                            .arg(request == VIDIOC_S_CTRL ? sent : control->value)
                            .arg(rc));
        return rc;
    }
    case SG_IO: {
        const auto *hdr = static_cast<const sg_io_hdr *>(arg);
        const QString outHead = hdr->dxfer_direction == SG_DXFER_TO_DEV
                                    ? hex(hdr->dxferp, std::min<size_t>(hdr->dxfer_len, 32))
                                    : QString();
        const int rc = m_inner->ioctl(fd, request, arg);
        m_writer->write(scsiLine(nodeOf(fd), *hdr, outHead, rc));
        return rc;
    }
    case USBDEVFS_BULK: {
        const auto *transfer = static_cast<const usbdevfs_bulktransfer *>(arg);
        const QByteArray sent = !(transfer->ep & 0x80) && transfer->data
                                    ? QByteArray(static_cast<const char *>(transfer->data), int(std::min(transfer->len, 32u)))
                                    : QByteArray();
        const int rc = m_inner->ioctl(fd, request, arg);
        m_writer->write(bulkLine(nodeOf(fd), *transfer, sent, rc));
        return rc;
    }
    case VIDIOC_S_FMT:
    case VIDIOC_G_FMT:
    case VIDIOC_S_PARM:
    case VIDIOC_REQBUFS:
    case VIDIOC_STREAMON:
    case VIDIOC_STREAMOFF: {
        // Written with the driver's answer: the format and count it settled on.
        const int rc = m_inner->ioctl(fd, request, arg);
        const QString call = arg ? captureCall(request, arg) : QString();
        if (!call.isEmpty())
            m_writer->write(QStringLiteral("v4l2 %1 %2 rc=%3").arg(nodeOf(fd), call).arg(rc));
        return rc;
    }
    default: {
        const QString call = arg || request == USBDEVFS_RESET ? usbfsCall(request, arg) : QString();
        const int rc = m_inner->ioctl(fd, request, arg);
        if (!call.isEmpty())
            m_writer->write(QStringLiteral("usb %1 %2 rc=%3").arg(nodeOf(fd), call).arg(rc));
        return rc;
    }
    }
}

int TraceKernel::readAttribute(const QString &path, QByteArray *contents)
{
    return m_inner->readAttribute(path, contents);
}

QStringList TraceKernel::listDirectory(const QString &path)
{
    return m_inner->listDirectory(path);
}

QString TraceKernel::canonicalPath(const QString &path)
{
    return m_inner->canonicalPath(path);
}

std::unique_ptr<DeviceMonitor> TraceKernel::createMonitor()
{
    return std::make_unique<TraceMonitor>(m_inner->createMonitor(), m_writer);
}

QVector<NodeHolder> TraceKernel::holders(const QString &node)
{
    return m_inner->holders(node);
}

} // namespace lumora::platform
