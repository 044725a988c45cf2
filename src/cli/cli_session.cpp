#include "cli/cli_session.h"
#include "cli/cli_output.h"

#include "platform/device_path.h"
#include "platform/kernel.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QThread>

using lumora::platform::kernel;

namespace {

constexpr int kPollMs = 50;

ListedCamera describe(const CameraDeviceInfo &info)
{
    ListedCamera camera;
    camera.info = info;
    camera.model = modelFromFriendlyName(info.friendlyName);
    camera.node = info.alias;
    int vid = 0;
    int pid = 0;
    ParseVidPid(info.pathId, &vid, &pid);
    camera.profile = lumora::camera::profileOfVendor(vid);
    const QString nodeName = info.alias.section(QLatin1Char('/'), -1);
    lumora::platform::UsbInterfaceIdentity id;
    if (lumora::platform::usbIdentityFromSysfs(kernel(), nodeName, &id)) {
        camera.port = id.port;
        camera.devicePath = lumora::platform::synthesizeDevicePath(id);
        camera.serial = lumora::platform::usbSerial(kernel(), id.port);
    }
    return camera;
}

} // namespace

QVector<ListedCamera> listCameras(int profile)
{
    QVector<CameraDeviceInfo> devices;
    V4l2ControlNode().ListCameraDevices(devices);
    QVector<ListedCamera> cameras;
    for (const ManufacturerEntry &entry : manufacturerTable) {
        if (profile >= 0 && entry.code != profile)
            continue;
        QVector<ListedCamera> ofProfile;
        for (const CameraDeviceInfo &device : devices) {
            // The window puts each camera it has not listed before at the top.
            if (acceptsCamera(device, entry.code, entry.vid))
                ofProfile.prepend(describe(device));
        }
        cameras += ofProfile;
    }
    return cameras;
}

QVector<CameraDeviceInfo> profileCameras(const ManufacturerProfile &profile)
{
    QVector<CameraDeviceInfo> infos;
    for (const ListedCamera &camera : listCameras(profile.code))
        infos.append(camera.info);
    return infos;
}

QString readFirmware(const ListedCamera &listed)
{
    lumora::camera::Camera camera;
    camera.setIdentity(listed.info.pathId, listed.info.friendlyName);
    if (!camera.openChannel())
        return {};
    return camera.readFirmware();
}

bool validSelector(const QString &selector)
{
    return !selector.isEmpty() && !selector.startsWith(QLatin1Char('-'));
}

int findCamera(const QVector<ListedCamera> &cameras, const QString &selector)
{
    bool isIndex = false;
    const int index = selector.toInt(&isIndex);
    if (isIndex)
        return index >= 0 && index < cameras.size() ? index : -1;
    QString node = selector;
    if (selector.startsWith(QLatin1String("/dev/v4l/"))) {
        const QString target = kernel().canonicalPath(selector);
        if (!target.isEmpty() && target != selector)
            node = target;
    }
    for (int i = 0; i < cameras.size(); ++i) {
        const ListedCamera &camera = cameras.at(i);
        if (camera.node == node || (!camera.serial.isEmpty() && camera.serial == selector))
            return i;
        // udev's by-id names carry the serial: usb-<vendor>_<model>_<serial>-video-index0.
        if (selector.startsWith(QLatin1String("/dev/v4l/by-id/")) && !camera.serial.isEmpty()
            && selector.contains(QLatin1Char('_') + camera.serial + QLatin1String("-video-index")))
            return i;
    }
    return -1;
}

CameraSession::CameraSession(ManufacturerProfile profile) : unit(m_camera.unit()), m_profile(profile)
{
    // A failed transfer re-opens the channel, as in the window.
    QObject::connect(&m_camera.unit(), &UVCExtensionUnit::reInitUvc, &m_camera, [this] { m_camera.reopenChannel(); });
}

CameraSession::~CameraSession()
{
    m_camera.close();
}

bool CameraSession::openCamera()
{
    m_camera.close();
    m_camera.setIdentity(m_listed.info.pathId, m_listed.info.friendlyName);
    m_camera.bindCapture(nullptr);
    if (!m_camera.openChannel())
        return false;
    m_camera.setEchoFieldOfView(false);
    m_camera.readState();
    return true;
}

int CameraSession::open(const QString &selector)
{
    const QVector<ListedCamera> cameras = listCameras(m_profile.code);
    if (cameras.isEmpty())
        return fail(ExitNoCamera, QStringLiteral("no camera of this profile is connected"));
    const int index = findCamera(cameras, selector);
    if (index < 0) {
        bool isIndex = false;
        selector.toInt(&isIndex);
        if (isIndex)
            return fail(ExitNoCamera, QStringLiteral("there is no camera %1 (cameras 0 to %2 are connected)")
                                          .arg(selector).arg(cameras.size() - 1));
        return fail(ExitNoCamera, QStringLiteral("no connected camera is named %1").arg(selector));
    }
    m_index = index;
    m_listed = cameras.at(index);
    if (!openCamera()) {
        if (!present())
            return fail(ExitNoCamera, QStringLiteral("the camera was unplugged"));
        return fail(ExitFailure, QStringLiteral("%1 has no vendor control channel").arg(m_listed.node));
    }
    // A camera lost during the state read has nothing to report.
    if (!present())
        return fail(ExitNoCamera, QStringLiteral("the camera was unplugged"));
    return ExitOk;
}

bool CameraSession::present()
{
    for (const ListedCamera &camera : listCameras(m_profile.code)) {
        if (camera.info.pathId == m_listed.info.pathId)
            return true;
    }
    return false;
}

bool CameraSession::reopenAfterRestart(int timeoutMs)
{
    m_camera.close();
    QElapsedTimer clock;
    clock.start();
    bool gone = false;
    while (clock.elapsed() < timeoutMs) {
        // Device events and the simulated restart run on this thread's event loop.
        QCoreApplication::processEvents(QEventLoop::AllEvents, kPollMs);
        QThread::msleep(kPollMs);
        const bool here = present();
        if (!here) {
            gone = true;
            continue;
        }
        // Still the old camera until it has gone once, unless it never leaves.
        if (!gone && clock.elapsed() < timeoutMs / 4)
            continue;
        for (const ListedCamera &camera : listCameras(m_profile.code)) {
            if (camera.info.pathId == m_listed.info.pathId)
                m_listed = camera;
        }
        if (openCamera())
            return true;
    }
    return false;
}
