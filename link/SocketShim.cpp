#include "SocketShim.h"

#include <cstring>

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <cerrno>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#endif

#if defined(_WIN32)
const TSocket kInvalidSocket = INVALID_SOCKET;
#else
const TSocket kInvalidSocket = -1;
#endif

namespace SocketShim {

namespace {
constexpr int kNsProtoSpx = 1256;
#if defined(AF_IPX)
constexpr int kIpxFamily = AF_IPX;
#else
constexpr int kIpxFamily = -1;
#endif
} // namespace

bool Startup() {
#if defined(_WIN32)
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
#else
    return true;
#endif
}

void Cleanup() {
#if defined(_WIN32)
    WSACleanup();
#endif
}

TSocket CreateTcpSocket() {
    const auto s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
#if defined(_WIN32)
    return s;
#else
    return s < 0 ? kInvalidSocket : s;
#endif
}

TSocket CreateSpxSocket() {
    if (kIpxFamily < 0)
        return kInvalidSocket;
    const auto s = ::socket(kIpxFamily, SOCK_STREAM, kNsProtoSpx);
#if defined(_WIN32)
    return s;
#else
    return s < 0 ? kInvalidSocket : s;
#endif
}

void SetTimeouts(TSocket s, int milliseconds) {
#if defined(_WIN32)
    const DWORD ms = static_cast<DWORD>(milliseconds);
    ::setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&ms), sizeof ms);
    ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&ms), sizeof ms);
#else
    timeval tv{};
    tv.tv_sec = milliseconds / 1000;
    tv.tv_usec = (milliseconds % 1000) * 1000;
    ::setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
#endif
}

void SetSendBufferSize(TSocket s, int bytes) {
    ::setsockopt(s, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&bytes), sizeof bytes);
}

void SetNoDelay(TSocket s) {
#if defined(_WIN32)
    const char on = 1;
#else
    const int on = 1;
#endif
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
}

bool ConnectTcp(TSocket s, const std::uint8_t ip[4], std::uint16_t port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    std::uint8_t* octets = reinterpret_cast<std::uint8_t*>(&addr.sin_addr);
    for (int i = 0; i < 4; ++i)
        octets[i] = ip[i];
    return ::connect(s, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
}

bool ConnectSpx(TSocket s, const std::uint8_t address[12]) {
    if (kIpxFamily < 0)
        return false;
    // The IPX socket address: the family, then network, node and socket exactly as given.
    unsigned char raw[16] = {};
    const auto family = static_cast<unsigned short>(kIpxFamily);
    std::memcpy(raw, &family, sizeof family);
    std::memcpy(raw + 2, address, 12);
    return ::connect(s, reinterpret_cast<const sockaddr*>(raw), sizeof raw) == 0;
}

long Send(TSocket s, const void* data, std::size_t length) {
#if defined(_WIN32)
    return ::send(s, static_cast<const char*>(data), static_cast<int>(length), 0);
#elif defined(MSG_NOSIGNAL)
    return static_cast<long>(::send(s, data, length, MSG_NOSIGNAL));
#else
    return static_cast<long>(::send(s, data, length, 0));
#endif
}

long Receive(TSocket s, void* data, std::size_t length) {
#if defined(_WIN32)
    return ::recv(s, static_cast<char*>(data), static_cast<int>(length), 0);
#else
    errno = 0;
    long n;
    do {
        n = static_cast<long>(::recv(s, data, length, 0));
    } while (n < 0 && errno == EINTR);
    return n;
#endif
}

std::size_t PendingBytes(TSocket s) {
#if defined(_WIN32)
    u_long n = 0;
    return ::ioctlsocket(s, FIONREAD, &n) == 0 ? static_cast<std::size_t>(n) : 0;
#else
    int n = 0;
    return ::ioctl(s, FIONREAD, &n) == 0 && n > 0 ? static_cast<std::size_t>(n) : 0;
#endif
}

bool ResolveIpv4(const std::string& host, std::uint8_t ip[4], std::string& failure) {
    failure.clear();
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int result = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (result == 0 && found != nullptr && found->ai_addr != nullptr &&
        found->ai_family == AF_INET) {
        const auto* address = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
        std::memcpy(ip, &address->sin_addr, 4);
        ::freeaddrinfo(found);
        return true;
    }
    if (found != nullptr)
        ::freeaddrinfo(found);
#if !defined(_WIN32)
    if (result == EAI_SYSTEM) {
        failure = std::string("getaddrinfo: ") + std::strerror(errno);
        return false;
    }
#endif
    if (result != 0 && result != EAI_NONAME)
        failure = std::string("getaddrinfo: ") + gai_strerror(result);
    return false;
}

int LastError() {
#if defined(_WIN32)
    return WSAGetLastError();
#else
    return errno;
#endif
}

bool IsTimeoutError(int error) {
#if defined(_WIN32)
    return error == WSAETIMEDOUT;
#else
    return error == EAGAIN || error == EWOULDBLOCK || error == ETIMEDOUT;
#endif
}

void ShutdownBoth(TSocket s) {
#if defined(_WIN32)
    ::shutdown(s, SD_BOTH);
#else
    ::shutdown(s, SHUT_RDWR);
#endif
}

void Close(TSocket s) {
#if defined(_WIN32)
    ::closesocket(s);
#else
    ::close(s);
#endif
}

} // namespace SocketShim
