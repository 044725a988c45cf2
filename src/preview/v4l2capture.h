#pragma once
// A camera's V4L2 capture node, streamed through the kernel seam: the format
// is negotiated, buffers of our own memory (USERPTR) are queued, and each
// dequeued buffer holds one whole frame. The node is opened non-blocking, so
// a camera that stops sending never holds the reader: wait() returns on a
// timeout and the caller can look at its stop flag.

#include <QSize>
#include <QString>
#include <QVector>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

class V4l2Capture {
public:
    struct Format {
        quint32 pixelFormat = 0; // V4L2_PIX_FMT_*
        QSize size;
        quint32 bytesPerLine = 0;
        quint32 sizeImage = 0;
    };
    struct Frame {
        int index = -1;
        const std::uint8_t *data = nullptr;
        std::size_t size = 0;
        quint32 sequence = 0;
        // The driver flagged it V4L2_BUF_FLAG_ERROR or it holds no bytes (a
        // frame lost on the wire, or a buffer given back on unplug): not a
        // picture, only to be requeued.
        bool damaged = false;
    };

    // Zero bytes after each frame's data: decoders may read that far past a
    // packet (FFmpeg's AV_INPUT_BUFFER_PADDING_SIZE), and must find zeros.
    static constexpr std::size_t kTailPadding = 64;

    V4l2Capture() = default;
    ~V4l2Capture();
    V4l2Capture(const V4l2Capture &) = delete;
    V4l2Capture &operator=(const V4l2Capture &) = delete;

    // Each step answers 0 or -errno; `failedStep()` then names the step.
    int open(const QString &node);
    // The first of `pixelFormats` the camera offers, at the size nearest
    // `size`, at `frameRate` or the nearest the camera has. The format is
    // read back after the rate is set: a new rate may change the camera's
    // frame size bound, which the buffers must hold.
    int setFormat(const QVector<quint32> &pixelFormats, QSize size, int frameRate);
    int start(int bufferCount = 4);
    // >0 when a frame can be dequeued (or the node reports an error), 0
    // after `timeoutMs` without one, or -errno.
    int wait(int timeoutMs);
    // The next whole frame, or -EAGAIN when none is ready. Its data stays
    // valid until it is requeued, and kTailPadding zero bytes follow it.
    int dequeue(Frame *frame);
    int requeue(const Frame &frame);
    // Stops streaming, gives the buffers back and closes the node; a step
    // the driver refuses is logged, and the buffers are freed only once the
    // node is closed.
    void close();

    const Format &format() const { return m_format; }
    const char *failedStep() const { return m_failedStep; }

private:
    int fail(const char *step, int rc);

    int m_fd = -1;
    bool m_streaming = false;
    Format m_format;
    struct Free {
        void operator()(std::uint8_t *p) const { std::free(p); }
    };
    std::vector<std::unique_ptr<std::uint8_t[], Free>> m_buffers;
    std::size_t m_bufferLength = 0;
    const char *m_failedStep = "";
};
