#include "PacketTransport.h"

#include "Protocol.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>

namespace {

std::uint16_t g_serial = 0;
int g_spxTimeoutMs = kSpxTimeoutMs;
int g_tcpTimeoutMs = kTcpTimeoutMs;

void PutWord(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}

void PutLong(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::uint16_t GetWord(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

std::uint32_t GetLong(const std::uint8_t* p) {
    return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
           (std::uint32_t{p[3]} << 24);
}

constexpr std::size_t kReadAheadSize = 64 * 1024;

// The connection's bytes received ahead, with room for a large piece.
TConnection::TReadAhead& ReadAheadOf(TConnection& connection) {
    TConnection::TReadAhead& ahead = connection.ReadAhead();
    if (ahead.Bytes.size() != kReadAheadSize)
        ahead.Bytes.resize(kReadAheadSize);
    return ahead;
}

// The socket that a blocking call may be waiting on now, for a cancel from another thread. The
// lock orders a cancel's shutdown against the closing of that socket, so that a descriptor
// number that the system has already handed to someone else is never shut down.
std::mutex g_activeMutex;
TSocket g_activeSocket = kInvalidSocket;
std::atomic<bool> g_cancelled{false};

// Marks `socket` as the one in use for its lifetime; once a cancel is pending, the socket is
// shut down at once, so that whatever is tried on it fails without waiting.
class TActiveSocket final {
public:
    explicit TActiveSocket(TSocket socket) {
        std::lock_guard<std::mutex> lock(g_activeMutex);
        g_activeSocket = socket;
        if (g_cancelled.load() && socket != kInvalidSocket)
            SocketShim::ShutdownBoth(socket);
    }
    ~TActiveSocket() {
        std::lock_guard<std::mutex> lock(g_activeMutex);
        g_activeSocket = kInvalidSocket;
    }
    TActiveSocket(const TActiveSocket&) = delete;
    TActiveSocket& operator=(const TActiveSocket&) = delete;
};

// Fills `n` bytes; false with the platform's error number when the peer closed or failed.
bool ReceiveExact(TConnection& connection, std::uint8_t* destination, std::size_t n, int& error) {
    TConnection::TReadAhead& ahead = ReadAheadOf(connection);
    const TSocket socket = connection.Socket();
    while (n > 0) {
        if (ahead.Begin < ahead.End) {
            const std::size_t take = std::min(n, ahead.End - ahead.Begin);
            std::memcpy(destination, ahead.Bytes.data() + ahead.Begin, take);
            ahead.Begin += take;
            destination += take;
            n -= take;
            continue;
        }
        ahead.Begin = ahead.End = 0;
        const long got = SocketShim::Receive(socket, ahead.Bytes.data(), ahead.Bytes.size());
        if (got <= 0) {
            error = SocketShim::LastError();
            return false;
        }
        ahead.End = static_cast<std::size_t>(got);
    }
    return true;
}

void ReportReceiveFailure(TConnection& connection, int error) {
    Report("Recv Error: " + std::to_string(error));
    if (SocketShim::IsTimeoutError(error))
        connection.Shutdown();
}

// The rest of a spilled reply, `remaining` packets, once the bytes received ahead hold less
// than a packet. The packets are received whole into the buffer's window, lent as room for
// as many as it holds; once it is full (or holds the last of them) their data goes to the
// spill file where their indexes say, each run of consecutive indexes in one gathered write.
// A byte thus costs one copy out of the socket and one into the file, as for a plain stream
// written to a file, and no receive asks for more than the reply still owes, so nothing
// beyond it is taken from the stream. Packets out of order or sent twice are written in the
// order they came, so the later copy of a packet wins; data beyond the reply's length is
// dropped. `storedEnd`: the data stored in the window so far lies below that offset. False
// when the receive failed (reported as ReceivePacket does).
bool ReceiveToFile(TConnection& connection, TReplyBuffer& buffer, std::int32_t storedEnd,
                   std::uint16_t& remaining) {
    TConnection::TReadAhead& ahead = ReadAheadOf(connection);
    std::size_t size = 0;
    std::uint8_t* room = buffer.LendWindow(storedEnd, size);
    const std::size_t roomPackets = size / kPacketSize;
    // A packet's start received ahead comes first.
    std::size_t have = ahead.End - ahead.Begin;
    std::memcpy(room, ahead.Bytes.data() + ahead.Begin, have);
    ahead.Begin = ahead.End = 0;
    while (remaining != 0) {
        const std::size_t batch = std::min<std::size_t>(roomPackets, remaining);
        while (have < batch * kPacketSize) {
            const long got =
                SocketShim::Receive(connection.Socket(), room + have, batch * kPacketSize - have);
            if (got <= 0) {
                ReportReceiveFailure(connection, SocketShim::LastError());
                return false;
            }
            have += static_cast<std::size_t>(got);
        }
        for (std::size_t run = 0; run < batch;) {
            const std::uint16_t first = GetWord(room + run * kPacketSize + 20);
            std::size_t end = run + 1;
            while (end < batch && GetWord(room + end * kPacketSize + 20) == first + (end - run))
                ++end;
            buffer.WritePackets(room + run * kPacketSize, kPacketSize, kHeaderSize, end - run,
                                first);
            run = end;
        }
        remaining = static_cast<std::uint16_t>(remaining - batch);
        have = 0;
    }
    buffer.TakeWindowBack();
    return true;
}

// One whole packet: a view into the bytes received ahead when they hold it, else the packet
// is gathered into `packet`. Nothing when the receive failed (reported as ReceivePacket does).
const std::uint8_t* ReceivePacketView(TConnection& connection, std::uint8_t* packet) {
    TConnection::TReadAhead& ahead = ReadAheadOf(connection);
    if (ahead.End - ahead.Begin >= static_cast<std::size_t>(kPacketSize)) {
        const std::uint8_t* view = ahead.Bytes.data() + ahead.Begin;
        ahead.Begin += kPacketSize;
        return view;
    }
    return ReceivePacket(connection, packet) ? packet : nullptr;
}

// The server speaks only when asked. Bytes that are already waiting when a request is about
// to go out are the rest of a reply that carried more packets than it announced; they are
// dropped (and logged), so that they are never taken for the reply to the next request. A
// peer that keeps sending is not followed for ever: at most kMaxStaleBytes are dropped.
constexpr std::size_t kMaxStaleBytes = 1024 * 1024;

void DiscardStaleBytes(TConnection& connection) {
    TConnection::TReadAhead& ahead = ReadAheadOf(connection);
    const TSocket socket = connection.Socket();
    std::size_t dropped = ahead.End - ahead.Begin;
    ahead.Begin = ahead.End = 0;
    while (dropped < kMaxStaleBytes) {
        const std::size_t pending = SocketShim::PendingBytes(socket);
        if (pending == 0)
            break;
        const long got =
            SocketShim::Receive(socket, ahead.Bytes.data(), std::min(pending, ahead.Bytes.size()));
        if (got <= 0)
            break;
        dropped += static_cast<std::size_t>(got);
    }
    ahead.Begin = ahead.End = 0;
    if (dropped > 0)
        Report("Discarded " + std::to_string(dropped) +
               " bytes that the server sent beyond its last reply");
}

bool OpenCommon(TConnection& connection, std::uint8_t& serverTag, std::uint32_t& connectionId,
                bool (*connect)(TSocket, const void*), const void* address) {
    const TActiveSocket active(connection.Socket());
    if (g_cancelled.load() || !connect(connection.Socket(), address)) {
        CloseConnection(connection);
        Report("Connect Failed");
        return false;
    }
    if (!ReceiveRegistration(connection, serverTag, connectionId)) {
        CloseConnection(connection);
        Report("Server could not Register this Client");
        return false;
    }
    return true;
}

} // namespace

void TPacketHeader::Encode(std::uint8_t* out) const {
    PutLong(out + 0, Param);
    PutLong(out + 4, DataLength);
    PutLong(out + 8, ConnectionId);
    PutWord(out + 12, RequestCode);
    PutWord(out + 14, Serial);
    PutWord(out + 16, Value);
    PutWord(out + 18, PacketCount);
    PutWord(out + 20, PacketIndex);
    PutWord(out + 22, ReplyCode);
    PutWord(out + 24, Param2);
}

TPacketHeader TPacketHeader::Decode(const std::uint8_t* in) {
    TPacketHeader h;
    h.Param = GetLong(in + 0);
    h.DataLength = GetLong(in + 4);
    h.ConnectionId = GetLong(in + 8);
    h.RequestCode = GetWord(in + 12);
    h.Serial = GetWord(in + 14);
    h.Value = GetWord(in + 16);
    h.PacketCount = GetWord(in + 18);
    h.PacketIndex = GetWord(in + 20);
    h.ReplyCode = GetWord(in + 22);
    h.Param2 = GetWord(in + 24);
    return h;
}

TRequestPayload::TRequestPayload(std::vector<std::uint8_t> block) : block_(std::move(block)) {
    if (block_.size() > 0xFFFF)
        block_.resize(0xFFFF);
}

std::uint16_t TRequestPayload::GetChunkCount() const {
    const std::size_t length = block_.size();
    return length == 0 ? 1 : static_cast<std::uint16_t>((length - 1) / kChunkSize + 1);
}

void TRequestPayload::GetChunk(std::uint16_t i, std::uint8_t* destination) const {
    const std::size_t from = std::size_t{i} * kChunkSize;
    const std::size_t to = std::min(block_.size(), from + kChunkSize);
    if (from < to)
        std::memcpy(destination, block_.data() + from, to - from);
}

TServerAddress MakeTcpAddress(const std::array<std::uint8_t, 4>& ip, std::uint16_t port) {
    TServerAddress a{};
    for (int i = 0; i < 4; ++i)
        a[6 + i] = ip[i];
    a[10] = static_cast<std::uint8_t>(port);
    a[11] = static_cast<std::uint8_t>(port >> 8);
    return a;
}

bool StartSockets() {
    if (SocketShim::Startup())
        return true;
    Report("WSASatrtUp Failed");
    return false;
}

void CleanupSockets() {
    SocketShim::Cleanup();
}

TConnection::TConnection(TConnection&& other) noexcept
    : socket_(other.socket_), ahead_(std::move(other.ahead_)) {
    other.socket_ = kInvalidSocket;
    other.ahead_ = TReadAhead{};
}

TConnection& TConnection::operator=(TConnection&& other) noexcept {
    if (this != &other) {
        Close();
        socket_ = other.socket_;
        ahead_ = std::move(other.ahead_);
        other.socket_ = kInvalidSocket;
        other.ahead_ = TReadAhead{};
    }
    return *this;
}

void TConnection::Close() {
    if (socket_ != kInvalidSocket) {
        // A cancel must never shut down the number once the system may have handed it on.
        {
            std::lock_guard<std::mutex> lock(g_activeMutex);
            if (g_activeSocket == socket_)
                g_activeSocket = kInvalidSocket;
        }
        SocketShim::Close(socket_);
    }
    socket_ = kInvalidSocket;
    ahead_ = TReadAhead{};
}

void TConnection::Shutdown() const {
    if (socket_ != kInvalidSocket)
        SocketShim::ShutdownBoth(socket_);
}

bool OpenSpxConnection(const TServerAddress& address, TConnection& connection,
                       std::uint8_t& serverTag, std::uint32_t& connectionId) {
    connection.Close();
    serverTag = 0;
    connectionId = 0;
    connection = TConnection(SocketShim::CreateSpxSocket());
    if (!connection.IsOpen()) {
        Report("Create Socket Failed");
        return false;
    }
    SocketShim::SetTimeouts(connection.Socket(), g_spxTimeoutMs);
    return OpenCommon(
        connection, serverTag, connectionId,
        [](TSocket s, const void* a) {
            return SocketShim::ConnectSpx(s, static_cast<const TServerAddress*>(a)->data());
        },
        &address);
}

bool OpenTcpConnection(const std::array<std::uint8_t, 4>& ip, std::uint16_t port,
                       TConnection& connection, std::uint32_t& connectionId,
                       std::uint8_t& serverTag) {
    connection.Close();
    serverTag = 0;
    connectionId = 0;
    connection = TConnection(SocketShim::CreateTcpSocket());
    if (!connection.IsOpen()) {
        Report("Create Socket Failed");
        return false;
    }
    const TSocket socket = connection.Socket();
    SocketShim::SetSendBufferSize(socket, 0);
    SocketShim::SetNoDelay(socket);
    SocketShim::SetTimeouts(socket, g_tcpTimeoutMs);
    const TServerAddress address = MakeTcpAddress(ip, port);
    return OpenCommon(
        connection, serverTag, connectionId,
        [](TSocket s, const void* a) {
            const auto& addr = *static_cast<const TServerAddress*>(a);
            const std::uint16_t p = static_cast<std::uint16_t>(addr[10] | (addr[11] << 8));
            return SocketShim::ConnectTcp(s, addr.data() + 6, p);
        },
        &address);
}

void CloseConnection(TConnection& connection) {
    connection.Close();
}

std::string ScramblePassword(const std::string& password) {
    const std::size_t n = std::min<std::size_t>(password.size(), 30);
    unsigned sum = 0;
    for (std::size_t i = 0; i < n; ++i)
        sum += static_cast<std::uint8_t>(password[i]);
    const auto s = static_cast<std::uint8_t>(sum % 256);
    std::string result = password.substr(0, n);
    for (char& c : result)
        c = static_cast<char>(static_cast<std::uint8_t>(c) ^ s);
    return result;
}

bool SendBuffer(TSocket socket, const std::uint8_t* bytes, std::size_t length) {
    while (length > 0) {
        const long sent = SocketShim::Send(socket, bytes, length);
        if (sent <= 0)
            return false;
        bytes += sent;
        length -= static_cast<std::size_t>(sent);
    }
    return true;
}

bool ReceivePacket(TConnection& connection, std::uint8_t* packet) {
    int error = 0;
    if (ReceiveExact(connection, packet, kPacketSize, error))
        return true;
    ReportReceiveFailure(connection, error);
    return false;
}

bool ReceiveRegistration(TConnection& connection, std::uint8_t& serverTag,
                         std::uint32_t& connectionId) {
    serverTag = 0;
    connectionId = 0;
    // The registration is a whole packet like any other, so no byte of it stays in the stream.
    std::uint8_t packet[kPacketSize];
    int error = 0;
    if (!ReceiveExact(connection, packet, kPacketSize, error))
        return false;
    const TPacketHeader header = TPacketHeader::Decode(packet);
    if (header.ReplyCode == 0)
        return false;
    serverTag = static_cast<std::uint8_t>(header.Value & 0xFF);
    connectionId = header.Param;
    return true;
}

std::uint16_t NextSerial() {
    ++g_serial;
    if (g_serial == 65535)
        g_serial = 0;
    return g_serial;
}

std::uint16_t CurrentSerial() {
    return g_serial;
}
void SetSerialForTesting(std::uint16_t value) {
    g_serial = value;
}

TPacketHeader BuildHeader(std::uint32_t connectionId, const TRequestRecord& request) {
    TPacketHeader h;
    h.Param = static_cast<std::uint32_t>(request.Param);
    h.DataLength = 0;
    h.ConnectionId = connectionId;
    h.RequestCode = request.Code;
    h.Serial = NextSerial();
    h.Value = request.Value;
    h.PacketCount = 0;
    h.PacketIndex = 0;
    h.ReplyCode = request.ReplyCode;
    h.Param2 = request.Param2;
    return h;
}

bool SendRequest(TSocket socket, std::uint32_t connectionId, const TRequestRecord& request) {
    TPacketHeader header = BuildHeader(connectionId, request);
    std::uint8_t packet[kPacketSize] = {};
    if (!request.Payload) {
        header.PacketCount = 1;
        header.Encode(packet);
        return SendBuffer(socket, packet, kPacketSize);
    }
    header.PacketCount = request.Payload->GetChunkCount();
    header.DataLength = request.Payload->Length();
    for (std::uint16_t i = 0; i < header.PacketCount; ++i) {
        header.PacketIndex = i;
        header.Encode(packet);
        request.Payload->GetChunk(i, packet + kHeaderSize);
        if (!SendBuffer(socket, packet, kPacketSize))
            return false;
    }
    return true;
}

bool ReceiveReply(TConnection& connection, TRequestRecord& request) {
    request.Code = 0;
    request.Value = 0;
    request.Param = 0;
    request.Param2 = 0;
    request.Data.reset();
    request.ReplyCode = 0;

    std::uint8_t packet[kPacketSize];
    bool first = true;
    bool malformed = false;
    std::uint32_t total = 0;
    std::uint16_t remaining = 0;
    std::unique_ptr<TReplyBuffer> buffer;
    // While every packet so far carried the index after the one before it, the data stored
    // lies below the next one's place.
    bool inOrder = true;
    std::uint32_t expected = 0;
    do {
        if (buffer && buffer->Spilled() &&
            ReadAheadOf(connection).End - ReadAheadOf(connection).Begin <
                static_cast<std::size_t>(kPacketSize)) {
            const auto storedEnd = inOrder ? static_cast<std::int32_t>(std::min<std::int64_t>(
                                                 std::int64_t{expected} * kChunkSize, INT32_MAX))
                                           : INT32_MAX;
            if (!ReceiveToFile(connection, *buffer, storedEnd, remaining))
                return false; // the buffer made so far goes with it
            break;
        }
        const std::uint8_t* view = ReceivePacketView(connection, packet);
        if (view == nullptr)
            return false; // the buffer made so far goes with it
        const TPacketHeader header = TPacketHeader::Decode(view);
        if (first) {
            first = false;
            total = header.DataLength;
            remaining = header.PacketCount;
            request.Code = header.RequestCode;
            request.Value = header.Value;
            request.Param = static_cast<std::int32_t>(header.Param);
            request.Param2 = header.Param2;
            request.ReplyCode = header.ReplyCode;
            if (remaining == 0) {
                // A correct server sends at least one packet; counting on would read 65535.
                Report("Reply with Packet Count 0 for request " +
                       std::to_string(header.RequestCode));
                return false;
            }
            if (total > static_cast<std::uint32_t>(INT32_MAX) ||
                total > std::uint32_t{remaining} * kChunkSize) {
                Report("Reply Data Length " + std::to_string(total) + " does not fit in " +
                       std::to_string(remaining) + " packets");
                malformed = true;
            } else if (total != 0) {
                buffer = CreateReplyBuffer(static_cast<std::int32_t>(total));
            }
        }
        inOrder = inOrder && header.PacketIndex == expected;
        ++expected;
        if (total > 0 && buffer)
            buffer->StoreChunk(header.PacketIndex, view + kHeaderSize);
        --remaining;
    } while (remaining != 0);

    if (malformed)
        return false;
    if (buffer && buffer->Spilled()) {
        buffer->FlushWindow();
        if (buffer->FileFailed()) {
            Report("Could not write receive temporary file");
            return false;
        }
    }
    const bool result = total == 0 || buffer != nullptr;
    request.Data = std::move(buffer);
    return result;
}

bool ExchangeRequest(TConnection& connection, std::uint32_t connectionId, TRequestRecord& request) {
    const TActiveSocket active(connection.Socket());
    DiscardStaleBytes(connection);
    bool ok = SendRequest(connection.Socket(), connectionId, request);
    std::unique_ptr<TRequestPayload> payload = std::move(request.Payload);
    if (ok)
        ok = ReceiveReply(connection, request);
    // A "database list changed" answer leaves the payload with the caller, who sends it again.
    if (ok && request.ReplyCode != 0 && request.Value == ReplyValue::kListChanged)
        request.Payload = std::move(payload);
    return ok;
}

void CancelExchange() {
    std::lock_guard<std::mutex> lock(g_activeMutex);
    g_cancelled.store(true);
    if (g_activeSocket != kInvalidSocket)
        SocketShim::ShutdownBoth(g_activeSocket);
}

void WithdrawExchangeCancel() {
    g_cancelled.store(false);
}

bool ExchangeCancelled() {
    return g_cancelled.load();
}

void SetSocketTimeoutsForTesting(int spxMs, int tcpMs) {
    g_spxTimeoutMs = spxMs > 0 ? spxMs : kSpxTimeoutMs;
    g_tcpTimeoutMs = tcpMs > 0 ? tcpMs : kTcpTimeoutMs;
}
