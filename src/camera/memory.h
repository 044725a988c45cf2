#pragma once
// What Lumora remembers of one camera: the standard control values the user
// set (V4L2 names and units), whether to restore them when the camera is
// connected, and its named pan/tilt/zoom presets. One small JSON file per
// camera under $XDG_CONFIG_HOME/lumora/cameras/, keyed by the USB serial
// number, or by model and USB port when the camera has none. Writes are
// debounced (a slider drag writes once) and atomic (temporary file, rename).
// GUI thread (or the CLI's one thread) only.

#include <QMap>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QVector>

namespace lumora::camera {

// Who a camera is, for its memory.
struct CameraIdentity {
    int vendorId = 0;
    int productId = 0;
    int model = 255;
    QString serial; // empty when the camera has none
    QString port;   // USB port path, "1-4"

    bool valid() const { return !serial.isEmpty() || !port.isEmpty(); }
    // The file name stem: "5a17-0307-SN12", or "5a17-0307-model12-port-1-4" without a serial.
    QString key() const;
};

struct Preset {
    QString name;
    int slot = 0; // 1 to 9: the number key that recalls it; 0 for none
    // "pan", "tilt", "zoom" (the app's units: degrees and zoom steps), "focus"
    // and "focusAuto" where the model has focus.
    QMap<QString, int> values;
};

class CameraMemory : public QObject {
    Q_OBJECT
public:
    static constexpr int kDebounceMs = 400;
    static constexpr int kSlots = 9;

    explicit CameraMemory(QObject *parent = nullptr);
    ~CameraMemory() override;

    // The folder the files live in: $XDG_CONFIG_HOME/lumora/cameras.
    static QString folder();
    // Loads a camera's file (an earlier camera's pending write goes out first).
    // A missing file is an empty memory; a damaged one is set aside as
    // "<file>.damaged" and the camera starts afresh.
    void load(const CameraIdentity &identity);
    // Forgets the camera (after writing what is pending).
    void unload();
    bool loaded() const { return !m_path.isEmpty(); }
    QString path() const { return m_path; }
    CameraIdentity identity() const { return m_identity; }

    // Remembered control values by V4L2 name ("brightness", "zoom_absolute").
    QMap<QString, int> values() const { return m_values; }
    void remember(const QString &name, int value);
    bool restoreEnabled() const { return m_restore; }
    void setRestoreEnabled(bool on);

    QVector<Preset> presets() const { return m_presets; }
    const Preset *preset(const QString &name) const;
    const Preset *presetInSlot(int slot) const;
    // Saves under `name` (replacing one of that name); slot 0 takes the lowest free slot.
    // A preset saved into a taken slot takes it over. The saved preset.
    Preset savePreset(const QString &name, const QMap<QString, int> &values, int slot = 0);
    bool removePreset(const QString &name);

    // Writes a pending change now; false when the file could not be written.
    bool flush();
    // How many times the file was written (a debounce shows in it).
    int writes() const { return m_writes; }

Q_SIGNALS:
    void presetsChanged();

private:
    void changed();
    bool write();

    CameraIdentity m_identity;
    QString m_path;
    QMap<QString, int> m_values;
    QVector<Preset> m_presets;
    bool m_restore = true;
    bool m_dirty = false;
    int m_writes = 0;
    QTimer m_debounce;
};

} // namespace lumora::camera
