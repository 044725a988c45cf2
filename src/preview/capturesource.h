#pragma once
// The capture and demux layer of the preview (FFmpeg), behind an interface so
// that its libraries live in a module that is opened only when a preview
// starts, not while the window is being built.

#include <QByteArray>
#include <QImage>
#include <QPair>
#include <QSize>
#include <QString>
#include <QVector>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

namespace lumora::preview {

class CaptureSource {
public:
    using Options = QVector<QPair<QByteArray, QByteArray>>;
    virtual ~CaptureSource() = default;

    // Opens `url` with the named input format (empty: probed) and demuxer
    // options, non-blocking; finds its video stream and a decoder for it.
    // 0, or a negative error (-errno where there is one); `failure` then
    // names the step that failed. `interrupted(opaque)` returning non-zero
    // ends a blocking step.
    virtual int open(const char *url, const char *format, const Options &options, int (*interrupted)(void *),
                     void *opaque, const char **failure) = 0;
    // Whether the stream's packets are whole JPEG pictures.
    virtual bool isJpeg() const = 0;
    // The next packet: 1 for a packet of the video stream (its data stays
    // valid until the next call), 0 for another stream's, or a negative
    // error (-EAGAIN: nothing there yet).
    virtual int read(const std::uint8_t **data, std::size_t *size) = 0;
    // Decodes the last video packet read; `onFrame` is called for each frame
    // it yields, with the frame's size, and may call convert() meanwhile.
    // False on a decoding error.
    virtual bool decode(const std::function<void(QSize)> &onFrame) = 0;
    // The frame being handed to onFrame, scaled into `image` (BGRA, any size).
    virtual bool convert(QImage &image) = 0;
    virtual QString errorText(int error) const = 0;
};

// A new source from the capture module, opened on first use (on the calling
// thread; later calls reuse it). Null when the module cannot be loaded; then
// `why` says why.
std::unique_ptr<CaptureSource> newCaptureSource(QString *why);

} // namespace lumora::preview
