#pragma once

// A peer on loopback whose every byte the test scripts: it listens on a free port, accepts
// one connection at a time and runs the test's script on it in a thread of its own.

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

using Bytes = std::vector<std::uint8_t>;

// The accepted connection as the script sees it.
class TPeerConnection {
public:
    // Reads give up early once `stop` is set (the peer is being destroyed).
    explicit TPeerConnection(int fd, const std::atomic<bool>* stop = nullptr)
        : fd_(fd), stop_(stop) {}
    // Reads exactly n bytes; fewer when the other side closed or nothing came in time.
    Bytes ReadExactly(std::size_t n, int timeoutMs = 10000);
    // One request of the console: its packets, as many as its first header announces.
    std::vector<Bytes> ReadRequestPackets(int timeoutMs = 10000);
    bool Write(const Bytes& bytes);
    // Writes the bytes in pieces of `piece` bytes with a short pause between them.
    bool WriteInPieces(const Bytes& bytes, std::size_t piece);
    void Close();
    int Fd() const { return fd_; }

private:
    int fd_;
    const std::atomic<bool>* stop_;
};

class TScriptedPeer {
public:
    using TScript = std::function<void(TPeerConnection&)>;
    // Listens at once; runs `script` for each of the next `connections` accepted connections.
    explicit TScriptedPeer(TScript script, int connections = 1);
    ~TScriptedPeer();
    TScriptedPeer(const TScriptedPeer&) = delete;
    TScriptedPeer& operator=(const TScriptedPeer&) = delete;

    std::uint16_t Port() const { return port_; }
    // Waits for the script to finish.
    void Join();

private:
    std::atomic<bool> stop_{false};
    int listenFd_ = -1;
    std::uint16_t port_ = 0;
    std::thread thread_;
};

// Wire helpers for scripts: a 534-byte packet with the given header values and data.
struct TWireHeader {
    std::uint32_t Param = 0;
    std::uint32_t DataLength = 0;
    std::uint32_t ConnectionId = 0;
    std::uint16_t RequestCode = 0;
    std::uint16_t Serial = 0;
    std::uint16_t Value = 0;
    std::uint16_t PacketCount = 1;
    std::uint16_t PacketIndex = 0;
    std::uint16_t ReplyCode = 0;
    std::uint16_t Param2 = 0;
};
Bytes MakePacket(const TWireHeader& header, const Bytes& data = {});
TWireHeader ParseHeader(const Bytes& packet);
// A whole reply: `data` cut into as many packets as needed (at least one).
Bytes MakeReply(TWireHeader header, const Bytes& data);
// The registration packet that assigns `connectionId`.
Bytes MakeRegistration(std::uint32_t connectionId, std::uint8_t serverTag,
                       std::uint16_t replyCode = 1);

// Little-endian writers for building reply data.
void PutByte(Bytes& b, std::uint8_t v);
void PutWord(Bytes& b, std::uint16_t v);
void PutLong(Bytes& b, std::int32_t v);
void PutShortString(Bytes& b, const std::string& s);

// A correct server's reply to a request of an administrator's admission: the security
// information (20) of "Central Library", the login (18), and the database list (1) holding one
// database, FIVE (id 100, number 5). Nothing for any other request.
std::optional<Bytes> AdmissionReply(std::uint16_t requestCode);
