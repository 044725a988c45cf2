#pragma once
// Carries out one firmware upgrade on a worker thread: brings the chosen
// camera into its u-Boot update state (from a working camera, or from
// whichever update state an interrupted upgrade left it in), runs the
// package's update script, waits for the camera to come back, and ends with
// exactly one onUpgradeReport.
//
// Nothing is written before the whole script has been read and found usable
// for the camera's state, and only the drive on the chosen camera's USB port
// is ever written to.

#include "upgrade/runflag.h"
#include "upgrade/upgradetarget.h"

#include <QObject>
#include <QString>

#include <atomic>

class UVCExtensionUnit;

class UpgradeThread : public QObject {
    Q_OBJECT
public:
    static constexpr int kReturnWaitMs = 60000;
    static constexpr int kDriveSearchIntervalMs = 500;

    // `workspace` holds the unpacked package; `extensionUnit` may be null.
    UpgradeThread(int manufacturerCode, bool cameraOpened, UVCExtensionUnit *extensionUnit,
                  QString workspace, QObject *parent = nullptr);

    // Before the thread starts. A working camera is upgraded only with a
    // target naming its node or port; a rescue takes the drive on the target's
    // port, or the only drive there is when no port is given.
    void setTarget(const lumora::upgrade::UpgradeTarget &target) { m_target = target; }
    // The package's model, checked against a rescued drive's family; a drive
    // that does not tell its family is flashed only when `confirmed`.
    void setPackageModel(int model, bool confirmed)
    {
        m_packageModel = model;
        m_familyConfirmed = confirmed;
    }
    void setReturnWaitMs(int ms) { m_returnWaitMs = ms; }
    // The pause between two of the searches for the update drive after the
    // switch; their number stays, so the whole wait scales with it.
    void setDriveSearchIntervalMs(int ms) { m_driveSearchIntervalMs = ms; }
    // Thread-safe: ends the run at the next point where the camera is as it
    // was, or, once it is in its update state, when the upgrade has finished.
    void stopAtSafePoint() { m_safeStop = true; }

Q_SIGNALS:
    void workFinished();
    void workStart();
    void onUpgradeReport(bool success, int progress, QString message);
    // Bytes the camera has taken so far, of all the run sends.
    void onUpgradeProgress(qint64 sent, qint64 total);
    // The camera is back as a video device, with these versions before and after.
    void cameraReturned(QString before, QString after);
    // Emitted before a failure report when the camera may be left in its update state.
    void cameraLeftInUpdateState();

public Q_SLOTS:
    void start();
    void doWork();
    // Ends the run at once (between two transfers), whatever state the camera is left in.
    void stop();

private:
    struct Report {
        bool success;
        int progress;
        QString message;
    };
    Report run();
    Report rescue();
    Report fromWorkingCamera();
    Report runUpdateScript();
    // Up to 41 searches 500 ms apart on the target's port; false when stopped or none was found.
    bool waitForDrive();
    Report waitForCamera();
    // Why the package cannot go to a camera in `state`; empty when it can.
    QString packageProblem(int state) const;
    static Report failed();
    static Report refused(const QString &why);
    Report stopped() const;
    // The drive never came; a stopped run is a plain failure.
    Report notFound() const;

    lumora::upgrade::RunFlag running;
    const int manufacturerCode;
    const bool cameraOpened;
    UVCExtensionUnit *const extensionUnit;
    const QString workspace;
    int deviceState = 3;
    lumora::upgrade::UpgradeTarget m_target;
    int m_packageModel = -1;
    bool m_familyConfirmed = false;
    int m_returnWaitMs = kReturnWaitMs;
    int m_driveSearchIntervalMs = kDriveSearchIntervalMs;
    std::atomic<bool> m_safeStop{false};
    bool m_touched = false;    // the camera has left its working state in this run
    QString m_returnedVersion; // the firmware the camera came back with
    qint64 m_total = 0;
    qint64 m_sent = 0;
};
