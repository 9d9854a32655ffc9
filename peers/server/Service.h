#pragma once

// The server's answers: one shared installation state behind a mutex, and the handling of each
// request of a session. Networking lives elsewhere; this part turns a request into a reply.

#include "Fixture.h"
#include "Wire.h"

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace testserver {

// The data of a reply, produced front to back as the packets go out.
class DataSource {
public:
    virtual ~DataSource() = default;
    virtual std::uint64_t Size() const = 0;
    // Copies the next `n` bytes into `dst` (zeros once the data is exhausted).
    virtual void Read(std::uint8_t* dst, std::size_t n) = 0;
};

struct Request {
    PacketHeader header; // of the first packet
    std::string data;
};

struct Reply {
    std::uint16_t reply_code = 0;
    std::uint16_t value = 0;
    std::uint32_t param = 0;
    std::uint16_t param2 = 0;
    std::unique_ptr<DataSource> data;          // none: no data
    std::optional<std::uint32_t> data_length;  // announced length, when not the data's size
    std::optional<std::uint16_t> packet_count; // packets sent, when not worked out
};

struct SessionState {
    std::uint32_t connection_id = 0;
    bool logged_in = false;
};

class Service {
public:
    explicit Service(Fixture fixture);

    // Makes the request counters grow at a steady pace from the server's start, for fixtures
    // that do not set their own growth.
    void MoveCounters();

    std::uint32_t NewConnectionId();
    std::uint8_t ServerTag() const { return fixture_.server_tag; }

    Reply Handle(SessionState& session, const Request& request);
    void EndSession(SessionState& session);

    // Behaviours that act on the sending of a reply.
    std::uint32_t DelayMs(std::uint16_t code) const;
    std::optional<CloseRule> CloseRuleFor(std::uint16_t code) const;

    // Waits up to `ms` milliseconds; returns early once Stop was called.
    void Sleep(std::uint32_t ms);
    void Stop();

private:
    Reply SecurityInformation(const Request& request, SessionState& session);
    Reply Login(const Request& request, SessionState& session);
    std::optional<Reply> Override(std::uint16_t code);
    Reply DatabaseList() const;
    Reply LocalConnections() const;
    Reply DeleteLocal(const Request& request);
    Reply WebConnections() const;
    Reply DeleteWeb(const Request& request);
    Reply DatabaseView() const;
    Reply Status() const;
    Reply ErrorLogChunk(const Request& request) const;
    Reply Error(std::uint16_t number) const;

    mutable std::mutex mutex_;
    Fixture fixture_;
    std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
    std::uint32_t next_connection_id_;
    bool list_change_done_ = false;
    std::vector<std::uint32_t> server_error_uses_;
    int administrators_ = 0;

    std::mutex stop_mutex_;
    std::condition_variable stop_cv_;
    bool stopping_ = false;
};

// The password as the login request carries it: at most its first 30 bytes, each XORed with
// the sum of those bytes modulo 256.
std::string ScramblePassword(const std::string& password);

} // namespace testserver
