#include "emulated/child_run.h"

#include "emulated/emulated_machine.h"

#include <QCoreApplication>
#include <QDir>
#include <QDeadlineTimer>
#include <QFile>
#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>

#include <sys/stat.h>
#include <unistd.h>

namespace emulated {

namespace {

constexpr int kChildDeadlineMs = 90000;
// The ordinary user an emulated child runs as when the test runs as root.
const QString kOrdinaryUser = QStringLiteral("65534");

void openToAll(const QString &path) { ::chmod(QFile::encodeName(path).constData(), 01777); }

} // namespace

QStringList maskedWire(const QString &traceFile)
{
    QFile file(traceFile);
    QStringList lines;
    if (!file.open(QIODevice::ReadOnly))
        return lines;
    static const QRegularExpression time(QStringLiteral("^\\d+ "));
    for (const QByteArray &raw : file.readAll().split('\n'))
        if (!raw.trimmed().isEmpty())
            lines << QString::fromUtf8(raw).trimmed().remove(time);
    return lines;
}

ChildRun::ChildRun(const QJsonObject &scenario) : m_scenario(scenario)
{
    openToAll(m_dir.path());
    QFile file(m_dir.filePath(QStringLiteral("scenario.json")));
    if (file.open(QIODevice::WriteOnly))
        file.write(QJsonDocument(scenario).toJson());
}

QString ChildRun::userUnavailable() const
{
    const bool privileged = m_scenario.value(QStringLiteral("privileged")).toBool();
    if (privileged && ::geteuid() != 0 && QStandardPaths::findExecutable(QStringLiteral("unshare")).isEmpty())
        return QStringLiteral("a privileged child needs root or unshare");
    if (!privileged && ::geteuid() == 0 && QStandardPaths::findExecutable(QStringLiteral("setpriv")).isEmpty())
        return QStringLiteral("an ordinary user's child needs setpriv when the test runs as root");
    return {};
}

ChildResult ChildRun::simulated(const QString &program, const QStringList &arguments)
{
    return run(QStringList{program} + arguments,
               {QStringLiteral("LUMORA_PLATFORM=sim"),
                QStringLiteral("LUMORA_SIM_SCENARIO=") + m_dir.filePath(QStringLiteral("scenario.json"))});
}

ChildResult ChildRun::emulated(EmulatedMachine &machine, const QString &program, const QStringList &arguments,
                               const std::function<void(const QString &)> &onLine)
{
    QStringList command{program};
    const bool privileged = m_scenario.value(QStringLiteral("privileged")).toBool();
    if (privileged && ::geteuid() != 0)
        command = QStringList{QStringLiteral("unshare"), QStringLiteral("--user"), QStringLiteral("--map-root-user")} + command;
    if (!privileged && ::geteuid() == 0)
        command = QStringList{QStringLiteral("setpriv"), QStringLiteral("--reuid=") + kOrdinaryUser,
                              QStringLiteral("--regid=") + kOrdinaryUser, QStringLiteral("--clear-groups")}
                  + command;
    return run(command + arguments, {QStringLiteral("UMOCKDEV_DIR=") + machine.root()}, onLine);
}

ChildResult ChildRun::run(const QStringList &command, const QStringList &environment,
                          const std::function<void(const QString &)> &onLine)
{
    const QString run = QStringLiteral("run%1").arg(++m_runs);
    const QString home = m_dir.filePath(run);
    QDir().mkpath(home);
    openToAll(home);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    // The preload reaches only the emulated child; it comes back with UMOCKDEV_DIR.
    env.remove(QStringLiteral("UMOCKDEV_DIR"));
    env.remove(QStringLiteral("LUMORA_PLATFORM"));
    env.remove(QStringLiteral("LUMORA_SIM_SCENARIO"));
    const QString preload = env.value(QStringLiteral("LD_PRELOAD"));
    env.remove(QStringLiteral("LD_PRELOAD"));
    for (const QString &pair : environment) {
        const QString name = pair.section(QLatin1Char('='), 0, 0);
        env.insert(name, pair.section(QLatin1Char('='), 1));
        if (name == QLatin1String("UMOCKDEV_DIR"))
            env.insert(QStringLiteral("LD_PRELOAD"), preload);
    }
    const QString trace = home + QStringLiteral("/trace.log");
    env.insert(QStringLiteral("LUMORA_TRACE"), trace);
    env.insert(QStringLiteral("HOME"), home);
    env.insert(QStringLiteral("XDG_DATA_HOME"), home + QStringLiteral("/data"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), home + QStringLiteral("/config"));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), home);
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(command.first(), command.mid(1));
    ChildResult result;
    const QDeadlineTimer deadline(kChildDeadlineMs);
    const auto takeLines = [&] {
        while (process.canReadLine()) {
            const QByteArray line = process.readLine();
            result.out += line;
            if (onLine)
                onLine(QString::fromUtf8(line).trimmed());
        }
    };
    // The simulated kernel of this process runs its timeline and events here.
    while (!process.waitForFinished(5) && process.state() != QProcess::NotRunning && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        takeLines();
    }
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished();
    }
    result.finished = !deadline.hasExpired() && process.exitStatus() == QProcess::NormalExit;
    result.exitCode = process.exitCode();
    takeLines();
    result.out += process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    result.wire = maskedWire(trace);
    // Kept beside the trace for a look at a failed run.
    QFile log(home + QStringLiteral("/stderr.log"));
    if (log.open(QIODevice::WriteOnly))
        log.write(result.err);
    return result;
}

} // namespace emulated
