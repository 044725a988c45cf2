#include "cli/cli_features.h"
#include "cli/cli_output.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonValue>
#include <QThread>

using namespace lumora::camera;

namespace {

constexpr int kRestartWaitMs = 30000;
constexpr int kPadRestoreDelayMs = 100;

QString modelName(CameraSession &session)
{
    const QString name = modelDisplayName(session.model());
    return name.isEmpty() ? shortDeviceName(session.info().friendlyName) : name;
}

// Why a feature is not offered, in words; empty when it is.
QString refusal(CameraSession &session, const FeatureInfo &info)
{
    Camera &camera = session.camera();
    const QString name = QLatin1String(info.name);
    switch (camera.availability(info.id)) {
    case Availability::Available: return {};
    case Availability::NoCamera: return QStringLiteral("no camera is open");
    case Availability::NotOnModel:
        return QStringLiteral("%1 cannot be adjusted on the %2").arg(name, modelName(session));
    case Availability::Held:
        return QStringLiteral("%1 is held %2 on the %3").arg(name, choiceText(info, camera.state().trackMode), modelName(session));
    case Availability::NotInMode: {
        const QString mode = choiceText(featureInfo(Feature::Tracking), camera.state().trackMode);
        if (info.id == Feature::FieldOfView)
            return QStringLiteral("fov applies only while tracking is off (it is %1)").arg(mode);
        if (info.id == Feature::TrackingSpeed && camera.state().trackMode == 1)
            return QStringLiteral("tracking-speed applies only with tracking-effect smooth (it is immediate)");
        return QStringLiteral("%1 applies only while tracking is auto-framing (it is %2)").arg(name, mode);
    }
    }
    return {};
}

struct Reading {
    bool ok = false;
    int value = 0;
    int automatic = -1; // -1: no automatic mode
};

Reading readValue(CameraSession &session, const FeatureInfo &info)
{
    Reading reading;
    Camera &camera = session.camera();
    reading.ok = camera.read(info.id, &reading.value);
    if (reading.ok && info.kind == ValueKind::Number)
        reading.automatic = camera.autoState(info.id);
    return reading;
}

QString text(const FeatureInfo &info, const Reading &reading)
{
    if (info.kind == ValueKind::Choice)
        return choiceText(info, reading.value);
    return reading.automatic == 1 ? QStringLiteral("auto") : QString::number(reading.value);
}

QJsonObject jsonOf(const FeatureInfo &info, const Reading &reading)
{
    QJsonObject object{{QStringLiteral("feature"), QLatin1String(info.name)}};
    if (info.kind == ValueKind::Choice) {
        object.insert(QStringLiteral("value"), choiceText(info, reading.value));
    } else {
        object.insert(QStringLiteral("value"), reading.value);
        if (reading.automatic >= 0)
            object.insert(QStringLiteral("auto"), reading.automatic == 1);
    }
    return object;
}

void report(const FeatureInfo &info, const Reading &reading, bool json)
{
    if (json)
        printJson(jsonOf(info, reading));
    else
        printLine(QStringLiteral("%1: %2").arg(QLatin1String(info.name), text(info, reading)));
}

int lostOr(CameraSession &session, int code, const QString &message)
{
    return session.present() ? fail(code, message) : fail(ExitNoCamera, QStringLiteral("the camera was unplugged"));
}

// The pad's re-apply the window runs shortly after tracking goes off.
void runPadRestore(Camera &camera)
{
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < kPadRestoreDelayMs) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, kPadRestoreDelayMs);
        QThread::msleep(10);
    }
    camera.restorePad();
}

int setAutomatic(CameraSession &session, const FeatureInfo &info, bool json)
{
    Camera &camera = session.camera();
    const QString name = QLatin1String(info.name);
    if (info.kind != ValueKind::Number || camera.autoState(info.id) < 0)
        return fail(ExitOutOfRange, QStringLiteral("%1 has no automatic mode on the %2").arg(name, modelName(session)));
    if (!camera.setAuto(info.id).sent)
        return lostOr(session, ExitFailure, QStringLiteral("the camera did not take %1 auto").arg(name));
    Reading reading = readValue(session, info);
    if (!reading.ok)
        return lostOr(session, ExitFailure, QStringLiteral("the camera did not report %1").arg(name));
    report(info, reading, json);
    return reading.automatic == 1 ? ExitOk : fail(ExitFailure, QStringLiteral("the camera kept %1 manual").arg(name));
}

} // namespace

QStringList featureNames()
{
    QStringList names;
    for (const FeatureInfo &info : features())
        names << QLatin1String(info.name);
    return names;
}

QString featureValues(const QString &name)
{
    const FeatureInfo *info = featureNamed(name);
    if (!info)
        return {};
    if (info->kind == ValueKind::Choice)
        return choiceWords(*info);
    return QStringLiteral("a number within the camera's range, or auto where the camera has an automatic mode");
}

bool isFeature(const QString &name)
{
    return featureNamed(name) != nullptr;
}

int infoCommand(CameraSession &session, bool json)
{
    Camera &camera = session.camera();
    const QString version = session.firmwareVersion();
    QJsonObject features;
    QJsonObject controls;
    QJsonArray unavailable;
    QStringList lines{QStringLiteral("model: %1").arg(modelName(session)),
                      QStringLiteral("name: %1").arg(shortDeviceName(session.info().friendlyName)),
                      QStringLiteral("node: %1").arg(session.listed().node),
                      QStringLiteral("firmware: %1").arg(version.isEmpty() ? QStringLiteral("unknown") : version)};
    for (const FeatureInfo &info : lumora::camera::features()) {
        const QString name = QLatin1String(info.name);
        if (camera.availability(info.id) == Availability::NotOnModel) {
            unavailable.append(name);
            lines << QStringLiteral("%1: not adjustable on this model").arg(name);
            if (info.kind == ValueKind::Number)
                controls.insert(name, QJsonObject{{QStringLiteral("adjustable"), false}});
            continue;
        }
        const Reading reading = readValue(session, info);
        if (!reading.ok) {
            lines << QStringLiteral("%1: unavailable").arg(name);
            continue;
        }
        if (info.kind == ValueKind::Choice) {
            features.insert(name, choiceText(info, reading.value));
            lines << QStringLiteral("%1: %2").arg(name, choiceText(info, reading.value));
            continue;
        }
        const ParameterRange range = camera.rangeOf(info.id);
        QJsonObject control{{QStringLiteral("adjustable"), true},
                            {QStringLiteral("value"), reading.value},
                            {QStringLiteral("min"), range.minimum},
                            {QStringLiteral("max"), range.maximum},
                            {QStringLiteral("default"), range.defaultValue}};
        if (reading.automatic >= 0)
            control.insert(QStringLiteral("auto"), reading.automatic == 1);
        controls.insert(name, control);
        lines << QStringLiteral("%1: %2 (%3 to %4, default %5%6)")
                     .arg(name, text(info, reading))
                     .arg(range.minimum)
                     .arg(range.maximum)
                     .arg(range.defaultValue)
                     .arg(reading.automatic >= 0 ? QStringLiteral(", auto possible") : QString());
    }
    if (!session.present())
        return fail(ExitNoCamera, QStringLiteral("the camera was unplugged"));
    if (json) {
        printJson({{QStringLiteral("model"), modelName(session)},
                   {QStringLiteral("modelIndex"), session.model()},
                   {QStringLiteral("name"), shortDeviceName(session.info().friendlyName)},
                   {QStringLiteral("node"), session.listed().node},
                   {QStringLiteral("serial"), session.listed().serial},
                   {QStringLiteral("port"), session.listed().port},
                   {QStringLiteral("pathId"), session.info().pathId},
                   {QStringLiteral("devicePath"), session.listed().devicePath},
                   {QStringLiteral("firmware"), version},
                   {QStringLiteral("restore"), camera.memory().restoreEnabled()},
                   {QStringLiteral("features"), features},
                   {QStringLiteral("controls"), controls},
                   {QStringLiteral("notAdjustable"), unavailable}});
    } else {
        for (const QString &line : lines)
            printLine(line);
    }
    return ExitOk;
}

int getCommand(CameraSession &session, const QString &name, bool json)
{
    const FeatureInfo *info = featureNamed(name);
    if (!info)
        return fail(ExitUsage, QStringLiteral("unknown feature \"%1\"").arg(name));
    if (session.camera().availability(info->id) == Availability::NotOnModel)
        return fail(ExitFailure, refusal(session, *info));
    const Reading reading = readValue(session, *info);
    if (!reading.ok || !session.present())
        return lostOr(session, ExitFailure, QStringLiteral("the camera did not report %1").arg(QLatin1String(info->name)));
    report(*info, reading, json);
    return ExitOk;
}

int setCommand(CameraSession &session, const QString &name, const QString &value, bool json)
{
    const FeatureInfo *found = featureNamed(name);
    if (!found)
        return fail(ExitUsage, QStringLiteral("unknown feature \"%1\"").arg(name));
    const FeatureInfo &info = *found;
    const QString featureName = QLatin1String(info.name);
    Camera &camera = session.camera();
    const bool automatic = value.compare(QLatin1String("auto"), Qt::CaseInsensitive) == 0;
    int wanted = 0;
    if (info.kind == ValueKind::Choice) {
        const Choice *choice = choiceWord(info, value);
        if (!choice)
            return fail(ExitOutOfRange, QStringLiteral("%1 takes %2, not \"%3\"").arg(featureName, choiceWords(info), value));
        wanted = choice->value;
    }
    const QString why = refusal(session, info);
    if (!why.isEmpty())
        return fail(ExitFailure, why);
    if (automatic)
        return setAutomatic(session, info, json);
    if (info.kind == ValueKind::Number) {
        bool isNumber = false;
        wanted = value.toInt(&isNumber);
        const ParameterRange range = camera.rangeOf(info.id);
        if (!isNumber || wanted < range.minimum || wanted > range.maximum)
            return fail(ExitOutOfRange, QStringLiteral("%1 takes %2 to %3, not \"%4\"")
                                            .arg(featureName).arg(range.minimum).arg(range.maximum).arg(value));
    }

    int before = -1;
    const bool restarts = info.id == Feature::Hd || info.id == Feature::Mic;
    if (restarts)
        camera.read(info.id, &before);
    bool padDue = false;
    const QMetaObject::Connection watch = QObject::connect(&camera, &Camera::padRestoreDue, [&padDue] { padDue = true; });
    const SetResult result = camera.set(info.id, wanted);
    QObject::disconnect(watch);
    if (padDue)
        runPadRestore(camera);

    if (result.restarting && before != wanted) {
        // The camera re-enumerates to apply it; what it has is read once it is back.
        if (!session.reopenAfterRestart(kRestartWaitMs))
            return fail(ExitNoCamera, QStringLiteral("the camera did not come back after restarting"));
    } else if (!result.sent) {
        return lostOr(session, ExitFailure, QStringLiteral("the camera did not take %1 %2").arg(featureName, value));
    }
    Camera &current = session.camera();
    const Reading reading = readValue(session, info);
    if (!reading.ok || !session.present())
        return lostOr(session, ExitFailure, QStringLiteral("the camera did not take %1 %2").arg(featureName, value));
    Q_UNUSED(current)
    report(info, reading, json);
    if (reading.value != wanted)
        return fail(ExitFailure, QStringLiteral("the camera kept %1 at %2").arg(featureName, text(info, reading)));
    return ExitOk;
}
