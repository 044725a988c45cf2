#pragma once
// lumora-cli doctor: what this machine lets the user do with each connected
// camera and update drive, one verdict a line with a fix for each failure.
// It only reads: nodes are opened and closed, nothing is written to a device
// beyond the version query of the extension unit.

#include "core/catalogue.h"

int doctorCommand(const ManufacturerProfile &profile, bool json);
// Whether doctor would find the machine ready, without printing.
bool doctorReady(const ManufacturerProfile &profile);
