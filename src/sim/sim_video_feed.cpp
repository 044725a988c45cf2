#include "sim/sim_video_feed.h"

#include "sim/sim_video_feed_frames.h"

#include <QByteArray>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include <fcntl.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <time.h>

namespace lumora::sim {

namespace {

using Clock = std::chrono::steady_clock;
constexpr qint64 kNanosecondsPerSecond = 1000000000;
// uvcvideo's limit on a queue's buffers (UVC_MAX_VIDEO_BUFFERS).
constexpr quint32 kMaxBuffers = 32;

struct FormatText {
    quint32 pixelFormat;
    const char *description;
    quint32 flags;
};
constexpr FormatText kFormatTexts[] = {
    {V4L2_PIX_FMT_MJPEG, "Motion-JPEG", V4L2_FMT_FLAG_COMPRESSED},
    {V4L2_PIX_FMT_YUYV, "YUYV 4:2:2", 0},
};

const FormatText *textOf(quint32 pixelFormat)
{
    for (const FormatText &text : kFormatTexts)
        if (text.pixelFormat == pixelFormat)
            return &text;
    return nullptr;
}

// Frames that are not pictures: a JPEG start and noise.
QByteArray garbageFrame()
{
    return QByteArray("\xff\xd8\xff\xdb\x00\x43", 6) + QByteArray(4000, char(0x5a)) + QByteArray("\xff\xd9", 2);
}

timeval monotonicNow()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return {now.tv_sec, now.tv_nsec / 1000};
}

} // namespace

struct SimVideoFeed::State {
    struct Buffer {
        enum class Where { Application, Queued, Done };
        Where where = Where::Application;
        unsigned long userptr = 0;
        quint32 length = 0;
        quint32 bytesused = 0;
        quint32 flags = 0;
        quint32 sequence = 0;
        timeval timestamp{};
    };

    struct Format {
        const SimVideoFormat *shape = nullptr;
        QSize size;
    };

    std::function<SimScene()> scene;
    QVector<Format> formats;
    SimFrameOffer offer;

    std::mutex mutex;
    std::condition_variable changed;
    // Guarded by mutex.
    int format = 0;
    QSize size;
    quint32 rate = 0;
    quint32 minLength = 0; // the plane size the queue was set up with (REQBUFS)
    int owner = -1; // the descriptor holding the streaming right
    bool heldElsewhere = false;
    QVector<Buffer> buffers;
    std::deque<int> queued, done;
    bool streaming = false;
    bool gone = false;
    bool quit = false;
    quint32 sequence = 0;
    std::thread producer;

    std::mutex observerMutex;
    std::function<void(quint64)> observer;

    std::atomic<bool> frozen{false};
    std::atomic<int> garbageEvery{0};
    std::mutex damageMutex;
    Damage damage; // guarded by damageMutex
    std::atomic<quint64> freezeAt{0}; // 0: never
    std::atomic<quint64> served{0};

    // Callers hold the mutex for these.
    quint32 sizeImage() const
    {
        return simMaxFrameSize(*formats[format].shape, size, rate, offer.boundFollowsRate);
    }
    void fill(v4l2_pix_format *pix) const
    {
        const SimVideoFormat &shape = *formats[format].shape;
        *pix = {};
        pix->width = quint32(size.width());
        pix->height = quint32(size.height());
        pix->pixelformat = shape.pixelFormat;
        pix->field = V4L2_FIELD_NONE;
        pix->bytesperline = shape.compressed ? 0 : quint32(size.width()) * quint32(shape.bitsPerPixel) / 8;
        pix->sizeimage = sizeImage();
        pix->colorspace = V4L2_COLORSPACE_SRGB;
    }
    // uvc_acquire_privileges(): the first file to ask gets the streaming right.
    int acquire(const SimFile &file)
    {
        if (heldElsewhere || (owner >= 0 && owner != file.fd))
            return -EBUSY;
        owner = file.fd;
        return 0;
    }
    bool owns(const SimFile &file) const { return !heldElsewhere && owner == file.fd; }
    // vb2's cancel: every buffer goes back to the application untouched.
    void stopStreaming()
    {
        streaming = false;
        queued.clear();
        done.clear();
        for (Buffer &b : buffers)
            b.where = Buffer::Where::Application;
        changed.notify_all();
    }
    void release()
    {
        stopStreaming();
        buffers.clear();
        owner = -1;
    }

    int setFormat(const SimFile &file, v4l2_format *f, bool trying)
    {
        if (f->type != V4L2_BUF_TYPE_VIDEO_CAPTURE)
            return -EINVAL;
        if (!trying) {
            if (const int rc = acquire(file))
                return rc;
            if (!buffers.isEmpty())
                return -EBUSY;
        }
        // An unknown format gets the camera's first; the size is the nearest offered.
        int chosen = -1;
        for (int i = 0; i < formats.size() && chosen < 0; ++i)
            if (formats[i].shape->pixelFormat == f->fmt.pix.pixelformat)
                chosen = i;
        const quint32 pixelFormat = formats[std::max(chosen, 0)].shape->pixelFormat;
        int best = -1;
        qint64 bestDistance = 0;
        for (int i = 0; i < formats.size(); ++i) {
            if (formats[i].shape->pixelFormat != pixelFormat)
                continue;
            const qint64 distance = qAbs(qint64(formats[i].size.width()) - f->fmt.pix.width)
                + qAbs(qint64(formats[i].size.height()) - f->fmt.pix.height);
            if (best < 0 || distance < bestDistance)
                best = i, bestDistance = distance;
        }
        const int savedFormat = format;
        const QSize savedSize = size;
        format = best;
        size = formats[best].size;
        fill(&f->fmt.pix);
        if (trying) {
            format = savedFormat;
            size = savedSize;
        }
        return 0;
    }

    int requestBuffers(const SimFile &file, v4l2_requestbuffers *request)
    {
        if (request->type != V4L2_BUF_TYPE_VIDEO_CAPTURE)
            return -EINVAL;
        if (request->memory != V4L2_MEMORY_MMAP && request->memory != V4L2_MEMORY_USERPTR
            && request->memory != V4L2_MEMORY_DMABUF)
            return -EINVAL;
        if (const int rc = acquire(file))
            return rc;
        if (streaming)
            return -EBUSY;
        request->capabilities = V4L2_BUF_CAP_SUPPORTS_MMAP | V4L2_BUF_CAP_SUPPORTS_USERPTR | V4L2_BUF_CAP_SUPPORTS_DMABUF;
        if (request->count == 0) {
            release();
            return 0;
        }
        // The kernel seam has no mmap() and no dma-buf: buffers here are the
        // application's own memory.
        if (request->memory != V4L2_MEMORY_USERPTR)
            return -EINVAL;
        request->count = std::min(request->count, kMaxBuffers);
        stopStreaming();
        buffers = QVector<Buffer>(int(request->count));
        // uvc_queue_setup(): every plane must hold the bound the camera
        // answered last; a later S_PARM does not change it.
        minLength = sizeImage();
        return 0;
    }

    int queue(const SimFile &file, v4l2_buffer *b)
    {
        if (b->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || b->memory != V4L2_MEMORY_USERPTR)
            return -EINVAL;
        if (!owns(file))
            return -EBUSY;
        if (gone)
            return -EIO;
        if (b->index >= quint32(buffers.size()) || buffers[int(b->index)].where != Buffer::Where::Application)
            return -EINVAL;
        if (b->m.userptr == 0)
            return -EFAULT;
        if (b->length < minLength)
            return -EINVAL;
        Buffer &buffer = buffers[int(b->index)];
        buffer.where = Buffer::Where::Queued;
        buffer.userptr = b->m.userptr;
        buffer.length = b->length;
        queued.push_back(int(b->index));
        b->flags = V4L2_BUF_FLAG_QUEUED | V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC | V4L2_BUF_FLAG_TSTAMP_SRC_SOE;
        return 0;
    }

    int dequeue(const SimFile &file, v4l2_buffer *b, std::unique_lock<std::mutex> &lock)
    {
        if (b->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || b->memory != V4L2_MEMORY_USERPTR)
            return -EINVAL;
        if (!owns(file))
            return -EBUSY;
        const auto ready = [this] { return !done.empty() || !streaming || gone; };
        if (!ready() && !(file.flags & O_NONBLOCK))
            changed.wait(lock, ready);
        if (gone)
            return -EIO;
        if (!streaming)
            return -EINVAL;
        if (done.empty())
            return -EAGAIN;
        const int index = done.front();
        done.pop_front();
        Buffer &buffer = buffers[index];
        buffer.where = Buffer::Where::Application;
        b->index = quint32(index);
        b->bytesused = buffer.bytesused;
        b->flags = buffer.flags | V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC | V4L2_BUF_FLAG_TSTAMP_SRC_SOE;
        b->field = V4L2_FIELD_NONE;
        b->timestamp = buffer.timestamp;
        b->sequence = buffer.sequence;
        b->m.userptr = buffer.userptr;
        b->length = buffer.length;
        return 0;
    }

    // uvc_v4l2_set_streamparm(): the nearest rate the size offers; the probe
    // answers the camera's bound for it, which sizeimage shows from then on.
    int setRate(const SimFile &file, v4l2_streamparm *parameters)
    {
        if (const int rc = acquire(file))
            return rc;
        if (streaming)
            return -EBUSY;
        const v4l2_fract asked = parameters->parm.capture.timeperframe;
        if (asked.numerator && asked.denominator) {
            const double wanted = double(asked.denominator) / asked.numerator;
            quint32 best = offer.rates.first();
            for (const quint32 r : qAsConst(offer.rates))
                if (qAbs(r - wanted) < qAbs(best - wanted))
                    best = r;
            rate = best;
        }
        return 0;
    }
    void fill(v4l2_streamparm *parameters) const
    {
        std::memset(&parameters->parm, 0, sizeof parameters->parm);
        parameters->parm.capture.capability = V4L2_CAP_TIMEPERFRAME;
        parameters->parm.capture.timeperframe = {1, rate};
    }

    int streamOn(const SimFile &file)
    {
        if (!owns(file))
            return -EBUSY;
        if (buffers.isEmpty())
            return -EINVAL;
        if (streaming)
            return 0;
        streaming = true;
        if (!producer.joinable())
            producer = std::thread([this] { produce(); });
        changed.notify_all();
        return 0;
    }

    // Fills one queued buffer per frame period while streaming.
    void produce()
    {
        SimVideoFrames frames;
        std::unique_lock<std::mutex> lock(mutex);
        auto next = Clock::now();
        int index = 0;
        quint64 sent = 0;
        while (!quit) {
            if (!streaming) {
                changed.wait(lock, [this] { return quit || streaming; });
                next = Clock::now();
                continue;
            }
            if (changed.wait_until(lock, next, [this] { return quit || !streaming; }))
                continue;
            // A late tick does not cause a burst of frames.
            next = std::max(next + std::chrono::nanoseconds(kNanosecondsPerSecond / rate), Clock::now());
            // uvcvideo counts every frame the camera sends, lost ones included.
            const quint32 frameSequence = sequence++;
            const quint64 stallAt = freezeAt.load();
            if (stallAt && served.load() >= stallAt)
                frozen = true;
            if (frozen)
                continue;
            // Drawn without the lock: the application keeps dequeuing meanwhile.
            const Format shape = {formats[format].shape, size};
            lock.unlock();
            ++sent;
            const int garbage = garbageEvery.load();
            QByteArray frame;
            if (garbage > 0 && sent % quint64(garbage) == 0)
                frame = garbageFrame();
            else if (shape.shape->pixelFormat == V4L2_PIX_FMT_MJPEG)
                frame = frames.frame(scene(), index++, shape.size);
            else if (shape.shape->pixelFormat == V4L2_PIX_FMT_YUYV)
                frame = SimVideoFrames::yuyv(scene(), index++, shape.size);
            Damage harm;
            {
                std::lock_guard<std::mutex> damaging(damageMutex);
                harm = damage;
            }
            const bool damaged = harm.every > 0 && sent % quint64(harm.every) == 0;
            lock.lock();
            // No buffer to put it in, or the format changed meanwhile: the frame is lost.
            // A stall asked for while it was drawn holds as well, so none comes after it.
            if (quit || !streaming || frozen || queued.empty() || frame.isEmpty() || size != shape.size)
                continue;
            Buffer &buffer = buffers[queued.front()];
            quint32 whole = quint32(frame.size());
            if (damaged)
                whole = quint32(quint64(whole) * quint64(qBound(0, harm.keptPercent, 100)) / 100);
            const quint32 bytes = std::min(whole, buffer.length);
            std::memcpy(reinterpret_cast<void *>(buffer.userptr), frame.constData(), bytes);
            buffer.bytesused = bytes;
            // uvc_video_decode_data() flags a frame that overflows the buffer;
            // uvc_video_validate_buffer() an uncompressed one that comes short.
            const bool flagged = bytes < whole || (damaged && (harm.flagged || !shape.shape->compressed));
            buffer.flags = flagged ? V4L2_BUF_FLAG_ERROR : 0;
            buffer.sequence = frameSequence;
            buffer.timestamp = monotonicNow();
            buffer.where = Buffer::Where::Done;
            done.push_back(queued.front());
            queued.pop_front();
            const quint64 count = ++served;
            changed.notify_all();
            lock.unlock();
            {
                std::lock_guard<std::mutex> observing(observerMutex);
                if (observer)
                    observer(count);
            }
            lock.lock();
        }
    }
};

SimVideoFeed::SimVideoFeed(std::function<SimScene()> scene, QVector<const SimVideoFormat *> formats, SimFrameOffer offer)
    : d(std::make_unique<State>())
{
    d->scene = std::move(scene);
    if (formats.isEmpty())
        formats.append(simVideoFormat(QStringLiteral("mjpeg")));
    if (offer.sizes.isEmpty() || offer.rates.isEmpty())
        offer = simFrameOffer({});
    for (const SimVideoFormat *shape : qAsConst(formats))
        for (const QSize &size : qAsConst(offer.sizes))
            d->formats.append({shape, size});
    d->format = offer.defaultSize();
    d->size = d->formats[d->format].size;
    d->rate = offer.rates.first();
    d->offer = std::move(offer);
}

SimVideoFeed::~SimVideoFeed()
{
    {
        std::lock_guard<std::mutex> lock(d->mutex);
        d->quit = true;
        d->changed.notify_all();
    }
    if (d->producer.joinable())
        d->producer.join();
}

bool SimVideoFeed::handles(unsigned long request)
{
    switch (request) {
    case VIDIOC_ENUM_FMT:
    case VIDIOC_ENUM_FRAMESIZES:
    case VIDIOC_ENUM_FRAMEINTERVALS:
    case VIDIOC_G_FMT:
    case VIDIOC_S_FMT:
    case VIDIOC_TRY_FMT:
    case VIDIOC_G_PARM:
    case VIDIOC_S_PARM:
    case VIDIOC_REQBUFS:
    case VIDIOC_QBUF:
    case VIDIOC_DQBUF:
    case VIDIOC_STREAMON:
    case VIDIOC_STREAMOFF:
        return true;
    default:
        return false;
    }
}

int SimVideoFeed::ioctl(const SimFile &file, unsigned long request, void *arg)
{
    std::unique_lock<std::mutex> lock(d->mutex);
    switch (request) {
    case VIDIOC_ENUM_FMT: {
        auto *description = static_cast<v4l2_fmtdesc *>(arg);
        QVector<quint32> distinct;
        for (const State::Format &f : qAsConst(d->formats))
            if (!distinct.contains(f.shape->pixelFormat))
                distinct.append(f.shape->pixelFormat);
        if (description->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || description->index >= quint32(distinct.size()))
            return -EINVAL;
        const quint32 index = description->index;
        *description = {};
        description->index = index;
        description->type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        description->pixelformat = distinct[int(index)];
        if (const FormatText *text = textOf(description->pixelformat)) {
            description->flags = text->flags;
            qstrncpy(reinterpret_cast<char *>(description->description), text->description, sizeof description->description);
        }
        return 0;
    }
    case VIDIOC_ENUM_FRAMESIZES: {
        auto *frameSize = static_cast<v4l2_frmsizeenum *>(arg);
        quint32 n = 0;
        for (const State::Format &f : qAsConst(d->formats)) {
            if (f.shape->pixelFormat != frameSize->pixel_format || n++ != frameSize->index)
                continue;
            frameSize->type = V4L2_FRMSIZE_TYPE_DISCRETE;
            frameSize->discrete = {quint32(f.size.width()), quint32(f.size.height())};
            return 0;
        }
        return -EINVAL;
    }
    case VIDIOC_ENUM_FRAMEINTERVALS: {
        auto *interval = static_cast<v4l2_frmivalenum *>(arg);
        const bool offered = std::any_of(d->formats.begin(), d->formats.end(), [interval](const State::Format &f) {
            return f.shape->pixelFormat == interval->pixel_format && f.size == QSize(int(interval->width), int(interval->height));
        });
        if (!offered || interval->index >= quint32(d->offer.rates.size()))
            return -EINVAL;
        interval->type = V4L2_FRMIVAL_TYPE_DISCRETE;
        interval->discrete = {1, d->offer.rates[int(interval->index)]};
        return 0;
    }
    case VIDIOC_G_FMT: {
        auto *f = static_cast<v4l2_format *>(arg);
        if (f->type != V4L2_BUF_TYPE_VIDEO_CAPTURE)
            return -EINVAL;
        d->fill(&f->fmt.pix);
        return 0;
    }
    case VIDIOC_S_FMT:
    case VIDIOC_TRY_FMT:
        return d->setFormat(file, static_cast<v4l2_format *>(arg), request == VIDIOC_TRY_FMT);
    case VIDIOC_G_PARM:
    case VIDIOC_S_PARM: {
        auto *parameters = static_cast<v4l2_streamparm *>(arg);
        if (parameters->type != V4L2_BUF_TYPE_VIDEO_CAPTURE)
            return -EINVAL;
        if (request == VIDIOC_S_PARM)
            if (const int rc = d->setRate(file, parameters))
                return rc;
        d->fill(parameters);
        return 0;
    }
    case VIDIOC_REQBUFS:
        return d->requestBuffers(file, static_cast<v4l2_requestbuffers *>(arg));
    case VIDIOC_QBUF:
        return d->queue(file, static_cast<v4l2_buffer *>(arg));
    case VIDIOC_DQBUF:
        return d->dequeue(file, static_cast<v4l2_buffer *>(arg), lock);
    case VIDIOC_STREAMON:
    case VIDIOC_STREAMOFF: {
        if (*static_cast<const int *>(arg) != V4L2_BUF_TYPE_VIDEO_CAPTURE)
            return -EINVAL;
        if (request == VIDIOC_STREAMON)
            return d->streamOn(file);
        if (!d->owns(file))
            return -EBUSY;
        d->stopStreaming();
        return 0;
    }
    default:
        return -ENOTTY;
    }
}

int SimVideoFeed::poll(const SimFile &, short events, int timeoutMs)
{
    std::unique_lock<std::mutex> lock(d->mutex);
    const auto ready = [this] { return !d->done.empty() || !d->streaming || d->gone; };
    if (!d->changed.wait_for(lock, std::chrono::milliseconds(std::max(0, timeoutMs)), ready))
        return 0;
    // What vb2_poll() answers for a queue that does not stream.
    if (!d->streaming || d->gone)
        return POLLERR;
    return events & (POLLIN | POLLRDNORM);
}

void SimVideoFeed::closed(const SimFile &file)
{
    std::lock_guard<std::mutex> lock(d->mutex);
    if (d->owner == file.fd)
        d->release();
}

void SimVideoFeed::setHeldElsewhere(bool held)
{
    std::lock_guard<std::mutex> lock(d->mutex);
    d->heldElsewhere = held;
}

void SimVideoFeed::end()
{
    std::lock_guard<std::mutex> lock(d->mutex);
    d->gone = true;
    d->release();
}

void SimVideoFeed::setFrozen(bool frozen)
{
    if (!frozen)
        d->freezeAt = 0;
    d->frozen = frozen;
}

void SimVideoFeed::stallAfter(quint64 frames)
{
    if (frames == 0) {
        d->frozen = true;
        return;
    }
    d->freezeAt = d->served.load() + frames;
}

quint64 SimVideoFeed::framesServed() const
{
    return d->served.load();
}

void SimVideoFeed::setFrameObserver(std::function<void(quint64)> observer)
{
    std::lock_guard<std::mutex> lock(d->observerMutex);
    d->observer = std::move(observer);
}

void SimVideoFeed::sendGarbage(int every)
{
    d->garbageEvery = std::max(0, every);
}

void SimVideoFeed::damageFrames(Damage damage)
{
    std::lock_guard<std::mutex> lock(d->damageMutex);
    d->damage = damage;
}

} // namespace lumora::sim
