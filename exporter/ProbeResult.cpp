#include "ProbeResult.h"

#include "Win1256.h"

#include <nlohmann/json.hpp>

using nlohmann::json;

std::string EncodeProbeResult(const TProbeResult& r) {
    json j;
    j["up"] = r.Up;
    j["error"] = r.Error;
    j["log_error"] = r.LogError;
    j["server_name"] = r.ServerName;
    j["centre_name"] = r.CentreName;
    const TProbeStatus& s = r.Status;
    j["status"] = {{"non_queued_db", s.NonQueuedDBRequests},
                   {"queued_db", s.QueuedDBRequests},
                   {"non_db", s.NonDBRequests},
                   {"version_mismatched", s.VersionMismatchedRequests},
                   {"child_defined", s.ChildDBsDefined},
                   {"child_open", s.ChildDBsOpen},
                   {"parent_defined", s.ParentDBsDefined},
                   {"parent_open", s.ParentDBsOpen},
                   {"clients", s.ClientCount},
                   {"results", s.ResultCounts}};
    if (r.Connections)
        j["connections"] = {{"local", r.Connections->Local},
                            {"web", r.Connections->Web},
                            {"results", r.Connections->ResultsByKind}};
    return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::optional<TProbeResult> DecodeProbeResult(const std::string& text) {
    try {
        const json j = json::parse(text);
        TProbeResult r;
        r.Up = j.at("up").get<bool>();
        r.Error = j.at("error").get<std::string>();
        r.LogError = j.at("log_error").get<std::string>();
        r.ServerName = j.at("server_name").get<std::string>();
        r.CentreName = j.at("centre_name").get<std::string>();
        const json& s = j.at("status");
        r.Status.NonQueuedDBRequests = s.at("non_queued_db").get<std::uint32_t>();
        r.Status.QueuedDBRequests = s.at("queued_db").get<std::uint32_t>();
        r.Status.NonDBRequests = s.at("non_db").get<std::uint32_t>();
        r.Status.VersionMismatchedRequests = s.at("version_mismatched").get<std::uint32_t>();
        r.Status.ChildDBsDefined = s.at("child_defined").get<std::uint16_t>();
        r.Status.ChildDBsOpen = s.at("child_open").get<std::uint16_t>();
        r.Status.ParentDBsDefined = s.at("parent_defined").get<std::uint16_t>();
        r.Status.ParentDBsOpen = s.at("parent_open").get<std::uint16_t>();
        r.Status.ClientCount = s.at("clients").get<std::uint16_t>();
        r.Status.ResultCounts = s.at("results").get<std::array<std::uint16_t, 14>>();
        if (j.contains("connections")) {
            const json& c = j.at("connections");
            TProbeConnections connections;
            connections.Local = c.at("local").get<std::uint32_t>();
            connections.Web = c.at("web").get<std::uint32_t>();
            connections.ResultsByKind = c.at("results").get<std::array<std::uint32_t, 15>>();
            r.Connections = connections;
        }
        return r;
    } catch (const json::exception&) {
        return std::nullopt;
    }
}

std::string OneLine(const std::string& text, std::size_t limit) {
    std::string out;
    std::size_t pos = 0;
    std::size_t count = 0;
    bool blank = false;
    while (pos < text.size() && count < limit) {
        char32_t cp = NextUtf8CodePoint(text, pos);
        if (cp == U'\r' || cp == U'\n' || cp == U'\t' || cp == U' ') {
            blank = !out.empty();
            continue;
        }
        if (cp < 0x20 || (cp >= 0x7F && cp < 0xA0) || cp == 0x2028 || cp == 0x2029)
            cp = 0xFFFD;
        if (blank) {
            out.push_back(' ');
            ++count;
            blank = false;
        }
        AppendUtf8(out, cp);
        ++count;
    }
    return out;
}
