#pragma once

// The probe itself, as the probe process runs it: the target opened, the administrator logged
// in, the status (and, when asked, the two connection lists) read, logged out and closed. One
// probe per process: the dispatcher is one per process and the exporter's own process never
// touches it, so probes of different servers run side by side, and a probe that overstays its
// time is ended with its process, its connection with it.

#include "ProbeResult.h"

#include <string>

struct TProbeRequest {
    std::string Target; // HOST[:PORT], the port 4545 when left out
    std::string Password;
    bool CollectConnections = false;
    bool English = false; // the language of the log text; the error label is always English
};

TProbeResult RunProbe(const TProbeRequest& request);

// Whether this process's parent is still `exporterPid`, the exporter that started it: when the
// exporter is gone, the probe has been handed to another parent and has nobody to answer. The
// exporter may itself be process 1 (a container's entry point), so no parent number is special.
bool ParentIsTheExporter(long exporterPid);

// The probe process's main: the request from the command line, the password from standard
// input (to its end), the result to standard output. Exit 0 when a result was written.
// Replies too large for memory are spilled under `workDirectory`/TEMP.
int ProbeProcessMain(const std::string& target, bool collectConnections, bool english,
                     const std::string& workDirectory);
