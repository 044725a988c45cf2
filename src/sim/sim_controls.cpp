#include "sim/sim_controls.h"

#include <cerrno>

namespace lumora::sim {

SimControls::SimControls(const QJsonObject &) {}
int SimControls::ioctl(unsigned long, void *) { return -ENOTTY; }
SimScene SimControls::scene() const { return {}; }
void SimControls::saveTo(QJsonObject *) const {}

} // namespace lumora::sim
