#include "preview/videostreamthread.h"

#include "platform/kernel.h"
#include "preview/capturesource.h"
#include "preview/previewdecoder.h"

#include <QCoreApplication>
#include <QDebug>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <mutex>

#include <fcntl.h>
#include <linux/videodev2.h>
#include <unistd.h>

namespace {

// How long a read that found no data yet waits before it tries again.
constexpr std::chrono::milliseconds kRetryDelay{5};

} // namespace

// Everything one opened stream holds; released in any state.
struct VideoStreamThread::Stream {
    std::unique_ptr<lumora::preview::CaptureSource> source;
    // MJPEG frames are decoded here, at the shown size; FFmpeg's decoder
    // serves any other format a camera may send.
    PreviewDecoder jpeg;
    const std::uint8_t *data = nullptr;
    std::size_t size = 0;
    quint64 framesRead = 0;
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
    // A failure caused by stop() interrupting FFmpeg is no failure.
    const auto failed = [this](const char *message) {
        if (!isRunning())
            return Outcome::Stopped;
        qDebug("%s", message);
        return Outcome::Failed;
    };

    if (streamingTaken())
        return busy();

    QString why;
    s.source = lumora::preview::newCaptureSource(&why);
    if (!s.source) {
        qWarning().noquote() << why;
        return failed("Couldn't open input stream.\n");
    }
    const lumora::platform::CaptureInput input =
        lumora::platform::kernel().requestCapture(m_CameraName, {QStringLiteral("mjpeg"), QSize(1920, 1080), 30});
    const char *failure = "";
    const int opened = s.source->open(input.url.toUtf8().constData(), input.format.toUtf8().constData(), input.options,
                                      &VideoStreamThread::interrupted, &m_state->m_isRunning, &failure);
    // Taken between the check and FFmpeg's own buffer request.
    if (opened == -EBUSY && isRunning())
        return busy();
    if (opened < 0)
        return failed(failure);
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
        const int read = s.source->read(&s.data, &s.size);
        if (read == -EAGAIN) {
            pause();
            continue;
        }
        if (read < 0) {
            if (!isRunning())
                return Outcome::Stopped;
            qDebug().noquote() << "Video stream ended:" << s.source->errorText(read);
            return Outcome::Failed;
        }
        if (read == 0)
            continue;
        ++s.framesRead;
        if (!(s.source->isJpeg() ? deliverPacket(s) : deliverFrames(s))) {
            qDebug("Decode Error.\n");
            return Outcome::Failed;
        }
    }
    return Outcome::Stopped;
}

bool VideoStreamThread::deliverPacket(Stream &s)
{
    if (m_state->m_fullFrameRequested.exchange(false)) {
        QImage full = s.jpeg.decode(s.data, s.size, QSize());
        if (full.isNull())
            return false;
        emitPicture(std::move(full), s, true);
    }
    // A frame nobody would see is not decoded at all.
    if (m_pictureInFlight->load() || !isRunning())
        return true;
    QImage picture = s.jpeg.decode(s.data, s.size, shownSize());
    if (picture.isNull())
        return false;
    emitPicture(std::move(picture), s, false);
    return true;
}

bool VideoStreamThread::deliverFrames(Stream &s)
{
    return s.source->decode([this, &s](QSize native) {
        const bool full = m_state->m_fullFrameRequested.exchange(false);
        const bool wanted = !m_pictureInFlight->load() && isRunning();
        for (const bool fullSize : {true, false}) {
            if (fullSize ? !full : !wanted)
                continue;
            // Converted straight into the image that is sent: each emitted
            // image owns its pixels and no extra copy is made.
            QImage image(fullSize ? native : PreviewDecoder::shownSize(native, shownSize()), QImage::Format_RGB32);
            if (s.source->convert(image))
                emitPicture(std::move(image), s, fullSize);
        }
    });
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
