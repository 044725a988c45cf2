#include "preview/previewdecoder.h"

#include <QString>

#include <algorithm>
#include <csetjmp>
#include <cstdio>

#include <jpeglib.h>

extern "C" {
#include <libswscale/swscale.h>
}

namespace {

constexpr int kEighths = 8;

// The smallest number of eighths at which `source` still covers `target`
// (libjpeg rounds scaled dimensions up).
int coveringEighths(QSize source, QSize target)
{
    for (int m = 1; m < kEighths; ++m) {
        const int width = (source.width() * m + kEighths - 1) / kEighths;
        const int height = (source.height() * m + kEighths - 1) / kEighths;
        if (width >= target.width() && height >= target.height())
            return m;
    }
    return kEighths;
}

} // namespace

struct PreviewDecoder::Jpeg {
    struct Error {
        jpeg_error_mgr manager;
        std::jmp_buf jump;
        char text[JMSG_LENGTH_MAX];
    };

    jpeg_decompress_struct info{};
    Error error{};

    Jpeg()
    {
        info.err = jpeg_std_error(&error.manager);
        error.manager.error_exit = [](j_common_ptr common) {
            auto *e = reinterpret_cast<Error *>(common->err);
            (*common->err->format_message)(common, e->text);
            std::longjmp(e->jump, 1);
        };
        // Damaged data in a frame is worth a picture, not a log line per frame.
        error.manager.output_message = [](j_common_ptr) {};
        jpeg_create_decompress(&info);
    }
    ~Jpeg() { jpeg_destroy_decompress(&info); }

    // Only plain C data lives between setjmp and the calls that may jump.
    bool readHeader(const std::uint8_t *data, std::size_t size)
    {
        error.text[0] = '\0';
        // Back to the start state, whatever the previous frame left.
        jpeg_abort_decompress(&info);
        if (setjmp(error.jump)) {
            jpeg_abort_decompress(&info);
            return false;
        }
        jpeg_mem_src(&info, data, static_cast<unsigned long>(size));
        jpeg_read_header(&info, TRUE);
        return true;
    }

    // Decodes at `eighths`/8 into rows of `stride` bytes, at most maxWidth by
    // maxHeight pixels.
    bool decodeInto(int eighths, std::uint8_t *pixels, int stride, int maxWidth, int maxHeight)
    {
        if (setjmp(error.jump)) {
            jpeg_abort_decompress(&info);
            return false;
        }
        info.scale_num = static_cast<unsigned>(eighths);
        info.scale_denom = kEighths;
        info.out_color_space = JCS_EXT_BGRA;
        info.dct_method = JDCT_ISLOW;
        jpeg_start_decompress(&info);
        if (int(info.output_width) > maxWidth || int(info.output_height) > maxHeight) {
            std::snprintf(error.text, sizeof error.text, "unexpected scaled size");
            jpeg_abort_decompress(&info);
            return false;
        }
        while (info.output_scanline < info.output_height) {
            JSAMPROW row = pixels + std::ptrdiff_t(info.output_scanline) * stride;
            jpeg_read_scanlines(&info, &row, 1);
        }
        jpeg_finish_decompress(&info);
        return true;
    }
};

// One bilinear BGRA-to-BGRA scaler, kept while sizes stay the same.
struct PreviewDecoder::Scaler {
    SwsContext *context = nullptr;
    QSize from, to;

    ~Scaler() { sws_freeContext(context); }

    bool scale(const QImage &source, QImage &target)
    {
        if (!context || from != source.size() || to != target.size()) {
            sws_freeContext(context);
            // Full chroma on input and output: the picture stays RGB throughout.
            context = sws_getContext(source.width(), source.height(), AV_PIX_FMT_BGRA, target.width(),
                                     target.height(), AV_PIX_FMT_BGRA,
                                     SWS_BILINEAR | SWS_FULL_CHR_H_INP | SWS_FULL_CHR_H_INT, nullptr, nullptr,
                                     nullptr);
            from = source.size();
            to = target.size();
        }
        if (!context)
            return false;
        const uint8_t *const in[4] = {source.constBits(), nullptr, nullptr, nullptr};
        const int inStrides[4] = {int(source.bytesPerLine()), 0, 0, 0};
        uint8_t *const out[4] = {target.bits(), nullptr, nullptr, nullptr};
        const int outStrides[4] = {int(target.bytesPerLine()), 0, 0, 0};
        sws_scale(context, in, inStrides, 0, source.height(), out, outStrides);
        return true;
    }
};

PreviewDecoder::PreviewDecoder() : m_jpeg(std::make_unique<Jpeg>()), m_scaler(std::make_unique<Scaler>()) {}

PreviewDecoder::~PreviewDecoder() = default;

QSize PreviewDecoder::shownSize(QSize source, QSize area)
{
    if (source.isEmpty() || area.isEmpty() || (area.width() >= source.width() && area.height() >= source.height()))
        return source;
    QSize fit = source.scaled(area, Qt::KeepAspectRatio);
    const int width = std::max(8, fit.width() / 8 * 8);
    const int height = std::max(1, int((qint64(width) * source.height() + source.width() / 2) / source.width()));
    return {width, std::min(height, std::max(1, fit.height()))};
}

QString PreviewDecoder::errorText() const
{
    return QString::fromLocal8Bit(m_jpeg->error.text);
}

QImage PreviewDecoder::decode(const std::uint8_t *jpeg, std::size_t size, QSize area)
{
    if (!jpeg || size == 0 || !m_jpeg->readHeader(jpeg, size))
        return {};
    const QSize source(int(m_jpeg->info.image_width), int(m_jpeg->info.image_height));
    const QSize shown = shownSize(source, area);
    const int eighths = coveringEighths(source, shown);
    m_lastEighths = eighths;
    const QSize decoded((source.width() * eighths + kEighths - 1) / kEighths,
                        (source.height() * eighths + kEighths - 1) / kEighths);

    QImage picture(shown, QImage::Format_RGB32);
    if (picture.isNull())
        return {};
    // Straight into the picture that is sent when no scaling follows.
    const bool direct = decoded == shown;
    if (!direct && m_decoded.size() != decoded)
        m_decoded = QImage(decoded, QImage::Format_RGB32);
    QImage &target = direct ? picture : m_decoded;
    if (target.isNull() || !m_jpeg->decodeInto(eighths, target.bits(), int(target.bytesPerLine()), target.width(), target.height()))
        return {};
    if (!direct && !m_scaler->scale(m_decoded, picture))
        return {};
    return picture;
}
