#pragma once
// The camera's vendor extension unit as its firmware answers it.
//
// Selector 1 takes one 8-byte request: a set command changes a feature, a
// query (code | 0x80, or 0x0B for the version) stages its answer. Selector 2
// hands the staged answer out once. Selector 4 takes only the switch to
// upgrade mode. The firmware stalls (EIO) on an unknown code, a value outside
// a feature's table, a malformed upgrade packet and a read with nothing staged.

#include <QByteArray>
#include <QJsonObject>
#include <QMap>
#include <QString>

#include <array>
#include <mutex>

namespace lumora::sim {

class SimControls;

class SimExtensionUnit {
public:
    // What the camera must do after a request (the kernel acts on it).
    enum class Outcome { None, Restart, EnterUpgradeMode };

    // Feature keys of the "features" object; also the names of the set commands.
    static const char *const kHdr, *const kAntiFlicker, *const kMic, *const kViewAngle,
        *const kHd, *const kTrackMode, *const kTrackEffect, *const kTrackSpeed;
    // Key the unit leaves in a saved config after a factory reset, so the
    // rebuilt camera also starts its standard controls from their defaults.
    static const char *const kRestoredKey;

    // Reads the camera config's "extensionUnit", "features" and "firmware" fields.
    explicit SimExtensionUnit(const QJsonObject &cameraConfig);

    // The camera's standard controls, which the factory reset and the autofocus
    // command also act on. Optional; the camera keeps ownership.
    void attachControls(SimControls *controls);

    bool present() const;
    int unitId() const { return m_unitId; }
    // The VideoControl class-specific extension-unit descriptor(s), as in the
    // USB descriptors of the camera; empty when the camera has none.
    QByteArray descriptors() const;
    // One UVCIOC_CTRL_QUERY (arg points to struct uvc_xu_control_query): 0 or -errno.
    int query(void *arg, Outcome *outcome);
    // Current state, in the camera config's own fields (so a restart keeps it).
    void saveTo(QJsonObject *cameraConfig) const;
    // Takes the feature state of a saved config (another process changed it).
    void loadState(const QJsonObject &cameraConfig);

    // Test and scenario view of the firmware state.
    int feature(const QString &key) const;
    QString firmware() const;

private:
    int request(const quint8 *packet, Outcome *outcome);
    int reply(quint8 *packet);
    int setFeature(quint8 code, quint8 value, Outcome *outcome);
    int stageQuery(quint8 code, quint8 sequence);
    void restoreFactoryDefaults();

    mutable std::mutex m_mutex; // std::mutex: ThreadSanitizer sees it
    SimControls *m_controls = nullptr;
    bool m_present = false;
    int m_unitId = 0;
    QMap<QString, int> m_features;
    std::array<quint16, 3> m_version{};
    bool m_versionOnLegacyCodeOnly = false;
    bool m_restored = false;
    bool m_staged = false;
    std::array<quint8, 8> m_stagedReply{};
};

} // namespace lumora::sim
