// zephran-admin's server commands end to end, against the reference server.

#include "Processes.h"
#include "TempFolder.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

using nlohmann::json;

namespace {

const std::string kBin = ZEPHRAN_BIN_DIR;
const std::string kAdmin = kBin + "/zephran-admin";
const std::string kServer = kBin + "/zephran-testserver";

json SmallInstallation() {
    return json::parse(R"({
      "administrator_password": "secret",
      "center_name": "کتابخانه مرکزي",
      "center_text": "Central",
      "server_name": "MAIN",
      "database_list": {"stamp": 3, "databases": [
        {"handle": 100, "number": 7, "flags": 1, "text": "SEVEN-T", "name": "SEVEN"},
        {"handle": 101, "number": 8, "text": "E", "name": ""}]},
      "local_connections": [
        {"user_name": "ALI", "security_num": 11, "status": 131, "requests_count": 5,
         "async_requests": 1, "connect_time": "2004-05-17 14:03:22",
         "last_request_time": [104, 4, 0, 0, 0, 0],
         "results": [{"kind": 5, "db_handle": 100, "lifetime": 32768},
                     {"kind": 14, "db_handle": 999, "lifetime": 49152},
                     {"kind": 0, "db_handle": 101, "lifetime": 16384}]},
        {"user_name": "سارا", "security_num": 12, "capture_flags": 3, "captured_db_id": 7}],
      "web_connections": [
        {"user_name": "web", "user_id": 5, "last_access_time": "2024-12-10 08:30:00"},
        {"user_name": "web", "user_id": 6}],
      "database_view": [
        {"id": 7, "path": "D:\\DB\\SEVEN", "open": true, "parent": true, "child_ids": [8, 9],
         "results": [{"kind": 2, "user_name": "ALI"}]},
        {"id": 8, "path": "E:\\EIGHT", "open": false}],
      "status": {"non_queued_db_requests": 30000000, "queued_db_requests": 10000000,
                 "non_db_requests": 0, "version_mismatched_requests": 0,
                 "child_dbs_defined": 2, "child_dbs_open": 1, "parent_dbs_defined": 1,
                 "parent_dbs_open": 1, "client_count": 2,
                 "result_counts": [1, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0]},
      "error_log": {"lines": ["first line", "second line"], "line_end": "lf"}
    })");
}

// The keys of a JSON object, sorted.
std::set<std::string> Keys(const json& object) {
    std::set<std::string> keys;
    for (const auto& [key, value] : object.items())
        keys.insert(key);
    return keys;
}

// The lines of a text.
std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// The first control character (other than tab and line feed) in the text, or -1.
int FirstRawControl(const std::string& text) {
    for (char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if ((b < 0x20 && b != '\t' && b != '\n') || b == 0x7F)
            return b;
    }
    return -1;
}

// A reference server on a free port with the installation given.
class ServerCommands : public ::testing::Test {
protected:
    void Start(const json& fixture) {
        const std::string path = folder_.Path() + "fixture.json";
        std::ofstream(path) << fixture.dump();
        server_ = std::make_unique<TPeerProcess>(
            kServer, std::vector<std::string>{"--fixture", path, "--port", "0"});
        ASSERT_TRUE(server_->Running());
    }
    TCommandResult Admin(std::vector<std::string> args, const std::string& password = "secret",
                         const std::string& program = kAdmin) {
        args.insert(args.begin(), {"--tcp", "127.0.0.1:" + std::to_string(server_->Port())});
        return RunCommand(program, args, {{"ZEPHRAN_PASSWORD", password}});
    }
    json Json(const std::vector<std::string>& args) {
        std::vector<std::string> all = args;
        all.push_back("--json");
        const TCommandResult r = Admin(all);
        EXPECT_EQ(r.ExitCode, 0) << r.Err;
        return json::parse(r.Out, nullptr, false);
    }

    TTempFolder folder_;
    std::unique_ptr<TPeerProcess> server_;
};

TEST_F(ServerCommands, InfoLocalsWebsDatabasesStatusAndLog) {
    Start(SmallInstallation());

    const json info = Json({"info"});
    EXPECT_EQ(info["server_name"], "MAIN");
    EXPECT_EQ(info["center_name"], "کتابخانه مرکزي");
    ASSERT_EQ(info["databases"].size(), 2u);
    EXPECT_EQ(info["databases"][0],
              json::parse(
                  R"({"id":1,"number":7,"handle":100,"flags":1,"name":"SEVEN","text":"SEVEN-T"})"));

    const TCommandResult locals = Admin({"locals", "--json"});
    ASSERT_EQ(locals.ExitCode, 0) << locals.Err;
    EXPECT_NE(locals.Err.find("last_request_time"), std::string::npos)
        << "a warning names the field";
    const json l = json::parse(locals.Out)["connections"];
    ASSERT_EQ(l.size(), 2u);
    EXPECT_EQ(l[0]["status"], 131);
    EXPECT_EQ(l[0]["status_text"], "Replying request");
    EXPECT_EQ(l[0]["connect_time"], "2004-05-17T14:03:22");
    EXPECT_TRUE(l[0]["last_request_time"].is_null());
    const json& res = l[0]["results"];
    ASSERT_EQ(res.size(), 3u);
    EXPECT_EQ(
        res[0],
        json::parse(
            R"({"kind":5,"kind_text":"Search Result","db_handle":100,"db_name":"SEVEN","lifetime":32768,"description":"Active By Client"})"));
    EXPECT_EQ(res[1]["kind_text"], "Unknown");
    EXPECT_EQ(res[1]["db_name"], "");
    EXPECT_EQ(res[1]["description"], "");
    EXPECT_EQ(res[2]["db_name"], "UNKNOWN");
    EXPECT_EQ(res[2]["description"], "Permanent By Database");
    EXPECT_EQ(l[1]["user_name"], "سارا");
    EXPECT_EQ(l[1]["status_text"], "Captured DB Id 7");

    const json webs = Json({"webs"})["connections"];
    ASSERT_EQ(webs.size(), 2u);
    EXPECT_EQ(
        webs[0],
        json::parse(R"({"user_name":"web","user_id":5,"last_access_time":"2024-12-10T08:30:00"})"));

    const json dbs = Json({"databases"})["databases"];
    ASSERT_EQ(dbs.size(), 2u);
    EXPECT_EQ(dbs[0]["name"], "SEVEN");
    EXPECT_EQ(dbs[0]["status"], "Open");
    EXPECT_EQ(dbs[0]["childhood"], "Parent (ChildCount = 2)");
    EXPECT_EQ(dbs[0]["child_list"], "8 - UNKNOWN\r\n9 - UNKNOWN");
    EXPECT_EQ(dbs[0]["results"][0],
              json::parse(R"({"kind":2,"kind_text":"Database Record","user_name":"ALI"})"));
    EXPECT_EQ(dbs[1]["name"], "UNKNOWN");
    EXPECT_EQ(dbs[1]["status"], "Close");
    EXPECT_EQ(dbs[1]["childhood"], "Child");

    const json status = Json({"status"});
    EXPECT_EQ(status["counters"]["non_queued_db_requests"], 30000000);
    EXPECT_EQ(status["result_counts"].size(), 14u);
    ASSERT_EQ(status["lines"].size(), 24u);
    EXPECT_EQ(
        status["lines"][1],
        json::parse(
            R"j({"group":"Requests Statistics","caption":"None Queued DB Requests Count","value":" 30000000 ( 75%)"})j"));
    EXPECT_EQ(status["lines"][5]["value"], "Defined =   3, Currently Open =   2");
    EXPECT_EQ(status["lines"][9]["value"], "  3");

    EXPECT_EQ(Json({"error-log"})["text"], "first line\r\nsecond line\r\n");
    const TCommandResult plain = Admin({"error-log"});
    EXPECT_EQ(plain.Out, "first line\nsecond line\n");

    // Scripts rely on every key of every document: each object carries exactly these.
    const json errorLog = Json({"error-log"});
    using K = std::set<std::string>;
    const struct {
        const char* what;
        json object;
        K keys;
    } documents[] = {
        {"info", info, {"server_name", "center_name", "center_text", "security_kind", "databases"}},
        {"info database",
         info["databases"][0],
         {"id", "number", "handle", "flags", "name", "text"}},
        {"locals", json::parse(locals.Out), {"connections"}},
        {"local connection",
         l[0],
         {"user_name", "security_num", "status", "status_text", "requests_count", "async_requests",
          "results_count", "connect_time", "last_request_time", "capture_flags", "captured_db_id",
          "captured_text_bank_id", "results"}},
        {"local result",
         res[0],
         {"kind", "kind_text", "db_handle", "db_name", "lifetime", "description"}},
        {"webs", Json({"webs"}), {"connections"}},
        {"web connection", webs[0], {"user_name", "user_id", "last_access_time"}},
        {"databases", Json({"databases"}), {"databases"}},
        {"database",
         dbs[0],
         {"id", "name", "path", "status", "is_parent", "child_count", "childhood", "child_ids",
          "child_list", "res_count", "results"}},
        {"database result", dbs[0]["results"][0], {"kind", "kind_text", "user_name"}},
        {"status", status, {"counters", "result_counts", "lines"}},
        {"status counters",
         status["counters"],
         {"non_queued_db_requests", "queued_db_requests", "non_db_requests",
          "version_mismatched_requests", "child_dbs_defined", "child_dbs_open",
          "parent_dbs_defined", "parent_dbs_open", "client_count"}},
        {"status line", status["lines"][0], {"group", "caption", "value"}},
        {"error-log", errorLog, {"text"}},
    };
    for (const auto& d : documents) {
        SCOPED_TRACE(d.what);
        EXPECT_EQ(Keys(d.object), d.keys);
    }
    // The values behind the keys not asserted above.
    EXPECT_EQ(l[0]["security_num"], 11);
    EXPECT_EQ(l[0]["requests_count"], 5);
    EXPECT_EQ(l[0]["async_requests"], 1);
    EXPECT_EQ(l[0]["results_count"], 3);
    EXPECT_EQ(l[1]["capture_flags"], 3);
    EXPECT_EQ(l[1]["captured_db_id"], 7);
    EXPECT_EQ(l[1]["captured_text_bank_id"], 0);
    EXPECT_EQ(info["security_kind"], 0);
    EXPECT_EQ(info["center_text"], "Central");
    EXPECT_EQ(dbs[0]["child_ids"], json::parse("[8, 9]"));
    EXPECT_EQ(dbs[0]["is_parent"], true);
    EXPECT_EQ(dbs[0]["child_count"], 2);
    EXPECT_EQ(dbs[0]["res_count"], 1);
    EXPECT_EQ(dbs[0]["path"], "D:\\DB\\SEVEN");
}

TEST_F(ServerCommands, EmptyListsAreValidDocumentsAndHeaderOnlyTables) {
    json fixture = SmallInstallation();
    fixture.erase("local_connections");
    fixture.erase("web_connections");
    fixture.erase("database_view");
    Start(fixture);
    const struct {
        const char* command;
        const char* key;
        const char* header;
    } cases[] = {
        {"locals", "connections",
         "USER NAME  SECURITY NUM  STATUS  REQUESTS  ASYNC  RESULTS  CONNECT TIME  LAST REQUEST "
         "TIME\n"},
        {"webs", "connections", "USER NAME  USER ID  LAST ACCESS TIME\n"},
        {"databases", "databases", "ID  DATABASE NAME  STATUS  RESULTS  CHILDHOOD  PATH\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.command);
        const TCommandResult r = Admin({c.command, "--json"});
        EXPECT_EQ(r.ExitCode, 0) << r.Err;
        EXPECT_EQ(r.Out, std::string("{\n  \"") + c.key + "\": []\n}\n");
        const json doc = json::parse(r.Out, nullptr, false);
        EXPECT_EQ(doc, (json{{c.key, json::array()}}));
        const TCommandResult table = Admin({c.command});
        EXPECT_EQ(table.ExitCode, 0) << table.Err;
        EXPECT_EQ(table.Out, c.header);
    }
}

// A reply larger than the reply buffer's memory lies in a spill file: the table is made from
// three walks over it and the JSON from one, and each shows every record, in order.
TEST_F(ServerCommands, SpilledListsAreShownWholeAndInOrder) {
    json fixture = SmallInstallation();
    fixture.erase("local_connections");
    fixture["generate"] = {{"local_connections", 1500}, {"results_each", 60}};
    Start(fixture);

    // A program folder of the test's own, so that its TEMP folder is seen empty afterwards.
    const std::string bin = folder_.Path() + "bin/";
    std::filesystem::create_directories(bin + "TEMP");
    std::filesystem::copy_file(kAdmin, bin + "zephran-admin");

    const TCommandResult document = Admin({"locals", "--json"}, "secret", bin + "zephran-admin");
    ASSERT_EQ(document.ExitCode, 0) << document.Err;
    const json l = json::parse(document.Out)["connections"];
    ASSERT_EQ(l.size(), 1500u);
    for (std::size_t i : {std::size_t{0}, std::size_t{749}, std::size_t{1499}}) {
        EXPECT_EQ(l[i]["security_num"], 100000 + static_cast<int>(i));
        EXPECT_EQ(l[i]["results"].size(), 60u);
    }

    const TCommandResult table = Admin({"locals"}, "secret", bin + "zephran-admin");
    ASSERT_EQ(table.ExitCode, 0) << table.Err;
    const std::vector<std::string> lines = Lines(table.Out);
    // The header, 1500 rows, then per connection a blank line, its title and 61 lines.
    ASSERT_EQ(lines.size(), 1u + 1500u + 1500u * 63u);
    std::size_t width = lines[0].find("SECURITY NUM");
    for (std::size_t i = 0; i < 1500; ++i) {
        const std::string& row = lines[1 + i];
        ASSERT_EQ(row.substr(width, 6), std::to_string(100000 + i)) << row;
    }
    EXPECT_EQ(lines[1501], "");
    EXPECT_EQ(lines[1502].rfind("Result List of ", 0), 0u);
    EXPECT_NE(lines[1502].find("(100000)"), std::string::npos);
    EXPECT_NE(lines[lines.size() - 62].find("(101499)"), std::string::npos);
    EXPECT_EQ(lines[lines.size() - 61].rfind("KIND", 0), 0u);
    EXPECT_TRUE(std::filesystem::is_empty(bin + "TEMP")) << "the spill file is removed";
}

// A name from the server holding a terminal's control sequence (here one that retitles the
// terminal) is shown escaped wherever it is printed: tables, info lines, the warnings on
// standard error and the error log. --json escapes as JSON does.
TEST_F(ServerCommands, FarsiTextsOfEveryKindAreDecodedExactlyOnce) {
    // Each kind of server text, in the Arabic-script code page on the wire, comes out as the
    // same UTF-8 in both forms of output: neither left as the server's bytes nor decoded twice.
    const std::string db = "کتاب";
    const std::string path = "D:\\داده";
    const std::string user = "سارا";
    const std::string web = "وب";
    const std::string line = "خطاي پايگاه";
    json fixture = SmallInstallation();
    fixture["server_name"] = "سرور";
    fixture["database_list"]["databases"][0]["name"] = db;
    fixture["database_view"][0]["path"] = path;
    fixture["database_view"][0]["child_ids"] = json::array({7});
    fixture["database_view"][0]["results"][0]["user_name"] = user;
    fixture["web_connections"][0]["user_name"] = web;
    fixture["error_log"] = {{"lines", {line}}, {"line_end", "crlf"}};
    Start(fixture);

    const json info = Json({"info"});
    EXPECT_EQ(info["server_name"], "سرور");
    EXPECT_EQ(info["center_name"], "کتابخانه مرکزي");
    EXPECT_EQ(info["databases"][0]["name"], db);
    const json dbs = Json({"databases"})["databases"];
    ASSERT_EQ(dbs.size(), 2u);
    EXPECT_EQ(dbs[0]["name"], db);
    EXPECT_EQ(dbs[0]["path"], path);
    EXPECT_EQ(dbs[0]["child_list"], "7 - " + db);
    EXPECT_EQ(dbs[0]["results"][0]["user_name"], user);
    EXPECT_EQ(Json({"locals"})["connections"][0]["results"][0]["db_name"], db);
    EXPECT_EQ(Json({"webs"})["connections"][0]["user_name"], web);

    const struct {
        std::vector<std::string> args;
        std::vector<std::string> out; // each must appear in standard output
    } cases[] = {
        {{"info"}, {"Server Name: سرور\n", "Center Name: کتابخانه مرکزي\n"}},
        {{"databases"}, {"7 - " + db + "\n", path, user}},
        {{"locals"}, {db}},
        {{"webs"}, {web}},
        {{"error-log"}, {line + "\n"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[0]);
        const TCommandResult r = Admin(c.args);
        ASSERT_EQ(r.ExitCode, 0) << r.Err;
        for (const std::string& text : c.out)
            EXPECT_NE(r.Out.find(text), std::string::npos) << text << " in\n" << r.Out;
    }
}

TEST_F(ServerCommands, TextsFromTheServerNeverReachTheTerminalRaw) {
    const std::string title = "\x1b]0;pwned\x07";
    const std::string shown = "\\x1b]0;pwned\\x07";
    json fixture = SmallInstallation();
    fixture["server_name"] = "S" + title;
    fixture["center_name"] = "C\x1b[2J\x7f";
    fixture["database_list"]["databases"][0]["name"] = "D" + title;
    fixture["local_connections"][0]["user_name"] = "U" + title;
    fixture["local_connections"][1]["user_name"] = "V\r\nfake row";
    fixture["web_connections"][0]["user_name"] = "W" + title;
    fixture["web_connections"][1]["last_access_time"] = json::parse("[124, 0, 0, 0, 0, 0]");
    fixture["web_connections"][1]["user_name"] = "X" + title;
    fixture["database_view"][0]["path"] = "P" + title;
    fixture["database_view"][0]["results"][0]["user_name"] = "R" + title;
    fixture["error_log"] = {{"lines", {"L" + title, "lone\rCR", "tab\tkept"}},
                            {"line_end", "crlf"}};
    Start(fixture);

    const struct {
        std::vector<std::string> args;
        std::vector<std::string> out; // each must appear in standard output
        std::vector<std::string> err; // each must appear in standard error
    } cases[] = {
        {{"info"},
         {"Server Name: S" + shown + "\n", "Center Name: C\\x1b[2J\\x7f\n", "D" + shown},
         {}},
        {{"locals"},
         {"U" + shown, "Result List of U" + shown + " (11)", "V\\x0d\\x0afake row"},
         {"last_request_time of connection 1 (U" + shown + ")"}},
        {{"locals", "--json"}, {"U\\u001b]0;pwned\\u0007"}, {"(U" + shown + ")"}},
        {{"webs"}, {"W" + shown, "X" + shown}, {"(X" + shown + ")"}},
        {{"databases"}, {"P" + shown, "R" + shown, "7 - D" + shown + "\n", "ChildList:\n"}, {}},
        {{"error-log"}, {"L" + shown + "\nlone\\x0dCR\ntab\tkept\n"}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : ""));
        const TCommandResult r = Admin(c.args);
        EXPECT_EQ(r.ExitCode, 0) << r.Err;
        EXPECT_EQ(FirstRawControl(r.Out), -1) << r.Out;
        EXPECT_EQ(FirstRawControl(r.Err), -1) << r.Err;
        for (const std::string& text : c.out)
            EXPECT_NE(r.Out.find(text), std::string::npos) << text << "\n" << r.Out;
        for (const std::string& text : c.err)
            EXPECT_NE(r.Err.find(text), std::string::npos) << text << "\n" << r.Err;
        // A table is made from more than one walk over the list; each warning is given once.
        for (std::size_t at = r.Err.find("warning:"); at != std::string::npos;
             at = r.Err.find("warning:", at + 1))
            EXPECT_EQ(r.Err.find(r.Err.substr(at, r.Err.find('\n', at) - at), at + 1),
                      std::string::npos)
                << "given twice: " << r.Err;
    }
    EXPECT_EQ(Json({"locals"})["connections"][0]["user_name"], "U" + title)
        << "--json keeps the text, escaped as JSON";

    // A host name holding control characters is no host name: refused before any lookup,
    // with nothing of it echoed.
    const TCommandResult host = RunCommand(kAdmin, {"--tcp", "h" + title, "info"});
    EXPECT_EQ(host.ExitCode, 2);
    EXPECT_EQ(host.Err, "The server's address must be an IPv4 address or a host name.\n");
}

// Output that cannot be written fails the command with the system's reason: for a short
// output when it is flushed at the end, for a long one at its first failed write.
TEST_F(ServerCommands, OutputToAFullDeviceFails) {
    json fixture = SmallInstallation();
    fixture["local_connections"][0]["last_request_time"] = "2004-05-17 15:00:00"; // no warning
    fixture["generate"] = {{"local_connections", 300}, {"results_each", 5}};
    Start(fixture);
    const std::vector<std::vector<std::string>> cases = {
        {"databases"}, {"locals", "--json"}, {"locals"}, {"info", "--json"}, {"error-log"}};
    for (const auto& args : cases) {
        SCOPED_TRACE(args[0] + (args.size() > 1 ? " " + args[1] : ""));
        std::vector<std::string> all = {"-c", "exec \"$0\" \"$@\" > /dev/full", kAdmin, "--tcp",
                                        "127.0.0.1:" + std::to_string(server_->Port())};
        all.insert(all.end(), args.begin(), args.end());
        const TCommandResult r = RunCommand("/bin/sh", all, {{"ZEPHRAN_PASSWORD", "secret"}});
        EXPECT_EQ(r.ExitCode, 1);
        EXPECT_EQ(r.Err, "Could not write the output: No space left on device\n");
    }
}

TEST_F(ServerCommands, DeletesAndClearingAreSeenByTheNextRequest) {
    Start(SmallInstallation());
    EXPECT_EQ(Admin({"kill-local", "12", "سارا"}).ExitCode, 0)
        << "the name goes out in the server's code page";
    EXPECT_EQ(Json({"locals"})["connections"].size(), 1u);
    EXPECT_EQ(Admin({"kill-web", "6"}).ExitCode, 0);
    const json webs = Json({"webs"})["connections"];
    ASSERT_EQ(webs.size(), 1u);
    EXPECT_EQ(webs[0]["user_id"], 5);
    EXPECT_EQ(Admin({"clear-error-log"}).ExitCode, 0);
    EXPECT_EQ(Json({"error-log"})["text"], "");

    const TCommandResult gone = Admin({"kill-web", "6", "--english"});
    EXPECT_EQ(gone.ExitCode, 1);
    EXPECT_EQ(gone.Err, "Server Error Number 91\nUser not found.\n");
}

TEST_F(ServerCommands, FailuresAreToldAndExitWithOne) {
    struct Case {
        const char* name;
        const char* behaviour;
        std::vector<std::string> args;
        std::string password;
        std::string err;
    } cases[] = {
        {"wrong password",
         "{}",
         {"info"},
         "wrong",
         "Could not login to this server. Check administrator password.\n"},
        {"account busy",
         R"({"login": {"refuse": true, "busy": 1}})",
         {"info"},
         "secret",
         "Could not login to this server. Administrator account in this server is single entry and "
         "anotheruser is currently using it.\n"},
        {"version",
         R"({"version_refusal": {"major": 5, "minor": 10}})",
         {"info"},
         "secret",
         "You need client programs version 5.10 or higher to connect to this server!\n"},
        {"server error in Farsi",
         R"({"server_errors": [{"code": 368, "error": 92}]})",
         {"locals"},
         "secret",
         "خطاي شماره92 هنگام اجراي درخواست در \"سرور\"\nکلمه عبور اشتباه است.\n"},
        {"server error in English",
         R"({"server_errors": [{"code": 368, "error": 92}]})",
         {"locals", "--english"},
         "secret",
         "Server Error Number 92\nPassword is incorrect.\n"},
        {"peer closes mid-reply",
         R"({"close_mid_reply": [{"code": 372, "after_bytes": 300}]})",
         {"databases"},
         "secret",
         "Client Internal Error Number 269 (Request Execution Aborted).\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        json fixture = SmallInstallation();
        fixture["behaviour"] = json::parse(c.behaviour);
        Start(fixture);
        const TCommandResult r = Admin(c.args, c.password);
        EXPECT_EQ(r.ExitCode, 1);
        EXPECT_EQ(r.Err, c.err);
        EXPECT_EQ(r.Out, "");
        server_.reset();
    }
}

TEST_F(ServerCommands, SpilledReplyWithoutItsTempFolderFails) {
    json fixture = SmallInstallation();
    fixture["behaviour"] = json::parse(R"({"huge_replies": [{"code": 374, "bytes": 400000}]})");
    Start(fixture);
    // The program's folder without a TEMP folder beside it.
    const std::string lonely = folder_.Path() + "lonely/";
    std::filesystem::create_directory(lonely);
    std::filesystem::copy_file(kAdmin, lonely + "zephran-admin");
    const TCommandResult r = Admin({"error-log"}, "secret", lonely + "zephran-admin");
    EXPECT_EQ(r.ExitCode, 1);
    EXPECT_EQ(r.Err, "Client Internal Error Number 271 (Request Execution Aborted).\n");
    EXPECT_NE(ReadWholeFile(lonely + "TARVWEB.ERR").find("Could not make receive temporary file"),
              std::string::npos);

    // With the folder, the same reply is read whole and its spill file is gone afterwards.
    std::filesystem::create_directory(lonely + "TEMP");
    const TCommandResult ok = Admin({"error-log", "--json"}, "secret", lonely + "zephran-admin");
    ASSERT_EQ(ok.ExitCode, 0) << ok.Err;
    EXPECT_TRUE(std::filesystem::is_empty(lonely + "TEMP"));
}

TEST_F(ServerCommands, InvalidCommandLinesSendNothing) {
    Start(SmallInstallation());
    struct Case {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{"--spx", "12G4:1:4545", "info"}, "Invalid (non-hex) character in Network Number...\n"},
        {{"--spx", ":1:4545", "info"}, "Network Number is not Entered...\n"},
        {{"--spx", "1:1: 45", "info"}, "Invalid (non-hex) character in Socket Number...\n"},
        {{"--tcp", "127.0.0.1:99999", "info"}, "Port Number is not valid...\n"},
        {{"info"}, "The server commands need one of --tcp HOST[:PORT] or --spx NET:NODE:SOCKET.\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.err);
        const TCommandResult r = RunCommand(kAdmin, c.args, {{"ZEPHRAN_PASSWORD", "secret"}});
        EXPECT_EQ(r.ExitCode, 2);
        EXPECT_EQ(r.Err, c.err);
    }
    EXPECT_EQ(RunCommand(kAdmin, {"--tcp", "127.0.0.1", "kill-web"}).ExitCode, 2)
        << "USER_ID is required";
}

TEST_F(ServerCommands, PasswordFromAFile) {
    Start(SmallInstallation());
    const std::string file = folder_.Path() + "pw";
    std::ofstream(file) << "secret\r\nignored\n";
    const TCommandResult r =
        RunCommand(kAdmin, {"--password-file", file, "--tcp",
                            "localhost:" + std::to_string(server_->Port()), "info"});
    EXPECT_EQ(r.ExitCode, 0) << r.Err;
    EXPECT_NE(r.Out.find("Server Name: MAIN"), std::string::npos);
}

} // namespace
