#pragma once
// Shared set-up of the fuzz targets: an application object for the code that
// needs one, the simulated kernel, and no log output (it would drown the
// fuzzer's own report).

#include "platform/kernel.h"
#include "sim/kernel_from_environment.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QtGlobal>

#include <cstddef>
#include <cstdint>

namespace fuzzing {

inline void quiet(QtMsgType, const QMessageLogContext &, const QString &) {}

inline void start(int *argc, char ***argv)
{
    qputenv("LUMORA_PLATFORM", "sim");
    static QCoreApplication app(*argc, *argv);
    lumora::platform::installKernel(lumora::sim::kernelFromEnvironment());
    qInstallMessageHandler(quiet);
}

inline QByteArray bytes(const std::uint8_t *data, std::size_t size)
{
    return QByteArray(reinterpret_cast<const char *>(data), int(size));
}

} // namespace fuzzing

#define LUMORA_FUZZ_START                                                                                              \
    extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)                                                      \
    {                                                                                                                  \
        fuzzing::start(argc, argv);                                                                                    \
        return 0;                                                                                                      \
    }
