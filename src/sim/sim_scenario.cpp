#include "sim/sim_scenario.h"

#include "sim/sim_camera.h"
#include "sim/sim_controls.h"
#include "sim/sim_faults.h"
#include "sim/sim_scenario_record.h"
#include "sim/sim_usb_identity.h"
#include "sim/sim_uvc_descriptors.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QSet>

#include <algorithm>
#include <climits>
#include <cmath>

namespace lumora::sim {

namespace {

constexpr int kDefaultRestartMs = 2000;

bool fail(QString *error, const QString &message)
{
    if (error)
        *error = message;
    return false;
}

// Times and delays of a scenario stay within a day.
constexpr double kMaxMs = 24.0 * 60 * 60 * 1000;
// Port numbers below the root hub: USB allows 7 tiers counting the root hub.
constexpr int kMaxPortDepth = 6;
// Hub port and bus numbers fit one byte.
constexpr int kMaxPortNumber = 255;
// The slowest image check of an update drive: a minute per MiB.
constexpr double kMaxCheckMsPerMiB = 60000;
// The largest simulated disk, in 512-byte sectors (2 TiB).
constexpr double kMaxSectors = 4294967296.0;

// Every number is read as a double and checked before anything converts it:
// a huge or fractional value must not reach an int.
bool checkNumber(const QJsonObject &o, const char *key, double low, double high, const QString &owner,
                 QString *error)
{
    const QJsonValue value = o.value(key);
    if (value.isUndefined())
        return true;
    const double x = value.toDouble(NAN);
    if (value.isDouble() && x >= low && x <= high && x == std::floor(x))
        return true;
    return fail(error, QStringLiteral("%1: \"%2\" must be a whole number from %3 to %4")
                           .arg(owner, QLatin1String(key))
                           .arg(low, 0, 'f', 0)
                           .arg(high, 0, 'f', 0));
}

bool checkPort(const QJsonObject &device, const QString &owner, QString *error)
{
    if (!checkNumber(device, "bus", 1, kMaxPortNumber, owner, error))
        return false;
    const QJsonValue port = device.value("port");
    if (port.isUndefined())
        return true;
    static const QRegularExpression portPath(QStringLiteral("^([1-9][0-9]*-)?[1-9][0-9]*(\\.[1-9][0-9]*)*$"));
    const QString text = port.toString();
    if (!portPath.match(text).hasMatch())
        return fail(error, QStringLiteral("%1: a USB device needs a \"port\" such as \"1-2\" or \"1-4.2\"").arg(owner));
    const QStringList numbers = text.split(QRegularExpression(QStringLiteral("[-.]")));
    const int depth = numbers.size() - (text.contains('-') ? 1 : 0);
    if (depth > kMaxPortDepth)
        return fail(error, QStringLiteral("%1: \"port\" is %2 levels deep; USB allows %3 below the root hub")
                               .arg(owner).arg(depth).arg(kMaxPortDepth));
    for (const QString &number : numbers) {
        bool ok = false;
        const int n = number.toInt(&ok);
        if (!ok || n > kMaxPortNumber)
            return fail(error, QStringLiteral("%1: \"port\" numbers and the bus go from 1 to %2").arg(owner).arg(kMaxPortNumber));
    }
    return true;
}

bool checkFaults(const QJsonObject &camera, const QString &owner, QString *error)
{
    const QJsonValue faults = camera.value("faults");
    if (faults.isUndefined())
        return true;
    if (!faults.isArray())
        return fail(error, QStringLiteral("%1: \"faults\" must be an array").arg(owner));
    for (const QJsonValue &value : faults.toArray()) {
        if (!value.isObject())
            return fail(error, QStringLiteral("%1: every fault must be an object").arg(owner));
        const QJsonObject fault = value.toObject();
        if (!checkNumber(fault, "n", 1, INT_MAX, owner, error) || !checkNumber(fault, "every", 1, INT_MAX, owner, error)
            || !checkNumber(fault, "keptPercent", 0, 100, owner, error) || !checkNumber(fault, "afterFrames", 0, INT_MAX, owner, error)
            || !checkNumber(fault, "startMs", 0, kMaxMs, owner, error)
            || !checkNumber(fault, "durationMs", 0, kMaxMs, owner, error)
            || (fault.value("errno").isDouble() && !checkNumber(fault, "errno", 1, 4095, owner, error)))
            return false;
    }
    return true;
}

bool checkFirmware(const QJsonObject &device, const QString &owner, QString *error)
{
    const QJsonValue firmware = device.value("firmware");
    if (firmware.isUndefined())
        return true;
    static const QRegularExpression version(QStringLiteral("^[0-9]{1,5}(\\.[0-9]{1,5}){0,2}$"));
    bool fits = firmware.isString() && version.match(firmware.toString()).hasMatch();
    for (const QString &part : firmware.toString().split('.'))
        fits = fits && part.toInt() <= 0xFFFF;
    return fits ? true
                : fail(error, QStringLiteral("%1: \"firmware\" must be \"major.minor.patch\", each 0 to 65535").arg(owner));
}

bool checkExtensionUnit(const QJsonObject &camera, const QString &owner, QString *error)
{
    const QJsonValue unit = camera.value("extensionUnit");
    if (unit.isObject() && !checkNumber(unit.toObject(), "unitId", 1, 255, owner, error))
        return false;
    const QJsonValue features = camera.value("features");
    if (features.isUndefined())
        return true;
    if (!features.isObject())
        return fail(error, QStringLiteral("%1: \"features\" must be an object").arg(owner));
    const QJsonObject values = features.toObject();
    // A feature travels as one byte.
    for (auto it = values.begin(); it != values.end(); ++it)
        if (!checkNumber(values, it.key().toUtf8().constData(), 0, 255, owner, error))
            return false;
    return true;
}

// At most this many VideoStreaming interfaces on one camera.
constexpr int kMaxStreams = 8;

// "streams": one object per VideoStreaming interface, each with the formats it offers.
bool checkStreams(const QJsonObject &camera, const QString &owner, QString *error)
{
    const QJsonValue streams = camera.value("streams");
    if (streams.isUndefined())
        return true;
    const QJsonArray list = streams.toArray();
    if (!streams.isArray() || list.isEmpty() || list.size() > kMaxStreams)
        return fail(error, QStringLiteral("%1: \"streams\" must be an array of 1 to %2 objects").arg(owner).arg(kMaxStreams));
    if (camera.value("interface").toInt(0) + list.size() > 255)
        return fail(error, QStringLiteral("%1: \"interface\" and its %2 streams need interface numbers past 255").arg(owner).arg(list.size()));
    for (const QJsonValue &stream : list) {
        const QJsonArray formats = stream.toObject().value("formats").toArray();
        bool known = stream.isObject() && !formats.isEmpty();
        for (const QJsonValue &format : formats)
            known = known && simVideoFormat(format.toString());
        if (!known)
            return fail(error, QStringLiteral("%1: each of \"streams\" needs \"formats\": one or more of \"mjpeg\", \"yuyv\"").arg(owner));
    }
    return true;
}

// "frameSizes" as "WIDTHxHEIGHT" (even widths), "frameRates" in frames per second.
bool checkFrameOffer(const QJsonObject &camera, const QString &owner, QString *error)
{
    static const QRegularExpression sizeText(QStringLiteral("^([1-9][0-9]{0,3})x([1-9][0-9]{0,3})$"));
    const QJsonValue sizes = camera.value("frameSizes");
    if (!sizes.isUndefined()) {
        bool good = sizes.isArray() && !sizes.toArray().isEmpty() && sizes.toArray().size() <= 16;
        for (const QJsonValue &size : sizes.toArray()) {
            const QRegularExpressionMatch m = sizeText.match(size.toString());
            good = good && m.hasMatch() && m.captured(1).toInt() % 2 == 0 && m.captured(1).toInt() <= 8192
                && m.captured(2).toInt() <= 8192;
        }
        if (!good)
            return fail(error, QStringLiteral("%1: \"frameSizes\" must be 1 to 16 sizes such as \"1920x1080\" (even widths up to 8192)").arg(owner));
    }
    const QJsonValue rates = camera.value("frameRates");
    if (!rates.isUndefined()) {
        bool good = rates.isArray() && !rates.toArray().isEmpty() && rates.toArray().size() <= 16;
        for (const QJsonValue &rate : rates.toArray())
            good = good && rate.isDouble() && rate.toDouble() >= 1 && rate.toDouble() <= 240 && rate.toDouble() == std::floor(rate.toDouble());
        if (!good)
            return fail(error, QStringLiteral("%1: \"frameRates\" must be 1 to 16 whole numbers from 1 to 240").arg(owner));
    }
    return true;
}

bool checkCamera(const QJsonObject &camera, QString *error)
{
    const QString id = camera.value("id").toString();
    const QString owner = QStringLiteral("camera \"%1\"").arg(id);
    if (camera.value("usb").toBool(true)) {
        if (readUsbId(camera.value("vendorId")) < 0 || readUsbId(camera.value("productId")) < 0)
            return fail(error, QStringLiteral("camera \"%1\": vendorId and productId must be 16-bit ids").arg(id));
        if (!camera.value("port").isString())
            return fail(error, QStringLiteral("camera \"%1\": a USB camera needs a \"port\" such as \"1-2\" or \"1-4.2\"").arg(id));
        if (!checkPort(camera, owner, error))
            return false;
    }
    if (!camera.value("interface").isUndefined() && !checkNumber(camera, "interface", 0, 254, owner, error))
        return fail(error, QStringLiteral("camera \"%1\": \"interface\" must be 0 to 254").arg(id));
    // A USB camera without strings is named by its ids, as uvcvideo does.
    if (!camera.value("usb").toBool(true) && camera.value("product").toString().isEmpty()
        && camera.value("name").toString().isEmpty())
        return fail(error, QStringLiteral("camera \"%1\": needs a \"product\" or \"name\"").arg(id));
    QString controlError;
    if (!SimControls::checkConfig(camera, &controlError))
        return fail(error, QStringLiteral("%1: %2").arg(owner, controlError));
    if (!checkRecordedFields(camera, owner, error))
        return false;
    if (!checkFirmware(camera, owner, error) || !checkExtensionUnit(camera, owner, error) || !checkStreams(camera, owner, error)
        || !checkFrameOffer(camera, owner, error) || !checkFaults(camera, owner, error) || !checkNumber(camera, "upgradeSwitchMs", 0, kMaxMs, owner, error)
        || !checkNumber(camera, "restartMs", 0, kMaxMs, owner, error))
        return false;
    const QJsonValue heldBy = camera.value("heldBy");
    if (!heldBy.isUndefined()) {
        const QJsonObject holder = heldBy.toObject();
        const double pid = holder.value("pid").toDouble(0);
        if (!heldBy.isObject() || pid < 1 || pid > 4194304 || pid != double(qint64(pid))
            || holder.value("name").toString().isEmpty())
            return fail(error, QStringLiteral("camera \"%1\": \"heldBy\" needs a \"pid\" (1 to 4194304) and a \"name\"").arg(id));
    }
    QJsonArray transferFaults;
    for (const QJsonValue &fault : camera.value("faults").toArray())
        if (!SimCamera::isStreamFault(fault.toObject().value("kind").toString()))
            transferFaults.append(fault);
    SimFaults probe;
    QString faultError;
    if (!probe.arm(transferFaults, &faultError))
        return fail(error, QStringLiteral("camera \"%1\": %2").arg(id, faultError));
    return true;
}

bool checkDrive(const QJsonObject &drive, QString *error)
{
    const QString owner = QStringLiteral("drive \"%1\"").arg(drive.value("id").toString());
    for (const char *key : {"vendorId", "productId"})
        if (!drive.value(key).isUndefined() && readUsbId(drive.value(key)) < 0)
            return fail(error, QStringLiteral("%1: vendorId and productId must be 16-bit ids").arg(owner));
    if (!checkPort(drive, owner, error) || !checkFirmware(drive, owner, error)
        || !checkNumber(drive, "sectors", 1, kMaxSectors, owner, error))
        return false;
    const QJsonValue faults = drive.value("protocolFaults");
    if (!faults.isUndefined() && !faults.isObject())
        return fail(error, QStringLiteral("%1: \"protocolFaults\" must be an object").arg(owner));
    for (const char *key : {"dropAtChunk", "corruptChunk", "lateStatusReads"})
        if (!checkNumber(faults.toObject(), key, 0, INT_MAX, owner, error))
            return false;
    if (!checkNumber(drive, "checkMsPerMiB", 0, kMaxCheckMsPerMiB, owner, error))
        return false;
    const QJsonValue camera = drive.value("camera");
    if (camera.isUndefined())
        return true;
    if (!camera.isObject())
        return fail(error, QStringLiteral("%1: \"camera\" must be an object").arg(owner));
    return checkCamera(camera.toObject(), error);
}

bool readDevices(const QJsonObject &json, const char *key, QVector<QJsonObject> *out, QSet<QString> *ids,
                 QString *error)
{
    const QJsonValue list = json.value(key);
    if (!list.isUndefined() && !list.isArray())
        return fail(error, QStringLiteral("\"%1\" must be an array").arg(key));
    for (const QJsonValue &value : list.toArray()) {
        const QJsonObject device = value.toObject();
        const QString id = device.value("id").toString();
        if (!value.isObject() || id.isEmpty())
            return fail(error, QStringLiteral("every entry of \"%1\" needs an \"id\"").arg(key));
        if (ids->contains(id))
            return fail(error, QStringLiteral("the id \"%1\" is used twice").arg(id));
        ids->insert(id);
        static const QStringList kinds = {"video", "disk", "usbfs"};
        const QJsonValue denied = device.value("denied");
        if (!denied.isUndefined() && !denied.isArray())
            return fail(error, QStringLiteral("\"%1\": \"denied\" must be an array").arg(id));
        for (const QJsonValue &kind : denied.toArray())
            if (!kinds.contains(kind.toString()))
                return fail(error, QStringLiteral("\"%1\": \"denied\" takes \"video\", \"disk\" and \"usbfs\"").arg(id));
        out->append(device);
    }
    return true;
}

bool readEvent(const QJsonValue &value, const QSet<QString> &ids, ScenarioEvent *event, QString *error)
{
    static const QMap<QString, ScenarioEvent::Action> actions{{"plug", ScenarioEvent::Action::Plug},
                                                              {"unplug", ScenarioEvent::Action::Unplug},
                                                              {"restart", ScenarioEvent::Action::Restart},
                                                              {"release", ScenarioEvent::Action::Release}};
    const QJsonObject o = value.toObject();
    const QString action = o.value("action").toString();
    const double at = o.value("atMs").toDouble(-1);
    if (!actions.contains(action))
        return fail(error, QStringLiteral("timeline: unknown action \"%1\"").arg(action));
    if (!o.value("atMs").isDouble() || !(at >= 0 && at <= kMaxMs))
        return fail(error, QStringLiteral("timeline: \"%1\" needs a non-negative \"atMs\" within a day (at most %2)")
                               .arg(action).arg(kMaxMs, 0, 'f', 0));
    event->device = o.value("device").toString();
    if (!ids.contains(event->device))
        return fail(error, QStringLiteral("timeline: unknown device \"%1\"").arg(event->device));
    event->action = actions.value(action);
    event->atMs = qint64(at);
    if (!checkNumber(o, "delayMs", 0, kMaxMs, QStringLiteral("timeline"), error))
        return false;
    event->delayMs = int(o.value("delayMs").toDouble(kDefaultRestartMs));
    return true;
}

} // namespace

bool startsPlugged(const QJsonObject &device) { return device.value("plugged").toBool(true); }

bool parseScenario(const QJsonObject &json, Scenario *scenario, QString *error)
{
    Scenario read;
    QSet<QString> ids;
    if (!readDevices(json, "cameras", &read.cameras, &ids, error)
        || !readDevices(json, "drives", &read.drives, &ids, error))
        return false;
    for (const QJsonObject &camera : qAsConst(read.cameras))
        if (!checkCamera(camera, error))
            return false;
    for (const QJsonObject &drive : qAsConst(read.drives))
        if (!checkDrive(drive, error))
            return false;
    const QJsonValue privileged = json.value("privileged");
    if (!privileged.isUndefined() && !privileged.isBool())
        return fail(error, QStringLiteral("\"privileged\" must be true or false"));
    read.privileged = privileged.toBool(false);
    const QJsonValue rule = json.value("udevRules");
    if (!rule.isUndefined() && !rule.isString() && rule != QJsonValue(false))
        return fail(error, QStringLiteral("\"udevRules\" must be a folder or false"));
    read.udevRuleFolder = rule.isUndefined() ? QStringLiteral("/etc/udev/rules.d") : rule.toString();
    const QJsonValue timeline = json.value("timeline");
    if (!timeline.isUndefined() && !timeline.isArray())
        return fail(error, QStringLiteral("\"timeline\" must be an array"));
    for (const QJsonValue &value : timeline.toArray()) {
        ScenarioEvent event;
        if (!readEvent(value, ids, &event, error))
            return false;
        read.timeline.append(event);
    }
    std::stable_sort(read.timeline.begin(), read.timeline.end(),
                     [](const ScenarioEvent &a, const ScenarioEvent &b) { return a.atMs < b.atMs; });
    *scenario = read;
    return true;
}

bool readScenarioFile(const QString &path, QJsonObject *json, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return fail(error, QStringLiteral("cannot read %1: %2").arg(path, file.errorString()));
    QJsonParseError parse;
    const QJsonDocument doc = QJsonDocument::fromJson(file.readAll(), &parse);
    if (parse.error != QJsonParseError::NoError)
        return fail(error, QStringLiteral("%1 is not valid JSON (offset %2: %3)").arg(path).arg(parse.offset).arg(parse.errorString()));
    if (!doc.isObject())
        return fail(error, QStringLiteral("%1 does not hold a JSON object").arg(path));
    *json = doc.object();
    return true;
}

} // namespace lumora::sim
