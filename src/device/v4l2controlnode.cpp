#include "device/v4l2controlnode.h"

#include "core/catalogue.h"
#include "platform/device_path.h"
#include "platform/kernel.h"

#include <QDebug>
#include <QMap>
#include <QRegularExpression>
#include <QSet>

#include <linux/videodev2.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>

int currentFilter = -1;

namespace {

using lumora::platform::kernel;

constexpr int kNodeFlags = O_RDWR | O_NONBLOCK;
// No camera offers more formats on one node; a driver that never says EINVAL stops here.
constexpr quint32 kMaxFormats = 64;

// One member of the video-input category.
struct CaptureNode {
    QString node;       // "/dev/video2"
    QString name;       // V4L2 card name
    QString devicePath; // synthesized interface path; empty without a USB identity
    // The device the node belongs to (sysfs "device": uvcvideo's VideoControl
    // interface), and the node's number among that device's nodes (sysfs "index").
    QString parent;
    int parentIndex = 0;
};

// The text between the first and the last '#'; empty when there is none.
QString cutPathId(const QString &devicePath)
{
    const int first = devicePath.indexOf(QLatin1Char('#'));
    const int last = devicePath.lastIndexOf(QLatin1Char('#'));
    if (first < 0 || first >= last)
        return {};
    return devicePath.mid(first + 1, last - first - 1);
}

// A sysfs string attribute without its line end; empty when it is not there.
QString sysfsString(const QString &path)
{
    QByteArray text;
    if (kernel().readAttribute(path, &text) < 0)
        return {};
    if (text.endsWith('\n'))
        text.chop(1);
    return QString::fromUtf8(text);
}

// The camera's name from the full USB strings: the device's iProduct, or the
// VideoControl interface's iInterface when only that names a catalogue model.
// The driver's card is a 31-byte cut of these, so it is the last resort.
QString friendlyNameOf(const QString &entry, const QString &card)
{
    // /sys/class/video4linux/videoN resolves to .../<usb device>/<interface>/video4linux/videoN
    const QString sysNode = kernel().canonicalPath("/sys/class/video4linux/" + entry);
    if (sysNode.isEmpty())
        return card;
    const QString product = sysfsString(sysNode.section('/', 0, -4) + "/product");
    const QString interface = sysfsString(sysNode.section('/', 0, -3) + "/interface");
    if (!interface.isEmpty() && modelFromFriendlyName(interface) != kNoModel
        && (product.isEmpty() || modelFromFriendlyName(product) == kNoModel))
        return interface;
    if (!product.isEmpty())
        return product;
    return interface.isEmpty() ? card : interface;
}

// Whether the node lists MJPEG among its formats.
bool offersMjpeg(const QString &node)
{
    const int fd = kernel().open(node, kNodeFlags);
    if (fd < 0)
        return false;
    bool found = false;
    for (quint32 index = 0; !found && index < kMaxFormats; ++index) {
        v4l2_fmtdesc format{};
        format.index = index;
        format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (kernel().ioctl(fd, VIDIOC_ENUM_FMT, &format) < 0)
            break;
        found = format.pixelformat == V4L2_PIX_FMT_MJPEG;
    }
    kernel().close(fd);
    return found;
}

// uvcvideo makes a capture node for each VideoStreaming interface of a camera,
// all under its VideoControl interface: one camera, listed once. Of a camera's
// nodes the one with index 0 stays, unless it has no MJPEG (the preview's
// format) and another one has; the others leave the category.
QVector<CaptureNode> onePerCamera(const QVector<CaptureNode> &nodes)
{
    QMap<QString, QVector<int>> byParent;
    for (int i = 0; i < nodes.size(); ++i)
        if (!nodes[i].parent.isEmpty())
            byParent[nodes[i].parent].append(i);
    QSet<int> dropped;
    for (QVector<int> group : qAsConst(byParent)) {
        if (group.size() < 2)
            continue;
        std::stable_sort(group.begin(), group.end(),
                         [&](int a, int b) { return nodes[a].parentIndex < nodes[b].parentIndex; });
        int kept = group.first();
        if (!offersMjpeg(nodes[kept].node)) {
            const auto mjpeg = std::find_if(group.begin() + 1, group.end(),
                                            [&](int i) { return offersMjpeg(nodes[i].node); });
            if (mjpeg != group.end())
                kept = *mjpeg;
        }
        for (const int i : qAsConst(group))
            if (i != kept)
                dropped.insert(i);
    }
    QVector<CaptureNode> kept;
    for (int i = 0; i < nodes.size(); ++i)
        if (!dropped.contains(i))
            kept.append(nodes[i]);
    return kept;
}

// Capture nodes in /dev/videoN number order, one per camera. Nodes that are
// not capture devices (metadata, output) or do not answer are not part of the category.
QVector<CaptureNode> captureNodes()
{
    static const QRegularExpression videoNode(QStringLiteral("^video(\\d+)$"));
    QVector<QPair<int, QString>> numbered;
    for (const QString &entry : kernel().listDirectory(QStringLiteral("/sys/class/video4linux"))) {
        const auto match = videoNode.match(entry);
        if (match.hasMatch())
            numbered.append({match.captured(1).toInt(), entry});
    }
    std::sort(numbered.begin(), numbered.end());

    QVector<CaptureNode> nodes;
    for (const auto &[number, entry] : numbered) {
        Q_UNUSED(number)
        CaptureNode node{QStringLiteral("/dev/") + entry, {}, {}, {}, 0};
        const int fd = kernel().open(node.node, kNodeFlags);
        if (fd < 0)
            continue;
        v4l2_capability cap{};
        const int rc = kernel().ioctl(fd, VIDIOC_QUERYCAP, &cap);
        kernel().close(fd);
        const quint32 caps = (cap.capabilities & V4L2_CAP_DEVICE_CAPS) ? cap.device_caps : cap.capabilities;
        if (rc < 0 || !(caps & V4L2_CAP_VIDEO_CAPTURE))
            continue;
        const char *card = reinterpret_cast<const char *>(cap.card);
        node.name = QString::fromUtf8(card, static_cast<int>(strnlen(card, sizeof cap.card)));
        lumora::platform::UsbInterfaceIdentity id;
        if (usbIdentityFromSysfs(kernel(), entry, &id)) {
            node.devicePath = synthesizeDevicePath(id);
            node.name = friendlyNameOf(entry, node.name);
        }
        const QString sysfsNode = QStringLiteral("/sys/class/video4linux/") + entry;
        node.parent = kernel().canonicalPath(sysfsNode + QStringLiteral("/device"));
        bool numbered = false;
        node.parentIndex = sysfsString(sysfsNode + QStringLiteral("/index")).toInt(&numbered);
        if (!numbered)
            node.parentIndex = INT_MAX;
        nodes.append(node);
    }
    return onePerCamera(nodes);
}

} // namespace

int V4l2ControlNode::ListCameraDevices(QVector<CameraDeviceInfo> &devices)
{
    const QVector<CaptureNode> nodes = captureNodes();
    if (nodes.isEmpty())
        return devices.size();
    std::printf("SETUP: Looking For Capture Devices\n");

    for (int position = 0; position < nodes.size(); ++position) {
        const CaptureNode &node = nodes[position];
        CameraDeviceInfo info;
        if (!node.devicePath.isEmpty()) {
            std::printf("Device path: %s\n", node.devicePath.toLocal8Bit().constData());
            info.pathId = cutPathId(node.devicePath);
        }
        info.friendlyName = node.name.left(255);
        if (info.friendlyName.contains(QLatin1String("MIC"), Qt::CaseInsensitive))
            continue;
        info.index = position;
        const QString moniker = node.node.left(255);
        qDebug().noquote() << "name.MonikerName" << moniker;
        std::printf("Device:%s\n", moniker.toLocal8Bit().constData());
        const QByteArray local = moniker.toLocal8Bit().left(255);
        qDebug().noquote() << "MB" << QString::fromLocal8Bit(local);
        info.alias = QString::fromLocal8Bit(local).replace(QLatin1Char(':'), QLatin1Char('_'));
        devices.append(info);
        qInfo().noquote() << "usb camera name:" << info.friendlyName << " id:" << info.pathId;
    }
    std::fflush(stdout);
    return devices.size();
}

bool V4l2ControlNode::OpenCameraDevice(const QString &pathId, const QString &friendlyName, int *position)
{
    // Never leak a descriptor that a caller forgot to release.
    ReleaseCameraDevice();
    const QVector<CaptureNode> nodes = captureNodes();
    for (int i = 0; i < nodes.size(); ++i) {
        const QString name = nodes[i].name.isEmpty() ? nodes[i].node : nodes[i].name;
        const QString cut = cutPathId(nodes[i].devicePath);
        if (cut != pathId || name != friendlyName)
            continue;
        *position = i;
        const int fd = kernel().open(nodes[i].node, kNodeFlags);
        if (fd >= 0)
            currentFilter = fd;
        qInfo().noquote() << "get camera name:" << name << " id:" << cut;
        break;
    }
    return currentFilter >= 0;
}

void V4l2ControlNode::ReleaseCameraDevice()
{
    if (currentFilter < 0)
        return;
    kernel().close(currentFilter);
    currentFilter = -1;
}

bool V4l2ControlNode::BindCaptureFilter(int n, int *filter)
{
    if (n < 0)
        return false;
    const QVector<CaptureNode> nodes = captureNodes();
    if (nodes.isEmpty())
        return false;
    for (int i = 0; i <= n && i < nodes.size(); ++i) {
        qInfo().noquote() << "directshow camera info: " << n << nodes[i].name.toLocal8Bit().left(255);
        if (i != n)
            continue;
        const int fd = kernel().open(nodes[i].node, kNodeFlags);
        if (fd >= 0)
            *filter = fd;
    }
    return true;
}
