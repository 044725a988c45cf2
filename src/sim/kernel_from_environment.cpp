#include "sim/kernel_from_environment.h"

#include "platform/linux_kernel.h"
#include "sim/sim_kernel.h"

namespace lumora::sim {

std::unique_ptr<platform::Kernel> kernelFromEnvironment()
{
    if (qEnvironmentVariable("LUMORA_PLATFORM") == QLatin1String("sim"))
        return createKernelFromEnvironment();
    return std::make_unique<platform::LinuxKernel>();
}

} // namespace lumora::sim
