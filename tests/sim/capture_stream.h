#pragma once
// The calls an application makes to stream from a capture node, straight
// through the kernel interface, with buffers of its own (USERPTR).

#include "platform/kernel.h"

#include <QByteArray>
#include <QVector>

#include <linux/videodev2.h>

namespace simtest {

struct CaptureStream {
    lumora::platform::Kernel &kernel;
    int fd = -1;
    QVector<QByteArray> buffers;

    int setFormat(quint32 pixelFormat, quint32 width, quint32 height, v4l2_format *answer = nullptr)
    {
        v4l2_format format{};
        format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        format.fmt.pix.pixelformat = pixelFormat;
        format.fmt.pix.width = width;
        format.fmt.pix.height = height;
        const int rc = kernel.ioctl(fd, VIDIOC_S_FMT, &format);
        if (answer)
            *answer = format;
        return rc;
    }
    int request(quint32 count, quint32 memory = V4L2_MEMORY_USERPTR)
    {
        v4l2_requestbuffers request{};
        request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        request.memory = memory;
        request.count = count;
        const int rc = kernel.ioctl(fd, VIDIOC_REQBUFS, &request);
        if (rc == 0 && memory == V4L2_MEMORY_USERPTR)
            buffers.resize(int(request.count));
        return rc;
    }
    // Queues buffer `index`, `length` bytes long (the whole buffer when 0).
    int queue(int index, quint32 length = 0, bool noMemory = false)
    {
        QByteArray &memory = buffers[index];
        if (memory.isEmpty())
            memory.resize(1920 * 1080 * 2);
        v4l2_buffer buffer{};
        buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buffer.memory = V4L2_MEMORY_USERPTR;
        buffer.index = quint32(index);
        buffer.m.userptr = noMemory ? 0 : reinterpret_cast<unsigned long>(memory.data());
        buffer.length = length ? length : quint32(memory.size());
        return kernel.ioctl(fd, VIDIOC_QBUF, &buffer);
    }
    int dequeue(v4l2_buffer *buffer)
    {
        *buffer = {};
        buffer->type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buffer->memory = V4L2_MEMORY_USERPTR;
        return kernel.ioctl(fd, VIDIOC_DQBUF, buffer);
    }
    int stream(bool on)
    {
        int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        return kernel.ioctl(fd, on ? VIDIOC_STREAMON : VIDIOC_STREAMOFF, &type);
    }
    // The frame a dequeued buffer holds.
    QByteArray frame(const v4l2_buffer &buffer) const
    {
        return buffers[int(buffer.index)].left(int(buffer.bytesused));
    }
};

} // namespace simtest
