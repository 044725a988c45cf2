#pragma once
// lumora-cli's restore (once or watching), presets and the full V4L2 control
// list, through the camera model the window drives.

#include "cli/cli_session.h"

#include <QStringList>

int restoreCommand(CameraSession &session, bool json);
// Whether the camera's remembered settings are applied when it is connected.
int restoreSwitchCommand(CameraSession &session, bool on, bool json);
// Applies each remembered camera's memory as it arrives, until SIGINT or SIGTERM.
int restoreWatchCommand(const ManufacturerProfile &profile, bool json);
// preset list | save NAME | recall NAME | delete NAME; save into `slot` (1-9), 0: the lowest free one.
int presetCommand(CameraSession &session, const QStringList &arguments, bool json, int slot = 0);
int controlsCommand(CameraSession &session, bool json);
// get and set of a control by its V4L2 name (those the feature table does not name).
int getControlCommand(CameraSession &session, const QString &name, bool json);
int setControlCommand(CameraSession &session, const QString &name, const QString &value, bool json);
