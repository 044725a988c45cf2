#pragma once
// Carries out one firmware upgrade on a worker thread: brings the camera into
// its u-Boot update state (from a working camera, or from whichever update
// state an interrupted upgrade left it in), runs the package's update script
// and ends with exactly one onUpgradeReport.

#include "upgrade/runflag.h"

#include <QObject>
#include <QString>

class UVCExtensionUnit;

class UpgradeThread : public QObject {
    Q_OBJECT
public:
    // `workspace` holds the unpacked package; `extensionUnit` may be null.
    UpgradeThread(int manufacturerCode, bool cameraOpened, UVCExtensionUnit *extensionUnit,
                  QString workspace, QObject *parent = nullptr);

Q_SIGNALS:
    void workFinished();
    void workStart();
    void onUpgradeReport(bool success, int progress, QString message);

public Q_SLOTS:
    void start();
    void doWork();
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
    // Up to 41 searches 500 ms apart; false when stopped or none was found.
    bool waitForDrive();
    static Report failed();
    // The drive never came; a stopped run is a plain failure.
    Report notFound() const;

    lumora::upgrade::RunFlag running;
    const int manufacturerCode;
    const bool cameraOpened;
    UVCExtensionUnit *const extensionUnit;
    const QString workspace;
    int deviceState = 3;
};
