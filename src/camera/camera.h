#pragma once
// One open camera below the widgets: its capture-node binding and extension
// unit, the control cache, the model's traits, the state read after opening,
// and every feature's get and set with the rules of the model. The window and
// lumora-cli both drive a Camera, so a feature set from either sends the same
// transfers. Lives on the GUI thread; the upgrade worker shares the unit (and
// its lock).

#include "camera/camerastate.h"
#include "camera/features.h"
#include "camera/memory.h"
#include "camera/modeltraits.h"
#include "camera/resumesource.h"
#include "camera/v4l2controls.h"
#include "device/uvcextensionunit.h"
#include "device/v4l2controlnode.h"

#include <QObject>

namespace lumora::camera {

// The pad's pan and tilt reach either way from the centre, and the zoom of an
// unzoomed picture, in the camera's own units.
constexpr int kPadLimit = 30;
constexpr int kNoZoom = 100;

// Whether the open camera offers a feature now.
enum class Availability {
    Available,
    NoCamera,     // nothing open
    NotOnModel,   // the model does not have it (or holds it)
    NotInMode,    // only in another tracking mode (effect and speed: Auto Framing)
    Held,         // shown, but the model holds it (tracking held Off)
};

struct SetResult {
    bool sent = false;      // every transfer of the set went through
    bool readBack = false;  // a value was read back after the set
    int value = 0;          // the value read back, or the value sent
    bool restarting = false; // the camera restarts to apply it (HD, microphone)
    bool attempted = true;   // false when the model's rules kept it from the camera
};

// One value a restore wrote, as it was before and as the camera read it back.
struct RestoredValue {
    QString name; // V4L2 name
    int before = 0;
    int wanted = 0;
    int after = 0;
    bool taken = false; // written and read back as wanted
};

class Camera : public QObject {
    Q_OBJECT
public:
    explicit Camera(QObject *parent = nullptr);
    ~Camera() override;

    // The camera to open next: model, traits (profile from its vendor id).
    void setIdentity(const QString &pathId, const QString &friendlyName);
    // Binds the capture node for the standard controls; *position gets its enumeration place.
    // Also finds who the camera is (serial, USB port) and loads its memory.
    bool bindCapture(int *position);
    // Opens the extension-unit channel.
    bool openChannel();
    // Release and re-open of the channel after a failed transfer; emits lost() when it fails.
    bool reopenChannel();
    void close();

    bool isOpen() const { return m_open; }
    int position() const { return m_position; }
    int model() const { return m_traits.model; }
    const ModelTraits &traits() const { return m_traits; }
    QString pathId() const { return m_pathId; }
    QString friendlyName() const { return m_friendlyName; }
    const CameraState &state();
    ControlCache &cache() { return m_wrapper.cache(); }
    V4l2ControlNode &wrapper() { return m_wrapper; }
    UVCExtensionUnit &unit() { return m_unit; }

    // The state read after opening: firmware, vendor features, standard
    // controls; featureChanged for each value, then stateRead.
    void readState();
    // Whether the state read sends the field of view back (the page does, so
    // camera and buttons agree); a tool that only reads turns it off.
    void setEchoFieldOfView(bool echo) { m_echoFieldOfView = echo; }
    // The firmware version ("major.minor.patch"); empty when the camera does not tell.
    QString readFirmware();
    // Reads the standard controls' ranges and values into the cache.
    bool queryControls();
    // The field of view read from the camera, then sent back to it so the
    // camera and the page agree. False when it could not be read.
    bool readFieldOfView();
    // The poll of a camera that changes tracking on its own: field of view, mode, effect.
    void pollTrackingStatus();
    // Re-applies the remembered pan, tilt and zoom (tilt capped at 30, pan at -30).
    void restorePad();
    // Factory reset with the model's preliminary writes; true when the camera took it.
    bool restoreDefaults();

    // ---- memory, restore and presets ----
    const CameraIdentity &identity() const { return m_identity; }
    CameraMemory &memory() { return m_memory; }
    // Applies the remembered values that differ from what the camera reports,
    // automatic modes before the values they govern, and reads each back (one
    // log line per value). Writes nothing when there is no memory or restore is off.
    QVector<RestoredValue> restoreMemory();
    // Restores again each time `source` says the machine woke up: a camera that
    // stayed connected over a suspend may have lost its values. Only while open.
    void restoreOnResume(ResumeSource *source);
    // The pad position as a preset holds it: pan, tilt, zoom, and focus with
    // its automatic flag where the model has focus.
    QMap<QString, int> padPosition();
    // Saves the current position (slot 0: the lowest free one).
    Preset savePreset(const QString &name, int slot = 0);
    // Moves to a preset: zoom last when zooming in, first otherwise, so the
    // picture does not wander; false when a value was not taken.
    bool recallPreset(const Preset &preset);
    // Whether the pad moves the head now: a model with pan and tilt, zoomed in.
    bool padUsable();

    // ---- every control of the video node ----
    QVector<V4l2Control> controls();
    // Writes one control (V4L2 units), reads it back and remembers it. A value
    // its automatic mode drives is refused before it reaches the camera.
    SetResult setV4l2(const V4l2Control &control, int value);

    Availability availability(Feature id) const;
    // The range a number feature takes here (pan and tilt within the pad's -30 to 30).
    ParameterRange rangeOf(Feature id);
    // Reads a feature from the camera (into the state or the cache).
    bool read(Feature id, int *value);
    // Sends a feature with its model rules; the read-backs are those the page makes.
    SetResult set(Feature id, int value);
    // Automatic mode: -1 when the control has none, else 0 or 1.
    int autoState(Feature id);
    SetResult setAuto(Feature id);
    // Back to manual at the current value (focus: at the position it reached).
    SetResult setManual(Feature id);

Q_SIGNALS:
    void stateRead(const lumora::camera::CameraState &state);
    void featureChanged(lumora::camera::Feature id, int value);
    // Tracking went Off: the pad's pan, tilt and zoom are to be re-applied shortly.
    void padRestoreDue();
    // HD or microphone changed: the camera re-enumerates.
    void restarting();
    // The channel could not be re-opened.
    void lost();
    // A restore after a resume wrote values: what the pages show is stale.
    void restoredOnResume();
    // A control of the video node changed through setV4l2 or a restore (V4L2 units).
    void v4l2ControlChanged(quint32 id, int value);

private:
    int *stateSlot(Feature id);
    void report(Feature id, int value);
    bool readVendor(Feature id, int *value);
    bool readTrackMode(int *mode);
    SetResult setTracking(int mode);
    SetResult setControl(Feature id, int value);
    bool trackingHeldOff() const;
    void resolveIdentity();
    void remember(Control control);
    void rememberAuto(Control control, bool automatic);

    V4l2ControlNode m_wrapper;
    UVCExtensionUnit m_unit;
    CameraState m_state;
    ModelTraits m_traits;
    QString m_pathId;
    QString m_friendlyName;
    int m_position = -1;
    bool m_open = false;
    bool m_echoFieldOfView = true;
    CameraIdentity m_identity;
    CameraMemory m_memory;
};

} // namespace lumora::camera
