#include "upgrade/upgradethread.h"

#include "control/uvcextensionunit.h"
#include "upgrade/updatechannel.h"
#include "upgrade/updatescript.h"

#include <QDebug>
#include <QFileInfo>

using namespace lumora::upgrade;

namespace {
constexpr int kDriveSearches = 41;
constexpr int kSearchIntervalMs = 500;
constexpr int kBootLoaderSettleMs = 1000;
} // namespace

UpgradeThread::UpgradeThread(int manufacturerCode, bool cameraOpened, UVCExtensionUnit *extensionUnit,
                             QString workspace, QObject *parent)
    : QObject(parent), manufacturerCode(manufacturerCode), cameraOpened(cameraOpened),
      extensionUnit(extensionUnit), workspace(std::move(workspace))
{
}

void UpgradeThread::start()
{
    running.begin();
    emit workStart();
    doWork();
}

void UpgradeThread::stop() { running.stop(); }

void UpgradeThread::doWork()
{
    Report report;
    {
        RunFlag::Scope scope(&running);
        // The poller skips its searches while the run holds the channel.
        std::lock_guard<std::mutex> channel(channelMutex());
        report = run();
        closeUpdateDrive();
        digestsAhead({});
    }
    if (!report.success)
        qDebug() << "Upgrade failed.";
    emit onUpgradeReport(report.success, report.progress, report.message);
    emit workFinished();
}

UpgradeThread::Report UpgradeThread::failed() { return {false, 0, tr("Upgrade failed.")}; }

UpgradeThread::Report UpgradeThread::notFound() const
{
    return running.isRunning() ? Report{false, 0, tr("Failed to find camera device.")} : failed();
}

UpgradeThread::Report UpgradeThread::run()
{
    // The loads' digests are worked out while the camera restarts as a drive.
    digestsAhead(scriptLoadFiles(workspace, "auto_update.txt"));
    if (findUpdateDrive(manufacturerCode, &deviceState) >= 0)
        return rescue();
    return fromWorkingCamera();
}

UpgradeThread::Report UpgradeThread::rescue()
{
    qInfo() << "Enter the upgrade process of the camera in an abnormal state.";
    if (deviceState == StateRom && sendRawFile(workspace + "/usb_updater.bin") == 0)
        deviceState = StateUpdater;
    if (deviceState == StateUpdater) {
        const QString bootLoader = workspace + "/u-boot.bin";
        if (!QFileInfo::exists(bootLoader)) {
            deviceState = StateUBoot;
            return runUpdateScript();
        }
        if (loadFile(bootLoader, kNoLoadAddress) != 0)
            return failed();
        if (!running.sleep(kBootLoaderSettleMs))
            return failed();
        if (!waitForDrive())
            return {false, 0, tr("Failed to find camera device.")};
        if (deviceState != StateUBoot)
            qCritical().noquote() << tr("Invalid device state %1.").arg(deviceState);
    }
    if (deviceState == StateUBoot)
        return runUpdateScript();
    return failed();
}

UpgradeThread::Report UpgradeThread::fromWorkingCamera()
{
    if (!cameraOpened)
        return {false, 0, tr("No camera device detected.")};
    if (!extensionUnit || !extensionUnit->EnterUpgradeMode())
        return failed();
    qInfo() << "Enter the normal state of the camera upgrade process.";
    if (!waitForDrive())
        return notFound();
    if (deviceState == StateUBoot)
        return runUpdateScript();
    return failed();
}

bool UpgradeThread::waitForDrive()
{
    for (int search = 0; search < kDriveSearches; ++search) {
        if (!running.sleep(kSearchIntervalMs))
            return false;
        if (findUpdateDrive(manufacturerCode, &deviceState) >= 0)
            return true;
    }
    return false;
}

UpgradeThread::Report UpgradeThread::runUpdateScript()
{
    if (runScript(workspace, "auto_update.txt") != 0)
        return failed();
    qDebug() << "Upgrade seccess.";
    return {true, 100, tr("Upgrade done.")};
}
