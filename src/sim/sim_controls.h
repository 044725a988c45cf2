#pragma once
// The camera's standard V4L2 controls (pan, tilt, zoom, focus, image), with
// ranges per camera from its config and the errno values uvcvideo gives.

#include <QJsonObject>
#include <QString>
#include <QVector>

#include <mutex>

namespace lumora::sim {

// Control values the simulated picture shows, in V4L2 units.
struct SimScene {
    int pan = 0, tilt = 0;      // arc-seconds
    int zoom = 100;
    int focus = 0;
    int brightness = 128, contrast = 128, hue = 0, saturation = 128, sharpness = 128;
    int gain = 0, backlightCompensation = 1;
    int exposure = 0;     // manual exposure time in 100 µs; 0 while automatic
    int whiteBalance = 0; // manual colour temperature in kelvin; 0 while automatic
};

class SimControls {
public:
    // Reads the camera config's "controls" field.
    explicit SimControls(const QJsonObject &cameraConfig);
    // Whether that field gives every control a range the controls can serve:
    // whole numbers within int, step at least 1, min <= max, default and
    // value inside. False with the fault named.
    static bool checkConfig(const QJsonObject &cameraConfig, QString *error);
    // VIDIOC_QUERYCTRL, VIDIOC_QUERY_EXT_CTRL, VIDIOC_QUERYMENU, VIDIOC_G_CTRL,
    // VIDIOC_S_CTRL: 0 or -errno; -ENOTTY for other requests. S_CTRL clamps and
    // rounds integers as uvcvideo does; a menu index outside the menu is refused.
    int ioctl(unsigned long request, void *arg);
    SimScene scene() const;
    void saveTo(QJsonObject *cameraConfig) const;
    // Takes the values of a saved config (another process changed them).
    void loadValues(const QJsonObject &cameraConfig);

    // What the firmware does on the vendor unit's factory reset and autofocus commands.
    void restoreDefaults();
    void enableAutoFocus();
    // Current value of a control by its config key ("zoom", "pan", ...); 0 when absent.
    int value(const QString &key) const;

private:
    struct Control {
        unsigned id;
        QString key;
        const char *name;
        unsigned type; // V4L2_CTRL_TYPE_*
        int minimum, maximum, step, defaultValue, value;
        unsigned autoId; // the control whose automatic mode makes this one read-only; 0 if none
        int manualValue; // the value of autoId that leaves this one writable
    };
    const Control *next(unsigned id) const;
    bool drivenByAuto(const Control &control) const;
    unsigned flagsOf(const Control &control) const;
    Control *find(unsigned id);
    const Control *find(unsigned id) const;
    const Control *findKey(const QString &key) const;
    // VIDIOC_S_CTRL: *value becomes what the control took.
    int set(Control *control, int *value);
    static int clampToStep(const Control &control, int value);

    mutable std::mutex m_mutex; // std::mutex: ThreadSanitizer sees it
    QVector<Control> m_controls;
};

} // namespace lumora::sim
