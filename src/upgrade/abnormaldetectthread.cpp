#include "upgrade/abnormaldetectthread.h"

#include "upgrade/driveaccess.h"

#include "upgrade/updatechannel.h"

using namespace lumora::upgrade;

namespace {
constexpr int kPollIntervalMs = 1000;
constexpr int kReportPauseMs = 10000;
} // namespace

AbnormalDetectThread::AbnormalDetectThread(int manufacturerCode, QObject *parent)
    : QObject(parent), manufacturerCode(manufacturerCode)
{
    qRegisterMetaType<UpdateDriveInfo>();
}

void AbnormalDetectThread::start()
{
    running.begin();
    emit workStart();
    doWork();
}

void AbnormalDetectThread::stop() { running.stop(); }

void AbnormalDetectThread::watchProfile(int code) { manufacturerCode = code; }

void AbnormalDetectThread::doWork()
{
    while (running.isRunning()) {
        UpdateDriveInfo found;
        // An upgrade holding the channel owns the drive: skip this pass. The
        // disks are only looked at, read-only, and none is kept open.
        if (channelMutex().try_lock()) {
            const QVector<UpdateDriveInfo> drives = listUpdateDrives(manufacturerCode.load());
            channelMutex().unlock();
            for (const UpdateDriveInfo &drive : drives) {
                if (drive.state != StateNone) {
                    found = drive;
                    break;
                }
            }
        }
        deviceState = found.state;
        if (!found.node.isEmpty() && deviceState != StateNone) {
            // Told with the offer, before anything is written.
            found.accessProblem = checkDriveAccess(found).explanation(found);
            emit abnormalDriveFound(found);
            emit onDeviceAbnormal(deviceState);
            running.sleep(kReportPauseMs);
        }
        running.sleep(kPollIntervalMs);
    }
    emit workFinished();
}
