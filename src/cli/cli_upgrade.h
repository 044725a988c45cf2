#pragma once
// Package checks and firmware upgrades from the command line, with the same
// unpacking, checks and worker as the window.

#include "cli/cli_session.h"

// Unpacks and checks the package; with a session, also that it is for the
// session's camera. Prints the package's model or the verdict; an exit code.
int checkPackageCommand(const QString &package, CameraSession *session, bool json);

// Runs the upgrade worker on an open camera (session) or, without one, on the
// one camera waiting in an update state; exit 0 only when the upgrade is done
// and the camera is back. `force` flashes a waiting camera that does not tell
// its model; `waitSeconds` (0: the worker's own) bounds the wait for the camera to come back. SIGINT and SIGTERM: the first stops at the next safe point, the
// second at once.
int upgradeCommand(const QString &package, const ManufacturerProfile &profile, CameraSession *session, bool json,
                   int waitSeconds, bool force = false);
