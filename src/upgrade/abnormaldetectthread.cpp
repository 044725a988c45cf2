#include "upgrade/abnormaldetectthread.h"

#include "upgrade/updatechannel.h"

using namespace lumora::upgrade;

namespace {
constexpr int kPollIntervalMs = 1000;
constexpr int kReportPauseMs = 10000;
} // namespace

AbnormalDetectThread::AbnormalDetectThread(int manufacturerCode, QObject *parent)
    : QObject(parent), manufacturerCode(manufacturerCode)
{
}

void AbnormalDetectThread::start()
{
    running.begin();
    emit workStart();
    doWork();
}

void AbnormalDetectThread::stop() { running.stop(); }

void AbnormalDetectThread::doWork()
{
    while (running.isRunning()) {
        bool found = false;
        // An upgrade holding the channel owns the drive: skip this pass.
        if (channelMutex().try_lock()) {
            found = findUpdateDrive(manufacturerCode, &deviceState) >= 0;
            channelMutex().unlock();
        }
        if (found && deviceState != StateNone) {
            emit onDeviceAbnormal(deviceState);
            running.sleep(kReportPauseMs);
        }
        running.sleep(kPollIntervalMs);
    }
    emit workFinished();
}
