#pragma once

// The wire level of the server protocol: fixed 534-byte packets (a 26-byte header and a
// 508-byte data area), the server's registration packet, the running request number, requests
// sent in packets and replies reassembled into a reply buffer, and the password scrambling.

#include "ReplyBuffer.h"
#include "SocketShim.h"

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

inline constexpr int kPacketSize = 534;
inline constexpr int kHeaderSize = 26;
inline constexpr int kSpxTimeoutMs = 60000;
inline constexpr int kTcpTimeoutMs = 120000;

struct TPacketHeader {
    std::uint32_t Param = 0;
    std::uint32_t DataLength = 0;
    std::uint32_t ConnectionId = 0;
    std::uint16_t RequestCode = 0;
    std::uint16_t Serial = 0;
    std::uint16_t Value = 0;
    std::uint16_t PacketCount = 0;
    std::uint16_t PacketIndex = 0;
    std::uint16_t ReplyCode = 0;
    std::uint16_t Param2 = 0;

    // The 26 bytes, little-endian, in field order.
    void Encode(std::uint8_t* out) const;
    static TPacketHeader Decode(const std::uint8_t* in);
};

// One heap block of request data, handed out in 508-byte chunks. A request carries at most
// 65535 data bytes.
class TRequestPayload final {
public:
    TRequestPayload() = default;
    explicit TRequestPayload(std::vector<std::uint8_t> block);
    std::uint16_t Length() const { return static_cast<std::uint16_t>(block_.size()); }
    // The packet count: 1 for an empty block, else (length - 1) div 508 + 1.
    std::uint16_t GetChunkCount() const;
    // Copies chunk i into `destination` (nothing when the chunk is empty).
    void GetChunk(std::uint16_t i, std::uint8_t* destination) const;

private:
    std::vector<std::uint8_t> block_;
};

// What a caller states of a request and receives of its reply.
struct TRequestRecord {
    std::uint16_t Code = 0;
    std::uint16_t Value = 0;
    std::int32_t Param = 0;
    std::uint16_t Param2 = 0;
    std::unique_ptr<TRequestPayload> Payload; // the data sent, or none
    std::unique_ptr<TReplyBuffer> Data;       // the reply's data, or none
    std::uint16_t ReplyCode = 0;
};

// 12 bytes: SPX network (4), node (6) and socket (2) as the IPX address holds them; for TCP,
// 6 zero bytes, the four octets in written order and the port low byte first.
using TServerAddress = std::array<std::uint8_t, 12>;
TServerAddress MakeTcpAddress(const std::array<std::uint8_t, 4>& ip, std::uint16_t port);

bool StartSockets();
void CleanupSockets();

// One connection to a server: its socket and the bytes received ahead of the packet being
// read. Reading the stream in large pieces keeps a reply of many packets from costing a system
// call per packet; the bytes stay with their connection, so the stream is consumed exactly as
// if read packet by packet, and closing the connection drops them.
class TConnection final {
public:
    TConnection() = default;
    explicit TConnection(TSocket socket) : socket_(socket) {}
    ~TConnection() { Close(); }
    TConnection(TConnection&& other) noexcept;
    TConnection& operator=(TConnection&& other) noexcept;
    TConnection(const TConnection&) = delete;
    TConnection& operator=(const TConnection&) = delete;

    TSocket Socket() const { return socket_; }
    bool IsOpen() const { return socket_ != kInvalidSocket; }
    // Closes the socket (when open) and drops the bytes received ahead.
    void Close();
    // Shuts the socket down in both directions without closing it: a send or receive blocked
    // on it, or started later, fails. Safe from another thread while the connection is in use,
    // never while it is being closed or moved.
    void Shutdown() const;

    struct TReadAhead {
        std::vector<std::uint8_t> Bytes;
        std::size_t Begin = 0;
        std::size_t End = 0;
    };
    TReadAhead& ReadAhead() { return ahead_; }

private:
    TSocket socket_ = kInvalidSocket;
    TReadAhead ahead_;
};

// Each open closes what `connection` held first; on failure it holds nothing.
bool OpenSpxConnection(const TServerAddress& address, TConnection& connection,
                       std::uint8_t& serverTag, std::uint32_t& connectionId);
bool OpenTcpConnection(const std::array<std::uint8_t, 4>& ip, std::uint16_t port,
                       TConnection& connection, std::uint32_t& connectionId,
                       std::uint8_t& serverTag);
void CloseConnection(TConnection& connection);

// Sends the request and receives its whole reply into `request`.
bool ExchangeRequest(TConnection& connection, std::uint32_t connectionId, TRequestRecord& request);

// Cancel from another thread. The socket of the exchange or the connection opening in progress
// is shut down, so that its blocking send, receive or connect returns a failure at once, and
// every exchange or opening that starts afterwards fails the same way until the cancel is
// withdrawn. Safe to call from any thread at any time; a socket is never shut down after its
// connection was closed.
void CancelExchange();
void WithdrawExchangeCancel();
bool ExchangeCancelled();

// The password as the login sends it: at most its first 30 characters, each XOR the sum of
// their codes mod 256.
std::string ScramblePassword(const std::string& password);

// Inner operations.
bool SendBuffer(TSocket socket, const std::uint8_t* bytes, std::size_t length);
bool ReceivePacket(TConnection& connection, std::uint8_t* packet);
bool ReceiveRegistration(TConnection& connection, std::uint8_t& serverTag,
                         std::uint32_t& connectionId);
TPacketHeader BuildHeader(std::uint32_t connectionId, const TRequestRecord& request);
bool SendRequest(TSocket socket, std::uint32_t connectionId, const TRequestRecord& request);
bool ReceiveReply(TConnection& connection, TRequestRecord& request);

// The running request number: advanced before each request, 65535 never sent.
std::uint16_t NextSerial();
std::uint16_t CurrentSerial();
void SetSerialForTesting(std::uint16_t value);

// Test seam: shorter time-outs for the two kinds of socket (0 restores the defaults).
void SetSocketTimeoutsForTesting(int spxMs, int tcpMs);
