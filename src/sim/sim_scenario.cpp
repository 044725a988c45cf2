#include "sim/sim_scenario.h"

#include "sim/sim_faults.h"
#include "sim/sim_usb_identity.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QSet>

#include <algorithm>

namespace lumora::sim {

namespace {

constexpr int kDefaultRestartMs = 2000;

bool fail(QString *error, const QString &message)
{
    if (error)
        *error = message;
    return false;
}

bool checkCamera(const QJsonObject &camera, QString *error)
{
    const QString id = camera.value("id").toString();
    if (camera.value("usb").toBool(true)) {
        if (readUsbId(camera.value("vendorId")) < 0 || readUsbId(camera.value("productId")) < 0)
            return fail(error, QStringLiteral("camera \"%1\": vendorId and productId must be 16-bit ids").arg(id));
        static const QRegularExpression portPath(QStringLiteral("^([1-9][0-9]*-)?[1-9][0-9]*(\\.[1-9][0-9]*)*$"));
        if (!portPath.match(camera.value("port").toString()).hasMatch())
            return fail(error, QStringLiteral("camera \"%1\": a USB camera needs a \"port\" such as \"1-2\" or \"1-4.2\"").arg(id));
    }
    const int videoInterface = camera.value("interface").toInt(0);
    if (videoInterface < 0 || videoInterface > 254)
        return fail(error, QStringLiteral("camera \"%1\": \"interface\" must be 0 to 254").arg(id));
    if (camera.value("product").toString().isEmpty() && camera.value("name").toString().isEmpty())
        return fail(error, QStringLiteral("camera \"%1\": needs a \"product\" or \"name\"").arg(id));
    const QJsonValue heldBy = camera.value("heldBy");
    if (!heldBy.isUndefined()) {
        const QJsonObject holder = heldBy.toObject();
        const double pid = holder.value("pid").toDouble(0);
        if (!heldBy.isObject() || pid < 1 || pid > 4194304 || pid != double(qint64(pid))
            || holder.value("name").toString().isEmpty())
            return fail(error, QStringLiteral("camera \"%1\": \"heldBy\" needs a \"pid\" (1 to 4194304) and a \"name\"").arg(id));
    }
    SimFaults probe;
    QString faultError;
    if (!probe.arm(camera.value("faults").toArray(), &faultError))
        return fail(error, QStringLiteral("camera \"%1\": %2").arg(id, faultError));
    return true;
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
    if (!o.value("atMs").isDouble() || at < 0)
        return fail(error, QStringLiteral("timeline: \"%1\" needs a non-negative \"atMs\"").arg(action));
    event->device = o.value("device").toString();
    if (!ids.contains(event->device))
        return fail(error, QStringLiteral("timeline: unknown device \"%1\"").arg(event->device));
    event->action = actions.value(action);
    event->atMs = qint64(at);
    event->delayMs = o.value("delayMs").toInt(kDefaultRestartMs);
    if (event->delayMs < 0)
        return fail(error, QStringLiteral("timeline: \"delayMs\" must not be negative"));
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
