#include "upgrade/upgradethread.h"

#include "device/uvcextensionunit.h"
#include "core/catalogue.h"
#include "core/staterecords.h"
#include "upgrade/sleepinhibitor.h"
#include "upgrade/updatechannel.h"
#include "upgrade/updatescript.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QFileInfo>

#include <memory>

using namespace lumora::upgrade;

namespace {
constexpr int kDriveSearches = 41;
constexpr int kBootLoaderSettleMs = 1000;
constexpr int kCameraSearchIntervalMs = 500;
const char *const kUpdater = "usb_updater.bin";
const char *const kBootLoader = "u-boot.bin";

qint64 fileSize(const QString &path) { return QFileInfo(path).size(); }
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
        int shown = -1;
        TransferCounter counter([this, &shown](qint64 bytes) {
            m_sent += bytes;
            const qint64 sent = qMin(m_sent, m_total);
            const int percent = m_total > 0 ? int(sent * 100 / m_total) : 0;
            if (percent != shown) {
                shown = percent;
                emit onUpgradeProgress(sent, m_total);
            }
        });
        // The poller skips its searches while the run holds the channel, also
        // while the camera is coming back after its reset.
        std::lock_guard<std::mutex> channel(channelMutex());
        report = run();
        closeUpdateDrive();
        digestsAhead({});
    }
    if (!report.success)
        qDebug() << "Upgrade failed.";
    if (!report.success && m_touched)
        emit cameraLeftInUpdateState();
    // Monitoring keeps every run that reached the camera, from the window or the CLI.
    if (report.success || m_touched)
        recordUpgrade({0, report.success, m_target.serial.isEmpty() ? QStringLiteral("port %1").arg(m_target.port) : m_target.serial,
                       modelDisplayName(m_packageModel), m_target.version, m_returnedVersion});
    emit onUpgradeReport(report.success, report.progress, report.message);
    emit workFinished();
}

UpgradeThread::Report UpgradeThread::failed() { return {false, 0, tr("Upgrade failed.")}; }

UpgradeThread::Report UpgradeThread::refused(const QString &why)
{
    qWarning().noquote() << "upgrade refused:" << why;
    return {false, 0, tr("Upgrade refused, nothing was sent to the camera: %1.").arg(why)};
}

UpgradeThread::Report UpgradeThread::stopped() const
{
    if (m_touched)
        return {false, 0, tr("Upgrade stopped; the camera is left in its update state.")};
    return {false, 0, tr("Upgrade stopped before the camera was changed.")};
}

UpgradeThread::Report UpgradeThread::notFound() const
{
    return running.isRunning() ? Report{false, 0, tr("Failed to find camera device.")} : stopped();
}

QString UpgradeThread::packageProblem(int state) const
{
    if (state == StateRom && !QFileInfo(workspace + '/' + kUpdater).isFile())
        return tr("the camera is in its boot ROM and the package has no %1").arg(kUpdater);
    if ((state == StateRom || state == StateUpdater) && !QFileInfo(workspace + '/' + kBootLoader).isFile())
        return tr("the camera is in its %1 state and the package has no %2").arg(updateStateName(state), kBootLoader);
    if (state == StateNone)
        return tr("the camera's update state is not one this application knows");
    return {};
}

UpgradeThread::Report UpgradeThread::run()
{
    const ScriptPlan plan = checkScript(workspace, QStringLiteral("auto_update.txt"));
    if (!plan.usable)
        return refused(plan.problem);
    m_total = plan.bytes;
    // The loads' digests are worked out while the camera restarts as a drive.
    digestsAhead(scriptLoadFiles(workspace, "auto_update.txt"));
    if (m_target.node.isEmpty())
        return rescue();
    return fromWorkingCamera();
}

UpgradeThread::Report UpgradeThread::rescue()
{
    QVector<UpdateDriveInfo> candidates;
    QStringList ports;
    for (const UpdateDriveInfo &drive : listUpdateDrives(manufacturerCode)) {
        if (m_target.port.isEmpty() || drive.port == m_target.port) {
            candidates.append(drive);
            ports << drive.port;
        }
    }
    if (candidates.isEmpty())
        return cameraOpened ? failed() : Report{false, 0, tr("No camera device detected.")};
    if (candidates.size() > 1)
        return refused(tr("several cameras are in an update state (USB ports %1); leave only the one to rescue plugged in")
                           .arg(ports.join(", ")));
    const UpdateDriveInfo drive = candidates.first();
    m_target.port = drive.port;
    m_target.serial = drive.serial;
    if (m_packageModel >= 0) {
        QString family;
        const FamilyMatch match = matchRescueFamily(drive, m_packageModel, &family);
        if (match == FamilyMatch::Other)
            return refused(tr("the camera in its update state is a %1 and the package is for the %2")
                               .arg(family, modelDisplayName(m_packageModel)));
        if (match == FamilyMatch::Unknown && !m_familyConfirmed)
            return refused(tr("the camera in its update state does not tell its model, and flashing the %1 package was not confirmed")
                               .arg(modelDisplayName(m_packageModel)));
    }
    const QString problem = packageProblem(drive.state);
    if (!problem.isEmpty())
        return refused(problem);
    if (drive.state == StateRom)
        m_total += fileSize(workspace + '/' + kUpdater);
    if (drive.state == StateRom || drive.state == StateUpdater)
        m_total += fileSize(workspace + '/' + kBootLoader);
    if (m_safeStop || !running.isRunning())
        return {false, 0, tr("Upgrade stopped before anything was sent to the camera.")};
    if (findUpdateDrive(manufacturerCode, &deviceState, m_target.port) < 0)
        return {false, 0, tr("Failed to find camera device.")};

    qInfo() << "Enter the upgrade process of the camera in an abnormal state.";
    m_touched = true;
    const SleepInhibitor awake(tr("Firmware upgrade of a camera"));
    if (deviceState == StateRom) {
        if (sendRawFile(workspace + '/' + kUpdater) != 0)
            return stopRequested() ? stopped() : failed();
        deviceState = StateUpdater;
    }
    if (deviceState == StateUpdater) {
        if (loadFile(workspace + '/' + kBootLoader, kNoLoadAddress) != 0)
            return stopRequested() ? stopped() : failed();
        if (!running.sleep(kBootLoaderSettleMs))
            return stopped();
        if (!waitForDrive())
            return notFound();
        if (deviceState != StateUBoot) {
            qCritical().noquote() << tr("Invalid device state %1.").arg(deviceState);
            return failed();
        }
    }
    if (deviceState == StateUBoot)
        return runUpdateScript();
    return failed();
}

UpgradeThread::Report UpgradeThread::fromWorkingCamera()
{
    if (!cameraOpened)
        return {false, 0, tr("No camera device detected.")};
    QString port = m_target.port, serial = m_target.serial;
    if (port.isEmpty() && !usbPortOfVideoNode(m_target.node, &port, &serial))
        return refused(tr("the USB port of %1 is not known").arg(m_target.node));
    m_target.port = port;
    m_target.serial = serial;
    // A camera already waiting in an update state is somebody else's rescue.
    for (const UpdateDriveInfo &other : listUpdateDrives(manufacturerCode))
        qWarning().noquote() << "camera on USB port" << other.port << "is in its" << updateStateName(other.state)
                             << "state; it is left as it is";
    if (m_safeStop || !running.isRunning())
        return stopped();
    if (!extensionUnit)
        return failed();
    const SleepInhibitor awake(tr("Firmware upgrade of a camera"));
    if (!extensionUnit->EnterUpgradeMode())
        return failed();
    m_touched = true;
    qInfo() << "Enter the normal state of the camera upgrade process.";
    if (!waitForDrive())
        return notFound();
    if (deviceState == StateUBoot)
        return runUpdateScript();
    qCritical().noquote() << tr("Invalid device state %1.").arg(deviceState);
    return failed();
}

bool UpgradeThread::waitForDrive()
{
    for (int search = 0; search < kDriveSearches; ++search) {
        if (!running.sleep(m_driveSearchIntervalMs))
            return false;
        if (findUpdateDrive(manufacturerCode, &deviceState, m_target.port) >= 0)
            return true;
    }
    return false;
}

UpgradeThread::Report UpgradeThread::runUpdateScript()
{
    if (runScript(workspace, "auto_update.txt") != 0)
        return stopRequested() ? stopped() : failed();
    qDebug() << "Upgrade seccess.";
    closeUpdateDrive();
    return waitForCamera();
}

UpgradeThread::Report UpgradeThread::waitForCamera()
{
    QElapsedTimer waited;
    waited.start();
    QString version;
    while (waited.elapsed() < m_returnWaitMs) {
        if (!running.sleep(kCameraSearchIntervalMs))
            return {false, 0, tr("Upgrade stopped before the camera came back.")};
        if (readCameraOnPort(m_target.port, m_target.serial, &version)) {
            qInfo().noquote() << "camera back on USB port" << m_target.port << "with firmware" << version;
            m_returnedVersion = version;
            emit cameraReturned(m_target.version, version);
            return {true, 100, tr("Upgrade done.")};
        }
    }
    return {false, 0, tr("The camera did not come back within %1 s after its upgrade; if it stays in its update state, rescue it with the same package.")
                          .arg(m_returnWaitMs / 1000)};
}
