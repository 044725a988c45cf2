#include "sim/sim_scenario_record.h"

#include <QJsonArray>
#include <QRegularExpression>

#include <climits>
#include <cmath>

namespace lumora::sim {

namespace {

// A sysfs "descriptors" file is at most a few configurations; 64 KiB is far above any.
constexpr int kMaxDescriptorBytes = 65536;
constexpr int kDeviceDescriptorLength = 18;
constexpr int kDeviceDescriptorType = 1;
// Longest frame interval taken: a frame every 100 s, in 100 ns units.
constexpr double kMaxInterval = 1e9;

bool fail(QString *error, const QString &owner, const QString &message)
{
    *error = owner + QStringLiteral(": ") + message;
    return false;
}

bool wholeIn(const QJsonValue &value, double low, double high)
{
    const double x = value.toDouble(NAN);
    return value.isDouble() && x >= low && x <= high && x == std::floor(x);
}

// A device descriptor first, then descriptors whose lengths add up to the end.
bool descriptorsWalk(const QByteArray &bytes)
{
    if (bytes.size() < kDeviceDescriptorLength || quint8(bytes[0]) != kDeviceDescriptorLength
        || quint8(bytes[1]) != kDeviceDescriptorType)
        return false;
    int at = 0;
    while (at < bytes.size()) {
        const int length = quint8(bytes[at]);
        if (length < 2 || at + length > bytes.size())
            return false;
        at += length;
    }
    return true;
}

bool checkDescriptors(const QJsonObject &camera, const QString &owner, QString *error)
{
    const QJsonValue field = camera.value("descriptors");
    if (field.isUndefined())
        return true;
    static const QRegularExpression hex(QStringLiteral("^([0-9a-fA-F]{2})+$"));
    const QString text = field.toString();
    if (!field.isString() || text.size() > 2 * kMaxDescriptorBytes || !hex.match(text).hasMatch()
        || !descriptorsWalk(QByteArray::fromHex(text.toLatin1())))
        return fail(error, owner, QStringLiteral("\"descriptors\" must be hex of USB descriptors (a device descriptor "
                                                 "first, each length within the whole), at most %1 bytes")
                                      .arg(kMaxDescriptorBytes));
    return true;
}

bool checkSelectors(const QJsonObject &camera, const QString &owner, QString *error)
{
    const QJsonObject unit = camera.value("extensionUnit").toObject();
    static const QRegularExpression guid(
        QStringLiteral("^\\{[0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{12}\\}$"));
    if (unit.contains("guid") && !guid.match(unit.value("guid").toString()).hasMatch())
        return fail(error, owner, QStringLiteral("\"extensionUnit\": \"guid\" must read {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}"));
    const QJsonValue selectors = unit.value("selectors");
    if (selectors.isUndefined())
        return true;
    bool good = selectors.isObject();
    const QJsonObject list = selectors.toObject();
    for (auto it = list.begin(); good && it != list.end(); ++it) {
        bool number = false;
        const int selector = it.key().toInt(&number);
        const QJsonObject entry = it.value().toObject();
        good = number && selector >= 1 && selector <= 255 && it.value().isObject()
            && (!entry.contains("info") || wholeIn(entry.value("info"), 0, 255))
            && (!entry.contains("len") || wholeIn(entry.value("len"), 0, 65535));
    }
    return good ? true
                : fail(error, owner, QStringLiteral("\"extensionUnit\": \"selectors\" maps selectors 1 to 255 to "
                                                    "objects with \"info\" (0 to 255) and \"len\" (0 to 65535)"));
}

bool checkMenu(const QJsonValue &menu)
{
    if (menu.isUndefined())
        return true;
    const QJsonObject items = menu.toObject();
    bool good = menu.isObject();
    for (auto it = items.begin(); good && it != items.end(); ++it) {
        bool number = false;
        it.key().toLongLong(&number);
        good = number && (it.value().isString() || it.value().isDouble());
    }
    return good;
}

bool checkControlRecords(const QJsonObject &camera, const QString &owner, QString *error)
{
    const QJsonObject controls = camera.value("controls").toObject();
    for (auto it = controls.begin(); it != controls.end(); ++it)
        if (!checkMenu(it.value().toObject().value("menu")))
            return fail(error, owner, QStringLiteral("control \"%1\": \"menu\" maps item numbers to names or numbers").arg(it.key()));
    const QJsonValue others = camera.value("otherControls");
    if (others.isUndefined())
        return true;
    static const QRegularExpression id(QStringLiteral("^0x[0-9a-fA-F]{8}$"));
    bool good = others.isArray();
    for (const QJsonValue &value : others.toArray()) {
        const QJsonObject control = value.toObject();
        good = good && value.isObject() && id.match(control.value("id").toString()).hasMatch()
            && control.value("name").isString() && checkMenu(control.value("menu"));
        for (const char *key : {"type", "min", "max", "step", "default", "value"})
            good = good && (!control.contains(key) || wholeIn(control.value(key), double(LLONG_MIN), double(LLONG_MAX)));
    }
    return good ? true
                : fail(error, owner, QStringLiteral("\"otherControls\" must be objects with an \"id\" such as "
                                                    "\"0x009a0901\", a \"name\" and whole numbers"));
}

bool checkFrames(const QJsonObject &camera, const QString &owner, QString *error)
{
    static const QRegularExpression size(QStringLiteral("^[0-9]{1,5}x[0-9]{1,5}$"));
    for (const QJsonValue &stream : camera.value("streams").toArray()) {
        const QJsonValue frames = stream.toObject().value("frames");
        if (frames.isUndefined())
            continue;
        bool good = frames.isObject();
        const QJsonObject byFormat = frames.toObject();
        for (auto it = byFormat.begin(); good && it != byFormat.end(); ++it) {
            good = it.value().isArray();
            for (const QJsonValue &entry : it.value().toArray()) {
                const QJsonObject frame = entry.toObject();
                good = good && size.match(frame.value("size").toString()).hasMatch() && frame.value("intervals").isArray();
                for (const QJsonValue &interval : frame.value("intervals").toArray())
                    good = good && wholeIn(interval, 1, kMaxInterval);
            }
        }
        if (!good)
            return fail(error, owner, QStringLiteral("a stream's \"frames\" maps each format to sizes \"WIDTHxHEIGHT\" with "
                                                     "\"intervals\" in 100 ns units (1 to %1)")
                                          .arg(kMaxInterval, 0, 'f', 0));
    }
    return true;
}

} // namespace

bool checkRecordedFields(const QJsonObject &camera, const QString &owner, QString *error)
{
    return checkDescriptors(camera, owner, error) && checkSelectors(camera, owner, error)
        && checkControlRecords(camera, owner, error) && checkFrames(camera, owner, error);
}

QByteArray recordedDescriptors(const QJsonObject &camera)
{
    return QByteArray::fromHex(camera.value("descriptors").toString().toLatin1());
}

} // namespace lumora::sim
