#include "platform/kernel.h"

#include "platform/linux_kernel.h"
#include "platform/trace.h"

#include <QCoreApplication>

#include <mutex>
#include <utility>

namespace lumora::platform {

namespace {

std::mutex g_kernelMutex;
std::unique_ptr<Kernel> g_kernel;
bool g_releaseRegistered = false;

// A kernel owns threads that draw with Qt (the simulated cameras' video feeds).
// It must go while the application object is still alive, not among the static
// destructors that run after Qt's own globals are gone.
void releaseKernel()
{
    std::unique_ptr<Kernel> previous;
    std::lock_guard<std::mutex> lock(g_kernelMutex);
    previous = std::move(g_kernel);
    g_releaseRegistered = false;
}

// Callers hold g_kernelMutex.
void releaseWithApplication()
{
    if (g_releaseRegistered || !QCoreApplication::instance())
        return;
    qAddPostRoutine(releaseKernel);
    g_releaseRegistered = true;
}

std::unique_ptr<Kernel> traced(std::unique_ptr<Kernel> kernel)
{
    const QString file = qEnvironmentVariable("LUMORA_TRACE");
    if (file.isEmpty())
        return kernel;
    return std::make_unique<TraceKernel>(std::move(kernel), file);
}

} // namespace

Kernel &kernel()
{
    std::lock_guard<std::mutex> lock(g_kernelMutex);
    if (!g_kernel)
        g_kernel = traced(std::make_unique<LinuxKernel>());
    releaseWithApplication();
    return *g_kernel;
}

Kernel &installKernel(std::unique_ptr<Kernel> kernel)
{
    std::unique_ptr<Kernel> previous;
    std::lock_guard<std::mutex> lock(g_kernelMutex);
    previous = std::exchange(g_kernel, traced(std::move(kernel)));
    releaseWithApplication();
    return *g_kernel;
}

} // namespace lumora::platform
