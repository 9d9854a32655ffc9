#pragma once

// A probe's result as the exposition text that Prometheus scrapes: every family with its HELP
// and TYPE, in base units, counters ending in _total.

#include "ProbeResult.h"

#include <string>

// `timeoutSeconds`: the time-out of the scrape that asked for the probe.
std::string ProbeMetricsText(const TProbeResult& result, double durationSeconds,
                             double timeoutSeconds);
