#include "preview/v4l2capture.h"

#include "platform/kernel.h"

#include <QDebug>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <unistd.h>

namespace {

lumora::platform::Kernel &kernel()
{
    return lumora::platform::kernel();
}

} // namespace

V4l2Capture::~V4l2Capture()
{
    close();
}

int V4l2Capture::fail(const char *step, int rc)
{
    m_failedStep = step;
    return rc;
}

int V4l2Capture::open(const QString &node)
{
    close();
    const int fd = kernel().open(node, O_RDWR | O_NONBLOCK);
    if (fd < 0)
        return fail("open", fd);
    m_fd = fd;
    return 0;
}

int V4l2Capture::setFormat(const QVector<quint32> &pixelFormats, QSize size, int frameRate)
{
    QVector<quint32> offered;
    for (quint32 index = 0;; ++index) {
        v4l2_fmtdesc description{};
        description.index = index;
        description.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        const int rc = kernel().ioctl(m_fd, VIDIOC_ENUM_FMT, &description);
        if (rc == -EINVAL)
            break;
        if (rc < 0)
            return fail("VIDIOC_ENUM_FMT", rc);
        offered.append(description.pixelformat);
    }
    quint32 chosen = 0;
    for (const quint32 wanted : pixelFormats) {
        if (offered.contains(wanted)) {
            chosen = wanted;
            break;
        }
    }
    if (!chosen)
        return fail("a picture format the preview can show", -EINVAL);

    v4l2_format format{};
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    format.fmt.pix.pixelformat = chosen;
    format.fmt.pix.width = quint32(size.width());
    format.fmt.pix.height = quint32(size.height());
    format.fmt.pix.field = V4L2_FIELD_ANY;
    if (const int rc = kernel().ioctl(m_fd, VIDIOC_S_FMT, &format))
        return fail("VIDIOC_S_FMT", rc);
    // The driver answers the nearest it has; a different format is no picture we can read.
    if (format.fmt.pix.pixelformat != chosen || format.fmt.pix.sizeimage == 0)
        return fail("VIDIOC_S_FMT", -EINVAL);
    // The frame rate is a wish: a camera without it keeps its own.
    if (frameRate > 0) {
        v4l2_streamparm parameters{};
        parameters.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        parameters.parm.capture.timeperframe = {1, quint32(frameRate)};
        kernel().ioctl(m_fd, VIDIOC_S_PARM, &parameters);
    }
    // uvcvideo probes the camera again for a new rate, and its answer may
    // raise sizeimage: buffers sized from S_FMT's answer would be refused.
    format = {};
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (const int rc = kernel().ioctl(m_fd, VIDIOC_G_FMT, &format))
        return fail("VIDIOC_G_FMT", rc);
    if (format.fmt.pix.pixelformat != chosen || format.fmt.pix.sizeimage == 0)
        return fail("VIDIOC_G_FMT", -EINVAL);
    m_format = {format.fmt.pix.pixelformat, QSize(int(format.fmt.pix.width), int(format.fmt.pix.height)),
                format.fmt.pix.bytesperline, format.fmt.pix.sizeimage};
    return 0;
}

int V4l2Capture::start(int bufferCount)
{
    v4l2_requestbuffers request{};
    request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    request.memory = V4L2_MEMORY_USERPTR;
    request.count = quint32(bufferCount);
    if (const int rc = kernel().ioctl(m_fd, VIDIOC_REQBUFS, &request))
        return fail("VIDIOC_REQBUFS", rc);
    if (request.count == 0)
        return fail("VIDIOC_REQBUFS", -ENOMEM);

    const std::size_t page = std::size_t(sysconf(_SC_PAGESIZE));
    m_bufferLength = (std::size_t(m_format.sizeImage) + kTailPadding + page - 1) / page * page;
    for (quint32 index = 0; index < request.count; ++index) {
        auto *memory = static_cast<std::uint8_t *>(std::aligned_alloc(page, m_bufferLength));
        if (!memory)
            return fail("buffer allocation", -ENOMEM);
        m_buffers.emplace_back(memory);
        if (const int rc = requeue({int(index), memory, 0, 0}))
            return fail("VIDIOC_QBUF", rc);
    }
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (const int rc = kernel().ioctl(m_fd, VIDIOC_STREAMON, &type))
        return fail("VIDIOC_STREAMON", rc);
    m_streaming = true;
    return 0;
}

int V4l2Capture::wait(int timeoutMs)
{
    return kernel().poll(m_fd, POLLIN, timeoutMs);
}

int V4l2Capture::dequeue(Frame *frame)
{
    v4l2_buffer buffer{};
    buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buffer.memory = V4L2_MEMORY_USERPTR;
    if (const int rc = kernel().ioctl(m_fd, VIDIOC_DQBUF, &buffer))
        return rc == -EAGAIN ? rc : fail("VIDIOC_DQBUF", rc);
    if (buffer.index >= m_buffers.size())
        return fail("VIDIOC_DQBUF", -EIO);
    std::uint8_t *data = m_buffers[buffer.index].get();
    const std::size_t size = std::min<std::size_t>(buffer.bytesused, m_bufferLength - kTailPadding);
    std::memset(data + size, 0, kTailPadding);
    *frame = {int(buffer.index), data, size, buffer.sequence, (buffer.flags & V4L2_BUF_FLAG_ERROR) || buffer.bytesused == 0};
    return 0;
}

int V4l2Capture::requeue(const Frame &frame)
{
    v4l2_buffer buffer{};
    buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buffer.memory = V4L2_MEMORY_USERPTR;
    buffer.index = quint32(frame.index);
    buffer.m.userptr = reinterpret_cast<unsigned long>(m_buffers[std::size_t(frame.index)].get());
    buffer.length = quint32(m_bufferLength);
    return kernel().ioctl(m_fd, VIDIOC_QBUF, &buffer);
}

void V4l2Capture::close()
{
    if (m_fd < 0)
        return;
    // The buffers are ours: the driver lets go of them before they are freed.
    // A refused step is logged; closing the node releases the queue anyway.
    const auto step = [this](const char *name, int rc) {
        if (rc < 0)
            qWarning().noquote() << "capture stop:" << name << "failed:" << qt_error_string(-rc);
    };
    if (m_streaming) {
        int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        step("VIDIOC_STREAMOFF", kernel().ioctl(m_fd, VIDIOC_STREAMOFF, &type));
        m_streaming = false;
    }
    if (!m_buffers.empty()) {
        v4l2_requestbuffers release{};
        release.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        release.memory = V4L2_MEMORY_USERPTR;
        step("VIDIOC_REQBUFS 0", kernel().ioctl(m_fd, VIDIOC_REQBUFS, &release));
    }
    step("close", kernel().close(m_fd));
    m_fd = -1;
    m_buffers.clear();
    m_bufferLength = 0;
}
