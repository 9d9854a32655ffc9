#pragma once

// A probe's result as the exposition text that Prometheus scrapes: every family with its HELP
// and TYPE, in base units, counters ending in _total.

#include "ProbeResult.h"

#include <string>

std::string ProbeMetricsText(const TProbeResult& result, double durationSeconds);
