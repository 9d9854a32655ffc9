// webs: the web connections.

#include "Commands.h"

#include "CliOutput.h"
#include "CommandSupport.h"

namespace {

std::optional<std::string> WebLastAccess(const TWebConnInfo& w, std::size_t n, bool warn) {
    return TimeValue(
        w.LastAccessTime,
        [&] {
            return "last_access_time of web connection " + std::to_string(n + 1) + " (" +
                   Text(w.UserName) + ")";
        },
        warn);
}

} // namespace

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
    TTableLayout layout({"USER NAME", "USER ID", "LAST ACCESS TIME"});
    if (!Walk<TWebConnInfo>(ForEachWebConn, reply,
                            [&](TWebConnInfo& w) { layout.Measure(row(w, false)); }))
        return false;
    layout.PrintHeader();
    n = 0;
    return Walk<TWebConnInfo>(ForEachWebConn, reply, [&](TWebConnInfo& w) {
        if (!OutputFailed())
            layout.Print(row(w, true));
    });
}
