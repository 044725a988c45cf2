#include "sim/sim_device.h"

namespace lumora::sim {

// Filled in with the update drive model.
std::shared_ptr<SimDevice> makeUpdateDrive(const QJsonObject &) { return nullptr; }

} // namespace lumora::sim
