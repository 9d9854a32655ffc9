// Broker answers that are huge, deep, hostile or out of range: nothing crashes, the XML parser
// expands no entity (external or internal), memory stays within a small multiple of the
// answer, and the flows of the broker windows go on working afterwards.

#include "HTTPSessions.h"
#include "HttpLogin.h"
#include "MessagePresenters.h"
#include "SecretMask.h"
#include "TarvRequester.h"
#include "TempFolder.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <fcntl.h>
#include <fstream>
#include <functional>
#include <malloc.h>
#include <mutex>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

#if defined(__SANITIZE_ADDRESS__)
// The sanitizers reserve terabytes of address space and keep freed memory in quarantine: address
// space limits and memory figures of the programs mean nothing under them.
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// An HTTP peer on a free loopback port that answers every POST with the body a test set, or
// with what a function of the request body gives. Answers are streamed from memory.
class TAnsweringBroker {
public:
    using TEcho = std::function<std::string(const std::string& body)>;

    TAnsweringBroker() {
        server_.Post(".*", [this](const httplib::Request& req, httplib::Response& res) {
            std::shared_ptr<const std::string> answer;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                answer = echo_ ? std::make_shared<const std::string>(echo_(req.body)) : answer_;
            }
            res.set_content_provider(
                answer->size(), "text/xml",
                [answer](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                    return sink.write(answer->data() + offset, length);
                });
        });
        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        for (int i = 0; i < 5000 && !server_.is_running(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        Requester.ModuleURL =
            "HTTP://127.0.0.1:" + std::to_string(port_) + "/SCRIPTS/ZephWebMain.DLL";
    }
    ~TAnsweringBroker() {
        server_.stop();
        thread_.join();
        Requester.ModuleURL.clear();
    }
    // The answer to every request from now on (kept by the peer while it is served).
    void Answer(std::string body) {
        std::lock_guard<std::mutex> lock(mutex_);
        echo_ = nullptr;
        answer_ = std::make_shared<const std::string>(std::move(body));
    }
    // Answers from now on built from each request's body.
    void Echo(TEcho echo) {
        std::lock_guard<std::mutex> lock(mutex_);
        echo_ = std::move(echo);
    }
    // The broker URL for zephran-admin's --url.
    std::string URL() const { return "127.0.0.1:" + std::to_string(port_) + "/scripts"; }

private:
    httplib::Server server_;
    std::thread thread_;
    int port_ = 0;
    std::mutex mutex_;
    TEcho echo_;
    std::shared_ptr<const std::string> answer_ = std::make_shared<const std::string>();
};

struct TAdminRun {
    int Exit = -1; // 128 + the signal's number when a signal ended it
    std::string Out;
    std::string Err;
    long PeakKiB = 0; // ru_maxrss
};

// Runs zephran-admin with `args`, the password in the environment when one is given, and an
// address-space limit when one is given; its peak resident memory is read from wait4.
TAdminRun RunAdmin(const std::vector<std::string>& args, const std::string& password = {},
                   rlim_t addressSpace = 0) {
    const TTempFolder folder;
    const std::string outPath = folder.Path() + "out";
    const std::string errPath = folder.Path() + "err";
    std::vector<std::string> storage = {std::string(ZEPHRAN_BIN_DIR) + "/zephran-admin"};
    storage.insert(storage.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : storage)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    // The child's peak counts this process's resident memory at the fork: what this process
    // freed (the answers and outputs of earlier runs) goes back to the system first.
    ::malloc_trim(0);
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (addressSpace != 0) {
            const rlimit limit{addressSpace, addressSpace};
            ::setrlimit(RLIMIT_AS, &limit);
        }
        for (const char* name : {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"})
            ::unsetenv(name);
        if (password.empty())
            ::unsetenv("ZEPHRAN_PASSWORD");
        else
            ::setenv("ZEPHRAN_PASSWORD", password.c_str(), 1);
        const int in = ::open("/dev/null", O_RDONLY);
        const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(in, STDIN_FILENO);
        ::dup2(out, STDOUT_FILENO);
        ::dup2(err, STDERR_FILENO);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    TAdminRun run;
    run.Exit = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    run.PeakKiB = usage.ru_maxrss;
    run.Out = ReadWholeFile(outPath);
    run.Err = ReadWholeFile(errPath);
    return run;
}

// The process's peak resident memory in bytes, and its reset to the current size.
std::int64_t PeakResidentBytes() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stoll(line.substr(6)) * 1024;
    return 0;
}
void ResetPeakResident() {
    std::ofstream("/proc/self/clear_refs") << "5";
}

class TRows final : public IServerRowsView {
public:
    bool RowTicked(std::size_t) const override { return true; }
    std::string RowPassword(std::size_t) const override { return "pw"; }
};

class BrokerInputTest : public ::testing::Test {
protected:
    TRecordingMessagePresenter recorder_;
    TAnsweringBroker broker_;
    TSessionList sessions_;
    TRows rows_;
    THTTPLoginLogic login_{sessions_, rows_};

    // The console still works: a correct server list loads.
    void StillUsable() {
        recorder_.Clear();
        broker_.Answer("<r><_ERRNUM>0</_ERRNUM><_DATA><srv><name>MAIN</name><ecenter>Centre"
                       "</ecenter></srv></_DATA></r>");
        ASSERT_TRUE(login_.LoadServerList());
        ASSERT_EQ(login_.ServerRows.size(), 1u);
        EXPECT_EQ(login_.ServerRows[0].ServerName, "MAIN");
        EXPECT_TRUE(recorder_.Messages().empty());
    }
};

std::string Sessions(std::size_t count, const std::string& each) {
    std::string doc = "<r><_ERRNUM>0</_ERRNUM><_DATA>";
    doc.reserve(count * (each.size() + 20) + 64);
    for (std::size_t i = 0; i < count; ++i)
        doc += "<session><ssnid>" + std::to_string(i) + "</ssnid>" + each + "</session>";
    return doc + "</_DATA></r>";
}

TEST_F(BrokerInputTest, HundredMegabyteAnswerIsReadWithMemoryBoundedByTheDocument) {
    // A server list whose centre names carry 100 MB between them.
    const std::string filler(1024 * 1024, 'x');
    std::string doc = "<r><_ERRNUM>0</_ERRNUM><_DATA>";
    for (int i = 0; i < 100; ++i)
        doc +=
            "<srv><name>S" + std::to_string(i) + "</name><ecenter>" + filler + "</ecenter></srv>";
    doc += "</_DATA></r>";
    const auto size = static_cast<std::int64_t>(doc.size());
    broker_.Answer(std::move(doc));
    ResetPeakResident();
    const std::int64_t before = PeakResidentBytes();
    ASSERT_TRUE(login_.LoadServerList());
    const std::int64_t growth = PeakResidentBytes() - before;
    ASSERT_EQ(login_.ServerRows.size(), 100u);
    EXPECT_EQ(login_.ServerRows[99].ServerName, "S99");
    EXPECT_EQ(login_.ServerRows[0].ECenterName, std::string(80, 'x')) << "cut to 80";
    // The answer is held as it arrives, once more as the parser's copy, and the rows hold
    // only their cut texts: a few times the document, never more.
    EXPECT_LT(growth, 6 * size) << "peak grew by " << growth / (1024 * 1024) << " MB";
    std::cout << "100 MB answer: peak resident memory grew by " << growth / (1024 * 1024)
              << " MB\n";
    StillUsable();
}

TEST_F(BrokerInputTest, DeeplyNestedDocumentIsReadWithoutRecursion) {
    const int depth = 200000;
    std::string doc = "<r><_ERRNUM>7</_ERRNUM><_ERRSTR>";
    for (int i = 0; i < depth; ++i)
        doc += "<a>";
    doc += "deep";
    for (int i = 0; i < depth; ++i)
        doc += "</a>";
    doc += "</_ERRSTR><_DATA>";
    for (int i = 0; i < depth; ++i)
        doc += "<srv>";
    for (int i = 0; i < depth; ++i)
        doc += "</srv>";
    doc += "</_DATA></r>";
    broker_.Answer(doc);
    EXPECT_EQ(Requester.Request("_RQ=GetServerList&_SERVICEKIND=LOCAL"), TBrokerResult::Error(7));
    EXPECT_EQ(recorder_.Texts(), std::vector<std::string>{"Error Number 7\rdeep"});
    recorder_.Clear();
    broker_.Answer("<r>" + doc.substr(doc.find("<_DATA>")));
    ASSERT_TRUE(login_.LoadServerList()) << "one server, with neither name nor centre";
    EXPECT_EQ(login_.ServerRows.size(), 1u);
    StillUsable();
}

TEST_F(BrokerInputTest, EntitiesAreNeverExpanded) {
    struct TCase {
        const char* Name;
        std::string Doc;
        std::string Shown;
    };
    std::string laughs = "<?xml version=\"1.0\"?><!DOCTYPE r [<!ENTITY lol \"lol\">";
    laughs += "<!ENTITY lol1 \"&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;\">";
    for (int i = 2; i <= 9; ++i) {
        std::string refs;
        for (int k = 0; k < 10; ++k)
            refs += "&lol" + std::to_string(i - 1) + ";";
        laughs += "<!ENTITY lol" + std::to_string(i) + " \"" + refs + "\">";
    }
    laughs += "]><r><_ERRNUM>3</_ERRNUM><_ERRSTR>&lol9;</_ERRSTR></r>";
    const TCase cases[] = {
        {"external entity",
         "<?xml version=\"1.0\"?><!DOCTYPE r [<!ENTITY xxe SYSTEM \"file:///etc/passwd\">]>"
         "<r><_ERRNUM>3</_ERRNUM><_ERRSTR>&xxe;</_ERRSTR></r>",
         "Error Number 3\r&xxe;"},
        {"external parameter entity",
         "<?xml version=\"1.0\"?><!DOCTYPE r [<!ENTITY % p SYSTEM \"http://127.0.0.1:1/x\"> %p;]>"
         "<r><_ERRNUM>3</_ERRNUM><_ERRSTR>text</_ERRSTR></r>",
         "Error Number 3\rtext"},
        {"billion laughs", laughs, "Error Number 3\r&lol9;"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        recorder_.Clear();
        broker_.Answer(c.Doc);
        ResetPeakResident();
        const std::int64_t before = PeakResidentBytes();
        EXPECT_EQ(Requester.Request("_MAINRQ=GetId"), TBrokerResult::Error(3));
        EXPECT_EQ(recorder_.Texts(), std::vector<std::string>{c.Shown});
        EXPECT_LT(PeakResidentBytes() - before, 16 * 1024 * 1024);
    }
    StillUsable();
}

TEST_F(BrokerInputTest, NumbersOutOfRangeReadAsZeroOrAreLeftOut) {
    broker_.Answer(
        "<r><_ERRNUM>99999999999999999999</_ERRNUM><_DATA><session><ssnid>2147483648</ssnid>"
        "<sidx>-2147483649</sidx><usrid>0x10</usrid><kind>1e99</kind><latime>1e308</latime>"
        "<dbres><dbid>-2147483648</dbid><appid>+7</appid><apphndl> 12 </apphndl>"
        "<edtid>1.5</edtid></dbres></session>"
        "<session><latime>-1e308</latime><kind>-0</kind></session>"
        "<session><latime>nan</latime></session><session><latime>inf</latime></session>"
        "<session><latime>1e-400</latime></session><session><latime>2958466</latime></session>"
        "<session><latime>-693594</latime></session>"
        "</_DATA><_ID>4294967296</_ID></r>");
    sessions_.AddServer("MAIN", "pw");
    ASSERT_TRUE(sessions_.RefreshSessions()) << "an _ERRNUM out of range means success";
    const auto& rows = sessions_.Sessions;
    ASSERT_EQ(rows.size(), 7u);
    EXPECT_EQ(rows[0].SessionId, 0);
    EXPECT_EQ(rows[0].ServerIdx, 0);
    EXPECT_EQ(rows[0].UserId, 0);
    EXPECT_EQ(rows[0].KindNumber, 0);
    EXPECT_EQ(rows[0].DBResourceList[0].DBId, INT32_MIN);
    EXPECT_EQ(rows[0].DBResourceList[0].AppFileId, 7);
    EXPECT_EQ(rows[0].DBResourceList[0].AppFileHandle, 12);
    EXPECT_EQ(rows[0].DBResourceList[0].EditFileId, 0);
    for (const THTTPSessionRow& row : rows) {
        SCOPED_TRACE(row.LastAccessTime);
        const std::string text = LastAccessTimeText(row.LastAccessTime);
        if (std::abs(row.LastAccessTime) > 1e7) {
            EXPECT_EQ(text, "") << "outside the calendar";
        }
    }
    EXPECT_EQ(rows[2].LastAccessTime, 0.0) << "nan is not a number";
    EXPECT_EQ(rows[3].LastAccessTime, 0.0) << "inf is not a number";
    EXPECT_TRUE(recorder_.Messages().empty());
    StillUsable();
}

TEST_F(BrokerInputTest, HundredThousandSessions) {
    const std::string each = "<sidx>1</sidx><sname>MAIN</sname><ecname>Centre</ecname>"
                             "<usrid>7</usrid><usrname>user</usrname><kind>1</kind>"
                             "<latime>37622.5</latime><dbres><dbid>1</dbid><dbname>BOOKS</dbname>"
                             "</dbres>";
    std::string doc = Sessions(100000, each);
    const auto size = static_cast<std::int64_t>(doc.size());
    broker_.Answer(std::move(doc));
    sessions_.AddServer("MAIN", "pw");
    ResetPeakResident();
    const std::int64_t before = PeakResidentBytes();
    ASSERT_TRUE(sessions_.RefreshSessions());
    const std::int64_t growth = PeakResidentBytes() - before;
    ASSERT_EQ(sessions_.Sessions.size(), 100000u);
    EXPECT_EQ(sessions_.Sessions[99999].SessionId, 99999);
    EXPECT_EQ(sessions_.Sessions[99999].DBResourceList.at(0).DBName, "BOOKS");
    EXPECT_EQ(sessions_.SessionCountText(), "100000");
    // The parsed document has a node per element and text (some ten times the text of
    // elements this short); the rows hold short texts. Sanitizer builds add their own margin.
    EXPECT_LT(growth, 24 * size) << "peak grew by " << growth / (1024 * 1024) << " MB for a "
                                 << size / (1024 * 1024) << " MB answer";
    std::cout << "100000 sessions: answer " << size / 1024 << " KiB, peak resident memory grew by "
              << growth / (1024 * 1024) << " MB\n";
    sessions_.Current = 50000;
    broker_.Answer("<r><_ERRNUM>0</_ERRNUM></r>");
    EXPECT_TRUE(sessions_.DelSessionActExecute());
    EXPECT_EQ(sessions_.Sessions.size(), 99999u);
    StillUsable();
}

std::string XmlEscaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '&')
            out += "&amp;";
        else if (c == '<')
            out += "&lt;";
        else if (c == '>')
            out += "&gt;";
        else
            out.push_back(c);
    }
    return out;
}

std::string Envelope(const std::string& data) {
    return "<r><_ERRNUM>0</_ERRNUM><_DATA>" + data + "</_DATA></r>";
}

// A broker that echoes the request, or lists texts with terminal control sequences: what
// zephran-admin prints holds neither a password it sent (in any spelling) nor a raw control
// character from the broker.
TEST_F(BrokerInputTest, AdminPrintsNoEchoedPasswordAndNoRawControls) {
    const std::string password = "Zq7#kP2v<x>&r=1";
    const std::string esc = "\x1b[31mRED\x1b]0;title\x07\xc2\x9b"
                            "2J";
    const auto echoInSessions = [](const std::string& body) {
        const std::string b = XmlEscaped(body);
        return Envelope("<session><ssnid>1</ssnid><sname>" + b + "</sname><ecname>" + b +
                        "</ecname><usrname>" + b + "</usrname><dbres><dbid>1</dbid><dbname>" + b +
                        "</dbname></dbres></session>");
    };
    const auto echoInError = [](const std::string& body) {
        return "<r><_ERRNUM>10</_ERRNUM><_ERRSTR>" + XmlEscaped(body) + "</_ERRSTR></r>";
    };
    const auto echoInPage = [](const std::string& body) {
        return "<html><body>" + body + "<br></body></html>";
    };
    const auto controlsInSessions = [&esc](const std::string&) {
        return Envelope("<session><ssnid>1</ssnid><sname>S" + esc + "</sname><usrname>U" + esc +
                        "</usrname><ecname>C" + esc + "</ecname><dbres><dbname>D" + esc +
                        "</dbname></dbres></session>");
    };
    const auto controlsInServers = [&esc](const std::string&) {
        return Envelope("<srv><name>N" + esc + "</name><ecenter>E" + esc + "</ecenter></srv>");
    };
    const std::string url = broker_.URL();
    const std::vector<std::string> sessions = {"broker", "sessions", "--url",
                                               url,      "--server", "MAIN"};
    auto json = [](std::vector<std::string> args) {
        args.insert(args.begin(), "--json");
        return args;
    };
    const struct {
        const char* name;
        TAnsweringBroker::TEcho answer;
        std::vector<std::string> args;
        int exit;
        bool masked; // the mask shows where the password was
    } cases[] = {
        {"sessions echo the request, table", echoInSessions, sessions, 0, true},
        {"sessions echo the request, JSON", echoInSessions, json(sessions), 0, true},
        {"error text echoes the request", echoInError, sessions, 1, true},
        {"HTML page echoes the request", echoInPage, sessions, 1, true},
        {"check echoes the request",
         echoInError,
         {"broker", "check", "--url", url, "--server", "MAIN"},
         1,
         false},
        {"control characters in sessions, table", controlsInSessions, sessions, 0, false},
        {"control characters in sessions, JSON", controlsInSessions, json(sessions), 0, false},
        {"control characters in servers, table",
         controlsInServers,
         {"broker", "servers", "--url", url},
         0,
         false},
        {"control characters in servers, JSON", controlsInServers,
         json({"broker", "servers", "--url", url}), 0, false},
    };
    TSecretMask secret;
    secret.Add(password);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        broker_.Echo(c.answer);
        const TAdminRun run = RunAdmin(c.args, password);
        EXPECT_EQ(run.Exit, c.exit) << run.Err;
        for (const std::string* text : {&run.Out, &run.Err}) {
            EXPECT_EQ(secret.Apply(*text), *text) << "a password in: " << *text;
        }
        if (c.masked) {
            EXPECT_NE((run.Out + run.Err).find(TSecretMask::kMask), std::string::npos)
                << run.Out << run.Err;
        }
        // Standard output: no ESC, BEL or CSI from the broker; the table shows them escaped.
        EXPECT_EQ(run.Out.find_first_of("\x1b\x07"), std::string::npos) << run.Out;
        EXPECT_EQ(run.Out.find("\xc2\x9b"), std::string::npos) << run.Out;
        if (std::string(c.name).find("control characters") != std::string::npos) {
            const bool isJson = c.args.front() == "--json";
            EXPECT_NE(run.Out.find(isJson ? "\\u001b[31mRED" : "\\x1b[31mRED"), std::string::npos)
                << run.Out;
        }
    }
}

// Bytes that are not UTF-8, and last access times at the ends of a double's range: a table
// shows the bytes escaped, JSON as U+FFFD, and the times as numbers that read back the same.
TEST_F(BrokerInputTest, AdminPrintsBytesThatAreNotUtf8AndExtremeTimesExactly) {
    const std::string servers =
        Envelope("<srv><name>BAD\xff\xfeNAME</name><ecenter>Ctr \xc3( \x9b"
                 "2J</ecenter></srv><srv><name>OK</name><ecenter>\xd9\x85\xd8\xb1</ecenter></srv>");
    std::string sessions;
    for (const char* time : {"-0", "5e-324", "1.7976931348623157e308", "1e-7", "123456789012.5"})
        sessions += std::string("<session><ssnid>1</ssnid><sname>S\xe9</sname><latime>") + time +
                    "</latime></session>";
    sessions = Envelope(sessions);
    const std::string url = broker_.URL();
    const std::string fffd = "\xef\xbf\xbd";
    auto session = [&fffd](const char* time, const char* text, bool last) {
        return std::string("    {\n"
                           "      \"session_id\": 1,\n"
                           "      \"server_idx\": 0,\n"
                           "      \"server_name\": \"S") +
               fffd +
               "\",\n"
               "      \"center_name\": \"\",\n"
               "      \"user_id\": 0,\n"
               "      \"user_name\": \"\",\n"
               "      \"kind\": 0,\n"
               "      \"kind_text\": \"Search\",\n"
               "      \"last_access\": " +
               time + ",\n      \"last_access_text\": \"" + text +
               "\",\n"
               "      \"resources\": []\n"
               "    }" +
               (last ? "\n" : ",\n");
    };
    const struct {
        const char* name;
        const std::string* answer;
        std::vector<std::string> args;
        std::string out;
    } cases[] = {
        {"servers, table",
         &servers,
         {"broker", "servers", "--url", url},
         "Servers at " + Requester.ModuleURL +
             "\n"
             "NAME             CENTER NAME\n"
             "BAD\\xff\\xfeNAME  Ctr \\xc3( \\x9b2J\n"
             "OK               \xd9\x85\xd8\xb1\n"},
        {"servers, JSON",
         &servers,
         {"--json", "broker", "servers", "--url", url},
         "{\n  \"module_url\": \"" + Requester.ModuleURL +
             "\",\n"
             "  \"servers\": [\n"
             "    {\n"
             "      \"name\": \"BAD" +
             fffd + fffd +
             "NAME\",\n"
             "      \"center_name\": \"Ctr " +
             fffd + "( " + fffd +
             "2J\"\n"
             "    },\n"
             "    {\n"
             "      \"name\": \"OK\",\n"
             "      \"center_name\": \"\xd9\x85\xd8\xb1\"\n"
             "    }\n"
             "  ]\n"
             "}\n"},
        {"sessions, JSON",
         &sessions,
         {"--json", "broker", "sessions", "--url", url, "--server", "MAIN"},
         "{\n  \"sessions\": [\n" + session("-0.0", "1899/12/30", false) +
             session("5e-324", "1899/12/30", false) +
             session("1.7976931348623157e+308", "", false) +
             session("1e-07", "1899/12/30 00:00:00", false) + session("123456789012.5", "", true) +
             "  ]\n}\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        broker_.Answer(*c.answer);
        const TAdminRun run = RunAdmin(c.args, "pw");
        EXPECT_EQ(run.Exit, 0) << run.Err;
        EXPECT_EQ(run.Out, c.out);
    }
}

// The lists are printed one record at a time: the peak memory of zephran-admin stays within a
// few times the broker's answer (the answer, the parser's copy and its nodes), where rows and
// JSON trees of the whole list took hundreds of times the answer.
TEST_F(BrokerInputTest, AdminMemoryStaysWithinAFewTimesTheAnswer) {
    const auto emptySessions = [] {
        std::string data;
        while (data.size() < 4u * 1024 * 1024)
            data += "<session/>";
        return Envelope(data);
    };
    const auto servers = [] {
        std::string data;
        for (int i = 0; data.size() < 16u * 1024 * 1024; ++i)
            data += "<srv><name>SERVER" + std::to_string(i) + "</name><ecenter>Centre of region " +
                    std::to_string(i) + "</ecenter></srv>";
        return Envelope(data);
    };
    const std::string url = broker_.URL();
    const struct {
        const char* name;
        std::function<std::string()> answer;
        std::vector<std::string> args;
        double factor; // the peak allowed, in answers, beyond the program's own 64 MiB
    } cases[] = {
        // A "session" element of 10 bytes costs a parser node of 64.
        {"empty sessions, JSON",
         emptySessions,
         {"--json", "broker", "sessions", "--url", url, "--server", "MAIN"},
         12},
        {"empty sessions, table",
         emptySessions,
         {"broker", "sessions", "--url", url, "--server", "MAIN"},
         12},
        {"servers, JSON", servers, {"--json", "broker", "servers", "--url", url}, 9},
        {"servers, table", servers, {"broker", "servers", "--url", url}, 9},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // The answer is held once, by the broker: the child's peak also counts this process's
        // resident memory at the fork, so this process keeps it small.
        std::string answer = c.answer();
        const double answerMiB = static_cast<double>(answer.size()) / (1024 * 1024);
        broker_.Answer(std::move(answer));
        const TAdminRun run = RunAdmin(c.args, "pw");
        ASSERT_EQ(run.Exit, 0) << run.Err;
        const double peakMiB = static_cast<double>(run.PeakKiB) / 1024;
        std::cout << c.name << ": answer " << answerMiB << " MiB, peak " << peakMiB << " MiB\n";
        if (!kSanitized) {
            EXPECT_LT(peakMiB, 64 + c.factor * answerMiB);
        }
    }
}

// An answer that cannot be held or parsed in the memory there is ends with "Out of Memory."
// and exit status 1, never with an abort or a misleading parse error.
TEST_F(BrokerInputTest, AdminOutOfMemoryEndsWithItsMessage) {
    if (kSanitized)
        GTEST_SKIP() << "address-space limits do not apply under the sanitizers";
    std::string emptySessions;
    while (emptySessions.size() < 40u * 1024 * 1024)
        emptySessions += "<session/>";
    const std::string url = broker_.URL();
    const struct {
        const char* name;
        std::string answer;
        rlim_t addressSpace;
    } cases[] = {
        {"the answer itself does not fit", Envelope(std::string(120u * 1024 * 1024, ' ')),
         160u * 1024 * 1024},
        {"the parsed document does not fit", Envelope(emptySessions), 300u * 1024 * 1024},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        broker_.Answer(c.answer);
        const TAdminRun run =
            RunAdmin({"--json", "broker", "sessions", "--url", url, "--server", "MAIN"}, "pw",
                     c.addressSpace);
        EXPECT_EQ(run.Exit, 1);
        EXPECT_EQ(run.Err, "Out of Memory.\n");
        EXPECT_EQ(run.Out, "");
    }
}

} // namespace
