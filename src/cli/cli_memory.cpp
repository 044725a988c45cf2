#include "cli/cli_memory.h"

#include "cli/cli_monitor.h"
#include "cli/cli_output.h"
#include "device/cameraevents.h"
#include "platform/device_path.h"
#include "platform/kernel.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QTimer>

#include <linux/videodev2.h>

#include <algorithm>

using namespace lumora::camera;

namespace {

// A camera's node can answer a moment after its event; the watch tries a few times.
constexpr int kArrivalDelayMs = 300;
constexpr int kArrivalTries = 5;

QJsonArray restoredJson(const QVector<RestoredValue> &restored)
{
    QJsonArray out;
    for (const RestoredValue &r : restored)
        out.append(QJsonObject{{QStringLiteral("control"), r.name}, {QStringLiteral("before"), r.before},
                               {QStringLiteral("wanted"), r.wanted}, {QStringLiteral("after"), r.after},
                               {QStringLiteral("taken"), r.taken}});
    return out;
}

// Restores the open camera's memory and prints it; false when a value was not taken.
bool restoreAndReport(CameraSession &session, bool json)
{
    Camera &camera = session.camera();
    const QString node = session.listed().node;
    const bool enabled = camera.memory().restoreEnabled();
    const bool remembered = !camera.memory().values().isEmpty();
    const QVector<RestoredValue> restored = camera.restoreMemory();
    bool allTaken = true;
    for (const RestoredValue &r : restored)
        allTaken = allTaken && r.taken;
    if (json) {
        printJson({{QStringLiteral("node"), node},
                   {QStringLiteral("memory"), camera.memory().path()},
                   {QStringLiteral("restore"), enabled},
                   {QStringLiteral("restored"), restoredJson(restored)}});
        return allTaken;
    }
    if (!remembered)
        printLine(QStringLiteral("%1: nothing remembered for this camera").arg(node));
    else if (!enabled)
        printLine(QStringLiteral("%1: restoring is turned off for this camera").arg(node));
    else if (restored.isEmpty())
        printLine(QStringLiteral("%1: the camera already has its remembered values").arg(node));
    for (const RestoredValue &r : restored) {
        printLine(r.taken ? QStringLiteral("%1: restored %2 %3 -> %4").arg(node, r.name).arg(r.before).arg(r.after)
                          : QStringLiteral("%1: %2 not taken (wanted %3, reads %4)").arg(node, r.name).arg(r.wanted).arg(r.after));
    }
    return allTaken;
}

QJsonObject presetJson(const Preset &preset)
{
    QJsonObject values;
    for (auto it = preset.values.begin(); it != preset.values.end(); ++it)
        values.insert(it.key(), it.value());
    return {{QStringLiteral("name"), preset.name}, {QStringLiteral("slot"), preset.slot}, {QStringLiteral("values"), values}};
}

QString presetLine(const Preset &preset)
{
    QStringList parts;
    for (const char *key : {"pan", "tilt", "zoom", "focus", "focusAuto"})
        if (preset.values.contains(QLatin1String(key)))
            parts << QStringLiteral("%1 %2").arg(QLatin1String(key)).arg(preset.values.value(QLatin1String(key)));
    return QStringLiteral("%1  %2  %3")
        .arg(preset.slot > 0 ? QString::number(preset.slot) : QStringLiteral("-"), preset.name, parts.join(QStringLiteral(", ")));
}

// The preset a name or a slot number (1-9) names.
const Preset *findPreset(const CameraMemory &memory, const QString &name)
{
    if (const Preset *p = memory.preset(name))
        return p;
    bool isNumber = false;
    const int slot = name.toInt(&isNumber);
    return isNumber ? memory.presetInSlot(slot) : nullptr;
}

QJsonObject controlJson(const V4l2Control &c)
{
    QJsonObject o{{QStringLiteral("name"), c.name},
                  {QStringLiteral("label"), c.label},
                  {QStringLiteral("id"), QStringLiteral("0x%1").arg(c.id, 8, 16, QLatin1Char('0'))},
                  {QStringLiteral("type"), typeName(c.type)},
                  {QStringLiteral("min"), double(c.minimum)},
                  {QStringLiteral("max"), double(c.maximum)},
                  {QStringLiteral("step"), double(c.step)},
                  {QStringLiteral("default"), double(c.defaultValue)},
                  {QStringLiteral("flags"), QJsonArray::fromStringList(flagNames(c.flags))}};
    if (c.hasValue)
        o.insert(QStringLiteral("value"), c.value);
    if (c.isMenu()) {
        QJsonArray menu;
        for (const MenuEntry &item : c.menu)
            menu.append(QJsonObject{{QStringLiteral("index"), item.index}, {QStringLiteral("name"), item.name}});
        o.insert(QStringLiteral("menu"), menu);
    }
    return o;
}

void reportControl(const V4l2Control &c, int value, bool json)
{
    if (json)
        printJson({{QStringLiteral("control"), c.name}, {QStringLiteral("value"), value},
                   {QStringLiteral("text"), controlValueText(c, value)}});
    else
        printLine(QStringLiteral("%1: %2").arg(c.name, controlValueText(c, value)));
}

const V4l2Control *lookUp(const QVector<V4l2Control> &controls, const QString &name, const char *command, QString *error)
{
    const V4l2Control *c = findControl(controls, name);
    if (!c)
        *error = QStringLiteral("unknown feature \"%1\"; `lumora-cli %2 --help` lists them").arg(name, QLatin1String(command));
    return c;
}

} // namespace

int restoreCommand(CameraSession &session, bool json)
{
    return restoreAndReport(session, json) ? ExitOk : fail(ExitFailure, QStringLiteral("the camera did not take every remembered value"));
}

int restoreSwitchCommand(CameraSession &session, bool on, bool json)
{
    CameraMemory &memory = session.camera().memory();
    if (!memory.loaded())
        return fail(ExitFailure, QStringLiteral("%1 has neither a serial number nor a USB port to remember settings by").arg(session.listed().node));
    memory.setRestoreEnabled(on);
    if (!memory.flush())
        return fail(ExitFailure, QStringLiteral("cannot write %1").arg(memory.path()));
    if (json)
        printJson({{QStringLiteral("node"), session.listed().node}, {QStringLiteral("memory"), memory.path()},
                   {QStringLiteral("restore"), on}});
    else
        printLine(QStringLiteral("%1: remembered settings are %2 applied when the camera is connected")
                      .arg(session.listed().node, on ? QStringLiteral("now") : QStringLiteral("no longer")));
    return ExitOk;
}

int restoreWatchCommand(const ManufacturerProfile &profile, bool json)
{
    using lumora::platform::DeviceEvent;
    std::unique_ptr<lumora::platform::DeviceMonitor> monitor = lumora::platform::kernel().createMonitor();
    if (!monitor || !monitor->start())
        return fail(ExitFailure, QStringLiteral("device events cannot be watched on this system"));

    // One attempt on the camera that arrived (named by its USB interface: the
    // node that announced it may be another of its capture nodes than the
    // listed one); true when it is done with (restored, or not one of ours).
    using lumora::devices::CameraEvents;
    const auto restoreCamera = [profile, json](const QString &arrived) {
        const QVector<ListedCamera> cameras = listCameras(profile.code);
        const auto listed = std::find_if(cameras.begin(), cameras.end(), [&](const ListedCamera &camera) {
            return CameraEvents::cameraOfNode(camera.node) == arrived;
        });
        if (listed == cameras.end())
            return false;
        CameraSession session(profile);
        if (session.open(listed->node) != ExitOk)
            return false;
        restoreAndReport(session, json);
        return true;
    };
    std::function<void(QString, int)> attempt = [&](const QString &arrived, int triesLeft) {
        if (restoreCamera(arrived) || triesLeft <= 1)
            return;
        QTimer::singleShot(kArrivalDelayMs, qApp, [&attempt, arrived, triesLeft] { attempt(arrived, triesLeft - 1); });
    };
    lumora::devices::CameraEvents cameraEvents;
    QObject::connect(monitor.get(), &lumora::platform::DeviceMonitor::deviceEvent, qApp, [&](const DeviceEvent &event) {
        // Removals too, so the camera's next arrival counts again.
        if (!cameraEvents.announces(event) || event.action != DeviceEvent::Action::Add)
            return;
        if (!acceptsHotplugPath(lumora::platform::eventPath(event), profile.code))
            return;
        const QString arrived = CameraEvents::cameraOf(event);
        QTimer::singleShot(kArrivalDelayMs, qApp, [&attempt, arrived] { attempt(arrived, kArrivalTries); });
    });
    // The cameras already here (start at login, or after a restart of the service),
    // and again after a suspend: a camera that stayed connected may have lost its values.
    const auto restorePresent = [profile, json] {
        for (const ListedCamera &camera : listCameras(profile.code)) {
            CameraSession session(profile);
            if (session.open(camera.node) == ExitOk && !session.camera().memory().values().isEmpty())
                restoreAndReport(session, json);
        }
    };
    const std::unique_ptr<ResumeSource> resume = systemResumeSource();
    QObject::connect(resume.get(), &ResumeSource::resumed, qApp, restorePresent);
    restorePresent();
    if (!json)
        printLine(QStringLiteral("watching for cameras; stop with Ctrl-C"));
    return runUntilSignalled();
}

int presetCommand(CameraSession &session, const QStringList &arguments, bool json, int slot)
{
    Camera &camera = session.camera();
    CameraMemory &memory = camera.memory();
    const QString action = arguments.value(0).toLower();
    const QString name = arguments.mid(1).join(QLatin1Char(' ')).trimmed();
    const bool needsName = action != QLatin1String("list");
    if (action.isEmpty() || (needsName && name.isEmpty()) || (!needsName && arguments.size() > 1))
        return fail(ExitUsage, QStringLiteral("usage: lumora-cli preset list|save NAME|recall NAME|delete NAME [-c CAMERA]"));
    if (!memory.loaded())
        return fail(ExitFailure, QStringLiteral("%1 has neither a serial number nor a USB port to keep presets by").arg(session.listed().node));
    if (action == QLatin1String("list")) {
        QJsonArray list;
        for (const Preset &p : memory.presets()) {
            list.append(presetJson(p));
            if (!json)
                printLine(presetLine(p));
        }
        if (json)
            printJson({{QStringLiteral("presets"), list}});
        else if (list.isEmpty())
            printLine(QStringLiteral("no presets for this camera"));
        return ExitOk;
    }
    if (action == QLatin1String("delete")) {
        const Preset *p = findPreset(memory, name);
        if (!p)
            return fail(ExitFailure, QStringLiteral("there is no preset \"%1\"").arg(name));
        const QString removed = p->name;
        memory.removePreset(removed);
        if (!memory.flush())
            return fail(ExitFailure, QStringLiteral("cannot write %1").arg(memory.path()));
        printLine(QStringLiteral("deleted preset %1").arg(removed));
        return ExitOk;
    }
    if (camera.availability(Feature::Pan) != Availability::Available)
        return fail(ExitFailure, QStringLiteral("presets hold pan, tilt and zoom, which the %1 cannot adjust")
                                     .arg(shortDeviceName(session.info().friendlyName)));
    if (action == QLatin1String("save")) {
        const Preset saved = camera.savePreset(name, slot);
        if (!memory.flush())
            return fail(ExitFailure, QStringLiteral("cannot write %1").arg(memory.path()));
        if (json)
            printJson(presetJson(saved));
        else
            printLine(QStringLiteral("saved %1").arg(presetLine(saved)));
        return ExitOk;
    }
    if (action == QLatin1String("recall")) {
        const Preset *p = findPreset(memory, name);
        if (!p)
            return fail(ExitFailure, QStringLiteral("there is no preset \"%1\"").arg(name));
        const Preset preset = *p;
        const bool taken = camera.recallPreset(preset);
        if (json)
            printJson(presetJson(preset));
        else
            printLine(QStringLiteral("recalled %1").arg(presetLine(preset)));
        return taken ? ExitOk : session.present() ? fail(ExitFailure, QStringLiteral("the camera did not take every value of the preset"))
                                                  : fail(ExitNoCamera, QStringLiteral("the camera was unplugged"));
    }
    return fail(ExitUsage, QStringLiteral("preset takes list, save, recall or delete, not \"%1\"").arg(arguments.value(0)));
}

int controlsCommand(CameraSession &session, bool json)
{
    const QVector<V4l2Control> controls = session.camera().controls();
    if (controls.isEmpty())
        return fail(ExitFailure, QStringLiteral("%1 reports no controls").arg(session.listed().node));
    QJsonArray list;
    for (const V4l2Control &c : controls) {
        list.append(controlJson(c));
        if (json)
            continue;
        QString line = QStringLiteral("%1 0x%2 (%3) : min=%4 max=%5 step=%6 default=%7")
                           .arg(c.name, 30)
                           .arg(c.id, 8, 16, QLatin1Char('0'))
                           .arg(typeName(c.type))
                           .arg(c.minimum)
                           .arg(c.maximum)
                           .arg(c.step)
                           .arg(c.defaultValue);
        if (c.hasValue)
            line += QStringLiteral(" value=%1").arg(c.value);
        if (c.hasValue && c.isMenu())
            line += QStringLiteral(" (%1)").arg(controlValueText(c, c.value));
        const QStringList flags = flagNames(c.flags);
        if (!flags.isEmpty())
            line += QStringLiteral(" flags=%1").arg(flags.join(QLatin1Char(',')));
        printLine(line);
        for (const MenuEntry &item : c.menu)
            printLine(QStringLiteral("%1%2: %3").arg(QString(34, QLatin1Char(' '))).arg(item.index).arg(item.name));
    }
    if (json)
        printJson({{QStringLiteral("node"), session.listed().node}, {QStringLiteral("controls"), list}});
    return ExitOk;
}

int getControlCommand(CameraSession &session, const QString &name, bool json)
{
    const QVector<V4l2Control> controls = session.camera().controls();
    QString error;
    const V4l2Control *c = lookUp(controls, name, "get", &error);
    if (!c)
        return fail(ExitUsage, error);
    if (!c->hasValue)
        return session.present() ? fail(ExitFailure, QStringLiteral("the camera did not report %1").arg(c->name))
                                 : fail(ExitNoCamera, QStringLiteral("the camera was unplugged"));
    reportControl(*c, c->value, json);
    return ExitOk;
}

int setControlCommand(CameraSession &session, const QString &name, const QString &value, bool json)
{
    Camera &camera = session.camera();
    const QVector<V4l2Control> controls = camera.controls();
    QString error;
    const V4l2Control *c = lookUp(controls, name, "set", &error);
    if (!c)
        return fail(ExitUsage, error);
    int wanted = 0;
    if (!parseControlValue(*c, value, &wanted)) {
        QStringList items;
        for (const MenuEntry &item : c->menu)
            items << QStringLiteral("%1 (%2)").arg(item.index).arg(item.name);
        const QString takes = c->isMenu() ? items.join(QStringLiteral(", "))
                                          : c->isBoolean() ? QStringLiteral("0, 1, on or off")
                                                           : QStringLiteral("%1 to %2").arg(c->minimum).arg(c->maximum);
        return fail(ExitOutOfRange, QStringLiteral("%1 takes %2, not \"%3\"").arg(c->name, takes, value));
    }
    if (c->flags & V4L2_CTRL_FLAG_READ_ONLY)
        return fail(ExitFailure, QStringLiteral("%1 is read-only").arg(c->name));
    const SetResult result = camera.setV4l2(*c, wanted);
    if (!result.attempted) {
        const AutoMode mode = autoModeOf(c->id);
        return fail(ExitFailure, QStringLiteral("%1 follows %2 now; set %2 to manual first").arg(c->name, controlName(mode.id)));
    }
    if (!result.sent)
        return session.present() ? fail(ExitFailure, QStringLiteral("the camera did not take %1 %2").arg(c->name, value))
                                 : fail(ExitNoCamera, QStringLiteral("the camera was unplugged"));
    reportControl(*c, result.value, json);
    return result.value == wanted ? ExitOk
                                  : fail(ExitFailure, QStringLiteral("the camera kept %1 at %2").arg(c->name, controlValueText(*c, result.value)));
}
