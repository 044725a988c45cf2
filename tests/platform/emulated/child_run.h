#pragma once
// One run of a Lumora program in a child process, on one of two kernels:
// the simulated one inside the child (LUMORA_PLATFORM=sim), or the Linux one
// under the umockdev preload, against an EmulatedMachine of this process.

#include <QByteArray>
#include <QJsonObject>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>

namespace emulated {

class EmulatedMachine;

struct ChildResult {
    bool finished = false;
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
    QStringList wire; // the wire trace, times masked
};

class ChildRun {
public:
    // `scenario` is the machine; its "privileged" field also picks the user
    // the emulated child runs as (root, or an ordinary user without CAP_SYS_RAWIO).
    explicit ChildRun(const QJsonObject &scenario);

    // The child on the simulated kernel.
    ChildResult simulated(const QString &program, const QStringList &arguments);
    // The child on LinuxKernel, against `machine`, whose simulated kernel
    // runs on this thread while the child runs; `onLine` hears each line the
    // child writes as it comes.
    ChildResult emulated(EmulatedMachine &machine, const QString &program, const QStringList &arguments,
                         const std::function<void(const QString &)> &onLine = {});

    // Why the emulated child cannot run as the scenario's user here; empty when it can.
    QString userUnavailable() const;
    QString path(const QString &name) const { return m_dir.filePath(name); }

private:
    ChildResult run(const QStringList &command, const QStringList &environment,
                    const std::function<void(const QString &)> &onLine = {});

    QJsonObject m_scenario;
    QTemporaryDir m_dir;
    int m_runs = 0;
};

// The trace's lines without their times.
QStringList maskedWire(const QString &traceFile);

} // namespace emulated
