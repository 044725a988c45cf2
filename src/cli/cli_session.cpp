#include "cli/cli_session.h"
#include "cli/cli_output.h"
#include "control/cameraparameters.h"

namespace {

constexpr int kVersionCode = 0x80;
constexpr int kLegacyVersionCode = 0x0B;

} // namespace

QVector<CameraDeviceInfo> profileCameras(DShowCameraWrapper &wrapper, const ManufacturerProfile &profile)
{
    QVector<CameraDeviceInfo> devices;
    wrapper.ListCameraDevices(devices);
    QVector<CameraDeviceInfo> cameras;
    for (const CameraDeviceInfo &device : devices) {
        if (acceptsCamera(device, profile.code, profile.vid))
            cameras.append(device);
    }
    return cameras;
}

CameraSession::CameraSession(ManufacturerProfile profile) : m_profile(profile) {}

CameraSession::~CameraSession()
{
    unit.ReleaseVideoDevice();
    wrapper.ReleaseCameraDevice();
}

int CameraSession::open(int index)
{
    const QVector<CameraDeviceInfo> cameras = profileCameras(wrapper, m_profile);
    if (cameras.isEmpty())
        return fail(ExitNoCamera, QStringLiteral("no camera of this profile is connected"));
    if (index < 0 || index >= cameras.size())
        return fail(ExitNoCamera, QStringLiteral("there is no camera %1 (cameras 0 to %2 are connected)")
                                      .arg(index).arg(cameras.size() - 1));
    m_info = cameras.at(index);
    m_model = modelFromFriendlyName(m_info.friendlyName);
    if (!wrapper.OpenCameraDevice(m_info.pathId, m_info.friendlyName, &m_position))
        return fail(ExitNoCamera, QStringLiteral("camera %1 cannot be opened").arg(index));
    if (!unit.InitVideoDevice(m_info.pathId, m_info.friendlyName))
        return fail(ExitFailure, QStringLiteral("camera %1 has no vendor control channel").arg(index));
    wrapper.QueryCameraParameters(m_position, m_model);
    return ExitOk;
}

bool CameraSession::present()
{
    DShowCameraWrapper lister;
    for (const CameraDeviceInfo &camera : profileCameras(lister, m_profile)) {
        if (camera.pathId == m_info.pathId)
            return true;
    }
    return false;
}

QString CameraSession::firmwareVersion()
{
    QString version;
    if (unit.GetVersion(kVersionCode, version) || unit.GetVersion(kLegacyVersionCode, version))
        return version;
    return {};
}
