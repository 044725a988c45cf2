#pragma once
// A busy machine on demand: stress-ng keeping `workers` processes on the CPU
// for as long as this object lives, as a video call beside the app would.

#include <QProcess>
#include <QStandardPaths>

#include <cstdio>

namespace bench {

class CpuLoad {
public:
    explicit CpuLoad(int workers)
    {
        if (QStandardPaths::findExecutable(QStringLiteral("stress-ng")).isEmpty()) {
            std::fprintf(stderr, "stress-ng is not installed: the loaded figures are taken without it\n");
            return;
        }
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.setStandardOutputFile(QProcess::nullDevice());
        m_process.start(QStringLiteral("stress-ng"), {QStringLiteral("--cpu"), QString::number(workers),
                                                      QStringLiteral("--quiet")});
        m_process.waitForStarted(-1);
    }
    ~CpuLoad()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        // stress-ng ends its workers on SIGTERM.
        m_process.terminate();
        if (!m_process.waitForFinished(5000)) {
            m_process.kill();
            m_process.waitForFinished(-1);
        }
    }
    CpuLoad(const CpuLoad &) = delete;
    CpuLoad &operator=(const CpuLoad &) = delete;

    bool running() const { return m_process.state() == QProcess::Running; }

private:
    QProcess m_process;
};

} // namespace bench
