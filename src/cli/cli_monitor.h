#pragma once
// `lumora-cli monitor`: camera arrivals and removals and update-drive states
// as they happen, until interrupted.

#include "core/catalogue.h"

int monitorCommand(const ManufacturerProfile &profile, bool json);
