#pragma once
// A simulated camera's MJPEG stream, in a form FFmpeg can open: a local
// socket ("unix:" protocol) served by a producer thread at 1920x1080 and 30
// frames per second while anyone reads it. Each frame goes out as one part of
// a multipart stream ("mpjpeg" format) that states its length, so the reader
// has a whole frame as soon as its last byte arrives, as a V4L2 buffer would
// hand it over.

#include "platform/kernel.h"
#include "sim/sim_controls.h"

#include <QtGlobal>

#include <functional>
#include <memory>

namespace lumora::sim {

class SimVideoFeed {
public:
    // `scene` is read for every frame, from the producer's thread.
    explicit SimVideoFeed(std::function<SimScene()> scene);
    ~SimVideoFeed();
    SimVideoFeed(const SimVideoFeed &) = delete;
    SimVideoFeed &operator=(const SimVideoFeed &) = delete;

    // An input that streams 1920x1080 MJPEG at 30 frames per second while it is read.
    platform::CaptureInput input();
    // The camera left: every open stream ends as a real one would.
    void end();
    // A camera that hangs: open streams stay connected but get no frames.
    void setFrozen(bool frozen);
    // The stream stalls once each reader has had `frames` more whole frames
    // (0: at once): readers stay connected and get nothing more, as from a
    // camera that stops sending. setFrozen(false) resumes it.
    void stallAfter(quint64 frames);
    // Frames written to readers so far.
    quint64 framesServed() const;
    // Called on the producer's thread each time a reader has been sent the
    // last byte of a frame, with that reader's count of whole frames (from 1).
    void setFrameObserver(std::function<void(quint64 frame)> observer);

private:
    class Producer;
    std::function<SimScene()> m_scene;
    std::unique_ptr<Producer> m_producer;
};

} // namespace lumora::sim
