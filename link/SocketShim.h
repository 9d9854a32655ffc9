#pragma once

// The one place that knows the platform's sockets. Everything is blocking, with send and
// receive time-outs; errors are the platform's own numbers.

#include <cstddef>
#include <cstdint>
#include <string>

#if defined(_WIN32)
using TSocket = std::uintptr_t;
#else
using TSocket = int;
#endif

// The value of a socket that is not there. On POSIX systems 0 is a valid descriptor, so the
// link never uses 0 to mean "no socket".
extern const TSocket kInvalidSocket;

namespace SocketShim {

bool Startup(); // asks for version 2.2 where the platform has versions
void Cleanup();

TSocket CreateTcpSocket();
TSocket CreateSpxSocket(); // IPX family, stream type, protocol 1256; fails where there is no IPX

void SetTimeouts(TSocket s, int milliseconds); // send and receive, results not checked
void SetSendBufferSize(TSocket s, int bytes);
void SetNoDelay(TSocket s);

bool ConnectTcp(TSocket s, const std::uint8_t ip[4], std::uint16_t port);
bool ConnectSpx(TSocket s, const std::uint8_t address[12]);

// Number of bytes moved, 0 when the peer closed (receive), below 0 on an error. A send never
// raises a signal when the peer has gone.
long Send(TSocket s, const void* data, std::size_t length);
long Receive(TSocket s, void* data, std::size_t length);

// The number of bytes that a receive would hand out now without waiting (0 on an error).
std::size_t PendingBytes(TSocket s);

// The first IPv4 address that the system's resolver gives for a host name. False when it
// gives none; `failure` then names the call and its reason, or is empty when the resolver
// only said that there is no such name.
bool ResolveIpv4(const std::string& host, std::uint8_t ip[4], std::string& failure);

int LastError();                // the platform's number of the last socket error
bool IsTimeoutError(int error); // the platform's receive time-out
void ShutdownBoth(TSocket s);
void Close(TSocket s);

} // namespace SocketShim
