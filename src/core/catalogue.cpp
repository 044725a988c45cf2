#include "core/catalogue.h"

#include "core/settingsfiles.h"

#include <QCoreApplication>
#include <QDebug>
#include <QSettings>
#include <QStringList>

#include <algorithm>

namespace {

// Host used when the settings file names none.
constexpr const char *kDefaultSupportHost = "vistrel.example";

// Product ids of secondary interfaces that both profiles ignore on hot-plug.
const char *const kIgnoredProductTokens[] = {"pid_010e", "pid_010f", "pid_0113", "pid_0114"};

// Reads the hex number between `token` and the first '&' of `text`.
// Returns false when either is missing or the '&' is too close; `value` gets
// the number (0 when it does not convert) and `converted` whether it did.
bool readHexField(const QString &text, const QString &token, int *end, int *value, bool *converted)
{
    const int start = text.indexOf(token);
    const int amp = text.indexOf(QLatin1Char('&'));
    if (start < 0 || amp < 0 || amp - start < 4)
        return false;
    const int digits = start + token.size();
    *value = (QStringLiteral("0x") + text.mid(digits, amp - digits)).toInt(converted, 16);
    *end = amp;
    return true;
}

bool containsAnyIgnoredProduct(const QString &path)
{
    for (const char *token : kIgnoredProductTokens) {
        if (path.contains(QLatin1String(token), Qt::CaseInsensitive))
            return true;
    }
    return false;
}

} // namespace

const std::array<CameraStateEntry, 2> &cameraStateTable()
{
    static const std::array<CameraStateEntry, 2> table{{
        {kCameraConnected, QCoreApplication::translate("CameraState", "CONNECTED")},
        {kCameraDisconnected, QCoreApplication::translate("CameraState", "DISCONNECTED")},
    }};
    return table;
}

QString cameraStateText(int state)
{
    for (const CameraStateEntry &entry : cameraStateTable()) {
        if (entry.state == state)
            return entry.text;
    }
    return {};
}

QString settingsFilePath()
{
    return settingsFiles().file;
}

ManufacturerProfile manufacturerProfile(int code)
{
    ManufacturerProfile profile;
    profile.code = code;
    for (const ManufacturerEntry &entry : manufacturerTable) {
        if (entry.code == code)
            profile.vid = entry.vid;
    }
    return profile;
}

ManufacturerProfile loadManufacturerProfile(const QString &settingsPath)
{
    const QVariant saved = readSetting(settingsPath, QStringLiteral("/product_model/main"), 0);
    bool isNumber = false;
    int code = saved.toInt(&isNumber);
    const bool known = isNumber && std::any_of(manufacturerTable.begin(), manufacturerTable.end(),
                                               [code](const ManufacturerEntry &entry) { return entry.code == code; });
    if (!known) {
        qWarning().noquote() << "unknown profile" << saved.toString() << "in /product_model/main; using profile 0";
        code = 0;
    }
    const ManufacturerProfile profile = manufacturerProfile(code);
    QString name;
    for (const ManufacturerEntry &entry : manufacturerTable) {
        if (entry.code == profile.code)
            name = QLatin1String(entry.name);
    }
    qInfo().noquote() << "credit manufacturer:" << name;
    return profile;
}

bool ParseVidPid(const QString &pathId, int *vid, int *pid)
{
    if (pathId.isEmpty())
        return false;
    int end = 0;
    bool converted = false;
    if (!readHexField(pathId, QStringLiteral("vid_"), &end, vid, &converted))
        return false;
    if (!readHexField(pathId.mid(end + 1), QStringLiteral("pid_"), &end, pid, &converted))
        return false;
    qDebug() << "vid:" << *vid << " pid:" << *pid;
    return converted;
}

bool acceptsCamera(const CameraDeviceInfo &info, int manufacturerCode, int manufacturerVid)
{
    int vid = 0;
    int pid = 0;
    if (!ParseVidPid(info.pathId, &vid, &pid) || vid != manufacturerVid)
        return false;
    if (manufacturerCode == kManufacturerOrvanta)
        return info.friendlyName.contains(QLatin1String("ORBIT"));
    if (manufacturerCode == kManufacturerQX)
        return info.friendlyName.contains(QLatin1String("NV-Optica-4K-AI"))
            || info.friendlyName.contains(QLatin1String("NV-Optica-1080-AI"));
    return true;
}

bool acceptsHotplugPath(const QString &path, int manufacturerCode)
{
    const QStringList parts = path.split(QLatin1Char('#'));
    if (parts.size() != 4) {
        qDebug() << "camera logic error";
        return false;
    }
    const QStringList instance = parts.at(2).split(QLatin1Char('&'));
    if (instance.size() != 4) {
        qDebug() << "camera logic error";
        return false;
    }
    if (instance.at(3) != QLatin1String("0000"))
        return false;

    if (manufacturerCode == kManufacturerOrvanta) {
        if (!path.contains(QLatin1String("vid_5a17"), Qt::CaseInsensitive)) {
            qDebug() << "other camera";
            return false;
        }
        return !containsAnyIgnoredProduct(path);
    }
    if (manufacturerCode == kManufacturerQX) {
        if (!path.contains(QLatin1String("vid_1d6b"), Qt::CaseInsensitive)) {
            qDebug() << "other camera_2";
            return false;
        }
        if (containsAnyIgnoredProduct(path)) {
            qDebug() << "other camera_1";
            return false;
        }
    }
    return true;
}

int modelFromFriendlyName(const QString &friendlyName)
{
    for (const ModelEntry &entry : modelDisplayTable) {
        if (friendlyName.contains(QLatin1String(entry.name), Qt::CaseInsensitive))
            return entry.model;
    }
    return kNoModel;
}

int modelFromVidPid(const QString &pathId)
{
    int vid = 0;
    int pid = 0;
    if (!ParseVidPid(pathId, &vid, &pid))
        return kNoModel;
    for (const ModelEntry &entry : modelDisplayTable) {
        if (entry.vid == vid && entry.pid == pid)
            return entry.model;
    }
    return kNoModel;
}

QString modelDisplayName(int model)
{
    for (const ModelEntry &entry : modelDisplayTable) {
        if (entry.model == model)
            return QLatin1String(entry.name);
    }
    return {};
}

QString shortDeviceName(const QString &friendlyName)
{
    const int blank = friendlyName.indexOf(QLatin1Char(' '));
    if (friendlyName.size() > 15 && blank >= 0)
        return friendlyName.mid(blank).trimmed();
    return friendlyName;
}

QString supportAddress(const QString &settingsPath)
{
    const QString host = readSetting(settingsPath, QStringLiteral("/support/host"), QLatin1String(kDefaultSupportHost)).toString();
    return QStringLiteral("https://%1/support/").arg(host);
}
