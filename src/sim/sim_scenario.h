#pragma once
// Scenarios: the simulated world as JSON (docs/scenario.md). Reading checks
// the whole document first, so a broken scenario is refused as a whole.

#include <QJsonObject>
#include <QString>
#include <QVector>

namespace lumora::sim {

struct ScenarioEvent {
    enum class Action { Plug, Unplug, Restart, Release };
    qint64 atMs = 0;
    Action action = Action::Plug;
    QString device;
    int delayMs = 0; // restart only: how long the device stays away
};

struct Scenario {
    QVector<QJsonObject> cameras;
    QVector<QJsonObject> drives;
    QVector<ScenarioEvent> timeline; // in time order; equal times keep file order
    bool privileged = false;         // the process has CAP_SYS_RAWIO
    QString udevRuleFolder;          // where Lumora's udev rule is; empty: not installed
};

// False with a message naming the first fault.
bool parseScenario(const QJsonObject &json, Scenario *scenario, QString *error);
bool readScenarioFile(const QString &path, QJsonObject *json, QString *error);

// Whether a device config asks to start plugged ("plugged", default true).
bool startsPlugged(const QJsonObject &device);

} // namespace lumora::sim
