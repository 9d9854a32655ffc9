#include "Exporter.h"

#include "ProbeMetrics.h"
#include "ProbeRunner.h"

#include <CivetServer.h>
#include <civetweb.h>
#include <prometheus/counter.h>
#include <prometheus/exposer.h>
#include <prometheus/gauge.h>
#include <prometheus/histogram.h>
#include <prometheus/registry.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <mutex>

namespace {

// The HTTP server's callback has no room for a pointer of ours: the one exporter is found here.
std::atomic<TExporter::TImpl*> g_exporter{nullptr};

constexpr std::size_t kLongestTarget = 300;
// Probes served at once; further scrapes wait for a place.
constexpr int kServingThreads = 64;

// Log lines are whole lines, one write each, so that lines of probes ending at once never mix.
void LogLine(const std::string& line) {
    static std::mutex mutex;
    std::lock_guard<std::mutex> lock(mutex);
    // Text from peers and clients may be in it: no control character reaches the terminal.
    std::cerr << "zephran-exporter: " << OneLine(line, 2000) << '\n' << std::flush;
}

// A target as the scrape wrote it: printable ASCII without blanks, of a sane length.
bool PlausibleTarget(const std::string& target) {
    if (target.empty() || target.size() > kLongestTarget)
        return false;
    for (char c : target)
        if (c <= ' ' || c > '~')
            return false;
    return true;
}

int Reply(mg_connection* conn, int status, const char* reason, const std::string& body,
          const char* contentType = "text/plain; charset=utf-8") {
    mg_printf(conn,
              "HTTP/1.1 %d %s\r\nContent-Type: %s\r\nContent-Length: %zu\r\n"
              "Cache-Control: no-store\r\nConnection: close\r\n\r\n",
              status, reason, contentType, body.size());
    mg_write(conn, body.data(), body.size());
    return status;
}

} // namespace

struct TExporter::TImpl {
    TExporterOptions Options;
    std::string Listening;
    std::shared_ptr<prometheus::Registry> Registry = std::make_shared<prometheus::Registry>();
    prometheus::Family<prometheus::Counter>& Probes =
        prometheus::BuildCounter()
            .Name("zephran_exporter_probes_total")
            .Help("Probes of servers the exporter has run.")
            .Register(*Registry);
    prometheus::Counter& ProbesRun = Probes.Add({});
    prometheus::Counter& ProbeFailures =
        prometheus::BuildCounter()
            .Name("zephran_exporter_probe_failures_total")
            .Help("Probes that found their server down or could not reach it.")
            .Register(*Registry)
            .Add({});
    prometheus::Counter& BadRequests =
        prometheus::BuildCounter()
            .Name("zephran_exporter_bad_requests_total")
            .Help("Probe requests refused for a missing or malformed target.")
            .Register(*Registry)
            .Add({});
    prometheus::Gauge& InFlight = prometheus::BuildGauge()
                                      .Name("zephran_exporter_probes_in_flight")
                                      .Help("Probes running now.")
                                      .Register(*Registry)
                                      .Add({});
    prometheus::Histogram& Durations =
        prometheus::BuildHistogram()
            .Name("zephran_exporter_probe_duration_seconds")
            .Help("How long probes took, successful or not.")
            .Register(*Registry)
            .Add({}, prometheus::Histogram::BucketBoundaries{0.005, 0.01, 0.025, 0.05, 0.1, 0.25,
                                                             0.5, 1, 2.5, 5, 10, 30});
    std::unique_ptr<prometheus::Exposer> Exposer;
    CivetCallbacks Callbacks;
    TRunningProbes Running;

    int Probe(mg_connection* conn);
};

bool ValidListenAddress(const std::string& listen) {
    const std::size_t colon = listen.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == listen.size() ||
        listen.size() - colon - 1 > 5)
        return false;
    const std::string host = listen.substr(0, colon);
    int groups = 0, digits = 0, value = 0;
    for (std::size_t i = 0; i <= host.size(); ++i) {
        if (i == host.size() || host[i] == '.') {
            if (digits == 0 || value > 255)
                return false;
            ++groups;
            digits = value = 0;
        } else if (host[i] >= '0' && host[i] <= '9' && digits < 3) {
            value = value * 10 + (host[i] - '0');
            ++digits;
        } else {
            return false;
        }
    }
    if (groups != 4)
        return false;
    long port = 0;
    for (std::size_t i = colon + 1; i < listen.size(); ++i) {
        if (listen[i] < '0' || listen[i] > '9')
            return false;
        port = port * 10 + (listen[i] - '0');
    }
    return port <= 65535;
}

bool IsLoopbackListen(const std::string& listen) {
    return ValidListenAddress(listen) && listen.rfind("127.", 0) == 0;
}

std::string FallbackPasswordWarning(const std::string& listen, bool credentialsHaveFallback) {
    if (!credentialsHaveFallback || IsLoopbackListen(listen))
        return {};
    return "warning: the credentials file has a \"*\" line and --listen " + listen +
           " is not a loopback address: anyone who reaches the port can make the exporter log "
           "in with that password to a host they name. One line per target avoids it.";
}

double ScrapeTimeoutSeconds(const std::string& timeoutHeader, std::chrono::milliseconds longest) {
    const double most = static_cast<double>(longest.count()) / 1000.0;
    double seconds = most;
    if (!timeoutHeader.empty()) {
        char* end = nullptr;
        const double sent = std::strtod(timeoutHeader.c_str(), &end);
        if (end != timeoutHeader.c_str() && *end == '\0' && std::isfinite(sent) && sent > 0)
            seconds = sent;
    }
    return std::min({seconds, most, static_cast<double>(kLongestProbe.count()) / 1000.0});
}

std::chrono::milliseconds ProbeBudget(const std::string& timeoutHeader,
                                      std::chrono::milliseconds longest) {
    double seconds = ScrapeTimeoutSeconds(timeoutHeader, longest);
    // Room for starting the probe, building the answer and sending it on a busy machine: a
    // tenth of the time, at least a quarter of a second (but no more than a quarter of the
    // time), at most half a second.
    seconds -= std::min(0.5, std::max(seconds / 10.0, std::min(0.25, seconds / 4.0)));
    return std::chrono::milliseconds(std::max<long long>(1, std::llround(seconds * 1000.0)));
}

int TExporter::TImpl::Probe(mg_connection* conn) {
    // The scrape's time runs from here.
    const auto started = std::chrono::steady_clock::now();
    const mg_request_info* info = mg_get_request_info(conn);
    if (std::string(info->request_method) != "GET")
        return Reply(conn, 405, "Method Not Allowed", "Only GET is served here.\n");
    const std::string query = info->query_string ? info->query_string : "";
    char buffer[kLongestTarget + 2] = {};
    const int length = mg_get_var(query.c_str(), query.size(), "target", buffer, sizeof buffer);
    const std::string target =
        length > 0 ? std::string(buffer, static_cast<std::size_t>(length)) : std::string();
    if (!PlausibleTarget(target)) {
        BadRequests.Increment();
        return Reply(conn, 400, "Bad Request",
                     "The probe needs a target: /probe?target=HOST[:PORT], of printable "
                     "characters without blanks, at most " +
                         std::to_string(kLongestTarget) + " of them.\n");
    }
    char collect[32] = {};
    // -1 when there is none; -2 when it does not fit, which is no value a probe knows either.
    const int collectLength =
        mg_get_var(query.c_str(), query.size(), "collect", collect, sizeof collect);
    const bool collectGiven = collectLength != -1;
    if (collectGiven && (collectLength < 0 || std::string(collect) != "connections")) {
        BadRequests.Increment();
        return Reply(conn, 400, "Bad Request",
                     "The only thing a probe collects is "
                     "\"connections\".\n");
    }
    const char* header = mg_get_header(conn, "X-Prometheus-Scrape-Timeout-Seconds");

    InFlight.Increment();
    TProbeResult result;
    // The probe's process and folder, cleaned up once the answer is on its way.
    TProbeRemains remains;
    const std::optional<std::string> password = Options.Credentials.PasswordFor(target);
    if (!password) {
        result.Error = result.LogError = "The credentials file has no password for this target.";
    } else {
        TProbeLaunch launch;
        launch.Program = Options.Program;
        launch.WorkDirectory = Options.WorkDirectory;
        launch.Target = target;
        launch.Password = *password;
        launch.CollectConnections = collectGiven;
        launch.Running = &Running;
        launch.English = Options.English;
        const auto budget = ProbeBudget(header ? header : "", Options.Timeout);
        char time[32];
        std::snprintf(time, sizeof time, "%.2f", static_cast<double>(budget.count()) / 1000.0);
        launch.TimeText = time;
        result = RunProbeProcess(launch, started + budget, remains);
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    InFlight.Decrement();
    ProbesRun.Increment();
    Durations.Observe(seconds);
    if (!result.Up) {
        ProbeFailures.Increment();
        LogLine("probe of " + target + " failed: " + result.LogError);
    }
    return Reply(conn, 200, "OK",
                 ProbeMetricsText(result, seconds,
                                  ScrapeTimeoutSeconds(header ? header : "", Options.Timeout)),
                 "text/plain; version=0.0.4; charset=utf-8");
}

TExporter::TExporter(TExporterOptions options) : impl_(std::make_unique<TImpl>()) {
    impl_->Options = std::move(options);
}

TExporter::~TExporter() {
    // The probes in flight are ended first: their scrapes then answer at once, and the server's
    // threads are free to stop.
    impl_->Running.Stop();
    impl_->Exposer.reset();
    g_exporter = nullptr;
}

bool TExporter::Start(std::string& message) {
    g_exporter = impl_.get();
    impl_->Callbacks.begin_request = [](mg_connection* conn) -> int {
        TImpl* exporter = g_exporter.load();
        const mg_request_info* info = mg_get_request_info(conn);
        if (exporter == nullptr || info->local_uri == nullptr ||
            std::string(info->local_uri) != "/probe")
            return 0; // /metrics and everything else: the library's server
        return exporter->Probe(conn);
    };
    impl_->Callbacks.log_message = [](const mg_connection*, const char* text) -> int {
        LogLine(std::string("HTTP server: ") + text);
        return 1;
    };
    try {
        impl_->Exposer = std::make_unique<prometheus::Exposer>(
            std::vector<std::string>{"listening_ports", impl_->Options.Listen, "num_threads",
                                     std::to_string(kServingThreads), "request_timeout_ms",
                                     "30000"},
            &impl_->Callbacks);
    } catch (const std::exception&) {
        message = "Cannot listen on " + impl_->Options.Listen +
                  ": the address is taken or not this machine's.";
        g_exporter = nullptr;
        return false;
    }
    impl_->Exposer->RegisterCollectable(impl_->Registry, "/metrics");
    const std::vector<int> ports = impl_->Exposer->GetListeningPorts();
    const std::string host = impl_->Options.Listen.substr(0, impl_->Options.Listen.rfind(':'));
    impl_->Listening = host + ":" + (ports.empty() ? std::string("?") : std::to_string(ports[0]));
    return true;
}

std::string TExporter::ListeningAddress() const {
    return impl_->Listening;
}
