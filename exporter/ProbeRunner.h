#pragma once

// Runs one probe in a process of its own (this program started again in its probe mode) and
// waits for its result no longer than the probe's time allows: a probe process still running
// then is killed, and with it its connection to the server.

#include "ProbeResult.h"

#include <chrono>
#include <mutex>
#include <set>
#include <string>
#include <sys/types.h>

// The probe processes running now, so that stopping the exporter can end them at once instead
// of waiting for each to give up. Once stopped, no further probe is started.
class TRunningProbes {
public:
    // Starts a probe with `spawn` (which returns its pid, or -1) and keeps its pid, unless
    // the exporter is stopping: then -1 without calling `spawn`. One lock for both, so that a
    // probe started during the stop is not missed.
    template <class TSpawn> pid_t Start(TSpawn&& spawn) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_)
            return -1;
        const pid_t pid = spawn();
        if (pid > 0)
            pids_.insert(pid);
        return pid;
    }
    // Waits for the probe to end and collects it. Its pid is forgotten before it is collected,
    // so that a later process given the same number is never killed in its place.
    void Collect(pid_t pid);
    // Kills every probe running and refuses new ones.
    void Stop();
    bool Stopping() const;

private:
    mutable std::mutex mutex_;
    std::set<pid_t> pids_;
    bool stopping_ = false;
};

struct TProbeLaunch {
    std::string Program;       // the exporter's own executable, as the probe's argv[0]
    std::string WorkDirectory; // where each probe gets a folder for its spilled replies
    std::string Target;
    std::string Password; // written to the probe's standard input, never on its command line
    bool CollectConnections = false;
    bool English = false;
    std::string TimeText; // the probe's time, as its failure to answer in time names it
    TRunningProbes* Running = nullptr; // where the probe is kept while it runs, when anywhere
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
    TRunningProbes* Running = nullptr;
};

// Always a result: one that did not arrive in time, or not whole, is a failure that says so.
// `deadline`: when the probe's time is up.
TProbeResult RunProbeProcess(const TProbeLaunch& launch,
                             std::chrono::steady_clock::time_point deadline,
                             TProbeRemains& remains);
