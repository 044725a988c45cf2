#pragma once
// A simulated camera's MJPEG stream, in a form FFmpeg can open.
// (Interface fixed; the preview subsystem's developer fills it in.)

#include "platform/kernel.h"
#include "sim/sim_controls.h"

#include <functional>

namespace lumora::sim {

class SimVideoFeed {
public:
    // `scene` is read for every frame, from the producer's thread.
    explicit SimVideoFeed(std::function<SimScene()> scene);
    ~SimVideoFeed();
    // An input that streams 1920x1080 MJPEG at 30 frames per second while it is read.
    platform::CaptureInput input();
    // The camera left: every open stream ends as a real one would.
    void end();

private:
    std::function<SimScene()> m_scene;
};

} // namespace lumora::sim
