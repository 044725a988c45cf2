// lumora-cli: the app's camera control, upgrade and monitoring for scripts.

#include "cli/cli_doctor.h"
#include "cli/cli_features.h"
#include "cli/cli_monitor.h"
#include "cli/cli_output.h"
#include "cli/cli_session.h"
#include "cli/cli_upgrade.h"
#include "core/log.h"
#include "upgrade/updatechannel.h"
#include "upgrade/upgradetarget.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QTextStream>

#include <unistd.h>

namespace {

struct Command {
    const char *name;
    const char *usage;
    const char *summary;
    int arguments; // positional arguments after the command
};

const Command kCommands[] = {
    {"list", "list [--json]", "the profile's cameras and any update drive", 0},
    {"info", "info [-c N] [--json]", "model, firmware, vendor features and standard controls", 0},
    {"get", "get FEATURE [-c N] [--json]", "one feature's value", 1},
    {"set", "set FEATURE VALUE [-c N] [--json]", "sets a feature and reports what the camera took", 2},
    {"reset-defaults", "reset-defaults [-c N] [--yes]", "factory reset of the camera", 0},
    {"check-package", "check-package FILE.zip [-c N] [--json]", "unpacks and checks a firmware package (against camera N with -c)", 1},
    {"upgrade", "upgrade FILE.zip [-c N] [--json]", "upgrades a camera's firmware", 1},
    {"rescue", "rescue FILE.zip [--force] [--json]", "upgrades a camera left in an update state (--force: one that does not tell its model)", 1},
    {"monitor", "monitor [--json]", "prints camera and update-drive events until interrupted", 0},
    {"doctor", "doctor [--json]", "checks what this machine lets you do with each camera and update drive", 0},
};

struct Options {
    QString command;
    QStringList arguments;
    int camera = -1; // -1: not given
    int profile = -1;
    bool json = false;
    bool yes = false;
    bool force = false;
    bool help = false;
};

const Command *findCommand(const QString &name)
{
    for (const Command &command : kCommands) {
        if (name == QLatin1String(command.name))
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
        }
        return text + QStringLiteral("  -c N selects camera N of `lumora-cli list` (default 0); --profile N overrides product.ini.");
    }
    QString text = QStringLiteral("usage: lumora-cli [--profile N] COMMAND [options]\ncommands:\n");
    for (const Command &each : kCommands)
        text += QStringLiteral("  %1  %2\n").arg(QString::fromLatin1(each.name), -15).arg(each.summary);
    return text + QStringLiteral("`lumora-cli COMMAND --help` tells more.");
}

// False with a message on a malformed command line.
bool parse(const QStringList &args, Options *options, QString *error)
{
    for (int i = 0; i < args.size(); ++i) {
        const QString &arg = args.at(i);
        const auto number = [&](int *target) {
            bool ok = false;
            *target = i + 1 < args.size() ? args.at(i + 1).toInt(&ok) : 0;
            if (!ok || *target < 0)
                *error = QStringLiteral("%1 needs a number").arg(arg);
            ++i;
            return ok;
        };
        if (arg == QLatin1String("--json"))
            options->json = true;
        else if (arg == QLatin1String("--yes"))
            options->yes = true;
        else if (arg == QLatin1String("--force"))
            options->force = true;
        else if (arg == QLatin1String("--help") || arg == QLatin1String("-h"))
            options->help = true;
        else if (arg == QLatin1String("-c") || arg == QLatin1String("--camera")) {
            if (!number(&options->camera))
                return false;
        } else if (arg == QLatin1String("--profile")) {
            if (!number(&options->profile))
                return false;
        } else if (arg.startsWith(QLatin1Char('-')) && arg.size() > 1) {
            *error = QStringLiteral("unknown option %1").arg(arg);
            return false;
        } else if (options->command.isEmpty())
            options->command = arg;
        else
            options->arguments << arg;
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

int listCommand(const ManufacturerProfile &profile, bool json)
{
    DShowCameraWrapper wrapper;
    const QVector<CameraDeviceInfo> cameras = profileCameras(wrapper, profile);
    QJsonArray list;
    for (int i = 0; i < cameras.size(); ++i) {
        const CameraDeviceInfo &camera = cameras.at(i);
        const QString model = modelDisplayName(modelFromFriendlyName(camera.friendlyName));
        list.append(QJsonObject{{QStringLiteral("index"), i},
                                {QStringLiteral("name"), shortDeviceName(camera.friendlyName)},
                                {QStringLiteral("pathId"), camera.pathId},
                                {QStringLiteral("model"), model}});
        if (!json)
            printLine(QStringLiteral("%1  %2  %3  %4").arg(i).arg(shortDeviceName(camera.friendlyName), camera.pathId, model));
    }
    QJsonArray drives;
    const QStringList driveLines = updateDriveLines(profile.code, &drives);
    if (json)
        printJson({{QStringLiteral("cameras"), list},
                   {QStringLiteral("updateDrive"), drives.isEmpty() ? QJsonValue() : drives.first()},
                   {QStringLiteral("updateDrives"), drives}});
    else if (cameras.isEmpty() && driveLines.isEmpty())
        printLine(QStringLiteral("no camera of this profile is connected"));
    for (const QString &line : json ? QStringList() : driveLines)
        printLine(line);
    return ExitOk;
}

int infoCommand(CameraSession &session, bool json)
{
    const QString version = session.firmwareVersion();
    QJsonObject features;
    QJsonObject controls;
    QStringList lines{QStringLiteral("model: %1").arg(modelDisplayName(session.model())),
                      QStringLiteral("name: %1").arg(shortDeviceName(session.info().friendlyName)),
                      QStringLiteral("firmware: %1").arg(version.isEmpty() ? QStringLiteral("unknown") : version)};
    for (const QString &name : featureNames()) {
        const QJsonObject control = describeControl(session, name);
        QString value;
        if (!control.isEmpty()) {
            controls.insert(name, control);
            lines << QStringLiteral("%1: %2 (%3 to %4, default %5)")
                         .arg(name, control.value("value").toString())
                         .arg(control.value("min").toInt()).arg(control.value("max").toInt())
                         .arg(control.value("default").toInt());
        } else if (readFeature(session, name, &value)) {
            features.insert(name, value);
            lines << QStringLiteral("%1: %2").arg(name, value);
        } else {
            lines << QStringLiteral("%1: unavailable").arg(name);
        }
    }
    if (!session.present())
        return fail(ExitNoCamera, QStringLiteral("the camera was unplugged"));
    if (json) {
        printJson({{QStringLiteral("model"), modelDisplayName(session.model())},
                   {QStringLiteral("modelIndex"), session.model()},
                   {QStringLiteral("name"), shortDeviceName(session.info().friendlyName)},
                   {QStringLiteral("pathId"), session.info().pathId},
                   {QStringLiteral("firmware"), version},
                   {QStringLiteral("features"), features},
                   {QStringLiteral("controls"), controls}});
    } else {
        for (const QString &line : lines)
            printLine(line);
    }
    return ExitOk;
}

int getCommand(CameraSession &session, const QString &name, bool json)
{
    QString value;
    if (!readFeature(session, name, &value))
        return session.present() ? fail(ExitFailure, QStringLiteral("the camera did not report %1").arg(name))
                                 : fail(ExitNoCamera, QStringLiteral("the camera was unplugged"));
    if (json)
        printJson({{QStringLiteral("feature"), name}, {QStringLiteral("value"), value}});
    else
        printLine(QStringLiteral("%1: %2").arg(name, value));
    return ExitOk;
}

int resetCommand(CameraSession &session, int index, bool yes)
{
    if (!yes) {
        if (!isatty(STDIN_FILENO))
            return fail(ExitUsage, QStringLiteral("reset-defaults asks first; pass --yes to run it without a terminal"));
        QTextStream out(resultStream());
        out << QStringLiteral("Reset camera %1 (%2) to its factory defaults? [y/N] ").arg(index).arg(shortDeviceName(session.info().friendlyName));
        out.flush();
        const QString answer = QTextStream(stdin).readLine().trimmed().toLower();
        if (answer != QLatin1String("y") && answer != QLatin1String("yes"))
            return fail(ExitFailure, QStringLiteral("reset cancelled"));
    }
    if (!session.unit.RestoreDefaults())
        return session.present() ? fail(ExitFailure, QStringLiteral("the camera did not take the reset"))
                                 : fail(ExitNoCamera, QStringLiteral("the camera was unplugged"));
    printLine(QStringLiteral("camera %1 reset to its factory defaults").arg(index));
    return ExitOk;
}

int run(const Options &options)
{
    const Command *command = findCommand(options.command);
    if (options.help) {
        printLine(usage(command));
        return ExitOk;
    }
    if (options.command.isEmpty())
        return fail(ExitUsage, QStringLiteral("no command given; `lumora-cli --help` lists them"));
    if (!command)
        return fail(ExitUsage, QStringLiteral("unknown command \"%1\"; `lumora-cli --help` lists them").arg(options.command));

    const QString name = options.command;
    if (options.arguments.size() != command->arguments)
        return fail(ExitUsage, usage(command));
    if ((name == QLatin1String("get") || name == QLatin1String("set")) && !isFeature(options.arguments.at(0)))
        return fail(ExitUsage, QStringLiteral("unknown feature \"%1\"; `lumora-cli %2 --help` lists them").arg(options.arguments.at(0), name));

    const ManufacturerProfile profile = options.profile >= 0 ? manufacturerProfile(options.profile) : loadManufacturerProfile();
    if (name == QLatin1String("list"))
        return listCommand(profile, options.json);
    if (name == QLatin1String("monitor"))
        return monitorCommand(profile, options.json);
    if (name == QLatin1String("doctor"))
        return doctorCommand(profile, options.json);
    if (name == QLatin1String("rescue"))
        return upgradeCommand(options.arguments.at(0), profile, nullptr, options.json, options.force);

    if (name == QLatin1String("check-package") && options.camera < 0)
        return checkPackageCommand(options.arguments.at(0), nullptr, options.json);

    const int index = qMax(0, options.camera);
    CameraSession session(profile);
    const int opened = session.open(index);
    if (opened != ExitOk)
        return opened;
    if (name == QLatin1String("info"))
        return infoCommand(session, options.json);
    if (name == QLatin1String("get"))
        return getCommand(session, options.arguments.at(0), options.json);
    if (name == QLatin1String("set"))
        return writeFeature(session, options.arguments.at(0), options.arguments.at(1), options.json);
    if (name == QLatin1String("reset-defaults"))
        return resetCommand(session, index, options.yes);
    if (name == QLatin1String("check-package"))
        return checkPackageCommand(options.arguments.at(0), &session, options.json);
    return upgradeCommand(options.arguments.at(0), profile, &session, options.json);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    claimStandardOutput();
    startLogging(false);
    Options options;
    QString error;
    if (!parse(app.arguments().mid(1), &options, &error))
        return fail(ExitUsage, error);
    return run(options);
}
