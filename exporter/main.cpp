// zephran-exporter: the record servers' metrics for Prometheus, one probe per scrape.

#include "Credentials.h"
#include "Exporter.h"
#include "ProbeChild.h"

#include <CLI/CLI.hpp>

#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <climits>
#include <cmath>
#include <filesystem>
#include <iostream>

namespace {

std::string OwnExecutable() {
    char path[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof(path) - 1);
    return n > 0 ? std::string(path, static_cast<std::size_t>(n)) : std::string();
}

// A private folder for the probes' folders, removed when the exporter ends.
std::string MakeWorkDirectory() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/zephran-exporter.XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr)
        return {};
    return pattern + "/";
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"Prometheus exporter of record servers: GET /probe?target=HOST[:PORT] probes "
                 "one server, GET /metrics gives the exporter's own metrics."};
    std::string listen = "127.0.0.1:19866", credentialsPath, probeTarget, workDirectory;
    bool english = false, probeConnections = false;
    long probeParent = 0;
    double timeoutSeconds = 10;
    app.set_version_flag("--version", std::string("zephran-exporter ") + ZEPHRAN_VERSION);
    app.add_option("--listen", listen, "ADDR:PORT to serve on")->capture_default_str();
    app.add_option("--credentials", credentialsPath,
                   "file of TARGET<tab>PASSWORD lines, \"*\" for every other target; not "
                   "readable by others");
    app.add_flag("--english", english, "log server errors in English");
    app.add_option("--timeout", timeoutSeconds,
                   "the most seconds a probe may take, whatever the scrape asks for; also its "
                   "time when the scrape does not say")
        ->capture_default_str()
        ->check(CLI::Range(0.1, 600.0));
    // The probe mode: one probe, the password on standard input. Not for people.
    app.add_option("--probe-target", probeTarget)->group("");
    app.add_flag("--probe-connections", probeConnections)->group("");
    app.add_option("--work-directory", workDirectory)->group("");
    app.add_option("--probe-parent", probeParent)->group("");
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return 2;
    }
    if (!probeTarget.empty()) {
        // A probe does not outlive the exporter that waits for it. The death signal holds
        // from here on; an exporter that ended before is no longer the parent, and the probe
        // ends here.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (!ParentIsTheExporter(probeParent))
            return 1;
        return ProbeProcessMain(probeTarget, probeConnections, english, workDirectory);
    }

    if (!ValidListenAddress(listen)) {
        std::cerr << "zephran-exporter: --listen needs ADDR:PORT with an IPv4 address, such as "
                     "127.0.0.1:19866.\n";
        return 2;
    }
    if (credentialsPath.empty()) {
        std::cerr << "zephran-exporter: --credentials FILE is needed: the administrator "
                     "passwords of the servers to probe.\n";
        return 2;
    }
    TExporterOptions options;
    options.Listen = listen;
    options.English = english;
    options.Timeout = std::chrono::milliseconds(std::llround(timeoutSeconds * 1000));
    std::string message;
    if (!options.Credentials.Load(credentialsPath, message)) {
        std::cerr << "zephran-exporter: " << message << "\n";
        return 1;
    }
    const std::string warning = FallbackPasswordWarning(listen, options.Credentials.HasFallback());
    if (!warning.empty())
        std::cerr << "zephran-exporter: " << warning << std::endl;
    options.Program = OwnExecutable();
    options.WorkDirectory = MakeWorkDirectory();
    if (options.Program.empty() || options.WorkDirectory.empty()) {
        std::cerr << "zephran-exporter: cannot find its own program or make a work folder.\n";
        return 1;
    }
    const std::string workDirectoryMade = options.WorkDirectory;

    // A probe that dies leaves a closed pipe, not a signal; the stop signals are taken below.
    ::signal(SIGPIPE, SIG_IGN);
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);

    int status = 0;
    {
        TExporter exporter(std::move(options));
        if (!exporter.Start(message)) {
            std::cerr << "zephran-exporter: " << message << "\n";
            status = 1;
        } else {
            std::cout << "listening on " << exporter.ListeningAddress() << std::endl;
            int signal = 0;
            sigwait(&stop, &signal);
        }
    }
    std::error_code ignored;
    std::filesystem::remove_all(workDirectoryMade, ignored);
    return status;
}
