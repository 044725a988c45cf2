// Every test process starts on the kernel its environment names, installed
// with the application object as each front end's main() installs it; a test
// that needs another machine installs its own over it.

#include "platform/kernel.h"
#include "sim/kernel_from_environment.h"

#include <QCoreApplication>

namespace {

void installEnvironmentKernel()
{
    lumora::platform::installKernel(lumora::sim::kernelFromEnvironment());
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(installEnvironmentKernel)
