#include "cli/cli_dump.h"

#include "cli/cli_output.h"
#include "cli/cli_session.h"
#include "device/uvcextensionunit.h"
#include "device/v4l2controlnode.h"
#include "platform/kernel.h"
#include "sim/sim_extension_unit.h"

#include <QCryptographicHash>
#include <QSaveFile>
#include <QJsonDocument>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <linux/videodev2.h>

using lumora::platform::kernel;
using lumora::sim::SimExtensionUnit;

namespace {

QString attribute(const QString &path)
{
    QByteArray contents;
    if (kernel().readAttribute(path, &contents) < 0)
        return {};
    return QString::fromUtf8(contents).section(QLatin1Char('\n'), 0, 0).trimmed();
}

// The same serial always gives the same stand-in, so two dumps of one camera
// still say it is one camera, without telling which.
QString hiddenSerial(const QString &serial)
{
    if (serial.isEmpty())
        return serial;
    return QString::fromLatin1(QCryptographicHash::hash(serial.toUtf8(), QCryptographicHash::Sha256).toHex().left(16)).toUpper();
}

QString text(const __u8 *field, size_t size)
{
    return QString::fromUtf8(reinterpret_cast<const char *>(field), int(qstrnlen(reinterpret_cast<const char *>(field), size)));
}

struct Node {
    QString path;
    v4l2_capability caps{};
    bool capture() const { return caps.device_caps & V4L2_CAP_VIDEO_CAPTURE; }
};

// The video nodes of the camera's VideoControl interface, in the order uvcvideo
// registered them; `refusal` names the first node that could not be opened.
QVector<Node> interfaceNodes(const QString &interfaceDir, QString *refusal)
{
    QVector<Node> nodes;
    for (const QString &name : kernel().listDirectory(interfaceDir + QStringLiteral("/video4linux"))) {
        Node node{QStringLiteral("/dev/") + name, {}};
        const int fd = kernel().open(node.path, O_RDWR | O_NONBLOCK);
        if (fd < 0 && refusal->isEmpty())
            *refusal = QStringLiteral("cannot open %1: %2").arg(node.path, QString::fromLocal8Bit(strerror(-fd)));
        if (fd < 0)
            continue;
        if (kernel().ioctl(fd, VIDIOC_QUERYCAP, &node.caps) == 0)
            nodes.append(node);
        kernel().close(fd);
    }
    std::sort(nodes.begin(), nodes.end(), [](const Node &a, const Node &b) {
        return a.path.mid(10).toInt() < b.path.mid(10).toInt();
    });
    return nodes;
}

// The card is "<product>: <function or interface name>", cut to 31 bytes.
void describeCard(const QString &card, const QString &product, const QString &interfaceName, QJsonObject *camera)
{
    const QString prefix = product + QStringLiteral(": ");
    if (!card.startsWith(prefix))
        return;
    const QString suffix = card.mid(prefix.size());
    if (!interfaceName.startsWith(suffix))
        camera->insert("function", suffix);
}

// The vendor unit's read queries: the version and every feature.
void readVendorState(const ListedCamera &listed, QJsonObject *unit, QJsonObject *camera)
{
    UVCExtensionUnit channel;
    if (!channel.InitVideoDevice(listed.info.pathId, listed.info.friendlyName))
        return;
    QString version;
    if (channel.GetVersion(UVCExtensionUnit::kVersionQuery, version)) {
        camera->insert("firmware", version);
    } else if (channel.GetVersion(UVCExtensionUnit::kLegacyVersionQuery, version)) {
        camera->insert("firmware", version);
        unit->insert("legacyVersion", true);
    }
    using Getter = bool (UVCExtensionUnit::*)(int &);
    const QPair<const char *, Getter> features[] = {
        {SimExtensionUnit::kHdr, &UVCExtensionUnit::GetHDR},
        {SimExtensionUnit::kAntiFlicker, &UVCExtensionUnit::GetAntiFlicker},
        {SimExtensionUnit::kMic, &UVCExtensionUnit::GetMicEnable},
        {SimExtensionUnit::kViewAngle, &UVCExtensionUnit::GetViewAngle},
        {SimExtensionUnit::kHd, &UVCExtensionUnit::GetHD},
        {SimExtensionUnit::kTrackMode, &UVCExtensionUnit::GetTrackMode},
        {SimExtensionUnit::kTrackEffect, &UVCExtensionUnit::GetTrackEffect},
        {SimExtensionUnit::kTrackSpeed, &UVCExtensionUnit::GetTrackSpeed},
    };
    QJsonObject values;
    for (const auto &feature : features) {
        int value = 0;
        if ((channel.*feature.second)(value))
            values.insert(QLatin1String(feature.first), value);
    }
    camera->insert("features", values);
    channel.ReleaseVideoDevice();
}

QString guidText(const ExtensionUnitGuid &g)
{
    return QString::asprintf("{%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g[3], g[2], g[1],
                             g[0], g[5], g[4], g[7], g[6], g[8], g[9], g[10], g[11], g[12], g[13], g[14], g[15]);
}

// The vendor extension unit, its selectors and what its read queries answer;
// a unit of any other GUID is left alone (our queries mean nothing to it).
void readExtensionUnit(const ListedCamera &listed, int fd, QJsonObject *camera)
{
    for (const ExtensionUnitDescriptor &unit : extensionUnitsOfNode(listed.node)) {
        if (unit.guid != UVCExtensionUnit::kPropertySet)
            continue;
        QJsonObject object{{"unitId", unit.unitId}, {"guid", guidText(unit.guid)},
                           {"selectors", cli_dump::readSelectors(fd, unit.unitId, unit.controls)}};
        readVendorState(listed, &object, camera);
        camera->insert("extensionUnit", object);
        return;
    }
    camera->insert("extensionUnit", false);
}

int dumpCamera(const ListedCamera &listed, bool keepSerial, QJsonObject *camera)
{
    const QString node = kernel().canonicalPath(QStringLiteral("/sys/class/video4linux/") + listed.node.section('/', -1));
    const QString interfaceDir = node.section(QLatin1Char('/'), 0, -3);
    const QString deviceDir = interfaceDir.section(QLatin1Char('/'), 0, -2);
    if (listed.port.isEmpty())
        return fail(ExitFailure, QStringLiteral("%1 is not a USB camera; only USB cameras can be dumped").arg(listed.node));
    QByteArray descriptors;
    if (kernel().readAttribute(deviceDir + QStringLiteral("/descriptors"), &descriptors) < 0)
        return fail(ExitFailure, QStringLiteral("cannot read the USB descriptors of %1").arg(listed.node));
    const QString product = attribute(deviceDir + QStringLiteral("/product"));
    const QString interfaceName = attribute(interfaceDir + QStringLiteral("/interface"));
    const QString serial = attribute(deviceDir + QStringLiteral("/serial"));
    *camera = {{"id", "camera"},
               {"vendorId", QStringLiteral("0x") + attribute(deviceDir + QStringLiteral("/idVendor"))},
               {"productId", QStringLiteral("0x") + attribute(deviceDir + QStringLiteral("/idProduct"))},
               {"manufacturer", attribute(deviceDir + QStringLiteral("/manufacturer"))},
               {"product", product},
               {"serial", keepSerial ? serial : hiddenSerial(serial)},
               {"port", listed.port},
               {"interface", attribute(interfaceDir + QStringLiteral("/bInterfaceNumber")).toInt(nullptr, 16)},
               {"descriptors", QString::fromLatin1(descriptors.toHex())}};
    if (!interfaceName.isEmpty())
        camera->insert("interfaceName", interfaceName);

    QString refusal;
    const QVector<Node> nodes = interfaceNodes(interfaceDir, &refusal);
    QJsonArray streams;
    QStringList sizes;
    QList<int> rates;
    bool metadata = false;
    int controlFd = -1;
    for (const Node &each : nodes) {
        if (!each.capture()) {
            metadata = metadata || (each.caps.device_caps & V4L2_CAP_META_CAPTURE);
            continue;
        }
        const int fd = kernel().open(each.path, O_RDWR | O_NONBLOCK);
        if (fd < 0 && controlFd >= 0)
            kernel().close(controlFd);
        if (fd < 0)
            return fail(ExitFailure, QStringLiteral("cannot open %1: %2").arg(each.path, QString::fromLocal8Bit(strerror(-fd))));
        if (streams.isEmpty()) {
            camera->insert("driver", text(each.caps.driver, sizeof each.caps.driver));
            describeCard(text(each.caps.card, sizeof each.caps.card), product, interfaceName, camera);
            controlFd = fd;
        }
        streams.append(cli_dump::readStream(fd, &sizes, &rates));
        if (fd != controlFd)
            kernel().close(fd);
    }
    if (controlFd < 0)
        return fail(ExitFailure, refusal.isEmpty() ? QStringLiteral("%1 has no capture node to read").arg(listed.node) : refusal);
    camera->insert("streams", streams);
    camera->insert("metadata", metadata);
    if (!sizes.isEmpty())
        camera->insert("frameSizes", QJsonArray::fromStringList(sizes));
    QJsonArray rateList;
    for (int rate : rates)
        rateList.append(rate);
    if (!rateList.isEmpty())
        camera->insert("frameRates", rateList);
    QJsonObject controls;
    QJsonArray others;
    cli_dump::readControls(controlFd, &controls, &others);
    camera->insert("controls", controls);
    if (!others.isEmpty())
        camera->insert("otherControls", others);
    readExtensionUnit(listed, controlFd, camera);
    kernel().close(controlFd);
    return ExitOk;
}

} // namespace

int dumpCommand(const QString &selector, const QString &file, bool keepSerial)
{
    QVector<CameraDeviceInfo> devices;
    V4l2ControlNode().ListCameraDevices(devices);
    QVector<ListedCamera> cameras;
    for (const CameraDeviceInfo &device : qAsConst(devices))
        cameras.append(describeCamera(device));
    if (cameras.isEmpty())
        return fail(ExitNoCamera, QStringLiteral("no camera is connected"));
    const int index = findCamera(cameras, selector);
    // A node this user may not open is not listed at all: say why.
    if (index < 0 && selector.startsWith(QLatin1String("/dev/"))) {
        const int fd = kernel().open(selector, O_RDWR | O_NONBLOCK);
        if (fd >= 0)
            kernel().close(fd);
        else if (fd != -ENOENT)
            return fail(ExitFailure, QStringLiteral("cannot open %1: %2; `lumora-cli doctor` tells why")
                                         .arg(selector, QString::fromLocal8Bit(strerror(-fd))));
    }
    if (index < 0)
        return fail(ExitNoCamera, QStringLiteral("no connected camera is named %1 (cameras 0 to %2 are connected, in "
                                                 "the order the system lists them)")
                                      .arg(selector).arg(cameras.size() - 1));
    QJsonObject camera;
    if (const int rc = dumpCamera(cameras.at(index), keepSerial, &camera))
        return rc;
    const QByteArray json = QJsonDocument(QJsonObject{{"cameras", QJsonArray{camera}}}).toJson();
    if (file.isEmpty() || file == QLatin1String("-")) {
        fwrite(json.constData(), 1, size_t(json.size()), resultStream());
        return ExitOk;
    }
    // An existing file stays as it was unless the whole dump gets written.
    QSaveFile out(file);
    if (!out.open(QIODevice::WriteOnly) || out.write(json) != json.size() || !out.commit())
        return fail(ExitUnreadable, QStringLiteral("cannot write %1: %2").arg(file, out.errorString()));
    printLine(QStringLiteral("camera %1 (%2) written to %3").arg(index).arg(cameras.at(index).node, file));
    return ExitOk;
}
