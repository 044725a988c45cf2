#include "upgrade/upgradetarget.h"

#include "device/uvcextensionunit.h"
#include "core/catalogue.h"
#include "device/v4l2controlnode.h"
#include "platform/kernel.h"

#include <QFileInfo>
#include <QVector>

#include <algorithm>

namespace lumora::upgrade {

namespace {

constexpr int kVersionCode = 0x80;
constexpr int kLegacyVersionCode = 0x0B;

struct VendorFamily {
    const char *vendor;
    const char *name;
    QVector<int> models;
};

const QVector<VendorFamily> &vendorFamilies()
{
    static const QVector<VendorFamily> families = {
        {"NVOPT", "NV-Optica", {7, 8}},
        {"QXK52", "QX-K52", {0, 1, 2, 3}},
        {"VPT41", "VPT410", {4}},
        {"QXVPT", "VPT", {4, 5}},
        {"ORBIT", "ORBIT", {9, 10, 11, 12, 13, 14, 15}},
    };
    return families;
}

} // namespace

bool usbPortOfVideoNode(const QString &node, QString *port, QString *serial)
{
    const QString name = QFileInfo(node).fileName();
    const QString path = platform::kernel().canonicalPath("/sys/class/video4linux/" + name);
    *port = usbPortOfSysfsPath(path);
    if (port->isEmpty())
        return false;
    QByteArray value;
    const QString device = path.left(path.indexOf('/' + *port + '/') + port->size() + 1);
    platform::kernel().readAttribute(device + "/serial", &value);
    *serial = QString::fromLatin1(value).trimmed();
    return true;
}

bool readCameraOnPort(const QString &port, const QString &serial, QString *version)
{
    QVector<CameraDeviceInfo> devices;
    V4l2ControlNode().ListCameraDevices(devices);
    for (const CameraDeviceInfo &device : qAsConst(devices)) {
        QString devicePort, deviceSerial;
        if (!usbPortOfVideoNode(device.alias, &devicePort, &deviceSerial) || devicePort != port
            || (!serial.isEmpty() && !deviceSerial.isEmpty() && deviceSerial != serial))
            continue;
        UVCExtensionUnit unit;
        if (!unit.InitVideoDevice(device.pathId, device.friendlyName))
            return false;
        const bool read = unit.GetVersion(kVersionCode, *version) || unit.GetVersion(kLegacyVersionCode, *version);
        unit.ReleaseVideoDevice();
        return read;
    }
    return false;
}

FamilyMatch matchRescueFamily(const UpdateDriveInfo &drive, int packageModel, QString *driveFamily)
{
    for (const ModelEntry &row : modelDisplayTable) {
        if (row.vid == drive.vendorId && row.pid == drive.productId) {
            *driveFamily = QString::fromLatin1(row.name);
            return row.model == packageModel ? FamilyMatch::Same : FamilyMatch::Other;
        }
    }
    for (const VendorFamily &family : vendorFamilies()) {
        if (drive.vendor.startsWith(family.vendor)) {
            *driveFamily = QString::fromLatin1(family.name);
            return family.models.contains(packageModel) ? FamilyMatch::Same : FamilyMatch::Other;
        }
    }
    driveFamily->clear();
    return FamilyMatch::Unknown;
}

int compareVersions(const QString &a, const QString &b)
{
    const QStringList left = a.split('.'), right = b.split('.');
    for (int i = 0; i < qMax(left.size(), right.size()); ++i) {
        bool okLeft = true, okRight = true;
        const int l = i < left.size() ? left.at(i).toInt(&okLeft) : 0;
        const int r = i < right.size() ? right.at(i).toInt(&okRight) : 0;
        if (!okLeft || !okRight || a.isEmpty() || b.isEmpty())
            return 0;
        if (l != r)
            return l < r ? -1 : 1;
    }
    return 0;
}

QString updateStateName(int state)
{
    static const char *const names[] = {"ROM", "Updater", "u-Boot"};
    return state >= 0 && state < 3 ? QString::fromLatin1(names[state]) : QStringLiteral("unknown");
}

} // namespace lumora::upgrade
