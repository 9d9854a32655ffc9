#include "Session.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <climits>
#include <cstring>
#include <iostream>
#include <optional>
#include <sstream>

namespace testserver {
namespace {

using Clock = std::chrono::steady_clock;
using Deadline = std::optional<Clock::time_point>;

enum class ReadResult { Ok, Closed, Broken, TimedOut };

// Reads exactly `n` bytes. With a deadline, a client that has not sent them all by then is
// timed out; without one the read lasts as long as the connection.
ReadResult RecvAll(int fd, std::uint8_t* buf, std::size_t n, Deadline deadline) {
    std::size_t got = 0;
    while (got < n) {
        if (deadline) {
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now()).count();
            if (left <= 0)
                return ReadResult::TimedOut;
            pollfd p{fd, POLLIN, 0};
            const int ready = ::poll(&p, 1, static_cast<int>(std::min<long long>(left, INT_MAX)));
            if (ready < 0 && errno != EINTR)
                return ReadResult::Closed;
            if (ready <= 0)
                continue;
        }
        const ssize_t r = ::recv(fd, buf + got, n - got, deadline ? MSG_DONTWAIT : 0);
        if (r < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
            continue;
        if (r <= 0)
            return ReadResult::Closed;
        got += static_cast<std::size_t>(r);
    }
    return ReadResult::Ok;
}

// False when the client left or, the socket's send time-out being set, took no byte for that
// long (then `stalled` is set).
bool SendAll(int fd, const std::uint8_t* buf, std::size_t n, bool& stalled) {
    std::size_t sent = 0;
    while (sent < n) {
        const ssize_t r = ::send(fd, buf + sent, n - sent, MSG_NOSIGNAL);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0) {
            stalled = r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
            return false;
        }
        sent += static_cast<std::size_t>(r);
    }
    return true;
}

void Complain(std::uint32_t connection, const std::string& what) {
    // One write for the whole line, so that the lines of sessions closing at once never mix.
    const std::string line = "zephran-testserver: connection " + std::to_string(connection) + ": " +
                             what + "; closing it\n";
    std::cerr.write(line.data(), static_cast<std::streamsize>(line.size())).flush();
}

std::string Seconds(std::chrono::milliseconds ms) {
    std::ostringstream out;
    out << static_cast<double>(ms.count()) / 1000.0 << " s";
    return out.str();
}

// How long the session waits for its client. A logged-in client may think as long as it likes
// before its next request; every other wait (before the login, between the packets of a
// request, inside a packet) ends after the idle time-out.
class ClientClock {
public:
    explicit ClientClock(std::chrono::milliseconds idle) : idle_(idle) {}
    Deadline FromNow() const {
        if (idle_.count() <= 0)
            return std::nullopt;
        return Clock::now() + idle_;
    }
    std::chrono::milliseconds Idle() const { return idle_; }

private:
    std::chrono::milliseconds idle_;
};

// Reads one packet: its first byte until `first_byte`, the rest within the idle time-out of
// the first byte. On a time-out, `begun` tells whether part of the packet had come.
ReadResult ReadPacket(int fd, std::uint8_t* packet, Deadline first_byte, const ClientClock& clock,
                      bool& begun) {
    begun = false;
    const ReadResult r = RecvAll(fd, packet, 1, first_byte);
    if (r != ReadResult::Ok)
        return r;
    begun = true;
    return RecvAll(fd, packet + 1, kPacketSize - 1, clock.FromNow());
}

// Reads one request, checking that its packets agree with each other and with its length.
ReadResult ReadRequest(int fd, std::uint32_t connection, bool logged_in, const ClientClock& clock,
                       Request& request, std::uint16_t& packets) {
    const auto timed_out = [&](bool begun, const std::string& silence) {
        Complain(connection, (begun ? std::string("a packet left unfinished") : silence) + " for " +
                                 Seconds(clock.Idle()));
        return ReadResult::TimedOut;
    };
    std::uint8_t packet[kPacketSize];
    bool begun = false;
    switch (ReadPacket(fd, packet, logged_in ? std::nullopt : clock.FromNow(), clock, begun)) {
    case ReadResult::Ok:
        break;
    case ReadResult::TimedOut:
        return timed_out(begun, "no request");
    default:
        return ReadResult::Closed;
    }
    const PacketHeader first = DecodeHeader(packet);
    const std::uint32_t length = first.data_length;
    const std::uint16_t count = first.packet_count;
    const auto needed =
        static_cast<std::uint32_t>(length == 0 ? 1 : (length - 1) / kDataAreaSize + 1);
    if (length > 65535 || count != needed || first.packet_index != 0) {
        Complain(connection, "request " + std::to_string(first.request_code) + " announces " +
                                 std::to_string(length) + " data bytes in " +
                                 std::to_string(count) + " packets, first index " +
                                 std::to_string(first.packet_index));
        return ReadResult::Broken;
    }
    request.header = first;
    request.data.assign(length, '\0');
    for (std::uint16_t i = 0; i < count; ++i) {
        if (i > 0) {
            switch (ReadPacket(fd, packet, clock.FromNow(), clock, begun)) {
            case ReadResult::Ok:
                break;
            case ReadResult::TimedOut:
                timed_out(begun,
                          "request " + std::to_string(first.request_code) + " left unfinished");
                return ReadResult::Broken;
            default:
                Complain(connection, "the client left in the middle of a request");
                return ReadResult::Broken;
            }
            const PacketHeader h = DecodeHeader(packet);
            if (h.packet_index != i || h.request_code != first.request_code ||
                h.serial != first.serial || h.data_length != length || h.packet_count != count) {
                Complain(connection, "packet " + std::to_string(i) + " of request " +
                                         std::to_string(first.request_code) +
                                         " does not belong to it (index " +
                                         std::to_string(h.packet_index) + ")");
                return ReadResult::Broken;
            }
        }
        const std::size_t offset = std::size_t{i} * kDataAreaSize;
        if (offset < length) {
            const std::size_t n = std::min<std::size_t>(kDataAreaSize, length - offset);
            std::memcpy(request.data.data() + offset, packet + kHeaderSize, n);
        }
    }
    packets = count;
    return ReadResult::Ok;
}

// Sends a reply in packets; false when the connection is to be closed afterwards (the client
// left, or a close in the middle of the reply was asked for).
bool SendReply(int fd, const PacketHeader& request, std::uint32_t connection, Reply& reply,
               const std::optional<CloseRule>& close, const ClientClock& clock) {
    const std::uint64_t size = reply.data ? reply.data->Size() : 0;
    const std::uint64_t announced = reply.data_length.value_or(size);
    // The packet count is 16 bits wide: an announced length beyond 65535 packets (only a raw
    // reply can announce one) is sent as 65535 packets.
    std::uint64_t packets =
        std::min<std::uint64_t>(announced == 0 ? 1 : (announced - 1) / kDataAreaSize + 1, 65535);
    if (reply.packet_count)
        packets = std::max<std::uint16_t>(*reply.packet_count, 1);
    PacketHeader h;
    h.param = reply.param;
    h.data_length = static_cast<std::uint32_t>(announced);
    h.connection_id = connection;
    h.request_code = request.request_code;
    h.serial = request.serial;
    h.value = reply.value;
    h.packet_count = reply.packet_count.value_or(static_cast<std::uint16_t>(packets));
    h.reply_code = reply.reply_code;
    h.param2 = reply.param2;

    std::uint64_t wire_limit = UINT64_MAX;
    if (close && close->after_packets)
        wire_limit = *close->after_packets * kPacketSize;
    else if (close && close->after_bytes)
        wire_limit = *close->after_bytes;

    std::uint8_t packet[kPacketSize];
    std::uint64_t sent = 0;
    for (std::uint64_t i = 0; i < packets && sent < wire_limit; ++i) {
        h.packet_index = static_cast<std::uint16_t>(i);
        std::memset(packet, 0, sizeof packet);
        EncodeHeader(h, packet);
        if (reply.data)
            reply.data->Read(packet + kHeaderSize, kDataAreaSize);
        const std::size_t n =
            static_cast<std::size_t>(std::min<std::uint64_t>(kPacketSize, wire_limit - sent));
        bool stalled = false;
        if (!SendAll(fd, packet, n, stalled)) {
            if (stalled)
                Complain(connection, "the reply to request " +
                                         std::to_string(request.request_code) + " not taken for " +
                                         Seconds(clock.Idle()));
            return false;
        }
        sent += n;
    }
    return !close.has_value();
}

} // namespace

bool RequestLog::Open(const std::string& path) {
    file_ = std::fopen(path.c_str(), "w");
    return file_ != nullptr;
}

RequestLog::~RequestLog() {
    if (file_)
        std::fclose(file_);
}

void RequestLog::Write(std::uint32_t connection, const PacketHeader& h, std::uint16_t packets,
                       const std::string& data) {
    if (!file_)
        return;
    std::lock_guard lock(mutex_);
    std::fprintf(file_,
                 "conn=%" PRIu32 " code=%u serial=%u reply_code=%u value=%u param=%" PRIu32
                 " param2=%u data_length=%" PRIu32 " packets=%u connection_id=%" PRIu32
                 " data=%s\n",
                 connection, h.request_code, h.serial, h.reply_code, h.value, h.param, h.param2,
                 h.data_length, packets, h.connection_id, ToHex(data).c_str());
    std::fflush(file_);
}

void RunSession(int fd, std::uint32_t connection_id, Service& service, RequestLog& log,
                const SessionLimits& limits) {
    SessionState session;
    session.connection_id = connection_id;
    const ClientClock clock(limits.idle_timeout);
    if (limits.idle_timeout.count() > 0) {
        // A send that moves no byte for the idle time-out fails: a client that stops reading
        // its reply does not hold its thread for ever.
        const auto ms = limits.idle_timeout.count();
        timeval tv{static_cast<time_t>(ms / 1000), static_cast<suseconds_t>(ms % 1000 * 1000)};
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    }

    // The registration packet goes out in one piece: clients read it with a single receive.
    std::uint8_t packet[kPacketSize] = {};
    PacketHeader reg;
    reg.param = connection_id;
    reg.connection_id = connection_id;
    reg.value = service.ServerTag();
    reg.packet_count = 1;
    reg.reply_code = 1;
    EncodeHeader(reg, packet);
    bool stalled = false;
    if (!SendAll(fd, packet, kPacketSize, stalled))
        return;

    for (;;) {
        Request request;
        std::uint16_t packets = 0;
        if (ReadRequest(fd, connection_id, session.logged_in, clock, request, packets) !=
            ReadResult::Ok)
            break;
        log.Write(connection_id, request.header, packets, request.data);
        Reply reply = service.Handle(session, request);
        const std::uint16_t code = request.header.request_code;
        if (const std::uint32_t ms = service.DelayMs(code))
            service.Sleep(ms);
        if (!SendReply(fd, request.header, connection_id, reply, service.CloseRuleFor(code), clock))
            break;
    }
    service.EndSession(session);
}

} // namespace testserver
