#include "emulated/ioctl_bridge.h"

#include "emulated/open_flags.h"
#include "sim/sim_kernel.h"

#include <linux/usbdevice_fs.h>
#include <linux/uvcvideo.h>
#include <linux/videodev2.h>
#include <scsi/sg.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>

namespace emulated {

namespace {

// A node's poll() cannot reach the driver through umockdev (the client polls
// its testbed file, which is always ready), so a non-blocking DQBUF waits
// here for a frame for as long as a poll between two frames would.
constexpr int kFrameWaitMs = 200;

// The size of the argument an ioctl carries; SG_IO predates the size in the number.
size_t argumentSize(unsigned long request)
{
    if (request == SG_IO)
        return sizeof(sg_io_hdr);
    return _IOC_SIZE(request);
}

template <class T> T *as(UMockdevIoctlData *data) { return reinterpret_cast<T *>(data->data); }

// Fetches the memory a pointer at `offset` of `data` points to; the pointer then
// points at the local copy, and the copy goes back to the client on completion.
bool follow(UMockdevIoctlData *data, size_t offset, size_t length)
{
    if (length == 0)
        return true;
    GError *error = nullptr;
    umockdev_ioctl_data_resolve(data, offset, length, &error);
    if (error) {
        g_error_free(error);
        return false;
    }
    return true;
}

// The nested pointers of the ioctls the devices answer.
bool followNested(unsigned long request, UMockdevIoctlData *data)
{
    switch (request) {
    case UVCIOC_CTRL_QUERY:
        return follow(data, offsetof(uvc_xu_control_query, data), as<uvc_xu_control_query>(data)->size);
    case SG_IO: {
        const auto *hdr = as<sg_io_hdr>(data);
        return hdr->iovec_count == 0 && follow(data, offsetof(sg_io_hdr, cmdp), hdr->cmd_len)
               && follow(data, offsetof(sg_io_hdr, dxferp), hdr->dxfer_len)
               && follow(data, offsetof(sg_io_hdr, sbp), hdr->mx_sb_len);
    }
    case USBDEVFS_BULK:
        return follow(data, offsetof(usbdevfs_bulktransfer, data), as<usbdevfs_bulktransfer>(data)->len);
    case USBDEVFS_CONTROL:
        return follow(data, offsetof(usbdevfs_ctrltransfer, data), as<usbdevfs_ctrltransfer>(data)->wLength);
    case USBDEVFS_IOCTL:
        return follow(data, offsetof(usbdevfs_ioctl, data), _IOC_SIZE(unsigned(as<usbdevfs_ioctl>(data)->ioctl_code)));
    case VIDIOC_G_EXT_CTRLS:
    case VIDIOC_S_EXT_CTRLS:
    case VIDIOC_TRY_EXT_CTRLS: {
        const quint32 count = as<v4l2_ext_controls>(data)->count;
        GError *error = nullptr;
        UMockdevIoctlData *controls =
            count ? umockdev_ioctl_data_resolve(data, offsetof(v4l2_ext_controls, controls),
                                                count * sizeof(v4l2_ext_control), &error)
                  : nullptr;
        if (error) {
            g_error_free(error);
            return false;
        }
        // Compound controls carry their payload behind a pointer as well.
        for (quint32 i = 0; controls && i < count; ++i) {
            const size_t at = i * sizeof(v4l2_ext_control);
            const auto *control = reinterpret_cast<const v4l2_ext_control *>(controls->data + at);
            if (control->size && !follow(controls, at + offsetof(v4l2_ext_control, ptr), control->size))
                return false;
        }
        return true;
    }
    default:
        return true;
    }
}

bool isUserptrBuffer(unsigned long request, const UMockdevIoctlData *data)
{
    return (request == VIDIOC_QBUF || request == VIDIOC_DQBUF)
           && reinterpret_cast<const v4l2_buffer *>(data->data)->memory == V4L2_MEMORY_USERPTR;
}

} // namespace

IoctlBridge::IoctlBridge(lumora::sim::SimKernel *kernel, QString devRoot)
    : m_kernel(kernel), m_devRoot(std::move(devRoot)), m_handler(umockdev_ioctl_base_new()),
      m_shared(std::make_shared<Shared>())
{
    m_shared->kernel = kernel;
    g_signal_connect(m_handler, "handle-ioctl", G_CALLBACK(onIoctl), this);
}

IoctlBridge::~IoctlBridge()
{
    g_signal_handlers_disconnect_by_data(m_handler, this);
    g_object_unref(m_handler);
    QMutexLocker lock(&m_shared->mutex);
    for (const int fd : qAsConst(m_shared->fds))
        m_kernel->close(fd);
    m_shared->fds.clear();
    m_shared->kernel = nullptr;
}

QStringList IoctlBridge::faults() const
{
    QMutexLocker lock(&m_faultsMutex);
    return m_faults;
}

void IoctlBridge::fault(const QString &text)
{
    QMutexLocker lock(&m_faultsMutex);
    m_faults << text;
}

gboolean IoctlBridge::onIoctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer self)
{
    auto *bridge = static_cast<IoctlBridge *>(self);
    const int rc = bridge->answer(client, bridge->openOf(client));
    umockdev_ioctl_client_complete(client, rc < 0 ? -1 : rc, rc < 0 ? -rc : 0);
    return TRUE;
}

IoctlBridge::Open &IoctlBridge::openOf(UMockdevIoctlClient *client)
{
    struct Held {
        std::shared_ptr<Shared> shared;
        Open open;
    };
    static const char *const kKey = "lumora-open";
    if (auto *held = static_cast<Held *>(g_object_get_data(G_OBJECT(client), kKey)))
        return held->open;
    auto *held = new Held{m_shared, {}};
    // The driver's release when the client's descriptor is gone.
    g_object_set_data_full(G_OBJECT(client), kKey, held, [](gpointer data) {
        std::unique_ptr<Held> gone(static_cast<Held *>(data));
        QMutexLocker lock(&gone->shared->mutex);
        if (gone->open.fd >= 0 && gone->shared->fds.remove(gone->open.fd))
            gone->shared->kernel->close(gone->open.fd);
    });
    return held->open;
}

int IoctlBridge::openFor(const QString &node, Open &open)
{
    if (open.fd >= 0)
        return 0;
    const OpenFlags flags = openFlagsOf(m_devRoot + node.mid(int(strlen("/dev"))));
    // Opened before its device left: what the driver answers on a descriptor of a gone device.
    if (!flags.found && flags.removed)
        return -ENODEV;
    if (!flags.found || flags.ambiguous) {
        fault(QStringLiteral("%1: %2").arg(node, flags.found ? QStringLiteral("opened with different flags at once")
                                                             : QStringLiteral("no open descriptor found")));
        return -EIO;
    }
    const int fd = m_kernel->open(node, flags.flags);
    if (fd < 0)
        return fd;
    open.fd = fd;
    QMutexLocker lock(&m_shared->mutex);
    m_shared->fds.insert(fd);
    return 0;
}

int IoctlBridge::answer(UMockdevIoctlClient *client, Open &open)
{
    const QString node = QString::fromUtf8(umockdev_ioctl_client_get_devnode(client));
    if (const int rc = openFor(node, open))
        return rc;
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData *argument = umockdev_ioctl_client_get_arg(client);
    const size_t size = argumentSize(request);
    if (size == 0 || !*reinterpret_cast<void **>(argument->data))
        return forward(open, request, size ? nullptr : reinterpret_cast<void *>(*reinterpret_cast<quintptr *>(argument->data)));
    GError *error = nullptr;
    UMockdevIoctlData *data = umockdev_ioctl_data_resolve(argument, 0, size, &error);
    if (error) {
        g_error_free(error);
        return -EFAULT;
    }
    if (isUserptrBuffer(request, data))
        return userptrBuffer(open, request, data);
    if (!followNested(request, data))
        return -EFAULT;
    return forward(open, request, data->data);
}

int IoctlBridge::forward(Open &open, unsigned long request, void *arg)
{
    int rc = m_kernel->ioctl(open.fd, request, arg);
    if (rc == -EAGAIN && request == VIDIOC_DQBUF && m_kernel->poll(open.fd, POLLIN, kFrameWaitMs) > 0)
        rc = m_kernel->ioctl(open.fd, request, arg);
    return rc;
}

// A USERPTR buffer is memory of the client: the driver fills a local shadow of
// it, and a dequeued buffer's bytes go to the client's memory.
int IoctlBridge::userptrBuffer(Open &open, unsigned long request, UMockdevIoctlData *data)
{
    auto *buffer = as<v4l2_buffer>(data);
    if (request == VIDIOC_QBUF) {
        Buffer &shadow = open.buffers[buffer->index];
        shadow.clientAddress = buffer->m.userptr;
        if (shadow.shadow.size() != int(buffer->length))
            shadow.shadow = QByteArray(int(buffer->length), '\0');
        buffer->m.userptr = reinterpret_cast<unsigned long>(shadow.shadow.data());
        const int rc = forward(open, request, buffer);
        buffer->m.userptr = static_cast<unsigned long>(shadow.clientAddress);
        return rc;
    }
    const int rc = forward(open, request, buffer);
    if (rc < 0)
        return rc;
    const auto shadow = open.buffers.constFind(buffer->index);
    if (shadow == open.buffers.constEnd()) {
        fault(QStringLiteral("DQBUF gave buffer %1, never queued").arg(buffer->index));
        return -EIO;
    }
    buffer->m.userptr = static_cast<unsigned long>(shadow->clientAddress);
    const size_t used = std::min<size_t>(buffer->bytesused, size_t(shadow->shadow.size()));
    if (used == 0)
        return rc;
    GError *error = nullptr;
    UMockdevIoctlData *client = umockdev_ioctl_data_resolve(data, offsetof(v4l2_buffer, m.userptr), used, &error);
    if (error) {
        g_error_free(error);
        return -EFAULT;
    }
    std::memcpy(client->data, shadow->shadow.constData(), used);
    return rc;
}

} // namespace emulated
