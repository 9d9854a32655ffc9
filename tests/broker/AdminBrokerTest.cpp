// End to end: zephran-admin broker ... against zephran-testbroker on a free loopback port.

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <signal.h>
#include <sstream>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

namespace fs = std::filesystem;

const std::string kBin = ZEPHRAN_BIN_DIR;

struct TRun {
    int exit = -1;
    std::string out;
    std::string err;
};

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteFile(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

// A temporary folder that also serves as the programs' configuration home.
class TTempDir {
public:
    TTempDir() {
        std::string pattern = (fs::temp_directory_path() / "zephran-broker-XXXXXX").string();
        path_ = ::mkdtemp(pattern.data());
    }
    ~TTempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    const fs::path& Path() const { return path_; }

private:
    fs::path path_;
};

// The environment of a child: ours without a password or proxy, plus `extra`.
std::vector<std::string> ChildEnvironment(const fs::path& home,
                                          const std::vector<std::string>& extra) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        if (name == "ZEPHRAN_PASSWORD" || name == "XDG_CONFIG_HOME" || name == "HOME" ||
            name.find("proxy") != std::string::npos || name.find("PROXY") != std::string::npos)
            continue;
        env.push_back(entry);
    }
    env.push_back("HOME=" + home.string());
    env.push_back("XDG_CONFIG_HOME=" + (home / "config").string());
    env.insert(env.end(), extra.begin(), extra.end());
    return env;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
    std::vector<char*> p;
    for (std::string& s : strings)
        p.push_back(s.data());
    p.push_back(nullptr);
    return p;
}

// The reference broker as its own process, stopped when the object goes.
class TBrokerProcess {
public:
    TBrokerProcess(const fs::path& dir, const std::string& fixture) {
        const fs::path fixturePath = dir / "broker.json";
        WriteFile(fixturePath, fixture);
        std::vector<std::string> args = {kBin + "/zephran-testbroker", "--fixture",
                                         fixturePath.string(), "--port", "0"};
        args.push_back("--log-passwords"); // the tests compare whole bodies, passwords included
        auto argv = Pointers(args);
        int fds[2];
        if (::pipe(fds) != 0)
            return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
            ::dup2(fds[1], STDOUT_FILENO);
            ::close(fds[0]);
            ::close(fds[1]);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(fds[1]);
        std::string line;
        char c = 0;
        while (::read(fds[0], &c, 1) == 1 && c != '\n')
            line.push_back(c);
        ::close(fds[0]);
        const std::string prefix = "listening on 127.0.0.1:";
        if (line.rfind(prefix, 0) == 0)
            port_ = std::stoi(line.substr(prefix.size()));
    }
    ~TBrokerProcess() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            int status = 0;
            ::waitpid(pid_, &status, 0);
        }
    }
    int Port() const { return port_; }
    std::string URL() const { return "127.0.0.1:" + std::to_string(port_) + "/scripts"; }
    std::vector<std::string> Bodies() const {
        httplib::Client client("127.0.0.1", port_);
        std::vector<std::string> bodies;
        if (auto res = client.Get("/_test/requests"))
            for (const auto& r : nlohmann::json::parse(res->body))
                bodies.push_back(r.at("body").get<std::string>());
        return bodies;
    }

private:
    pid_t pid_ = -1;
    int port_ = 0;
};

// Runs zephran-admin; its standard output goes to `stdoutPath` when one is given (and is then
// not read back).
TRun RunAdmin(const fs::path& home, std::vector<std::string> args,
              const std::vector<std::string>& extraEnv = {}, const std::string& stdoutPath = {}) {
    args.insert(args.begin(), kBin + "/zephran-admin");
    auto argv = Pointers(args);
    std::vector<std::string> env = ChildEnvironment(home, extraEnv);
    auto envp = Pointers(env);
    const fs::path out = stdoutPath.empty() ? home / "stdout.txt" : fs::path(stdoutPath);
    const fs::path err = home / "stderr.txt";
    const std::string outPath = out.string();
    const std::string errPath = err.string();
    TRun run;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        const int in = ::open("/dev/null", O_RDONLY);
        const int o = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int e = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(in, STDIN_FILENO);
        ::dup2(o, STDOUT_FILENO);
        ::dup2(e, STDERR_FILENO);
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    run.exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (stdoutPath.empty())
        run.out = ReadFile(out);
    run.err = ReadFile(err);
    return run;
}

const std::string kFixture = R"({
  "id": 90210,
  "servers": [
    {"name": "CENTRAL", "center": "کتابخانه مرکزی", "password": "c&1"},
    {"name": "ARCHIVE", "center": "R&D Archive", "password": "a=2"}
  ],
  "sessions": [
    {"id": 7, "server": "CENTRAL", "user_id": 3, "user": "reza", "kind": 1, "latime": 37622.5,
     "resources": [{"db_id": 1, "db_name": "BOOKS", "app_id": 2, "app_handle": 3,
                    "edit_id": 4, "edit_handle": 5},
                   {"db_id": 2, "db_name": "MAPS"}]},
    {"id": 8, "server": "CENTRAL", "user_id": 0, "user": "guest", "latime": 37622},
    {"id": 9, "server": "ARCHIVE", "user_id": 5, "user": "sara", "kind": 2, "latime": 37623.75}
  ]
})";

class AdminBrokerTest : public ::testing::Test {
protected:
    AdminBrokerTest() : broker(dir.Path(), kFixture) {
        WriteFile(dir.Path() / "all.tsv", "CENTRAL\tc&1\r\nARCHIVE\ta=2\n\n");
        WriteFile(dir.Path() / "central.tsv", "CENTRAL\tc&1\n");
        WriteFile(dir.Path() / "password", "a=2\nsecond line\n");
    }
    TRun Admin(std::vector<std::string> args, const std::vector<std::string>& env = {}) {
        return RunAdmin(dir.Path(), std::move(args), env);
    }
    // Sets the reference broker's behaviours.
    void Behave(const char* behaviours) {
        httplib::Client client("127.0.0.1", broker.Port());
        auto res = client.Post("/_test/behaviours", behaviours, "application/json");
        ASSERT_TRUE(res);
        ASSERT_EQ(res->status, 200);
    }
    std::string ModuleURL() const {
        return "HTTP://127.0.0.1:" + std::to_string(broker.Port()) + "/SCRIPTS/ZephWebMain.DLL";
    }
    std::string Tsv(const char* name) const { return (dir.Path() / name).string(); }

    TTempDir dir;
    TBrokerProcess broker;
};

TEST_F(AdminBrokerTest, Servers) {
    ASSERT_GT(broker.Port(), 0);
    std::string padded = " ";
    padded.append(broker.URL()).append(" ");
    const TRun text = Admin({"broker", "servers", "--url", padded});
    EXPECT_EQ(text.exit, 0) << text.err;
    EXPECT_NE(text.out.find("CENTRAL  کتابخانه مرکزی"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("ARCHIVE  R&D Archive"), std::string::npos) << text.out;
    EXPECT_EQ(text.err, "");

    // Options before the command, JSON output.
    const TRun json = Admin({"--json", "--url", broker.URL(), "broker", "servers"});
    ASSERT_EQ(json.exit, 0) << json.err;
    const auto doc = nlohmann::json::parse(json.out);
    EXPECT_EQ(doc["module_url"],
              "HTTP://127.0.0.1:" + std::to_string(broker.Port()) + "/SCRIPTS/ZephWebMain.DLL");
    ASSERT_EQ(doc["servers"].size(), 2u);
    EXPECT_EQ(doc["servers"][0]["name"], "CENTRAL");
    EXPECT_EQ(doc["servers"][0]["center_name"], "کتابخانه مرکزی");
    EXPECT_EQ(doc["servers"][1]["center_name"], "R&D Archive");
}

TEST_F(AdminBrokerTest, CheckPasswords) {
    const TRun ok = Admin(
        {"broker", "check", "--url", broker.URL(), "--json", "--credentials", Tsv("all.tsv")});
    EXPECT_EQ(ok.exit, 0) << ok.err;
    const auto doc = nlohmann::json::parse(ok.out);
    EXPECT_EQ(doc["results"], nlohmann::json::parse(R"([{"server":"CENTRAL","valid":true},
                                                        {"server":"ARCHIVE","valid":true}])"));

    // --server takes the administrator password: file, then environment.
    const TRun file = Admin({"broker", "check", "--url", broker.URL(), "--server", "ARCHIVE",
                             "--server", "CENTRAL", "--password-file", Tsv("password")});
    EXPECT_EQ(file.exit, 1);
    EXPECT_NE(file.out.find("ARCHIVE  valid"), std::string::npos) << file.out;
    EXPECT_NE(file.out.find("CENTRAL  invalid"), std::string::npos) << file.out;
    EXPECT_EQ(file.out.find("a=2"), std::string::npos);
    EXPECT_EQ(file.err.find("a=2"), std::string::npos);

    const TRun env = Admin({"broker", "check", "--url", broker.URL(), "--server", "CENTRAL"},
                           {"ZEPHRAN_PASSWORD=c&1"});
    EXPECT_EQ(env.exit, 0) << env.out << env.err;
    // No source at all and no terminal: the empty password.
    const TRun none = Admin({"broker", "check", "--url", broker.URL(), "--server", "CENTRAL"});
    EXPECT_EQ(none.exit, 1);

    const auto bodies = broker.Bodies();
    ASSERT_FALSE(bodies.empty());
    EXPECT_EQ(bodies.front(),
              "_CLTVER=600&_RQ=CheckPassword&_SNAME=CENTRAL&_UNAME=administrator&_PASSWORD=c&1");
}

TEST_F(AdminBrokerTest, SessionsAndLogout) {
    const TRun run = Admin(
        {"--json", "broker", "sessions", "--url", broker.URL(), "--credentials", Tsv("all.tsv")});
    ASSERT_EQ(run.exit, 0) << run.err;
    const auto doc = nlohmann::json::parse(run.out);
    ASSERT_EQ(doc["sessions"].size(), 3u);
    const auto& s = doc["sessions"][0];
    EXPECT_EQ(s["session_id"], 7);
    EXPECT_EQ(s["server_idx"], 1);
    EXPECT_EQ(s["server_name"], "CENTRAL");
    EXPECT_EQ(s["center_name"], "کتابخانه مرکزی");
    EXPECT_EQ(s["user_id"], 3);
    EXPECT_EQ(s["user_name"], "reza");
    EXPECT_EQ(s["kind"], 1);
    EXPECT_EQ(s["kind_text"], "Edit");
    EXPECT_EQ(s["last_access"], 37622.5);
    EXPECT_EQ(s["last_access_text"], "2003/01/01 12:00:00");
    ASSERT_EQ(s["resources"].size(), 2u);
    EXPECT_EQ(s["resources"][0], nlohmann::json::parse(R"({"db_id":1,"db_name":"BOOKS",
        "app_file_id":2,"app_file_handle":3,"edit_file_id":4,"edit_file_handle":5})"));
    EXPECT_EQ(s["resources"][1]["db_name"], "MAPS");
    EXPECT_EQ(doc["sessions"][1]["kind_text"], "Search");
    EXPECT_EQ(doc["sessions"][1]["last_access_text"], "2003/01/01");
    EXPECT_EQ(doc["sessions"][2]["kind_text"], "Unknown");

    const TRun text =
        Admin({"broker", "sessions", "--url", broker.URL(), "--credentials", Tsv("central.tsv")});
    ASSERT_EQ(text.exit, 0) << text.err;
    EXPECT_NE(text.out.find("Number of Sessions: 2"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("CENTRAL/reza"), std::string::npos);

    const TRun logout = Admin({"broker", "logout", "--url", broker.URL(), "--session-id", "7",
                               "--user-id", "3", "--server", "CENTRAL", "--user", "reza"});
    EXPECT_EQ(logout.exit, 0) << logout.err;
    EXPECT_EQ(broker.Bodies().back(),
              "_CLTVER=600&_RQ=Logout&_SESSIONID=7&_UID=3&_SNAME=CENTRAL&_UNAME=reza");
    const TRun again = Admin({"broker", "logout", "--url", broker.URL(), "--session-id", "7",
                              "--user-id", "3", "--server", "CENTRAL", "--user", "reza"});
    EXPECT_EQ(again.exit, 1);
    EXPECT_EQ(again.err, "Error Number 12\nSession not found.\n");

    const TRun after = Admin(
        {"--json", "broker", "sessions", "--url", broker.URL(), "--credentials", Tsv("all.tsv")});
    ASSERT_EQ(after.exit, 0);
    EXPECT_EQ(nlohmann::json::parse(after.out)["sessions"].size(), 2u);

    const TRun wrong = Admin({"broker", "sessions", "--url", broker.URL(), "--server", "CENTRAL"},
                             {"ZEPHRAN_PASSWORD=bad"});
    EXPECT_EQ(wrong.exit, 1);
    EXPECT_EQ(wrong.err, "Error Number 10\nInvalid password for server CENTRAL.\n");
}

TEST_F(AdminBrokerTest, Reload) {
    const TRun ok =
        Admin({"broker", "reload", "--url", broker.URL(), "--credentials", Tsv("all.tsv")});
    EXPECT_EQ(ok.exit, 0) << ok.err;
    EXPECT_EQ(ok.err, "HTTP broker reloaded successfully.\n");

    const TRun missing =
        Admin({"broker", "reload", "--url", broker.URL(), "--credentials", Tsv("central.tsv")});
    EXPECT_EQ(missing.exit, 1);
    EXPECT_EQ(missing.err,
              "You have to enter passwords of all servers before reloading the broker.\n");

    std::string swapped = "10,3,17,24,0,7,14,21,28,4,11,18,25,1,8,15,22,29,5,12,19,26,2,9,16,23,"
                          "30,6,13,20,27";
    const TRun other = Admin({"broker", "reload", "--url", broker.URL(), "--credentials",
                              Tsv("all.tsv"), "--id-permutation", swapped});
    EXPECT_EQ(other.exit, 1);
    EXPECT_EQ(other.err, "Error Number 13\nInvalid reload id.\nCould not reload broker.\n");

    // The configured table is used when no option overrides it.
    fs::create_directories(dir.Path() / "config" / "Tarv");
    WriteFile(dir.Path() / "config" / "Tarv" / "Zephran.conf",
              "[Console]\nIdPermutation=\"" + swapped + "\"\n");
    const TRun configured =
        Admin({"broker", "reload", "--url", broker.URL(), "--credentials", Tsv("all.tsv")});
    EXPECT_EQ(configured.exit, 1);
    EXPECT_NE(configured.err.find("Could not reload broker."), std::string::npos);
}

TEST_F(AdminBrokerTest, ReloadWithAConfiguredTableTheBrokerShares) {
    TTempDir other;
    const std::string table =
        "30,29,28,27,26,25,24,23,22,21,20,19,18,17,16,15,14,13,12,11,10,9,8,7,6,5,4,3,2,1,0";
    nlohmann::json f = nlohmann::json::parse(kFixture);
    f["id_permutation"] = nlohmann::json::parse("[" + table + "]");
    TBrokerProcess shared(other.Path(), f.dump());
    fs::create_directories(dir.Path() / "config" / "Tarv");
    WriteFile(dir.Path() / "config" / "Tarv" / "Zephran.conf",
              "[Console]\nIdPermutation=\"" + table + "\"\n");
    const TRun run =
        Admin({"broker", "reload", "--url", shared.URL(), "--credentials", Tsv("all.tsv")});
    EXPECT_EQ(run.exit, 0) << run.err;
    // The console's saved broker URL is left alone by the command-line tool.
    EXPECT_EQ(ReadFile(dir.Path() / "config" / "Tarv" / "Zephran.conf").find("BrokerURL"),
              std::string::npos);
}

TEST_F(AdminBrokerTest, FailuresAndUsage) {
    const struct {
        const char* name;
        std::vector<std::string> args;
        int exit;
        std::string err; // the start of standard error; empty: not checked
    } cases[] = {
        {"no url", {"broker", "servers"}, 2, "The broker commands need --url URL."},
        {"blank url", {"broker", "servers", "--url", "  "}, 2, "Broker URL is not valid"},
        {"unreachable",
         {"broker", "servers", "--url", "127.0.0.1:1"},
         1,
         "Broker not found, check the URL."},
        {"no servers",
         {"broker", "sessions", "--url", "127.0.0.1:1"},
         2,
         "Name the servers with --server NAME or --credentials FILE."},
        {"bad permutation",
         {"broker", "reload", "--url", "127.0.0.1:1", "--id-permutation", "1,2,3"},
         2,
         ""},
        {"identity permutation",
         {"broker", "reload", "--url", "127.0.0.1:1", "--id-permutation",
          "0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20,21,22,23,24,25,26,27,28,29,30"},
         2,
         ""},
        {"unknown subcommand", {"broker", "frobnicate"}, 2, ""},
        {"no subcommand", {"broker"}, 2, ""},
        {"missing logout option", {"broker", "logout", "--url", "x", "--session-id", "1"}, 2, ""},
        {"help", {"broker", "--help"}, 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const TRun run = Admin(c.args);
        EXPECT_EQ(run.exit, c.exit) << run.err;
        if (!c.err.empty()) {
            EXPECT_EQ(run.err.rfind(c.err, 0), 0u) << run.err;
        }
    }
    // Nothing reached the broker from the invalid command lines.
    EXPECT_TRUE(broker.Bodies().empty());
}

TEST_F(AdminBrokerTest, BadAnswersFailClearly) {
    httplib::Client client("127.0.0.1", broker.Port());
    auto set = [&client](const char* behaviours) {
        auto res = client.Post("/_test/behaviours", behaviours, "application/json");
        ASSERT_TRUE(res);
        ASSERT_EQ(res->status, 200);
    };
    set(R"([{"query": "GetSessionList", "answer": "html", "status": 500}])");
    const TRun html =
        Admin({"broker", "sessions", "--url", broker.URL(), "--credentials", Tsv("all.tsv")});
    EXPECT_EQ(html.exit, 1);
    EXPECT_EQ(html.err.rfind("XML Error Number ", 0), 0u) << html.err;
    EXPECT_NE(html.err.find("\nReason: "), std::string::npos);

    set(R"([{"query": "GetServerList", "error": 3}])");
    const TRun error = Admin({"broker", "servers", "--url", broker.URL()});
    EXPECT_EQ(error.exit, 1);
    EXPECT_EQ(error.err, "Error Number 3\nError String not returned from server!\n"
                         "Broker not found, check the URL.\n");

    set(R"([{"query": "GetSessionList", "answer": "body", "status": 404,
             "body": "<r><_DATA><session><ssnid>x</ssnid><kind>k</kind></session></_DATA></r>"}])");
    const TRun odd =
        Admin({"--json", "broker", "sessions", "--url", broker.URL(), "--server", "CENTRAL"});
    ASSERT_EQ(odd.exit, 0) << odd.err;
    const auto doc = nlohmann::json::parse(odd.out);
    EXPECT_EQ(doc["sessions"][0]["session_id"], 0);
    EXPECT_EQ(doc["sessions"][0]["kind_text"], "Search");
    EXPECT_EQ(doc["sessions"][0]["last_access_text"], "1899/12/30");
}

TEST_F(AdminBrokerTest, EmptyListsAreStillOneDocument) {
    Behave(R"([{"query": "GetServerList", "answer": "no-data"},
               {"query": "GetSessionList", "answer": "no-data"}])");
    WriteFile(dir.Path() / "blank.tsv", "\n\r\n\n");
    const struct {
        const char* name;
        std::vector<std::string> args;
        int exit;
        std::string out; // as printed; for --json, the document it parses to
        std::string err;
    } cases[] = {
        {"servers, JSON",
         {"--json", "broker", "servers", "--url", broker.URL()},
         0,
         R"({"module_url": ")" + ModuleURL() + R"(", "servers": []})",
         "No server is avail through this broker.\n"},
        {"servers, table",
         {"broker", "servers", "--url", broker.URL()},
         0,
         "Servers at " + ModuleURL() + "\nNAME  CENTER NAME\n",
         "No server is avail through this broker.\n"},
        {"sessions, JSON",
         {"--json", "broker", "sessions", "--url", broker.URL(), "--credentials", Tsv("all.tsv")},
         0,
         R"({"sessions": []})",
         ""},
        {"sessions, table",
         {"broker", "sessions", "--url", broker.URL(), "--credentials", Tsv("all.tsv")},
         0,
         "Number of Sessions: 0\n"
         "SESSION  USER NAME  KIND  CENTER NAME  LAST REQUEST TIME  RESOURCES\n",
         ""},
        // No server to check is an invalid command line: nothing is printed.
        {"check, JSON, no servers",
         {"--json", "broker", "check", "--url", broker.URL(), "--credentials", Tsv("blank.tsv")},
         2,
         "",
         "Name the servers with --server NAME or --credentials FILE.\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const TRun run = Admin(c.args);
        EXPECT_EQ(run.exit, c.exit);
        EXPECT_EQ(run.err, c.err);
        const bool json = c.args.front() == "--json" && c.exit == 0;
        if (json) {
            ASSERT_TRUE(nlohmann::json::accept(run.out)) << run.out;
            EXPECT_EQ(nlohmann::json::parse(run.out), nlohmann::json::parse(c.out));
        } else {
            EXPECT_EQ(run.out, c.out);
        }
    }
}

TEST_F(AdminBrokerTest, ListsAreWrittenOneRecordAtATimeInTheirUsualLayout) {
    const TRun json = Admin(
        {"--json", "broker", "sessions", "--url", broker.URL(), "--credentials", Tsv("all.tsv")});
    ASSERT_EQ(json.exit, 0) << json.err;
    // Two blanks per level, members in the order of the command's description.
    const std::string start = "{\n"
                              "  \"sessions\": [\n"
                              "    {\n"
                              "      \"session_id\": 7,\n"
                              "      \"server_idx\": 1,\n"
                              "      \"server_name\": \"CENTRAL\",\n"
                              "      \"center_name\": \"کتابخانه مرکزی\",\n"
                              "      \"user_id\": 3,\n";
    EXPECT_EQ(json.out.rfind(start, 0), 0u) << json.out;
    EXPECT_NE(json.out.find("      \"resources\": [\n"
                            "        {\n"
                            "          \"db_id\": 1,\n"),
              std::string::npos);
    EXPECT_NE(json.out.find("      \"resources\": []\n    }"), std::string::npos);
    const std::string end = "    }\n  ]\n}\n";
    EXPECT_EQ(json.out.substr(json.out.size() - end.size()), end);

    const TRun table =
        Admin({"broker", "sessions", "--url", broker.URL(), "--credentials", Tsv("all.tsv")});
    ASSERT_EQ(table.exit, 0) << table.err;
    EXPECT_EQ(table.out,
              "Number of Sessions: 3\n"
              "SESSION  USER NAME      KIND     CENTER NAME     LAST REQUEST TIME    RESOURCES\n"
              "7        CENTRAL/reza   Edit     کتابخانه مرکزی  2003/01/01 12:00:00  2\n"
              "8        CENTRAL/guest  Search   کتابخانه مرکزی  2003/01/01           0\n"
              "9        ARCHIVE/sara   Unknown  R&D Archive     2003/01/02 18:00:00  0\n"
              "\n"
              "Session 7 (CENTRAL/reza): Database Active Resource List\n"
              "DB ID  Database Name  Append File ID  Edit File ID\n"
              "1      BOOKS          2               4\n"
              "2      MAPS           0               0\n");

    const TRun check = Admin({"broker", "check", "--url", broker.URL(), "--credentials",
                              Tsv("all.tsv"), "--server", "ARCHIVE"},
                             {"ZEPHRAN_PASSWORD=wrong"});
    EXPECT_EQ(check.exit, 1);
    EXPECT_EQ(check.out, "SERVER   PASSWORD\n"
                         "CENTRAL  valid\n"
                         "ARCHIVE  valid\n"
                         "ARCHIVE  invalid\n");
}

// Texts from the broker with control characters, quotes and blanks, server names and other
// texts that spell a password sent, and doubles of every size: printed byte for byte in the usual
// layout, escaped, and masked wherever a password shows (in table cells, headers and numbers too).
TEST(AdminBrokerHostileTexts, ArePrintedEscapedAndMaskedInTheUsualLayout) {
    TTempDir dir;
    TBrokerProcess broker(dir.Path(), R"({
      "id": 4242,
      "servers": [
        {"name": "ESC\u001b[31mRED", "center": "Tab\there \"quoted\" back\\slash",
         "password": "KIND"},
        {"name": "hunter2", "center": "vault of hunter2 and 12", "password": "hunter2"},
        {"name": "DEL\u007fC1\u009bX", "center": "", "password": "12"},
        {"name": "valid", "center": "NAME", "password": "valid"}
      ],
      "sessions": [
        {"id": 12, "server": "hunter2", "user_id": 12, "user": "hunter2", "kind": 1,
         "latime": 0.1,
         "resources": [{"db_id": 12, "db_name": "hunter2\u001b[0m", "app_id": 12,
                        "app_handle": 1, "edit_id": -5, "edit_handle": 2147483647}]},
        {"id": 13, "server": "ESC\u001b[31mRED", "user_id": 0, "user": "line\nbreak\r",
         "kind": 0, "latime": 1e20},
        {"id": 14, "server": "DEL\u007fC1\u009bX", "user_id": 1, "user": "  trailing  ",
         "kind": 2, "latime": -1.5, "resources": [{"db_id": 1, "db_name": ""}]}
      ]
    })");
    ASSERT_GT(broker.Port(), 0);
    WriteFile(dir.Path() / "all.tsv", "ESC\x1b[31mRED\tKIND\nhunter2\thunter2\n"
                                      "DEL\x7f"
                                      "C1\xc2\x9bX\t12\nvalid\tvalid\n");
    const std::string all = (dir.Path() / "all.tsv").string();
    const std::vector<std::string> check = {"broker",        "check", "--url",    broker.URL(),
                                            "--credentials", all,     "--server", "hunter2"};
    const std::vector<std::string> sessions = {"broker",     "sessions",      "--url",
                                               broker.URL(), "--credentials", all};
    const std::vector<std::string> servers = {"broker", "servers", "--url", broker.URL()};
    auto json = [](std::vector<std::string> args) {
        args.insert(args.begin(), "--json");
        return args;
    };
    const struct {
        const char* name;
        std::vector<std::string> args;
        int exit;
        std::string out; // with PORT for the broker's port
    } cases[] = {
        {"servers, table", servers, 0,
         "Servers at HTTP://127.0.0.1:PORT/SCRIPTS/ZephWebMain.DLL\n"
         "NAME              CENTER NAME\n"
         "ESC\\x1b[31mRED    Tab\there \"quoted\" back\\slash\n"
         "hunter2           vault of hunter2 and 12\n"
         "DEL\\x7fC1\\u009bX\n"
         "valid             NAME\n"},
        {"check, table", check, 1,
         "SERVER            PASSWORD\n"
         "ESC\\x1b[31mRED    ********\n"
         "********          ********\n"
         "DEL\\x7fC1\\u009bX  ********\n"
         "********          ********\n"
         "********          in********\n"},
        {"sessions, table", sessions, 0,
         "Number of Sessions: 3\n"
         "SESSION   USER NAME                         ********  CENTER NAME                     "
         "LAST REQUEST TIME                RESOURCES\n"
         "********  ********/********                 Edit      vault of ******** and ********  "
         "1899/********/30 02:24:00        1\n"
         "13        ESC\\x1b[31mRED/line\\x0abreak\\x0a  Search    Tab\there \"quoted\" back\\slash"
         "                                     0\n"
         "14        DEL\\x7fC1\\u009bX/  trailing       Unknown                                   "
         "1899/********/29 ********:00:00  1\n"
         "\n"
         "Session 12 (********/********): Database Active Resource List\n"
         "DB ID     Database Name    Append File ID  Edit File ID\n"
         "********  ********\\x1b[0m  ********        -5\n"
         "\n"
         "Session 14 (DEL\\x7fC1\\u009bX/  trailing  ): Database Active Resource List\n"
         "DB ID  Database Name  Append File ID  Edit File ID\n"
         "1                     0               0\n"},
        {"servers, JSON", json(servers), 0, R"({
  "module_url": "HTTP://127.0.0.1:PORT/SCRIPTS/ZephWebMain.DLL",
  "servers": [
    {
      "name": "ESC\u001b[31mRED",
      "center_name": "Tab\there \"quoted\" back\\slash"
    },
    {
      "name": "hunter2",
      "center_name": "vault of hunter2 and 12"
    },
    {
      "name": "DEL\u007fC1\u009bX",
      "center_name": ""
    },
    {
      "name": "valid",
      "center_name": "NAME"
    }
  ]
}
)"},
        {"check, JSON", json(check), 1, R"({
  "results": [
    {
      "server": "ESC\u001b[31mRED",
      "valid": true
    },
    {
      "server": "********",
      "valid": true
    },
    {
      "server": "DEL\u007fC1\u009bX",
      "valid": true
    },
    {
      "server": "********",
      "valid": true
    },
    {
      "server": "********",
      "valid": false
    }
  ]
}
)"},
        {"sessions, JSON", json(sessions), 0, R"({
  "sessions": [
    {
      "session_id": 12,
      "server_idx": 2,
      "server_name": "********",
      "center_name": "vault of ******** and ********",
      "user_id": 12,
      "user_name": "********",
      "kind": 1,
      "kind_text": "Edit",
      "last_access": 0.1,
      "last_access_text": "1899/********/30 02:24:00",
      "resources": [
        {
          "db_id": 12,
          "db_name": "********\u001b[0m",
          "app_file_id": 12,
          "app_file_handle": 1,
          "edit_file_id": -5,
          "edit_file_handle": 2147483647
        }
      ]
    },
    {
      "session_id": 13,
      "server_idx": 1,
      "server_name": "ESC\u001b[31mRED",
      "center_name": "Tab\there \"quoted\" back\\slash",
      "user_id": 0,
      "user_name": "line\nbreak\n",
      "kind": 0,
      "kind_text": "Search",
      "last_access": 1e+20,
      "last_access_text": "",
      "resources": []
    },
    {
      "session_id": 14,
      "server_idx": 3,
      "server_name": "DEL\u007fC1\u009bX",
      "center_name": "",
      "user_id": 1,
      "user_name": "  trailing  ",
      "kind": 2,
      "kind_text": "Unknown",
      "last_access": -1.5,
      "last_access_text": "1899/********/29 ********:00:00",
      "resources": [
        {
          "db_id": 1,
          "db_name": "",
          "app_file_id": 0,
          "app_file_handle": 0,
          "edit_file_id": 0,
          "edit_file_handle": 0
        }
      ]
    }
  ]
}
)"},
    };
    const std::string port = std::to_string(broker.Port());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // --server takes the password of the environment: a wrong one, masked too.
        const TRun run = RunAdmin(dir.Path(), c.args, {"ZEPHRAN_PASSWORD=wrong"});
        EXPECT_EQ(run.exit, c.exit) << run.err;
        std::string out = run.out;
        for (std::size_t at = out.find(port); at != std::string::npos; at = out.find(port, at))
            out.replace(at, port.size(), "PORT");
        EXPECT_EQ(out, c.out);
    }
}

TEST_F(AdminBrokerTest, OutputThatCannotBeWrittenFails) {
    const std::vector<std::vector<std::string>> commands = {
        {"broker", "servers", "--url", broker.URL()},
        {"--json", "broker", "servers", "--url", broker.URL()},
        {"broker", "sessions", "--url", broker.URL(), "--credentials", Tsv("all.tsv")},
        {"--json", "broker", "sessions", "--url", broker.URL(), "--credentials", Tsv("all.tsv")},
        {"broker", "check", "--url", broker.URL(), "--credentials", Tsv("all.tsv")},
        {"--json", "broker", "check", "--url", broker.URL(), "--credentials", Tsv("all.tsv")},
    };
    for (const auto& args : commands) {
        SCOPED_TRACE(args[args.front() == "--json" ? 2 : 1] +
                     (args.front() == "--json" ? " --json" : ""));
        const TRun run = RunAdmin(dir.Path(), args, {}, "/dev/full");
        EXPECT_EQ(run.exit, 1);
        EXPECT_EQ(run.err, "Could not write the output: No space left on device\n");
    }
}

TEST(TestBrokerProgram, RefusesABadFixture) {
    TTempDir dir;
    WriteFile(dir.Path() / "bad.json", R"({"servers": [{"center": "no name"}]})");
    const std::string cmd = kBin + "/zephran-testbroker --fixture " +
                            (dir.Path() / "bad.json").string() + " 2>/dev/null";
    const int status = std::system(cmd.c_str());
    EXPECT_EQ(WEXITSTATUS(status), 2);
}

TEST(TestBrokerProgram, DemoFixtureLoads) {
    TTempDir dir;
    TBrokerProcess demo(dir.Path(), ReadFile(fs::path(ZEPHRAN_FIXTURES_DIR) / "broker-demo.json"));
    ASSERT_GT(demo.Port(), 0);
    const TRun run = RunAdmin(dir.Path(), {"--json", "broker", "servers", "--url", demo.URL()});
    ASSERT_EQ(run.exit, 0) << run.err;
    EXPECT_GE(nlohmann::json::parse(run.out)["servers"].size(), 3u);
}

} // namespace
