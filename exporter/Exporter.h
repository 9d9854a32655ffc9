#pragma once

// The exporter's HTTP side: GET /probe?target=HOST[:PORT][&collect=connections] probes that
// server and answers with its metrics; GET /metrics answers with the exporter's own.

#include "Credentials.h"

#include <chrono>
#include <memory>
#include <string>

struct TExporterOptions {
    std::string Listen = "127.0.0.1:19866";
    TCredentials Credentials;
    bool English = false;
    std::chrono::milliseconds Timeout{10000}; // when the scrape does not say its own
    std::string Program;                      // this executable, started again for each probe
    std::string WorkDirectory;
};

// The longest a probe may be given, whatever the scrape asks for.
inline constexpr std::chrono::milliseconds kLongestProbe{600000};

// "ADDR:PORT" with an IPv4 address, or nothing when it is not of that form.
bool ValidListenAddress(const std::string& listen);

// How long a probe may take for the scrape's time-out header (empty when none was sent): a
// little less than the scrape's own time-out (at most half a second less), so that the answer
// arrives before Prometheus gives up on it.
std::chrono::milliseconds ProbeBudget(const std::string& timeoutHeader,
                                      std::chrono::milliseconds fallback);
// The scrape's time-out itself: the header's when it is valid, else the fallback, at most the
// longest probe.
double ScrapeTimeoutSeconds(const std::string& timeoutHeader, std::chrono::milliseconds fallback);

class TExporter {
public:
    explicit TExporter(TExporterOptions options);
    ~TExporter();
    TExporter(const TExporter&) = delete;
    TExporter& operator=(const TExporter&) = delete;

    // Listens; false with `message` when the address cannot be had. One exporter per process.
    bool Start(std::string& message);
    // The address actually listened on (the port filled in when 0 was asked for).
    std::string ListeningAddress() const;

    struct TImpl;

private:
    std::unique_ptr<TImpl> impl_;
};
