#pragma once
// The camera's vendor extension unit as its firmware answers it.
// (Interface fixed; the control subsystem's developer fills it in.)

#include <QByteArray>
#include <QJsonObject>

namespace lumora::sim {

class SimExtensionUnit {
public:
    // What the camera must do after a request (the kernel acts on it).
    enum class Outcome { None, Restart, EnterUpgradeMode };

    // Reads the camera config's "extensionUnit", "features" and "firmware" fields.
    explicit SimExtensionUnit(const QJsonObject &cameraConfig);

    bool present() const;
    // The VideoControl class-specific extension-unit descriptor(s), as in the
    // USB descriptors of the camera; empty when the camera has none.
    QByteArray descriptors() const;
    // One UVCIOC_CTRL_QUERY (arg points to struct uvc_xu_control_query): 0 or -errno.
    int query(void *arg, Outcome *outcome);
    // Current state, in the camera config's own fields (so a restart keeps it).
    void saveTo(QJsonObject *cameraConfig) const;

private:
    bool m_present = false;
};

} // namespace lumora::sim
