#pragma once
// The camera's standard V4L2 controls (pan, tilt, zoom, focus, image).
// (Interface fixed; the control subsystem's developer fills it in.)

#include <QJsonObject>

namespace lumora::sim {

// Control values the simulated picture shows, in V4L2 units.
struct SimScene {
    int pan = 0, tilt = 0;      // arc-seconds
    int zoom = 100;
    int focus = 0;
    int brightness = 128, contrast = 128, hue = 0, saturation = 128, sharpness = 128;
};

class SimControls {
public:
    // Reads the camera config's "controls" field.
    explicit SimControls(const QJsonObject &cameraConfig);
    // VIDIOC_QUERYCTRL, VIDIOC_G_CTRL, VIDIOC_S_CTRL, ...: 0 or -errno; -ENOTTY for other requests.
    int ioctl(unsigned long request, void *arg);
    SimScene scene() const;
    void saveTo(QJsonObject *cameraConfig) const;
};

} // namespace lumora::sim
