// Prints the peak resident memory of zephran-admin (ru_maxrss of the child) against the size of
// the broker answer it lists, and how far the peak grew beyond that of the same command given an
// empty list. The answers: a server list whose size lies in its texts (the centre names), where
// the received bytes themselves are most of what is held, and the two lists an attacker can make
// largest for their size, a session list of empty "session" elements and a long server list of
// short names, where the parsed document's nodes (64 bytes each) outweigh the bytes. A tiny
// loopback HTTP server plays the broker and answers every query with the same scripted
// document. Figures and ratios only.
//
//   broker_memory_bench [SESSIONS_MB [SERVERS_MB [TEXTS_MB]]]   (defaults: 50, 250 and 100)
//
// The answer is served from an unlinked file, so that this benchmark stays small: the child's
// peak also counts the resident size it inherits at the fork. The child runs under an
// address-space limit, so that a regression ends in its out-of-memory message instead of
// taking the machine's memory.

#include <httplib.h>

#include <algorithm>
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

// A document written to an unlinked temporary file as it is made, never held whole.
class TAnswerFile {
public:
    TAnswerFile() {
        char path[] = "/tmp/zephran-memory-answer-XXXXXX";
        fd_ = ::mkstemp(path);
        ::unlink(path);
    }
    ~TAnswerFile() { ::close(fd_); }
    TAnswerFile(const TAnswerFile&) = delete;
    TAnswerFile& operator=(const TAnswerFile&) = delete;

    void Write(const std::string& text) {
        std::size_t done = 0;
        while (done < text.size()) {
            const ssize_t n = ::pwrite(fd_, text.data() + done, text.size() - done,
                                       static_cast<off_t>(size_ + done));
            if (n <= 0) {
                std::perror("writing the answer");
                std::exit(1);
            }
            done += static_cast<std::size_t>(n);
        }
        size_ += text.size();
    }
    int Descriptor() const { return fd_; }
    std::size_t Size() const { return size_; }

private:
    int fd_ = -1;
    std::size_t size_ = 0;
};

// Answers every POST with the current document, read from its file piece by piece.
class TScriptedBroker {
public:
    TScriptedBroker() {
        server_.Post(".*", [this](const httplib::Request&, httplib::Response& res) {
            std::shared_ptr<const TAnswerFile> doc = answer_;
            res.set_content_provider(
                doc->Size(), "text/xml",
                [doc](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                    std::vector<char> piece(std::min<std::size_t>(length, 1 << 20));
                    const ssize_t n = ::pread(doc->Descriptor(), piece.data(), piece.size(),
                                              static_cast<off_t>(offset));
                    return n > 0 && sink.write(piece.data(), static_cast<std::size_t>(n));
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
    void Answer(std::shared_ptr<const TAnswerFile> doc) { answer_ = std::move(doc); }
    std::string URL() const { return "127.0.0.1:" + std::to_string(port_) + "/scripts"; }

private:
    httplib::Server server_;
    std::thread thread_;
    int port_ = 0;
    std::shared_ptr<const TAnswerFile> answer_ = std::make_shared<const TAnswerFile>();
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
        // The notice of an empty list is not for these figures.
        const int sink = ::open("/dev/null", O_WRONLY);
        ::dup2(sink, STDERR_FILENO);
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

// The answer: the envelope around data elements that `next` makes one at a time (given their
// number) until they reach `bytes`.
template <typename F> std::shared_ptr<const TAnswerFile> Envelope(std::size_t bytes, F next) {
    auto file = std::make_shared<TAnswerFile>();
    file->Write("<r><_ERRNUM>0</_ERRNUM><_DATA>");
    std::string piece;
    std::size_t data = 0;
    for (std::size_t i = 0; data < bytes; ++i) {
        const std::string element = next(i);
        data += element.size();
        piece += element;
        if (piece.size() >= (1u << 20)) {
            file->Write(piece);
            piece.clear();
        }
    }
    file->Write(piece + "</_DATA></r>");
    return file;
}

std::shared_ptr<const TAnswerFile> EmptySessions(std::size_t bytes) {
    return Envelope(bytes, [](std::size_t) { return std::string("<session/>"); });
}

std::shared_ptr<const TAnswerFile> ServerList(std::size_t bytes) {
    return Envelope(bytes, [](std::size_t i) {
        const std::string n = std::to_string(i);
        return "<srv><name>SERVER" + n + "</name><ecenter>Centre of the region " + n +
               "</ecenter></srv>";
    });
}

// Servers with long centre names (64 KiB each, of which the rows keep 80 characters).
std::shared_ptr<const TAnswerFile> LongCentreNames(std::size_t bytes) {
    const std::string centre(64 * 1024, 'c');
    return Envelope(bytes, [&centre](std::size_t i) {
        return "<srv><name>SERVER" + std::to_string(i) + "</name><ecenter>" + centre +
               "</ecenter></srv>";
    });
}

struct TCase {
    const char* What;
    std::shared_ptr<const TAnswerFile> Answer;
    std::vector<std::string> Args;
};

void Measure(TScriptedBroker& broker, const TCase& c) {
    broker.Answer(Envelope(0, [](std::size_t) { return std::string(); }));
    const TChildRun base = RunAdmin(c.Args);
    broker.Answer(c.Answer);
    const TChildRun run = RunAdmin(c.Args);
    const double answer = static_cast<double>(c.Answer->Size()) / kMiB;
    const double peak = static_cast<double>(run.PeakKiB) / 1024.0;
    const double growth = static_cast<double>(run.PeakKiB - base.PeakKiB) / 1024.0;
    std::printf("%-30s answer %7.1f MiB  peak %7.1f MiB  growth %7.1f MiB  growth/answer %5.2f  "
                "output %7.1f MiB  exit %d\n",
                c.What, answer, peak, growth, answer > 0 ? growth / answer : 0.0,
                static_cast<double>(run.OutputBytes) / kMiB, run.Exit);
}

} // namespace

int main(int argc, char** argv) {
    const double sessionsMiB = argc > 1 ? std::atof(argv[1]) : 50.0;
    const double serversMiB = argc > 2 ? std::atof(argv[2]) : 250.0;
    const double textsMiB = argc > 3 ? std::atof(argv[3]) : 100.0;
    const auto bytes = [](double mib) { return static_cast<std::size_t>(mib * kMiB); };
    TScriptedBroker broker;
    const std::string url = broker.URL();
    const auto sessions = EmptySessions(bytes(sessionsMiB));
    const auto servers = ServerList(bytes(serversMiB));
    const auto texts = LongCentreNames(bytes(textsMiB));
    const TCase cases[] = {
        {"broker servers, long texts", texts, {"broker", "servers", "--url", url}},
        {"broker servers --json, texts", texts, {"--json", "broker", "servers", "--url", url}},
        {"broker sessions --json",
         sessions,
         {"--json", "broker", "sessions", "--url", url, "--server", "MAIN"}},
        {"broker sessions (table)",
         sessions,
         {"broker", "sessions", "--url", url, "--server", "MAIN"}},
        {"broker servers --json", servers, {"--json", "broker", "servers", "--url", url}},
        {"broker servers (table)", servers, {"broker", "servers", "--url", url}},
    };
    std::printf("peak resident memory of zephran-admin against the broker answer it lists, and "
                "its growth over an empty list\n");
    for (const TCase& c : cases)
        Measure(broker, c);
    return 0;
}
