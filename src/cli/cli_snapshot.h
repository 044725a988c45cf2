#pragma once
// `lumora-cli snapshot`: one frame at the camera's full resolution, through
// the preview worker the window uses.

#include "cli/cli_session.h"

int snapshotCommand(CameraSession &session, const QString &file, bool json);
