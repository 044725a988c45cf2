#pragma once
// Watches, for the life of the main window, for a camera that an interrupted
// upgrade left behind as an update drive, and reports its state.

#include "upgrade/runflag.h"
#include "upgrade/updatechannel.h"

#include <QObject>

#include <atomic>

Q_DECLARE_METATYPE(lumora::upgrade::UpdateDriveInfo)

class AbnormalDetectThread : public QObject {
    Q_OBJECT
public:
    explicit AbnormalDetectThread(int manufacturerCode, QObject *parent = nullptr);

Q_SIGNALS:
    void workFinished();
    void workStart();
    void onDeviceAbnormal(int state);
    // The drive behind the next onDeviceAbnormal, emitted just before it.
    void abnormalDriveFound(lumora::upgrade::UpdateDriveInfo drive);

public:
    // The profile whose update drives it looks for, from now on; any thread.
    void watchProfile(int manufacturerCode);

public Q_SLOTS:
    void start();
    void doWork();
    void stop();

private:
    lumora::upgrade::RunFlag running;
    std::atomic<int> manufacturerCode;
    int deviceState = 3;
};
