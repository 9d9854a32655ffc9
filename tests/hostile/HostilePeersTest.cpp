// Servers that break the protocol: each case ends in the console's message within the
// (shortened) time-outs, leaves no socket and no spill file behind, and the next connection
// works. The cases run against a scripted peer, and the huge reply against zephran-testserver.

#include "ConnectLogin.h"
#include "ConsoleRequests.h"
#include "HostileSupport.h"
#include "MessagePresenters.h"
#include "Processes.h"
#include "RequestDispatcher.h"
#include "ScriptedPeer.h"
#include "ServerErrors.h"
#include "ServerTextPrinting.h"
#include "TempFolder.h"
#include "ViewRules.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sys/resource.h>

namespace {

constexpr std::array<std::uint8_t, 4> kLoopback = {127, 0, 0, 1};
constexpr int kTestTimeoutMs = 1000;
const std::string kLocalsFailed = "Client Internal Error Number 265 (Request Execution Aborted).";

Bytes LocalsData() {
    Bytes d;
    PutShortString(d, "JOHN");
    PutLong(d, 42);
    PutByte(d, 1);
    PutLong(d, 1234);
    PutWord(d, 0);
    PutWord(d, 1); // one result
    for (std::uint8_t b :
         std::initializer_list<std::uint8_t>{104, 4, 15, 10, 30, 0, 104, 4, 15, 11, 0, 59})
        PutByte(d, b);
    PutWord(d, 0);
    PutWord(d, 0);
    PutWord(d, 0);
    PutByte(d, 5);
    PutWord(d, 100);
    PutWord(d, 0x8000);
    return d;
}

// What a correct server answers to a request of this code.
Bytes CorrectReply(std::uint16_t code) {
    TWireHeader h;
    h.RequestCode = code;
    if (auto admission = AdmissionReply(code))
        return *admission;
    Bytes d;
    switch (code) {
    case 368:
        h.Value = 1;
        d = LocalsData();
        break;
    case 373:
        d.assign(54, 0);
        d[24] = 24; // ClientCount
        break;
    default:
        break;
    }
    return MakeReply(h, d);
}

// Reads one request; nothing when the client closed or went quiet.
std::optional<TWireHeader> NextRequest(TPeerConnection& c) {
    const std::vector<Bytes> packets = c.ReadRequestPackets(5000);
    if (packets.empty())
        return std::nullopt;
    return ParseHeader(packets[0]);
}

// Answers every request correctly until the client goes.
void ServeCorrectly(TPeerConnection& c) {
    while (const auto h = NextRequest(c))
        if (!c.Write(CorrectReply(h->RequestCode)))
            return;
}

// The registration and the admission's three requests, answered correctly.
void Admit(TPeerConnection& c) {
    c.Write(MakeRegistration(77, 5));
    for (int i = 0; i < 3; ++i)
        if (const auto h = NextRequest(c))
            c.Write(CorrectReply(h->RequestCode));
}

// The first console request (368) gets `reply`; everything after is answered correctly.
std::function<void(TPeerConnection&)> BadLocalsReply(Bytes reply) {
    return [reply](TPeerConnection& c) {
        Admit(c);
        if (!NextRequest(c) || !c.Write(reply))
            return;
        ServeCorrectly(c);
    };
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

TWireHeader LocalsHeader(std::uint32_t dataLength, std::uint16_t packetCount,
                         std::uint16_t index = 0) {
    TWireHeader h;
    h.RequestCode = 368;
    h.Value = 1;
    h.DataLength = dataLength;
    h.PacketCount = packetCount;
    h.PacketIndex = index;
    return h;
}

class HostilePeerTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetProgramDirectory(folder_.Path());
        std::filesystem::create_directory(Temp());
        ASSERT_TRUE(CreateRequestDispatcher());
        InitErrorLog();
        UseFarsiMessages = false;
        SetSocketTimeoutsForTesting(kTestTimeoutMs, kTestTimeoutMs);
    }
    void TearDown() override {
        SetSocketTimeoutsForTesting(0, 0);
        FreeRequestDispatcher();
        DoneErrorLog();
        ReportProc = nullptr;
        UseFarsiMessages = true;
    }
    std::string Temp() const { return folder_.Path() + "TEMP"; }
    std::string Log() { return ReadWholeFile(folder_.Path() + "TARVWEB.ERR"); }

    static void Disconnect() {
        RequestDispatcher->LogoutServer(1);
        TServerSet one;
        one.set(1);
        RequestDispatcher->RemoveServers(one);
    }

    // The console after the hostile connection: the next connect and a request work.
    void NextConnectionWorks(std::uint16_t port) {
        recorder_.Clear();
        ASSERT_TRUE(ConnectAndLoginTcp(kLoopback, port, "pw"));
        TLocConnList list;
        EXPECT_EQ(GetLocalConnList(1, list), TExchangeResult::Done);
        ASSERT_EQ(list.size(), 1u);
        EXPECT_EQ(list[0].UserName, TServerText("JOHN"));
        EXPECT_TRUE(recorder_.Messages().empty());
        Disconnect();
    }

    TTempFolder folder_;
    TRecordingMessagePresenter recorder_;
};

struct THostileCase {
    const char* Name;
    std::function<void(TPeerConnection&)> Script;
    TExchangeResult LocalsResult; // what GetLocalConnList answers
    const char* LogText;          // a line the error log must hold ("" for none)
    bool SameConnectionUsable;    // a request after it on the same connection works
};

TEST_F(HostilePeerTest, EveryBrokenReplyEndsInTheMessageAndLeavesNothingBehind) {
    const Bytes locals = LocalsData();
    Bytes stopped = MakeReply(LocalsHeader(0, 0), locals);
    stopped.resize(300);
    const THostileCase cases[] = {
        {"registration one byte at a time",
         [](TPeerConnection& c) {
             c.WriteInPieces(MakeRegistration(77, 5), 1);
             for (int i = 0; i < 3; ++i)
                 if (const auto h = NextRequest(c))
                     c.Write(CorrectReply(h->RequestCode));
             ServeCorrectly(c);
         },
         TExchangeResult::Done, "", true},
        {"PacketCount 0", BadLocalsReply(MakePacket(LocalsHeader(10, 0), locals)),
         TExchangeResult::Failed, "Reply with Packet Count 0 for request 368", true},
        {"PacketCount grows in a later packet",
         BadLocalsReply(
             Concat({MakePacket(LocalsHeader(600, 2), Bytes(locals.begin(), locals.end())),
                     MakePacket(LocalsHeader(600, 9, 1), {})})),
         TExchangeResult::Done, "", true},
        {"PacketCount shrinks and the packets announced first never come",
         BadLocalsReply(Concat({MakePacket(LocalsHeader(1200, 3), locals),
                                MakePacket(LocalsHeader(1200, 1, 1), {})})),
         TExchangeResult::Failed, "Recv Error: 11", false},
        {"more packets than announced",
         BadLocalsReply(Concat({MakeReply(LocalsHeader(0, 0), locals),
                                MakePacket(LocalsHeader(1000, 2, 1), Bytes(508, 0xEE)),
                                MakePacket(LocalsHeader(1000, 2, 2), Bytes(508, 0xEE))})),
         TExchangeResult::Done, "Discarded 1068 bytes that the server sent beyond its last reply",
         true},
        {"DataLength negative", BadLocalsReply(MakePacket(LocalsHeader(0xFFFFFFF0u, 1), locals)),
         TExchangeResult::Failed, "Reply Data Length 4294967280 does not fit in 1 packets", true},
        {"DataLength beyond the packets", BadLocalsReply(MakePacket(LocalsHeader(5000, 1), locals)),
         TExchangeResult::Failed, "Reply Data Length 5000 does not fit in 1 packets", true},
        {"stops in the middle of a packet and keeps the socket open",
         [stopped](TPeerConnection& c) {
             Admit(c);
             NextRequest(c);
             c.Write(stopped);
             c.ReadExactly(1, 10000); // until the console gives up and shuts the socket down
         },
         TExchangeResult::Failed, "Recv Error: 11", false},
        {"database list changed forever",
         [](TPeerConnection& c) {
             Admit(c);
             while (const auto h = NextRequest(c)) {
                 TWireHeader changed;
                 changed.RequestCode = h->RequestCode;
                 changed.ReplyCode = 1;
                 changed.Value = 5;
                 const bool console =
                     h->RequestCode >= 368 && h->RequestCode <= 375 && h->RequestCode != 373;
                 if (!c.Write(console ? MakeReply(changed, {}) : CorrectReply(h->RequestCode)))
                     return;
             }
         },
         TExchangeResult::Failed,
         "Database list changed 8 times in a row while executing request 368.", true},
    };
    for (const THostileCase& c : cases) {
        SCOPED_TRACE(c.Name);
        recorder_.Clear();
        const int descriptors = OpenDescriptorCount();
        {
            int connection = 0;
            TScriptedPeer peer(
                [&](TPeerConnection& conn) {
                    if (connection++ == 0) {
                        c.Script(conn);
                        return;
                    }
                    Admit(conn);
                    ServeCorrectly(conn);
                },
                2);
            ASSERT_TRUE(ConnectAndLoginTcp(kLoopback, peer.Port(), "pw"));
            TLocConnList list;
            EXPECT_EQ(GetLocalConnList(1, list), c.LocalsResult);
            if (c.LocalsResult == TExchangeResult::Done) {
                ASSERT_EQ(list.size(), 1u);
                EXPECT_EQ(list[0].UserName, TServerText("JOHN"));
                EXPECT_TRUE(recorder_.Messages().empty());
            } else {
                EXPECT_TRUE(list.empty());
                EXPECT_EQ(recorder_.Texts(), std::vector<std::string>{kLocalsFailed});
            }
            // The stream is in step again (or the broken socket fails at once).
            TServerStatusBlock status;
            EXPECT_EQ(GetServerStatus(1, status),
                      c.SameConnectionUsable ? TExchangeResult::Done : TExchangeResult::Failed);
            if (*c.LogText != '\0') {
                EXPECT_NE(Log().find(c.LogText), std::string::npos) << Log();
            }
            if (c.SameConnectionUsable) {
                EXPECT_EQ(status.ClientCount, 24);
            }
            Disconnect();
            NextConnectionWorks(peer.Port());
        }
        EXPECT_EQ(OpenDescriptorCount(), descriptors) << "a socket was left open";
        EXPECT_EQ(FolderEntryCount(Temp()), 0) << "a spill file was left behind";
    }
}

TEST_F(HostilePeerTest, EndlessErrorLogStopsAtTheLimitWithAMessage) {
    const int descriptors = OpenDescriptorCount();
    {
        int connection = 0;
        TScriptedPeer peer(
            [&](TPeerConnection& conn) {
                if (connection++ != 0) {
                    Admit(conn);
                    return ServeCorrectly(conn);
                }
                Admit(conn);
                // Every chunk is full: the log never ends.
                Bytes chunk;
                for (int i = 0; chunk.size() < kLogChunkSize; ++i)
                    chunk.push_back(i % 64 == 63 ? '\n' : 'x');
                while (const auto h = NextRequest(conn)) {
                    TWireHeader r;
                    r.RequestCode = h->RequestCode;
                    r.Value = h->RequestCode == 374 ? kLogChunkSize : 0;
                    if (!conn.Write(h->RequestCode == 374 ? MakeReply(r, chunk)
                                                          : CorrectReply(h->RequestCode)))
                        return;
                }
            },
            2);
        ASSERT_TRUE(ConnectAndLoginTcp(kLoopback, peer.Port(), "pw"));
        TServerText text;
        const std::int64_t limit = 1024 * 1024;
        EXPECT_EQ(ReadWholeServerErrorLog(1, text, limit), TExchangeResult::Done);
        EXPECT_EQ(recorder_.Texts(),
                  std::vector<std::string>{"Server error log is too large. Only its first 1 MB are "
                                           "shown."});
        // The lines read so far stay, with their CR LF ends; not a chunk more than the limit.
        EXPECT_GE(text.size(), static_cast<std::size_t>(limit));
        EXPECT_LE(text.size(), static_cast<std::size_t>(limit + 2 * kLogChunkSize) * 65 / 64);
        EXPECT_EQ(text.Bytes.substr(61, 4), "xx\r\n");
        Disconnect();
        NextConnectionWorks(peer.Port());
    }
    EXPECT_EQ(OpenDescriptorCount(), descriptors);
}

// A reply of 65535 packets (about 33 MB) while its spill file cannot be written: the reply is
// read to its end, the request fails with the message, and the connection stays in step.
TEST_F(HostilePeerTest, HugeReplyWhileTheTempFolderCannotBeWritten) {
    const std::string fixture = folder_.Path() + "huge.json";
    std::ofstream(fixture) << R"({"administrator_password": "pw",
        "local_connections": [{"user_name": "JOHN", "security_num": 42,
                               "results": [{"kind": 5, "db_handle": 100, "lifetime": 32768}]}],
        "behaviour": {"huge_replies": [{"code": 372, "bytes": 33291780}]}})";
    TPeerProcess server(std::string(ZEPHRAN_BIN_DIR) + "/zephran-testserver",
                        {"--fixture", fixture, "--port", "0"});
    ASSERT_TRUE(server.Running());
    const auto port = static_cast<std::uint16_t>(server.Port());

    struct TCase {
        const char* Name;
        std::function<void()> Break;
        std::function<void()> Repair;
        const char* LogText;
    };
    rlimit saved{};
    ::getrlimit(RLIMIT_FSIZE, &saved);
    const TCase cases[] = {
        {"TEMP folder missing", [&] { std::filesystem::remove(Temp()); },
         [&] { std::filesystem::create_directory(Temp()); },
         "Could not make receive temporary file"},
        {"TEMP is a file",
         [&] {
             std::filesystem::remove(Temp());
             std::ofstream(Temp()) << "not a folder";
         },
         [&] {
             std::filesystem::remove(Temp());
             std::filesystem::create_directory(Temp());
         },
         "Could not make receive temporary file"},
        {"writes to the spill file refused",
         [&] {
             // The file system refuses every byte past 100000 of any file this process writes.
             std::signal(SIGXFSZ, SIG_IGN);
             rlimit small = saved;
             small.rlim_cur = 100000;
             ::setrlimit(RLIMIT_FSIZE, &small);
         },
         [&] {
             ::setrlimit(RLIMIT_FSIZE, &saved);
             std::signal(SIGXFSZ, SIG_DFL);
         },
         "Could not write receive temporary file"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        recorder_.Clear();
        const int descriptors = OpenDescriptorCount();
        ASSERT_TRUE(ConnectAndLoginTcp(kLoopback, port, "pw"));
        c.Break();
        TDBList list;
        const TExchangeResult result = GetDBList(1, list);
        c.Repair();
        EXPECT_EQ(result, TExchangeResult::Failed);
        EXPECT_TRUE(list.empty());
        EXPECT_EQ(recorder_.Texts(),
                  std::vector<std::string>{"Client Internal Error Number 269 (Request Execution "
                                           "Aborted)."});
        EXPECT_NE(Log().find(c.LogText), std::string::npos);
        TServerStatusBlock status;
        EXPECT_EQ(GetServerStatus(1, status), TExchangeResult::Done)
            << "all 65535 packets were read";
        Disconnect();
        EXPECT_EQ(FolderEntryCount(Temp()), 0);
        EXPECT_EQ(OpenDescriptorCount(), descriptors);

        recorder_.Clear();
        ASSERT_TRUE(ConnectAndLoginTcp(kLoopback, port, "pw"));
        TLocConnList locals;
        EXPECT_EQ(GetLocalConnList(1, locals), TExchangeResult::Done);
        EXPECT_EQ(locals.size(), 1u);
        EXPECT_TRUE(recorder_.Messages().empty());
        Disconnect();
    }
}

} // namespace
