#include "device/uvcextensionunit.h"

#include "device/v4l2controlnode.h"
#include "platform/kernel.h"

#include <QDebug>

#include <linux/usb/video.h>
#include <linux/uvcvideo.h>

#include <cstdio>
#include <fcntl.h>

using lumora::platform::kernel;

const ExtensionUnitGuid UVCExtensionUnit::kPropertySet = {0xD0, 0x9E, 0xE4, 0x23, 0x78, 0x11, 0x31, 0x4F,
                                                          0xAE, 0x52, 0xD2, 0xFB, 0x8A, 0x8D, 0x3B, 0x48};

namespace {

void printInfo(const char *function, const char *step, UVCExtensionUnit::Status status)
{
    std::printf("info: Function: %s, %s failed, Error code: 0x%.2x \n", function, step, unsigned(status));
    std::fflush(stdout);
}

} // namespace

// The extension units of the active configuration of the USB device a video node belongs to.
QVector<ExtensionUnitDescriptor> extensionUnitsOfNode(const QString &node)
{
    // /sys/class/video4linux/videoN resolves to .../<usb device>/<interface>/video4linux/videoN
    const QString sysNode = kernel().canonicalPath("/sys/class/video4linux/" + node.section('/', -1));
    const QString usbDevice = sysNode.section('/', 0, -4);
    QByteArray contents;
    if (sysNode.isEmpty() || kernel().readAttribute(usbDevice + "/descriptors", &contents) < 0)
        return {};
    QByteArray active;
    bool known = kernel().readAttribute(usbDevice + "/bConfigurationValue", &active) >= 0;
    const int value = active.trimmed().toInt(&known);
    return parseExtensionUnits(contents, known ? value : -1);
}

UVCExtensionUnit::Status UVCExtensionUnit::statusFromErrno(int negativeErrno)
{
    return Status(0x80070000u | (quint32(-negativeErrno) & 0xFFFFu));
}

UVCExtensionUnit::UVCExtensionUnit(QObject *parent) : QObject(parent) {}

UVCExtensionUnit::~UVCExtensionUnit() { ReleaseVideoDevice(); }

bool UVCExtensionUnit::isOpen() const
{
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    return m_fd >= 0;
}

bool UVCExtensionUnit::InitVideoDevice(QString pathId, QString friendlyName)
{
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    // Opening over an open unit would leak its descriptor.
    if (m_fd >= 0)
        releaseLocked();
    QVector<CameraDeviceInfo> devices;
    V4l2ControlNode().ListCameraDevices(devices);
    for (int i = 0; i < devices.size(); ++i) {
        const CameraDeviceInfo &device = devices[i];
        qDebug() << "uvc camera index:" << i << " name:" << device.friendlyName;
        qDebug() << "uvc path:" << device.pathId;
        if (!device.pathId.contains(pathId) || device.friendlyName != friendlyName)
            continue;
        const int fd = kernel().open(device.alias, O_RDWR | O_NONBLOCK);
        if (fd < 0) {
            printInfo("UVCExtensionUnit::InitVideoDevice", "Activating video device", statusFromErrno(fd));
            return false;
        }
        m_fd = fd;
        m_units = extensionUnitsOfNode(device.alias);
        return true;
    }
    return false;
}

void UVCExtensionUnit::releaseLocked()
{
    if (m_fd >= 0)
        kernel().close(m_fd);
    m_fd = -1;
    sequenceCounter = 0;
    m_units.clear();
}

void UVCExtensionUnit::ReleaseVideoDevice()
{
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    releaseLocked();
}

bool UVCExtensionUnit::ReopenVideoDevice(const QString &pathId, const QString &friendlyName)
{
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    releaseLocked();
    return InitVideoDevice(pathId, friendlyName);
}

UVCExtensionUnit::Status UVCExtensionUnit::SetGetExtensionUnit(ExtensionUnitGuid propertySet, quint32 selector,
                                                               quint32 flags, quint8 *data, quint32 length,
                                                               quint32 *bytesReturned)
{
    static const char kFunction[] = "UVCExtensionUnit::SetGetExtensionUnit";
    int rc = 0;
    {
        std::lock_guard<std::recursive_mutex> lock(m_lock);
        if (m_fd < 0)
            return kStatusPointer;
        const ExtensionUnitDescriptor *unit = pickExtensionUnit(m_units, propertySet);
        if (!unit) {
            printInfo(kFunction, "FindExtensionNode", kStatusFail);
            return kStatusFail;
        }
        std::printf("found one xu node\n");
        uvc_xu_control_query query{};
        query.unit = quint8(unit->unitId);
        query.selector = quint8(selector);
        query.query = flags == kFlagsGet ? UVC_GET_CUR : UVC_SET_CUR;
        query.size = quint16(length);
        query.data = data;
        rc = kernel().ioctl(m_fd, UVCIOC_CTRL_QUERY, &query);
    }
    if (rc >= 0) {
        if (bytesReturned)
            *bytesReturned = flags == kFlagsGet ? length : 0;
        return 0;
    }
    // On the GUI thread the recovery runs right here: the unit is re-opened before this call returns.
    qDebug() << "Set FAIL REINITUVC";
    emit reInitUvc();
    const Status status = statusFromErrno(rc);
    printInfo(kFunction, "ks_control->KsProperty(...)", status);
    return status;
}
