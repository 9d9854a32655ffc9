// zephran-admin as a process: how it ends when it is interrupted or runs out of time, what it
// does with closed standard descriptors and a closed pipe, its password prompt on a terminal,
// and the command lines it refuses. Every case runs the real program against a scripted
// server on loopback that records what the program sent.

#include "Processes.h"
#include "ScriptedPeer.h"
#include "TempFolder.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <pty.h>
#include <regex>
#include <sstream>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

const std::string kAdmin = std::string(ZEPHRAN_BIN_DIR) + "/zephran-admin";
const std::string kConsole = std::string(ZEPHRAN_BIN_DIR) + "/zephran-console";
const std::string kServer = std::string(ZEPHRAN_BIN_DIR) + "/zephran-testserver";

// ---------------------------------------------------------------------------------------------
// The scripted server

// What the server saw of one connection.
struct TSessionLog {
    bool Connected = false;
    std::vector<TWireHeader> Requests; // every packet the client sent, in order
    std::vector<Bytes> Packets;
    std::size_t StrayBytes = 0;      // bytes that made no whole packet
    bool Stalled = false;            // the server stopped in the middle of a reply
    std::size_t BytesAfterStall = 0; // what the client sent after that
    bool ClosedByClient = false;

    std::vector<std::uint16_t> Codes() const {
        std::vector<std::uint16_t> codes;
        for (const TWireHeader& h : Requests)
            codes.push_back(h.RequestCode);
        return codes;
    }
};

// What the server answers beyond the admission.
struct TServerData {
    int WebConnections = 1;
    bool InvalidConnectTime = false;
};

bool PeerClosed(TPeerConnection& c) {
    std::uint8_t b = 0;
    return ::recv(c.Fd(), &b, 1, MSG_DONTWAIT) == 0;
}

Bytes Answer(const TWireHeader& request, const TServerData& data) {
    TWireHeader h;
    h.RequestCode = request.RequestCode;
    if (auto admission = AdmissionReply(request.RequestCode))
        return *admission;
    Bytes d;
    switch (request.RequestCode) {
    case 368: // local connections: one, with one result
        h.Value = 1;
        PutShortString(d, "JOHN");
        PutLong(d, 42);
        PutByte(d, 1);
        PutLong(d, 1234);
        PutWord(d, 0);
        PutWord(d, 1);
        for (std::uint8_t b : std::initializer_list<std::uint8_t>{104, 4, 15, 10, 30, 0})
            PutByte(d, data.InvalidConnectTime ? std::uint8_t{0xFF} : b);
        for (std::uint8_t b : std::initializer_list<std::uint8_t>{104, 4, 15, 11, 0, 59})
            PutByte(d, b);
        PutWord(d, 0);
        PutWord(d, 0);
        PutWord(d, 0);
        PutByte(d, 5);
        PutWord(d, 100);
        PutWord(d, 0x8000);
        break;
    case 370: // web connections
        h.Value = static_cast<std::uint16_t>(data.WebConnections);
        for (int i = 0; i < data.WebConnections; ++i) {
            PutShortString(d, "WEBUSER" + std::to_string(i));
            PutLong(d, 1000 + i);
            for (std::uint8_t b : std::initializer_list<std::uint8_t>{104, 4, 15, 10, 30, 0})
                PutByte(d, b);
        }
        break;
    default: // logout, deletes: nothing
        break;
    }
    return MakeReply(h, d);
}

// Reads the client's packets one by one (every request here fits in one), answers each with
// `answer` (nothing when it returns false), until the client closes or goes quiet.
void ServePackets(TPeerConnection& c, TSessionLog& log,
                  const std::function<bool(const TWireHeader&, TPeerConnection&)>& answer) {
    log.Connected = true;
    c.Write(MakeRegistration(77, 5));
    for (;;) {
        Bytes packet = c.ReadExactly(534, 10000);
        if (packet.size() != 534) {
            log.StrayBytes += packet.size();
            log.ClosedByClient = PeerClosed(c);
            return;
        }
        const TWireHeader h = ParseHeader(packet);
        log.Requests.push_back(h);
        log.Packets.push_back(std::move(packet));
        if (!answer(h, c))
            return;
    }
}

// A server that answers every request correctly.
TScriptedPeer::TScript Serve(TSessionLog& log, TServerData data = {}) {
    return [&log, data](TPeerConnection& c) {
        ServePackets(c, log, [&](const TWireHeader& h, TPeerConnection& conn) {
            return conn.Write(Answer(h, data));
        });
    };
}

// A server that answers the local connection list with the first packets of a reply of a
// megabyte (beyond what is kept in memory, so it spills) and sends no more; it counts what
// the client sends from then on until the client closes.
TScriptedPeer::TScript StallInSpilledReply(TSessionLog& log) {
    return [&log](TPeerConnection& c) {
        ServePackets(c, log, [&](const TWireHeader& h, TPeerConnection& conn) {
            if (h.RequestCode != 368)
                return conn.Write(Answer(h, {}));
            TWireHeader r;
            r.RequestCode = 368;
            r.Value = 1000;
            Bytes reply = MakeReply(r, Bytes(1000000, 0x41));
            reply.resize(4 * 534);
            conn.Write(reply);
            log.Stalled = true;
            log.BytesAfterStall = conn.ReadExactly(1 << 20, 30000).size();
            log.ClosedByClient = PeerClosed(conn);
            return false;
        });
    };
}

// A server whose registration comes one byte every 100 ms: each receive ends in time, the
// whole never does.
TScriptedPeer::TScript TrickleRegistration(TSessionLog& log) {
    return [&log](TPeerConnection& c) {
        log.Connected = true;
        const Bytes registration = MakeRegistration(77, 5);
        for (int n = 0; n < 300; ++n) {
            if (PeerClosed(c) || !c.Write({registration[static_cast<std::size_t>(n) % 534]}))
                break;
            std::this_thread::sleep_for(100ms);
        }
        log.ClosedByClient = PeerClosed(c);
    };
}

// ---------------------------------------------------------------------------------------------
// Running the program

int EntryCount(const std::string& folder) {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        (void)entry;
        ++count;
    }
    return count;
}

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit = 20s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

// "exit N" or "signal N": how a process ended, readable in a failed assertion.
std::string Ending(int status) {
    if (WIFEXITED(status))
        return "exit " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status))
        return "signal " + std::to_string(WTERMSIG(status));
    return "status " + std::to_string(status);
}

// A copy of zephran-admin in a folder of its own: its TEMP folder is the test's.
class TAdminCopy {
public:
    TAdminCopy() {
        std::filesystem::copy_file(kAdmin, Program());
        std::filesystem::create_directory(Temp());
    }
    std::string Program() const { return folder_.Path() + "zephran-admin"; }
    std::string Temp() const { return folder_.Path() + "TEMP"; }

private:
    TTempFolder folder_;
};

struct TChildOptions {
    std::vector<int> Closed;                        // standard descriptors closed in the child
    int Stdout = -1;                                // standard output, else a file
    std::map<std::string, std::string> Environment; // added to this process's
    std::vector<int> Ignored;                       // signals the child starts with ignored
};

// This process's environment with `changes` made (an empty value removes the variable), as
// execve takes it. Made before a fork: the child of a process with threads only execs.
class TEnvironment {
public:
    explicit TEnvironment(const std::map<std::string, std::string>& changes) {
        for (char** e = environ; *e != nullptr; ++e) {
            const std::string entry = *e;
            if (changes.count(entry.substr(0, entry.find('='))) == 0)
                entries_.push_back(entry);
        }
        for (const auto& [name, value] : changes)
            if (!value.empty())
                entries_.push_back(name + "=" + value);
        for (std::string& entry : entries_)
            pointers_.push_back(entry.data());
        pointers_.push_back(nullptr);
    }
    char** Get() { return pointers_.data(); }

private:
    std::vector<std::string> entries_;
    std::vector<char*> pointers_;
};

class TArguments {
public:
    TArguments(const std::string& program, const std::vector<std::string>& args) {
        storage_.push_back(program);
        storage_.insert(storage_.end(), args.begin(), args.end());
        for (std::string& s : storage_)
            pointers_.push_back(s.data());
        pointers_.push_back(nullptr);
    }
    char** Get() { return pointers_.data(); }

private:
    std::vector<std::string> storage_;
    std::vector<char*> pointers_;
};

// A running program: standard input from /dev/null, output and errors into files, the
// administrator password in the environment.
class TChild {
public:
    TChild(const std::string& program, const std::vector<std::string>& args,
           const TChildOptions& options = {})
        : out_(folder_.Path() + "out"), err_(folder_.Path() + "err") {
        TArguments argv(program, args);
        std::map<std::string, std::string> changes = {{"ZEPHRAN_PASSWORD", "pw"}};
        for (const auto& [name, value] : options.Environment)
            changes[name] = value;
        TEnvironment environment(changes);
        const int in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        const int out = options.Stdout >= 0
                            ? options.Stdout
                            : ::open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        const int err = ::open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(in, STDIN_FILENO);
            ::dup2(out, STDOUT_FILENO);
            ::dup2(err, STDERR_FILENO);
            for (int fd = 3; fd < 1024; ++fd)
                ::close(fd);
            for (int fd : options.Closed)
                ::close(fd);
            for (int signal : options.Ignored)
                ::signal(signal, SIG_IGN);
            ::execve(program.c_str(), argv.Get(), environment.Get());
            ::_exit(127);
        }
        ::close(in);
        if (out != options.Stdout)
            ::close(out);
        ::close(err);
    }
    ~TChild() {
        if (pid_ > 0 && !ended_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status_, 0);
        }
    }
    TChild(const TChild&) = delete;
    TChild& operator=(const TChild&) = delete;

    pid_t Pid() const { return pid_; }
    // Waits for the end: "exit N" or "signal N"; a program still running after `limit` is
    // killed and "did not end".
    std::string Wait(std::chrono::milliseconds limit = 30s) {
        ended_ = WaitFor([this] { return ::waitpid(pid_, &status_, WNOHANG) == pid_; }, limit);
        if (ended_)
            return Ending(status_);
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status_, 0);
        ended_ = true;
        return "did not end";
    }
    std::string Out() const { return ReadWholeFile(out_); }
    std::string Err() const { return ReadWholeFile(err_); }

private:
    TTempFolder folder_;
    std::string out_;
    std::string err_;
    pid_t pid_ = -1;
    int status_ = 0;
    bool ended_ = false;
};

std::string FirstLine(const std::string& text) {
    return text.substr(0, text.find('\n'));
}

std::string Tcp(const TScriptedPeer& peer) {
    return "127.0.0.1:" + std::to_string(peer.Port());
}

// True once the process handles `signal` itself (its handler is in place).
bool Catches(pid_t pid, int signal) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("SigCgt:", 0) == 0)
            return (std::stoull(line.substr(7), nullptr, 16) >> (signal - 1) & 1) != 0;
    return false;
}

// ---------------------------------------------------------------------------------------------
// Signals

TEST(CliSignalsTest, InterruptedWhileSpillingRemovesTheFileSendsNothingMoreAndExits128PlusSignal) {
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(::strsignal(signal));
        TAdminCopy admin;
        TSessionLog log;
        TScriptedPeer peer(StallInSpilledReply(log));
        TChild child(admin.Program(), {"--tcp", Tcp(peer), "locals"});
        ASSERT_TRUE(WaitFor([&] { return EntryCount(admin.Temp()) == 1; }))
            << "no spill file appeared";
        ::kill(child.Pid(), signal);
        EXPECT_EQ(child.Wait(), "exit " + std::to_string(128 + signal));
        peer.Join();
        EXPECT_EQ(EntryCount(admin.Temp()), 0);
        EXPECT_TRUE(log.Stalled);
        EXPECT_EQ(log.BytesAfterStall, 0u);
        EXPECT_TRUE(log.ClosedByClient);
    }
}

TEST(CliSignalsTest, ASignalIgnoredByWhoeverStartedTheCommandStaysIgnored) {
    TAdminCopy admin;
    TSessionLog log;
    TScriptedPeer peer(StallInSpilledReply(log));
    // As nohup starts a program.
    TChildOptions options;
    options.Ignored = {SIGHUP};
    TChild child(admin.Program(), {"--tcp", Tcp(peer), "locals"}, options);
    ASSERT_TRUE(WaitFor([&] { return EntryCount(admin.Temp()) == 1; })) << "no spill file appeared";
    ::kill(child.Pid(), SIGHUP);
    std::this_thread::sleep_for(300ms);
    ::kill(child.Pid(), SIGTERM);
    EXPECT_EQ(child.Wait(), "exit 143") << "SIGHUP ended the command";
    peer.Join();
    EXPECT_EQ(EntryCount(admin.Temp()), 0);
}

TEST(CliSignalsTest, TheConsoleEndsWith128PlusSignalToo) {
    if (!std::filesystem::exists(kConsole))
        GTEST_SKIP() << "the console is not built";
    for (int signal : {SIGTERM, SIGHUP}) {
        SCOPED_TRACE(::strsignal(signal));
        TTempFolder home;
        TChildOptions options;
        options.Environment = {{"QT_QPA_PLATFORM", "offscreen"},
                               {"HOME", home.Path()},
                               {"XDG_CONFIG_HOME", home.Path()}};
        TChild console(kConsole, {}, options);
        ASSERT_TRUE(WaitFor([&] { return Catches(console.Pid(), signal); }));
        ::kill(console.Pid(), signal);
        EXPECT_EQ(console.Wait(), "exit " + std::to_string(128 + signal));
    }
}

// ---------------------------------------------------------------------------------------------
// The time limit

TEST(CliTimeLimitTest, ACommandThatDoesNotFinishInTimeEndsWithTheMessageAndLeavesNothing) {
    struct TCase {
        const char* Name;
        std::function<TScriptedPeer::TScript(TSessionLog&)> Script;
        const char* Command;
        const char* Limit; // long enough for the admission on a loaded machine where it matters
        const char* Message;
        bool Spills;
    } cases[] = {
        {"a reply that stops while it spills", StallInSpilledReply, "locals", "3",
         "The command did not finish within 3 seconds.\n", true},
        {"a registration that comes a byte at a time", TrickleRegistration, "info", "1",
         "The command did not finish within 1 second.\n", false},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TAdminCopy admin;
        TSessionLog log;
        TScriptedPeer peer(c.Script(log));
        TChild child(admin.Program(), {"--timeout", c.Limit, "--tcp", Tcp(peer), c.Command});
        EXPECT_EQ(child.Wait(), "exit 1");
        peer.Join();
        EXPECT_EQ(child.Err(), c.Message);
        EXPECT_EQ(EntryCount(admin.Temp()), 0);
        EXPECT_TRUE(log.ClosedByClient);
        EXPECT_EQ(log.Stalled, c.Spills);
        EXPECT_EQ(log.BytesAfterStall, 0u);
    }
}

TEST(CliTimeLimitTest, CoversTheBrokerQueries) {
    // A broker that takes the connection and never answers.
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(listener, 8), 0);
    socklen_t length = sizeof addr;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &length);
    const std::string url = "http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/scripts";

    TChild child(kAdmin, {"broker", "servers", "--url", url, "--timeout", "1.5"});
    EXPECT_EQ(child.Wait(), "exit 1");
    EXPECT_EQ(child.Err(), "The command did not finish within 1.5 seconds.\n");
    ::close(listener);
}

TEST(CliTimeLimitTest, ACommandWithinItsLimitIsNotDisturbed) {
    TSessionLog log;
    TScriptedPeer peer(Serve(log));
    TChild child(kAdmin, {"--timeout", "30", "--tcp", Tcp(peer), "webs"});
    EXPECT_EQ(child.Wait(), "exit 0");
    EXPECT_NE(child.Out().find("WEBUSER0"), std::string::npos);
    EXPECT_EQ(child.Err(), "");
}

// ---------------------------------------------------------------------------------------------
// Closed descriptors and pipes

TEST(CliDescriptorsTest, ClosedStandardDescriptorsNeverLeadOutputIntoTheSession) {
    struct TCase {
        const char* Name;
        std::vector<int> Closed;
        std::vector<std::string> Command;
        TServerData Data;
        std::uint16_t Request;
    } cases[] = {
        // Output beyond the standard output's buffer is written while the session is open.
        {"standard output closed", {STDOUT_FILENO}, {"webs"}, {400, false}, 370},
        // The warning about the invalid date names the user, during the session.
        {"standard error closed", {STDERR_FILENO}, {"locals"}, {1, true}, 368},
        {"all three closed",
         {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO},
         {"--json", "webs"},
         {400, false},
         370},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TSessionLog log;
        TScriptedPeer peer(Serve(log, c.Data));
        std::vector<std::string> args = {"--tcp", Tcp(peer)};
        args.insert(args.end(), c.Command.begin(), c.Command.end());
        TChildOptions options;
        options.Closed = c.Closed;
        TChild child(kAdmin, args, options);
        EXPECT_EQ(child.Wait(), "exit 0");
        peer.Join();
        // The session's packets, and nothing else.
        EXPECT_EQ(log.Codes(), (std::vector<std::uint16_t>{20, 18, 1, c.Request, 19}));
        EXPECT_EQ(log.StrayBytes, 0u);
        EXPECT_TRUE(log.ClosedByClient);
    }
}

TEST(CliDescriptorsTest, AClosedPipeIsAFailedWriteWithItsMessage) {
    TSessionLog log;
    TScriptedPeer peer(Serve(log));
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    ::close(pipeFds[0]); // nobody reads
    TChildOptions options;
    options.Stdout = pipeFds[1];
    TChild child(kAdmin, {"--tcp", Tcp(peer), "webs"}, options);
    ::close(pipeFds[1]);
    EXPECT_EQ(child.Wait(), "exit 1");
    EXPECT_EQ(child.Err(),
              "Could not write the output: " + std::string(std::strerror(EPIPE)) + "\n");
    peer.Join();
    EXPECT_EQ(log.Codes(), (std::vector<std::uint16_t>{20, 18, 1, 370, 19}));
}

// ---------------------------------------------------------------------------------------------
// The password prompt on a terminal

// Reads what the terminal shows until `text` has appeared, the program has ended, or 10 s.
bool ReadUntil(int master, std::string& shown, const std::string& text) {
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (shown.find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        pollfd p{master, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0)
            continue;
        char buffer[256];
        const ssize_t n = ::read(master, buffer, sizeof buffer);
        if (n <= 0)
            return false; // the program has ended (EIO)
        shown.append(buffer, static_cast<std::size_t>(n));
    }
    return true;
}

bool Echoes(int master) {
    termios mode{};
    return ::tcgetattr(master, &mode) == 0 && (mode.c_lflag & ECHO) != 0;
}

TEST(CliPasswordPromptTest, TheTerminalGetsItsEchoBackOnEveryWayOut) {
    struct TCase {
        const char* Name;
        std::vector<std::string> Options;
        std::function<void(int master, pid_t pid)> Act;
        std::string Ending;
    } cases[] = {
        {"answered", {}, [](int m, pid_t) { (void)!::write(m, "secret\r", 7); }, "exit 1"},
        {"Ctrl+C", {}, [](int m, pid_t) { (void)!::write(m, "\x03", 1); }, "exit 130"},
        {"SIGTERM", {}, [](int, pid_t pid) { ::kill(pid, SIGTERM); }, "exit 143"},
        {"SIGHUP", {}, [](int, pid_t pid) { ::kill(pid, SIGHUP); }, "exit 129"},
        // The time the user takes to answer does not count against the command's limit.
        {"answered after longer than the time limit",
         {"--timeout", "1"},
         [](int m, pid_t) {
             std::this_thread::sleep_for(2s);
             (void)!::write(m, "secret\r", 7);
         },
         "exit 1"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        // Nothing listens on port 1: an answered prompt ends in the connect failure.
        std::vector<std::string> args = {"--tcp", "127.0.0.1:1"};
        args.insert(args.end(), c.Options.begin(), c.Options.end());
        args.push_back("info");
        TArguments argv(kAdmin, args);
        TEnvironment environment(std::map<std::string, std::string>{{"ZEPHRAN_PASSWORD", ""}});
        int master = -1;
        const pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::execve(kAdmin.c_str(), argv.Get(), environment.Get());
            ::_exit(127);
        }
        std::string shown;
        ASSERT_TRUE(ReadUntil(master, shown, "Administrator password: ")) << shown;
        // Let the prompt switch the echo off.
        EXPECT_TRUE(WaitFor([&] { return !Echoes(master); }, 5s));
        c.Act(master, pid);
        ReadUntil(master, shown, "\x01never shown");
        int status = 0;
        const bool ended = WaitFor([&] { return ::waitpid(pid, &status, WNOHANG) == pid; });
        if (!ended) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
        }
        EXPECT_EQ(ended ? Ending(status) : "did not end", c.Ending) << shown;
        EXPECT_TRUE(Echoes(master));
        EXPECT_EQ(shown.find("secret"), std::string::npos) << shown;
        EXPECT_EQ(shown.find("did not finish"), std::string::npos) << shown;
        ::close(master);
    }
}

// ---------------------------------------------------------------------------------------------
// status --watch

// The reference server with a small installation, writing every request it receives to its
// log.
class TLoggingServer {
public:
    TLoggingServer() {
        std::ofstream(folder_.Path() + "fixture.json") << R"({
          "administrator_password": "pw",
          "server_name": "MAIN",
          "database_view": [{"id": 7, "path": "D:\\DB\\SEVEN", "open": true, "parent": true},
                            {"id": 8, "path": "E:\\EIGHT", "open": true}],
          "status": {"non_queued_db_requests": 300, "queued_db_requests": 100,
                     "non_db_requests": 7, "version_mismatched_requests": 1,
                     "client_count": 4,
                     "result_counts": [1, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 3]}
        })";
        server_.emplace(kServer,
                        std::vector<std::string>{"--fixture", folder_.Path() + "fixture.json",
                                                 "--port", "0", "--log", Log()});
    }
    bool Running() const { return server_ && server_->Running(); }
    std::string Tcp() const { return "127.0.0.1:" + std::to_string(server_->Port()); }
    std::string Log() const { return folder_.Path() + "requests.log"; }
    void Stop() { server_.reset(); }
    // The request codes of the log, in order.
    std::vector<int> Codes() const {
        std::vector<int> codes;
        std::istringstream log(ReadWholeFile(Log()));
        std::string line;
        while (std::getline(log, line))
            if (const auto at = line.find(" code="); at != std::string::npos)
                codes.push_back(std::stoi(line.substr(at + 6)));
        return codes;
    }

private:
    TTempFolder folder_;
    std::optional<TPeerProcess> server_;
};

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

// Whole lines written so far (the last one ended by its line end).
std::size_t LineCount(const std::string& text) {
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

TEST(CliStatusWatchTest, SamplesAsJsonLinesUntilASignalThenLogsOutAndSucceeds) {
    for (int signal : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(::strsignal(signal));
        TLoggingServer server;
        ASSERT_TRUE(server.Running());
        TChild child(kAdmin, {"--tcp", server.Tcp(), "--json", "status", "--watch", "0.2"});
        ASSERT_TRUE(WaitFor([&] { return LineCount(child.Out()) >= 3; }))
            << "no three samples: " << child.Err();
        ::kill(child.Pid(), signal);
        EXPECT_EQ(child.Wait(), "exit 0");
        EXPECT_EQ(child.Err(), "");

        // Each line one whole document, the first without a rate.
        const std::vector<std::string> lines = Lines(child.Out());
        ASSERT_GE(lines.size(), 3u);
        const std::regex time(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d)");
        for (std::size_t i = 0; i < lines.size(); ++i) {
            SCOPED_TRACE(lines[i]);
            const nlohmann::json sample = nlohmann::json::parse(lines[i], nullptr, false);
            ASSERT_TRUE(sample.is_object());
            EXPECT_TRUE(std::regex_match(sample["time"].get<std::string>(), time));
            if (i == 0) {
                EXPECT_TRUE(sample["requests_per_second"].is_null());
            } else {
                ASSERT_TRUE(sample["requests_per_second"].is_number());
                EXPECT_EQ(sample["requests_per_second"].get<double>(), 0.0);
            }
            EXPECT_EQ(sample["counters"]["non_queued_db_requests"], 300);
            EXPECT_EQ(sample["counters"]["client_count"], 4);
            EXPECT_EQ(sample["result_counts"].size(), 14u);
            EXPECT_EQ(sample["lines"][0]["caption"], "Total Server Requests Count ");
            EXPECT_EQ(sample["lines"][0]["value"], "      408 (100%)");
        }

        // One session: the admission, a status request a sample, then the logout.
        server.Stop();
        const std::vector<int> codes = server.Codes();
        ASSERT_GE(codes.size(), 3u + lines.size());
        EXPECT_EQ(std::vector<int>(codes.begin(), codes.begin() + 3),
                  (std::vector<int>{20, 18, 1}));
        EXPECT_EQ(std::count(codes.begin(), codes.end(), 373),
                  static_cast<std::ptrdiff_t>(lines.size()));
        EXPECT_EQ(codes.back(), 19) << "no logout";
    }
}

TEST(CliStatusWatchTest, SamplesAsTextLines) {
    TLoggingServer server;
    ASSERT_TRUE(server.Running());
    TChild child(kAdmin, {"--tcp", server.Tcp(), "status", "--watch", "0.1"});
    ASSERT_TRUE(WaitFor([&] { return LineCount(child.Out()) >= 2; })) << child.Err();
    ::kill(child.Pid(), SIGINT);
    EXPECT_EQ(child.Wait(), "exit 0");
    const std::vector<std::string> lines = Lines(child.Out());
    ASSERT_GE(lines.size(), 2u);
    const std::string figures = "  clients 4  results 6  databases open 2";
    EXPECT_TRUE(std::regex_match(
        lines[0], std::regex(R"(\d{4}/\d\d/\d\d \d\d:\d\d:\d\d  requests/s -)" + figures)))
        << lines[0];
    EXPECT_TRUE(std::regex_match(
        lines[1], std::regex(R"(\d{4}/\d\d/\d\d \d\d:\d\d:\d\d  requests/s 0\.00)" + figures)))
        << lines[1];
    server.Stop();
    EXPECT_EQ(server.Codes().back(), 19) << "no logout";
}

TEST(CliStatusWatchTest, ASignalFinishesTheSampleBeingTakenAndASecondOneEndsAtOnce) {
    // A server that answers the admission and then never the status request.
    TSessionLog log;
    std::atomic<bool> asked{false};
    TScriptedPeer peer([&log, &asked](TPeerConnection& c) {
        ServePackets(c, log, [&asked](const TWireHeader& h, TPeerConnection& conn) {
            if (h.RequestCode != 373)
                return conn.Write(Answer(h, {}));
            asked = true;
            return true;
        });
    });
    TChild child(kAdmin, {"--tcp", Tcp(peer), "status", "--watch", "1"});
    ASSERT_TRUE(WaitFor([&] { return asked.load(); }));
    ASSERT_TRUE(WaitFor([&] { return Catches(child.Pid(), SIGINT); }));
    ::kill(child.Pid(), SIGINT);
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(::waitpid(child.Pid(), nullptr, WNOHANG), 0)
        << "the first signal ended the command in the middle of its request";
    ::kill(child.Pid(), SIGINT);
    EXPECT_EQ(child.Wait(), "exit 130");
    peer.Join();
    EXPECT_EQ(log.Codes(), (std::vector<std::uint16_t>{20, 18, 1, 373}));
}

TEST(CliStatusWatchTest, AFailedRequestEndsTheWatchWithItsMessage) {
    TLoggingServer server;
    ASSERT_TRUE(server.Running());
    TChild child(kAdmin, {"--tcp", server.Tcp(), "--json", "status", "--watch", "0.2"});
    ASSERT_TRUE(WaitFor([&] { return LineCount(child.Out()) >= 1; })) << child.Err();
    server.Stop(); // closes the connection
    EXPECT_EQ(child.Wait(), "exit 1");
    EXPECT_NE(child.Err(), "");
    for (const std::string& line : Lines(child.Out()))
        EXPECT_TRUE(nlohmann::json::parse(line, nullptr, false).is_object()) << line;
}

TEST(CliStatusWatchTest, AClosedPipeEndsTheWatch) {
    TLoggingServer server;
    ASSERT_TRUE(server.Running());
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    TChildOptions options;
    options.Stdout = fds[1];
    TChild child(kAdmin, {"--tcp", server.Tcp(), "status", "--watch", "0.05"}, options);
    ::close(fds[1]);
    char first[256];
    ASSERT_GT(::read(fds[0], first, sizeof first), 0) << "the first sample was not flushed";
    ::close(fds[0]);
    EXPECT_EQ(child.Wait(), "exit 1");
    EXPECT_EQ(FirstLine(child.Err()).rfind("Could not write the output: ", 0), 0u) << child.Err();
}

// ---------------------------------------------------------------------------------------------
// The command line

TEST(CliCommandLineTest, ServerAddressesAndUserNames) {
    // Letters of two bytes in UTF-8 and one (0xC8) in Windows-1256.
    const auto arabic = [](int letters) {
        std::string text;
        for (int i = 0; i < letters; ++i)
            text += "\xD8\xA8";
        return text;
    };
    const std::string notAnAddress = "The server's address must be an IPv4 address or a host name.";
    const std::string badIp = "IP Address is not valid...";
    const std::string badPort = "Port Number is not valid...";

    struct TCase {
        std::vector<std::string> Args; // "PORT" stands for the scripted server's port
        int Exit;
        std::string Message;     // how standard error's first line begins; "" for no message
        std::string DeletedName; // the user name bytes of the delete request, when one is made
    } cases[] = {
        // Addresses that the protocol cannot carry or that are no address at all.
        {{"--tcp", "::1", "info"}, 2, notAnAddress, ""},
        {{"--tcp", "[::1]:PORT", "info"}, 2, notAnAddress, ""},
        {{"--tcp", "fe80::1", "info"}, 2, notAnAddress, ""},
        {{"--tcp", "bad host", "info"}, 2, notAnAddress, ""},
        {{"--tcp", "a..b:PORT", "info"}, 2, notAnAddress, ""},
        {{"--tcp", std::string(64, 'a') + ".example:PORT", "info"}, 2, notAnAddress, ""},
        {{"--tcp", "256.1.1.1:PORT", "info"}, 2, badIp, ""},
        {{"--tcp", "1.2.3:PORT", "info"}, 2, badIp, ""},
        {{"--tcp", "1.2.3.4.5:PORT", "info"}, 2, badIp, ""},
        {{"--tcp", "0x7f.1:PORT", "info"}, 2, badIp, ""},
        {{"--tcp", "2130706433:PORT", "info"}, 2, badIp, ""},
        {{"--tcp", ":PORT", "info"}, 2, badIp, ""},
        {{"--tcp", ":0", "info"}, 2, badPort, ""},
        {{"--tcp", "127.0.0.1:0", "info"}, 2, badPort, ""},
        {{"--tcp", "127.0.0.1:65536", "info"}, 2, badPort, ""},
        {{"--tcp", "127.0.0.1:", "info"}, 2, badPort, ""},
        {{"--tcp", "127.0.0.1:-1", "info"}, 2, badPort, ""},
        {{"--tcp", "127.0.0.1:+1", "info"}, 2, badPort, ""},
        {{"--tcp", "127.0.0.1:0x10", "info"}, 2, badPort, ""},
        // A well-formed name that the resolver does not know is a failure, not a bad line.
        {{"--tcp", "no-such-host.invalid:PORT", "info"},
         1,
         "The server's host name no-such-host.invalid could not be resolved.",
         ""},
        // Leading zeros and leading blanks of the port are read alike, as the dialog reads them.
        {{"--tcp", "127.0.0.1:0PORT", "kill-local", "7", "JOHN"}, 0, "", "JOHN"},
        {{"--tcp", "127.0.0.1:00000PORT", "kill-local", "7", "JOHN"}, 0, "", "JOHN"},
        {{"--tcp", "127.0.0.1: PORT", "kill-local", "7", "JOHN"}, 0, "", "JOHN"},
        {{"--tcp", "localhost:PORT", "kill-local", "7", "JOHN"}, 0, "", "JOHN"},
        {{"--tcp", "127.000.0.01:PORT", "kill-local", "7", "JOHN"}, 0, "", "JOHN"},
        // A user name is at most 30 bytes once encoded; it is sent whole or not at all.
        {{"--tcp", "127.0.0.1:PORT", "kill-local", "7", std::string(30, 'U')},
         0,
         "",
         std::string(30, 'U')},
        {{"--tcp", "127.0.0.1:PORT", "kill-local", "7", arabic(16)},
         0,
         "",
         std::string(16, '\xC8')},
        {{"--tcp", "127.0.0.1:PORT", "kill-local", "7", arabic(30)},
         0,
         "",
         std::string(30, '\xC8')},
        {{"--tcp", "127.0.0.1:PORT", "kill-local", "7", std::string(31, 'U')}, 2, "USER_NAME", ""},
        {{"--tcp", "127.0.0.1:PORT", "kill-local", "7", arabic(31)}, 2, "USER_NAME", ""},
        {{"--tcp", "127.0.0.1:PORT", "kill-local", "7", "\xE5\x90\x8D"}, 2, "USER_NAME", ""},
        // The time limit is a positive number of seconds.
        {{"--tcp", "127.0.0.1:PORT", "--timeout", "0", "info"}, 2, "--timeout", ""},
        {{"--tcp", "127.0.0.1:PORT", "--timeout", "-1", "info"}, 2, "--timeout", ""},
        {{"--tcp", "127.0.0.1:PORT", "--timeout", "5s", "info"}, 2, "--timeout", ""},
        {{"--tcp", "127.0.0.1:PORT", "--timeout", "nan", "info"}, 2, "--timeout", ""},
        {{"--tcp", "127.0.0.1:PORT", "--timeout", "inf", "info"}, 2, "--timeout", ""},
        {{"--tcp", "127.0.0.1:PORT", "--timeout", "", "info"}, 2, "--timeout", ""},
        // So is the interval of status --watch, which no other command takes.
        {{"--tcp", "127.0.0.1:PORT", "status", "--watch", "0"}, 2, "--watch", ""},
        {{"--tcp", "127.0.0.1:PORT", "status", "--watch", "-2"}, 2, "--watch", ""},
        {{"--tcp", "127.0.0.1:PORT", "status", "--watch", "1m"}, 2, "--watch", ""},
        {{"--tcp", "127.0.0.1:PORT", "status", "--watch", "nan"}, 2, "--watch", ""},
        {{"--tcp", "127.0.0.1:PORT", "status", "--watch", "inf"}, 2, "--watch", ""},
        {{"--tcp", "127.0.0.1:PORT", "status", "--watch", "1e999"}, 2, "--watch", ""},
        {{"--tcp", "127.0.0.1:PORT", "status", "--watch", ""}, 2, "--watch", ""},
        {{"--tcp", "127.0.0.1:PORT", "status", "--watch"}, 2, "--watch", ""},
        {{"--tcp", "127.0.0.1:PORT", "info", "--watch", "1"}, 2, "", ""},
    };
    for (const TCase& c : cases) {
        TSessionLog log;
        std::optional<TScriptedPeer> peer;
        peer.emplace(Serve(log));
        std::vector<std::string> args;
        std::string shown;
        for (std::string a : c.Args) {
            if (const auto at = a.find("PORT"); at != std::string::npos)
                a.replace(at, 4, std::to_string(peer->Port()));
            shown += " '" + a + "'";
            args.push_back(a);
        }
        SCOPED_TRACE(shown);
        TChild child(kAdmin, args);
        EXPECT_EQ(child.Wait(), "exit " + std::to_string(c.Exit));
        if (c.Message.empty() && c.Exit == 0)
            EXPECT_EQ(child.Err(), "");
        else if (c.Message.empty())
            EXPECT_NE(child.Err(), "");
        else
            EXPECT_EQ(FirstLine(child.Err()).substr(0, c.Message.size()), c.Message);
        if (c.Exit != 0) {
            peer.reset();
            EXPECT_FALSE(log.Connected)
                << "a command that failed before connecting reached the server";
            continue;
        }
        peer->Join();
        ASSERT_EQ(log.Codes(), (std::vector<std::uint16_t>{20, 18, 1, 369, 19}));
        EXPECT_EQ(log.Requests[3].Param, 7u);
        const Bytes& request = log.Packets[3];
        EXPECT_EQ(std::string(request.begin() + 27, request.begin() + 27 + request[26]),
                  c.DeletedName);
    }
}

} // namespace
