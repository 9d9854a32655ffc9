#include "Fixture.h"

#include "Cp1256.h"
#include "Wire.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <fstream>
#include <initializer_list>
#include <limits>
#include <sstream>

namespace testserver {
namespace {

using nlohmann::json;

[[noreturn]] void Fail(const std::string& where, const std::string& what) {
    throw FixtureError(where + ": " + what);
}

std::string Sub(const std::string& where, const std::string& key) {
    return where.empty() ? key : where + "." + key;
}
std::string Sub(const std::string& where, std::size_t index) {
    return where + "[" + std::to_string(index) + "]";
}

const json& RequireObject(const json& j, const std::string& where) {
    if (!j.is_object())
        Fail(where, "must be an object");
    return j;
}

const json& RequireArray(const json& j, const std::string& where) {
    if (!j.is_array())
        Fail(where, "must be an array");
    return j;
}

// Every key of an object must be one the fixture knows, so that a misspelt key is not
// silently ignored.
void CheckKeys(const json& j, const std::string& where, std::initializer_list<const char*> keys) {
    RequireObject(j, where);
    for (auto it = j.begin(); it != j.end(); ++it) {
        bool known = false;
        for (const char* k : keys)
            known = known || it.key() == k;
        if (!known)
            Fail(Sub(where, it.key()), "unknown key");
    }
}

std::int64_t Integer(const json& v, const std::string& where, std::int64_t lo, std::int64_t hi) {
    if (!v.is_number_integer())
        Fail(where, "must be an integer");
    std::int64_t n = 0;
    if (v.is_number_unsigned()) {
        const auto u = v.get<std::uint64_t>();
        if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
            Fail(where, "out of range");
        n = static_cast<std::int64_t>(u);
    } else {
        n = v.get<std::int64_t>();
    }
    if (n < lo || n > hi)
        Fail(where, "must lie between " + std::to_string(lo) + " and " + std::to_string(hi));
    return n;
}

template <typename T>
T Num(const json& obj, const char* key, const std::string& where, T fallback) {
    if (!obj.contains(key))
        return fallback;
    return static_cast<T>(Integer(obj.at(key), Sub(where, key), std::numeric_limits<T>::min(),
                                  static_cast<std::int64_t>(std::numeric_limits<T>::max())));
}

template <typename T>
std::optional<T> OptNum(const json& obj, const char* key, const std::string& where) {
    if (!obj.contains(key))
        return std::nullopt;
    return Num<T>(obj, key, where, T{});
}

template <typename T> T ReqNum(const json& obj, const char* key, const std::string& where) {
    if (!obj.contains(key))
        Fail(Sub(where, key), "missing");
    return Num<T>(obj, key, where, T{});
}

bool Bool(const json& obj, const char* key, const std::string& where, bool fallback) {
    if (!obj.contains(key))
        return fallback;
    if (!obj.at(key).is_boolean())
        Fail(Sub(where, key), "must be true or false");
    return obj.at(key).get<bool>();
}

std::string Encode(const json& v, const std::string& where) {
    if (!v.is_string())
        Fail(where, "must be a string");
    std::string out, bad;
    if (!EncodeCp1256(v.get<std::string>(), out, bad))
        Fail(where, bad);
    return out;
}

// A text given as UTF-8 under `key`, or as raw bytes in hexadecimal under `key`_hex.
std::string Text(const json& obj, const std::string& key, const std::string& where,
                 const std::string& fallback = {}) {
    const std::string hex_key = key + "_hex";
    if (obj.contains(key) && obj.contains(hex_key))
        Fail(Sub(where, key), "given both as text and as hex");
    if (obj.contains(hex_key)) {
        const json& v = obj.at(hex_key);
        std::string out;
        if (!v.is_string() || !FromHex(v.get<std::string>(), out))
            Fail(Sub(where, hex_key), "must be a string of hexadecimal byte pairs");
        return out;
    }
    if (obj.contains(key))
        return Encode(obj.at(key), Sub(where, key));
    return fallback;
}

ServerTime MakeTime(int year, int month, int day, int hour, int minute, int second) {
    return ServerTime{static_cast<std::uint8_t>(year - 1900), static_cast<std::uint8_t>(month - 1),
                      static_cast<std::uint8_t>(day),         static_cast<std::uint8_t>(hour),
                      static_cast<std::uint8_t>(minute),      static_cast<std::uint8_t>(second)};
}

// "YYYY-MM-DD HH:MM:SS", or six raw bytes as an array (for dates that are not valid).
ServerTime Time(const json& obj, const char* key, const std::string& where) {
    if (!obj.contains(key))
        return MakeTime(2004, 1, 1, 0, 0, 0);
    const json& v = obj.at(key);
    const std::string w = Sub(where, key);
    ServerTime t{};
    if (v.is_array()) {
        if (v.size() != 6)
            Fail(w, "a raw time has exactly six bytes");
        for (std::size_t i = 0; i < 6; ++i)
            t[i] = static_cast<std::uint8_t>(Integer(v[i], Sub(w, i), 0, 255));
        return t;
    }
    if (!v.is_string())
        Fail(w, "must be \"YYYY-MM-DD HH:MM:SS\" or an array of six bytes");
    const std::string s = v.get<std::string>();
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, se = 0;
    char tail = 0;
    if (s.size() != 19 ||
        std::sscanf(s.c_str(), "%4d-%2d-%2d %2d:%2d:%2d%c", &y, &mo, &d, &h, &mi, &se, &tail) != 6)
        Fail(w, "must be \"YYYY-MM-DD HH:MM:SS\"");
    if (y < 1900 || y > 2155 || mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 ||
        se > 59)
        Fail(w, "not a valid date and time (give six raw bytes for that)");
    return MakeTime(y, mo, d, h, mi, se);
}

DatabaseListItem ParseListItem(const json& j, const std::string& w) {
    CheckKeys(j, w, {"handle", "number", "flags", "text", "text_hex", "name", "name_hex"});
    DatabaseListItem item;
    item.handle = ReqNum<std::uint16_t>(j, "handle", w);
    item.number = ReqNum<std::uint16_t>(j, "number", w);
    item.flags = Num<std::uint8_t>(j, "flags", w, 0);
    item.text = Text(j, "text", w);
    item.name = Text(j, "name", w);
    return item;
}

std::vector<DatabaseListItem> ParseList(const json& j, const std::string& w) {
    std::vector<DatabaseListItem> out;
    RequireArray(j, w);
    for (std::size_t i = 0; i < j.size(); ++i)
        out.push_back(ParseListItem(j[i], Sub(w, i)));
    if (out.size() > 65535)
        Fail(w, "more databases than a reply can count");
    return out;
}

LocalConnection ParseLocal(const json& j, const std::string& w) {
    CheckKeys(j, w,
              {"user_name", "user_name_hex", "security_num", "status", "requests_count",
               "async_requests", "connect_time", "last_request_time", "capture_flags",
               "captured_db_id", "captured_text_bank_id", "results"});
    LocalConnection c;
    c.user_name = Text(j, "user_name", w);
    c.security_num = ReqNum<std::int32_t>(j, "security_num", w);
    c.status = Num<std::uint8_t>(j, "status", w, 0);
    c.requests_count = Num<std::int32_t>(j, "requests_count", w, 0);
    c.async_requests = Num<std::uint16_t>(j, "async_requests", w, 0);
    c.connect_time = Time(j, "connect_time", w);
    c.last_request_time = Time(j, "last_request_time", w);
    c.capture_flags = Num<std::uint16_t>(j, "capture_flags", w, 0);
    c.captured_db_id = Num<std::uint16_t>(j, "captured_db_id", w, 0);
    c.captured_text_bank_id = Num<std::uint16_t>(j, "captured_text_bank_id", w, 0);
    if (j.contains("results")) {
        const std::string rw = Sub(w, "results");
        const json& rs = RequireArray(j.at("results"), rw);
        for (std::size_t i = 0; i < rs.size(); ++i) {
            const std::string ew = Sub(rw, i);
            CheckKeys(rs[i], ew, {"kind", "db_handle", "lifetime"});
            LocalResult r;
            r.kind = ReqNum<std::uint8_t>(rs[i], "kind", ew);
            r.db_handle = ReqNum<std::uint16_t>(rs[i], "db_handle", ew);
            r.lifetime = Num<std::uint16_t>(rs[i], "lifetime", ew, 0);
            c.results.push_back(r);
        }
        if (c.results.size() > 65535)
            Fail(rw, "more results than the record can count");
    }
    return c;
}

WebConnection ParseWeb(const json& j, const std::string& w) {
    CheckKeys(j, w, {"user_name", "user_name_hex", "user_id", "last_access_time"});
    WebConnection c;
    c.user_name = Text(j, "user_name", w);
    c.user_id = ReqNum<std::int32_t>(j, "user_id", w);
    c.last_access_time = Time(j, "last_access_time", w);
    return c;
}

DatabaseInfo ParseInfo(const json& j, const std::string& w) {
    CheckKeys(j, w, {"id", "path", "path_hex", "open", "parent", "child_ids", "results"});
    DatabaseInfo d;
    d.id = ReqNum<std::uint16_t>(j, "id", w);
    d.path = Text(j, "path", w);
    d.is_open = Bool(j, "open", w, true) ? 1 : 0;
    d.is_parent = Bool(j, "parent", w, false) ? 1 : 0;
    if (j.contains("child_ids")) {
        const std::string cw = Sub(w, "child_ids");
        const json& cs = RequireArray(j.at("child_ids"), cw);
        for (std::size_t i = 0; i < cs.size(); ++i)
            d.child_ids.push_back(static_cast<std::uint16_t>(Integer(cs[i], Sub(cw, i), 0, 65535)));
        if (d.child_ids.size() > 255)
            Fail(cw, "more child ids than the record can count (255)");
    }
    if (j.contains("results")) {
        const std::string rw = Sub(w, "results");
        const json& rs = RequireArray(j.at("results"), rw);
        for (std::size_t i = 0; i < rs.size(); ++i) {
            const std::string ew = Sub(rw, i);
            CheckKeys(rs[i], ew, {"kind", "user_name", "user_name_hex"});
            DatabaseResult r;
            r.kind = ReqNum<std::uint8_t>(rs[i], "kind", ew);
            r.user_name = Text(rs[i], "user_name", ew);
            d.results.push_back(r);
        }
        if (d.results.size() > 65535)
            Fail(rw, "more results than the record can count");
    }
    return d;
}

StatusFields ParseStatus(const json& j, const std::string& w) {
    CheckKeys(j, w,
              {"non_queued_db_requests", "queued_db_requests", "non_db_requests",
               "version_mismatched_requests", "child_dbs_defined", "child_dbs_open",
               "parent_dbs_defined", "parent_dbs_open", "client_count", "result_counts",
               "growth_per_minute"});
    StatusFields s;
    s.non_queued_db_requests = OptNum<std::int32_t>(j, "non_queued_db_requests", w);
    s.queued_db_requests = OptNum<std::int32_t>(j, "queued_db_requests", w);
    s.non_db_requests = OptNum<std::int32_t>(j, "non_db_requests", w);
    s.version_mismatched_requests = OptNum<std::int32_t>(j, "version_mismatched_requests", w);
    s.child_dbs_defined = OptNum<std::uint16_t>(j, "child_dbs_defined", w);
    s.child_dbs_open = OptNum<std::uint16_t>(j, "child_dbs_open", w);
    s.parent_dbs_defined = OptNum<std::uint16_t>(j, "parent_dbs_defined", w);
    s.parent_dbs_open = OptNum<std::uint16_t>(j, "parent_dbs_open", w);
    s.client_count = OptNum<std::uint16_t>(j, "client_count", w);
    if (j.contains("result_counts")) {
        const std::string rw = Sub(w, "result_counts");
        const json& rc = RequireArray(j.at("result_counts"), rw);
        if (rc.size() != 14)
            Fail(rw, "must hold 14 counters, one per result kind");
        std::array<std::uint16_t, 14> counts{};
        for (std::size_t i = 0; i < 14; ++i)
            counts[i] = static_cast<std::uint16_t>(Integer(rc[i], Sub(rw, i), 0, 65535));
        s.result_counts = counts;
    }
    if (j.contains("growth_per_minute")) {
        const std::string gw = Sub(w, "growth_per_minute");
        const json& g = j.at("growth_per_minute");
        CheckKeys(g, gw,
                  {"non_queued_db_requests", "queued_db_requests", "non_db_requests",
                   "version_mismatched_requests"});
        constexpr std::uint32_t kFastest = 100000000;
        std::array<std::uint32_t, 4> growth{};
        const char* const names[4] = {"non_queued_db_requests", "queued_db_requests",
                                      "non_db_requests", "version_mismatched_requests"};
        for (std::size_t i = 0; i < 4; ++i)
            if (g.contains(names[i]))
                growth[i] = static_cast<std::uint32_t>(
                    Integer(g.at(names[i]), Sub(gw, names[i]), 0, kFastest));
        s.growth_per_minute = growth;
    }
    return s;
}

// A small deterministic generator, so that generated data is the same on every run.
struct Lcg {
    std::uint32_t state;
    std::uint32_t Next() {
        state = state * 1664525u + 1013904223u;
        return state >> 8;
    }
    std::uint32_t Below(std::uint32_t n) { return n == 0 ? 0 : Next() % n; }
};

constexpr const char* kGivenNames[] = {"ALI",   "MARYAM", "REZA",  "ZAHRA",  "HOSSEIN", "FATEMEH",
                                       "MEHDI", "SARA",   "AMIR",  "NEGAR",  "HAMID",   "LEILA",
                                       "SAEED", "MINA",   "NADER", "SHIRIN", "KAVEH",   "PARISA"};
constexpr const char* kFamilyNames[] = {"RAHIMI",  "KARIMI",  "AHMADI", "HOSSEINI", "MOUSAVI",
                                        "JAFARI",  "SADEGHI", "REZAEI", "MORADI",   "TEHRANI",
                                        "SHARIFI", "NOURI",   "SALEHI", "BAGHERI"};

std::string PersonName(std::uint32_t n) {
    constexpr std::size_t g = std::size(kGivenNames), f = std::size(kFamilyNames);
    return std::string(kGivenNames[n % g]) + "." + kFamilyNames[(n / g) % f];
}

ServerTime TimeFromSeconds(std::uint32_t seconds_since_base) {
    // Base: 2004-05-15 08:00:00; days kept within May and June.
    std::uint32_t s = seconds_since_base + 8 * 3600;
    const std::uint32_t day = (s / 86400 + 14) % 61;
    s %= 86400;
    const int month = day < 31 ? 5 : 6;
    const int dom = static_cast<int>(day < 31 ? day + 1 : day - 30);
    return MakeTime(2004, month, dom, static_cast<int>(s / 3600), static_cast<int>((s / 60) % 60),
                    static_cast<int>(s % 60));
}

void GenerateLocals(Fixture& f, std::uint32_t count, std::uint32_t results_each) {
    Lcg rng{12345};
    std::vector<std::uint16_t> handles;
    for (const auto& d : f.databases)
        handles.push_back(d.handle);
    if (handles.empty())
        handles = {1, 2, 3};
    constexpr std::uint16_t kLifetimes[] = {0x8000, 0x4000, 0x0000, 0x8000, 0x0010};
    for (std::uint32_t i = 0; i < count; ++i) {
        LocalConnection c;
        c.user_name = PersonName(i) + std::to_string(i);
        c.security_num = static_cast<std::int32_t>(100000 + i);
        c.status = static_cast<std::uint8_t>(rng.Below(5));
        c.requests_count = static_cast<std::int32_t>(rng.Below(200000));
        c.async_requests = static_cast<std::uint16_t>(rng.Below(40));
        const std::uint32_t start = rng.Below(40 * 86400);
        c.connect_time = TimeFromSeconds(start);
        c.last_request_time = TimeFromSeconds(start + rng.Below(86400));
        c.results.reserve(results_each);
        for (std::uint32_t r = 0; r < results_each; ++r)
            c.results.push_back(
                LocalResult{static_cast<std::uint8_t>(rng.Below(14)),
                            handles[rng.Below(static_cast<std::uint32_t>(handles.size()))],
                            kLifetimes[rng.Below(5)]});
        f.local_connections.push_back(std::move(c));
    }
}

void GenerateWebs(Fixture& f, std::uint32_t count) {
    Lcg rng{777};
    for (std::uint32_t i = 0; i < count; ++i) {
        WebConnection w;
        w.user_name = "WEB." + PersonName(i * 7 + 3);
        w.user_id = static_cast<std::int32_t>(900000 + i);
        w.last_access_time = TimeFromSeconds(rng.Below(40 * 86400));
        f.web_connections.push_back(std::move(w));
    }
}

constexpr const char* kLogTemplates[] = {
    "Client %s (ConnId %u) disconnected: receive time-out.",
    "Request %u of client %s failed: server error %u.",
    "Database \"%s\" opened by client %s.",
    "Result slot %u of client %s released (lifetime expired).",
    "Web user %s logged in from gateway, session %u.",
    "Database \"%s\" locked for dictionary update by %s.",
    "Could not open append file of database \"%s\" (error %u).",
    "Client %s deleted from client list by ADMINISTRATOR.",
};

bool IsAsciiWord(const std::string& s) {
    bool ok = !s.empty();
    for (const char c : s)
        ok = ok && static_cast<unsigned char>(c) > 0x20 && static_cast<unsigned char>(c) < 0x80;
    return ok;
}

// A database as the log names it: its short text or its name when plain ASCII.
std::string DatabaseLabel(const Fixture& f, std::uint32_t n) {
    if (!f.databases.empty()) {
        const DatabaseListItem& d = f.databases[n % f.databases.size()];
        if (IsAsciiWord(d.text))
            return d.text;
        if (IsAsciiWord(d.name))
            return d.name;
    }
    return "DB" + std::to_string(n % 10 + 1);
}

std::string LogLine(const Fixture& f, Lcg& rng, std::uint32_t index) {
    char when[32];
    const ServerTime t = TimeFromSeconds(index * 37 + rng.Below(30));
    std::snprintf(when, sizeof when, "%04d/%02d/%02d %02d:%02d:%02d", t[0] + 1900, t[1] + 1, t[2],
                  t[3], t[4], t[5]);
    const std::string who = PersonName(rng.Below(200));
    const std::string db = DatabaseLabel(f, rng.Below(50));
    char msg[256];
    const std::uint32_t a = rng.Below(4000) + 1;
    constexpr std::uint16_t kErrors[] = {8, 22, 30, 64, 110, 112, 116, 118, 143, 193};
    const std::uint32_t e = kErrors[rng.Below(std::size(kErrors))];
    switch (rng.Below(std::size(kLogTemplates))) {
    case 0:
        std::snprintf(msg, sizeof msg, kLogTemplates[0], who.c_str(), a);
        break;
    case 1:
        std::snprintf(msg, sizeof msg, kLogTemplates[1], a, who.c_str(), e);
        break;
    case 2:
        std::snprintf(msg, sizeof msg, kLogTemplates[2], db.c_str(), who.c_str());
        break;
    case 3:
        std::snprintf(msg, sizeof msg, kLogTemplates[3], a % 500, who.c_str());
        break;
    case 4:
        std::snprintf(msg, sizeof msg, kLogTemplates[4], who.c_str(), a);
        break;
    case 5:
        std::snprintf(msg, sizeof msg, kLogTemplates[5], db.c_str(), who.c_str());
        break;
    case 6:
        std::snprintf(msg, sizeof msg, kLogTemplates[6], db.c_str(), e);
        break;
    default:
        std::snprintf(msg, sizeof msg, kLogTemplates[7], who.c_str());
        break;
    }
    return std::string(when) + "  " + msg;
}

// Appends generated lines until `lines` lines were added or the log reaches `bytes` bytes
// (then cut to exactly that size).
void GenerateLog(Fixture& f, std::uint64_t lines, std::uint64_t bytes, const std::string& eol) {
    Lcg rng{4242};
    std::uint32_t index = 0;
    if (lines > 0)
        for (std::uint64_t i = 0; i < lines; ++i)
            f.error_log += LogLine(f, rng, index++) + eol;
    if (bytes > 0) {
        while (f.error_log.size() < bytes)
            f.error_log += LogLine(f, rng, index++) + eol;
        f.error_log.resize(bytes);
    }
}

void ParseErrorLog(Fixture& f, const json& j, const std::string& w) {
    if (j.is_string()) {
        f.error_log = Encode(j, w);
        return;
    }
    CheckKeys(j, w, {"text", "text_hex", "lines", "line_end", "generate_lines", "generate_bytes"});
    std::string eol = "\r\n";
    if (j.contains("line_end")) {
        const json& le = j.at("line_end");
        if (le == "crlf")
            eol = "\r\n";
        else if (le == "lf")
            eol = "\n";
        else
            Fail(Sub(w, "line_end"), "must be \"crlf\" or \"lf\"");
    }
    f.error_log = Text(j, "text", w);
    if (j.contains("lines")) {
        const std::string lw = Sub(w, "lines");
        const json& ls = RequireArray(j.at("lines"), lw);
        for (std::size_t i = 0; i < ls.size(); ++i)
            f.error_log += Encode(ls[i], Sub(lw, i)) + eol;
    }
    const auto lines = Num<std::uint32_t>(j, "generate_lines", w, 0);
    const auto bytes = Num<std::uint32_t>(j, "generate_bytes", w, 0);
    GenerateLog(f, lines, bytes, eol);
}

void ParseBehaviour(Behaviour& b, const json& j, const std::string& w) {
    CheckKeys(j, w,
              {"login", "version_refusal", "empty_security_reply", "server_errors", "list_changed",
               "delays_ms", "close_mid_reply", "huge_replies", "raw_replies"});
    if (j.contains("login")) {
        const std::string lw = Sub(w, "login");
        const json& l = j.at("login");
        CheckKeys(l, lw, {"refuse", "busy", "single_entry"});
        b.login_refused = Bool(l, "refuse", lw, false);
        b.login_busy = Num<std::uint16_t>(l, "busy", lw, 0);
        b.single_entry = Bool(l, "single_entry", lw, false);
    }
    if (j.contains("version_refusal")) {
        const std::string vw = Sub(w, "version_refusal");
        const json& v = j.at("version_refusal");
        CheckKeys(v, vw, {"major", "minor"});
        const auto major = ReqNum<std::uint8_t>(v, "major", vw);
        const auto minor = ReqNum<std::uint8_t>(v, "minor", vw);
        b.version_required = static_cast<std::uint16_t>(major << 8 | minor);
    }
    b.empty_security_reply = Bool(j, "empty_security_reply", w, false);
    if (j.contains("server_errors")) {
        const std::string sw = Sub(w, "server_errors");
        const json& rs = RequireArray(j.at("server_errors"), sw);
        for (std::size_t i = 0; i < rs.size(); ++i) {
            const std::string ew = Sub(sw, i);
            CheckKeys(rs[i], ew, {"code", "error", "times"});
            b.server_errors.push_back({ReqNum<std::uint16_t>(rs[i], "code", ew),
                                       ReqNum<std::uint16_t>(rs[i], "error", ew),
                                       Num<std::uint32_t>(rs[i], "times", ew, 0)});
        }
    }
    if (j.contains("list_changed")) {
        const std::string lw = Sub(w, "list_changed");
        const json& l = j.at("list_changed");
        CheckKeys(l, lw, {"mode", "on_code", "stamp", "databases"});
        if (!l.contains("mode") || !(l.at("mode") == "once" || l.at("mode") == "always"))
            Fail(Sub(lw, "mode"), "must be \"once\" or \"always\"");
        b.list_changed = l.at("mode") == "once" ? ListChangedMode::Once : ListChangedMode::Always;
        b.list_changed_on = Num<std::uint16_t>(l, "on_code", lw, 0);
        if (b.list_changed == ListChangedMode::Once) {
            b.list_changed_stamp = ReqNum<std::uint16_t>(l, "stamp", lw);
            if (l.contains("databases"))
                b.list_changed_databases = ParseList(l.at("databases"), Sub(lw, "databases"));
        }
    }
    if (j.contains("delays_ms")) {
        const std::string dw = Sub(w, "delays_ms");
        const json& d = RequireObject(j.at("delays_ms"), dw);
        for (auto it = d.begin(); it != d.end(); ++it) {
            const std::string kw = Sub(dw, it.key());
            unsigned code = 0;
            char tail = 0;
            if (std::sscanf(it.key().c_str(), "%u%c", &code, &tail) != 1 || code > 65535)
                Fail(kw, "the key must be a request code");
            b.delays_ms[static_cast<std::uint16_t>(code)] =
                static_cast<std::uint32_t>(Integer(it.value(), kw, 0, 600000));
        }
    }
    if (j.contains("close_mid_reply")) {
        const std::string cw = Sub(w, "close_mid_reply");
        const json& cs = RequireArray(j.at("close_mid_reply"), cw);
        for (std::size_t i = 0; i < cs.size(); ++i) {
            const std::string ew = Sub(cw, i);
            CheckKeys(cs[i], ew, {"code", "after_packets", "after_bytes"});
            CloseRule r;
            r.code = ReqNum<std::uint16_t>(cs[i], "code", ew);
            r.after_packets = OptNum<std::uint32_t>(cs[i], "after_packets", ew);
            r.after_bytes = OptNum<std::uint32_t>(cs[i], "after_bytes", ew);
            if (r.after_packets.has_value() == r.after_bytes.has_value())
                Fail(ew, "give exactly one of after_packets and after_bytes");
            b.close_mid_reply.push_back(r);
        }
    }
    if (j.contains("huge_replies")) {
        const std::string hw = Sub(w, "huge_replies");
        const json& hs = RequireArray(j.at("huge_replies"), hw);
        for (std::size_t i = 0; i < hs.size(); ++i) {
            const std::string ew = Sub(hw, i);
            CheckKeys(hs[i], ew, {"code", "bytes", "results_each"});
            HugeReplyRule r;
            r.code = ReqNum<std::uint16_t>(hs[i], "code", ew);
            r.bytes = ReqNum<std::uint32_t>(hs[i], "bytes", ew);
            if (r.bytes == 0 || r.bytes > kMaxReplyBytes)
                Fail(Sub(ew, "bytes"), "must lie between 1 and " + std::to_string(kMaxReplyBytes) +
                                           " (65535 packets)");
            r.results_each = Num<std::uint16_t>(hs[i], "results_each", ew, 500);
            b.huge_replies.push_back(r);
        }
    }
    if (j.contains("raw_replies")) {
        const std::string rw = Sub(w, "raw_replies");
        const json& rs = RequireArray(j.at("raw_replies"), rw);
        for (std::size_t i = 0; i < rs.size(); ++i) {
            const std::string ew = Sub(rw, i);
            CheckKeys(rs[i], ew,
                      {"code", "reply_code", "value", "param", "param2", "data_hex", "data_length",
                       "packet_count"});
            RawReplyRule r;
            r.code = ReqNum<std::uint16_t>(rs[i], "code", ew);
            r.reply_code = Num<std::uint16_t>(rs[i], "reply_code", ew, 0);
            r.value = Num<std::uint16_t>(rs[i], "value", ew, 0);
            r.param = Num<std::uint32_t>(rs[i], "param", ew, 0);
            r.param2 = Num<std::uint16_t>(rs[i], "param2", ew, 0);
            r.data = Text(rs[i], "data", ew);
            r.data_length = OptNum<std::uint32_t>(rs[i], "data_length", ew);
            r.packet_count = OptNum<std::uint16_t>(rs[i], "packet_count", ew);
            b.raw_replies.push_back(r);
        }
    }
}

void ParseErrors(ErrorNumbers& e, const json& j, const std::string& w) {
    CheckKeys(j, w,
              {"not_logged_in", "security_check", "unknown_request", "bad_request", "not_found",
               "wrong_connection"});
    e.not_logged_in = Num<std::uint16_t>(j, "not_logged_in", w, e.not_logged_in);
    e.security_check = Num<std::uint16_t>(j, "security_check", w, e.security_check);
    e.unknown_request = Num<std::uint16_t>(j, "unknown_request", w, e.unknown_request);
    e.bad_request = Num<std::uint16_t>(j, "bad_request", w, e.bad_request);
    e.not_found = Num<std::uint16_t>(j, "not_found", w, e.not_found);
    e.wrong_connection = Num<std::uint16_t>(j, "wrong_connection", w, e.wrong_connection);
}

} // namespace

Fixture ParseFixture(const std::string& json_text) {
    json root;
    try {
        root = json::parse(json_text);
    } catch (const json::parse_error& e) {
        throw FixtureError(std::string("not valid JSON: ") + e.what());
    }
    const std::string w;
    CheckKeys(root, "fixture",
              {"description",
               "administrator_password",
               "administrator_password_hex",
               "center_name",
               "center_name_hex",
               "center_text",
               "center_text_hex",
               "server_name",
               "server_name_hex",
               "security",
               "server_tag",
               "login_tag",
               "first_connection_id",
               "database_list",
               "local_connections",
               "web_connections",
               "database_view",
               "status",
               "error_log",
               "generate",
               "errors",
               "behaviour"});
    Fixture f;
    f.administrator_password = Text(root, "administrator_password", w);
    f.center_name = Text(root, "center_name", w);
    f.center_text = Text(root, "center_text", w);
    f.server_name = Text(root, "server_name", w);
    if (root.contains("security")) {
        const json& s = root.at("security");
        CheckKeys(s, "security", {"flag", "kind", "byte", "word"});
        f.security_flag = Num<std::uint16_t>(s, "flag", "security", 1);
        f.security_kind = Num<std::uint8_t>(s, "kind", "security", 0);
        f.security_byte = Num<std::uint8_t>(s, "byte", "security", 0);
        f.security_word = Num<std::uint16_t>(s, "word", "security", 0);
    }
    f.server_tag = Num<std::uint8_t>(root, "server_tag", w, 1);
    f.login_tag = Num<std::uint8_t>(root, "login_tag", w, 1);
    f.first_connection_id = Num<std::uint32_t>(root, "first_connection_id", w, 1);
    if (root.contains("database_list")) {
        const json& l = root.at("database_list");
        CheckKeys(l, "database_list", {"stamp", "databases"});
        f.list_stamp = Num<std::uint16_t>(l, "stamp", "database_list", 1);
        if (l.contains("databases"))
            f.databases = ParseList(l.at("databases"), "database_list.databases");
    }
    if (root.contains("local_connections")) {
        const json& ls = RequireArray(root.at("local_connections"), "local_connections");
        for (std::size_t i = 0; i < ls.size(); ++i)
            f.local_connections.push_back(ParseLocal(ls[i], Sub("local_connections", i)));
    }
    if (root.contains("web_connections")) {
        const json& ws = RequireArray(root.at("web_connections"), "web_connections");
        for (std::size_t i = 0; i < ws.size(); ++i)
            f.web_connections.push_back(ParseWeb(ws[i], Sub("web_connections", i)));
    }
    if (root.contains("database_view")) {
        const json& ds = RequireArray(root.at("database_view"), "database_view");
        for (std::size_t i = 0; i < ds.size(); ++i)
            f.database_view.push_back(ParseInfo(ds[i], Sub("database_view", i)));
    }
    if (root.contains("status"))
        f.status = ParseStatus(root.at("status"), "status");
    if (root.contains("error_log"))
        ParseErrorLog(f, root.at("error_log"), "error_log");
    if (root.contains("generate")) {
        const json& g = root.at("generate");
        const std::string gw = "generate";
        CheckKeys(g, gw,
                  {"local_connections", "results_each", "web_connections", "error_log_bytes",
                   "error_log_lines"});
        GenerateLocals(f, Num<std::uint32_t>(g, "local_connections", gw, 0),
                       Num<std::uint16_t>(g, "results_each", gw, 0));
        GenerateWebs(f, Num<std::uint32_t>(g, "web_connections", gw, 0));
        GenerateLog(f, Num<std::uint32_t>(g, "error_log_lines", gw, 0),
                    Num<std::uint32_t>(g, "error_log_bytes", gw, 0), "\r\n");
    }
    if (f.local_connections.size() > 65535 || f.web_connections.size() > 65535 ||
        f.database_view.size() > 65535)
        throw FixtureError("a list holds more entries than a reply can count (65535)");
    if (root.contains("errors"))
        ParseErrors(f.errors, root.at("errors"), "errors");
    if (root.contains("behaviour"))
        ParseBehaviour(f.behaviour, root.at("behaviour"), "behaviour");
    return f;
}

Fixture LoadFixture(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw FixtureError("cannot read " + path);
    std::ostringstream text;
    text << in.rdbuf();
    return ParseFixture(text.str());
}

} // namespace testserver
