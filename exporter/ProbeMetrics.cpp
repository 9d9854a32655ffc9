#include "ProbeMetrics.h"

#include "ConsoleRequests.h"

#include <prometheus/counter.h>
#include <prometheus/gauge.h>
#include <prometheus/registry.h>
#include <prometheus/text_serializer.h>

using prometheus::BuildCounter;
using prometheus::BuildGauge;

std::string ProbeMetricsText(const TProbeResult& r, double durationSeconds, double timeoutSeconds) {
    prometheus::Registry registry;
    BuildGauge()
        .Name("zephran_up")
        .Help(
            "Whether the server answered the probe: logged in and its status read (1) or not (0).")
        .Register(registry)
        .Add({})
        .Set(r.Up ? 1 : 0);
    BuildGauge()
        .Name("zephran_probe_duration_seconds")
        .Help("How long the probe of the server took.")
        .Register(registry)
        .Add({})
        .Set(durationSeconds);
    BuildGauge()
        .Name("zephran_probe_timeout_seconds")
        .Help("The time-out of the scrape that asked for the probe.")
        .Register(registry)
        .Add({})
        .Set(timeoutSeconds);
    if (!r.Up) {
        BuildGauge()
            .Name("zephran_probe_error_info")
            .Help("Why the probe failed, in the console's English words.")
            .Register(registry)
            .Add({{"message", r.Error}})
            .Set(1);
    }
    if (r.Up) {
        BuildGauge()
            .Name("zephran_server_info")
            .Help("The server's name and the name of its centre.")
            .Register(registry)
            .Add({{"name", r.ServerName}, {"centre", r.CentreName}})
            .Set(1);
        const TProbeStatus& s = r.Status;
        auto& requests = BuildCounter()
                             .Name("zephran_requests_total")
                             .Help("Requests the server has served since it started, by kind.")
                             .Register(registry);
        requests.Add({{"kind", "non_queued_db"}}).Increment(s.NonQueuedDBRequests);
        requests.Add({{"kind", "queued_db"}}).Increment(s.QueuedDBRequests);
        requests.Add({{"kind", "non_db"}}).Increment(s.NonDBRequests);
        requests.Add({{"kind", "version_mismatched"}}).Increment(s.VersionMismatchedRequests);
        BuildGauge()
            .Name("zephran_connected_clients")
            .Help("Clients connected to the server.")
            .Register(registry)
            .Add({})
            .Set(s.ClientCount);
        auto& defined = BuildGauge()
                            .Name("zephran_databases_defined")
                            .Help("Databases defined on the server, by level.")
                            .Register(registry);
        defined.Add({{"level", "parent"}}).Set(s.ParentDBsDefined);
        defined.Add({{"level", "child"}}).Set(s.ChildDBsDefined);
        defined.Add({{"level", "all"}}).Set(s.ParentDBsDefined + s.ChildDBsDefined);
        auto& open = BuildGauge()
                         .Name("zephran_databases_open")
                         .Help("Databases open on the server, by level.")
                         .Register(registry);
        open.Add({{"level", "parent"}}).Set(s.ParentDBsOpen);
        open.Add({{"level", "child"}}).Set(s.ChildDBsOpen);
        open.Add({{"level", "all"}}).Set(s.ParentDBsOpen + s.ChildDBsOpen);
        auto& results = BuildGauge()
                            .Name("zephran_results")
                            .Help("Results the server holds, by kind.")
                            .Register(registry);
        for (std::size_t kind = 0; kind < s.ResultCounts.size(); ++kind)
            results.Add({{"kind", ResultKindName(static_cast<std::uint8_t>(kind))}})
                .Set(s.ResultCounts[kind]);
        if (r.Connections) {
            const TProbeConnections& c = *r.Connections;
            auto& connections = BuildGauge()
                                    .Name("zephran_connections")
                                    .Help("Connections to the server, local and web.")
                                    .Register(registry);
            connections.Add({{"kind", "local"}}).Set(c.Local);
            connections.Add({{"kind", "web"}}).Set(c.Web);
            auto& held = BuildGauge()
                             .Name("zephran_connection_results")
                             .Help("Results held by the local connections, by result kind.")
                             .Register(registry);
            for (std::size_t kind = 0; kind < c.ResultsByKind.size(); ++kind)
                held.Add({{"kind", ResultKindName(static_cast<std::uint8_t>(kind))}})
                    .Set(c.ResultsByKind[kind]);
        }
    }
    return prometheus::TextSerializer().Serialize(registry.Collect());
}
