#include "sim/sim_camera.h"

#include "sim/sim_kernel.h"
#include "sim/sim_machine_store.h"
#include "sim/sim_usb_identity.h"
#include "sim/sim_scenario_record.h"
#include "sim/sim_uvc_descriptors.h"
#include "sim/sim_video_feed.h"

#include <QDebug>
#include <QJsonArray>

#include <linux/usb/video.h>
#include <linux/uvcvideo.h>
#include <linux/videodev2.h>
#include <poll.h>

#include <cerrno>
#include <cstring>
#include <mutex>

namespace lumora::sim {

namespace {

constexpr quint32 kKernelVersion = (6u << 16) | (1u << 8); // what Debian 12's kernel reports
constexpr quint32 kCaptureCaps = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING | V4L2_CAP_EXT_PIX_FORMAT;
constexpr quint32 kMetadataCaps = V4L2_CAP_META_CAPTURE | V4L2_CAP_STREAMING | V4L2_CAP_EXT_PIX_FORMAT;

bool isControlTransfer(unsigned long request)
{
    switch (request) {
    case VIDIOC_G_CTRL:
    case VIDIOC_S_CTRL:
    case VIDIOC_G_EXT_CTRLS:
    case VIDIOC_S_EXT_CTRLS:
        return true;
    default:
        return false;
    }
}

// A transfer that changes the camera: a control set, or an extension-unit
// write other than a query (a code with bit 7, or 0x0B, on selector 1).
bool isSet(unsigned long request, const void *arg)
{
    if (request == VIDIOC_S_CTRL || request == VIDIOC_S_EXT_CTRLS)
        return true;
    if (request != UVCIOC_CTRL_QUERY)
        return false;
    const auto *query = static_cast<const uvc_xu_control_query *>(arg);
    if (query->query != UVC_SET_CUR)
        return false;
    const quint8 code = query->data && query->size > 0 ? query->data[0] : 0;
    return !(query->selector == 1 && ((code & 0x80) || code == 0x0B));
}

// Linux keeps 15 bytes of a command name.
constexpr int kCommLength = 15;

bool isControlQuery(unsigned long request)
{
    return request == VIDIOC_QUERYCTRL || request == VIDIOC_QUERY_EXT_CTRL || request == VIDIOC_QUERYMENU
        || request == VIDIOC_TRY_EXT_CTRLS;
}

template <size_t N> void copyText(quint8 (&field)[N], const QString &text)
{
    const QByteArray bytes = text.toUtf8().left(int(N) - 1);
    std::memcpy(field, bytes.constData(), size_t(bytes.size()));
}

// uvc_probe() (drivers/media/usb/uvc/uvc_driver.c) names the device in a
// 32-byte buffer: iProduct (or "UVC Camera (vid:pid)"), then ": " and iFunction
// or the VideoControl iInterface when there is one. usb_string() only writes
// whole characters; strscpy() of iProduct may cut one in half.
QByteArray uvcCardName(const SimUsbIdentity &usb, const QString &function)
{
    constexpr int kRoom = 31;
    QByteArray name = usb.product.isEmpty()
        ? QStringLiteral("UVC Camera (%1:%2)").arg(usb.vendorId, 4, 16, QLatin1Char('0')).arg(usb.productId, 4, 16, QLatin1Char('0')).toUtf8()
        : usb.product.toUtf8().left(kRoom);
    if (function.isEmpty())
        return name;
    name = (name + ": ").left(kRoom);
    for (const QChar c : function) {
        const QByteArray bytes = QString(c).toUtf8();
        if (name.size() + bytes.size() > kRoom)
            break;
        name += bytes;
    }
    return name;
}

// The VideoControl interface's iInterface shows in sysfs as its "interface".
SimUsbIdentity cameraUsbIdentity(const QJsonObject &config)
{
    SimUsbIdentity usb = readUsbIdentity(config);
    const QString interfaceName = config.value("interfaceName").toString();
    if (!interfaceName.isEmpty())
        usb.interfaceNames.insert(config.value("interface").toInt(0), interfaceName);
    return usb;
}

// Each VideoStreaming interface's format names; a camera without "streams" has
// one interface with MJPEG.
QVector<QStringList> streamsOf(const QJsonObject &config)
{
    QVector<QStringList> streams;
    for (const QJsonValue &stream : config.value("streams").toArray()) {
        QStringList formats;
        for (const QJsonValue &format : stream.toObject().value("formats").toArray())
            formats << format.toString();
        streams.append(formats);
    }
    if (streams.isEmpty())
        streams.append(QStringList{QStringLiteral("mjpeg")});
    return streams;
}

// The format ioctls of uvcvideo's metadata node (uvc_metadata.c): one format,
// of the metadata type; another type is EINVAL (v4l2-ioctl.c, check_fmt).
// It has no controls (ENOTTY).
int metadataIoctl(unsigned long request, void *arg)
{
    constexpr quint32 kBufferSize = 10240; // UVC_METADATA_BUF_SIZE
    switch (request) {
    case VIDIOC_ENUM_FMT: {
        auto *desc = static_cast<v4l2_fmtdesc *>(arg);
        if (desc->type != V4L2_BUF_TYPE_META_CAPTURE || desc->index != 0)
            return -EINVAL;
        *desc = {};
        desc->type = V4L2_BUF_TYPE_META_CAPTURE;
        desc->pixelformat = V4L2_META_FMT_UVC;
        qstrncpy(reinterpret_cast<char *>(desc->description), "UVC Payload Header Metadata", sizeof desc->description);
        return 0;
    }
    case VIDIOC_G_FMT:
    case VIDIOC_S_FMT:
    case VIDIOC_TRY_FMT: {
        auto *format = static_cast<v4l2_format *>(arg);
        if (format->type != V4L2_BUF_TYPE_META_CAPTURE)
            return -EINVAL;
        std::memset(&format->fmt, 0, sizeof format->fmt);
        format->fmt.meta.dataformat = V4L2_META_FMT_UVC;
        format->fmt.meta.buffersize = kBufferSize;
        return 0;
    }
    default:
        return -ENOTTY;
    }
}

quint16 bcdFromFirmware(const QString &firmware)
{
    const QStringList parts = firmware.split('.');
    const int major = parts.value(0).toInt(), minor = parts.value(1).toInt();
    return quint16(((major % 100 / 10) << 12) | ((major % 10) << 8) | ((minor % 100 / 10) << 4) | (minor % 10));
}

} // namespace

bool SimCamera::isStreamFault(const QString &kind)
{
    return kind == QLatin1String("stallFeed") || kind == QLatin1String("garbageFrames")
        || kind == QLatin1String("damagedFrames");
}

SimCamera::SimCamera(const QJsonObject &config)
    : SimDevice(config.value("id").toString()),
      m_config(config),
      m_hasUsb(config.value("usb").toBool(true)),
      m_usb(m_hasUsb ? cameraUsbIdentity(config) : SimUsbIdentity{}),
      m_card(m_hasUsb ? uvcCardName(m_usb, config.value("function").toString(config.value("interfaceName").toString()))
                      : config.value("name").toString(config.value("product").toString()).toUtf8()),
      m_videoInterface(config.value("interface").toInt(0)),
      m_streams(streamsOf(config)),
      m_metadataNode(config.value("metadata").toBool(m_hasUsb)),
      m_frameOffer(simFrameOffer(config)),
      m_extensionUnit(config),
      m_controls(config)
{
    const QJsonObject heldBy = config.value("heldBy").toObject();
    m_holder = {qint64(heldBy.value("pid").toDouble()), heldBy.value("name").toString().left(kCommLength)};
    m_holderHidden = heldBy.value("otherUser").toBool();
    // Autofocus is a vendor command that acts on a standard control.
    m_extensionUnit.attachControls(&m_controls);
    // A stalled feed is a state of the stream, not of a transfer.
    QJsonArray transferFaults;
    for (const QJsonValue &fault : config.value("faults").toArray()) {
        const QString kind = fault.toObject().value("kind").toString();
        if (kind == QLatin1String("stallFeed"))
            m_stallAfter = qMax<qint64>(0, qint64(fault.toObject().value("afterFrames").toDouble()));
        else if (kind == QLatin1String("garbageFrames"))
            m_garbageEvery = qMax(1, fault.toObject().value("every").toInt(1));
        else if (kind == QLatin1String("damagedFrames"))
            m_damage = {qMax(1, fault.toObject().value("every").toInt(1)), fault.toObject().value("keptPercent").toInt(50),
                        fault.toObject().value("flagged").toBool(true)};
        else if (!isStreamFault(kind))
            transferFaults.append(fault);
    }
    QString error;
    if (!m_faults.arm(transferFaults, &error))
        qWarning().noquote() << "sim camera" << id() << "ignores its faults:" << error;
    m_feeds.resize(size_t(m_streams.size()));
}

SimCamera::~SimCamera() = default;

QByteArray SimCamera::descriptors() const
{
    if (!m_hasUsb)
        return {};
    // A dumped camera shows the descriptors it was dumped with.
    if (m_config.contains("descriptors"))
        return recordedDescriptors(m_config);
    return uvcCameraDescriptors(m_usb, bcdFromFirmware(m_config.value("firmware").toString()), m_videoInterface,
                                m_extensionUnit.descriptors(), m_streams, m_frameOffer);
}

QVector<SimNode> SimCamera::nodes() const
{
    // uvcvideo registers, per VideoStreaming interface, its capture node and then
    // its metadata node, all children of the VideoControl interface it binds to.
    const QString name = QString::fromUtf8(m_card);
    QVector<SimNode> nodes;
    for (int s = 0; s < m_streams.size(); ++s) {
        nodes.append({SimNode::Kind::VideoCapture, m_videoInterface, name});
        if (m_metadataNode)
            nodes.append({SimNode::Kind::VideoMetadata, m_videoInterface, name});
    }
    return nodes;
}

int SimCamera::streamOfNode(int node) const
{
    const int perStream = m_metadataNode ? 2 : 1;
    if (node < 0 || node >= perStream * m_streams.size() || node % perStream != 0)
        return -1;
    return node / perStream;
}

int SimCamera::queryCapabilities(int node, v4l2_capability *cap) const
{
    std::memset(cap, 0, sizeof *cap);
    copyText(cap->driver, m_config.value("driver").toString(m_hasUsb ? QStringLiteral("uvcvideo") : QStringLiteral("sim-camera")));
    const QByteArray card = m_card.left(int(sizeof cap->card) - 1);
    std::memcpy(cap->card, card.constData(), size_t(card.size()));
    copyText(cap->bus_info, m_hasUsb ? QStringLiteral("usb-0000:00:14.0-") + usbDevpath(m_usb)
                                     : QStringLiteral("platform:") + id());
    cap->version = kKernelVersion;
    cap->device_caps = streamOfNode(node) >= 0 ? kCaptureCaps : kMetadataCaps;
    cap->capabilities = kCaptureCaps | (m_metadataNode ? kMetadataCaps : 0) | V4L2_CAP_DEVICE_CAPS;
    return 0;
}

int SimCamera::ioctl(const SimFile &file, unsigned long request, void *arg)
{
    if (!arg)
        return -EFAULT;
    if (request == VIDIOC_QUERYCAP)
        return queryCapabilities(file.node, static_cast<v4l2_capability *>(arg));
    const int stream = streamOfNode(file.node);
    // uvcvideo's metadata node has no controls; every capture node reaches the chain's.
    if (stream < 0)
        return metadataIoctl(request, arg);
    if (isControlQuery(request))
        return m_controls.ioctl(request, arg);
    if (request == UVCIOC_CTRL_QUERY || isControlTransfer(request))
        return transfer(request, arg);
    if (SimVideoFeed::handles(request))
        if (const std::shared_ptr<SimVideoFeed> queue = feed(stream))
            return queue->ioctl(file, request, arg);
    return -ENOTTY;
}

int SimCamera::poll(const SimFile &file, short events, int timeoutMs)
{
    const int stream = streamOfNode(file.node);
    const std::shared_ptr<SimVideoFeed> queue = stream >= 0 ? feed(stream) : nullptr;
    return queue ? queue->poll(file, events, timeoutMs) : POLLERR;
}

void SimCamera::closed(const SimFile &file)
{
    const int stream = streamOfNode(file.node);
    if (stream < 0)
        return;
    std::shared_ptr<SimVideoFeed> queue;
    {
        std::lock_guard<std::mutex> lock(m_feedMutex);
        queue = m_feeds[size_t(stream)];
    }
    if (queue)
        queue->closed(file);
}

std::shared_ptr<SimVideoFeed> SimCamera::feed(int stream)
{
    std::lock_guard<std::mutex> lock(m_feedMutex);
    std::shared_ptr<SimVideoFeed> &queue = m_feeds[size_t(stream)];
    if (!queue && m_attachedTo.load()) {
        // Each streaming interface offers its own formats, at the camera's sizes.
        QVector<const SimVideoFormat *> formats;
        for (const QString &name : m_streams[stream])
            if (const SimVideoFormat *format = simVideoFormat(name))
                formats.append(format);
        queue = std::make_shared<SimVideoFeed>([this] { return m_controls.scene(); }, formats, m_frameOffer);
        // Another application ("heldBy") streams from the first capture node.
        queue->setHeldElsewhere(stream == 0 && isHeld());
        if (m_stallAfter >= 0)
            queue->stallAfter(quint64(m_stallAfter));
        queue->sendGarbage(m_garbageEvery);
        queue->damageFrames(m_damage);
        queue->setFrameObserver(m_frameObserver);
    }
    return queue;
}

bool SimCamera::isHeld() const
{
    std::lock_guard<std::mutex> lock(m_holderMutex);
    return m_holder.pid > 0;
}

void SimCamera::release()
{
    {
        std::lock_guard<std::mutex> lock(m_holderMutex);
        m_holder = {};
        m_holderHidden = false;
    }
    std::lock_guard<std::mutex> lock(m_feedMutex);
    if (m_feeds.front())
        m_feeds.front()->setHeldElsewhere(false);
}

QVector<platform::NodeHolder> SimCamera::holders(int node) const
{
    std::lock_guard<std::mutex> lock(m_holderMutex);
    if (streamOfNode(node) != 0 || m_holder.pid <= 0 || m_holderHidden)
        return {};
    return {m_holder};
}

int SimCamera::transfer(unsigned long request, void *arg)
{
    SimKernel *kernel = m_attachedTo.load();
    const std::shared_ptr<SimMachineStore> store = kernel ? kernel->store() : nullptr;
    if (!store)
        return transferNow(request, arg);
    if (!isSet(request, arg)) {
        catchUp(*store);
        return transferNow(request, arg);
    }
    // Read, change and save under the lock, so no other process's change is lost.
    int rc = 0;
    store->exclusive([&] {
        catchUp(*store);
        rc = transferNow(request, arg);
        // A camera that left (a restart, upgrade mode) was saved as what comes back.
        if (rc == 0 && kernel->device(id()).get() == this) {
            const QJsonObject saved = config();
            store->save(id(), SimMachineStore::Kind::Camera, saved);
            std::lock_guard<std::mutex> lock(m_storeMutex);
            m_stored = saved;
        }
    });
    return rc;
}

void SimCamera::catchUp(SimMachineStore &store)
{
    const SimMachineStore::Saved saved = store.saved(id());
    if (!saved.found || saved.kind != SimMachineStore::Kind::Camera)
        return;
    std::lock_guard<std::mutex> lock(m_storeMutex);
    if (saved.config == m_stored)
        return;
    m_stored = saved.config;
    m_extensionUnit.loadState(saved.config);
    m_controls.loadValues(saved.config);
}

int SimCamera::transferNow(unsigned long request, void *arg)
{
    const SimFaults::Verdict verdict = m_faults.next();
    if (verdict.kind == SimFaults::Verdict::Kind::Drop) {
        if (SimKernel *kernel = m_attachedTo.load())
            kernel->unplug(id());
        return verdict.error;
    }
    if (verdict.kind == SimFaults::Verdict::Kind::Fail)
        return verdict.error;
    // Acknowledged and not applied: the camera keeps what it had.
    if (verdict.kind == SimFaults::Verdict::Kind::Ignore && isSet(request, arg))
        return 0;
    if (request != UVCIOC_CTRL_QUERY)
        return m_controls.ioctl(request, arg);
    SimExtensionUnit::Outcome outcome = SimExtensionUnit::Outcome::None;
    const int rc = m_extensionUnit.query(arg, &outcome);
    act(outcome);
    return rc;
}

void SimCamera::act(SimExtensionUnit::Outcome outcome)
{
    SimKernel *kernel = m_attachedTo.load();
    if (!kernel || outcome == SimExtensionUnit::Outcome::None)
        return;
    if (outcome == SimExtensionUnit::Outcome::Restart) {
        kernel->replace(id(), makeCamera(config()), m_config.value("restartMs").toInt(kRestartMs));
        return;
    }
    if (auto drive = makeUpdateDrive(updateDriveConfig()))
        kernel->replace(id(), std::move(drive), m_config.value("upgradeSwitchMs").toInt(kUpgradeSwitchMs));
    else
        kernel->unplug(id());
}

QJsonObject SimCamera::config() const
{
    QJsonObject saved = m_config;
    // Injected faults belong to this run, not to the camera a restart brings
    // back; an application streaming from it loses the camera when it leaves.
    saved.remove("faults");
    saved.remove("heldBy");
    m_extensionUnit.saveTo(&saved);
    m_controls.saveTo(&saved);
    return saved;
}

QJsonObject SimCamera::updateDriveConfig() const
{
    QJsonObject drive{{"id", id()}, {"state", "uboot"}, {"camera", config()}};
    // A scenario may shape the drive: its faults, or "camera": false for one that never comes back.
    const QJsonObject shape = m_config.value("updateDrive").toObject();
    for (auto it = shape.begin(); it != shape.end(); ++it)
        drive.insert(it.key(), it.value());
    if (!drive.value("camera").isObject())
        drive.remove("camera");
    writeUsbIdentity(m_usb, &drive);
    return drive;
}

void SimCamera::resumeFeed()
{
    std::lock_guard<std::mutex> lock(m_feedMutex);
    m_stallAfter = -1;
    for (const std::shared_ptr<SimVideoFeed> &queue : m_feeds)
        if (queue)
            queue->setFrozen(false);
}

void SimCamera::stallFeed(quint64 afterFrames)
{
    std::lock_guard<std::mutex> lock(m_feedMutex);
    m_stallAfter = qint64(afterFrames);
    for (const std::shared_ptr<SimVideoFeed> &queue : m_feeds)
        if (queue)
            queue->stallAfter(afterFrames);
}

void SimCamera::setFrameObserver(std::function<void(quint64)> observer)
{
    std::lock_guard<std::mutex> lock(m_feedMutex);
    m_frameObserver = std::move(observer);
    for (const std::shared_ptr<SimVideoFeed> &queue : m_feeds)
        if (queue)
            queue->setFrameObserver(m_frameObserver);
}

void SimCamera::attach(SimKernel *kernel)
{
    SimDevice::attach(kernel);
    m_attachedTo.store(kernel);
    if (kernel)
        return;
    // Unplugged: open streams end as a real camera's do.
    std::vector<std::shared_ptr<SimVideoFeed>> feeds(m_feeds.size());
    {
        std::lock_guard<std::mutex> lock(m_feedMutex);
        feeds.swap(m_feeds);
    }
    for (const std::shared_ptr<SimVideoFeed> &queue : feeds)
        if (queue)
            queue->end();
}

std::shared_ptr<SimDevice> makeCamera(const QJsonObject &config)
{
    return std::make_shared<SimCamera>(config);
}

} // namespace lumora::sim
