// Prints the peak resident memory of zephran-admin (ru_maxrss of the child) against the size of
// the broker answer it lists, for the two lists an attacker can make largest: a session list of
// empty "session" elements and a long server list. A tiny loopback HTTP server plays the broker
// and answers every query with the same scripted document. Figures and ratios only.
//
//   broker_memory_bench [SESSIONS_MB [SERVERS_MB]]   (defaults: 50 and 250)
//
// The figure is the child's own peak, or this benchmark's resident size at the fork (a few MiB
// and the answer) when that is larger. The child runs under an address-space limit, so that a
// regression ends in its out-of-memory message instead of taking the machine's memory.

#include <httplib.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr double kMiB = 1024.0 * 1024.0;
constexpr rlim_t kChildAddressSpace = 8ull * 1024 * 1024 * 1024;

std::string BinDir() {
    char self[4096];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        return "./";
    std::string dir(self, static_cast<std::size_t>(n));
    dir.resize(dir.find_last_of('/') + 1);
    return dir;
}

// Answers every POST with the current document, streamed from memory without a copy.
class TScriptedBroker {
public:
    TScriptedBroker() {
        server_.Post(".*", [this](const httplib::Request&, httplib::Response& res) {
            std::shared_ptr<const std::string> doc = answer_;
            res.set_content_provider(
                doc->size(), "text/xml",
                [doc](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                    return sink.write(doc->data() + offset, length);
                });
        });
        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        while (!server_.is_running())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ~TScriptedBroker() {
        server_.stop();
        thread_.join();
    }
    void Answer(std::string doc) { answer_ = std::make_shared<const std::string>(std::move(doc)); }
    std::string URL() const { return "127.0.0.1:" + std::to_string(port_) + "/scripts"; }

private:
    httplib::Server server_;
    std::thread thread_;
    int port_ = 0;
    std::shared_ptr<const std::string> answer_ = std::make_shared<const std::string>();
};

struct TChildRun {
    int Exit = -1;
    long PeakKiB = 0;
    long long OutputBytes = 0;
};

TChildRun RunAdmin(std::vector<std::string> args) {
    const std::string program = BinDir() + "zephran-admin";
    args.insert(args.begin(), program);
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    char outPath[] = "/tmp/zephran-memory-bench-XXXXXX";
    const int out = ::mkstemp(outPath);
    TChildRun run;
    const pid_t pid = ::fork();
    if (pid == 0) {
        const rlimit limit{kChildAddressSpace, kChildAddressSpace};
        ::setrlimit(RLIMIT_AS, &limit);
        const int in = ::open("/dev/null", O_RDONLY);
        ::dup2(in, STDIN_FILENO);
        ::dup2(out, STDOUT_FILENO);
        ::unsetenv("ZEPHRAN_PASSWORD");
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    run.Exit = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    run.PeakKiB = usage.ru_maxrss;
    run.OutputBytes = ::lseek(out, 0, SEEK_END);
    ::close(out);
    ::unlink(outPath);
    return run;
}

std::string Envelope(const std::string& data) {
    return "<r><_ERRNUM>0</_ERRNUM><_DATA>" + data + "</_DATA></r>";
}

std::string EmptySessions(std::size_t bytes) {
    std::string data;
    data.reserve(bytes + 16);
    while (data.size() < bytes)
        data += "<session/>";
    return Envelope(data);
}

std::string ServerList(std::size_t bytes) {
    std::string data;
    data.reserve(bytes + 128);
    for (std::size_t i = 0; data.size() < bytes; ++i) {
        const std::string n = std::to_string(i);
        data += "<srv><name>SERVER" + n + "</name><ecenter>Centre of the region " + n +
                "</ecenter></srv>";
    }
    return Envelope(data);
}

void Measure(TScriptedBroker& broker, const char* what, std::string doc,
             const std::vector<std::string>& args) {
    const double answer = static_cast<double>(doc.size()) / kMiB;
    broker.Answer(std::move(doc));
    const TChildRun run = RunAdmin(args);
    const double peak = static_cast<double>(run.PeakKiB) / 1024.0;
    std::printf("%-28s answer %8.1f MiB  peak %8.1f MiB  peak/answer %5.2f  output %8.1f MiB  "
                "exit %d\n",
                what, answer, peak, answer > 0 ? peak / answer : 0.0,
                static_cast<double>(run.OutputBytes) / kMiB, run.Exit);
}

} // namespace

int main(int argc, char** argv) {
    const double sessionsMiB = argc > 1 ? std::atof(argv[1]) : 50.0;
    const double serversMiB = argc > 2 ? std::atof(argv[2]) : 250.0;
    TScriptedBroker broker;
    const std::string url = broker.URL();
    std::printf("peak resident memory of zephran-admin against the broker answer it lists\n");
    Measure(broker, "broker sessions --json",
            EmptySessions(static_cast<std::size_t>(sessionsMiB * kMiB)),
            {"--json", "broker", "sessions", "--url", url, "--server", "MAIN"});
    Measure(broker, "broker sessions (table)",
            EmptySessions(static_cast<std::size_t>(sessionsMiB * kMiB)),
            {"broker", "sessions", "--url", url, "--server", "MAIN"});
    Measure(broker, "broker servers --json",
            ServerList(static_cast<std::size_t>(serversMiB * kMiB)),
            {"--json", "broker", "servers", "--url", url});
    Measure(broker, "broker servers (table)",
            ServerList(static_cast<std::size_t>(serversMiB * kMiB)),
            {"broker", "servers", "--url", url});
    return 0;
}
