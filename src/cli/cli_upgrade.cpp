#include "cli/cli_upgrade.h"
#include "cli/cli_output.h"
#include "upgrade/firmwarepackage.h"
#include "upgrade/firmwareworkspace.h"
#include "upgrade/upgradethread.h"
#include "upgrade/workerthread.h"
#include "upgrade/zip7z.h"

#include <QDebug>
#include <QEventLoop>
#include <QCoreApplication>
#include <QFileInfo>
#include <QPointer>
#include <QRandomGenerator>
#include <QTimer>

#include <cstdio>

namespace {

const char *const kUpgradeDone = "Upgrade done.";

struct PackageCheck {
    int exitCode;
    QString verdict; // empty when the package is usable
    int model;
};

PackageCheck unpackAndCheck(const QString &package, const QString &workspace)
{
    const QFileInfo file(package);
    if (!file.isFile() || !file.isReadable())
        return {ExitUnreadable, QStringLiteral("cannot read %1").arg(package), kNoModel};
    qInfo().noquote() << "upgrade file:" << file.fileName();
    lumora::upgrade::removePackageFiles(workspace);
    QString message;
    Zip7z::extract(package, workspace, &message);
    if (!lumora::upgrade::checkPackageLayout(workspace))
        return {ExitBadFormat, QStringLiteral("The format of firmware file is not correct."), kNoModel};
    int model = kNoModel;
    if (!lumora::upgrade::readPackageModel(workspace, &model))
        return {ExitCorrupted, QStringLiteral("The firmware file is corrupted."), kNoModel};
    qDebug() << "firmware file model:" << model;
    return {ExitOk, QString(), model};
}

PackageCheck checkFor(const QString &package, const QString &workspace, CameraSession *session)
{
    PackageCheck check = unpackAndCheck(package, workspace);
    if (check.exitCode == ExitOk && session && check.model != session->model())
        return {ExitMismatch, QStringLiteral("The upgrade version does not match this device."), check.model};
    return check;
}

// The window's simulated progress: 2 to 4 a second, never past 99 before the report.
class ProgressLine {
public:
    explicit ProgressLine(bool json) : m_terminal(!json && resultsToTerminal())
    {
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            m_progress = qMin(99, m_progress + QRandomGenerator::global()->bounded(2, 5));
            draw();
        });
        m_timer.start(1000);
        draw();
    }
    void finish(int progress)
    {
        m_timer.stop();
        m_progress = progress;
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
    QTimer m_timer;
};

} // namespace

int checkPackageCommand(const QString &package, CameraSession *session, bool json)
{
    const PackageCheck check = checkFor(package, lumora::upgrade::firmwareWorkspace(), session);
    if (check.exitCode != ExitOk)
        return fail(check.exitCode, check.verdict);
    if (json)
        printJson({{QStringLiteral("model"), modelDisplayName(check.model)}, {QStringLiteral("modelIndex"), check.model}});
    else
        printLine(QStringLiteral("package model: %1 (%2)").arg(modelDisplayName(check.model)).arg(check.model));
    return ExitOk;
}

int upgradeCommand(const QString &package, const ManufacturerProfile &profile, CameraSession *session, bool json)
{
    const QString workspace = lumora::upgrade::firmwareWorkspace();
    const PackageCheck check = checkFor(package, workspace, session);
    if (check.exitCode != ExitOk)
        return fail(check.exitCode, check.verdict);
    if (!json && !resultsToTerminal())
        printLine(QStringLiteral("upgrading with %1").arg(QFileInfo(package).fileName()));

    auto *worker = new UpgradeThread(profile.code, session != nullptr, session ? &session->unit : nullptr, workspace);
    QEventLoop loop;
    bool success = false;
    int progress = 0;
    QString message;
    QObject::connect(worker, &UpgradeThread::onUpgradeReport, &loop, [&](bool ok, int reported, QString text) {
        success = ok;
        progress = reported;
        message = text;
        if (!ok || reported == 100)
            loop.quit();
    });
    ProgressLine line(json);
    const QPointer<QThread> thread = lumora::upgrade::startOnOwnThread(worker);
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

    if (json)
        printJson({{QStringLiteral("success"), success}, {QStringLiteral("progress"), progress}, {QStringLiteral("report"), message}});
    else
        printLine(message);
    return message == QLatin1String(kUpgradeDone) ? ExitOk : ExitFailure;
}
