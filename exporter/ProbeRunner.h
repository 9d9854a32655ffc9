#pragma once

// Runs one probe in a process of its own (this program started again in its probe mode) and
// waits for its result no longer than the probe's time allows: a probe process still running
// then is killed, and with it its connection to the server.

#include "ProbeResult.h"

#include <chrono>
#include <string>

struct TProbeLaunch {
    std::string Program;       // the exporter's own executable
    std::string WorkDirectory; // where each probe gets a folder for its spilled replies
    std::string Target;
    std::string Password; // written to the probe's standard input, never on its command line
    bool CollectConnections = false;
    bool English = false;
    std::chrono::milliseconds Timeout{10000};
};

// Always a result: one that did not arrive in time, or not whole, is a failure that says so.
TProbeResult RunProbeProcess(const TProbeLaunch& launch);
