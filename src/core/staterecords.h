#pragma once
// What Lumora keeps of its runs for monitoring (lumora-cli metrics): the last
// upgrade, from the window or the CLI, and per camera the last restore of its
// remembered settings. Small JSON files under $XDG_STATE_HOME/lumora/, each
// written whole (temporary file, rename).

#include <QJsonObject>
#include <QMap>
#include <QString>

struct UpgradeRecord {
    qint64 time = 0; // seconds since the epoch; 0: no upgrade recorded
    bool success = false;
    QString camera;  // serial, or "port 1-6" for a rescued drive
    QString model, from, to;
};

struct RestoreRecord {
    qint64 time = 0;
    bool applied = false; // every remembered value was taken
};

// $XDG_STATE_HOME/lumora ($HOME/.local/state/lumora without it).
QString recordsFolder();

void recordUpgrade(const UpgradeRecord &record);
UpgradeRecord lastUpgrade();

void recordRestore(const QString &serial, bool applied);
// By camera serial.
QMap<QString, RestoreRecord> restoreRecords();
