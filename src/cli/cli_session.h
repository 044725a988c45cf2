#pragma once
// One camera of the profile, opened the way the window opens it: capture node
// bound for the standard controls, extension unit for the vendor features.

#include "control/uvcextensionunit.h"
#include "core/catalogue.h"
#include "devices/dshowcamerawrapper.h"

#include <QVector>

// The profile's cameras in enumeration order, as the device list shows them.
QVector<CameraDeviceInfo> profileCameras(DShowCameraWrapper &wrapper, const ManufacturerProfile &profile);

class CameraSession {
public:
    explicit CameraSession(ManufacturerProfile profile);
    ~CameraSession();
    CameraSession(const CameraSession &) = delete;
    CameraSession &operator=(const CameraSession &) = delete;

    // Opens camera `index` of the list; an exit code (ExitOk on success),
    // with the message printed.
    int open(int index);
    // Whether the open camera is still plugged in.
    bool present();

    const CameraDeviceInfo &info() const { return m_info; }
    int model() const { return m_model; }
    int position() const { return m_position; }
    QString firmwareVersion();

    DShowCameraWrapper wrapper;
    UVCExtensionUnit unit;

private:
    ManufacturerProfile m_profile;
    CameraDeviceInfo m_info;
    int m_model = kNoModel;
    int m_position = -1;
};
