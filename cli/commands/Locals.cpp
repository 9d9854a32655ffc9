// locals: the local connections with their results.

#include "Commands.h"

#include "CliOutput.h"
#include "CommandSupport.h"
#include "ViewRules.h"

namespace {

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

} // namespace

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
    TTableLayout layout({"USER NAME", "SECURITY NUM", "STATUS", "REQUESTS", "ASYNC", "RESULTS",
                         "CONNECT TIME", "LAST REQUEST TIME"});
    if (!Walk<TLocConnInfo>(ForEachLocalConn, reply, [&](TLocConnInfo& c) {
            layout.Measure(LocalConnectionRow(c, n++, false));
        }))
        return false;
    layout.PrintHeader();
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
