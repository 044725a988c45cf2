#include "preview/videostreamthread.h"

#include "platform/kernel.h"
#include "preview/framedecoder.h"
#include "preview/previewdecoder.h"
#include "preview/v4l2capture.h"

#include <QCoreApplication>
#include <QDebug>
#include <QElapsedTimer>

#include <algorithm>
#include <cerrno>
#include <mutex>

#include <linux/videodev2.h>

namespace {

// How long the reader waits for a frame before it looks at its stop flag
// again: the longest a stop waits on a camera that stopped sending.
constexpr int kWaitMs = 40;

// What the preview asks for: MJPEG is decoded at the shown size; the others
// go through FFmpeg.
const QVector<quint32> kPixelFormats{V4L2_PIX_FMT_MJPEG, V4L2_PIX_FMT_YUYV, V4L2_PIX_FMT_UYVY,
                                     V4L2_PIX_FMT_NV12,  V4L2_PIX_FMT_YUV420, V4L2_PIX_FMT_H264};
constexpr QSize kCaptureSize{1920, 1080};
constexpr int kFrameRate = 30;
// Frames that cannot be shown (damaged on the wire, or not decodable) are
// skipped; only when none could be shown for this long does the preview end.
constexpr qint64 kBadRunMs = 2000;

QString errnoText(int rc)
{
    return qt_error_string(-rc);
}

} // namespace

// Everything one opened stream holds; released in any state.
struct VideoStreamThread::Stream {
    V4l2Capture capture;
    // MJPEG frames are decoded here, at the shown size; FFmpeg's decoders
    // serve any other format a camera may send.
    PreviewDecoder jpeg;
    std::unique_ptr<lumora::preview::FrameDecoder> decoder;
    V4l2Capture::Frame frame;
    quint64 framesRead = 0;
    // Runs since the first of a row of frames that could not be shown.
    QElapsedTimer badRun;
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
    // A failure caused by stop() is no failure.
    const auto failed = [this, &s](int rc, const char *message) {
        if (!isRunning())
            return Outcome::Stopped;
        // uvcvideo gives the streaming right to one process: the others get EBUSY.
        if (rc == -EBUSY)
            return busy();
        qDebug().noquote() << "camera" << m_CameraName << s.capture.failedStep() << "failed:" << errnoText(rc);
        qDebug("%s", message);
        return Outcome::Failed;
    };

    int rc = s.capture.open(m_CameraName);
    if (rc == 0)
        rc = s.capture.setFormat(kPixelFormats, kCaptureSize, kFrameRate);
    if (rc < 0)
        return failed(rc, "Couldn't open input stream.\n");
    const V4l2Capture::Format &format = s.capture.format();
    if (format.pixelFormat != V4L2_PIX_FMT_MJPEG) {
        QString why;
        s.decoder = lumora::preview::newFrameDecoder(&why);
        if (!s.decoder) {
            qWarning().noquote() << why;
            return failed(-ENOSYS, "Codec not found.\n");
        }
        const char *failure = "";
        if (s.decoder->open(format.pixelFormat, format.size, &failure) < 0)
            return failed(-EINVAL, failure);
    }
    rc = s.capture.start();
    if (rc < 0)
        return failed(rc, "Couldn't open input stream.\n");
    return Outcome::Opened;
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
        int rc = s.capture.dequeue(&s.frame);
        if (rc == -EAGAIN) {
            rc = s.capture.wait(kWaitMs);
            if (rc >= 0)
                continue;
        }
        if (rc < 0) {
            if (!isRunning())
                return Outcome::Stopped;
            qDebug().noquote() << "Video stream ended:" << errnoText(rc);
            return Outcome::Failed;
        }
        ++s.framesRead;
        const bool shown = !s.frame.damaged && (s.decoder ? deliverFrames(s) : deliverPacket(s));
        rc = s.capture.requeue(s.frame);
        if (rc < 0 && isRunning()) {
            qDebug().noquote() << "Video stream ended:" << errnoText(rc);
            return Outcome::Failed;
        }
        if (shown) {
            s.badRun.invalidate();
            continue;
        }
        if (!s.badRun.isValid())
            s.badRun.start();
        if (s.badRun.elapsed() >= kBadRunMs) {
            qWarning().noquote() << QStringLiteral("No picture could be shown for %1 s from camera %2; the preview stops.")
                                        .arg(kBadRunMs / 1000)
                                        .arg(m_CameraName);
            return Outcome::Failed;
        }
    }
    return Outcome::Stopped;
}

bool VideoStreamThread::deliverPacket(Stream &s)
{
    if (m_state->m_fullFrameRequested.exchange(false)) {
        QImage full = s.jpeg.decode(s.frame.data, s.frame.size, QSize());
        if (full.isNull())
            return false;
        emitPicture(std::move(full), s, true);
    }
    // A frame nobody would see is not decoded at all.
    if (m_pictureInFlight->load() || !isRunning())
        return true;
    QImage picture = s.jpeg.decode(s.frame.data, s.frame.size, shownSize());
    if (picture.isNull())
        return false;
    emitPicture(std::move(picture), s, false);
    return true;
}

bool VideoStreamThread::deliverFrames(Stream &s)
{
    return s.decoder->decode(s.frame.data, s.frame.size, [this, &s](QSize native) {
        const bool full = m_state->m_fullFrameRequested.exchange(false);
        const bool wanted = !m_pictureInFlight->load() && isRunning();
        for (const bool fullSize : {true, false}) {
            if (fullSize ? !full : !wanted)
                continue;
            // Converted straight into the image that is sent: each emitted
            // image owns its pixels and no extra copy is made.
            QImage image(fullSize ? native : PreviewDecoder::shownSize(native, shownSize()), QImage::Format_RGB32);
            if (s.decoder->convert(image))
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
