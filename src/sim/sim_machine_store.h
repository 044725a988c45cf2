#pragma once
// The simulated machine's device state kept for the user's session, so the
// window and every lumora-cli run of one scenario see the same cameras
// (docs/scenario.md, "One machine per session"). A JSON file under a lock
// file; every process reads it before a transfer and writes it after a change.

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <functional>
#include <memory>
#include <mutex>

namespace lumora::sim {

class SimMachineStore {
public:
    enum class Kind { Camera, Drive };
    struct Saved {
        bool found = false;
        Kind kind = Kind::Camera;
        QJsonObject config;
    };

    // The store in `folder` for the scenario whose checked JSON is `scenario`.
    // A store kept for another scenario, or `fresh`, starts again from the
    // scenario. Null (with a log line) when the folder cannot be used.
    static std::shared_ptr<SimMachineStore> open(const QString &folder, const QJsonObject &scenario, bool fresh);
    // $XDG_RUNTIME_DIR/lumora-sim (the session's runtime folder).
    static QString defaultFolder();
    ~SimMachineStore();

    // Runs `action` holding the lock, against other processes and threads;
    // may be nested on one thread.
    void exclusive(const std::function<void()> &action);
    // The device's state as last saved by any process; found is false when
    // no process has changed it since the scenario started.
    Saved saved(const QString &id);
    // Replaces the device's saved state.
    void save(const QString &id, Kind kind, const QJsonObject &config);

private:
    SimMachineStore(QString folder, QByteArray scenarioKey, int lockFd);
    // Callers hold the lock.
    QJsonObject readDevices();
    void writeDevices(const QJsonObject &devices);

    const QString m_folder;
    const QByteArray m_scenarioKey;
    const int m_lockFd;
    std::recursive_mutex m_mutex;
    int m_depth = 0; // nesting of exclusive() on the owning thread
    QByteArray m_lastSeen;  // the file as this process last read or wrote it
    QJsonObject m_devices;  // and its devices, parsed
};

// The scenario with each device as the store last saved it: a camera keeps
// its scenario description and takes the saved firmware and state; a device
// that changed kind (a camera left in upgrade mode, a rescued drive) is the
// saved one.
QJsonObject withSavedState(const QJsonObject &scenario, SimMachineStore &store);

} // namespace lumora::sim
