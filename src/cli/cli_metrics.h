#pragma once
// lumora-cli metrics: the cameras, update drives, readiness and the last
// upgrade and restores in Prometheus's text exposition format, for the
// textfile collector of node_exporter.

#include "core/catalogue.h"

int metricsCommand(const ManufacturerProfile &profile);
