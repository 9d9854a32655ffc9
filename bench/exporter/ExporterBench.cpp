// How long a probe through zephran-exporter takes against zephran-admin status on the same
// reference server, and how a fleet of 20 targets with 5 silent ones is served. Prints figures;
// never fails on time.

#include "BenchServer.h"

#include <httplib.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// The exporter on a port of its own; the silent servers' failures it logs would come amid the
// figures.
struct TExporter : TBenchProcess {
    explicit TExporter(const std::string& credentials)
        : TBenchProcess("zephran-exporter",
                        {"--listen", "127.0.0.1:0", "--credentials", credentials}, true) {}
};

// zephran-admin status against the server, to its end; the password from the environment.
Clock::duration AdminStatus(int port) {
    const auto start = Clock::now();
    const pid_t pid = StartAdmin(port, "status");
    ::waitpid(pid, nullptr, 0);
    return Clock::now() - start;
}

std::string Probe(int exporterPort, int serverPort, const char* timeout = "10") {
    httplib::Client client("127.0.0.1", exporterPort);
    client.set_read_timeout(60, 0);
    const auto result = client.Get("/probe?target=127.0.0.1:" + std::to_string(serverPort),
                                   {{"X-Prometheus-Scrape-Timeout-Seconds", timeout}});
    return result ? result->body : std::string();
}

double SampleValue(const std::string& text, const std::string& name) {
    const auto at = text.find("\n" + name + " ");
    return at == std::string::npos ? -1 : std::atof(text.c_str() + at + name.size() + 2);
}

} // namespace

int main() {
    const std::string fixture = std::string(ZEPHRAN_SOURCE_DIR) + "/peers/fixtures/demo.json";
    TBenchServer server(fixture);
    char folder[] = "/tmp/zephran-exporter-bench.XXXXXX";
    if (server.Port == 0 || ::mkdtemp(folder) == nullptr) {
        std::fprintf(stderr, "exporter_bench: the reference server did not start\n");
        return 1;
    }
    const std::string credentials = std::string(folder) + "/credentials";
    std::ofstream(credentials) << "*\tadmin\n";
    ::chmod(credentials.c_str(), 0600);
    TExporter exporter(credentials);
    if (exporter.Port == 0) {
        std::fprintf(stderr, "exporter_bench: zephran-exporter did not start\n");
        return 1;
    }

    constexpr int kRuns = 30;
    std::vector<double> admin, probe, inside;
    for (int i = 0; i < kRuns; ++i) {
        admin.push_back(Ms(AdminStatus(server.Port)));
        const auto start = Clock::now();
        const std::string text = Probe(exporter.Port, server.Port);
        probe.push_back(Ms(Clock::now() - start));
        inside.push_back(SampleValue(text, "zephran_probe_duration_seconds") * 1000);
    }
    std::printf("zephran-admin status, whole run:          median %7.1f ms\n", Median(admin));
    std::printf("probe through zephran-exporter, scrape:   median %7.1f ms (%.2f x the command)\n",
                Median(probe), Median(probe) / Median(admin));
    std::printf("  of which the probe itself:              median %7.1f ms\n", Median(inside));

    // 20 targets at once, 5 of them listening but never answering, with a 2-second scrape
    // time-out: the time until the 15 live answers are in, and until the silent ones give up.
    std::vector<int> silent;
    for (int i = 0; i < 5; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        ::listen(fd, 16);
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
        silent.push_back(fd);
        silent.push_back(ntohs(addr.sin_port));
    }
    std::vector<double> live(15), dead(5);
    const auto start = Clock::now();
    std::vector<std::thread> scrapes;
    for (int i = 0; i < 20; ++i)
        scrapes.emplace_back([&, i] {
            const bool isLive = i < 15;
            Probe(exporter.Port,
                  isLive ? server.Port : silent[static_cast<std::size_t>((i - 15) * 2 + 1)], "2");
            (isLive ? live[static_cast<std::size_t>(i)] : dead[static_cast<std::size_t>(i - 15)]) =
                Ms(Clock::now() - start);
        });
    for (std::thread& t : scrapes)
        t.join();
    std::printf("20 targets at once, 5 silent (time-out 2 s): 15 live answers in %.0f ms "
                "(slowest), silent ones in %.0f ms\n",
                *std::max_element(live.begin(), live.end()),
                *std::max_element(dead.begin(), dead.end()));
    for (std::size_t i = 0; i < silent.size(); i += 2)
        ::close(silent[i]);
    std::remove(credentials.c_str());
    ::rmdir(folder);
    return 0;
}
