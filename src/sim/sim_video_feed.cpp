#include "sim/sim_video_feed.h"

namespace lumora::sim {

SimVideoFeed::SimVideoFeed(std::function<SimScene()> scene) : m_scene(std::move(scene)) {}
SimVideoFeed::~SimVideoFeed() = default;
platform::CaptureInput SimVideoFeed::input() { return {}; }
void SimVideoFeed::end() {}

} // namespace lumora::sim
