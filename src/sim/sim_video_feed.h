#pragma once
// A simulated camera's capture stream as uvcvideo serves it on the capture
// node: the format ioctls, and a videobuf2 queue of the application's own
// buffers (USERPTR) that a producer thread fills with one whole frame each,
// 30 times a second while the stream is on. DQBUF blocks, or answers EAGAIN
// on a node opened O_NONBLOCK; poll() waits for a filled buffer.

#include "sim/sim_controls.h"
#include "sim/sim_device.h"
#include "sim/sim_uvc_descriptors.h"

#include <QSize>
#include <QVector>
#include <QtGlobal>

#include <functional>
#include <memory>

namespace lumora::sim {

class SimVideoFeed {
public:
    // Frames the camera delivers damaged, as uvcvideo hands them on since
    // Linux 6.14 (its nodrop default): every `every`th frame (0: none).
    struct Damage {
        int every = 0;
        // Of the frame's bytes, the percentage in the buffer (0: an empty buffer).
        int keptPercent = 50;
        // Whether uvcvideo could tell: it flags the buffer V4L2_BUF_FLAG_ERROR.
        // An MJPEG frame that ends early carries no flag.
        bool flagged = true;
    };

    // `scene` is read for every frame, from the producer's thread. Every
    // format comes in every size of `offer`; the stream starts with the first
    // format at the offer's default size and rate.
    SimVideoFeed(std::function<SimScene()> scene, QVector<const SimVideoFormat *> formats, SimFrameOffer offer);
    ~SimVideoFeed();
    SimVideoFeed(const SimVideoFeed &) = delete;
    SimVideoFeed &operator=(const SimVideoFeed &) = delete;

    // Whether `request` is one of the format or streaming ioctls served here.
    static bool handles(unsigned long request);
    int ioctl(const SimFile &file, unsigned long request, void *arg);
    int poll(const SimFile &file, short events, int timeoutMs);
    // The file's release: a stream it owns stops and its buffers are let go.
    void closed(const SimFile &file);
    // Another process streams from the camera: the calls that need the
    // streaming right answer EBUSY.
    void setHeldElsewhere(bool held);

    // The camera left: streaming stops, waiters wake with an error, and the
    // application's buffers are never touched again. A camera that comes
    // back has a new feed.
    void end();
    // A camera that hangs: the stream stays on but no buffer is filled.
    void setFrozen(bool frozen);
    // The stream stalls after `frames` more filled buffers (0: at once).
    // setFrozen(false) resumes it.
    void stallAfter(quint64 frames);
    // Frames whole in a buffer so far.
    quint64 framesServed() const;
    // Called on the producer's thread each time a buffer holds a whole
    // frame, with the count of such frames (from 1).
    void setFrameObserver(std::function<void(quint64 frame)> observer);
    // Frames that are not pictures (a JPEG header and noise): every
    // `every`th one, 1 for all, 0 for none.
    void sendGarbage(int every);
    void damageFrames(Damage damage);

private:
    struct State;
    std::unique_ptr<State> d;
};

} // namespace lumora::sim
