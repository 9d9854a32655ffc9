#pragma once

// What the reference server serves: its installation (names, databases, connections, counters,
// error log) and the behaviours a test can switch on, read from a JSON fixture. Texts are held
// here already encoded in Windows-1256, exactly as they go on the wire.

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace testserver {

struct FixtureError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Six bytes: year - 1900, month - 1, day, hour, minute, second.
// The largest reply the packet count can describe: 65535 packets of 508 bytes.
constexpr std::uint64_t kMaxReplyBytes = 65535ull * 508;

using ServerTime = std::array<std::uint8_t, 6>;

struct LocalResult {
    std::uint8_t kind = 0;
    std::uint16_t db_handle = 0;
    std::uint16_t lifetime = 0;
};

struct LocalConnection {
    std::string user_name;
    std::int32_t security_num = 0;
    std::uint8_t status = 0;
    std::int32_t requests_count = 0;
    std::uint16_t async_requests = 0;
    ServerTime connect_time{};
    ServerTime last_request_time{};
    std::uint16_t capture_flags = 0;
    std::uint16_t captured_db_id = 0;
    std::uint16_t captured_text_bank_id = 0;
    std::vector<LocalResult> results;
};

struct WebConnection {
    std::string user_name;
    std::int32_t user_id = 0;
    ServerTime last_access_time{};
};

struct DatabaseListItem {
    std::uint16_t handle = 0;
    std::uint16_t number = 0;
    std::uint8_t flags = 0;
    std::string text;
    std::string name;
};

struct DatabaseResult {
    std::uint8_t kind = 0;
    std::string user_name;
};

struct DatabaseInfo {
    std::uint16_t id = 0;
    std::string path;
    std::uint8_t is_open = 0;
    std::uint8_t is_parent = 0;
    std::vector<std::uint16_t> child_ids;
    std::vector<DatabaseResult> results;
};

// The 54-byte status block; a counter left out of the fixture is worked out from the data.
struct StatusFields {
    std::optional<std::int32_t> non_queued_db_requests, queued_db_requests, non_db_requests,
        version_mismatched_requests;
    std::optional<std::uint16_t> child_dbs_defined, child_dbs_open, parent_dbs_defined,
        parent_dbs_open, client_count;
    std::optional<std::array<std::uint16_t, 14>> result_counts;
    // How fast the four request counters grow while the server runs, per minute, in the order
    // above; none: they stand still (unless the server is started with --moving-counters).
    std::optional<std::array<std::uint32_t, 4>> growth_per_minute;
};

struct ErrorNumbers {
    std::uint16_t not_logged_in = 119;
    std::uint16_t security_check = 119;
    std::uint16_t unknown_request = 7;
    std::uint16_t bad_request = 24;
    std::uint16_t not_found = 91;
    std::uint16_t wrong_connection = 115;
};

enum class ListChangedMode { Off, Once, Always };

struct ServerErrorRule {
    std::uint16_t code = 0;
    std::uint16_t error = 0;
    std::uint32_t times = 0; // 0: every time
};

struct CloseRule {
    std::uint16_t code = 0;
    std::optional<std::uint64_t> after_packets;
    std::optional<std::uint64_t> after_bytes;
};

struct HugeReplyRule {
    std::uint16_t code = 0;
    std::uint64_t bytes = 0;
    std::uint16_t results_each = 500;
};

struct RawReplyRule {
    std::uint16_t code = 0;
    std::uint16_t reply_code = 0;
    std::uint16_t value = 0;
    std::uint32_t param = 0;
    std::uint16_t param2 = 0;
    std::string data;
    std::optional<std::uint32_t> data_length;  // announced length, when it differs from the data
    std::optional<std::uint16_t> packet_count; // packets sent and announced, when not worked out
};

struct Behaviour {
    bool login_refused = false;
    std::uint16_t login_busy = 0;
    bool single_entry = false;
    std::optional<std::uint16_t> version_required; // major << 8 | minor
    bool empty_security_reply = false;
    std::vector<ServerErrorRule> server_errors;
    ListChangedMode list_changed = ListChangedMode::Off;
    std::uint16_t list_changed_on = 0; // request code that triggers "once"; 0: any console request
    std::uint16_t list_changed_stamp = 0;
    std::optional<std::vector<DatabaseListItem>> list_changed_databases;
    std::map<std::uint16_t, std::uint32_t> delays_ms;
    std::vector<CloseRule> close_mid_reply;
    std::vector<HugeReplyRule> huge_replies;
    std::vector<RawReplyRule> raw_replies;
};

struct Fixture {
    std::string administrator_password; // Windows-1256 bytes
    std::string center_name, center_text, server_name;
    std::uint16_t security_flag = 1;
    std::uint8_t security_kind = 0;
    std::uint8_t security_byte = 0;
    std::uint16_t security_word = 0;
    std::uint8_t server_tag = 1;
    std::uint8_t login_tag = 1;
    std::uint32_t first_connection_id = 1;
    std::uint16_t list_stamp = 1;
    std::vector<DatabaseListItem> databases;
    std::vector<LocalConnection> local_connections;
    std::vector<WebConnection> web_connections;
    std::vector<DatabaseInfo> database_view;
    StatusFields status;
    std::string error_log;
    ErrorNumbers errors;
    Behaviour behaviour;
};

// Reads and checks a fixture; throws FixtureError with a message naming the offending key.
Fixture LoadFixture(const std::string& path);
Fixture ParseFixture(const std::string& json_text);

} // namespace testserver
