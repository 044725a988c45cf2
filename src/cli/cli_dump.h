#pragma once
// `lumora-cli dump`: one connected camera written out as a scenario the
// simulated kernel loads, so a camera nobody here has can be run anyway.
// Only reads: no control is set and no vendor command that changes anything
// is sent.

#include <QJsonArray>
#include <QJsonObject>
#include <QString>

// Writes the camera `selector` names (an index among all capture devices, a
// serial or a node; "0" by default) to `file`, or to standard output when
// `file` is empty or "-". The serial becomes a stable hash unless `keepSerial`.
int dumpCommand(const QString &selector, const QString &file, bool keepSerial);

// The parts of the scenario read from the camera's nodes, for the command.
namespace cli_dump {
// Formats, frame sizes and intervals of one capture node; fills "streams"
// entries and the camera-wide "frameSizes" and "frameRates".
QJsonObject readStream(int fd, QStringList *sizes, QList<int> *rates);
// Every control the node reports: the simulator's named ones into
// `controls`, any other into `others`.
void readControls(int fd, QJsonObject *controls, QJsonArray *others);
// GET_INFO and GET_LEN of each selector the unit declares.
QJsonObject readSelectors(int fd, int unitId, const QByteArray &bmControls);
} // namespace cli_dump
