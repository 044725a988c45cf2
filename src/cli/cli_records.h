#pragma once
// What lumora-cli keeps of its own runs for monitoring: the last upgrade and,
// per camera, the last restore of its remembered settings. Small JSON files
// under $XDG_STATE_HOME/lumora/, each written whole (temporary file, rename).

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
