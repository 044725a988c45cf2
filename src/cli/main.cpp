// lumora-cli: the app's camera control, upgrade and monitoring for scripts.

#include "cli/cli_doctor.h"
#include "cli/cli_features.h"
#include "cli/cli_memory.h"
#include "cli/cli_metrics.h"
#include "cli/cli_snapshot.h"
#include "cli/cli_monitor.h"
#include "cli/cli_output.h"
#include "cli/cli_session.h"
#include "cli/cli_upgrade.h"
#include "core/log.h"
#include "platform/kernel.h"
#include "sim/kernel_from_environment.h"
#include "upgrade/updatechannel.h"
#include "upgrade/upgradetarget.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QRegularExpression>
#include <QTextStream>

#include <climits>

#include <unistd.h>

namespace {

struct Command {
    const char *name;
    const char *usage;
    const char *summary;
    int arguments; // positional arguments after the command; -1: the command checks them
};

const Command kCommands[] = {
    {"list", "list [--json]", "the supported cameras of both profiles and any update drive", 0},
    {"info", "info [-c CAMERA] [--json]", "model, firmware, vendor features and standard controls", 0},
    {"get", "get FEATURE|CONTROL [-c CAMERA] [--json]", "one feature's or V4L2 control's value", 1},
    {"set", "set FEATURE|CONTROL VALUE [-c CAMERA] [--json]", "sets a feature or V4L2 control and reports what the camera took", 2},
    {"controls", "controls [-c CAMERA] [--json]", "every control the camera's video node reports, with menus", 0},
    {"restore", "restore [on|off] [-c CAMERA] [--watch] [--json]",
     "applies the remembered settings (--watch: to each camera as it arrives; on|off: whether they are applied when it arrives)", -1},
    {"preset", "preset list|save NAME [--slot N]|recall NAME|delete NAME [-c CAMERA] [--json]", "named pan, tilt and zoom positions", -1},
    {"snapshot", "snapshot [FILE] [-c CAMERA]", "saves one frame at full resolution (PNG or JPEG by extension)", -1},
    {"reset-defaults", "reset-defaults [-c CAMERA] [--yes]", "factory reset of the camera", 0},
    {"check-package", "check-package FILE.zip [-c N] [--json]", "unpacks and checks a firmware package (against camera N with -c)", 1},
    {"upgrade", "upgrade FILE.zip [-c N] [--wait SECONDS] [--json]",
     "upgrades a camera's firmware (--wait: how long the camera may take to come back, 60 by default)", 1},
    {"rescue", "rescue FILE.zip [--force] [--wait SECONDS] [--json]",
     "upgrades a camera left in an update state (--force: one that does not tell its model)", 1},
    {"monitor", "monitor [--json]", "prints camera and update-drive events until interrupted", 0},
    {"doctor", "doctor [--json]", "checks what this machine lets you do with each camera and update drive", 0},
    {"metrics", "metrics", "cameras, update drives, readiness and the last upgrade for Prometheus (textfile collector)", 0},
};

struct Options {
    QString command;
    QStringList arguments;
    QString camera; // empty: not given
    int profile = -1;
    bool json = false;
    bool yes = false;
    bool force = false;
    int waitSeconds = 0; // 0: the upgrade's own wait
    bool watch = false;
    bool help = false;
    bool version = false;
    int slot = 0; // preset save --slot; 0: the lowest free one
};

constexpr char kVersion[] = "1.0.4";

const Command *findCommand(const QString &name)
{
    for (const Command &command : kCommands) {
        if (name.compare(QLatin1String(command.name), Qt::CaseInsensitive) == 0)
            return &command;
    }
    return nullptr;
}

QString usage(const Command *command)
{
    if (command) {
        QString text = QStringLiteral("usage: lumora-cli %1\n  %2\n").arg(command->usage, command->summary);
        if (QLatin1String(command->name) == QLatin1String("get") || QLatin1String(command->name) == QLatin1String("set")) {
            text += QStringLiteral("features:\n");
            for (const QString &name : featureNames())
                text += QStringLiteral("  %1 (%2)\n").arg(name, featureValues(name));
            text += QStringLiteral("and every control `lumora-cli controls` lists, by its name (auto_exposure, gain, ...)\n");
        }
        return text + QStringLiteral("  -c CAMERA: an index of `lumora-cli list` (default 0), a serial, /dev/videoN or a "
                                     "/dev/v4l/by-id path; --profile N overrides product.ini; -- ends the options, "
                                     "so negative values may follow it.");
    }
    QString text = QStringLiteral("usage: lumora-cli [--profile N] COMMAND [options]\ncommands:\n");
    for (const Command &each : kCommands)
        text += QStringLiteral("  %1  %2\n").arg(QString::fromLatin1(each.name), -15).arg(each.summary);
    return text + QStringLiteral("`lumora-cli COMMAND --help` tells more.");
}

// False with a message on a malformed command line.
bool parse(const QStringList &args, Options *options, QString *error)
{
    // A negative number is a value, not an option.
    static const QRegularExpression negative(QStringLiteral("^-\\d+$"));
    bool optionsEnded = false;
    for (int i = 0; i < args.size(); ++i) {
        const QString &arg = args.at(i);
        const auto next = [&](QString *target) {
            if (i + 1 >= args.size()) {
                *error = QStringLiteral("%1 needs a value").arg(arg);
                return false;
            }
            *target = args.at(++i);
            return true;
        };
        // The option's value, a whole number from `low` to `high`.
        const auto nextNumber = [&](int *target, int low, int high, const QString &what) {
            QString value;
            if (!next(&value))
                return false;
            bool ok = false;
            *target = value.toInt(&ok);
            if (!ok || *target < low || *target > high) {
                *error = QStringLiteral("%1 takes %2, not \"%3\"").arg(arg, what, value);
                return false;
            }
            return true;
        };
        if (optionsEnded || negative.match(arg).hasMatch() || !arg.startsWith(QLatin1Char('-')) || arg.size() == 1) {
            if (options->command.isEmpty())
                options->command = arg;
            else
                options->arguments << arg;
        } else if (arg == QLatin1String("--")) {
            optionsEnded = true;
        } else if (arg == QLatin1String("--json")) {
            options->json = true;
        } else if (arg == QLatin1String("--yes")) {
            options->yes = true;
        } else if (arg == QLatin1String("--force")) {
            options->force = true;
        } else if (arg == QLatin1String("--watch")) {
            options->watch = true;
        } else if (arg == QLatin1String("--help") || arg == QLatin1String("-h")) {
            options->help = true;
        } else if (arg == QLatin1String("--version") || arg == QLatin1String("-V")) {
            options->version = true;
        } else if (arg == QLatin1String("-c") || arg == QLatin1String("--camera")) {
            if (!next(&options->camera))
                return false;
            if (!validSelector(options->camera)) {
                *error = QStringLiteral("-c takes a camera index from 0, a serial, /dev/videoN or a /dev/v4l/by-id path, "
                                        "not \"%1\"").arg(options->camera);
                return false;
            }
        } else if (arg == QLatin1String("--slot")) {
            if (!nextNumber(&options->slot, 1, 9, QStringLiteral("a preset slot from 1 to 9")))
                return false;
        } else if (arg == QLatin1String("--wait")) {
            if (!nextNumber(&options->waitSeconds, 1, 3600, QStringLiteral("seconds from 1 to 3600")))
                return false;
        } else if (arg == QLatin1String("--profile")) {
            if (!nextNumber(&options->profile, 0, INT_MAX, QStringLiteral("a profile number (0 or 1)")))
                return false;
        } else {
            *error = QStringLiteral("unknown option %1; `lumora-cli --help` lists them").arg(arg);
            return false;
        }
    }
    return true;
}

// One line per update drive; `json` gets the list.
QStringList updateDriveLines(int manufacturerCode, QJsonArray *json)
{
    QStringList lines;
    for (const lumora::upgrade::UpdateDriveInfo &drive : lumora::upgrade::listUpdateDrives(manufacturerCode)) {
        const QString stateName = drive.state == lumora::upgrade::StateNone ? QStringLiteral("none")
                                                                            : lumora::upgrade::updateStateName(drive.state);
        json->append(QJsonObject{{QStringLiteral("node"), drive.node}, {QStringLiteral("state"), stateName},
                                 {QStringLiteral("port"), drive.port}});
        lines << QStringLiteral("update drive %1: %2 (USB port %3)").arg(drive.node, stateName, drive.port);
    }
    return lines;
}

QJsonObject cameraJson(const ListedCamera &camera, int index)
{
    return {{QStringLiteral("index"), index},
            {QStringLiteral("profile"), camera.profile},
            {QStringLiteral("name"), shortDeviceName(camera.info.friendlyName)},
            {QStringLiteral("model"), modelDisplayName(camera.model)},
            {QStringLiteral("modelIndex"), camera.model},
            {QStringLiteral("serial"), camera.serial},
            {QStringLiteral("node"), camera.node},
            {QStringLiteral("port"), camera.port},
            {QStringLiteral("firmware"), camera.firmware},
            {QStringLiteral("pathId"), camera.info.pathId},
            {QStringLiteral("devicePath"), camera.devicePath}};
}

QString cameraLine(const ListedCamera &camera, const QString &index)
{
    return QStringLiteral("%1  %2  profile %3  model %4  serial %5  %6  usb %7  firmware %8")
        .arg(index, shortDeviceName(camera.info.friendlyName))
        .arg(camera.profile)
        .arg(modelDisplayName(camera.model),
             camera.serial.isEmpty() ? QStringLiteral("none") : camera.serial, camera.node,
             camera.port.isEmpty() ? QStringLiteral("-") : camera.port,
             camera.firmware.isEmpty() ? QStringLiteral("unknown") : camera.firmware);
}

int listCommand(const ManufacturerProfile &profile, bool json)
{
    QVector<ListedCamera> all = listCameras(-1);
    for (ListedCamera &camera : all)
        camera.firmware = readFirmware(camera);
    QJsonArray shown;
    QJsonArray hidden;
    QStringList hiddenLines;
    QMap<int, int> indexInProfile;
    for (const ListedCamera &camera : all) {
        const int index = indexInProfile[camera.profile]++;
        if (camera.profile == profile.code) {
            shown.append(cameraJson(camera, index));
            if (!json)
                printLine(cameraLine(camera, QString::number(index)));
        } else {
            hidden.append(cameraJson(camera, index));
            hiddenLines << QStringLiteral("  %1 on %2 (profile %3)")
                               .arg(shortDeviceName(camera.info.friendlyName), camera.node)
                               .arg(camera.profile);
        }
    }
    QJsonArray drives;
    const QStringList driveLines = updateDriveLines(profile.code, &drives);
    if (json) {
        printJson({{QStringLiteral("profile"), profile.code},
                   {QStringLiteral("cameras"), shown},
                   {QStringLiteral("otherProfiles"), hidden},
                   {QStringLiteral("updateDrive"), drives.isEmpty() ? QJsonValue() : drives.first()},
                   {QStringLiteral("updateDrives"), drives}});
        return ExitOk;
    }
    if (shown.isEmpty() && driveLines.isEmpty())
        printLine(QStringLiteral("no camera of profile %1 is connected").arg(profile.code));
    if (!hiddenLines.isEmpty()) {
        printLine(QStringLiteral("profile %1 does not show these connected cameras:").arg(profile.code));
        for (const QString &line : hiddenLines)
            printLine(line);
        printLine(QStringLiteral("`lumora-cli --profile N ...` uses them; the window shows them with "
                                 "/product_model/main=N in product.ini"));
    }
    for (const QString &line : driveLines)
        printLine(line);
    return ExitOk;
}

int resetCommand(CameraSession &session, bool yes)
{
    if (!yes) {
        if (!isatty(STDIN_FILENO))
            return fail(ExitUsage, QStringLiteral("reset-defaults asks first; pass --yes to run it without a terminal"));
        QTextStream out(resultStream());
        out << QStringLiteral("Reset camera %1 (%2, %3) to its factory defaults? [y/N] ")
                   .arg(session.index())
                   .arg(shortDeviceName(session.info().friendlyName), session.listed().node);
        out.flush();
        const QString answer = QTextStream(stdin).readLine().trimmed().toLower();
        if (answer != QLatin1String("y") && answer != QLatin1String("yes"))
            return fail(ExitFailure, QStringLiteral("reset cancelled"));
    }
    if (!session.camera().restoreDefaults())
        return session.present() ? fail(ExitFailure, QStringLiteral("the camera did not take the reset"))
                                 : fail(ExitNoCamera, QStringLiteral("the camera was unplugged"));
    printLine(QStringLiteral("camera %1 (%2) reset to its factory defaults").arg(session.index()).arg(session.listed().node));
    return ExitOk;
}

int run(const Options &options)
{
    const Command *command = findCommand(options.command);
    if (options.version) {
        printLine(QStringLiteral("lumora-cli %1").arg(QLatin1String(kVersion)));
        return ExitOk;
    }
    if (options.help) {
        printLine(usage(command));
        return ExitOk;
    }
    if (options.command.isEmpty())
        return fail(ExitUsage, QStringLiteral("no command given; `lumora-cli --help` lists them"));
    if (!command)
        return fail(ExitUsage, QStringLiteral("unknown command \"%1\"; `lumora-cli --help` lists them").arg(options.command));

    const QString name = QLatin1String(command->name);
    if (command->arguments >= 0 && options.arguments.size() != command->arguments)
        return fail(ExitUsage, usage(command));
    static const QRegularExpression onOff(QStringLiteral("^(on|off)$"), QRegularExpression::CaseInsensitiveOption);
    if (name == QLatin1String("restore")
        && (options.arguments.size() > 1 || (options.arguments.size() == 1 && (options.watch || !onOff.match(options.arguments.at(0)).hasMatch()))))
        return fail(ExitUsage, usage(command));
    if ((name == QLatin1String("preset") && options.arguments.isEmpty())
        || (name == QLatin1String("snapshot") && options.arguments.size() > 1))
        return fail(ExitUsage, usage(command));
    if (options.slot > 0 && (name != QLatin1String("preset") || options.arguments.value(0).toLower() != QLatin1String("save")))
        return fail(ExitUsage, QStringLiteral("--slot goes with preset save only"));
    if (options.watch && name != QLatin1String("restore"))
        return fail(ExitUsage, QStringLiteral("--watch goes with restore only"));
    if (options.watch && !options.camera.isEmpty())
        return fail(ExitUsage, QStringLiteral("restore --watch looks after every remembered camera; it takes no -c"));
    // A name outside the feature table may be one of the camera's V4L2 controls.
    static const QRegularExpression controlName(QStringLiteral("^[A-Za-z0-9_]+$"));
    if ((name == QLatin1String("get") || name == QLatin1String("set")) && !isFeature(options.arguments.at(0))
        && !controlName.match(options.arguments.at(0)).hasMatch())
        return fail(ExitUsage, QStringLiteral("unknown feature \"%1\"; `lumora-cli %2 --help` lists them").arg(options.arguments.at(0), name));

    const ManufacturerProfile profile = options.profile >= 0 ? manufacturerProfile(options.profile) : loadManufacturerProfile();
    if (name == QLatin1String("list"))
        return listCommand(profile, options.json);
    if (name == QLatin1String("monitor"))
        return monitorCommand(profile, options.json);
    if (name == QLatin1String("doctor"))
        return doctorCommand(profile, options.json);
    if (name == QLatin1String("metrics"))
        return metricsCommand(profile);
    if (name == QLatin1String("restore") && options.watch)
        return restoreWatchCommand(profile, options.json);
    if (name == QLatin1String("rescue"))
        return upgradeCommand(options.arguments.at(0), profile, nullptr, options.json, options.waitSeconds, options.force);

    if (name == QLatin1String("check-package") && options.camera.isEmpty())
        return checkPackageCommand(options.arguments.at(0), nullptr, options.json);

    CameraSession session(profile);
    const int opened = session.open(options.camera.isEmpty() ? QStringLiteral("0") : options.camera);
    if (opened != ExitOk)
        return opened;
    if (name == QLatin1String("info"))
        return infoCommand(session, options.json);
    if (name == QLatin1String("get"))
        return isFeature(options.arguments.at(0)) ? getCommand(session, options.arguments.at(0), options.json)
                                                  : getControlCommand(session, options.arguments.at(0), options.json);
    if (name == QLatin1String("set"))
        return isFeature(options.arguments.at(0))
                   ? setCommand(session, options.arguments.at(0), options.arguments.at(1), options.json)
                   : setControlCommand(session, options.arguments.at(0), options.arguments.at(1), options.json);
    if (name == QLatin1String("controls"))
        return controlsCommand(session, options.json);
    if (name == QLatin1String("restore") && !options.arguments.isEmpty())
        return restoreSwitchCommand(session, options.arguments.at(0).toLower() == QLatin1String("on"), options.json);
    if (name == QLatin1String("restore"))
        return restoreCommand(session, options.json);
    if (name == QLatin1String("preset"))
        return presetCommand(session, options.arguments, options.json, options.slot);
    if (name == QLatin1String("snapshot"))
        return snapshotCommand(session, options.arguments.value(0), options.json);
    if (name == QLatin1String("reset-defaults"))
        return resetCommand(session, options.yes);
    if (name == QLatin1String("check-package"))
        return checkPackageCommand(options.arguments.at(0), &session, options.json);
    return upgradeCommand(options.arguments.at(0), profile, &session, options.json, options.waitSeconds);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    lumora::platform::installKernel(lumora::sim::kernelFromEnvironment());
    claimStandardOutput();
    startLogging(false);
    Options options;
    QString error;
    if (!parse(app.arguments().mid(1), &options, &error))
        return fail(ExitUsage, error);
    return run(options);
}
