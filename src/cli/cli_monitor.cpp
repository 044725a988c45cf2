#include "cli/cli_monitor.h"
#include "cli/cli_output.h"
#include "device/cameraevents.h"
#include "platform/device_path.h"
#include "platform/kernel.h"
#include "upgrade/updatechannel.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
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

// State of each update drive by its USB port: a camera that enters upgrade
// mode comes back as a drive on its own port, so a script pairs them by port.
QMap<QString, int> driveStates(int manufacturerCode)
{
    const std::lock_guard lock(lumora::upgrade::channelMutex());
    QMap<QString, int> states;
    for (const lumora::upgrade::UpdateDriveInfo &drive : lumora::upgrade::listUpdateDrives(manufacturerCode))
        states.insert(drive.port, drive.state);
    return states;
}

void emitLine(bool json, const QString &event, const QString &detail, const QString &port = QString())
{
    if (json) {
        QJsonObject line{{QStringLiteral("event"), event}, {QStringLiteral("detail"), detail}};
        if (!port.isEmpty())
            line.insert(QStringLiteral("port"), port);
        printLine(QString::fromUtf8(QJsonDocument(line).toJson(QJsonDocument::Compact)));
    } else if (port.isEmpty()) {
        printLine(QStringLiteral("%1 %2").arg(event, detail));
    } else {
        printLine(QStringLiteral("%1 %2 (USB port %3)").arg(event, detail, port));
    }
}

void emitDriveChanges(bool json, const QMap<QString, int> &before, const QMap<QString, int> &after)
{
    for (auto it = after.begin(); it != after.end(); ++it)
        if (before.value(it.key(), lumora::upgrade::StateNone) != it.value())
            emitLine(json, QStringLiteral("update-drive"), QLatin1String(stateName(it.value())), it.key());
    for (auto it = before.begin(); it != before.end(); ++it)
        if (!after.contains(it.key()) && it.value() != lumora::upgrade::StateNone)
            emitLine(json, QStringLiteral("update-drive"), QLatin1String(stateName(lumora::upgrade::StateNone)), it.key());
}

} // namespace

int monitorCommand(const ManufacturerProfile &profile, bool json)
{
    using lumora::platform::DeviceEvent;
    std::unique_ptr<lumora::platform::DeviceMonitor> monitor = lumora::platform::kernel().createMonitor();
    if (!monitor || !monitor->start())
        return fail(ExitFailure, QStringLiteral("device events cannot be watched on this system"));

    QMap<QString, int> drives = driveStates(profile.code);
    if (drives.isEmpty())
        emitLine(json, QStringLiteral("update-drive"), QLatin1String(stateName(lumora::upgrade::StateNone)));
    else
        emitDriveChanges(json, {}, drives);
    lumora::devices::CameraEvents cameraEvents;
    QObject::connect(monitor.get(), &lumora::platform::DeviceMonitor::deviceEvent, [&](const DeviceEvent &event) {
        if (event.subsystem == QLatin1String("video4linux")) {
            // A camera has capture nodes (one per stream) and metadata nodes: report it once.
            if (!cameraEvents.announces(event))
                return;
            const QString path = lumora::platform::eventPath(event);
            if (acceptsHotplugPath(path, profile.code))
                emitLine(json, event.action == DeviceEvent::Action::Add ? QStringLiteral("camera-added") : QStringLiteral("camera-removed"), path);
        } else if (event.subsystem == QLatin1String("block")) {
            const QMap<QString, int> now = driveStates(profile.code);
            emitDriveChanges(json, drives, now);
            drives = now;
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
