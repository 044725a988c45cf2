#pragma once
// The cameras lumora-cli sees, named as people name them on Linux, and one
// of them opened as a camera model, the same one the window drives.

#include "camera/camera.h"
#include "core/catalogue.h"

#include <QVector>

// One connected camera of either profile.
struct ListedCamera {
    CameraDeviceInfo info;
    int profile = -1;
    int model = kNoModel;
    QString node;       // "/dev/video0"
    QString serial;     // empty when the camera has none
    QString port;       // USB port path, "1-4"
    QString devicePath; // the Windows-shaped interface path the catalogue works on
    QString firmware;   // filled by readFirmware
};

// One enumerated capture device with its USB identity and profile.
ListedCamera describeCamera(const CameraDeviceInfo &info);

// The camera's firmware version, read through its extension unit; empty when unreadable.
QString readFirmware(const ListedCamera &camera);

// A profile's cameras in the order the window's list shows them after a
// fresh start (newest first); profile -1: every supported camera.
QVector<ListedCamera> listCameras(int profile);
// Compatibility for the upgrade commands: the profile's cameras in that order.
QVector<CameraDeviceInfo> profileCameras(const ManufacturerProfile &profile);

// Which camera `-c` names: its index in the list, a serial, a /dev/videoN
// node or a /dev/v4l/by-id path. -1 when none matches.
int findCamera(const QVector<ListedCamera> &cameras, const QString &selector);
// Whether a -c value is well formed (a negative index is not).
bool validSelector(const QString &selector);

class CameraSession {
    lumora::camera::Camera m_camera; // first: `unit` refers into it

public:
    explicit CameraSession(ManufacturerProfile profile);
    ~CameraSession();
    CameraSession(const CameraSession &) = delete;
    CameraSession &operator=(const CameraSession &) = delete;

    // Opens the camera `selector` names (default "0") and reads its state; an
    // exit code (ExitOk on success), with the message printed.
    int open(const QString &selector);
    // Whether the open camera is still plugged in.
    bool present();
    // After a restart (HD, microphone): waits at most `timeoutMs` for the
    // camera to come back and opens it again.
    bool reopenAfterRestart(int timeoutMs);

    const CameraDeviceInfo &info() const { return m_listed.info; }
    const ListedCamera &listed() const { return m_listed; }
    int model() const { return m_listed.model; }
    int index() const { return m_index; }
    QString firmwareVersion() { return m_camera.state().firmware; }
    lumora::camera::Camera &camera() { return m_camera; }

    UVCExtensionUnit &unit;

private:
    bool openCamera();

    ManufacturerProfile m_profile;
    ListedCamera m_listed;
    int m_index = -1;
};
