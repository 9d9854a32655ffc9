// status: the server's counters, as the status window shows them.

#include "Commands.h"

#include "CliOutput.h"
#include "CommandSupport.h"
#include "ViewRules.h"

void WriteStatusMembers(TJsonWriter& out, const TServerStatusBlock& block) {
    out.Key("counters").BeginObject();
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
    for (const TStatusLine& l : ServerStatusLines(block)) {
        out.BeginObject();
        out.Key("group").String(l.Group);
        out.Key("caption").String(l.Caption);
        out.Key("value").String(l.Value);
        out.EndObject();
    }
    out.EndArray();
}

bool Status(TCliContext& ctx) {
    if (ctx.WatchSeconds > 0)
        return StatusWatch(ctx);
    TServerStatusBlock block;
    if (GetServerStatus(1, block) != TExchangeResult::Done)
        return false;
    if (ctx.Json) {
        TJsonWriter out;
        out.BeginObject();
        WriteStatusMembers(out, block);
        out.EndObject().Finish();
        return true;
    }
    std::string group;
    std::vector<std::vector<std::string>> rows;
    const auto flush = [&] {
        PrintTable(rows);
        rows.clear();
    };
    for (const TStatusLine& l : ServerStatusLines(block)) {
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
