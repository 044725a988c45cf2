#pragma once
// Turns one MJPEG frame into the picture the preview shows: decoded by
// libjpeg-turbo at the smallest reduced size (1/8, 1/4, 1/2 or full) that
// still covers the shown size, then scaled once to that size by area
// averaging. Decoding at a reduced scale skips most of the
// inverse DCT work, which is where a 1080p frame's decoding time goes.

#include "preview/boxscaler.h"

#include <QImage>
#include <QSize>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

class PreviewDecoder {
public:
    PreviewDecoder();
    ~PreviewDecoder();
    PreviewDecoder(const PreviewDecoder &) = delete;
    PreviewDecoder &operator=(const PreviewDecoder &) = delete;

    // The size a picture of `source` gets when shown in `area`: the largest
    // that fits with the source's aspect ratio, its width rounded down to a
    // multiple of 8 (whole groups for the scaler's vector loop). The source size itself when `area` is empty or not smaller.
    static QSize shownSize(QSize source, QSize area);

    // Decodes a JPEG picture to `shownSize(picture size, area)` in
    // Format_RGB32. A null image when the data is no decodable JPEG; then
    // errorText() says why.
    QImage decode(const std::uint8_t *jpeg, std::size_t size, QSize area);
    // The scale of the last decode, in eighths (8 is full size).
    int lastScaleEighths() const { return m_lastEighths; }
    QString errorText() const;

private:
    struct Jpeg;
    std::unique_ptr<Jpeg> m_jpeg;
    BoxScaler m_scaler;
    std::vector<std::uint8_t> m_ring; // decoded rows on their way to the scaler
    std::vector<const std::uint8_t *> m_ringRows;
    int m_lastEighths = 8;
};
