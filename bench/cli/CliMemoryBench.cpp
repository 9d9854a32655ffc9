// The peak memory of zephran-admin (the child's ru_maxrss) against the size of the reply it
// shows, for `databases` and `locals`, as tables and as --json, on replies of about 4 MB and
// 33 MB from a hostile scripted server: records of 500 results each, the most a record keeps
// (two bytes each for a database's results, five for a connection's).
//
// Usage: cli_memory_bench [PROGRAM]   (PROGRAM defaults to the zephran-admin beside it)
// The child runs with its address space limited to ZEPHRAN_BENCH_LIMIT_MB (default 3072), so
// that a program that grows without bound fails inside the limit instead of taking the machine.

#include "BenchServer.h"
#include "ScriptedPeer.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr std::uint16_t kResultsEach = 500;
constexpr std::size_t kMaxReplyBytes = 65535u * 508u; // the most a reply's packets can carry

// A database record: id, an empty path, open, parent, no children, 500 results of a kind byte
// and an empty user name: 1008 bytes.
void PutDatabase(Bytes& d, std::uint16_t id) {
    PutWord(d, id);
    PutShortString(d, "");
    PutByte(d, 1);
    PutByte(d, 0);
    PutByte(d, 0);
    PutWord(d, kResultsEach);
    for (int i = 0; i < kResultsEach; ++i) {
        PutByte(d, static_cast<std::uint8_t>(i % 14));
        PutByte(d, 0);
    }
}

// A local connection with 500 results: 2541 bytes.
void PutConnection(Bytes& d, std::uint16_t n) {
    char name[16];
    std::snprintf(name, sizeof name, "USER%05u", unsigned{n});
    PutShortString(d, name);
    PutLong(d, n);
    PutByte(d, 0);
    PutLong(d, 1000);
    PutWord(d, 0);
    PutWord(d, kResultsEach);
    for (int t = 0; t < 2; ++t)
        for (std::uint8_t b : std::initializer_list<std::uint8_t>{104, 4, 17, 14, 3, 22})
            PutByte(d, b);
    PutWord(d, 0);
    PutWord(d, 0);
    PutWord(d, 0);
    for (int i = 0; i < kResultsEach; ++i) {
        PutByte(d, static_cast<std::uint8_t>(i % 14));
        PutWord(d, 100);
        PutWord(d, 0x8000);
    }
}

struct TList {
    std::uint16_t Code = 0;
    std::uint16_t Count = 0;
    Bytes Data;
};

// Records until the reply reaches `bytes` (never beyond what a reply can carry).
TList MakeList(bool databases, std::size_t bytes) {
    TList list;
    list.Code = databases ? 372 : 368;
    while (list.Data.size() < bytes) {
        Bytes record;
        if (databases)
            PutDatabase(record, static_cast<std::uint16_t>(list.Count + 1));
        else
            PutConnection(record, list.Count);
        if (list.Data.size() + record.size() > kMaxReplyBytes || list.Count == 65535)
            break;
        list.Data.insert(list.Data.end(), record.begin(), record.end());
        ++list.Count;
    }
    return list;
}

// What the server answers: the admission's three requests, the list, and an empty reply to
// anything else (the logout).
Bytes Answer(std::uint16_t code, const TList& list) {
    TWireHeader h;
    h.RequestCode = code;
    if (auto admission = AdmissionReply(code))
        return *admission;
    Bytes d;
    switch (code) {
    default:
        if (code == list.Code) {
            h.Value = list.Count;
            return MakeReply(h, list.Data);
        }
        break;
    }
    return MakeReply(h, d);
}

struct TRun {
    long PeakKb = 0;
    int Status = -1;
};

struct TJob {
    int Port = 0;
    char Command[16] = {};
    bool Json = false;
};

// Runs one job in a child of this process and waits for it.
TRun RunAdmin(const std::string& program, const TJob& job, long limitMb) {
    TRun run;
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, STDOUT_FILENO);
        ::dup2(null, STDERR_FILENO);
        const rlimit limit{static_cast<rlim_t>(limitMb) << 20, static_cast<rlim_t>(limitMb) << 20};
        ::setrlimit(RLIMIT_AS, &limit);
        ::setenv("ZEPHRAN_PASSWORD", "admin", 1);
        const std::string target = "127.0.0.1:" + std::to_string(job.Port);
        if (job.Json)
            ::execl(program.c_str(), program.c_str(), "--tcp", target.c_str(), job.Command,
                    "--json", static_cast<char*>(nullptr));
        else
            ::execl(program.c_str(), program.c_str(), "--tcp", target.c_str(), job.Command,
                    static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    run.PeakKb = usage.ru_maxrss;
    run.Status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return run;
}

// A child's peak memory counts the memory of the process it was forked from (the kernel
// keeps the larger of the two across exec), and this process holds the replies it serves.
// So the runs are started by a launcher forked before anything large is made, which takes
// jobs through one pipe and answers through another.
class TLauncher {
public:
    TLauncher(const std::string& program, long limitMb) {
        int jobs[2];
        int runs[2];
        if (::pipe(jobs) != 0 || ::pipe(runs) != 0)
            return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(jobs[1]);
            ::close(runs[0]);
            TJob job;
            while (::read(jobs[0], &job, sizeof job) == static_cast<ssize_t>(sizeof job)) {
                const TRun run = RunAdmin(program, job, limitMb);
                if (::write(runs[1], &run, sizeof run) != static_cast<ssize_t>(sizeof run))
                    break;
            }
            ::_exit(0);
        }
        ::close(jobs[0]);
        ::close(runs[1]);
        jobs_ = jobs[1];
        runs_ = runs[0];
    }
    ~TLauncher() {
        ::close(jobs_);
        ::close(runs_);
        if (pid_ > 0)
            ::waitpid(pid_, nullptr, 0);
    }
    TLauncher(const TLauncher&) = delete;
    TLauncher& operator=(const TLauncher&) = delete;

    TRun Run(int port, const char* command, bool json) {
        TJob job;
        job.Port = port;
        std::snprintf(job.Command, sizeof job.Command, "%s", command);
        job.Json = json;
        TRun run;
        if (::write(jobs_, &job, sizeof job) != static_cast<ssize_t>(sizeof job) ||
            ::read(runs_, &run, sizeof run) != static_cast<ssize_t>(sizeof run))
            run.Status = -1;
        return run;
    }

private:
    pid_t pid_ = -1;
    int jobs_ = -1;
    int runs_ = -1;
};

} // namespace

int main(int argc, char** argv) {
    const std::string program = argc > 1 ? argv[1] : BenchBinDir() + "zephran-admin";
    const char* limitText = std::getenv("ZEPHRAN_BENCH_LIMIT_MB");
    const long limitMb = limitText != nullptr ? std::atol(limitText) : 3072;
    std::printf("zephran-admin peak memory against its reply (%s, address space limit %ld MB)\n",
                program.c_str(), limitMb);
    TLauncher launcher(program, limitMb);
    std::printf("%-10s %-6s %10s %8s %10s %8s %s\n", "command", "output", "reply MB", "records",
                "peak MB", "peak/rep", "exit");
    const auto serve = [](const TList& list) {
        return [&list](TPeerConnection& c) {
            c.Write(MakeRegistration(77, 5));
            for (;;) {
                const std::vector<Bytes> packets = c.ReadRequestPackets(600000);
                if (packets.empty() || !c.Write(Answer(ParseHeader(packets[0]).RequestCode, list)))
                    return;
            }
        };
    };
    {
        // The floor: the same session without a list.
        const TList none;
        TScriptedPeer peer(serve(none));
        const TRun run = launcher.Run(peer.Port(), "info", false);
        peer.Join();
        std::printf("%-10s %-6s %10s %8s %10.1f %8s %d\n", "info", "table", "-", "-",
                    static_cast<double>(run.PeakKb) / 1024, "-", run.Status);
    }
    for (const bool databases : {true, false}) {
        for (const std::size_t size : {std::size_t{4} << 20, kMaxReplyBytes}) {
            const TList list = MakeList(databases, size);
            for (const bool json : {false, true}) {
                TScriptedPeer peer(serve(list));
                const TRun run =
                    launcher.Run(peer.Port(), databases ? "databases" : "locals", json);
                peer.Join();
                const double replyMb = static_cast<double>(list.Data.size()) / (1 << 20);
                const double peakMb = static_cast<double>(run.PeakKb) / 1024;
                std::printf("%-10s %-6s %10.1f %8u %10.1f %8.1f %d%s\n",
                            databases ? "databases" : "locals", json ? "json" : "table", replyMb,
                            unsigned{list.Count}, peakMb, peakMb / replyMb, run.Status,
                            run.Status == 134 ? " (aborted)" : "");
                std::fflush(stdout);
            }
        }
    }
    return 0;
}
