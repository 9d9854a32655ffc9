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

#include <functional>
#include <iostream>
#include <new>
#include <optional>

namespace {

std::string Text(const std::string& serverBytes) {
    return DecodeWin1256(serverBytes);
}

// A server date-time as "YYYY-MM-DDTHH:MM:SS", or null with a warning naming the field (the
// name is built only for the warning, and escaped: it holds a name from the server). The
// warning is given only when `warn` is set, so that a list walked twice warns once.
template <typename Field>
std::optional<std::string> TimeValue(const TServerDateTime& value, const Field& field,
                                     bool warn = true) {
    const auto decoded = DecodeServerDateTime(value);
    if (!decoded) {
        if (warn) {
            std::string message =
                "warning: " + EscapeControls(field()) + " is not a valid date and time (bytes";
            for (std::uint8_t b : value)
                message += ' ' + std::to_string(int{b});
            std::cerr << message << ")\n";
        }
        return std::nullopt;
    }
    return FormatIsoDateTime(*decoded);
}

void WriteTime(TJsonWriter& out, const std::optional<std::string>& value) {
    if (value)
        out.String(*value);
    else
        out.Null();
}

std::string TimeText(const std::optional<std::string>& value) {
    if (!value)
        return "invalid";
    std::string s = *value;
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
        TJsonWriter out;
        out.BeginObject();
        out.Key("server_name").String(Text(server.ServerName));
        out.Key("center_name").String(Text(server.CenterName));
        out.Key("center_text").String(Text(server.CenterText));
        out.Key("security_kind").Number(server.SecurityKind);
        out.Key("databases").BeginArray();
        for (int i = 1; i <= d.DatabaseCount; ++i) {
            const TDatabaseEntry& e = RequestDispatcher->Database(i);
            out.BeginObject();
            out.Key("id").Number(e.DatabaseId);
            out.Key("number").Number(e.Number);
            out.Key("handle").Number(e.Handle);
            out.Key("flags").Number(e.Flags);
            out.Key("name").String(Text(e.Name));
            out.Key("text").String(Text(e.Text));
            out.EndObject();
        }
        out.EndArray().EndObject().Finish();
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

void WriteLocalConnection(TJsonWriter& out, const TLocConnInfo& c, std::size_t n) {
    out.BeginObject();
    out.Key("user_name").String(Text(c.UserName));
    out.Key("security_num").Number(c.SecurityNum);
    out.Key("status").Number(c.Status);
    out.Key("status_text").String(LocalConnStatusText(c));
    out.Key("requests_count").Number(c.RequestsCount);
    out.Key("async_requests").Number(c.ASyncRequests);
    out.Key("results_count").Number(c.ResultsCount);
    out.Key("connect_time");
    WriteTime(out, TimeValue(c.ConnectTime, [&] { return ConnectionField("connect_time", n, c); }));
    out.Key("last_request_time");
    WriteTime(out, TimeValue(c.LastRequestTime,
                             [&] { return ConnectionField("last_request_time", n, c); }));
    out.Key("capture_flags").Number(c.CaptureFlags);
    out.Key("captured_db_id").Number(c.CapturedDBId);
    out.Key("captured_text_bank_id").Number(c.CapturedTextBankId);
    out.Key("results").BeginArray();
    for (const TLocConnResult& r : c.Results) {
        out.BeginObject();
        out.Key("kind").Number(r.Kind);
        out.Key("kind_text").String(ResultKindName(r.Kind));
        out.Key("db_handle").Number(r.DBHandle);
        out.Key("db_name").String(Text(ResultDatabaseName(1, r.DBHandle)));
        out.Key("lifetime").Number(r.Lifetime);
        out.Key("description").String(LifetimeText(r.Lifetime));
        out.EndObject();
    }
    out.EndArray().EndObject();
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
    if (FetchLocalConnList(1, reply) != TExchangeResult::Done)
        return false;
    std::size_t n = 0;
    if (ctx.Json) {
        TJsonWriter out;
        out.BeginObject().Key("connections").BeginArray();
        if (!Walk<TLocConnInfo>(ForEachLocalConn, reply, [&](TLocConnInfo& c) {
                if (!OutputFailed())
                    WriteLocalConnection(out, c, n);
                ++n;
            }))
            return false;
        out.EndArray().EndObject().Finish();
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

std::optional<std::string> WebLastAccess(const TWebConnInfo& w, std::size_t n, bool warn) {
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
    if (FetchWebConnList(1, reply) != TExchangeResult::Done)
        return false;
    std::size_t n = 0;
    if (ctx.Json) {
        TJsonWriter out;
        out.BeginObject().Key("connections").BeginArray();
        if (!Walk<TWebConnInfo>(ForEachWebConn, reply, [&](TWebConnInfo& w) {
                if (!OutputFailed()) {
                    out.BeginObject();
                    out.Key("user_name").String(Text(w.UserName));
                    out.Key("user_id").Number(w.UserId);
                    out.Key("last_access_time");
                    WriteTime(out, WebLastAccess(w, n, true));
                    out.EndObject();
                }
                ++n;
            }))
            return false;
        out.EndArray().EndObject().Finish();
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

void WriteDatabase(TJsonWriter& out, const TDBInfo& d) {
    out.BeginObject();
    out.Key("id").Number(d.Id);
    out.Key("name").String(Text(DatabaseNameOfNumber(1, d.Id)));
    out.Key("path").String(Text(d.Path));
    out.Key("status").String(OpenStateText(d.IsOpen));
    out.Key("is_parent").Bool(d.IsParent != 0);
    out.Key("child_count").Number(d.ChildCount);
    out.Key("childhood").String(ChildhoodText(d.IsParent, d.ChildCount));
    out.Key("child_ids").BeginArray();
    for (std::uint16_t id : d.ChildIds)
        out.Number(id);
    out.EndArray();
    out.Key("child_list").String(Text(ChildListText(1, d.ChildIds)));
    out.Key("res_count").Number(d.ResCount);
    out.Key("results").BeginArray();
    for (const TDBResult& r : d.Results) {
        out.BeginObject();
        out.Key("kind").Number(r.Kind);
        out.Key("kind_text").String(ResultKindName(r.Kind));
        out.Key("user_name").String(Text(r.UserName));
        out.EndObject();
    }
    out.EndArray().EndObject();
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
    if (FetchDBList(1, reply) != TExchangeResult::Done)
        return false;
    if (ctx.Json) {
        TJsonWriter out;
        out.BeginObject().Key("databases").BeginArray();
        if (!Walk<TDBInfo>(ForEachDB, reply, [&](TDBInfo& d) {
                if (!OutputFailed())
                    WriteDatabase(out, d);
            }))
            return false;
        out.EndArray().EndObject().Finish();
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
    if (GetServerStatus(1, block) != TExchangeResult::Done)
        return false;
    const std::vector<TStatusLine> lines = ServerStatusLines(block);
    if (ctx.Json) {
        TJsonWriter out;
        out.BeginObject().Key("counters").BeginObject();
        out.Key("non_queued_db_requests").Number(block.NonQueuedDBRequests);
        out.Key("queued_db_requests").Number(block.QueuedDBRequests);
        out.Key("non_db_requests").Number(block.NonDBRequests);
        out.Key("version_mismatched_requests").Number(block.VersionMismatchedRequests);
        out.Key("child_dbs_defined").Number(block.ChildDBsDefined);
        out.Key("child_dbs_open").Number(block.ChildDBsOpen);
        out.Key("parent_dbs_defined").Number(block.ParentDBsDefined);
        out.Key("parent_dbs_open").Number(block.ParentDBsOpen);
        out.Key("client_count").Number(block.ClientCount);
        out.EndObject();
        out.Key("result_counts").BeginArray();
        for (std::uint16_t count : block.ResultCounts)
            out.Number(count);
        out.EndArray();
        out.Key("lines").BeginArray();
        for (const TStatusLine& l : lines) {
            out.BeginObject();
            out.Key("group").String(l.Group);
            out.Key("caption").String(l.Caption);
            out.Key("value").String(l.Value);
            out.EndObject();
        }
        out.EndArray().EndObject().Finish();
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
    if (ReadWholeServerErrorLog(1, text) != TExchangeResult::Done)
        return false;
    if (ctx.Json) {
        // {"text": "..."}: the string's escaped pieces between its quotes. Windows-1256 is
        // one byte a character, so the log can be cut anywhere.
        Out("{\n  \"text\": \"");
        std::string piece;
        for (std::size_t at = 0; at < text.size() && !OutputFailed(); at += kLogPiece) {
            piece.clear();
            AppendJsonString(piece, Text(text.substr(at, kLogPiece)));
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
               ClearServerErrorLog(1) == TExchangeResult::Done;
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
                   DeleteLocalConn(1, EncodeWin1256(userName), securityNum) ==
                       TExchangeResult::Done;
        });
    });

    static std::int32_t userId = 0;
    CLI::App* killWeb = app.add_subcommand("kill-web", "delete a web connection");
    killWeb->add_option("USER_ID", userId, "the connection's user id")->required();
    killWeb->callback([&ctx] {
        RunSession(ctx, [] {
            return !Confirm("Are you sure about deleting connection?") ||
                   DeleteWebConn(1, userId) == TExchangeResult::Done;
        });
    });
}
