// zephran-exporter end to end: the program itself, scraped over HTTP, probing the reference
// server and peers that misbehave.

#include "Processes.h"
#include "TempFolder.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

using nlohmann::json;

namespace {

const std::string kBin = ZEPHRAN_BIN_DIR;
const std::string kExporter = kBin + "/zephran-exporter";
const std::string kServer = kBin + "/zephran-testserver";
const std::string kDemoFixture = std::string(ZEPHRAN_SOURCE_DIR) + "/peers/fixtures/demo.json";

// The samples of an exposition text: "name{labels}" to value.
std::map<std::string, std::string> Samples(const std::string& text) {
    std::map<std::string, std::string> samples;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#')
            continue;
        const auto space = line.rfind(' ');
        samples[line.substr(0, space)] = line.substr(space + 1);
    }
    return samples;
}

// The exporter as a process of the test's own, its standard error kept in a file.
class TExporterProcess {
public:
    // `launcher`: a program and its arguments that run the exporter in turn.
    TExporterProcess(const std::string& credentialsPath, const std::string& logPath,
                     std::vector<std::string> extra = {}, const std::string& tmpdir = "",
                     std::vector<std::string> launcher = {}) {
        std::vector<std::string> args = std::move(launcher);
        for (const std::string& a : {kExporter, std::string("--listen"), std::string("127.0.0.1:0"),
                                     std::string("--credentials"), credentialsPath})
            args.push_back(a);
        args.insert(args.end(), extra.begin(), extra.end());
        int out[2];
        if (::pipe(out) != 0)
            return;
        pid_ = ::fork();
        if (pid_ == 0) {
            if (!tmpdir.empty())
                ::setenv("TMPDIR", tmpdir.c_str(), 1);
            ::dup2(out[1], STDOUT_FILENO);
            const int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ::dup2(log, STDERR_FILENO);
            ::close(out[0]);
            ::close(out[1]);
            std::vector<char*> argv;
            for (std::string& a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execvp(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(out[1]);
        std::string line;
        char c;
        pollfd p{out[0], POLLIN, 0};
        while (line.size() < 200 && ::poll(&p, 1, 10000) > 0 && ::read(out[0], &c, 1) == 1 &&
               c != '\n')
            line.push_back(c);
        ::close(out[0]);
        if (line.rfind("listening on 127.0.0.1:", 0) == 0)
            port_ = std::atoi(line.c_str() + line.rfind(':') + 1);
    }
    ~TExporterProcess() { Stop(); }
    void Stop() {
        if (pid_ <= 0)
            return;
        ::kill(pid_, SIGTERM);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
    }
    // Stops it and whether it ended within `seconds` (a bound on a hang); killed when not.
    bool StopWithin(int seconds) {
        if (pid_ <= 0)
            return true;
        ::kill(pid_, SIGTERM);
        int status = 0;
        for (int i = 0; i < seconds * 50; ++i) {
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return false;
    }
    int Port() const { return port_; }
    int Pid() const { return pid_; }

private:
    int pid_ = -1;
    int port_ = 0;
};

struct TAnswer {
    int Status = 0;
    std::string Body;
};

TAnswer Get(int port, const std::string& path, const std::string& scrapeTimeout = "") {
    httplib::Client client("127.0.0.1", port);
    client.set_read_timeout(60, 0); // a bound on a hang, not a measure
    httplib::Headers headers;
    if (!scrapeTimeout.empty())
        headers.emplace("X-Prometheus-Scrape-Timeout-Seconds", scrapeTimeout);
    const auto result = client.Get(path, headers);
    if (!result)
        return {};
    return {result->status, result->body};
}

// A server that takes connections and never says a word; it notices when one is closed.
class TSilentServer {
public:
    TSilentServer() {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        ::listen(fd_, 64);
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this] {
            while (!stop_) {
                pollfd p{fd_, POLLIN, 0};
                if (::poll(&p, 1, 50) <= 0)
                    continue;
                const int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
                if (c >= 0) {
                    std::lock_guard lock(mutex_);
                    accepted_.push_back(c);
                }
            }
        });
    }
    ~TSilentServer() {
        stop_ = true;
        thread_.join();
        ::close(fd_);
        for (int c : accepted_)
            ::close(c);
    }
    int Port() const { return port_; }
    std::size_t Accepted() {
        std::lock_guard lock(mutex_);
        return accepted_.size();
    }
    // Whether every connection taken was closed by the other side (waiting a bounded while).
    bool AllClosedByPeer() {
        std::lock_guard lock(mutex_);
        for (int c : accepted_) {
            pollfd p{c, POLLIN, 0};
            if (::poll(&p, 1, 10000) <= 0)
                return false;
            char byte;
            if (::recv(c, &byte, 1, 0) != 0)
                return false;
        }
        return true;
    }

private:
    int fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mutex_;
    std::vector<int> accepted_;
};

// A loopback port that nothing listens on.
int DeadPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    ::close(fd);
    return ntohs(addr.sin_port);
}

// The processes whose parent is `pid`.
std::vector<int> ChildrenOf(int pid) {
    std::vector<int> children;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::ifstream stat(entry.path() / "stat");
        std::string line;
        std::getline(stat, line);
        const auto close = line.rfind(')');
        if (close == std::string::npos)
            continue;
        std::istringstream rest(line.substr(close + 2));
        char state;
        int parent = 0;
        rest >> state >> parent;
        if (parent == pid)
            children.push_back(std::stoi(name));
    }
    return children;
}

// Whether `condition` holds, now or within a bounded wait: a probe's process is waited for and
// its folder removed just after its answer is sent.
bool Eventually(const std::function<bool()>& condition) {
    for (int i = 0; i < 500; ++i) {
        if (condition())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return condition();
}

// The names of everything under `folder`.
std::vector<std::string> Contents(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder))
        names.push_back(entry.path().filename());
    return names;
}

std::string FileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class ExporterEndToEnd : public ::testing::Test {
protected:
    // The credentials file: `lines` as given, private to its owner.
    std::string Credentials(const std::string& lines) {
        const std::string path = folder_.Path() + "credentials";
        std::ofstream(path) << lines;
        ::chmod(path.c_str(), 0600);
        return path;
    }
    std::string Fixture(const json& fixture) {
        const std::string path = folder_.Path() + "fixture" + std::to_string(++fixtures_) + ".json";
        std::ofstream(path) << fixture.dump();
        return path;
    }
    std::string LogPath() const { return folder_.Path() + "exporter.log"; }

    TTempFolder folder_;
    int fixtures_ = 0;
};

std::string Target(int port) {
    return "127.0.0.1:" + std::to_string(port);
}

TEST_F(ExporterEndToEnd, DemoServerGivesEveryMetric) {
    TPeerProcess server(kServer, {"--fixture", kDemoFixture});
    ASSERT_TRUE(server.Running());
    TExporterProcess exporter(Credentials("*\tadmin\n"), LogPath());
    ASSERT_GT(exporter.Port(), 0);

    const TAnswer answer =
        Get(exporter.Port(), "/probe?target=" + Target(server.Port()) + "&collect=connections");
    ASSERT_EQ(answer.Status, 200);
    auto samples = Samples(answer.Body);
    samples.erase("zephran_probe_duration_seconds");
    const std::map<std::string, std::string> expected = {
        {"zephran_up", "1"},
        {"zephran_probe_timeout_seconds", "10"},
        {"zephran_server_info{centre=\"کتابخانه مرکزي\",name=\"CENTRAL-LIB\"}", "1"},
        {"zephran_requests_total{kind=\"non_queued_db\"}", "1843221"},
        {"zephran_requests_total{kind=\"queued_db\"}", "20417"},
        {"zephran_requests_total{kind=\"non_db\"}", "96512"},
        {"zephran_requests_total{kind=\"version_mismatched\"}", "12"},
        {"zephran_connected_clients", "24"},
        {"zephran_databases_defined{level=\"parent\"}", "2"},
        {"zephran_databases_defined{level=\"child\"}", "8"},
        {"zephran_databases_defined{level=\"all\"}", "10"},
        {"zephran_databases_open{level=\"parent\"}", "2"},
        {"zephran_databases_open{level=\"child\"}", "6"},
        {"zephran_databases_open{level=\"all\"}", "8"},
        {"zephran_results{kind=\"General Purpose\"}", "9"},
        {"zephran_results{kind=\"Format Module\"}", "5"},
        {"zephran_results{kind=\"Database Record\"}", "8"},
        {"zephran_results{kind=\"Oriented Data\"}", "12"},
        {"zephran_results{kind=\"Brief Screen Data\"}", "8"},
        {"zephran_results{kind=\"Search Result\"}", "22"},
        {"zephran_results{kind=\"Append Record\"}", "9"},
        {"zephran_results{kind=\"Set Record\"}", "8"},
        {"zephran_results{kind=\"Key Data\"}", "7"},
        {"zephran_results{kind=\"Edit Record\"}", "11"},
        {"zephran_results{kind=\"Convert Database\"}", "0"},
        {"zephran_results{kind=\"Convert Definition\"}", "0"},
        {"zephran_results{kind=\"Multi-DB Search Result\"}", "6"},
        {"zephran_results{kind=\"Index Result\"}", "7"},
        {"zephran_connections{kind=\"local\"}", "24"},
        {"zephran_connections{kind=\"web\"}", "6"},
        {"zephran_connection_results{kind=\"General Purpose\"}", "9"},
        {"zephran_connection_results{kind=\"Format Module\"}", "5"},
        {"zephran_connection_results{kind=\"Database Record\"}", "8"},
        {"zephran_connection_results{kind=\"Oriented Data\"}", "12"},
        {"zephran_connection_results{kind=\"Brief Screen Data\"}", "8"},
        {"zephran_connection_results{kind=\"Search Result\"}", "22"},
        {"zephran_connection_results{kind=\"Append Record\"}", "9"},
        {"zephran_connection_results{kind=\"Set Record\"}", "8"},
        {"zephran_connection_results{kind=\"Key Data\"}", "7"},
        {"zephran_connection_results{kind=\"Edit Record\"}", "11"},
        {"zephran_connection_results{kind=\"Convert Database\"}", "0"},
        {"zephran_connection_results{kind=\"Convert Definition\"}", "0"},
        {"zephran_connection_results{kind=\"Multi-DB Search Result\"}", "6"},
        {"zephran_connection_results{kind=\"Index Result\"}", "7"},
        {"zephran_connection_results{kind=\"Unknown\"}", "0"},
    };
    EXPECT_EQ(samples, expected);
    // Every family says what it is.
    for (const char* family :
         {"zephran_up", "zephran_probe_duration_seconds", "zephran_probe_timeout_seconds",
          "zephran_server_info", "zephran_requests_total", "zephran_connected_clients",
          "zephran_databases_defined", "zephran_databases_open", "zephran_results",
          "zephran_connections", "zephran_connection_results"}) {
        EXPECT_NE(answer.Body.find(std::string("# HELP ") + family + " "), std::string::npos)
            << family;
        EXPECT_NE(answer.Body.find(std::string("# TYPE ") + family + " "), std::string::npos)
            << family;
    }

    // Without collect=connections the lists are not read.
    const auto plain = Samples(Get(exporter.Port(), "/probe?target=" + Target(server.Port())).Body);
    EXPECT_EQ(plain.at("zephran_up"), "1");
    EXPECT_EQ(plain.count("zephran_connections{kind=\"local\"}"), 0u);

    // The exporter's own metrics count the probes.
    const auto own = Samples(Get(exporter.Port(), "/metrics").Body);
    EXPECT_EQ(own.at("zephran_exporter_probes_total"), "2");
    EXPECT_EQ(own.at("zephran_exporter_probe_failures_total"), "0");
    EXPECT_EQ(own.at("zephran_exporter_probe_duration_seconds_count"), "2");
}

TEST_F(ExporterEndToEnd, FailuresGiveUpZeroWithTheEnglishText) {
    TPeerProcess refusing(kServer, {"--fixture", kDemoFixture});
    json erring = json::parse(FileText(kDemoFixture));
    erring["behaviour"] = {{"server_errors", {{{"code", 373}, {"error", 24}}}}};
    TPeerProcess failing(kServer, {"--fixture", Fixture(erring)});
    TSilentServer silent;
    ASSERT_TRUE(refusing.Running() && failing.Running());
    const int dead = DeadPort();
    const std::string tmp = folder_.Path() + "tmp";
    std::filesystem::create_directory(tmp);
    TExporterProcess exporter(Credentials(Target(refusing.Port()) + "\twrong-password\n*\tadmin\n"),
                              LogPath(), {"--english"}, tmp);
    ASSERT_GT(exporter.Port(), 0);

    const struct {
        std::string Target;
        std::string Message;
    } cases[] = {
        {Target(refusing.Port()), "Could not login to this server. Check administrator password."},
        {Target(failing.Port()), "Server Error Number 24"},
        {Target(dead), "Could not connect to this server."},
        {Target(silent.Port()), "The server did not answer within 0.75 seconds."},
        {"127.0.0.1:0", "The target's port is not a number from 1 to 65535."},
        {"999.1.1.1", "The target must be HOST[:PORT], with an IPv4 address or a host name."},
        // A number in a form the resolver would take for 127.0.0.1 is refused, not probed.
        {"0x7f000001", "The target must be HOST[:PORT], with an IPv4 address or a host name."},
    };
    for (const auto& c : cases) {
        const TAnswer answer = Get(exporter.Port(), "/probe?target=" + c.Target, "1");
        ASSERT_EQ(answer.Status, 200) << c.Target;
        const auto samples = Samples(answer.Body);
        EXPECT_EQ(samples.at("zephran_up"), "0") << c.Target;
        EXPECT_EQ(samples.count("zephran_requests_total{kind=\"non_db\"}"), 0u);
        std::string label;
        for (const auto& [key, value] : samples)
            if (key.rfind("zephran_probe_error_info{message=\"", 0) == 0)
                label = key;
        EXPECT_NE(label.find(c.Message), std::string::npos) << c.Target << ": " << label;
        // The log names the target and says the same.
        EXPECT_NE(FileText(LogPath()).find("probe of " + c.Target + " failed: " + c.Message),
                  std::string::npos)
            << FileText(LogPath());
    }
    // The silent server's connection was closed when its probe gave up, and no probe process
    // is left behind.
    EXPECT_EQ(silent.Accepted(), 1u);
    EXPECT_TRUE(silent.AllClosedByPeer());
    EXPECT_TRUE(Eventually([&] { return ChildrenOf(exporter.Pid()).empty(); }));
    // Each probe's work folder went with it, the killed one's too; the exporter's goes with it.
    EXPECT_TRUE(Eventually([&] { return Contents(tmp).size() == 1; }))
        << ::testing::PrintToString(Contents(tmp));
    EXPECT_EQ(Contents(tmp).at(0).rfind("zephran-exporter.", 0), 0u);
    exporter.Stop();
    EXPECT_TRUE(std::filesystem::is_empty(tmp));
}

TEST_F(ExporterEndToEnd, LogIsInFarsiUnlessEnglishIsAsked) {
    json erring = json::parse(FileText(kDemoFixture));
    erring["behaviour"] = {{"server_errors", {{{"code", 373}, {"error", 24}}}}};
    TPeerProcess failing(kServer, {"--fixture", Fixture(erring)});
    ASSERT_TRUE(failing.Running());
    for (const bool english : {false, true}) {
        const std::string log = LogPath() + (english ? ".en" : ".fa");
        TExporterProcess exporter(Credentials("*\tadmin\n"), log,
                                  english ? std::vector<std::string>{"--english"}
                                          : std::vector<std::string>{});
        const auto samples =
            Samples(Get(exporter.Port(), "/probe?target=" + Target(failing.Port())).Body);
        EXPECT_EQ(samples.at("zephran_up"), "0");
        const std::string text = FileText(log);
        EXPECT_EQ(text.find("Server Error Number 24") != std::string::npos, english) << text;
        EXPECT_EQ(text.find("خطاي شماره24") != std::string::npos, !english) << text;
    }
}

TEST_F(ExporterEndToEnd, BadRequestsAreRefused) {
    TExporterProcess exporter(Credentials("*\tadmin\n"), LogPath());
    ASSERT_GT(exporter.Port(), 0);
    for (const char* path : {"/probe", "/probe?target=", "/probe?target=a%20b",
                             "/probe?target=a%0Ab", "/probe?target=127.0.0.1&collect=everything"})
        EXPECT_EQ(Get(exporter.Port(), path).Status, 400) << path;
    EXPECT_EQ(Get(exporter.Port(), "/probe?target=" + std::string(400, 'a')).Status, 400);
    // Too long to be read whole is no better than any other wrong value.
    EXPECT_EQ(
        Get(exporter.Port(), "/probe?target=127.0.0.1&collect=connections" + std::string(40, 'x'))
            .Status,
        400);
    EXPECT_EQ(
        Samples(Get(exporter.Port(), "/metrics").Body).at("zephran_exporter_bad_requests_total"),
        "7");
}

TEST_F(ExporterEndToEnd, TargetWithoutPasswordIsDownWithoutAProbe) {
    TSilentServer server;
    TExporterProcess exporter(Credentials("127.0.0.1:1\tx\n"), LogPath());
    const auto samples =
        Samples(Get(exporter.Port(), "/probe?target=" + Target(server.Port())).Body);
    EXPECT_EQ(samples.at("zephran_up"), "0");
    EXPECT_EQ(samples.count("zephran_probe_error_info{message=\"The credentials file has no "
                            "password for this target.\"}"),
              1u);
    EXPECT_EQ(server.Accepted(), 0u);
}

TEST_F(ExporterEndToEnd, OutputPassesPromtool) {
    if (std::system("command -v promtool > /dev/null 2>&1") != 0)
        GTEST_SKIP() << "promtool is not installed";
    TPeerProcess server(kServer, {"--fixture", kDemoFixture});
    TExporterProcess exporter(Credentials("*\tadmin\n"), LogPath());
    ASSERT_GT(exporter.Port(), 0);
    const std::string up = "/probe?target=" + Target(server.Port()) + "&collect=connections";
    const std::string down = "/probe?target=" + Target(DeadPort());
    for (const std::string& path : {up, down, std::string("/metrics")}) {
        const std::string file = folder_.Path() + "scrape.txt";
        std::ofstream(file) << Get(exporter.Port(), path).Body;
        const std::string command =
            "promtool check metrics < " + file + " > " + folder_.Path() + "promtool.txt 2>&1";
        EXPECT_EQ(std::system(command.c_str()), 0) << path << "\n"
                                                   << FileText(folder_.Path() + "promtool.txt");
    }
}

TEST_F(ExporterEndToEnd, SilentServersDoNotHoldUpTheOthers) {
    TPeerProcess server(kServer, {"--fixture", kDemoFixture});
    ASSERT_TRUE(server.Running());
    std::vector<std::unique_ptr<TSilentServer>> silent;
    for (int i = 0; i < 5; ++i)
        silent.push_back(std::make_unique<TSilentServer>());
    TExporterProcess exporter(Credentials("*\tadmin\n"), LogPath());
    ASSERT_GT(exporter.Port(), 0);

    // 20 scrapes at once, 5 of them of servers that never answer. Each live answer must come
    // before any silent one gives up: probes run side by side, not one after another.
    std::atomic<int> finished{0};
    struct TOutcome {
        bool Live = false;
        std::string Up;
        int Order = -1;
    };
    std::vector<TOutcome> outcomes(20);
    std::vector<std::thread> scrapes;
    for (int i = 0; i < 20; ++i) {
        const bool live = i % 4 != 0;
        const int port = live ? server.Port() : silent[static_cast<std::size_t>(i / 4)]->Port();
        outcomes[static_cast<std::size_t>(i)].Live = live;
        scrapes.emplace_back([&, i, port] {
            const TAnswer answer = Get(exporter.Port(), "/probe?target=" + Target(port), "10");
            TOutcome& o = outcomes[static_cast<std::size_t>(i)];
            o.Up = Samples(answer.Body)["zephran_up"];
            o.Order = finished++;
        });
    }
    for (std::thread& t : scrapes)
        t.join();
    int lastLive = -1, firstSilent = 20;
    for (const TOutcome& o : outcomes) {
        EXPECT_EQ(o.Up, o.Live ? "1" : "0");
        if (o.Live)
            lastLive = std::max(lastLive, o.Order);
        else
            firstSilent = std::min(firstSilent, o.Order);
    }
    EXPECT_EQ(lastLive, 14);
    EXPECT_EQ(firstSilent, 15);
    for (auto& s : silent)
        EXPECT_TRUE(s->AllClosedByPeer());
    EXPECT_TRUE(Eventually([&] { return ChildrenOf(exporter.Pid()).empty(); }));
}

// A container's entry point is process 1: its probes answer like any other's.
TEST_F(ExporterEndToEnd, ProbesRunWhenTheExporterIsProcessOne) {
    if (std::system("unshare --pid --fork --kill-child true > /dev/null 2>&1") != 0)
        GTEST_SKIP() << "no new process namespace can be made here";
    TPeerProcess server(kServer, {"--fixture", kDemoFixture});
    ASSERT_TRUE(server.Running());
    const std::string tmp = folder_.Path() + "tmp";
    std::filesystem::create_directory(tmp);
    TExporterProcess exporter(Credentials("*\tadmin\n"), LogPath(), {"--english"}, tmp,
                              {"unshare", "--pid", "--fork", "--kill-child"});
    ASSERT_GT(exporter.Port(), 0);
    auto samples = Samples(Get(exporter.Port(), "/probe?target=" + Target(server.Port())).Body);
    EXPECT_EQ(samples["zephran_up"], "1") << FileText(LogPath());
    // The stop signal reaches process 1 too, which takes it and ends (the launcher only waits).
    for (const int inner : ChildrenOf(exporter.Pid()))
        ::kill(inner, SIGTERM);
    EXPECT_TRUE(exporter.StopWithin(60));
    EXPECT_TRUE(std::filesystem::is_empty(tmp)) << ::testing::PrintToString(Contents(tmp));
}

// However long the scrape says it waits, --timeout is the longest a probe takes.
TEST_F(ExporterEndToEnd, ScrapeCannotAskForMoreThanTheTimeout) {
    TSilentServer silent;
    TExporterProcess exporter(Credentials("*\tadmin\n"), LogPath(),
                              {"--english", "--timeout", "1"});
    ASSERT_GT(exporter.Port(), 0);
    auto samples =
        Samples(Get(exporter.Port(), "/probe?target=" + Target(silent.Port()), "600").Body);
    EXPECT_EQ(samples["zephran_up"], "0");
    EXPECT_EQ(samples["zephran_probe_timeout_seconds"], "1");
    EXPECT_EQ(samples.count("zephran_probe_error_info{message=\"The server did not answer "
                            "within 0.75 seconds.\"}"),
              1u);
    EXPECT_TRUE(silent.AllClosedByPeer());
}

// A probe takes the stop signals as any program does: it ends, and its scrape says so at once.
TEST_F(ExporterEndToEnd, ProbesEndOnTheStopSignals) {
    TSilentServer silent;
    TExporterProcess exporter(Credentials("*\tadmin\n"), LogPath(),
                              {"--english", "--timeout", "120"});
    ASSERT_GT(exporter.Port(), 0);
    for (const int signal : {SIGTERM, SIGINT}) {
        TAnswer answer;
        std::thread scrape([&] {
            answer = Get(exporter.Port(), "/probe?target=" + Target(silent.Port()), "120");
        });
        std::vector<int> probes;
        EXPECT_TRUE(Eventually([&] {
            probes = ChildrenOf(exporter.Pid());
            return probes.size() == 1;
        }));
        for (const int probe : probes)
            ::kill(probe, signal);
        scrape.join();
        auto samples = Samples(answer.Body);
        EXPECT_EQ(samples["zephran_up"], "0") << signal;
        EXPECT_EQ(samples.count("zephran_probe_error_info{message=\"The probe ended without an "
                                "answer.\"}"),
                  1u)
            << signal << ": " << answer.Body;
    }
}

// Stopping the exporter ends the probes in flight rather than waiting for them, and cleans up
// after them as after any probe.
TEST_F(ExporterEndToEnd, StoppingEndsTheProbesInFlight) {
    TSilentServer silent;
    const std::string tmp = folder_.Path() + "tmp";
    std::filesystem::create_directory(tmp);
    TExporterProcess exporter(Credentials("*\tadmin\n"), LogPath(), {"--timeout", "120"}, tmp);
    ASSERT_GT(exporter.Port(), 0);
    std::vector<std::thread> scrapes;
    for (int i = 0; i < 3; ++i)
        scrapes.emplace_back(
            [&] { Get(exporter.Port(), "/probe?target=" + Target(silent.Port()), "120"); });
    std::vector<int> probes;
    EXPECT_TRUE(Eventually([&] {
        probes = ChildrenOf(exporter.Pid());
        return probes.size() == 3 && silent.Accepted() == 3;
    }));
    EXPECT_TRUE(exporter.StopWithin(30));
    for (std::thread& t : scrapes)
        t.join();
    for (const int probe : probes)
        EXPECT_TRUE(Eventually([&] {
            return !std::filesystem::exists("/proc/" + std::to_string(probe));
        })) << probe;
    EXPECT_TRUE(silent.AllClosedByPeer());
    EXPECT_TRUE(std::filesystem::is_empty(tmp)) << ::testing::PrintToString(Contents(tmp));
}

TEST_F(ExporterEndToEnd, FallbackPasswordServedBeyondLoopbackIsWarnedOf) {
    const std::string warning = "anyone who reaches the port can make the exporter log in with "
                                "that password to a host they name";
    // An address of the documentation range, not this machine's: the exporter warns, then
    // cannot listen there, which is all this needs.
    const struct {
        const char* Lines;
        bool Warned;
    } cases[] = {{"*\tadmin\n", true}, {"127.0.0.1:1\tx\nlib2\ty\n", false}};
    for (const auto& c : cases) {
        const TCommandResult run = RunCommand(
            kExporter, {"--listen", "192.0.2.1:0", "--credentials", Credentials(c.Lines)}, {}, 20);
        EXPECT_EQ(run.ExitCode, 1);
        EXPECT_EQ(run.Err.find("zephran-exporter: warning: the credentials file has a \"*\" "
                               "line and --listen 192.0.2.1:0 is not a loopback address: " +
                               warning + ". One line per target avoids it.\n") != std::string::npos,
                  c.Warned)
            << run.Err;
    }
    TExporterProcess loopback(Credentials("*\tadmin\n"), LogPath());
    ASSERT_GT(loopback.Port(), 0);
    EXPECT_EQ(FileText(LogPath()).find(warning), std::string::npos);
}

TEST_F(ExporterEndToEnd, PasswordAppearsNowhere) {
    const std::string password = "Pw-7f3a9c1e-unique";
    json fixture = json::parse(FileText(kDemoFixture));
    fixture["administrator_password"] = password;
    TPeerProcess server(kServer, {"--fixture", Fixture(fixture)});
    TSilentServer silent;
    TExporterProcess exporter(Credentials(Target(server.Port()) + "\t" + password + "\n" +
                                          Target(DeadPort()) + "\t" + password + "x\n*\t" +
                                          password + "y\n"),
                              LogPath());
    ASSERT_GT(exporter.Port(), 0);

    // While the probe of the silent server runs, its process is there to be looked at: neither
    // its command line nor its environment holds the password.
    std::thread slow([&] { Get(exporter.Port(), "/probe?target=" + Target(silent.Port()), "4"); });
    std::vector<int> children;
    for (int i = 0; i < 200 && (children.empty() || silent.Accepted() == 0); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        children = ChildrenOf(exporter.Pid());
    }
    ASSERT_FALSE(children.empty());
    for (int pid : children)
        for (const char* what : {"cmdline", "environ"}) {
            const std::string text =
                FileText("/proc/" + std::to_string(pid) + "/" + std::string(what));
            EXPECT_FALSE(text.empty()) << what;
            EXPECT_EQ(text.find(password), std::string::npos) << what;
        }
    slow.join();

    std::string answers;
    for (const std::string& target :
         {Target(server.Port()), Target(DeadPort()), std::string("127.0.0.1:1")})
        answers += Get(exporter.Port(), "/probe?target=" + target + "&collect=connections").Body;
    answers += Get(exporter.Port(), "/metrics").Body;
    EXPECT_NE(answers.find("zephran_up 1"), std::string::npos);
    EXPECT_NE(answers.find("zephran_up 0"), std::string::npos);
    EXPECT_EQ(answers.find(password), std::string::npos);
    EXPECT_EQ(FileText(LogPath()).find(password), std::string::npos);
}

// The names of the exporter's metrics that a text uses.
std::set<std::string> MetricNamesIn(const std::string& text) {
    std::set<std::string> names;
    const std::regex name("zephran_[a-z_]+");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), name);
         it != std::sregex_iterator(); ++it)
        names.insert(it->str());
    return names;
}

TEST_F(ExporterEndToEnd, MonitoringExamplesUseOnlyMetricsTheExporterGives) {
    TPeerProcess server(kServer, {"--fixture", kDemoFixture});
    TExporterProcess exporter(Credentials("*\tadmin\n"), LogPath());
    ASSERT_GT(exporter.Port(), 0);
    std::set<std::string> given;
    for (const std::string& path :
         {"/probe?target=" + Target(server.Port()) + "&collect=connections",
          "/probe?target=" + Target(DeadPort()), std::string("/metrics")})
        for (const auto& [sample, value] : Samples(Get(exporter.Port(), path).Body))
            given.insert(sample.substr(0, sample.find('{')));
    const std::string docs = std::string(ZEPHRAN_SOURCE_DIR) + "/docs/monitoring/";
    const json dashboard = json::parse(FileText(docs + "zephran-dashboard.json"));
    std::string queries;
    for (const json& panel : dashboard.at("panels"))
        if (panel.contains("targets"))
            for (const json& target : panel.at("targets"))
                queries += target.at("expr").get<std::string>() + "\n";
    EXPECT_FALSE(queries.empty());
    for (const std::string& file : {FileText(docs + "zephran-alerts.yml"), queries})
        for (const std::string& name : MetricNamesIn(file))
            EXPECT_EQ(given.count(name), 1u) << name;
}

TEST(ExporterStart, CredentialsOpenToOthersAreRefused) {
    TTempFolder folder;
    const std::string path = folder.Path() + "credentials";
    std::ofstream(path) << "*\tsecret-words\n";
    ::chmod(path.c_str(), 0644);
    const TCommandResult open =
        RunCommand(kExporter, {"--listen", "127.0.0.1:0", "--credentials", path}, {}, 20);
    EXPECT_EQ(open.ExitCode, 1);
    EXPECT_NE(open.Err.find("The credentials file " + path +
                            " holds passwords but others may read or write it"),
              std::string::npos)
        << open.Err;
    EXPECT_EQ(open.Err.find("secret-words"), std::string::npos);
    EXPECT_TRUE(open.Out.empty()); // it never listened

    const TCommandResult none = RunCommand(kExporter, {"--listen", "127.0.0.1:0"}, {}, 20);
    EXPECT_EQ(none.ExitCode, 2);
    EXPECT_NE(none.Err.find("--credentials FILE is needed"), std::string::npos) << none.Err;
    const TCommandResult badListen =
        RunCommand(kExporter, {"--listen", "localhost:1", "--credentials", path}, {}, 20);
    EXPECT_EQ(badListen.ExitCode, 2);

    // An address another exporter already holds.
    ::chmod(path.c_str(), 0600);
    TExporterProcess first(path, folder.Path() + "first.log");
    ASSERT_GT(first.Port(), 0);
    const TCommandResult taken =
        RunCommand(kExporter, {"--listen", Target(first.Port()), "--credentials", path}, {}, 20);
    EXPECT_EQ(taken.ExitCode, 1);
    EXPECT_NE(taken.Err.find("Cannot listen on " + Target(first.Port())), std::string::npos)
        << taken.Err;
}

TEST_F(ExporterEndToEnd, MovingCountersGrowBetweenScrapes) {
    json fixture = json::parse(FileText(kDemoFixture));
    // Fast enough to move between two scrapes however close; the version-mismatched counter
    // starts just below 2^32 and wraps as a real server's does.
    fixture["status"]["growth_per_minute"] = {{"non_queued_db_requests", 100000000},
                                              {"version_mismatched_requests", 0}};
    fixture["status"]["version_mismatched_requests"] = -1;
    TPeerProcess server(kServer, {"--fixture", Fixture(fixture)});
    TPeerProcess standing(kServer, {"--fixture", kDemoFixture});
    TPeerProcess moving(kServer, {"--fixture", kDemoFixture, "--moving-counters"});
    TExporterProcess exporter(Credentials("*\tadmin\n"), LogPath());
    ASSERT_GT(exporter.Port(), 0);
    const auto value = [&](int port, const std::string& kind) {
        return std::stod(Samples(Get(exporter.Port(), "/probe?target=" + Target(port)).Body)
                             .at("zephran_requests_total{kind=\"" + kind + "\"}"));
    };
    const double first = value(server.Port(), "non_queued_db");
    const double second = value(server.Port(), "non_queued_db");
    EXPECT_GT(first, 1843221);
    EXPECT_GT(second, first);
    EXPECT_EQ(value(server.Port(), "version_mismatched"), 4294967295.0);
    EXPECT_EQ(value(server.Port(), "queued_db"), 20417);
    EXPECT_EQ(value(standing.Port(), "non_queued_db"), 1843221);
    EXPECT_EQ(value(standing.Port(), "non_queued_db"), 1843221);
    // The switch's own pace grows too, from the fixture's values.
    EXPECT_GE(value(moving.Port(), "non_queued_db"), 1843221);
}

TEST_F(ExporterEndToEnd, CounterGrowthOfTheFixtureIsChecked) {
    const struct {
        json Growth;
        const char* Message;
    } cases[] = {
        {{{"non_queued_db_requests", -1}}, "status.growth_per_minute.non_queued_db_requests"},
        {{{"non_db_requests", 100000001}}, "status.growth_per_minute.non_db_requests"},
        {{{"queued_db_requests", "fast"}}, "status.growth_per_minute.queued_db_requests"},
        {{{"clients", 5}}, "status.growth_per_minute.clients"},
        {json::array(), "status.growth_per_minute"},
    };
    for (const auto& c : cases) {
        json fixture = json::parse(FileText(kDemoFixture));
        fixture["status"]["growth_per_minute"] = c.Growth;
        const TCommandResult run = RunCommand(kServer, {"--fixture", Fixture(fixture)}, {}, 20);
        EXPECT_EQ(run.ExitCode, 1) << c.Growth.dump();
        EXPECT_NE(run.Err.find(c.Message), std::string::npos) << run.Err;
    }
}

} // namespace
