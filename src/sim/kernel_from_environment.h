#pragma once
// The kernel a front end runs on, chosen by its environment. Each main()
// installs it: platform::installKernel(sim::kernelFromEnvironment()).

#include "platform/kernel.h"

#include <memory>

namespace lumora::sim {

// LUMORA_PLATFORM=sim: the simulated kernel with the scenario LUMORA_SIM_SCENARIO
// names (the default one without it); anything else: Linux.
std::unique_ptr<platform::Kernel> kernelFromEnvironment();

} // namespace lumora::sim
