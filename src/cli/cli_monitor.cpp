#include "cli/cli_monitor.h"
#include "cli/cli_output.h"
#include "platform/device_path.h"
#include "platform/kernel.h"
#include "upgrade/updatechannel.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSocketNotifier>

#include <csignal>
#include <mutex>
#include <unistd.h>

namespace {

int g_signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(g_signalPipe[1], &byte, 1);
}

const char *stateName(int state)
{
    static const char *const names[] = {"ROM", "Updater", "u-Boot", "none"};
    return state >= 0 && state <= 3 ? names[state] : "none";
}

int currentDriveState(int manufacturerCode)
{
    const std::lock_guard lock(lumora::upgrade::channelMutex());
    int state = lumora::upgrade::StateNone;
    lumora::upgrade::findUpdateDrive(manufacturerCode, &state);
    lumora::upgrade::closeUpdateDrive();
    return state;
}

void emitLine(bool json, const QString &event, const QString &detail)
{
    if (json)
        printLine(QString::fromUtf8(QJsonDocument(QJsonObject{{QStringLiteral("event"), event}, {QStringLiteral("detail"), detail}})
                                        .toJson(QJsonDocument::Compact)));
    else
        printLine(QStringLiteral("%1 %2").arg(event, detail));
}

} // namespace

int monitorCommand(const ManufacturerProfile &profile, bool json)
{
    using lumora::platform::DeviceEvent;
    std::unique_ptr<lumora::platform::DeviceMonitor> monitor = lumora::platform::kernel().createMonitor();
    if (!monitor || !monitor->start())
        return fail(ExitFailure, QStringLiteral("device events cannot be watched on this system"));

    int driveState = currentDriveState(profile.code);
    emitLine(json, QStringLiteral("update-drive"), QLatin1String(stateName(driveState)));
    QObject::connect(monitor.get(), &lumora::platform::DeviceMonitor::deviceEvent, [&](const DeviceEvent &event) {
        if (event.subsystem == QLatin1String("video4linux")) {
            // A camera has a capture and a metadata node: report it once.
            if (!event.properties.value(QStringLiteral("ID_V4L_CAPABILITIES")).contains(QLatin1String(":capture:")))
                return;
            const QString path = lumora::platform::eventPath(event);
            if (acceptsHotplugPath(path, profile.code))
                emitLine(json, event.action == DeviceEvent::Action::Add ? QStringLiteral("camera-added") : QStringLiteral("camera-removed"), path);
        } else if (event.subsystem == QLatin1String("block")) {
            const int state = currentDriveState(profile.code);
            if (state != driveState)
                emitLine(json, QStringLiteral("update-drive"), QLatin1String(stateName(state)));
            driveState = state;
        }
    });

    return runUntilSignalled();
}

int runUntilSignalled()
{
    // Ctrl-C and SIGTERM end the watch through the event loop, so everything closes in order.
    if (g_signalPipe[0] < 0 && ::pipe(g_signalPipe) != 0)
        return fail(ExitFailure, QStringLiteral("cannot set up the interrupt handler"));
    QSocketNotifier notifier(g_signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, qApp, &QCoreApplication::quit);
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    QCoreApplication::exec();
    return ExitOk;
}
