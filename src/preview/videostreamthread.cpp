#include "preview/videostreamthread.h"

#include "platform/kernel.h"
#include "preview/previewdecoder.h"

#include <QCoreApplication>
#include <QDebug>

#include <algorithm>
#include <chrono>
#include <mutex>

#include <fcntl.h>
#include <linux/videodev2.h>
#include <unistd.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavdevice/avdevice.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libswscale/swscale.h>
}

namespace {

// How long a read that found no data yet waits before it tries again.
constexpr std::chrono::milliseconds kRetryDelay{5};

void registerFfmpeg()
{
    static std::once_flag once;
    std::call_once(once, [] {
        avformat_network_init();
        avdevice_register_all();
    });
}

QString errorText(int error)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(error, text, sizeof text);
    return QString::fromUtf8(text);
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

} // namespace

// Everything one opened stream holds; released in any state.
struct VideoStreamThread::Stream {
    AVFormatContext *format = nullptr;
    AVCodecContext *codec = nullptr;
    AVFrame *frame = nullptr;
    AVPacket *packet = nullptr;
    SwsContext *scaler = nullptr;
    int videoIndex = -1;
    QSize scalerFrom, scalerTo;
    int scaledFormat = AV_PIX_FMT_NONE;
    // MJPEG frames are decoded here, at the shown size; FFmpeg's decoder
    // serves any other format a camera may send.
    bool isJpeg = false;
    PreviewDecoder jpeg;
    quint64 framesRead = 0;

    // A scaler for this frame's size and format to BGRA at `to`.
    bool prepareScaler(const AVFrame *picture, QSize to)
    {
        const QSize from(picture->width, picture->height);
        if (scaler && from == scalerFrom && to == scalerTo && picture->format == scaledFormat)
            return true;
        sws_freeContext(scaler);
        bool fullRange = false;
        const AVPixelFormat source = plainFormat(picture->format, &fullRange);
        scaler = sws_getContext(from.width(), from.height(), source, to.width(), to.height(), AV_PIX_FMT_BGRA,
                                SWS_BICUBIC, nullptr, nullptr, nullptr);
        if (!scaler)
            return false;
        if (fullRange) {
            const int *coefficients = sws_getCoefficients(SWS_CS_DEFAULT);
            sws_setColorspaceDetails(scaler, coefficients, 1, coefficients, 1, 0, 1 << 16, 1 << 16);
        }
        scalerFrom = from;
        scalerTo = to;
        scaledFormat = picture->format;
        return true;
    }

    ~Stream()
    {
        sws_freeContext(scaler);
        av_packet_free(&packet);
        av_frame_free(&frame);
        avcodec_free_context(&codec);
        avformat_close_input(&format);
    }
};

VideoStreamThread::VideoStreamThread(QString alias, QObject *parent)
    : QObject(parent), m_state(std::make_shared<RunState>()), m_CameraName(std::move(alias)), m_pictureInFlight(std::make_shared<std::atomic<bool>>(false))
{
    qDebug() << "VideoStreamThread::m_CameraName:" << m_CameraName;
    qRegisterMetaType<QVector<lumora::platform::NodeHolder>>();
}

VideoStreamThread::~VideoStreamThread() = default;

void VideoStreamThread::start()
{
    {
        std::lock_guard<std::mutex> lock(m_state->m_mutex);
        m_state->m_isRunning = !m_state->m_isStopped;
    }
    // Queued after the receivers' own deliveries: a picture counts as in
    // flight until the receiving thread has handled it.
    const auto inFlight = m_pictureInFlight;
    connect(this, &VideoStreamThread::onReader, QCoreApplication::instance(),
            [inFlight] { inFlight->store(false); }, Qt::QueuedConnection);
    Q_EMIT workStart();
    doWork();
}

bool VideoStreamThread::isRunning() const
{
    return m_state->m_isRunning.load();
}

void VideoStreamThread::setShownSize(QSize area)
{
    const quint64 width = quint64(std::max(0, area.width()));
    const quint64 height = quint64(std::max(0, area.height()));
    m_state->m_shownSize.store(width << 32 | (height & 0xffffffffu));
}

QSize VideoStreamThread::shownSize() const
{
    const quint64 packed = m_state->m_shownSize.load();
    return {int(packed >> 32), int(packed & 0xffffffffu)};
}

void VideoStreamThread::requestFullFrame()
{
    m_state->m_fullFrameRequested.store(true);
}

void VideoStreamThread::stop()
{
    const std::shared_ptr<RunState> state = m_state;
    std::lock_guard<std::mutex> lock(state->m_mutex);
    state->m_isStopped = true;
    state->m_isRunning = false;
    state->m_stopRequested.notify_all();
}

void VideoStreamThread::pause()
{
    RunState &state = *m_state;
    std::unique_lock<std::mutex> lock(state.m_mutex);
    state.m_stopRequested.wait_for(lock, kRetryDelay, [&state] { return !state.m_isRunning; });
}

int VideoStreamThread::interrupted(void *running)
{
    return static_cast<const std::atomic<bool> *>(running)->load() ? 0 : 1;
}

void VideoStreamThread::doWork()
{
    Outcome outcome = Outcome::Stopped;
    {
        Stream stream;
        if (isRunning())
            outcome = open(stream);
        if (outcome == Outcome::Opened)
            outcome = this->stream(stream);
    }
    // A failure that raced with a stop is a stop: the window is waiting for it.
    if (outcome == Outcome::Stopped || !isRunning())
        Q_EMIT workFinished();
}

VideoStreamThread::Outcome VideoStreamThread::open(Stream &s)
{
    registerFfmpeg();
    // A failure caused by stop() interrupting FFmpeg is no failure.
    const auto failed = [this](const char *message) {
        if (!isRunning())
            return Outcome::Stopped;
        qDebug("%s", message);
        return Outcome::Failed;
    };

    if (streamingTaken())
        return busy();

    const lumora::platform::CaptureInput input =
        lumora::platform::kernel().requestCapture(m_CameraName, {QStringLiteral("mjpeg"), QSize(1920, 1080), 30});
    AVDictionary *options = nullptr;
    for (const auto &option : input.options)
        av_dict_set(&options, option.first.constData(), option.second.constData(), 0);
    const QByteArray url = input.url.toUtf8();
    const AVInputFormat *inputFormat = input.format.isEmpty() ? nullptr : av_find_input_format(input.format.toUtf8().constData());
    s.format = avformat_alloc_context();
    if (s.format) {
        s.format->interrupt_callback = {&VideoStreamThread::interrupted, &m_state->m_isRunning};
        // The v4l2 input never consults the interrupt callback: opened
        // blocking, VIDIOC_DQBUF waits for ever on a camera that stops
        // sending. Non-blocking it answers EAGAIN and the loop sees the stop.
        s.format->flags |= AVFMT_FLAG_NONBLOCK;
    }
    // On failure FFmpeg frees the context itself.
    const int opened = s.format ? avformat_open_input(&s.format, url.constData(), inputFormat, &options) : AVERROR(ENOMEM);
    av_dict_free(&options);
    // Taken between the check and FFmpeg's own buffer request.
    if (opened == AVERROR(EBUSY) && isRunning())
        return busy();
    if (opened < 0)
        return failed("Couldn't open input stream.\n");

    if (avformat_find_stream_info(s.format, nullptr) < 0)
        return failed("Couldn't find stream information.\n");

    for (unsigned i = 0; i < s.format->nb_streams && s.videoIndex < 0; ++i) {
        if (s.format->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO)
            s.videoIndex = int(i);
    }
    if (s.videoIndex < 0)
        return failed("Couldn't find a video stream.\n");

    const AVCodecParameters *parameters = s.format->streams[s.videoIndex]->codecpar;
    const AVCodec *decoder = avcodec_find_decoder(parameters->codec_id);
    if (!decoder)
        return failed("Codec not found.\n");
    s.codec = avcodec_alloc_context3(decoder);
    if (!s.codec || avcodec_parameters_to_context(s.codec, parameters) < 0 || avcodec_open2(s.codec, decoder, nullptr) < 0)
        return failed("Could not open codec.\n");

    s.isJpeg = parameters->codec_id == AV_CODEC_ID_MJPEG;
    s.frame = av_frame_alloc();
    s.packet = av_packet_alloc();
    if (!s.frame || !s.packet)
        return failed("Could not allocate frame.\n");
    return Outcome::Opened;
}

// uvcvideo gives the streaming right to one process; a buffer request for no
// buffers takes it and hands it back at once, so it tells without side effects
// whether another process holds it. Other answers leave the verdict to FFmpeg.
bool VideoStreamThread::streamingTaken() const
{
    lumora::platform::Kernel &kernel = lumora::platform::kernel();
    const int fd = kernel.open(m_CameraName, O_RDWR | O_NONBLOCK);
    if (fd < 0)
        return false;
    v4l2_requestbuffers request{};
    request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    request.memory = V4L2_MEMORY_MMAP;
    request.count = 0;
    const int rc = kernel.ioctl(fd, VIDIOC_REQBUFS, &request);
    kernel.close(fd);
    return rc == -EBUSY;
}

VideoStreamThread::Outcome VideoStreamThread::busy()
{
    QVector<lumora::platform::NodeHolder> others = lumora::platform::kernel().holders(m_CameraName);
    const qint64 self = QCoreApplication::applicationPid();
    others.erase(std::remove_if(others.begin(), others.end(),
                                [self](const lumora::platform::NodeHolder &h) { return h.pid == self; }),
                 others.end());
    qInfo().noquote() << "camera" << m_CameraName << "is streaming elsewhere; held by"
                      << (others.isEmpty() ? QStringLiteral("an application this user cannot see")
                                           : others.first().name + QStringLiteral(" (pid %1)").arg(others.first().pid));
    Q_EMIT cameraBusy(others);
    return Outcome::Busy;
}

VideoStreamThread::Outcome VideoStreamThread::stream(Stream &s)
{
    while (isRunning()) {
        const int read = av_read_frame(s.format, s.packet);
        if (read == AVERROR(EAGAIN)) {
            pause();
            continue;
        }
        if (read < 0) {
            if (!isRunning())
                return Outcome::Stopped;
            qDebug().noquote() << "Video stream ended:" << errorText(read);
            return Outcome::Failed;
        }
        bool decoded = true;
        if (s.packet->stream_index == s.videoIndex) {
            ++s.framesRead;
            decoded = s.isJpeg ? deliverPacket(s) : deliverFrames(s);
        }
        av_packet_unref(s.packet);
        if (!decoded) {
            qDebug("Decode Error.\n");
            return Outcome::Failed;
        }
    }
    return Outcome::Stopped;
}

bool VideoStreamThread::deliverPacket(Stream &s)
{
    const std::uint8_t *data = s.packet->data;
    const std::size_t size = std::size_t(std::max(0, s.packet->size));
    if (m_state->m_fullFrameRequested.exchange(false)) {
        QImage full = s.jpeg.decode(data, size, QSize());
        if (full.isNull())
            return false;
        emitPicture(std::move(full), s, true);
    }
    // A frame nobody would see is not decoded at all.
    if (m_pictureInFlight->load() || !isRunning())
        return true;
    QImage picture = s.jpeg.decode(data, size, shownSize());
    if (picture.isNull())
        return false;
    emitPicture(std::move(picture), s, false);
    return true;
}

bool VideoStreamThread::deliverFrames(Stream &s)
{
    int decoded = avcodec_send_packet(s.codec, s.packet);
    while (decoded >= 0) {
        decoded = avcodec_receive_frame(s.codec, s.frame);
        if (decoded < 0)
            break;
        const bool full = m_state->m_fullFrameRequested.exchange(false);
        const bool wanted = !m_pictureInFlight->load() && isRunning();
        const QSize native(s.frame->width, s.frame->height);
        for (const bool fullSize : {true, false}) {
            if (fullSize ? !full : !wanted)
                continue;
            // Converted straight into the image that is sent: each emitted
            // image owns its pixels and no extra copy is made.
            const QSize size = fullSize ? native : PreviewDecoder::shownSize(native, shownSize());
            QImage image(size, QImage::Format_RGB32);
            if (image.isNull() || !s.prepareScaler(s.frame, size))
                continue;
            uint8_t *const planes[4] = {image.bits(), nullptr, nullptr, nullptr};
            const int strides[4] = {int(image.bytesPerLine()), 0, 0, 0};
            sws_scale(s.scaler, s.frame->data, s.frame->linesize, 0, s.frame->height, planes, strides);
            emitPicture(std::move(image), s, fullSize);
        }
        av_frame_unref(s.frame);
    }
    return decoded >= 0 || decoded == AVERROR(EAGAIN) || decoded == AVERROR_EOF;
}

void VideoStreamThread::emitPicture(QImage image, Stream &s, bool full)
{
    image.setText(QStringLiteral("frame"), QString::number(s.framesRead));
    if (full) {
        Q_EMIT onFullFrame(image);
        return;
    }
    m_pictureInFlight->store(true);
    Q_EMIT onReader(image);
}
