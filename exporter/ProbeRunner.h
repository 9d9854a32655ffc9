#pragma once

// Runs one probe in a process of its own (this program started again in its probe mode) and
// waits for its result no longer than the probe's time allows: a probe process still running
// then is killed, and with it its connection to the server.

#include "ProbeResult.h"

#include <chrono>
#include <string>

struct TProbeLaunch {
    std::string Program;       // the exporter's own executable, as the probe's argv[0]
    std::string WorkDirectory; // where each probe gets a folder for its spilled replies
    std::string Target;
    std::string Password; // written to the probe's standard input, never on its command line
    bool CollectConnections = false;
    bool English = false;
    std::string TimeText; // the probe's time, as its failure to answer in time names it
};

// What is left of a probe once its result is in: its process, ended or killed but not yet
// waited for, and its work folder. Both go when this goes, so that the caller can answer the
// scrape first and clean up after.
class TProbeRemains {
public:
    TProbeRemains() = default;
    ~TProbeRemains();
    TProbeRemains(const TProbeRemains&) = delete;
    TProbeRemains& operator=(const TProbeRemains&) = delete;

    int Pid = -1;
    std::string Folder;
};

// Always a result: one that did not arrive in time, or not whole, is a failure that says so.
// `deadline`: when the probe's time is up.
TProbeResult RunProbeProcess(const TProbeLaunch& launch,
                             std::chrono::steady_clock::time_point deadline,
                             TProbeRemains& remains);
