#include "Service.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace testserver {
namespace {

constexpr std::uint16_t kSecurityInformation = 20;
constexpr std::uint16_t kLogin = 18;
constexpr std::uint16_t kLogout = 19;
constexpr std::uint16_t kDatabaseList = 1;
constexpr std::uint16_t kLocalConnections = 368;
constexpr std::uint16_t kDeleteLocal = 369;
constexpr std::uint16_t kWebConnections = 370;
constexpr std::uint16_t kDeleteWeb = 371;
constexpr std::uint16_t kDatabaseView = 372;
constexpr std::uint16_t kStatus = 373;
constexpr std::uint16_t kErrorLog = 374;
constexpr std::uint16_t kClearErrorLog = 375;
constexpr std::uint16_t kSecurityMask = 0x5A3C;
constexpr std::uint16_t kListChanged = 5;
constexpr std::uint16_t kVersionRefused = 162;
constexpr std::uint16_t kOutOfMemory = 1;

bool IsConsoleRequest(std::uint16_t code) {
    return code >= kLocalConnections && code <= kClearErrorLog;
}

class StringSource : public DataSource {
public:
    explicit StringSource(std::string data) : data_(std::move(data)) {}
    std::uint64_t Size() const override { return data_.size(); }
    void Read(std::uint8_t* dst, std::size_t n) override {
        const std::size_t have = std::min(n, data_.size() - pos_);
        std::memcpy(dst, data_.data() + pos_, have);
        std::memset(dst + have, 0, n - have);
        pos_ += have;
    }

private:
    std::string data_;
    std::size_t pos_ = 0;
};

// Local connection records made up one at a time while the reply is sent, so that a reply of
// tens of megabytes needs no memory of that size.
class GeneratedLocalsSource : public DataSource {
public:
    GeneratedLocalsSource(std::uint32_t count, std::uint16_t results_each)
        : count_(count), results_each_(results_each) {}
    static std::uint64_t RecordSize(std::uint16_t results_each) {
        return 1 + 9 + 4 + 1 + 4 + 2 + 2 + 6 + 6 + 2 + 2 + 2 + 5ull * results_each;
    }
    std::uint64_t Size() const override { return count_ * RecordSize(results_each_); }
    void Read(std::uint8_t* dst, std::size_t n) override {
        while (n > 0) {
            if (pos_ == record_.size()) {
                if (next_ == count_) {
                    std::memset(dst, 0, n);
                    return;
                }
                MakeRecord(next_++);
            }
            const std::size_t take = std::min(n, record_.size() - pos_);
            std::memcpy(dst, record_.data() + pos_, take);
            dst += take;
            n -= take;
            pos_ += take;
        }
    }

private:
    void MakeRecord(std::uint32_t i) {
        record_.clear();
        pos_ = 0;
        ByteWriter w(record_);
        char name[16];
        std::snprintf(name, sizeof name, "USER%05u", static_cast<unsigned>(i % 100000));
        w.ShortString(name);
        w.I32(static_cast<std::int32_t>(200000 + i));
        w.U8(i % 5);
        w.I32(static_cast<std::int32_t>(i * 7));
        w.U16(i % 17);
        w.U16(results_each_);
        const std::uint8_t when[6] = {104,
                                      4,
                                      static_cast<std::uint8_t>(1 + i % 28),
                                      static_cast<std::uint8_t>(i % 24),
                                      static_cast<std::uint8_t>(i % 60),
                                      0};
        w.Bytes(std::string_view(reinterpret_cast<const char*>(when), 6));
        w.Bytes(std::string_view(reinterpret_cast<const char*>(when), 6));
        w.U16(0);
        w.U16(0);
        w.U16(0);
        for (std::uint32_t r = 0; r < results_each_; ++r) {
            w.U8((i + r) % 14);
            w.U16(1 + (r % 10));
            w.U16(r % 3 == 0 ? 0x8000 : (r % 3 == 1 ? 0x4000 : 0));
        }
    }

    std::uint64_t count_;
    std::uint16_t results_each_;
    std::uint32_t next_ = 0;
    std::string record_;
    std::size_t pos_ = 0;
};

// Bytes 0, 1, 2, ... 255, 0, ... for a huge reply of a request without a record layout.
class FillerSource : public DataSource {
public:
    explicit FillerSource(std::uint64_t size) : size_(size) {}
    std::uint64_t Size() const override { return size_; }
    void Read(std::uint8_t* dst, std::size_t n) override {
        for (std::size_t i = 0; i < n; ++i, ++pos_)
            dst[i] = pos_ < size_ ? static_cast<std::uint8_t>(pos_) : 0;
    }

private:
    std::uint64_t size_;
    std::uint64_t pos_ = 0;
};

Reply WithData(std::string data, std::uint16_t value = 0, std::uint32_t param = 0) {
    Reply r;
    r.value = value;
    r.param = param;
    if (!data.empty())
        r.data = std::make_unique<StringSource>(std::move(data));
    return r;
}

void WriteTime(ByteWriter& w, const ServerTime& t) {
    for (const std::uint8_t b : t)
        w.U8(b);
}

// Reads a length-prefixed string at `pos`; false when it runs past the end.
bool ReadShortString(const std::string& data, std::size_t& pos, std::string& out) {
    if (pos >= data.size())
        return false;
    const std::size_t n = static_cast<std::uint8_t>(data[pos]);
    if (pos + 1 + n > data.size())
        return false;
    out = data.substr(pos + 1, n);
    pos += 1 + n;
    return true;
}

} // namespace

std::string ScramblePassword(const std::string& password) {
    const std::string head = password.substr(0, 30);
    unsigned sum = 0;
    for (const char c : head)
        sum += static_cast<std::uint8_t>(c);
    std::string out = head;
    for (char& c : out)
        c = static_cast<char>(static_cast<std::uint8_t>(c) ^ (sum & 0xFF));
    return out;
}

Service::Service(Fixture fixture)
    : fixture_(std::move(fixture)), next_connection_id_(fixture_.first_connection_id),
      server_error_uses_(fixture_.behaviour.server_errors.size(), 0) {}

void Service::MoveCounters() {
    std::lock_guard lock(mutex_);
    if (!fixture_.status.growth_per_minute)
        fixture_.status.growth_per_minute = std::array<std::uint32_t, 4>{2400, 180, 480, 2};
}

std::uint32_t Service::NewConnectionId() {
    std::lock_guard lock(mutex_);
    return next_connection_id_++;
}

std::uint32_t Service::DelayMs(std::uint16_t code) const {
    const auto it = fixture_.behaviour.delays_ms.find(code);
    return it == fixture_.behaviour.delays_ms.end() ? 0 : it->second;
}

std::optional<CloseRule> Service::CloseRuleFor(std::uint16_t code) const {
    for (const CloseRule& r : fixture_.behaviour.close_mid_reply)
        if (r.code == code)
            return r;
    return std::nullopt;
}

void Service::Sleep(std::uint32_t ms) {
    std::unique_lock lock(stop_mutex_);
    stop_cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopping_; });
}

void Service::Stop() {
    {
        std::lock_guard lock(stop_mutex_);
        stopping_ = true;
    }
    stop_cv_.notify_all();
}

void Service::EndSession(SessionState& session) {
    std::lock_guard lock(mutex_);
    if (session.logged_in)
        --administrators_;
    session.logged_in = false;
}

Reply Service::Error(std::uint16_t number) const {
    Reply r;
    r.reply_code = 1;
    r.value = number;
    return r;
}

Reply Service::Handle(SessionState& session, const Request& request) {
    std::lock_guard lock(mutex_);
    const PacketHeader& h = request.header;
    const std::uint16_t code = h.request_code;
    if (h.connection_id != session.connection_id)
        return Error(fixture_.errors.wrong_connection);
    if (code == kSecurityInformation)
        return SecurityInformation(request, session);
    if (code == kLogin)
        return Login(request, session);
    if (!session.logged_in)
        return Error(fixture_.errors.not_logged_in);

    if (IsConsoleRequest(code)) {
        const Behaviour& b = fixture_.behaviour;
        Reply changed;
        changed.reply_code = 1;
        changed.value = kListChanged;
        if (b.list_changed == ListChangedMode::Always)
            return changed;
        if (b.list_changed == ListChangedMode::Once && !list_change_done_ &&
            (b.list_changed_on == 0 || b.list_changed_on == code)) {
            list_change_done_ = true;
            fixture_.list_stamp = b.list_changed_stamp;
            if (b.list_changed_databases)
                fixture_.databases = *b.list_changed_databases;
            return changed;
        }
        if (h.reply_code != fixture_.list_stamp)
            return changed;
    }
    if (auto r = Override(code))
        return std::move(*r);

    switch (code) {
    case kDatabaseList:
        return DatabaseList();
    case kLogout:
        if (session.logged_in)
            --administrators_;
        session.logged_in = false;
        return Reply{};
    case kLocalConnections:
        return LocalConnections();
    case kDeleteLocal:
        return DeleteLocal(request);
    case kWebConnections:
        return WebConnections();
    case kDeleteWeb:
        return DeleteWeb(request);
    case kDatabaseView:
        return DatabaseView();
    case kStatus:
        return Status();
    case kErrorLog:
        return ErrorLogChunk(request);
    case kClearErrorLog:
        fixture_.error_log.clear();
        return Reply{};
    default:
        return Error(fixture_.errors.unknown_request);
    }
}

// The fixture's server errors, raw replies and huge replies for a request code.
std::optional<Reply> Service::Override(std::uint16_t code) {
    const Behaviour& b = fixture_.behaviour;
    for (std::size_t i = 0; i < b.server_errors.size(); ++i) {
        const ServerErrorRule& rule = b.server_errors[i];
        if (rule.code != code)
            continue;
        if (rule.times != 0 && server_error_uses_[i] >= rule.times)
            continue;
        ++server_error_uses_[i];
        return Error(rule.error);
    }
    for (const RawReplyRule& raw : b.raw_replies) {
        if (raw.code != code)
            continue;
        Reply r = WithData(raw.data, raw.value, raw.param);
        r.reply_code = raw.reply_code;
        r.param2 = raw.param2;
        r.data_length = raw.data_length;
        r.packet_count = raw.packet_count;
        return r;
    }
    for (const HugeReplyRule& huge : b.huge_replies) {
        if (huge.code != code)
            continue;
        Reply r;
        if (code == kLocalConnections) {
            const std::uint64_t size = GeneratedLocalsSource::RecordSize(huge.results_each);
            std::uint64_t count = (huge.bytes + size - 1) / size;
            count = std::min<std::uint64_t>({count, 65535, kMaxReplyBytes / size});
            r.value = static_cast<std::uint16_t>(count);
            r.data = std::make_unique<GeneratedLocalsSource>(static_cast<std::uint32_t>(count),
                                                             huge.results_each);
        } else {
            r.data = std::make_unique<FillerSource>(huge.bytes);
        }
        return r;
    }
    return std::nullopt;
}

Reply Service::SecurityInformation(const Request& request, SessionState&) {
    const Behaviour& b = fixture_.behaviour;
    if (b.version_required) {
        Reply r = Error(kVersionRefused);
        r.param = *b.version_required;
        return r;
    }
    if (auto r = Override(kSecurityInformation))
        return std::move(*r);
    const auto expected =
        static_cast<std::uint16_t>((request.header.connection_id & 0xFFFF) ^ kSecurityMask);
    if (request.header.value != expected)
        return Error(fixture_.errors.security_check);
    if (b.empty_security_reply)
        return Reply{};
    std::string data;
    ByteWriter w(data);
    w.ShortString(fixture_.center_name);
    w.ShortString(fixture_.center_text);
    w.ShortString(fixture_.server_name);
    w.U8(fixture_.security_kind);
    w.U8(fixture_.security_byte);
    w.U16(fixture_.security_word);
    return WithData(std::move(data), fixture_.security_flag);
}

Reply Service::Login(const Request& request, SessionState& session) {
    if (auto r = Override(kLogin))
        return std::move(*r);
    const Behaviour& b = fixture_.behaviour;
    Reply refused;
    if (b.login_refused) {
        refused.param = b.login_busy;
        return refused;
    }
    std::size_t pos = 0;
    std::string user, password;
    if (!ReadShortString(request.data, pos, user) ||
        !ReadShortString(request.data, pos, password) || pos != request.data.size())
        return refused;
    if (user != "ADMINISTRATOR" || password != ScramblePassword(fixture_.administrator_password))
        return refused;
    if (b.single_entry && administrators_ > 0 && !session.logged_in) {
        refused.param = 1;
        return refused;
    }
    if (!session.logged_in)
        ++administrators_;
    session.logged_in = true;
    Reply r;
    r.value = static_cast<std::uint16_t>(1 | (fixture_.login_tag << 8));
    return r;
}

Reply Service::DatabaseList() const {
    std::string data;
    ByteWriter w(data);
    for (const DatabaseListItem& d : fixture_.databases) {
        w.U16(d.handle);
        w.U16(d.number);
        w.U8(d.flags);
        w.ShortString(d.text);
        w.ShortString(d.name);
    }
    return WithData(std::move(data), static_cast<std::uint16_t>(fixture_.databases.size()),
                    fixture_.list_stamp);
}

Reply Service::LocalConnections() const {
    std::string data;
    ByteWriter w(data);
    for (const LocalConnection& c : fixture_.local_connections) {
        w.ShortString(c.user_name);
        w.I32(c.security_num);
        w.U8(c.status);
        w.I32(c.requests_count);
        w.U16(c.async_requests);
        w.U16(static_cast<std::uint32_t>(c.results.size()));
        WriteTime(w, c.connect_time);
        WriteTime(w, c.last_request_time);
        w.U16(c.capture_flags);
        w.U16(c.captured_db_id);
        w.U16(c.captured_text_bank_id);
        for (const LocalResult& r : c.results) {
            w.U8(r.kind);
            w.U16(r.db_handle);
            w.U16(r.lifetime);
        }
    }
    if (data.size() > kMaxReplyBytes)
        return Error(kOutOfMemory);
    return WithData(std::move(data), static_cast<std::uint16_t>(fixture_.local_connections.size()));
}

Reply Service::DeleteLocal(const Request& request) {
    std::size_t pos = 0;
    std::string user;
    if (!ReadShortString(request.data, pos, user) || pos != request.data.size())
        return Error(fixture_.errors.bad_request);
    const auto security_num = static_cast<std::int32_t>(request.header.param);
    auto& list = fixture_.local_connections;
    const auto it = std::find_if(list.begin(), list.end(), [&](const LocalConnection& c) {
        return c.security_num == security_num && c.user_name == user;
    });
    if (it == list.end())
        return Error(fixture_.errors.not_found);
    list.erase(it);
    return Reply{};
}

Reply Service::WebConnections() const {
    std::string data;
    ByteWriter w(data);
    for (const WebConnection& c : fixture_.web_connections) {
        w.ShortString(c.user_name);
        w.I32(c.user_id);
        WriteTime(w, c.last_access_time);
    }
    return WithData(std::move(data), static_cast<std::uint16_t>(fixture_.web_connections.size()));
}

Reply Service::DeleteWeb(const Request& request) {
    const auto user_id = static_cast<std::int32_t>(request.header.param);
    auto& list = fixture_.web_connections;
    const auto it = std::find_if(list.begin(), list.end(),
                                 [&](const WebConnection& c) { return c.user_id == user_id; });
    if (it == list.end())
        return Error(fixture_.errors.not_found);
    list.erase(it);
    return Reply{};
}

Reply Service::DatabaseView() const {
    std::string data;
    ByteWriter w(data);
    for (const DatabaseInfo& d : fixture_.database_view) {
        w.U16(d.id);
        w.ShortString(d.path);
        w.U8(d.is_open);
        w.U8(d.is_parent);
        w.U8(static_cast<std::uint32_t>(d.child_ids.size()));
        for (const std::uint16_t id : d.child_ids)
            w.U16(id);
        w.U16(static_cast<std::uint32_t>(d.results.size()));
        for (const DatabaseResult& r : d.results) {
            w.U8(r.kind);
            w.ShortString(r.user_name);
        }
    }
    if (data.size() > kMaxReplyBytes)
        return Error(kOutOfMemory);
    return WithData(std::move(data), static_cast<std::uint16_t>(fixture_.database_view.size()));
}

Reply Service::Status() const {
    const StatusFields& s = fixture_.status;
    std::uint16_t child_defined = 0, child_open = 0, parent_defined = 0, parent_open = 0;
    for (const DatabaseInfo& d : fixture_.database_view) {
        auto& defined = d.is_parent ? parent_defined : child_defined;
        auto& open = d.is_parent ? parent_open : child_open;
        ++defined;
        if (d.is_open)
            ++open;
    }
    std::array<std::uint16_t, 14> counts{};
    for (const LocalConnection& c : fixture_.local_connections)
        for (const LocalResult& r : c.results)
            if (r.kind < 14)
                ++counts[r.kind];
    std::array<std::int32_t, 4> requests = {
        s.non_queued_db_requests.value_or(0), s.queued_db_requests.value_or(0),
        s.non_db_requests.value_or(0), s.version_mismatched_requests.value_or(0)};
    if (s.growth_per_minute) {
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - started_)
                            .count();
        for (std::size_t i = 0; i < 4; ++i) {
            // The server's counters are 32 bits and wrap, as a long-running server's do.
            const auto grown = static_cast<std::uint64_t>(ms) * (*s.growth_per_minute)[i] / 60000;
            requests[i] = static_cast<std::int32_t>(static_cast<std::uint32_t>(
                static_cast<std::uint64_t>(static_cast<std::uint32_t>(requests[i])) + grown));
        }
    }
    std::string data;
    ByteWriter w(data);
    for (const std::int32_t n : requests)
        w.I32(n);
    w.U16(s.child_dbs_defined.value_or(child_defined));
    w.U16(s.child_dbs_open.value_or(child_open));
    w.U16(s.parent_dbs_defined.value_or(parent_defined));
    w.U16(s.parent_dbs_open.value_or(parent_open));
    w.U16(s.client_count.value_or(static_cast<std::uint16_t>(fixture_.local_connections.size())));
    for (const std::uint16_t n : s.result_counts.value_or(counts))
        w.U16(n);
    return WithData(std::move(data));
}

Reply Service::ErrorLogChunk(const Request& request) const {
    const std::string& log = fixture_.error_log;
    const std::uint64_t offset = request.header.param;
    if (offset >= log.size())
        return Reply{};
    const std::size_t n = std::min<std::size_t>(request.header.value, log.size() - offset);
    return WithData(log.substr(offset, n), static_cast<std::uint16_t>(n));
}

} // namespace testserver
