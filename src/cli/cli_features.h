#pragma once
// lumora-cli's get, set and info: the camera model's feature table, read and
// written through the same Camera calls the window makes.

#include "cli/cli_session.h"

#include <QJsonObject>
#include <QStringList>

// All feature names, in the order `info` shows them.
QStringList featureNames();
// The values a feature takes, for help texts.
QString featureValues(const QString &name);
bool isFeature(const QString &name);

int infoCommand(CameraSession &session, bool json);
int getCommand(CameraSession &session, const QString &name, bool json);
// Sets, reads back and prints what the camera took; an exit code.
int setCommand(CameraSession &session, const QString &name, const QString &value, bool json);
