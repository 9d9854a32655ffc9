#include "PacketTransport.h"

#include "ScriptedPeer.h"
#include "TempFolder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <numeric>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr std::array<std::uint8_t, 4> kLoopback = {127, 0, 0, 1};

class PacketTransportTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetProgramDirectory(folder_.Path());
        std::filesystem::create_directory(folder_.Path() + "TEMP");
        ReportProc = [this](const std::string& m) { reports_.push_back(m); };
        SetSocketTimeoutsForTesting(0, 0);
    }
    void TearDown() override {
        ReportProc = nullptr;
        SetSocketTimeoutsForTesting(0, 0);
    }

    // Opens a connection to the peer, which registers the client as connection 77, tag 5.
    TConnection Open(TScriptedPeer& peer) {
        TConnection socket;
        std::uint32_t id = 0;
        std::uint8_t tag = 0;
        EXPECT_TRUE(OpenTcpConnection(kLoopback, peer.Port(), socket, id, tag));
        EXPECT_EQ(id, 77u);
        EXPECT_EQ(tag, 5);
        return socket;
    }

    // The reply data that a server streams as `stream` once it has the request, received
    // whole; nothing when the exchange failed.
    std::unique_ptr<TReplyBuffer> ReceiveStreamed(const Bytes& stream) {
        TScriptedPeer peer([&](TPeerConnection& c) {
            c.Write(MakeRegistration(77, 5));
            c.ReadRequestPackets();
            c.Write(stream);
        });
        TConnection socket = Open(peer);
        TRequestRecord r;
        r.Code = 374;
        EXPECT_TRUE(ExchangeRequest(socket, 77, r));
        CloseConnection(socket);
        return std::move(r.Data);
    }

    TTempFolder folder_;
    std::vector<std::string> reports_;
};

// The first `size` bytes of a reply, read back in pieces of `piece` bytes.
Bytes ReadBackWhole(TReplyBuffer* buffer, std::size_t size, std::size_t piece) {
    Bytes back(size);
    std::int32_t cursor = 1;
    for (std::size_t at = 0; at < size; at += piece)
        ReadBytes(buffer, cursor, back.data() + at,
                  static_cast<std::uint16_t>(std::min(piece, size - at)));
    return back;
}

Bytes Range(std::size_t n) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i)
        b[i] = static_cast<std::uint8_t>(i * 7 + 3);
    return b;
}

Bytes FirstBytes(Bytes b, std::size_t n) {
    b.resize(n);
    return b;
}

TEST(PacketWire, HeaderLayoutIsLittleEndianWithoutPadding) {
    TPacketHeader h;
    h.Param = 0x04030201;
    h.DataLength = 0x08070605;
    h.ConnectionId = 0x0C0B0A09;
    h.RequestCode = 0x0E0D;
    h.Serial = 0x100F;
    h.Value = 0x1211;
    h.PacketCount = 0x1413;
    h.PacketIndex = 0x1615;
    h.ReplyCode = 0x1817;
    h.Param2 = 0x1A19;
    std::uint8_t bytes[kHeaderSize];
    h.Encode(bytes);
    for (int i = 0; i < kHeaderSize; ++i)
        EXPECT_EQ(bytes[i], i + 1) << "byte " << i;
    const TPacketHeader back = TPacketHeader::Decode(bytes);
    EXPECT_EQ(back.Param2, 0x1A19);
    EXPECT_EQ(back.ConnectionId, 0x0C0B0A09u);
}

TEST(PacketWire, TcpAddressForm) {
    const TServerAddress a = MakeTcpAddress({10, 0, 0, 1}, 4545);
    const TServerAddress expected = {0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                     0x0A, 0x00, 0x00, 0x01, 0xC1, 0x11};
    EXPECT_EQ(a, expected);
}

TEST(PacketWire, ScramblePassword) {
    EXPECT_EQ(ScramblePassword("abc"), std::string("\x47\x44\x45"));
    EXPECT_EQ(ScramblePassword(""), "");
    const std::string forty(40, 'x');
    const std::string thirty(30, 'x');
    EXPECT_EQ(ScramblePassword(forty), ScramblePassword(thirty)) << "only the first 30 count";
    EXPECT_EQ(ScramblePassword(forty).size(), 30u);
}

TEST(PacketWire, RunningNumberSkips65535) {
    SetSerialForTesting(0);
    EXPECT_EQ(NextSerial(), 1) << "the first request carries 1";
    SetSerialForTesting(65533);
    EXPECT_EQ(NextSerial(), 65534);
    EXPECT_EQ(NextSerial(), 0);
    EXPECT_EQ(NextSerial(), 1);
}

TEST(PacketWire, PayloadChunkCounts) {
    struct Case {
        std::size_t length;
        std::uint16_t packets;
    } cases[] = {{0, 1}, {1, 1}, {508, 1}, {509, 2}, {1016, 2}, {1017, 3}, {65535, 130}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.length);
        EXPECT_EQ(TRequestPayload(Bytes(c.length)).GetChunkCount(), c.packets);
    }
}

TEST_F(PacketTransportTest, RequestWithoutPayloadIsOneEmptyPacket) {
    Bytes seen;
    TScriptedPeer peer([&](TPeerConnection& c) {
        c.Write(MakeRegistration(77, 5));
        seen = c.ReadExactly(534);
        c.Write(MakeReply({}, {}));
    });
    TConnection socket = Open(peer);
    SetSerialForTesting(41);
    TRequestRecord r;
    r.Code = 373;
    r.Value = 0x1234;
    r.Param = -2;
    r.Param2 = 9;
    r.ReplyCode = 3;
    ASSERT_TRUE(ExchangeRequest(socket, 77, r));
    CloseConnection(socket);
    peer.Join();

    ASSERT_EQ(seen.size(), 534u);
    const TWireHeader h = ParseHeader(seen);
    EXPECT_EQ(h.Param, 0xFFFFFFFEu);
    EXPECT_EQ(h.DataLength, 0u);
    EXPECT_EQ(h.ConnectionId, 77u);
    EXPECT_EQ(h.RequestCode, 373);
    EXPECT_EQ(h.Serial, 42);
    EXPECT_EQ(h.Value, 0x1234);
    EXPECT_EQ(h.PacketCount, 1);
    EXPECT_EQ(h.PacketIndex, 0);
    EXPECT_EQ(h.ReplyCode, 3);
    EXPECT_EQ(h.Param2, 9);
    EXPECT_TRUE(std::all_of(seen.begin() + 26, seen.end(), [](std::uint8_t b) { return b == 0; }));
    EXPECT_FALSE(r.Data) << "a reply without data has no buffer";
}

TEST_F(PacketTransportTest, PayloadGoesOutInNumberedChunks) {
    struct Case {
        std::size_t length;
        std::size_t packets;
    } cases[] = {{0, 1}, {508, 1}, {509, 2}, {1200, 3}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.length);
        std::vector<Bytes> packets;
        TScriptedPeer peer([&](TPeerConnection& conn) {
            conn.Write(MakeRegistration(77, 5));
            packets = conn.ReadRequestPackets();
            conn.Write(MakeReply({}, {}));
        });
        TConnection socket = Open(peer);
        const Bytes payload = Range(c.length);
        TRequestRecord r;
        r.Code = 18;
        r.Payload = std::make_unique<TRequestPayload>(payload);
        const std::uint16_t serialBefore = CurrentSerial();
        ASSERT_TRUE(ExchangeRequest(socket, 77, r));
        EXPECT_FALSE(r.Payload) << "the payload is released after an ordinary reply";
        CloseConnection(socket);
        peer.Join();

        ASSERT_EQ(packets.size(), c.packets);
        Bytes received;
        for (std::size_t i = 0; i < packets.size(); ++i) {
            const TWireHeader h = ParseHeader(packets[i]);
            EXPECT_EQ(h.PacketIndex, i);
            EXPECT_EQ(h.PacketCount, c.packets);
            EXPECT_EQ(h.DataLength, c.length);
            EXPECT_EQ(h.Serial, static_cast<std::uint16_t>(serialBefore + 1))
                << "one number per request";
            received.insert(received.end(), packets[i].begin() + 26, packets[i].end());
        }
        received.resize(c.length);
        EXPECT_EQ(received, payload);
        if (c.length == 509) {
            // The packet buffer is zeroed once per request: past its one byte, the last
            // packet's data area repeats the packet before it.
            EXPECT_EQ(packets[1][26], payload[508]);
            EXPECT_TRUE(
                std::equal(packets[1].begin() + 27, packets[1].end(), packets[0].begin() + 27));
        }
    }
}

TEST_F(PacketTransportTest, ReplyIsReassembledFromItsPackets) {
    const Bytes data = Range(1500); // three packets, the last one partly used
    TScriptedPeer peer([&](TPeerConnection& c) {
        c.Write(MakeRegistration(77, 5));
        c.ReadRequestPackets();
        TWireHeader h;
        h.RequestCode = 368;
        h.Value = 3;
        h.Param = 0xABCDEF01;
        h.Param2 = 6;
        // Sent in odd pieces, as a stream may deliver it.
        c.WriteInPieces(MakeReply(h, data), 300);
    });
    TConnection socket = Open(peer);
    TRequestRecord r;
    r.Code = 368;
    ASSERT_TRUE(ExchangeRequest(socket, 77, r));
    CloseConnection(socket);
    EXPECT_EQ(r.Code, 368);
    EXPECT_EQ(r.Value, 3);
    EXPECT_EQ(r.Param, static_cast<std::int32_t>(0xABCDEF01));
    EXPECT_EQ(r.Param2, 6);
    EXPECT_EQ(r.ReplyCode, 0);
    ASSERT_TRUE(r.Data);
    ASSERT_EQ(r.Data->Size(), 1500);
    Bytes back(1500);
    std::int32_t cursor = 1;
    ReadBytes(r.Data.get(), cursor, back.data(), 1500);
    EXPECT_EQ(back, data);
}

TEST_F(PacketTransportTest, RegistrationArrivingInPiecesLeavesNothingInTheStream) {
    TScriptedPeer peer([&](TPeerConnection& c) {
        c.WriteInPieces(MakeRegistration(77, 5), 1);
        c.ReadRequestPackets();
        TWireHeader h;
        h.Value = 99;
        c.Write(MakeReply(h, Range(10)));
    });
    TConnection socket = Open(peer);
    TRequestRecord r;
    r.Code = 20;
    ASSERT_TRUE(ExchangeRequest(socket, 77, r));
    EXPECT_EQ(r.Value, 99) << "the reply is read from its own first byte";
    CloseConnection(socket);
}

TEST_F(PacketTransportTest, RegistrationThatIsShortOrRefusedFails) {
    struct Case {
        const char* name;
        Bytes bytes;
    } cases[] = {
        {"25 bytes then close", FirstBytes(MakeRegistration(77, 5), 25)},
        {"ReplyCode 0", MakeRegistration(77, 5, 0)},
        {"nothing", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        reports_.clear();
        TScriptedPeer peer([&](TPeerConnection& conn) { conn.Write(c.bytes); });
        TConnection socket;
        std::uint32_t id = 1;
        std::uint8_t tag = 1;
        EXPECT_FALSE(OpenTcpConnection(kLoopback, peer.Port(), socket, id, tag));
        EXPECT_EQ(id, 0u);
        EXPECT_EQ(tag, 0);
        EXPECT_EQ(socket.Socket(), kInvalidSocket) << "the socket is closed";
        EXPECT_EQ(reports_, std::vector<std::string>{"Server could not Register this Client"});
    }
}

TEST_F(PacketTransportTest, ClosingDropsTheBytesReadAheadOfTheSocket) {
    // The first server refuses the registration and sends a stray packet behind it in the same
    // write, so the client receives both at once. The socket number freed by the refusal is the
    // one the next connection gets: none of the stray bytes may be taken for its registration.
    int accepted = 0;
    TScriptedPeer peer(
        [&](TPeerConnection& c) {
            if (accepted++ == 0) {
                Bytes refusedThenStray = MakeRegistration(66, 3, 0);
                const Bytes stray = MakeRegistration(666, 9);
                refusedThenStray.insert(refusedThenStray.end(), stray.begin(), stray.end());
                c.Write(refusedThenStray);
            } else {
                c.Write(MakeRegistration(77, 5));
                c.ReadRequestPackets();
                TWireHeader h;
                h.Value = 42;
                c.Write(MakeReply(h, {}));
            }
            c.ReadExactly(1, 5000); // until the client closes
        },
        2);
    // The lowest free descriptor is the one the first connection will be given.
    const int expected = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(expected, 0);
    ::close(expected);

    TConnection socket;
    std::uint32_t id = 0;
    std::uint8_t tag = 0;
    EXPECT_FALSE(OpenTcpConnection(kLoopback, peer.Port(), socket, id, tag));
    EXPECT_EQ(reports_, std::vector<std::string>{"Server could not Register this Client"});

    reports_.clear();
    ASSERT_TRUE(OpenTcpConnection(kLoopback, peer.Port(), socket, id, tag));
    ASSERT_EQ(socket.Socket(), static_cast<TSocket>(expected))
        << "the second connection must reuse the number of the closed socket";
    EXPECT_EQ(id, 77u) << "the registration is the new server's, not the stray packet";
    EXPECT_EQ(tag, 5);
    TRequestRecord r;
    r.Code = 20;
    ASSERT_TRUE(ExchangeRequest(socket, 77, r));
    EXPECT_EQ(r.Value, 42);
    EXPECT_TRUE(reports_.empty()) << reports_.front();
    CloseConnection(socket);
}

TEST_F(PacketTransportTest, ShuttingAConnectionDownEndsAReceiveBlockedOnIt) {
    // The server takes the request and never answers; only the shutdown can end the wait.
    std::atomic<bool> requestArrived{false};
    TScriptedPeer peer([&](TPeerConnection& c) {
        c.Write(MakeRegistration(77, 5));
        c.ReadRequestPackets();
        requestArrived = true;
        c.ReadExactly(1, 20000); // until the client's side is shut down
    });
    TConnection connection = Open(peer);
    std::thread canceller([&] {
        while (!requestArrived)
            std::this_thread::yield();
        connection.Shutdown();
    });
    TRequestRecord r;
    r.Code = 373;
    EXPECT_FALSE(ExchangeRequest(connection, 77, r));
    canceller.join();
    ASSERT_EQ(reports_.size(), 1u);
    EXPECT_EQ(reports_[0].rfind("Recv Error: ", 0), 0u) << reports_[0];
    EXPECT_TRUE(connection.IsOpen()) << "shut down, not closed: its owner closes it";
    TRequestRecord again;
    again.Code = 373;
    EXPECT_FALSE(ExchangeRequest(connection, 77, again)) << "later exchanges fail at once";
    connection.Close();
    EXPECT_FALSE(connection.IsOpen());
}

TEST_F(PacketTransportTest, ConnectFailureIsReported) {
    std::uint16_t port;
    {
        TScriptedPeer unused([](TPeerConnection&) {}, 0);
        port = unused.Port();
    } // now nothing listens there
    TConnection socket;
    std::uint32_t id;
    std::uint8_t tag;
    EXPECT_FALSE(OpenTcpConnection(kLoopback, port, socket, id, tag));
    EXPECT_EQ(reports_, std::vector<std::string>{"Connect Failed"});
}

TEST_F(PacketTransportTest, SpxWithoutIpxFailsAtSocketCreation) {
    TConnection socket;
    std::uint8_t tag = 1;
    std::uint32_t id = 1;
    const TServerAddress address{};
    if (OpenSpxConnection(address, socket, tag, id)) {
        CloseConnection(socket);
        GTEST_SKIP() << "this platform offers SPX";
    }
    ASSERT_FALSE(reports_.empty());
    if (reports_[0] == "Create Socket Failed") {
        EXPECT_EQ(socket.Socket(), kInvalidSocket);
    }
    EXPECT_EQ(tag, 0);
    EXPECT_EQ(id, 0u);
}

TEST_F(PacketTransportTest, MalformedRepliesFailAndKeepTheStreamInStep) {
    struct Case {
        const char* name;
        std::uint32_t dataLength;
        std::uint16_t packetCount;
        const char* report;
    } cases[] = {
        {"packet count 0", 0, 0, "Reply with Packet Count 0 for request 372"},
        {"negative length", 0xFFFFFF00u, 2,
         "Reply Data Length 4294967040 does not fit in 2 packets"},
        {"length beyond the packets", 1017, 2, "Reply Data Length 1017 does not fit in 2 packets"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        reports_.clear();
        TScriptedPeer peer([&](TPeerConnection& conn) {
            conn.Write(MakeRegistration(77, 5));
            conn.ReadRequestPackets();
            TWireHeader h;
            h.RequestCode = 372;
            h.DataLength = c.dataLength;
            h.PacketCount = c.packetCount;
            for (int i = 0; i < std::max<int>(1, c.packetCount); ++i) {
                h.PacketIndex = static_cast<std::uint16_t>(i);
                conn.Write(MakePacket(h, Range(508)));
            }
            // The next request gets a proper answer.
            conn.ReadRequestPackets();
            TWireHeader ok;
            ok.Value = 4;
            conn.Write(MakeReply(ok, Range(3)));
        });
        TConnection socket = Open(peer);
        TRequestRecord r;
        r.Code = 372;
        EXPECT_FALSE(ExchangeRequest(socket, 77, r));
        EXPECT_FALSE(r.Data);
        EXPECT_EQ(reports_, std::vector<std::string>{c.report});
        TRequestRecord next;
        next.Code = 1;
        EXPECT_TRUE(ExchangeRequest(socket, 77, next));
        EXPECT_EQ(next.Value, 4);
        CloseConnection(socket);
    }
}

TEST_F(PacketTransportTest, PeerClosingInsideAPacketIsARecvError) {
    TScriptedPeer peer([&](TPeerConnection& c) {
        c.Write(MakeRegistration(77, 5));
        c.ReadRequestPackets();
        Bytes half = MakeReply({}, Range(100));
        half.resize(300);
        c.Write(half);
    });
    TConnection socket = Open(peer);
    TRequestRecord r;
    r.Code = 368;
    EXPECT_FALSE(ExchangeRequest(socket, 77, r));
    EXPECT_FALSE(r.Data);
    EXPECT_EQ(reports_, std::vector<std::string>{"Recv Error: 0"});
    CloseConnection(socket);
}

TEST_F(PacketTransportTest, StalledPeerTimesOutAndTheSocketIsShutDown) {
    SetSocketTimeoutsForTesting(0, 200);
    TScriptedPeer peer([&](TPeerConnection& c) {
        c.Write(MakeRegistration(77, 5));
        c.ReadRequestPackets();
        Bytes part = MakeReply({}, {});
        part.resize(100);
        c.Write(part);
        c.ReadExactly(1, 3000); // keeps the socket open until the client shuts it down
    });
    TConnection socket = Open(peer);
    TRequestRecord r;
    r.Code = 368;
    EXPECT_FALSE(ExchangeRequest(socket, 77, r));
    ASSERT_EQ(reports_.size(), 1u);
    EXPECT_EQ(reports_[0], "Recv Error: " + std::to_string(EAGAIN));
    // The socket stays open but shut down: the next exchange fails at sending, quietly.
    reports_.clear();
    TRequestRecord again;
    again.Code = 368;
    EXPECT_FALSE(ExchangeRequest(socket, 77, again));
    EXPECT_TRUE(reports_.empty());
    CloseConnection(socket);
}

TEST_F(PacketTransportTest, SendingToAClosedPeerFailsWithoutEndingTheProcess) {
    TScriptedPeer peer([&](TPeerConnection& c) { c.Write(MakeRegistration(77, 5)); });
    TConnection socket = Open(peer);
    peer.Join();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    for (int i = 0; i < 3; ++i) {
        TRequestRecord r;
        r.Code = 368;
        r.Payload = std::make_unique<TRequestPayload>(Range(5000));
        EXPECT_FALSE(ExchangeRequest(socket, 77, r));
    }
    CloseConnection(socket);
}

TEST_F(PacketTransportTest, ListChangedAnswerKeepsThePayloadForTheResend) {
    TScriptedPeer peer([&](TPeerConnection& c) {
        c.Write(MakeRegistration(77, 5));
        c.ReadRequestPackets();
        TWireHeader h;
        h.ReplyCode = 1;
        h.Value = 5;
        c.Write(MakeReply(h, {}));
        c.ReadRequestPackets();
        h.Value = 119;
        c.Write(MakeReply(h, {}));
    });
    TConnection socket = Open(peer);
    TRequestRecord r;
    r.Code = 369;
    r.Payload = std::make_unique<TRequestPayload>(Range(4));
    ASSERT_TRUE(ExchangeRequest(socket, 77, r));
    ASSERT_TRUE(r.Payload);
    EXPECT_EQ(r.Payload->Length(), 4);
    ASSERT_TRUE(ExchangeRequest(socket, 77, r));
    EXPECT_EQ(r.Value, 119);
    EXPECT_FALSE(r.Payload) << "any other server error releases it";
    CloseConnection(socket);
}

TEST_F(PacketTransportTest, LargeReplySpillsAndReadsBackWhole) {
    const Bytes data = Range(350001);
    std::unique_ptr<TReplyBuffer> reply = ReceiveStreamed(MakeReply({}, data));
    ASSERT_TRUE(reply);
    ASSERT_TRUE(reply->Spilled());
    const std::string spillName = reply->SpillFileName();
    EXPECT_EQ(std::filesystem::file_size(spillName), data.size());
    EXPECT_EQ(ReadBackWhole(reply.get(), data.size(), 60000), data);
    reply.reset();
    EXPECT_FALSE(FileExists(spillName));
}

// Packets out of order and a packet sent twice, in a spilled reply that arrives in large
// pieces: each packet's data lies where its own index says, the later copy of a packet wins,
// and runs of packets in order are stored as well as the packets between them.
TEST_F(PacketTransportTest, SpilledReplyPacketsLieWhereTheirIndexesSay) {
    constexpr std::uint16_t kPackets = 900;
    constexpr std::uint32_t kTotal = std::uint32_t{kPackets} * kChunkSize - 100;
    const auto content = [](std::uint16_t index, std::uint8_t copy) {
        Bytes chunk(kChunkSize);
        for (std::size_t i = 0; i < chunk.size(); ++i)
            chunk[i] = static_cast<std::uint8_t>(index * 7 + i * 3 + copy * 101);
        return chunk;
    };
    // 0..399, then 700..899 ahead of their turn, 400..699 with 450 sent once more at the end
    // of that stretch, and 3 once more at the very end.
    std::vector<std::pair<std::uint16_t, std::uint8_t>> order;
    for (std::uint16_t i = 0; i < 400; ++i)
        order.emplace_back(i, 0);
    for (std::uint16_t i = 700; i < kPackets; ++i)
        order.emplace_back(i, 0);
    for (std::uint16_t i = 400; i < 700; ++i)
        order.emplace_back(i, 0);
    order.emplace_back(450, 1);
    order.emplace_back(3, 1);
    Bytes stream;
    for (const auto& [index, copy] : order) {
        TWireHeader h;
        h.DataLength = kTotal;
        h.PacketCount = static_cast<std::uint16_t>(order.size());
        h.PacketIndex = index;
        const Bytes packet = MakePacket(h, content(index, copy));
        stream.insert(stream.end(), packet.begin(), packet.end());
    }
    std::unique_ptr<TReplyBuffer> reply = ReceiveStreamed(stream);
    ASSERT_TRUE(reply);
    ASSERT_TRUE(reply->Spilled());
    EXPECT_EQ(std::filesystem::file_size(reply->SpillFileName()), kTotal);
    Bytes expected;
    for (std::uint16_t i = 0; i < kPackets; ++i) {
        const Bytes chunk = content(i, i == 450 || i == 3 ? 1 : 0);
        expected.insert(expected.end(), chunk.begin(), chunk.end());
    }
    expected.resize(kTotal);
    const Bytes back = ReadBackWhole(reply.get(), kTotal, 50000);
    for (std::size_t i = 0; i < back.size(); ++i)
        ASSERT_EQ(back[i], expected[i]) << "at byte " << i << " of packet " << i / kChunkSize;
    EXPECT_TRUE(reports_.empty()) << reports_.front();
}

// Once the bytes received ahead are used up, a spilled reply goes from the socket straight to
// its file. However its stream is cut on the way, each packet's data lies where its index
// says, whether the packets come in order or not, twice, beyond the data or not at all: the
// later copy of a packet wins, data that no packet carried reads as zeros, the file has the
// reply's length, and the stream stays in step for the next request.
TEST_F(PacketTransportTest, SpilledReplyIsWholeHoweverItsStreamIsCutOrReordered) {
    constexpr std::uint16_t kPackets = 1500; // more than two windows
    constexpr std::uint32_t kTotal = std::uint32_t{kPackets} * kChunkSize - 77;
    using TOrder = std::vector<std::pair<std::uint16_t, std::uint8_t>>; // index, copy
    const auto content = [](std::uint16_t index, std::uint8_t copy) {
        Bytes chunk(kChunkSize);
        for (std::size_t i = 0; i < chunk.size(); ++i)
            chunk[i] = static_cast<std::uint8_t>(index * 5 + i * 11 + copy * 37);
        return chunk;
    };
    const auto inOrder = [](std::uint16_t from, std::uint16_t to, TOrder order = {}) {
        for (std::uint16_t i = from; i < to; ++i)
            order.emplace_back(i, 0);
        return order;
    };
    TOrder swapped = inOrder(0, 900);
    swapped.emplace_back(901, 0);
    swapped.emplace_back(900, 0);
    swapped = inOrder(902, kPackets, swapped);
    TOrder repeatedAtTheEnd = inOrder(0, kPackets);
    repeatedAtTheEnd.emplace_back(1000, 1);
    TOrder repeatedInside = inOrder(0, 1200);
    repeatedInside.emplace_back(1199, 1);
    repeatedInside = inOrder(1200, kPackets, repeatedInside);
    const TOrder beyondTheData = inOrder(0, kPackets + 12);
    TOrder brokenAtOnce{{0, 0}, {0, 1}};
    brokenAtOnce = inOrder(1, kPackets, brokenAtOnce);
    // Packets missing, and as many others sent twice so that the count still holds the data.
    TOrder oneMissing = inOrder(0, 1100);
    oneMissing.emplace_back(1099, 1);
    oneMissing = inOrder(1101, kPackets, oneMissing);
    TOrder lastOnesMissing = inOrder(0, kPackets - 40);
    lastOnesMissing.insert(lastOnesMissing.end(), 40, {500, 1});
    const struct Case {
        const char* name;
        TOrder order;
    } cases[] = {
        {"in order", inOrder(0, kPackets)},
        {"two packets swapped", swapped},
        {"a packet again after the last", repeatedAtTheEnd},
        {"a packet again at once", repeatedInside},
        {"packets beyond the data", beyondTheData},
        {"the second packet out of order", brokenAtOnce},
        {"a packet missing", oneMissing},
        {"the last packets missing", lastOnesMissing},
    };
    for (const Case& c : cases) {
        for (const std::size_t piece : {std::size_t{0}, std::size_t{7919}, std::size_t{1001}}) {
            SCOPED_TRACE(std::string(c.name) + ", pieces of " + std::to_string(piece));
            reports_.clear();
            Bytes stream;
            Bytes expected(std::size_t{kPackets} * kChunkSize + 20 * kChunkSize);
            for (const auto& [index, copy] : c.order) {
                TWireHeader h;
                h.DataLength = kTotal;
                h.PacketCount = static_cast<std::uint16_t>(c.order.size());
                h.PacketIndex = index;
                const Bytes chunk = content(index, copy);
                const Bytes packet = MakePacket(h, chunk);
                stream.insert(stream.end(), packet.begin(), packet.end());
                std::copy(chunk.begin(), chunk.end(),
                          expected.begin() + static_cast<long>(std::size_t{index} * kChunkSize));
            }
            expected.resize(kTotal);
            TScriptedPeer peer([&](TPeerConnection& conn) {
                conn.Write(MakeRegistration(77, 5));
                conn.ReadRequestPackets();
                if (piece == 0)
                    conn.Write(stream);
                else
                    conn.WriteInPieces(stream, piece);
                conn.ReadRequestPackets();
                TWireHeader ok;
                ok.Value = 9;
                conn.Write(MakeReply(ok, Range(3)));
            });
            TConnection socket = Open(peer);
            TRequestRecord r;
            r.Code = 374;
            ASSERT_TRUE(ExchangeRequest(socket, 77, r));
            ASSERT_TRUE(r.Data);
            ASSERT_TRUE(r.Data->Spilled());
            EXPECT_EQ(std::filesystem::file_size(r.Data->SpillFileName()), kTotal);
            const Bytes back = ReadBackWhole(r.Data.get(), kTotal, 40000);
            for (std::size_t i = 0; i < back.size(); ++i)
                ASSERT_EQ(back[i], expected[i])
                    << "at byte " << i << " of packet " << i / kChunkSize;
            // Read again from the end backwards: each window comes back from the file.
            for (std::int32_t at = static_cast<std::int32_t>(kTotal) - 1000; at > 0; at -= 200000)
                ASSERT_EQ(Bytes(r.Data->GetPointer(at + 1, 1000),
                                r.Data->GetPointer(at + 1, 1000) + 1000),
                          Bytes(expected.begin() + at, expected.begin() + at + 1000));
            TRequestRecord next;
            next.Code = 1;
            ASSERT_TRUE(ExchangeRequest(socket, 77, next));
            EXPECT_EQ(next.Value, 9);
            EXPECT_TRUE(reports_.empty()) << reports_.front();
            CloseConnection(socket);
        }
    }
}

// A peer that ends the connection in the middle of a spilled reply, part of a packet sent:
// the exchange fails as at any other point, and no spill file is left.
TEST_F(PacketTransportTest, PeerClosingInsideASpilledReplyFailsAndLeavesNoFile) {
    Bytes stream = MakeReply({}, Range(std::size_t{1500} * kChunkSize));
    stream.resize(std::size_t{1000} * kPacketSize + 300);
    TScriptedPeer peer([&](TPeerConnection& c) {
        c.Write(MakeRegistration(77, 5));
        c.ReadRequestPackets();
        c.Write(stream);
    });
    TConnection socket = Open(peer);
    TRequestRecord r;
    r.Code = 374;
    EXPECT_FALSE(ExchangeRequest(socket, 77, r));
    EXPECT_FALSE(r.Data);
    EXPECT_EQ(reports_, std::vector<std::string>{"Recv Error: 0"});
    EXPECT_TRUE(std::filesystem::is_empty(folder_.Path() + "TEMP"));
    CloseConnection(socket);
}

TEST_F(PacketTransportTest, ReplyWithoutRoomForItsBufferIsReadToTheEnd) {
    std::filesystem::remove(folder_.Path() + "TEMP");
    TScriptedPeer peer([&](TPeerConnection& c) {
        c.Write(MakeRegistration(77, 5));
        c.ReadRequestPackets();
        c.Write(MakeReply({}, Range(400000)));
        c.ReadRequestPackets();
        TWireHeader ok;
        ok.Value = 8;
        c.Write(MakeReply(ok, {}));
    });
    TConnection socket = Open(peer);
    TRequestRecord r;
    r.Code = 374;
    EXPECT_FALSE(ExchangeRequest(socket, 77, r));
    EXPECT_EQ(reports_, std::vector<std::string>{"Could not make receive temporary file"});
    TRequestRecord next;
    next.Code = 1;
    ASSERT_TRUE(ExchangeRequest(socket, 77, next));
    EXPECT_EQ(next.Value, 8);
    CloseConnection(socket);
}

// A cancel from another thread ends a blocking call on the connection in use: the exchange or
// the opening fails as on a broken link, and so does whatever starts before the cancel is
// withdrawn.
class CancelExchangeTest : public PacketTransportTest {
protected:
    void TearDown() override {
        WithdrawExchangeCancel();
        PacketTransportTest::TearDown();
    }

    // Runs `call` on a thread of its own, cancels once `started` is set and answers whether the
    // call returned (it must, and with a failure) within the peer's patience.
    template <typename Call> void CancelWhileBlocked(std::atomic<bool>& started, Call call) {
        std::atomic<bool> returned{false};
        bool result = true;
        std::thread worker([&] {
            result = call();
            returned = true;
        });
        for (int i = 0; i < 1000 && !started; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ASSERT_TRUE(started.load());
        // The call is now blocked on a peer that stays silent for ever.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_FALSE(returned.load());
        CancelExchange();
        for (int i = 0; i < 1000 && !returned; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        EXPECT_TRUE(returned.load()) << "the blocked call did not return after the cancel";
        worker.join();
        EXPECT_FALSE(result);
    }
};

// Waits until the test ends the peer, without answering.
void StaySilent(TPeerConnection& c) {
    c.ReadExactly(1, 20000);
}

TEST_F(CancelExchangeTest, ABlockedReceiveReturnsAFailure) {
    std::atomic<bool> asked{false};
    TScriptedPeer peer([&](TPeerConnection& c) {
        c.Write(MakeRegistration(77, 5));
        c.ReadRequestPackets();
        asked = true;
        StaySilent(c);
    });
    TConnection socket = Open(peer);
    CancelWhileBlocked(asked, [&] {
        TRequestRecord r;
        r.Code = 368;
        return ExchangeRequest(socket, 77, r);
    });
    // Later exchanges fail at once while the cancel stands.
    TRequestRecord again;
    again.Code = 368;
    EXPECT_FALSE(ExchangeRequest(socket, 77, again));
    CloseConnection(socket);
}

// The same in the middle of a spilled reply that goes straight to its file.
TEST_F(CancelExchangeTest, AReceiveBlockedInsideASpilledReplyReturnsAFailure) {
    std::atomic<bool> sent{false};
    Bytes stream = MakeReply({}, Range(std::size_t{1500} * kChunkSize));
    stream.resize(std::size_t{900} * kPacketSize + 100);
    TScriptedPeer peer([&](TPeerConnection& c) {
        c.Write(MakeRegistration(77, 5));
        c.ReadRequestPackets();
        c.Write(stream);
        sent = true;
        StaySilent(c);
    });
    TConnection socket = Open(peer);
    CancelWhileBlocked(sent, [&] {
        TRequestRecord r;
        r.Code = 374;
        return ExchangeRequest(socket, 77, r);
    });
    EXPECT_TRUE(std::filesystem::is_empty(folder_.Path() + "TEMP"));
    CloseConnection(socket);
}

TEST_F(CancelExchangeTest, AnOpeningWaitingForTheRegistrationFails) {
    std::atomic<bool> accepted{false};
    TScriptedPeer peer([&](TPeerConnection& c) {
        accepted = true;
        StaySilent(c);
    });
    TConnection socket;
    CancelWhileBlocked(accepted, [&] {
        std::uint32_t id = 0;
        std::uint8_t tag = 0;
        return OpenTcpConnection(kLoopback, peer.Port(), socket, id, tag);
    });
    EXPECT_FALSE(socket.IsOpen());
    EXPECT_EQ(reports_.back(), "Server could not Register this Client");
}

TEST_F(CancelExchangeTest, WithdrawnCancelLeavesNewConnectionsWorking) {
    TScriptedPeer peer([&](TPeerConnection& c) {
        c.Write(MakeRegistration(77, 5));
        const std::vector<Bytes> request = c.ReadRequestPackets();
        if (request.empty())
            return;
        TWireHeader reply;
        reply.ConnectionId = 77;
        reply.RequestCode = ParseHeader(request[0]).RequestCode;
        reply.Serial = ParseHeader(request[0]).Serial;
        reply.Value = 42;
        c.Write(MakeReply(reply, {}));
    });
    // A cancel with nothing in progress still fails the next opening.
    CancelExchange();
    TConnection socket;
    std::uint32_t id = 0;
    std::uint8_t tag = 0;
    EXPECT_FALSE(OpenTcpConnection(kLoopback, peer.Port(), socket, id, tag));
    WithdrawExchangeCancel();
    socket = Open(peer);
    TRequestRecord r;
    r.Code = 20;
    ASSERT_TRUE(ExchangeRequest(socket, 77, r));
    EXPECT_EQ(r.Value, 42);
    CloseConnection(socket);
}

} // namespace
