#include "cli/cli_upgrade.h"
#include "cli/cli_output.h"
#include "upgrade/driveaccess.h"
#include "upgrade/firmwarepackage.h"
#include "upgrade/firmwareworkspace.h"
#include "upgrade/upgradetarget.h"
#include "upgrade/upgradethread.h"
#include "upgrade/workerthread.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QPointer>
#include <QRegularExpression>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <memory>
#include <mutex>

#include <fcntl.h>
#include <unistd.h>

using namespace lumora::upgrade;

namespace {

constexpr int kProgressCeiling = 95;

struct PackageCheckResult {
    int exitCode;
    QString verdict; // empty when the package is usable
    int model;
    QString version;
};

QString withReason(const QString &verdict, const QString &reason)
{
    return reason.isEmpty() ? verdict : QStringLiteral("%1 Reason: %2").arg(verdict, reason);
}

PackageCheckResult checkFor(const QString &package, const QString &workspace, CameraSession *session)
{
    const QFileInfo file(package);
    if (!file.isFile() || !file.isReadable())
        return {ExitUnreadable, QStringLiteral("cannot read %1").arg(package), kNoModel, {}};
    const PackageCheck check = checkPackage(package, workspace);
    if (check.verdict == PackageCheck::BadFormat)
        return {ExitBadFormat, withReason(QStringLiteral("The format of firmware file is not correct."), check.reason), kNoModel, {}};
    if (check.verdict == PackageCheck::Corrupted)
        return {ExitCorrupted, withReason(QStringLiteral("The firmware file is corrupted."), check.reason), kNoModel, {}};
    qDebug() << "firmware file model:" << check.model;
    if (session && check.model != session->model()) {
        clearWorkspace(workspace);
        return {ExitMismatch, QStringLiteral("The upgrade version does not match this device."), check.model, {}};
    }
    return {ExitOk, QString(), check.model, check.version};
}

QString shellQuoted(const QString &text)
{
    static const QRegularExpression plain("^[A-Za-z0-9_./+:=@%-]+$");
    if (plain.match(text).hasMatch())
        return text;
    QString quoted = text;
    quoted.replace('\'', QStringLiteral("'\\''"));
    return '\'' + quoted + '\'';
}

QString rescueCommand(const QString &package)
{
    return QStringLiteral("lumora-cli rescue %1").arg(shellQuoted(QFileInfo(package).absoluteFilePath()));
}

QString versionChange(const QString &before, const QString &after)
{
    return before.isEmpty() ? QStringLiteral("V%1").arg(after) : QStringLiteral("V%1 → V%2").arg(before, after);
}

// Progress from the bytes the camera has taken, held below the ceiling until the result.
class ProgressLine {
public:
    explicit ProgressLine(bool json) : m_terminal(!json && resultsToTerminal()) { draw(); }
    void update(qint64 sent, qint64 total)
    {
        const int percent = total > 0 ? int(qMin<qint64>(kProgressCeiling, sent * 100 / total)) : 0;
        if (percent > m_progress) {
            m_progress = percent;
            draw();
        }
    }
    void finish(int progress)
    {
        m_progress = qMax(m_progress, progress);
        draw();
        if (m_terminal)
            std::fputs("\n", resultStream());
    }

private:
    void draw()
    {
        if (!m_terminal)
            return;
        constexpr int kWidth = 40;
        const int filled = m_progress * kWidth / 100;
        std::fprintf(resultStream(), "\rUpgrading [%s%s] %3d%%", QByteArray(filled, '#').constData(),
                     QByteArray(kWidth - filled, ' ').constData(), m_progress);
        std::fflush(resultStream());
    }

    const bool m_terminal;
    int m_progress = 0;
};

// SIGINT and SIGTERM turned into events of the main loop while it lives.
class SignalWatch {
public:
    SignalWatch()
    {
        if (::pipe2(s_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
            return;
        struct sigaction action = {};
        action.sa_handler = &SignalWatch::handle;
        sigemptyset(&action.sa_mask);
        for (int i = 0; i < 2; ++i)
            ::sigaction(kSignals[i], &action, &m_previous[i]);
        m_notifier = std::make_unique<QSocketNotifier>(s_pipe[0], QSocketNotifier::Read);
    }
    ~SignalWatch()
    {
        m_notifier.reset();
        if (s_pipe[0] < 0)
            return;
        for (int i = 0; i < 2; ++i)
            ::sigaction(kSignals[i], &m_previous[i], nullptr);
        ::close(s_pipe[0]);
        ::close(s_pipe[1]);
        s_pipe[0] = s_pipe[1] = -1;
    }
    QSocketNotifier *notifier() const { return m_notifier.get(); }
    // The interrupts that arrived since the last call.
    int take()
    {
        char buffer[16];
        int count = 0;
        for (ssize_t n; (n = ::read(s_pipe[0], buffer, sizeof buffer)) > 0;)
            count += int(n);
        return count;
    }

private:
    static void handle(int)
    {
        const int saved = errno;
        const char byte = 1;
        [[maybe_unused]] const ssize_t written = ::write(s_pipe[1], &byte, 1);
        errno = saved;
    }
    static constexpr int kSignals[2] = {SIGINT, SIGTERM};
    static inline int s_pipe[2] = {-1, -1};
    struct sigaction m_previous[2] = {};
    std::unique_ptr<QSocketNotifier> m_notifier;
};

// The worker, reachable from this thread until it says it has finished.
struct WorkerHandle {
    std::mutex mutex;
    UpgradeThread *worker = nullptr;

    void track(UpgradeThread *w)
    {
        worker = w;
        QObject::connect(w, &UpgradeThread::workFinished, w, [this] {
            std::lock_guard<std::mutex> lock(mutex);
            worker = nullptr;
        }, Qt::DirectConnection);
    }
    template <class Action>
    void with(Action action)
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (worker)
            action(worker);
    }
};

} // namespace

int checkPackageCommand(const QString &package, CameraSession *session, bool json)
{
    const PackageCheckResult check = checkFor(package, firmwareWorkspace(), session);
    if (check.exitCode != ExitOk)
        return fail(check.exitCode, check.verdict);
    if (json)
        printJson({{QStringLiteral("model"), modelDisplayName(check.model)},
                   {QStringLiteral("modelIndex"), check.model},
                   {QStringLiteral("version"), check.version}});
    else
        printLine(QStringLiteral("package model: %1 (%2)%3")
                      .arg(modelDisplayName(check.model))
                      .arg(check.model)
                      .arg(check.version.isEmpty() ? QString() : QStringLiteral(", firmware V%1").arg(check.version)));
    return ExitOk;
}

int upgradeCommand(const QString &package, const ManufacturerProfile &profile, CameraSession *session, bool json,
                   int waitSeconds, bool force)
{
    const QString workspace = firmwareWorkspace();
    const PackageCheckResult check = checkFor(package, workspace, session);
    if (check.exitCode != ExitOk)
        return fail(check.exitCode, check.verdict);

    UpgradeTarget target;
    if (session) {
        target.node = session->info().alias;
        target.name = shortDeviceName(session->info().friendlyName);
        target.version = session->firmwareVersion();
        for (const UpdateDriveInfo &other : listUpdateDrives(profile.code))
            printLine(QStringLiteral("the camera on USB port %1 is in its %2 state and is left as it is; "
                                     "rescue it afterwards with lumora-cli rescue and its own package")
                          .arg(other.port, updateStateName(other.state)));
    } else {
        const QVector<UpdateDriveInfo> drives = listUpdateDrives(profile.code);
        if (drives.isEmpty())
            return fail(ExitNoCamera, QStringLiteral("No camera device detected."));
        // The drive the run would take, said before anything is written to it.
        const QString problem = checkDriveAccess(drives.first()).explanation(drives.first());
        if (!problem.isEmpty()) {
            clearWorkspace(workspace);
            return fail(ExitFailure, problem);
        }
        if (drives.size() == 1) {
            QString family;
            const FamilyMatch match = matchRescueFamily(drives.first(), check.model, &family);
            if (match == FamilyMatch::Other) {
                clearWorkspace(workspace);
                return fail(ExitMismatch, withReason(QStringLiteral("The upgrade version does not match this device."),
                                                     QStringLiteral("the camera in its update state is a %1 and the package is for the %2")
                                                         .arg(family, modelDisplayName(check.model))));
            }
            if (match == FamilyMatch::Unknown && !force)
                return fail(ExitMismatch, QStringLiteral("the camera in its update state does not tell its model; "
                                                         "if it is a %1, run again with --force")
                                              .arg(modelDisplayName(check.model)));
            target.port = drives.first().port;
        }
    }
    if (!json && !resultsToTerminal())
        printLine(QStringLiteral("upgrading with %1").arg(QFileInfo(package).fileName()));

    auto *worker = new UpgradeThread(profile.code, session != nullptr, session ? &session->unit : nullptr, workspace);
    worker->setTarget(target);
    worker->setPackageModel(check.model, force);
    if (waitSeconds > 0)
        worker->setReturnWaitMs(waitSeconds * 1000);
    WorkerHandle handle;
    handle.track(worker);
    QEventLoop loop;
    bool success = false;
    int progress = 0;
    QString message, before, after;
    bool leftInUpdateState = false;
    ProgressLine line(json);
    QObject::connect(worker, &UpgradeThread::onUpgradeProgress, &loop, [&](qint64 sent, qint64 total) { line.update(sent, total); });
    QObject::connect(worker, &UpgradeThread::cameraReturned, &loop, [&](const QString &from, const QString &to) {
        before = from;
        after = to;
    });
    QObject::connect(worker, &UpgradeThread::cameraLeftInUpdateState, &loop, [&] { leftInUpdateState = true; });
    QObject::connect(worker, &UpgradeThread::onUpgradeReport, &loop, [&](bool ok, int reported, QString text) {
        success = ok;
        progress = reported;
        message = text;
        loop.quit();
    });

    int interrupts = 0;
    SignalWatch watch;
    if (watch.notifier()) {
        QObject::connect(watch.notifier(), &QSocketNotifier::activated, &loop, [&] {
            const int arrived = watch.take();
            if (arrived <= 0)
                return;
            if (interrupts == 0) {
                std::fputs("lumora-cli: stopping now would leave the camera in its update state; the upgrade stops at the "
                           "next safe point (interrupt again to stop at once)\n", stderr);
                handle.with([](UpgradeThread *w) { w->stopAtSafePoint(); });
            }
            interrupts += arrived;
            if (interrupts >= 2)
                handle.with([](UpgradeThread *w) { w->stop(); });
        });
    }
    const QPointer<QThread> thread = startOnOwnThread(worker);
    loop.exec();
    line.finish(success ? progress : 0);
    // The worker ends its thread after reporting, through a quit queued to this
    // thread: keep the loop running until the thread has finished.
    if (thread) {
        QEventLoop ending;
        QObject::connect(thread, &QThread::finished, &ending, &QEventLoop::quit);
        if (!thread->isFinished())
            ending.exec();
    }
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);

    if (success && !after.isEmpty())
        message = QStringLiteral("%1 %2").arg(message, versionChange(before, after));
    if (!success && leftInUpdateState)
        message = QStringLiteral("%1 Rescue it with: %2").arg(message, rescueCommand(package));
    if (json) {
        QJsonObject result{{QStringLiteral("success"), success}, {QStringLiteral("progress"), progress},
                           {QStringLiteral("report"), message}};
        if (success) {
            result.insert(QStringLiteral("from"), before);
            result.insert(QStringLiteral("to"), after);
        }
        if (!success && leftInUpdateState)
            result.insert(QStringLiteral("rescue"), rescueCommand(package));
        printJson(result);
    } else {
        printLine(message);
    }
    if (success)
        return ExitOk;
    return interrupts > 0 ? ExitInterrupted : ExitFailure;
}
