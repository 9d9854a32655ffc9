#pragma once

// One client connection of the reference server: the registration packet, then requests read
// and answered one at a time until the client leaves, breaks the protocol or the server stops.

#include "Service.h"

#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>

namespace testserver {

// One line per request received, for tests that check what a client sent.
class RequestLog {
public:
    bool Open(const std::string& path);
    void Write(std::uint32_t connection, const PacketHeader& header, std::uint16_t packets,
               const std::string& data);
    ~RequestLog();

private:
    std::mutex mutex_;
    std::FILE* file_ = nullptr;
};

// How long a session waits for its client (see RunSession). Zero waits without limit.
struct SessionLimits {
    std::chrono::milliseconds idle_timeout{30000};
};

// Serves one client until it leaves, breaks the protocol, is idle for too long or the server
// stops. Idle means: silent before it has logged in, or stopping inside a request or a packet,
// or taking no byte of its reply, for the idle time-out. A logged-in client waits as long as it
// likes between requests, as an administrator's console does.
void RunSession(int fd, std::uint32_t connection_id, Service& service, RequestLog& log,
                const SessionLimits& limits);

} // namespace testserver
