#pragma once

// The reference broker: answers POSTs to any path ending in "/ZephWebMain.DLL" (any case)
// with the broker's XML answers, from an installation read from a JSON fixture, and records
// the last requests it received (passwords masked unless asked for). Behaviours a test can switch
// on: a broker error number (with or without text) on a chosen query, a malformed, HTML, empty or
// data-less answer, a chosen HTTP status, a delay. The fixture format is described in
// docs/broker.md.

#include <nlohmann/json.hpp>

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace httplib {
class Server;
struct Request;
struct Response;
} // namespace httplib

namespace testbroker {

struct FixtureError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct Server {
    std::string name;
    std::string center;
    std::string password;
};

// A session's values are kept as the fixture gives them (numbers or texts), so that a test
// can hand the console values that are not what they should be; an absent value sends no
// element.
struct Session {
    nlohmann::json values; // id, server, user_id, user, kind, latime, center
    nlohmann::json resources = nlohmann::json::array();
};

struct Behaviour {
    std::string query = "*"; // GetServerList, CheckPassword, GetId, Reload, GetSessionList, Logout
    std::optional<int> error;
    std::optional<std::string> errorText;
    std::string answer; // "", "html", "malformed", "empty", "no-data", "body"
    std::string body;   // the literal answer with answer "body"
    int status = 200;
    int delayMs = 0;
    int times = -1; // how many requests it applies to; -1 for all
};

struct ReceivedRequest {
    std::string path;
    std::string body;                       // at most kMaxLoggedBody bytes of it
    std::size_t bodySize = 0;               // the length of the whole body received
    std::string connection;                 // the Connection header
    std::optional<std::string> contentType; // the Content-Type header, when sent
};

// The request log keeps the most recent requests only: at most this many, of at most this many
// bytes in all, each body cut to at most kMaxLoggedBody bytes.
inline constexpr std::size_t kMaxLoggedRequests = 1000;
inline constexpr std::size_t kMaxLoggedBytes = 8 * 1024 * 1024;
inline constexpr std::size_t kMaxLoggedBody = 64 * 1024;
// A body longer than this is refused (413) unread: the broker's queries are a few hundred bytes.
inline constexpr std::size_t kMaxRequestBody = 16 * 1024 * 1024;
// What stands in the log for a password that was not empty.
inline constexpr const char* kMaskedPassword = "********";

struct Installation {
    std::int32_t id = 0;
    std::array<int, 31> permutation{};
    std::vector<Server> servers;
    std::vector<Session> sessions;
    std::vector<Behaviour> behaviours;
};

Installation ParseFixture(const nlohmann::json& fixture);
std::vector<Behaviour> ParseBehaviours(const nlohmann::json& list);

// The key/value pairs of a query body. A piece without "=", or one whose key is not one of
// the broker's keys, belongs to the value before it: names and passwords travel unescaped,
// so an "&" inside one splits it.
std::vector<std::pair<std::string, std::string>> SplitQuery(const std::string& body);

// The body with the value of every password key (_PASSWORD, _PASSWORDk), as SplitQuery reads
// it, replaced by kMaskedPassword; an empty password stays empty. Everything else is kept.
std::string MaskPasswords(const std::string& body);

class TestBroker {
public:
    explicit TestBroker(Installation installation);
    ~TestBroker();
    TestBroker(const TestBroker&) = delete;
    TestBroker& operator=(const TestBroker&) = delete;

    // Binds (port 0 picks a free one) and serves on a thread of its own; the bound port.
    int Start(const std::string& host, int port);
    // Binds and serves on the calling thread until Stop(); false when it cannot bind.
    bool Bind(const std::string& host, int port);
    int Port() const { return port_; }
    void Serve();
    void Stop();

    // The answer to one query body: HTTP status and body; also sleeps any delay.
    std::pair<int, std::string> Answer(const std::string& body);

    // The last requests received, oldest first (see kMaxLoggedRequests).
    std::vector<ReceivedRequest> Requests() const;
    void ClearRequests();
    // Keeps the passwords of the requests in the log as they came (off by default: the log
    // holds them masked). For tests that check the whole body the console sent.
    void SetLogPasswords(bool keep);
    // Bounds of the request log other than the defaults (tests use small ones).
    void SetRequestLogLimits(std::size_t requests, std::size_t bytes);
    void SetBehaviours(std::vector<Behaviour> behaviours);
    std::size_t SessionCount() const;
    int ReloadCount() const;

private:
    void Handle(const httplib::Request& req, httplib::Response& res);
    std::string AnswerLocked(const std::vector<std::pair<std::string, std::string>>& query,
                             const std::string& name);

    mutable std::mutex mutex_;
    Installation inst_;
    // Adds a request to the log, dropping the oldest ones beyond its bounds (mutex_ held).
    void Record(ReceivedRequest request);
    void TrimLog();

    std::deque<ReceivedRequest> requests_;
    std::size_t loggedBytes_ = 0;
    std::size_t maxLoggedRequests_ = kMaxLoggedRequests;
    std::size_t maxLoggedBytes_ = kMaxLoggedBytes;
    bool logPasswords_ = false;
    int reloads_ = 0;
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    int port_ = 0;
};

} // namespace testbroker
