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

#include <functional>
#include <iostream>
#include <new>

using nlohmann::json;

namespace {

std::string Text(const std::string& serverBytes) {
    return DecodeWin1256(serverBytes);
}

// A server date-time as "YYYY-MM-DDTHH:MM:SS", or null with a warning naming the field (the
// name is built only for the warning, and escaped: it holds a name from the server). The
// warning is given only when `warn` is set, so that a list walked twice warns once.
template <typename Field>
json TimeValue(const TServerDateTime& value, const Field& field, bool warn = true) {
    const auto decoded = DecodeServerDateTime(value);
    if (!decoded) {
        if (warn) {
            std::string message =
                "warning: " + EscapeControls(field()) + " is not a valid date and time (bytes";
            for (std::uint8_t b : value)
                message += ' ' + std::to_string(int{b});
            std::cerr << message << ")\n";
        }
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

// Walks a list reply (no data: no records); false when the walk ran out of memory (shown).
template <typename Record>
bool Walk(bool (*forEach)(TReplyBuffer*, std::uint16_t, const std::function<void(Record&)>&),
          const TListReply& reply, const std::function<void(Record&)>& each) {
    return !reply.Data || forEach(reply.Data.get(), reply.Count, each);
}

bool Info(TCliContext& ctx) {
    const TRequestDispatcher& d = *RequestDispatcher;
    TServerEntry& server = RequestDispatcher->Server(1);
    if (ctx.Json) {
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
        PrintJson({{"server_name", Text(server.ServerName)},
                   {"center_name", Text(server.CenterName)},
                   {"center_text", Text(server.CenterText)},
                   {"security_kind", server.SecurityKind},
                   {"databases", std::move(databases)}});
        return true;
    }
    Out("Server Name: " + EscapeControls(Text(server.ServerName)) + '\n');
    Out("Center Name: " + EscapeControls(Text(server.CenterName)) + '\n');
    Out("Center Text: " + EscapeControls(Text(server.CenterText)) + '\n');
    Out("Security Kind: " + std::to_string(int{server.SecurityKind}) + "\n\n");
    std::vector<std::vector<std::string>> rows = {
        {"ID", "NUMBER", "HANDLE", "FLAGS", "NAME", "TEXT"}};
    for (int i = 1; i <= d.DatabaseCount; ++i) {
        const TDatabaseEntry& e = RequestDispatcher->Database(i);
        rows.push_back({std::to_string(e.DatabaseId), std::to_string(e.Number),
                        std::to_string(e.Handle), std::to_string(e.Flags), Text(e.Name),
                        Text(e.Text)});
    }
    PrintTable(rows);
    return true;
}

// --- locals ---

// The warnings of a connection name it by its place and its user name.
std::string ConnectionField(const char* field, std::size_t n, const TLocConnInfo& c) {
    return std::string(field) + " of connection " + std::to_string(n + 1) + " (" +
           Text(c.UserName) + ")";
}

json LocalConnectionJson(const TLocConnInfo& c, std::size_t n) {
    json results = json::array();
    for (const TLocConnResult& r : c.Results)
        results.push_back({{"kind", r.Kind},
                           {"kind_text", ResultKindName(r.Kind)},
                           {"db_handle", r.DBHandle},
                           {"db_name", Text(ResultDatabaseName(1, r.DBHandle))},
                           {"lifetime", r.Lifetime},
                           {"description", LifetimeText(r.Lifetime)}});
    return {
        {"user_name", Text(c.UserName)},
        {"security_num", c.SecurityNum},
        {"status", c.Status},
        {"status_text", LocalConnStatusText(c)},
        {"requests_count", c.RequestsCount},
        {"async_requests", c.ASyncRequests},
        {"results_count", c.ResultsCount},
        {"connect_time",
         TimeValue(c.ConnectTime, [&] { return ConnectionField("connect_time", n, c); })},
        {"last_request_time",
         TimeValue(c.LastRequestTime, [&] { return ConnectionField("last_request_time", n, c); })},
        {"capture_flags", c.CaptureFlags},
        {"captured_db_id", c.CapturedDBId},
        {"captured_text_bank_id", c.CapturedTextBankId},
        {"results", std::move(results)}};
}

std::vector<std::string> LocalConnectionRow(const TLocConnInfo& c, std::size_t n, bool warn) {
    return {
        Text(c.UserName),
        std::to_string(c.SecurityNum),
        LocalConnStatusText(c),
        std::to_string(c.RequestsCount),
        std::to_string(c.ASyncRequests),
        std::to_string(c.ResultsCount),
        TimeText(TimeValue(
            c.ConnectTime, [&] { return ConnectionField("connect_time", n, c); }, warn)),
        TimeText(TimeValue(
            c.LastRequestTime, [&] { return ConnectionField("last_request_time", n, c); }, warn))};
}

bool Locals(TCliContext& ctx) {
    TListReply reply;
    if (FetchLocalConnList(1, reply) != kExchangeDone)
        return false;
    std::size_t n = 0;
    if (ctx.Json) {
        TJsonListWriter writer("connections");
        if (!Walk<TLocConnInfo>(ForEachLocalConn, reply, [&](TLocConnInfo& c) {
                if (!OutputFailed())
                    writer.Add(LocalConnectionJson(c, n));
                ++n;
            }))
            return false;
        writer.Finish();
        return true;
    }
    // Three walks: the column widths, the rows, then each connection's results.
    TTableLayout layout;
    const std::vector<std::string> header = {
        "USER NAME", "SECURITY NUM", "STATUS",       "REQUESTS",
        "ASYNC",     "RESULTS",      "CONNECT TIME", "LAST REQUEST TIME"};
    layout.Measure(header);
    if (!Walk<TLocConnInfo>(ForEachLocalConn, reply, [&](TLocConnInfo& c) {
            layout.Measure(LocalConnectionRow(c, n++, false));
        }))
        return false;
    layout.Print(header);
    n = 0;
    if (!Walk<TLocConnInfo>(ForEachLocalConn, reply, [&](TLocConnInfo& c) {
            if (!OutputFailed())
                layout.Print(LocalConnectionRow(c, n, true));
            ++n;
        }))
        return false;
    return Walk<TLocConnInfo>(ForEachLocalConn, reply, [&](TLocConnInfo& c) {
        if (c.Results.empty() || OutputFailed())
            return;
        Out("\nResult List of " + EscapeControls(Text(c.UserName)) + " (" +
            std::to_string(c.SecurityNum) + ")\n");
        std::vector<std::vector<std::string>> results = {{"KIND", "DATABASE", "DESCRIPTION"}};
        results.reserve(c.Results.size() + 1);
        for (const TLocConnResult& r : c.Results)
            results.push_back({ResultKindName(r.Kind), Text(ResultDatabaseName(1, r.DBHandle)),
                               LifetimeText(r.Lifetime)});
        PrintTable(results);
    });
}

// --- webs ---

json WebLastAccess(const TWebConnInfo& w, std::size_t n, bool warn) {
    return TimeValue(
        w.LastAccessTime,
        [&] {
            return "last_access_time of web connection " + std::to_string(n + 1) + " (" +
                   Text(w.UserName) + ")";
        },
        warn);
}

bool Webs(TCliContext& ctx) {
    TListReply reply;
    if (FetchWebConnList(1, reply) != kExchangeDone)
        return false;
    std::size_t n = 0;
    if (ctx.Json) {
        TJsonListWriter writer("connections");
        if (!Walk<TWebConnInfo>(ForEachWebConn, reply, [&](TWebConnInfo& w) {
                if (!OutputFailed())
                    writer.Add({{"user_name", Text(w.UserName)},
                                {"user_id", w.UserId},
                                {"last_access_time", WebLastAccess(w, n, true)}});
                ++n;
            }))
            return false;
        writer.Finish();
        return true;
    }
    const auto row = [&](const TWebConnInfo& w, bool warn) {
        return std::vector<std::string>{Text(w.UserName), std::to_string(w.UserId),
                                        TimeText(WebLastAccess(w, n++, warn))};
    };
    TTableLayout layout;
    const std::vector<std::string> header = {"USER NAME", "USER ID", "LAST ACCESS TIME"};
    layout.Measure(header);
    if (!Walk<TWebConnInfo>(ForEachWebConn, reply,
                            [&](TWebConnInfo& w) { layout.Measure(row(w, false)); }))
        return false;
    layout.Print(header);
    n = 0;
    return Walk<TWebConnInfo>(ForEachWebConn, reply, [&](TWebConnInfo& w) {
        if (!OutputFailed())
            layout.Print(row(w, true));
    });
}

// --- databases ---

json DatabaseJson(const TDBInfo& d) {
    json results = json::array();
    for (const TDBResult& r : d.Results)
        results.push_back({{"kind", r.Kind},
                           {"kind_text", ResultKindName(r.Kind)},
                           {"user_name", Text(r.UserName)}});
    return {{"id", d.Id},
            {"name", Text(DatabaseNameOfNumber(1, d.Id))},
            {"path", Text(d.Path)},
            {"status", OpenStateText(d.IsOpen)},
            {"is_parent", d.IsParent != 0},
            {"child_count", d.ChildCount},
            {"childhood", ChildhoodText(d.IsParent, d.ChildCount)},
            {"child_ids", d.ChildIds},
            {"child_list", Text(ChildListText(1, d.ChildIds))},
            {"res_count", d.ResCount},
            {"results", std::move(results)}};
}

std::vector<std::string> DatabaseRow(const TDBInfo& d) {
    return {std::to_string(d.Id),
            Text(DatabaseNameOfNumber(1, d.Id)),
            OpenStateText(d.IsOpen),
            std::to_string(d.ResCount),
            ChildhoodText(d.IsParent, d.ChildCount),
            Text(d.Path)};
}

// The child list with the platform's line ends: each of its lines escaped on its own (a CR
// left at the end by the cut to 250 characters is dropped).
std::string ChildListLines(const std::string& childList) {
    std::string out;
    std::size_t from = 0;
    for (;;) {
        const std::size_t at = childList.find("\r\n", from);
        std::string line = childList.substr(from, at == std::string::npos ? at : at - from);
        if (at == std::string::npos && !line.empty() && line.back() == '\r')
            line.pop_back();
        out += EscapeControls(line);
        if (at == std::string::npos)
            return out;
        out += '\n';
        from = at + 2;
    }
}

void PrintDatabaseDetails(const TDBInfo& d) {
    if (d.ChildCount == 0 && d.Results.empty())
        return;
    Out('\n' + std::to_string(d.Id) + " - " + EscapeControls(Text(DatabaseNameOfNumber(1, d.Id))) +
        '\n');
    if (d.ChildCount > 0)
        Out("ChildList:\n" + ChildListLines(Text(ChildListText(1, d.ChildIds))) + '\n');
    if (!d.Results.empty()) {
        std::vector<std::vector<std::string>> results = {{"KIND", "USER NAME"}};
        results.reserve(d.Results.size() + 1);
        for (const TDBResult& r : d.Results)
            results.push_back({ResultKindName(r.Kind), Text(r.UserName)});
        PrintTable(results);
    }
}

bool Databases(TCliContext& ctx) {
    TListReply reply;
    if (FetchDBList(1, reply) != kExchangeDone)
        return false;
    if (ctx.Json) {
        TJsonListWriter writer("databases");
        if (!Walk<TDBInfo>(ForEachDB, reply, [&](TDBInfo& d) {
                if (!OutputFailed())
                    writer.Add(DatabaseJson(d));
            }))
            return false;
        writer.Finish();
        return true;
    }
    // Three walks: the column widths, the rows, then each database's children and results.
    TTableLayout layout;
    const std::vector<std::string> header = {"ID",      "DATABASE NAME", "STATUS",
                                             "RESULTS", "CHILDHOOD",     "PATH"};
    layout.Measure(header);
    if (!Walk<TDBInfo>(ForEachDB, reply, [&](TDBInfo& d) { layout.Measure(DatabaseRow(d)); }))
        return false;
    layout.Print(header);
    if (!Walk<TDBInfo>(ForEachDB, reply, [&](TDBInfo& d) {
            if (!OutputFailed())
                layout.Print(DatabaseRow(d));
        }))
        return false;
    return Walk<TDBInfo>(ForEachDB, reply, [&](TDBInfo& d) {
        if (!OutputFailed())
            PrintDatabaseDetails(d);
    });
}

// --- status ---

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
                Out("\n");
            }
            group = l.Group;
            Out(EscapeControls(group) + '\n');
        }
        rows.push_back({"  " + l.Caption, l.Value});
    }
    flush();
    return true;
}

// --- error log ---

// The log is written in pieces, each decoded and escaped on its own, so that no more than
// the log itself and one piece are held.
constexpr std::size_t kLogPiece = 64 * 1024;

bool ErrorLog(TCliContext& ctx) {
    std::string text;
    if (ReadWholeServerErrorLog(1, text) != kExchangeDone)
        return false;
    if (ctx.Json) {
        // {"text": "..."} as PrintJson writes it: the string's escaped pieces between quotes.
        // Windows-1256 is one byte a character, so the log can be cut anywhere.
        Out("{\n  \"text\": \"");
        for (std::size_t at = 0; at < text.size() && !OutputFailed(); at += kLogPiece) {
            const std::string piece = json(Text(text.substr(at, kLogPiece)))
                                          .dump(-1, ' ', false, json::error_handler_t::replace);
            Out(std::string_view(piece).substr(1, piece.size() - 2));
        }
        Out("\"\n}\n");
        return true;
    }
    // The platform's line ends; every other control character escaped. A piece never ends
    // between the CR and the LF of a line end.
    for (std::size_t at = 0; at < text.size() && !OutputFailed();) {
        std::size_t length = std::min(kLogPiece, text.size() - at);
        if (text[at + length - 1] == '\r' && at + length < text.size())
            ++length;
        std::string piece;
        piece.reserve(length);
        for (std::size_t i = at; i < at + length; ++i) {
            if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
                continue; // the platform's line end
            piece.push_back(text[i]);
        }
        Out(EscapeControls(Text(piece), true));
        at += length;
    }
    return true;
}

void AddCommand(CLI::App& app, TCliContext& ctx, const char* name, const char* help,
                std::function<bool(TCliContext&)> work) {
    app.add_subcommand(name, help)->callback([&ctx, work] {
        RunSession(ctx, [&] {
            // Memory that runs out while the output is made fails the command, not the session.
            try {
                return work(ctx);
            } catch (const std::bad_alloc&) {
                ShowOutOfMemory();
                return false;
            }
        });
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
