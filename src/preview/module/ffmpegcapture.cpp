// The capture module: FFmpeg opens the camera's input, demuxes it and decodes
// what is not MJPEG. Loaded by the preview when it starts (capturemodule.cpp),
// so that FFmpeg's libraries are no part of the application's start.

#include "preview/capturesource.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavdevice/avdevice.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <mutex>

namespace {

void registerFfmpeg()
{
    static std::once_flag once;
    std::call_once(once, [] {
        avformat_network_init();
        avdevice_register_all();
    });
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

class FfmpegCapture final : public lumora::preview::CaptureSource {
public:
    ~FfmpegCapture() override
    {
        sws_freeContext(m_scaler);
        av_packet_free(&m_packet);
        av_frame_free(&m_frame);
        avcodec_free_context(&m_codec);
        avformat_close_input(&m_format);
    }

    int open(const char *url, const char *format, const Options &demuxerOptions, int (*interrupted)(void *),
             void *opaque, const char **failure) override
    {
        registerFfmpeg();
        AVDictionary *options = nullptr;
        for (const auto &option : demuxerOptions)
            av_dict_set(&options, option.first.constData(), option.second.constData(), 0);
        const AVInputFormat *inputFormat = format && *format ? av_find_input_format(format) : nullptr;
        m_format = avformat_alloc_context();
        if (m_format) {
            m_format->interrupt_callback = {interrupted, opaque};
            // The v4l2 input never consults the interrupt callback: opened
            // blocking, VIDIOC_DQBUF waits for ever on a camera that stops
            // sending. Non-blocking it answers EAGAIN and the reader sees the stop.
            m_format->flags |= AVFMT_FLAG_NONBLOCK;
        }
        // On failure FFmpeg frees the context itself.
        const int opened = m_format ? avformat_open_input(&m_format, url, inputFormat, &options) : AVERROR(ENOMEM);
        av_dict_free(&options);
        if (opened < 0) {
            *failure = "Couldn't open input stream.\n";
            return opened;
        }
        const int found = avformat_find_stream_info(m_format, nullptr);
        if (found < 0) {
            *failure = "Couldn't find stream information.\n";
            return found;
        }
        for (unsigned i = 0; i < m_format->nb_streams && m_videoIndex < 0; ++i) {
            if (m_format->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO)
                m_videoIndex = int(i);
        }
        if (m_videoIndex < 0) {
            *failure = "Couldn't find a video stream.\n";
            return AVERROR_STREAM_NOT_FOUND;
        }
        const AVCodecParameters *parameters = m_format->streams[m_videoIndex]->codecpar;
        const AVCodec *decoder = avcodec_find_decoder(parameters->codec_id);
        if (!decoder) {
            *failure = "Codec not found.\n";
            return AVERROR_DECODER_NOT_FOUND;
        }
        m_codec = avcodec_alloc_context3(decoder);
        if (!m_codec || avcodec_parameters_to_context(m_codec, parameters) < 0
            || avcodec_open2(m_codec, decoder, nullptr) < 0) {
            *failure = "Could not open codec.\n";
            return AVERROR(EINVAL);
        }
        m_isJpeg = parameters->codec_id == AV_CODEC_ID_MJPEG;
        m_frame = av_frame_alloc();
        m_packet = av_packet_alloc();
        if (!m_frame || !m_packet) {
            *failure = "Could not allocate frame.\n";
            return AVERROR(ENOMEM);
        }
        return 0;
    }

    bool isJpeg() const override { return m_isJpeg; }

    int read(const std::uint8_t **data, std::size_t *size) override
    {
        av_packet_unref(m_packet);
        const int read = av_read_frame(m_format, m_packet);
        if (read < 0)
            return read;
        *data = m_packet->data;
        *size = std::size_t(std::max(0, m_packet->size));
        return m_packet->stream_index == m_videoIndex ? 1 : 0;
    }

    bool decode(const std::function<void(QSize)> &onFrame) override
    {
        int decoded = avcodec_send_packet(m_codec, m_packet);
        while (decoded >= 0) {
            decoded = avcodec_receive_frame(m_codec, m_frame);
            if (decoded < 0)
                break;
            onFrame(QSize(m_frame->width, m_frame->height));
            av_frame_unref(m_frame);
        }
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

    AVFormatContext *m_format = nullptr;
    AVCodecContext *m_codec = nullptr;
    AVFrame *m_frame = nullptr;
    AVPacket *m_packet = nullptr;
    SwsContext *m_scaler = nullptr;
    int m_videoIndex = -1;
    QSize m_scalerFrom, m_scalerTo;
    int m_scaledFormat = AV_PIX_FMT_NONE;
    bool m_isJpeg = false;
};

} // namespace

extern "C" Q_DECL_EXPORT lumora::preview::CaptureSource *lumora_new_capture_source()
{
    return new FfmpegCapture;
}
