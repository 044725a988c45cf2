#pragma once
// `lumora-cli monitor`: camera arrivals and removals and update-drive states
// as they happen, until interrupted.

#include "core/catalogue.h"

int monitorCommand(const ManufacturerProfile &profile, bool json);
// Runs the event loop until SIGINT or SIGTERM; ExitOk, or a failure when the
// handler cannot be set up.
int runUntilSignalled();
