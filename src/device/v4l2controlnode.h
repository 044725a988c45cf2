#pragma once
// The V4L2 control node: enumeration of the capture nodes (in /dev/videoN
// number order) and the standard camera and image controls of the open one
// (docs/platform.md).

#include "device/controlcache.h"
#include "core/cameradeviceinfo.h"

#include <QObject>
#include <QVector>

// Descriptor of the open camera's capture node, or -1. Bound by
// OpenCameraDevice, closed by ReleaseCameraDevice; GUI thread only.
extern int currentFilter;

class V4l2ControlNode : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    // Appends one record per capture device (cameras named "MIC" are left
    // out but keep their position); returns the vector's size.
    int ListCameraDevices(QVector<CameraDeviceInfo> &devices);
    // Binds the device with this pathId and friendly name to currentFilter;
    // *position gets its place in the enumeration.
    bool OpenCameraDevice(const QString &pathId, const QString &friendlyName, int *position);
    void ReleaseCameraDevice();
    // Opens the device at position n into *filter (the caller closes it
    // through the kernel); true when n is not negative.
    bool BindCaptureFilter(int n, int *filter);

    // ---- standard controls ----
    // Fills the parameter cache (camera/controlcache.h) from the device at
    // `position`; models 9-11 skip pan, tilt, zoom and focus, only 4 and 14 read focus.
    bool QueryCameraParameters(int position, int model);
    // Read one value into the cache; a failed read caches `value` itself.
    bool GetCameraProperty(int propertyId, int value);
    bool GetImageProperty(int propertyId, int value);
    // Write one value in manual mode. The device's answer is only seen by reading back.
    bool SetCameraProperty(int propertyId, int value);
    bool SetImageProperty(int propertyId, int value);
    bool SetImagePropertyAuto(int propertyId);
    // Whether the bound device has an automatic mode for the control and
    // whether it is on: -1 none, 0 off, 1 on.
    int AutoModeState(int propertyId, bool cameraControl);

    ControlCache &cache() { return m_cache; }
    const ControlCache &cache() const { return m_cache; }

private:
    ControlCache m_cache;
};
