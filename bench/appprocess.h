#pragma once
// The built app as a whole process under the X server named by DISPLAY (xcb),
// on the simulated kernel, with a home folder of its own.

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>

#include <csignal>
#include <unistd.h>

namespace bench {

class AppProcess {
public:
    AppProcess()
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "xcb");
        env.insert("LUMORA_PLATFORM", "sim");
        env.insert("HOME", m_home.path());
        env.insert("XDG_RUNTIME_DIR", m_home.path());
        env.remove("LUMORA_TRACE");
        m_process.setProcessEnvironment(env);
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        m_process.setStandardOutputFile(QProcess::nullDevice());
    }

    ~AppProcess() { stop(); }

    // Starts the app; returns the wall-clock time of the start in ms.
    qint64 start()
    {
        const qint64 at = QDateTime::currentMSecsSinceEpoch();
        // LUMORA_BENCH_APP names another build of the app, to compare two.
        const QString app = qEnvironmentVariable("LUMORA_BENCH_APP", QStringLiteral(LUMORA_APP_PATH));
        m_process.start(app, QStringList());
        m_process.waitForStarted(-1);
        return at;
    }

    void stop()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.kill();
        m_process.waitForFinished(-1);
    }

    qint64 pid() const { return m_process.processId(); }
    bool running() const { return m_process.state() == QProcess::Running; }

    QString logText() const
    {
        QFile log(m_home.filePath(".vistrel/vistrel.log"));
        return log.open(QIODevice::ReadOnly) ? QString::fromUtf8(log.readAll()) : QString();
    }

    // The time stamp (wall clock, ms) of the first log line containing
    // `text`, waiting up to `timeoutMs` for it; -1 when it never came.
    qint64 waitForLogLine(const QString &text, int timeoutMs) const
    {
        static const QRegularExpression stamp("^\\[(\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3})\\]");
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < timeoutMs && running()) {
            for (const QString &line : logText().split('\n')) {
                if (!line.contains(text))
                    continue;
                const QRegularExpressionMatch m = stamp.match(line);
                if (m.hasMatch())
                    return QDateTime::fromString(m.captured(1), "yyyy-MM-dd hh:mm:ss.zzz").toMSecsSinceEpoch();
            }
            QThread::msleep(2);
        }
        return -1;
    }

    // CPU seconds the process has used, from /proc.
    double cpuSeconds() const
    {
        QFile stat(QString("/proc/%1/stat").arg(pid()));
        if (!stat.open(QIODevice::ReadOnly))
            return -1;
        const QByteArray text = stat.readAll();
        const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
        // utime and stime are fields 14 and 15 of the line, 12 and 13 after the name.
        return (fields.value(11).toDouble() + fields.value(12).toDouble()) / double(sysconf(_SC_CLK_TCK));
    }

    // Resident memory in MB (VmRSS).
    double rssMb() const
    {
        QFile status(QString("/proc/%1/status").arg(pid()));
        if (!status.open(QIODevice::ReadOnly))
            return -1;
        for (const QByteArray &line : status.readAll().split('\n'))
            if (line.startsWith("VmRSS:"))
                return line.mid(6).trimmed().split(' ').value(0).toDouble() / 1024.0;
        return -1;
    }

private:
    QTemporaryDir m_home;
    QProcess m_process;
};

} // namespace bench
