#pragma once
// FFmpeg's decoders, for the picture formats a camera may send other than
// MJPEG (which PreviewDecoder handles), behind an interface: their libraries
// live in a module that is opened only when such a preview starts, never
// while the window is being built.

#include <QImage>
#include <QSize>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

namespace lumora::preview {

class FrameDecoder {
public:
    virtual ~FrameDecoder() = default;

    // A decoder for frames in the V4L2 pixel format `pixelFormat` at `size`.
    // 0, or a negative error; `failure` then names the step that failed.
    virtual int open(quint32 pixelFormat, QSize size, const char **failure) = 0;
    // Decodes one frame as the camera sent it; `onFrame` is called for each
    // picture it yields, with the picture's size, and may call convert()
    // meanwhile. False on a decoding error.
    virtual bool decode(const std::uint8_t *data, std::size_t size, const std::function<void(QSize)> &onFrame) = 0;
    // The picture being handed to onFrame, scaled into `image` (BGRA, any size).
    virtual bool convert(QImage &image) = 0;
    virtual QString errorText(int error) const = 0;
};

// A new decoder from the module, loaded on first use (on the calling thread;
// later calls reuse it). Null when the module cannot be loaded; then `why`
// says why.
std::unique_ptr<FrameDecoder> newFrameDecoder(QString *why);

} // namespace lumora::preview
