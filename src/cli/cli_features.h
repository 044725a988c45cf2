#pragma once
// The features lumora-cli reads and writes: vendor features with named values
// (through the extension unit) and standard controls with numbers (through the
// capture node), each with the same calls the window makes for it.

#include "cli/cli_session.h"

#include <QJsonObject>
#include <QStringList>

// All feature names, in the order `info` shows them.
QStringList featureNames();
// The values a feature takes, for help and error texts.
QString featureValues(const QString &name);
bool isFeature(const QString &name);

// The feature's current value as text; false when the camera did not answer.
bool readFeature(CameraSession &session, const QString &name, QString *value);
// For standard controls: current value, range and default.
QJsonObject describeControl(CameraSession &session, const QString &name);

// Sets, reads back and prints what the camera took; an exit code.
int writeFeature(CameraSession &session, const QString &name, const QString &value, bool json);
