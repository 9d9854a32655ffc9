#include "ServerCommands.h"

#include "CliOutput.h"
#include "ConnectLogin.h"
#include "ConsoleRequests.h"
#include "MessageDialogs.h"
#include "RequestDispatcher.h"
#include "ServerErrors.h"
#include "ServerSession.h"
#include "ViewRules.h"
#include "Win1256.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <iostream>

using nlohmann::json;

namespace {

std::string Text(const std::string& serverBytes) {
    return DecodeWin1256(serverBytes);
}

// A server date-time as "YYYY-MM-DDTHH:MM:SS", or null with a warning naming the field.
json TimeValue(const TServerDateTime& value, const std::string& field) {
    const auto decoded = DecodeServerDateTime(value);
    if (!decoded) {
        std::cerr << "warning: " << field << " is not a valid date and time (bytes";
        for (std::uint8_t b : value)
            std::cerr << ' ' << int{b};
        std::cerr << ")\n";
        return nullptr;
    }
    return FormatIsoDateTime(*decoded);
}

std::string TimeText(const json& value) {
    if (value.is_null())
        return "invalid";
    std::string s = value.get<std::string>();
    s[10] = ' ';
    for (char& c : s)
        if (c == '-')
            c = '/';
    return s;
}

bool Confirm(const std::string& question) {
    return ShowMessageDialog(question, TMsgDlgType::mtConfirmation,
                             {TMsgDlgBtn::mbYes, TMsgDlgBtn::mbNo, TMsgDlgBtn::mbCancel}) ==
           TMsgDlgBtn::mbYes;
}

bool Info(TCliContext& ctx) {
    const TRequestDispatcher& d = *RequestDispatcher;
    TServerEntry& server = RequestDispatcher->Server(1);
    json databases = json::array();
    for (int i = 1; i <= d.DatabaseCount; ++i) {
        const TDatabaseEntry& e = RequestDispatcher->Database(i);
        databases.push_back({{"id", e.DatabaseId},
                             {"number", e.Number},
                             {"handle", e.Handle},
                             {"flags", e.Flags},
                             {"name", Text(e.Name)},
                             {"text", Text(e.Text)}});
    }
    json doc = {{"server_name", Text(server.ServerName)},
                {"center_name", Text(server.CenterName)},
                {"center_text", Text(server.CenterText)},
                {"security_kind", server.SecurityKind},
                {"databases", databases}};
    if (ctx.Json) {
        PrintJson(doc);
        return true;
    }
    std::cout << "Server Name: " << doc["server_name"].get<std::string>() << '\n'
              << "Center Name: " << doc["center_name"].get<std::string>() << '\n'
              << "Center Text: " << doc["center_text"].get<std::string>() << '\n'
              << "Security Kind: " << int{server.SecurityKind} << "\n\n";
    std::vector<std::vector<std::string>> rows = {
        {"ID", "NUMBER", "HANDLE", "FLAGS", "NAME", "TEXT"}};
    for (const json& db : databases)
        rows.push_back(
            {std::to_string(db["id"].get<int>()), std::to_string(db["number"].get<int>()),
             std::to_string(db["handle"].get<int>()), std::to_string(db["flags"].get<int>()),
             db["name"].get<std::string>(), db["text"].get<std::string>()});
    PrintTable(rows);
    return true;
}

json LocalConnectionJson(const TLocConnInfo& c, std::size_t n) {
    const std::string where = "connection " + std::to_string(n + 1) + " (" + Text(c.UserName) + ")";
    json results = json::array();
    for (const TLocConnResult& r : c.Results)
        results.push_back({{"kind", r.Kind},
                           {"kind_text", ResultKindName(r.Kind)},
                           {"db_handle", r.DBHandle},
                           {"db_name", Text(ResultDatabaseName(1, r.DBHandle))},
                           {"lifetime", r.Lifetime},
                           {"description", LifetimeText(r.Lifetime)}});
    return {{"user_name", Text(c.UserName)},
            {"security_num", c.SecurityNum},
            {"status", c.Status},
            {"status_text", LocalConnStatusText(c)},
            {"requests_count", c.RequestsCount},
            {"async_requests", c.ASyncRequests},
            {"results_count", c.ResultsCount},
            {"connect_time", TimeValue(c.ConnectTime, "connect_time of " + where)},
            {"last_request_time", TimeValue(c.LastRequestTime, "last_request_time of " + where)},
            {"capture_flags", c.CaptureFlags},
            {"captured_db_id", c.CapturedDBId},
            {"captured_text_bank_id", c.CapturedTextBankId},
            {"results", std::move(results)}};
}

// A list of many records is written one record at a time, so that the output never holds
// the whole document in memory.
template <typename List, typename ToJson>
void StreamJsonList(const char* key, const List& list, ToJson toJson) {
    std::string out = std::string("{\n  \"") + key + "\": [";
    for (std::size_t n = 0; n < list.size(); ++n) {
        out += n == 0 ? "\n    " : ",\n    ";
        for (char c : toJson(list[n], n).dump(2, ' ', false, json::error_handler_t::replace)) {
            out.push_back(c);
            if (c == '\n')
                out += "    ";
        }
        std::cout << out;
        out.clear();
    }
    std::cout << (list.empty() ? "]\n}\n" : "\n  ]\n}\n");
}

bool Locals(TCliContext& ctx) {
    TLocConnList list;
    if (GetLocalConnList(1, list) != kExchangeDone)
        return false;
    if (ctx.Json) {
        StreamJsonList("connections", list, LocalConnectionJson);
        return true;
    }
    std::vector<std::vector<std::string>> rows = {{"USER NAME", "SECURITY NUM", "STATUS",
                                                   "REQUESTS", "ASYNC", "RESULTS", "CONNECT TIME",
                                                   "LAST REQUEST TIME"}};
    for (std::size_t n = 0; n < list.size(); ++n) {
        const json c = LocalConnectionJson(list[n], n);
        rows.push_back({c["user_name"].get<std::string>(),
                        std::to_string(c["security_num"].get<std::int32_t>()),
                        c["status_text"].get<std::string>(),
                        std::to_string(c["requests_count"].get<std::int32_t>()),
                        std::to_string(c["async_requests"].get<int>()),
                        std::to_string(c["results_count"].get<int>()), TimeText(c["connect_time"]),
                        TimeText(c["last_request_time"])});
    }
    PrintTable(rows);
    for (std::size_t n = 0; n < list.size(); ++n) {
        const TLocConnInfo& c = list[n];
        if (c.Results.empty())
            continue;
        std::cout << "\nResult List of " << Text(c.UserName) << " (" << c.SecurityNum << ")\n";
        std::vector<std::vector<std::string>> results = {{"KIND", "DATABASE", "DESCRIPTION"}};
        for (const TLocConnResult& r : c.Results)
            results.push_back({ResultKindName(r.Kind), Text(ResultDatabaseName(1, r.DBHandle)),
                               LifetimeText(r.Lifetime)});
        PrintTable(results);
    }
    return true;
}

bool Webs(TCliContext& ctx) {
    TWebConnList list;
    if (GetWebConnList(1, list) != kExchangeDone)
        return false;
    json connections = json::array();
    for (std::size_t n = 0; n < list.size(); ++n) {
        const TWebConnInfo& w = list[n];
        connections.push_back({{"user_name", Text(w.UserName)},
                               {"user_id", w.UserId},
                               {"last_access_time",
                                TimeValue(w.LastAccessTime, "last_access_time of web connection " +
                                                                std::to_string(n + 1) + " (" +
                                                                Text(w.UserName) + ")")}});
    }
    if (ctx.Json) {
        PrintJson({{"connections", connections}});
        return true;
    }
    std::vector<std::vector<std::string>> rows = {{"USER NAME", "USER ID", "LAST ACCESS TIME"}};
    for (const json& w : connections)
        rows.push_back({w["user_name"].get<std::string>(),
                        std::to_string(w["user_id"].get<std::int32_t>()),
                        TimeText(w["last_access_time"])});
    PrintTable(rows);
    return true;
}

bool Databases(TCliContext& ctx) {
    TDBList list;
    if (GetDBList(1, list) != kExchangeDone)
        return false;
    json databases = json::array();
    for (const TDBInfo& d : list) {
        json results = json::array();
        for (const TDBResult& r : d.Results)
            results.push_back({{"kind", r.Kind},
                               {"kind_text", ResultKindName(r.Kind)},
                               {"user_name", Text(r.UserName)}});
        databases.push_back({{"id", d.Id},
                             {"name", Text(DatabaseNameOfNumber(1, d.Id))},
                             {"path", Text(d.Path)},
                             {"status", OpenStateText(d.IsOpen)},
                             {"is_parent", d.IsParent != 0},
                             {"child_count", d.ChildCount},
                             {"childhood", ChildhoodText(d.IsParent, d.ChildCount)},
                             {"child_ids", d.ChildIds},
                             {"child_list", Text(ChildListText(1, d.ChildIds))},
                             {"res_count", d.ResCount},
                             {"results", std::move(results)}});
    }
    ReleaseDBList(list);
    if (ctx.Json) {
        PrintJson({{"databases", databases}});
        return true;
    }
    std::vector<std::vector<std::string>> rows = {
        {"ID", "DATABASE NAME", "STATUS", "RESULTS", "CHILDHOOD", "PATH"}};
    for (const json& d : databases)
        rows.push_back({std::to_string(d["id"].get<int>()), d["name"].get<std::string>(),
                        d["status"].get<std::string>(), std::to_string(d["res_count"].get<int>()),
                        d["childhood"].get<std::string>(), d["path"].get<std::string>()});
    PrintTable(rows);
    for (const json& d : databases) {
        if (d["child_count"].get<int>() == 0 && d["results"].empty())
            continue;
        std::cout << '\n' << d["id"].get<int>() << " - " << d["name"].get<std::string>() << '\n';
        if (d["child_count"].get<int>() > 0) {
            std::string children = d["child_list"].get<std::string>();
            std::string line;
            for (char c : children) {
                if (c == '\r')
                    continue;
                line += c;
            }
            std::cout << "ChildList:\n" << line << '\n';
        }
        if (!d["results"].empty()) {
            std::vector<std::vector<std::string>> results = {{"KIND", "USER NAME"}};
            for (const json& r : d["results"])
                results.push_back(
                    {r["kind_text"].get<std::string>(), r["user_name"].get<std::string>()});
            PrintTable(results);
        }
    }
    return true;
}

bool Status(TCliContext& ctx) {
    TServerStatusBlock block;
    if (GetServerStatus(1, block) != kExchangeDone)
        return false;
    const std::vector<TStatusLine> lines = ServerStatusLines(block);
    if (ctx.Json) {
        json jl = json::array();
        for (const TStatusLine& l : lines)
            jl.push_back({{"group", l.Group}, {"caption", l.Caption}, {"value", l.Value}});
        PrintJson({{"counters",
                    {{"non_queued_db_requests", block.NonQueuedDBRequests},
                     {"queued_db_requests", block.QueuedDBRequests},
                     {"non_db_requests", block.NonDBRequests},
                     {"version_mismatched_requests", block.VersionMismatchedRequests},
                     {"child_dbs_defined", block.ChildDBsDefined},
                     {"child_dbs_open", block.ChildDBsOpen},
                     {"parent_dbs_defined", block.ParentDBsDefined},
                     {"parent_dbs_open", block.ParentDBsOpen},
                     {"client_count", block.ClientCount}}},
                   {"result_counts", block.ResultCounts},
                   {"lines", jl}});
        return true;
    }
    std::string group;
    std::vector<std::vector<std::string>> rows;
    const auto flush = [&] {
        PrintTable(rows);
        rows.clear();
    };
    for (const TStatusLine& l : lines) {
        if (l.Group != group) {
            if (!group.empty()) {
                flush();
                std::cout << '\n';
            }
            group = l.Group;
            std::cout << group << '\n';
        }
        rows.push_back({"  " + l.Caption, l.Value});
    }
    flush();
    return true;
}

bool ErrorLog(TCliContext& ctx) {
    std::string text;
    if (ReadWholeServerErrorLog(1, text) != kExchangeDone)
        return false;
    const std::string decoded = Text(text);
    if (ctx.Json) {
        PrintJson({{"text", decoded}});
        return true;
    }
    std::string out;
    out.reserve(decoded.size());
    for (std::size_t i = 0; i < decoded.size(); ++i) {
        if (decoded[i] == '\r' && i + 1 < decoded.size() && decoded[i + 1] == '\n')
            continue; // the platform's line end
        out.push_back(decoded[i]);
    }
    std::cout << out;
    return true;
}

void AddCommand(CLI::App& app, TCliContext& ctx, const char* name, const char* help,
                std::function<bool(TCliContext&)> work) {
    app.add_subcommand(name, help)->callback([&ctx, work] {
        RunSession(ctx, [&] { return work(ctx); });
    });
}

} // namespace

void AddServerCommands(CLI::App& app, TCliContext& ctx) {
    AddCommand(app, ctx, "info", "the server's names and its database table", Info);
    AddCommand(app, ctx, "locals", "the local connections with their results", Locals);
    AddCommand(app, ctx, "webs", "the web connections", Webs);
    AddCommand(app, ctx, "databases", "the databases with their children and results", Databases);
    AddCommand(app, ctx, "status", "the server's counters", Status);
    AddCommand(app, ctx, "error-log", "the whole server error log", ErrorLog);
    AddCommand(app, ctx, "clear-error-log", "clear the server's error log", [](TCliContext&) {
        return !Confirm("Are you sure to clear error log?") ||
               ClearServerErrorLog(1) == kExchangeDone;
    });

    static std::int32_t securityNum = 0;
    static std::string userName;
    CLI::App* killLocal = app.add_subcommand("kill-local", "delete a local connection");
    killLocal->add_option("SECURITY_NUM", securityNum, "the connection's security number")
        ->required();
    killLocal->add_option("USER_NAME", userName, "the connection's user name")->required();
    killLocal->callback([&ctx] {
        RunSession(ctx, [] {
            return !Confirm("Are you sure about deleting connection?") ||
                   DeleteLocalConn(1, EncodeWin1256(userName), securityNum) == kExchangeDone;
        });
    });

    static std::int32_t userId = 0;
    CLI::App* killWeb = app.add_subcommand("kill-web", "delete a web connection");
    killWeb->add_option("USER_ID", userId, "the connection's user id")->required();
    killWeb->callback([&ctx] {
        RunSession(ctx, [] {
            return !Confirm("Are you sure about deleting connection?") ||
                   DeleteWebConn(1, userId) == kExchangeDone;
        });
    });
}
