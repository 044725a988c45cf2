#include "cli/cli_doctor.h"

#include "cli/cli_output.h"
#include "device/uvcextensionunit.h"
#include "device/xudescriptor.h"
#include "platform/device_path.h"
#include "platform/kernel.h"
#include "platform/udev_rules.h"
#include "upgrade/driveaccess.h"
#include "upgrade/scsitransport.h"
#include "upgrade/updatechannel.h"

#include <QJsonArray>
#include <QRegularExpression>

#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <mutex>

using lumora::platform::kernel;

namespace {

const QString kRuleName = QStringLiteral("70-lumora.rules");
const QString kRuleFix = QStringLiteral("install the udev rule: sudo cp ~/.local/lib/udev/rules.d/70-lumora.rules "
                                        "/etc/udev/rules.d/ && sudo udevadm control --reload && sudo udevadm trigger");

enum class Verdict { Ok, Warn, Fail };

struct Check {
    QString subject;
    QString check;
    Verdict verdict;
    QString detail;
    QString fix;
};

QString errorText(int rc) { return QString::fromLocal8Bit(std::strerror(-rc)); }

QByteArray attribute(const QString &path)
{
    QByteArray contents;
    return kernel().readAttribute(path, &contents) == 0 ? contents.trimmed() : QByteArray();
}

// How a node opens for this user: 0, or -errno. Closed again at once.
int tryOpen(const QString &node, int flags)
{
    const int fd = kernel().open(node, flags);
    if (fd >= 0)
        kernel().close(fd);
    return fd < 0 ? fd : 0;
}

Check accessCheck(const QString &subject, const QString &what, const QString &node, int rc)
{
    if (rc == 0)
        return {subject, what, Verdict::Ok, node + " opens for reading and writing", {}};
    const QString fix = rc == -EACCES || rc == -EPERM ? kRuleFix
                                                      : QStringLiteral("unplug and re-plug the device");
    return {subject, what, Verdict::Fail, QStringLiteral("%1 cannot be opened: %2").arg(node, errorText(rc)), fix};
}

// The usbfs node of a camera or drive: needed for upgrades unless SG_IO passes vendor commands.
Check usbfsCheck(const QString &subject, const QString &usbDeviceDir, bool rawScsi)
{
    const QString node = lumora::upgrade::usbDeviceNode(usbDeviceDir);
    const int rc = node.isEmpty() ? -ENOENT : tryOpen(node, O_RDWR);
    Check check = accessCheck(subject, QStringLiteral("USB device node"), node.isEmpty() ? usbDeviceDir : node, rc);
    if (rc != 0 && rawScsi) {
        check.verdict = Verdict::Warn;
        check.detail += QStringLiteral(" (not needed while SG_IO passes vendor commands)");
    }
    return check;
}

void cameraChecks(const QString &name, const QString &subject, bool rawScsi, QVector<Check> *checks)
{
    const QString node = "/dev/" + name;
    const QString sysNode = kernel().canonicalPath("/sys/class/video4linux/" + name);
    const QString usbDeviceDir = sysNode.section('/', 0, -4);
    const int fd = kernel().open(node, O_RDWR | O_NONBLOCK);
    checks->append(accessCheck(subject, QStringLiteral("video node"), node, fd < 0 ? fd : 0));
    v4l2_capability cap{};
    if (fd >= 0 && kernel().ioctl(fd, VIDIOC_QUERYCAP, &cap) < 0)
        std::memset(&cap, 0, sizeof cap);

    for (const lumora::platform::NodeHolder &holder : kernel().holders(node)) {
        if (holder.pid == ::getpid())
            continue;
        checks->append({subject, QStringLiteral("video node holder"), Verdict::Warn,
                        QStringLiteral("%1 is held by %2 (pid %3): no preview while it is").arg(node, holder.name).arg(holder.pid),
                        QStringLiteral("close %1 (pid %2)").arg(holder.name).arg(holder.pid)});
    }

    const QVector<ExtensionUnitDescriptor> units = extensionUnitsOfNode(name);
    const ExtensionUnitDescriptor *unit = pickExtensionUnit(units, UVCExtensionUnit::kPropertySet);
    if (!unit) {
        checks->append({subject, QStringLiteral("extension unit"), Verdict::Fail,
                        QStringLiteral("the camera's descriptors have no extension unit"),
                        QStringLiteral("this camera has no vendor features; nothing to fix on this machine")});
    } else {
        const bool byGuid = unit->guid == UVCExtensionUnit::kPropertySet;
        QString version;
        UVCExtensionUnit xu;
        const QString card = QString::fromUtf8(reinterpret_cast<const char *>(cap.card));
        const bool answered = fd >= 0 && xu.InitVideoDevice(QString(), card)
            && (xu.GetVersion(0x80, version) || xu.GetVersion(0x0B, version));
        const QString found = byGuid ? QStringLiteral("unit %1 (by GUID)").arg(unit->unitId)
                                     : QStringLiteral("unit %1 (fallback: the first unit; the GUID is not there)").arg(unit->unitId);
        checks->append({subject, QStringLiteral("extension unit"), answered ? Verdict::Ok : Verdict::Fail,
                        answered ? QStringLiteral("%1 answers the version query: %2").arg(found, version)
                                 : QStringLiteral("%1 does not answer the version query").arg(found),
                        answered ? QString()
                                 : fd < 0 ? QStringLiteral("give access to the video node first")
                                          : QStringLiteral("unplug and re-plug the camera")});
    }

    if (fd >= 0) {
        int readable = 0;
        QStringList failed;
        v4l2_queryctrl query{};
        query.id = V4L2_CTRL_FLAG_NEXT_CTRL;
        while (kernel().ioctl(fd, VIDIOC_QUERYCTRL, &query) == 0) {
            if (!(query.flags & V4L2_CTRL_FLAG_DISABLED) && query.type != V4L2_CTRL_TYPE_CTRL_CLASS) {
                v4l2_control control{query.id, 0};
                if (kernel().ioctl(fd, VIDIOC_G_CTRL, &control) == 0)
                    ++readable;
                else
                    failed << QString::fromUtf8(reinterpret_cast<const char *>(query.name));
            }
            query.id |= V4L2_CTRL_FLAG_NEXT_CTRL;
        }
        checks->append({subject, QStringLiteral("standard controls"), failed.isEmpty() ? Verdict::Ok : Verdict::Fail,
                        failed.isEmpty() ? QStringLiteral("%1 readable").arg(readable)
                                         : QStringLiteral("%1 readable, not readable: %2").arg(readable).arg(failed.join(", ")),
                        failed.isEmpty() ? QString() : QStringLiteral("unplug and re-plug the camera")});
        kernel().close(fd);
    } else {
        checks->append({subject, QStringLiteral("standard controls"), Verdict::Fail, QStringLiteral("not checked"),
                        QStringLiteral("give access to the video node first")});
    }
    checks->append(usbfsCheck(subject, usbDeviceDir, rawScsi));
}

// A drive in its boot ROM or updater may show its chip maker's USB ids: its
// disk is still found by its SCSI texts, its USB device node is not granted.
Check ruleLineCheck(const QString &subject, const QString &usbDeviceDir)
{
    const QString vendorId = QString::fromLatin1(attribute(usbDeviceDir + "/idVendor")).toLower();
    const QString productId = QString::fromLatin1(attribute(usbDeviceDir + "/idProduct")).toLower();
    if (lumora::platform::rulesGrantUsbDevice(lumora::platform::shippedUdevRule(), vendorId.toInt(nullptr, 16),
                                              productId.toInt(nullptr, 16)))
        return {subject, QStringLiteral("udev rule ids"), Verdict::Ok,
                QStringLiteral("%1:%2 is covered by %3").arg(vendorId, productId, kRuleName), {}};
    return {subject, QStringLiteral("udev rule ids"), Verdict::Warn,
            QStringLiteral("%1:%2 is not covered by %3").arg(vendorId, productId, kRuleName),
            QStringLiteral("add this line to /etc/udev/rules.d/%1, then reload udev: %2")
                .arg(kRuleName, lumora::platform::usbAccessRuleLine(vendorId.toInt(nullptr, 16), productId.toInt(nullptr, 16)))};
}

void driveChecks(const QString &name, const QString &subject, bool rawScsi, QVector<Check> *checks)
{
    const QString node = "/dev/" + name;
    const QString disk = kernel().canonicalPath("/sys/block/" + name);
    static const QRegularExpression interfaceDir(QStringLiteral("/\\d+-[\\d.]+:\\d+\\.\\d+/"));
    const QRegularExpressionMatch m = interfaceDir.match(disk);
    const QString usbDeviceDir = m.hasMatch() ? disk.left(m.capturedStart()) : QString();
    // Read-only: INQUIRY needs no more, and a CD-ROM or write-protected drive
    // refuses a writable open (EROFS).
    const int fd = kernel().open(node, O_RDONLY | O_NONBLOCK);
    Check access = accessCheck(subject, QStringLiteral("disk node"), node, fd < 0 ? fd : 0);
    if (fd >= 0)
        access.detail = node + QStringLiteral(" opens for reading");
    checks->append(access);
    if (fd >= 0) {
        static const std::uint8_t inquiry[6] = {0x12, 0, 0, 0, 36, 0};
        std::uint8_t answer[36] = {};
        lumora::upgrade::ScsiCommand command;
        command.cdb = inquiry;
        command.cdbLength = 6;
        command.direction = lumora::upgrade::ScsiCommand::Direction::In;
        command.data = answer;
        command.length = 36;
        command.timeoutMs = 2000;
        const int rc = lumora::upgrade::SgIoTransport(fd).execute(command);
        kernel().close(fd);
        const QString product = QString::fromLatin1(reinterpret_cast<const char *>(answer) + 16, int(qstrnlen(reinterpret_cast<const char *>(answer) + 16, 16))).trimmed();
        checks->append({subject, QStringLiteral("INQUIRY"), rc == 0 ? Verdict::Ok : Verdict::Fail,
                        rc == 0 ? QStringLiteral("answered (%1)").arg(product.isEmpty() ? QStringLiteral("ROM") : product)
                                : rc < 0 ? QStringLiteral("not answered: %1").arg(errorText(rc)) : QStringLiteral("refused by the drive"),
                        rc == 0 ? QString() : QStringLiteral("unplug and re-plug the camera")});
    }
    checks->append({subject, QStringLiteral("SG_IO vendor commands"), Verdict::Ok,
                    rawScsi ? QStringLiteral("allowed (this process has CAP_SYS_RAWIO)")
                            : QStringLiteral("refused to this user (no CAP_SYS_RAWIO); upgrades go over USB Bulk-Only"),
                    {}});
    Check usbfs = usbfsCheck(subject, usbDeviceDir, rawScsi);
    // Found, but out of this user's reach: the exact line that fixes it.
    lumora::upgrade::UpdateDriveInfo drive;
    drive.node = node;
    drive.port = lumora::upgrade::usbPortOfSysfsPath(disk);
    drive.vendorId = attribute(usbDeviceDir + "/idVendor").toInt(nullptr, 16);
    drive.productId = attribute(usbDeviceDir + "/idProduct").toInt(nullptr, 16);
    const QString problem = lumora::upgrade::checkDriveAccess(drive).explanation(drive);
    if (!problem.isEmpty())
        usbfs.fix = problem;
    checks->append(usbfs);
    if (!usbDeviceDir.isEmpty())
        checks->append(ruleLineCheck(subject, usbDeviceDir));
}

QString verdictName(Verdict verdict)
{
    switch (verdict) {
    case Verdict::Ok: return QStringLiteral("ok");
    case Verdict::Warn: return QStringLiteral("warn");
    case Verdict::Fail: return QStringLiteral("FAIL");
    }
    return {};
}

// Every check of the machine; `devices` counts the cameras and drives seen.
QVector<Check> machineChecks(const ManufacturerProfile &profile, int *devicesSeen)
{
    QVector<Check> checks;
    const bool rawScsi = kernel().rawScsiAllowed();
    int devices = 0;
    // From sysfs, not the device list: a camera this user cannot open is not in the list.
    for (const QString &name : kernel().listDirectory("/sys/class/video4linux")) {
        lumora::platform::UsbInterfaceIdentity id;
        if (!lumora::platform::usbIdentityFromSysfs(kernel(), name, &id)
            || attribute("/sys/class/video4linux/" + name + "/index") != "0"
            || !acceptsHotplugPath(lumora::platform::synthesizeDevicePath(id), profile.code))
            continue;
        const QString product = QString::fromUtf8(attribute("/sys/class/video4linux/" + name + "/name"));
        cameraChecks(name, QStringLiteral("camera %1 (%2)").arg(devices++).arg(product), rawScsi, &checks);
    }
    {
        // The worker and this check must not talk to a drive at once.
        const std::lock_guard<std::mutex> lock(lumora::upgrade::channelMutex());
        for (const QString &name : kernel().listDirectory("/sys/block")) {
            if (!(name.startsWith("sd") || name.startsWith("sr")) || !kernel().canonicalPath("/sys/block/" + name).contains(QRegularExpression("/usb\\d+/"))
                || !lumora::upgrade::acceptsVendor(profile.code, attribute("/sys/block/" + name + "/device/vendor")))
                continue;
            ++devices;
            driveChecks(name, QStringLiteral("update drive /dev/%1").arg(name), rawScsi, &checks);
        }
    }
    const QString rule = kernel().installedUdevRule(kRuleName);
    checks.append({QStringLiteral("this machine"), QStringLiteral("udev rule"), rule.isEmpty() ? Verdict::Warn : Verdict::Ok,
                   rule.isEmpty() ? QStringLiteral("%1 is not installed").arg(kRuleName) : QStringLiteral("installed at %1").arg(rule),
                   rule.isEmpty() ? kRuleFix : QString()});
    *devicesSeen = devices;
    return checks;
}

bool anyFailed(const QVector<Check> &checks, int devices)
{
    return devices == 0
        || std::any_of(checks.begin(), checks.end(), [](const Check &c) { return c.verdict == Verdict::Fail; });
}

} // namespace

bool doctorReady(const ManufacturerProfile &profile)
{
    int devices = 0;
    const QVector<Check> checks = machineChecks(profile, &devices);
    return !anyFailed(checks, devices);
}

int doctorCommand(const ManufacturerProfile &profile, bool json)
{
    int devices = 0;
    const QVector<Check> checks = machineChecks(profile, &devices);
    const bool failed = anyFailed(checks, devices);
    if (json) {
        QJsonArray list;
        for (const Check &c : qAsConst(checks)) {
            QJsonObject entry{{"subject", c.subject}, {"check", c.check}, {"verdict", verdictName(c.verdict)}, {"detail", c.detail}};
            if (!c.fix.isEmpty())
                entry.insert("fix", c.fix);
            list.append(entry);
        }
        printJson({{"devices", devices}, {"ready", !failed}, {"checks", list}});
    } else {
        if (devices == 0)
            printLine(QStringLiteral("FAIL  no camera or update drive of this profile is connected"));
        for (const Check &c : qAsConst(checks)) {
            printLine(QStringLiteral("%1  %2: %3: %4").arg(verdictName(c.verdict), -4).arg(c.subject, c.check, c.detail));
            if (!c.fix.isEmpty() && c.verdict != Verdict::Ok)
                printLine(QStringLiteral("      fix: %1").arg(QString(c.fix).replace('\n', QLatin1String("\n           "))));
        }
    }
    if (devices == 0)
        return ExitNoCamera;
    return failed ? ExitFailure : ExitOk;
}
