#pragma once

// One client connection of the reference server: the registration packet, then requests read
// and answered one at a time until the client leaves, breaks the protocol or the server stops.

#include "Service.h"

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

void RunSession(int fd, std::uint32_t connection_id, Service& service, RequestLog& log);

} // namespace testserver
