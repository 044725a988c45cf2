// The decoder module: FFmpeg decodes the picture formats a camera may send
// other than MJPEG. Loaded by the preview when it needs it (decodermodule.cpp),
// so that FFmpeg's libraries are no part of the application's start.

#include "preview/framedecoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/error.h>
#include <libswscale/swscale.h>
}

#include <linux/videodev2.h>

#include <algorithm>

namespace {

// A V4L2 pixel format as FFmpeg knows it: raw pictures by their pixel
// layout, compressed ones by their codec.
struct Codec {
    AVCodecID id = AV_CODEC_ID_NONE;
    AVPixelFormat raw = AV_PIX_FMT_NONE;
};

Codec codecFor(quint32 pixelFormat)
{
    switch (pixelFormat) {
    case V4L2_PIX_FMT_YUYV: return {AV_CODEC_ID_RAWVIDEO, AV_PIX_FMT_YUYV422};
    case V4L2_PIX_FMT_UYVY: return {AV_CODEC_ID_RAWVIDEO, AV_PIX_FMT_UYVY422};
    case V4L2_PIX_FMT_NV12: return {AV_CODEC_ID_RAWVIDEO, AV_PIX_FMT_NV12};
    case V4L2_PIX_FMT_YUV420: return {AV_CODEC_ID_RAWVIDEO, AV_PIX_FMT_YUV420P};
    case V4L2_PIX_FMT_H264: return {AV_CODEC_ID_H264, AV_PIX_FMT_NONE};
    default: return {};
    }
}

// The full-range JPEG formats are deprecated in the scaler: it wants the plain
// format plus a range flag.
AVPixelFormat plainFormat(int format, bool *fullRange)
{
    *fullRange = true;
    switch (format) {
    case AV_PIX_FMT_YUVJ420P: return AV_PIX_FMT_YUV420P;
    case AV_PIX_FMT_YUVJ422P: return AV_PIX_FMT_YUV422P;
    case AV_PIX_FMT_YUVJ444P: return AV_PIX_FMT_YUV444P;
    case AV_PIX_FMT_YUVJ440P: return AV_PIX_FMT_YUV440P;
    default: *fullRange = false; return static_cast<AVPixelFormat>(format);
    }
}

class FfmpegDecoder final : public lumora::preview::FrameDecoder {
public:
    ~FfmpegDecoder() override
    {
        sws_freeContext(m_scaler);
        av_packet_free(&m_packet);
        av_frame_free(&m_frame);
        avcodec_free_context(&m_codec);
    }

    int open(quint32 pixelFormat, QSize size, const char **failure) override
    {
        const Codec codec = codecFor(pixelFormat);
        const AVCodec *decoder = codec.id == AV_CODEC_ID_NONE ? nullptr : avcodec_find_decoder(codec.id);
        if (!decoder) {
            *failure = "Codec not found.\n";
            return AVERROR_DECODER_NOT_FOUND;
        }
        m_codec = avcodec_alloc_context3(decoder);
        if (m_codec) {
            m_codec->width = size.width();
            m_codec->height = size.height();
            m_codec->pix_fmt = codec.raw;
        }
        if (!m_codec || avcodec_open2(m_codec, decoder, nullptr) < 0) {
            *failure = "Could not open codec.\n";
            return AVERROR(EINVAL);
        }
        m_frame = av_frame_alloc();
        m_packet = av_packet_alloc();
        if (!m_frame || !m_packet) {
            *failure = "Could not allocate frame.\n";
            return AVERROR(ENOMEM);
        }
        return 0;
    }

    bool decode(const std::uint8_t *data, std::size_t size, const std::function<void(QSize)> &onFrame) override
    {
        // The packet borrows the camera's buffer: it is decoded before the buffer goes back.
        av_packet_unref(m_packet);
        m_packet->data = const_cast<std::uint8_t *>(data);
        m_packet->size = int(std::min<std::size_t>(size, std::size_t(INT32_MAX)));
        int decoded = avcodec_send_packet(m_codec, m_packet);
        while (decoded >= 0) {
            decoded = avcodec_receive_frame(m_codec, m_frame);
            if (decoded < 0)
                break;
            onFrame(QSize(m_frame->width, m_frame->height));
            av_frame_unref(m_frame);
        }
        m_packet->data = nullptr;
        m_packet->size = 0;
        return decoded >= 0 || decoded == AVERROR(EAGAIN) || decoded == AVERROR_EOF;
    }

    bool convert(QImage &image) override
    {
        if (image.isNull() || !prepareScaler(image.size()))
            return false;
        uint8_t *const planes[4] = {image.bits(), nullptr, nullptr, nullptr};
        const int strides[4] = {int(image.bytesPerLine()), 0, 0, 0};
        sws_scale(m_scaler, m_frame->data, m_frame->linesize, 0, m_frame->height, planes, strides);
        return true;
    }

    QString errorText(int error) const override
    {
        char text[AV_ERROR_MAX_STRING_SIZE] = {};
        av_strerror(error, text, sizeof text);
        return QString::fromUtf8(text);
    }

private:
    // A scaler for the current frame's size and format to BGRA at `to`.
    bool prepareScaler(QSize to)
    {
        const QSize from(m_frame->width, m_frame->height);
        if (m_scaler && from == m_scalerFrom && to == m_scalerTo && m_frame->format == m_scaledFormat)
            return true;
        sws_freeContext(m_scaler);
        bool fullRange = false;
        const AVPixelFormat source = plainFormat(m_frame->format, &fullRange);
        m_scaler = sws_getContext(from.width(), from.height(), source, to.width(), to.height(), AV_PIX_FMT_BGRA,
                                  SWS_BICUBIC, nullptr, nullptr, nullptr);
        if (!m_scaler)
            return false;
        if (fullRange) {
            const int *coefficients = sws_getCoefficients(SWS_CS_DEFAULT);
            sws_setColorspaceDetails(m_scaler, coefficients, 1, coefficients, 1, 0, 1 << 16, 1 << 16);
        }
        m_scalerFrom = from;
        m_scalerTo = to;
        m_scaledFormat = m_frame->format;
        return true;
    }

    AVCodecContext *m_codec = nullptr;
    AVFrame *m_frame = nullptr;
    AVPacket *m_packet = nullptr;
    SwsContext *m_scaler = nullptr;
    QSize m_scalerFrom, m_scalerTo;
    int m_scaledFormat = AV_PIX_FMT_NONE;
};

} // namespace

extern "C" Q_DECL_EXPORT lumora::preview::FrameDecoder *lumora_new_frame_decoder()
{
    return new FfmpegDecoder;
}
