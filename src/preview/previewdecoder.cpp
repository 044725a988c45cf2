#include "preview/previewdecoder.h"

#include <QString>

#include <algorithm>
#include <csetjmp>
#include <cstdint>
#include <cstdio>

#include <jpeglib.h>


namespace {

constexpr int kEighths = 8;
// Scanlines asked of the decoder a call.
constexpr int kStrip = 16;

// The smallest number of eighths at which `source` still covers `target`
// (libjpeg rounds scaled dimensions up). Only 1, 2 and 4 eighths are offered:
// libjpeg-turbo has vector code for those reduced sizes, and the other
// fractions measured slower than decoding at full size.
int coveringEighths(QSize source, QSize target)
{
    for (int m : {1, 2, 4}) {
        const int width = (source.width() * m + kEighths - 1) / kEighths;
        const int height = (source.height() * m + kEighths - 1) / kEighths;
        if (width >= target.width() && height >= target.height())
            return m;
    }
    return kEighths;
}

// libjpeg-turbo's vector colour conversion writes a row that starts on a
// 16- or 32-byte boundary with non-temporal stores, which leave it out of
// the cache. The scaler reads each row straight after: from memory, that
// made the whole decode half as slow again. So ring rows start a few bytes
// past such a boundary, where the library stores them normally.
constexpr std::uintptr_t kRowAlignment = 64;
constexpr std::uintptr_t kRowSkew = 8;

std::uint8_t *skewed(std::uint8_t *buffer)
{
    const std::uintptr_t address = reinterpret_cast<std::uintptr_t>(buffer);
    return buffer + ((kRowAlignment - address % kRowAlignment) % kRowAlignment + kRowSkew);
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

    // Decodes at `eighths`/8, which must give width by height pixels, each
    // scanline s into rowAt(s); after each call into the library, rowsDone
    // is told how many scanlines are complete.
    template <class RowAt, class RowsDone>
    bool decodeRows(int eighths, int width, int height, RowAt rowAt, RowsDone rowsDone)
    {
        if (setjmp(error.jump)) {
            jpeg_abort_decompress(&info);
            return false;
        }
        info.scale_num = static_cast<unsigned>(eighths);
        info.scale_denom = kEighths;
        info.out_color_space = JCS_EXT_BGRA;
        // The fast integer IDCT for reduced sizes, where it only runs on the
        // chroma blocks (the library keeps chroma at luma's size): 5 % of the
        // decode for a difference nobody sees in a preview. A snapshot's
        // full-size decode keeps the accurate one.
        info.dct_method = eighths == kEighths ? JDCT_ISLOW : JDCT_IFAST;
        // Plain (merged) chroma upsampling: a preview cannot tell the
        // difference, the decoding time can.
        info.do_fancy_upsampling = FALSE;
        jpeg_start_decompress(&info);
        if (int(info.output_width) != width || int(info.output_height) != height) {
            std::snprintf(error.text, sizeof error.text, "unexpected scaled size");
            jpeg_abort_decompress(&info);
            return false;
        }
        // Several rows a call: one call per row costs measurably more.
        JSAMPROW rows[kStrip];
        while (info.output_scanline < info.output_height) {
            const int count = std::min<int>(kStrip, int(info.output_height - info.output_scanline));
            for (int i = 0; i < count; ++i)
                rows[i] = rowAt(int(info.output_scanline) + i);
            jpeg_read_scanlines(&info, rows, JDIMENSION(count));
            rowsDone(int(info.output_scanline));
        }
        jpeg_finish_decompress(&info);
        return true;
    }

    bool decodeInto(int eighths, std::uint8_t *pixels, int stride, int width, int height)
    {
        return decodeRows(
            eighths, width, height, [=](int s) { return pixels + std::ptrdiff_t(s) * stride; }, [](int) {});
    }
};

PreviewDecoder::PreviewDecoder() : m_jpeg(std::make_unique<Jpeg>()) {}

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

    // Straight into the picture that is sent when no scaling follows.
    const bool direct = decoded == shown;
    if (direct) {
        QImage picture(shown, QImage::Format_RGB32);
        if (picture.isNull() || !m_jpeg->decodeInto(eighths, picture.bits(), int(picture.bytesPerLine()), picture.width(), picture.height()))
            return {};
        return picture;
    }
    // Each strip of decoded rows is scaled while it is still in the cache,
    // from a ring that holds a strip and the rows before it that a target
    // row still needs. Area averaging is the same quality as Qt's smooth
    // scaling at a fraction of its cost; with that, the reduced decode and
    // a whole decoded picture scaled afterwards cost more than a full-size
    // decode.
    QImage picture(shown, QImage::Format_RGB32);
    if (picture.isNull() || !m_scaler.prepare(decoded, shown))
        return {};
    // Every row as far past a boundary as the first.
    const int stride = int((4 * std::uintptr_t(decoded.width()) + kRowAlignment - 1) / kRowAlignment * kRowAlignment);
    const int ringRows = kStrip + m_scaler.mostRows();
    m_ring.resize(std::size_t(ringRows) * std::size_t(stride) + kRowAlignment + kRowSkew);
    m_ringRows.resize(std::size_t(m_scaler.mostRows()));
    std::uint8_t *ring = skewed(m_ring.data());
    int next = 0;
    const auto rowAt = [=](int s) { return ring + std::ptrdiff_t(s % ringRows) * stride; };
    const auto rowsDone = [&](int complete) {
        for (; next < shown.height() && m_scaler.firstRow(next) + m_scaler.rowCount(next) <= complete; ++next) {
            for (int k = 0; k < m_scaler.rowCount(next); ++k)
                m_ringRows[std::size_t(k)] = rowAt(m_scaler.firstRow(next) + k);
            m_scaler.scaleRow(next, m_ringRows.data(), picture.scanLine(next));
        }
    };
    if (!m_jpeg->decodeRows(eighths, decoded.width(), decoded.height(), rowAt, rowsDone))
        return {};
    if (next < shown.height()) {
        std::snprintf(m_jpeg->error.text, sizeof m_jpeg->error.text, "unexpected scaled size");
        return {};
    }
    return picture;
}
