#include "ScriptedPeer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

Bytes TPeerConnection::ReadExactly(std::size_t n, int timeoutMs) {
    Bytes out(n);
    std::size_t got = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (got < n) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0)
            break;
        if (stop_ != nullptr && *stop_)
            break;
        pollfd p{fd_, POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(std::min<long>(left, 50)));
        if (ready < 0)
            break;
        if (ready == 0)
            continue;
        const ssize_t r = ::recv(fd_, out.data() + got, n - got, 0);
        if (r <= 0)
            break;
        got += static_cast<std::size_t>(r);
    }
    out.resize(got);
    return out;
}

std::vector<Bytes> TPeerConnection::ReadRequestPackets(int timeoutMs) {
    std::vector<Bytes> packets;
    Bytes first = ReadExactly(534, timeoutMs);
    if (first.size() != 534)
        return packets;
    const TWireHeader h = ParseHeader(first);
    packets.push_back(std::move(first));
    for (int i = 1; i < h.PacketCount; ++i) {
        Bytes next = ReadExactly(534, timeoutMs);
        if (next.size() != 534)
            break;
        packets.push_back(std::move(next));
    }
    return packets;
}

bool TPeerConnection::Write(const Bytes& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t r = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (r <= 0)
            return false;
        sent += static_cast<std::size_t>(r);
    }
    return true;
}

bool TPeerConnection::WriteInPieces(const Bytes& bytes, std::size_t piece) {
    for (std::size_t at = 0; at < bytes.size(); at += piece) {
        const Bytes part(bytes.begin() + static_cast<long>(at),
                         bytes.begin() + static_cast<long>(std::min(bytes.size(), at + piece)));
        if (!Write(part))
            return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

void TPeerConnection::Close() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

TScriptedPeer::TScriptedPeer(TScript script, int connections) {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    const int on = 1;
    ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    ::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::listen(listenFd_, 8);
    socklen_t len = sizeof addr;
    ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this, script = std::move(script), connections] {
        for (int i = 0; i < connections; ++i) {
            // Waits up to 20 s for the next connection, or until the peer is destroyed.
            int ready = 0;
            for (int slice = 0; slice < 200 && ready == 0 && !stop_; ++slice) {
                pollfd p{listenFd_, POLLIN, 0};
                ready = ::poll(&p, 1, 100);
            }
            if (ready <= 0)
                return;
            const int fd = ::accept(listenFd_, nullptr, nullptr);
            if (fd < 0)
                return;
            TPeerConnection connection(fd, &stop_);
            script(connection);
            connection.Close();
        }
    });
}

TScriptedPeer::~TScriptedPeer() {
    stop_ = true;
    Join();
    if (listenFd_ >= 0)
        ::close(listenFd_);
}

void TScriptedPeer::Join() {
    if (thread_.joinable())
        thread_.join();
}

namespace {
void Put16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}
void Put32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
std::uint16_t Get16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
std::uint32_t Get32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
           (std::uint32_t{p[3]} << 24);
}
} // namespace

Bytes MakePacket(const TWireHeader& h, const Bytes& data) {
    Bytes p(534, 0);
    Put32(&p[0], h.Param);
    Put32(&p[4], h.DataLength);
    Put32(&p[8], h.ConnectionId);
    Put16(&p[12], h.RequestCode);
    Put16(&p[14], h.Serial);
    Put16(&p[16], h.Value);
    Put16(&p[18], h.PacketCount);
    Put16(&p[20], h.PacketIndex);
    Put16(&p[22], h.ReplyCode);
    Put16(&p[24], h.Param2);
    if (!data.empty())
        std::memcpy(p.data() + 26, data.data(), std::min<std::size_t>(data.size(), 508));
    return p;
}

TWireHeader ParseHeader(const Bytes& p) {
    TWireHeader h;
    if (p.size() < 26)
        return h;
    h.Param = Get32(&p[0]);
    h.DataLength = Get32(&p[4]);
    h.ConnectionId = Get32(&p[8]);
    h.RequestCode = Get16(&p[12]);
    h.Serial = Get16(&p[14]);
    h.Value = Get16(&p[16]);
    h.PacketCount = Get16(&p[18]);
    h.PacketIndex = Get16(&p[20]);
    h.ReplyCode = Get16(&p[22]);
    h.Param2 = Get16(&p[24]);
    return h;
}

Bytes MakeReply(TWireHeader header, const Bytes& data) {
    const std::size_t count = data.empty() ? 1 : (data.size() + 507) / 508;
    header.DataLength = static_cast<std::uint32_t>(data.size());
    header.PacketCount = static_cast<std::uint16_t>(count);
    Bytes out;
    out.reserve(count * 534);
    for (std::size_t i = 0; i < count; ++i) {
        header.PacketIndex = static_cast<std::uint16_t>(i);
        const std::size_t from = i * 508;
        const Bytes chunk(data.begin() + static_cast<long>(std::min(from, data.size())),
                          data.begin() + static_cast<long>(std::min(from + 508, data.size())));
        const Bytes packet = MakePacket(header, chunk);
        out.insert(out.end(), packet.begin(), packet.end());
    }
    return out;
}

Bytes MakeRegistration(std::uint32_t connectionId, std::uint8_t serverTag,
                       std::uint16_t replyCode) {
    TWireHeader h;
    h.Param = connectionId;
    h.Value = serverTag;
    h.ReplyCode = replyCode;
    return MakePacket(h);
}

void PutByte(Bytes& b, std::uint8_t v) {
    b.push_back(v);
}
void PutWord(Bytes& b, std::uint16_t v) {
    b.push_back(static_cast<std::uint8_t>(v));
    b.push_back(static_cast<std::uint8_t>(v >> 8));
}
void PutLong(Bytes& b, std::int32_t v) {
    const auto u = static_cast<std::uint32_t>(v);
    for (int i = 0; i < 4; ++i)
        b.push_back(static_cast<std::uint8_t>(u >> (8 * i)));
}
void PutShortString(Bytes& b, const std::string& s) {
    b.push_back(static_cast<std::uint8_t>(s.size()));
    b.insert(b.end(), s.begin(), s.end());
}

std::optional<Bytes> AdmissionReply(std::uint16_t requestCode) {
    TWireHeader h;
    h.RequestCode = requestCode;
    Bytes d;
    switch (requestCode) {
    case 20:
        PutShortString(d, "Central Library");
        PutShortString(d, "Centre text");
        PutShortString(d, "MAIN");
        PutByte(d, 2);
        PutByte(d, 3);
        PutWord(d, 0x0405);
        break;
    case 18:
        h.Value = 0x0901;
        break;
    case 1:
        h.Value = 1;
        h.Param = 0x1234;
        PutWord(d, 100);
        PutWord(d, 5);
        PutByte(d, 0);
        PutShortString(d, "text of FIVE");
        PutShortString(d, "FIVE");
        break;
    default:
        return std::nullopt;
    }
    return MakeReply(h, d);
}
