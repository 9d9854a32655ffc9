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
    // The longest a probe may take, and its time when the scrape does not say its own.
    std::chrono::milliseconds Timeout{10000};
    std::string Program; // this executable, started again for each probe
    std::string WorkDirectory;
};

// The longest --timeout there may be.
inline constexpr std::chrono::milliseconds kLongestProbe{600000};

// "ADDR:PORT" with an IPv4 address, or nothing when it is not of that form.
bool ValidListenAddress(const std::string& listen);

// Whether the exporter's "ADDR:PORT" listens on a loopback address only (127.0.0.0/8).
bool IsLoopbackListen(const std::string& listen);

// The warning for a credentials file with a "*" line served on an address others can reach,
// or nothing when there is no cause for it.
std::string FallbackPasswordWarning(const std::string& listen, bool credentialsHaveFallback);

// How long a probe may take for the scrape's time-out header (empty when none was sent): a
// little less than the scrape's own time-out (at most half a second less), so that the answer
// arrives before Prometheus gives up on it.
std::chrono::milliseconds ProbeBudget(const std::string& timeoutHeader,
                                      std::chrono::milliseconds longest);
// The scrape's time-out as the probe keeps to it: the header's when it is valid, else
// `longest` (--timeout), and never more than `longest`: a scrape cannot hold a serving thread
// longer than the exporter allows.
double ScrapeTimeoutSeconds(const std::string& timeoutHeader, std::chrono::milliseconds longest);

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
