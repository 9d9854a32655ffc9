// databases: the databases with their children and results.

#include "Commands.h"

#include "CliOutput.h"
#include "CommandSupport.h"
#include "ViewRules.h"

namespace {

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

} // namespace

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
