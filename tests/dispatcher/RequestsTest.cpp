#include "ConfigStore.h"
#include "ConnectLogin.h"
#include "ConsoleRequests.h"
#include "FakeServer.h"
#include "MessagePresenters.h"
#include "RequestDispatcher.h"
#include "ServerErrors.h"
#include "ServerTextPrinting.h"
#include "TempFolder.h"
#include "ViewRules.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

namespace {

constexpr std::array<std::uint8_t, 4> kLoopback = {127, 0, 0, 1};

// A connected server whose console replies the test sets per request code.
class RequestsTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetProgramDirectory(folder_.Path());
        std::filesystem::create_directory(folder_.Path() + "TEMP");
        ASSERT_TRUE(CreateRequestDispatcher());
        UseFarsiMessages = false;
        server_ =
            std::make_unique<TFakeServer>([this](const TWireHeader& h, const Bytes& d) -> Bytes {
                switch (h.RequestCode) {
                case 20:
                    return SecurityReply();
                case 18:
                    return LoginReply(true);
                case 1:
                    return DatabaseListReply({{100, 7, "SEVEN"}, {101, 8, ""}}, 1);
                default: {
                    std::lock_guard<std::mutex> lock(mutex_);
                    lastRequest_ = {h, d};
                    return reply_;
                }
                }
            });
        ASSERT_TRUE(ConnectAndLoginTcp(kLoopback, server_->Port(), "pw"));
    }
    void TearDown() override {
        FreeRequestDispatcher();
        server_.reset();
        UseFarsiMessages = true;
        ReportProc = nullptr;
    }
    void Reply(std::uint16_t value, const Bytes& data) {
        TWireHeader h;
        h.Value = value;
        std::lock_guard<std::mutex> lock(mutex_);
        reply_ = MakeReply(h, data);
    }
    void ReplyRaw(Bytes bytes) {
        std::lock_guard<std::mutex> lock(mutex_);
        reply_ = std::move(bytes);
    }
    TReceived LastRequest() {
        std::lock_guard<std::mutex> lock(mutex_);
        return lastRequest_;
    }

    TTempFolder folder_;
    TRecordingMessagePresenter recorder_;
    std::mutex mutex_;
    Bytes reply_;
    TReceived lastRequest_;
    std::unique_ptr<TFakeServer> server_;
};

void PutLocal(Bytes& d, const std::string& user, std::int32_t securityNum,
              std::uint16_t resultsOnWire, std::uint8_t day = 17) {
    PutShortString(d, user);
    PutLong(d, securityNum);
    PutByte(d, 0x83);
    PutLong(d, 1000);
    PutWord(d, 3);
    PutWord(d, resultsOnWire);
    for (std::uint8_t b : {std::uint8_t{104}, std::uint8_t{4}, day, std::uint8_t{14},
                           std::uint8_t{3}, std::uint8_t{22}})
        PutByte(d, b);
    for (std::uint8_t b : std::initializer_list<std::uint8_t>{104, 4, 18, 9, 0, 0})
        PutByte(d, b);
    PutWord(d, 4);
    PutWord(d, 0);
    PutWord(d, 12);
    for (std::uint16_t i = 0; i < resultsOnWire; ++i) {
        PutByte(d, static_cast<std::uint8_t>(i % 14));
        PutWord(d, 100);
        PutWord(d, i == 0 ? 0x8000 : 0x4000);
    }
}

TEST_F(RequestsTest, LocalConnectionsAreCutAndSkippedInPlace) {
    Bytes d;
    PutLocal(d, std::string(40, 'U'), 11, 600);
    PutLocal(d, "SECOND", 22, 1);
    Reply(2, d);
    TLocConnList list;
    ASSERT_EQ(GetLocalConnList(1, list), TExchangeResult::Done);
    EXPECT_EQ(LastRequest().Header.RequestCode, 368);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].UserName, TServerText(std::string(30, 'U')));
    EXPECT_EQ(list[0].SecurityNum, 11);
    EXPECT_EQ(list[0].ResultsCount, 500);
    EXPECT_EQ(list[0].Results.size(), 500u);
    EXPECT_EQ(list[0].Results[0].Lifetime, 0x8000);
    EXPECT_EQ(list[0].CapturedTextBankId, 12);
    EXPECT_EQ(list[1].UserName, TServerText("SECOND")) << "the surplus results were stepped over";
    EXPECT_EQ(list[1].SecurityNum, 22);
    EXPECT_EQ(list[1].RequestsCount, 1000);
    EXPECT_EQ(list[1].ASyncRequests, 3);
    EXPECT_EQ(list[1].ConnectTime, (TServerDateTime{104, 4, 17, 14, 3, 22}));
    EXPECT_EQ(LocalConnStatusText(list[1]), "Captured Text Bank Id 12");
    EXPECT_EQ(ResultDatabaseName(1, list[1].Results[0].DBHandle), TServerText("SEVEN"));
    ReleaseLocalConnList(list);
    EXPECT_TRUE(list.empty());
}

// A reply that ends before the fields it announces: the fields that are there are kept, the
// rest stay as a fresh record has them, nothing is shown, and one line names the request.
TEST_F(RequestsTest, ShortRepliesKeepWhatCameAndAreLogged) {
    std::vector<std::string> reports;
    ReportProc = [&reports](const std::string& m) { reports.push_back(m); };
    struct Case {
        const char* name;
        std::uint16_t value;
        Bytes data;
        std::function<void()> runAndCheck;
        std::string report;
    };
    Bytes locals;
    PutLocal(locals, "LOCAL", 5, 3);
    locals.resize(locals.size() - 10); // the last two of three results are missing
    Bytes webs;
    PutShortString(webs, "ALICE");
    PutLong(webs, 7);
    const Bytes accessTime = {104, 4, 18, 9, 0, 0};
    webs.insert(webs.end(), accessTime.begin(), accessTime.end());
    PutShortString(webs, "BOB"); // the second record ends after its name
    Bytes dbs;
    PutWord(dbs, 9);
    PutShortString(dbs, "PATH");
    PutByte(dbs, 1);
    PutByte(dbs, 1);
    PutByte(dbs, 2);
    PutWord(dbs, 7); // one of two children, and no result count
    const Bytes status(20, 0x01);
    const Bytes log(40, 'L');
    const Case cases[] = {
        {"locals", 1, locals,
         [] {
             TLocConnList list;
             ASSERT_EQ(GetLocalConnList(1, list), TExchangeResult::Done);
             ASSERT_EQ(list.size(), 1u);
             EXPECT_EQ(list[0].UserName, TServerText("LOCAL"));
             EXPECT_EQ(list[0].CapturedTextBankId, 12);
             ASSERT_EQ(list[0].Results.size(), 3u);
             EXPECT_EQ(list[0].Results[0].Lifetime, 0x8000);
             EXPECT_EQ(list[0].Results[2].DBHandle, 0);
         },
         "Reply to request 368 ran short: 42 data bytes where at least 52 were read"},
        {"locals counted without data",
         2,
         {},
         [] {
             TLocConnList list;
             ASSERT_EQ(GetLocalConnList(1, list), TExchangeResult::Done);
             EXPECT_TRUE(list.empty());
         },
         "Reply to request 368 ran short: 0 data bytes where at least 1 were read"},
        {"webs", 2, webs,
         [] {
             TWebConnList list;
             ASSERT_EQ(GetWebConnList(1, list), TExchangeResult::Done);
             ASSERT_EQ(list.size(), 2u);
             EXPECT_EQ(list[0].UserId, 7);
             EXPECT_EQ(list[1].UserName, TServerText("BOB"));
             EXPECT_EQ(list[1].UserId, 0);
             EXPECT_EQ(list[1].LastAccessTime, TServerDateTime{});
         },
         "Reply to request 370 ran short: 20 data bytes where at least 30 were read"},
        {"databases", 1, dbs,
         [] {
             TDBList list;
             ASSERT_EQ(GetDBList(1, list), TExchangeResult::Done);
             ASSERT_EQ(list.size(), 1u);
             EXPECT_EQ(list[0].Path, TServerText("PATH"));
             EXPECT_EQ(list[0].ChildIds, (std::vector<std::uint16_t>{7, 0}));
             EXPECT_EQ(list[0].ResCount, 0);
         },
         "Reply to request 372 ran short: 12 data bytes where at least 16 were read"},
        {"status", 0, status,
         [] {
             TServerStatusBlock block;
             block.ClientCount = 99;
             ASSERT_EQ(GetServerStatus(1, block), TExchangeResult::Done);
             EXPECT_EQ(block.ClientCount, 99) << "a short block changes nothing";
         },
         "Reply to request 373 ran short: 20 data bytes where at least 54 were read"},
        {"error log", 100, log,
         [] {
             std::uint8_t chunk[4096] = {};
             std::uint16_t length = 0;
             ASSERT_EQ(ReadServerErrorLog(1, chunk, 4096, 0, length), TExchangeResult::Done);
             EXPECT_EQ(length, 40);
             EXPECT_EQ(chunk[39], 'L');
         },
         "Reply to request 374 ran short: 40 data bytes where at least 100 were read"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        reports.clear();
        Reply(c.value, c.data);
        c.runAndCheck();
        EXPECT_TRUE(recorder_.Messages().empty());
        EXPECT_EQ(reports, std::vector<std::string>{c.report});
    }
}

TEST_F(RequestsTest, ListsWithoutDataAreEmptyAndQuiet) {
    Reply(0, {});
    TLocConnList locals;
    TWebConnList webs;
    TDBList dbs;
    EXPECT_EQ(GetLocalConnList(1, locals), TExchangeResult::Done);
    EXPECT_EQ(GetWebConnList(1, webs), TExchangeResult::Done);
    EXPECT_EQ(GetDBList(1, dbs), TExchangeResult::Done);
    EXPECT_TRUE(locals.empty() && webs.empty() && dbs.empty());
    EXPECT_TRUE(recorder_.Messages().empty());
}

TEST_F(RequestsTest, ServerErrorIsShownAndTheListStaysEmpty) {
    ReplyRaw(ServerErrorReply(119));
    TLocConnList list;
    list.emplace_back();
    EXPECT_EQ(GetLocalConnList(1, list), TExchangeResult::Failed);
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(
        recorder_.Texts(),
        std::vector<std::string>{
            "Server Error Number 119\r\nAccess denied. You need another user name and password."});
}

TEST_F(RequestsTest, NoRoomForTheRecordsIsOutOfMemory) {
    Bytes d;
    PutLocal(d, "A", 1, 0);
    Reply(1, d);
    SetAllocationLimitForTesting(40); // room for the reply, not for a record
    TLocConnList list;
    EXPECT_EQ(GetLocalConnList(1, list), TExchangeResult::Failed);
    SetAllocationLimitForTesting(-1);
    EXPECT_EQ(recorder_.Texts(), std::vector<std::string>{"Out of Memory."});
}

TEST_F(RequestsTest, DataThatCountsNoRecordsIsAnEmptyList) {
    // A server that sends bytes but a count of 0 has nothing to list; there is no lack of
    // memory to report.
    Reply(0, Bytes(600, 0x41));
    TLocConnList locals;
    EXPECT_EQ(GetLocalConnList(1, locals), TExchangeResult::Done);
    TWebConnList webs;
    EXPECT_EQ(GetWebConnList(1, webs), TExchangeResult::Done);
    TDBList dbs;
    EXPECT_EQ(GetDBList(1, dbs), TExchangeResult::Done);
    EXPECT_TRUE(locals.empty() && webs.empty() && dbs.empty());
    EXPECT_TRUE(recorder_.Messages().empty());
}

// The walkers hand over one record at a time and may be run over a reply as often as a caller
// needs: a reply too large for memory lies in a spill file and is read back each time.
TEST_F(RequestsTest, SpilledListRepliesCanBeWalkedAgain) {
    Bytes d;
    for (int i = 0; i < 200; ++i)
        PutLocal(d, "USER" + std::to_string(i), i, 500);
    Reply(200, d);
    TListReply reply;
    ASSERT_EQ(FetchLocalConnList(1, reply), TExchangeResult::Done);
    EXPECT_EQ(LastRequest().Header.RequestCode, 368);
    ASSERT_TRUE(reply.Data);
    EXPECT_TRUE(reply.Data->Spilled());
    EXPECT_EQ(reply.Count, 200);
    std::vector<std::vector<std::string>> walks(2);
    for (auto& walk : walks)
        EXPECT_TRUE(ForEachLocalConn(reply.Data.get(), reply.Count, [&](TLocConnInfo& c) {
            walk.push_back(c.UserName.Bytes + "/" + std::to_string(c.SecurityNum) + "/" +
                           std::to_string(c.Results.size()) + "/" +
                           std::to_string(c.Results.back().Lifetime));
        }));
    ASSERT_EQ(walks[0].size(), 200u);
    EXPECT_EQ(walks[0], walks[1]);
    EXPECT_EQ(walks[0][0], "USER0/0/500/16384");
    EXPECT_EQ(walks[0][199], "USER199/199/500/16384");

    TLocConnList list;
    ASSERT_EQ(GetLocalConnList(1, list), TExchangeResult::Done);
    ASSERT_EQ(list.size(), 200u);
    EXPECT_EQ(list[199].UserName, TServerText("USER199"));
    EXPECT_TRUE(recorder_.Messages().empty());
}

// A record is decoded into the room of the one before: nothing of that one may show through,
// neither a shorter result list nor the fields of a record the data does not reach.
TEST_F(RequestsTest, EachWalkedRecordStartsFresh) {
    Bytes d;
    PutLocal(d, "FIRST", 1, 3);
    PutLocal(d, "SECOND", 2, 1);
    Reply(3, d); // three records counted, two sent
    TListReply reply;
    ASSERT_EQ(FetchLocalConnList(1, reply), TExchangeResult::Done);
    std::vector<TLocConnInfo> seen;
    EXPECT_TRUE(ForEachLocalConn(reply.Data.get(), reply.Count,
                                 [&](TLocConnInfo& c) { seen.push_back(c); }));
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[1].Results.size(), 1u);
    EXPECT_EQ(seen[2].UserName, TServerText());
    EXPECT_EQ(seen[2].SecurityNum, 0);
    EXPECT_EQ(seen[2].CapturedTextBankId, 0);
    EXPECT_TRUE(seen[2].Results.empty());

    Bytes db;
    PutWord(db, 7);
    PutShortString(db, "path7");
    PutByte(db, 1);
    PutByte(db, 1);
    PutByte(db, 2);
    PutWord(db, 8);
    PutWord(db, 9);
    PutWord(db, 1);
    PutByte(db, 5);
    PutShortString(db, "ALI");
    Reply(2, db);
    ASSERT_EQ(FetchDBList(1, reply), TExchangeResult::Done);
    std::vector<TDBInfo> dbs;
    EXPECT_TRUE(
        ForEachDB(reply.Data.get(), reply.Count, [&](TDBInfo& info) { dbs.push_back(info); }));
    ASSERT_EQ(dbs.size(), 2u);
    EXPECT_EQ(dbs[0].ChildIds, (std::vector<std::uint16_t>{8, 9}));
    EXPECT_EQ(dbs[0].Results.size(), 1u);
    EXPECT_EQ(dbs[1].Id, 0);
    EXPECT_EQ(dbs[1].Path, TServerText());
    EXPECT_TRUE(dbs[1].ChildIds.empty());
    EXPECT_TRUE(dbs[1].Results.empty());
}

// Memory that runs out while a record is handled ends the walk with the message; the records
// handed over before stand.
TEST_F(RequestsTest, OutOfMemoryInAWalkIsShownAndEndsIt) {
    Bytes d;
    for (int i = 0; i < 3; ++i) {
        PutShortString(d, "web" + std::to_string(i));
        PutLong(d, i);
        for (std::uint8_t b : std::initializer_list<std::uint8_t>{104, 4, 17, 14, 3, 22})
            PutByte(d, b);
    }
    Reply(3, d);
    TListReply reply;
    ASSERT_EQ(FetchWebConnList(1, reply), TExchangeResult::Done);
    EXPECT_EQ(LastRequest().Header.RequestCode, 370);
    int calls = 0;
    EXPECT_FALSE(ForEachWebConn(reply.Data.get(), reply.Count, [&](TWebConnInfo&) {
        if (++calls == 2)
            throw std::bad_alloc();
    }));
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(recorder_.Texts(), std::vector<std::string>{"Out of Memory."});
}

TEST_F(RequestsTest, WebConnectionsAndTheirDelete) {
    Bytes d;
    for (const auto& [name, id] : {std::pair<std::string, std::int32_t>{"web", 5}, {"web", -6}}) {
        PutShortString(d, name);
        PutLong(d, id);
        for (std::uint8_t b : std::initializer_list<std::uint8_t>{124, 11, 10, 8, 30, 0})
            PutByte(d, b);
    }
    Reply(2, d);
    TWebConnList list;
    ASSERT_EQ(GetWebConnList(1, list), TExchangeResult::Done);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[1].UserId, -6);
    EXPECT_EQ(FormatDisplayDateTime(*DecodeServerDateTime(list[1].LastAccessTime)),
              "2024/12/10 08:30:00");

    Reply(0, {});
    ASSERT_EQ(DeleteWebConn(1, -6), TExchangeResult::Done);
    EXPECT_EQ(LastRequest().Header.RequestCode, 371);
    EXPECT_EQ(LastRequest().Header.Param, 0xFFFFFFFAu);
    EXPECT_TRUE(LastRequest().Data.empty());
}

TEST_F(RequestsTest, DeleteLocalSendsTheNameAsAShortString) {
    Reply(0, {});
    ASSERT_EQ(DeleteLocalConn(1, TServerText(), 9), TExchangeResult::Done);
    EXPECT_EQ(LastRequest().Data, Bytes{0});
    EXPECT_EQ(LastRequest().Header.DataLength, 1u);
    ASSERT_EQ(DeleteLocalConn(1, TServerText("\xC7\xE1"), 9), TExchangeResult::Done)
        << "bytes as the server sent them";
    EXPECT_EQ(LastRequest().Data, (Bytes{2, 0xC7, 0xE1}));
    EXPECT_EQ(LastRequest().Header.Param, 9u);
}

TEST_F(RequestsTest, DatabasesAreCutAndSkippedInPlace) {
    Bytes d;
    PutWord(d, 7);
    PutShortString(d, std::string(100, 'p'));
    PutByte(d, 1);
    PutByte(d, 1);
    PutByte(d, 255);
    for (int i = 0; i < 255; ++i)
        PutWord(d, static_cast<std::uint16_t>(i == 0 ? 7 : 9));
    PutWord(d, 501);
    for (int i = 0; i < 501; ++i) {
        PutByte(d, 5);
        PutShortString(d, "user" + std::to_string(i));
    }
    PutWord(d, 8);
    PutShortString(d, "second");
    PutByte(d, 0);
    PutByte(d, 0);
    PutByte(d, 0);
    PutWord(d, 0);
    Reply(2, d);
    TDBList list;
    ASSERT_EQ(GetDBList(1, list), TExchangeResult::Done);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].Path, TServerText(std::string(80, 'p')));
    EXPECT_EQ(list[0].ChildCount, 250);
    EXPECT_EQ(list[0].ChildIds.size(), 250u);
    EXPECT_EQ(list[0].ResCount, 500);
    EXPECT_EQ(list[0].Results[499].UserName, TServerText("user499"));
    EXPECT_EQ(list[1].Id, 8);
    EXPECT_EQ(list[1].Path, TServerText("second"));
    EXPECT_EQ(DatabaseNameOfNumber(1, list[0].Id), TServerText("SEVEN"));
    EXPECT_EQ(DatabaseNameOfNumber(1, list[1].Id), TServerText("UNKNOWN"))
        << "known, but without a name";
    EXPECT_EQ(DatabaseNameOfNumber(1, 9), TServerText("UNKNOWN"));
    EXPECT_EQ(ChildhoodText(list[0].IsParent, list[0].ChildCount), "Parent (ChildCount = 250)");
    EXPECT_EQ(ChildhoodText(list[1].IsParent, 0), "Child");
    const std::string children = ChildListText(1, list[0].ChildIds).Bytes;
    EXPECT_EQ(children.size(), 250u);
    EXPECT_EQ(children.substr(0, 23), "7 - SEVEN\r\n9 - UNKNOWN\r");
    EXPECT_EQ(ChildListText(1, {7, 9}), TServerText("7 - SEVEN\r\n9 - UNKNOWN"));
    EXPECT_EQ(ChildListText(1, {}), TServerText());
}

TEST_F(RequestsTest, StatusBlockNeedsAll54Bytes) {
    Bytes d;
    for (int i = 0; i < 54; ++i)
        PutByte(d, static_cast<std::uint8_t>(i));
    Reply(0, d);
    TServerStatusBlock block;
    ASSERT_EQ(GetServerStatus(1, block), TExchangeResult::Done);
    EXPECT_EQ(block.NonQueuedDBRequests, 0x03020100);
    EXPECT_EQ(block.ClientCount, 0x1918);
    EXPECT_EQ(block.ResultCounts[13], 0x3534);

    d.resize(40);
    Reply(0, d);
    TServerStatusBlock untouched;
    untouched.ClientCount = 77;
    EXPECT_EQ(GetServerStatus(1, untouched), TExchangeResult::Done);
    EXPECT_EQ(untouched.ClientCount, 77);
}

TEST_F(RequestsTest, ErrorLogIsReadInChunksUntilAnEmptyOne) {
    // A log of exactly 4096 bytes takes two requests.
    std::string log;
    while (log.size() < 4096)
        log += "line\n";
    log.resize(4096);
    std::mutex m;
    std::vector<std::pair<std::uint16_t, std::int32_t>> asked;
    TFakeServer logServer([&](const TWireHeader& h, const Bytes&) -> Bytes {
        switch (h.RequestCode) {
        case 20:
            return SecurityReply();
        case 18:
            return LoginReply(true);
        case 1:
            return DatabaseListReply({}, 1);
        default:
            break;
        }
        std::lock_guard<std::mutex> lock(m);
        asked.emplace_back(h.Value, static_cast<std::int32_t>(h.Param));
        const std::size_t from = std::min<std::size_t>(h.Param, log.size());
        const std::size_t n = std::min<std::size_t>(h.Value, log.size() - from);
        TWireHeader r;
        r.Value = static_cast<std::uint16_t>(n);
        return MakeReply(r, Bytes(log.begin() + static_cast<long>(from),
                                  log.begin() + static_cast<long>(from + n)));
    });
    FreeRequestDispatcher();
    ASSERT_TRUE(CreateRequestDispatcher());
    ASSERT_TRUE(ConnectAndLoginTcp(kLoopback, logServer.Port(), "pw"));
    TServerText text;
    ASSERT_EQ(ReadWholeServerErrorLog(1, text), TExchangeResult::Done);
    EXPECT_EQ(asked,
              (std::vector<std::pair<std::uint16_t, std::int32_t>>{{4096, 0}, {4096, 4096}}));
    std::string expected;
    for (char c : log)
        expected += c == '\n' ? std::string("\r\n") : std::string(1, c);
    EXPECT_EQ(text, TServerText(expected));

    // A limit far below the log stops the reading with a message.
    recorder_.Clear();
    ASSERT_EQ(ReadWholeServerErrorLog(1, text, 100), TExchangeResult::Done);
    EXPECT_EQ(
        recorder_.Texts(),
        std::vector<std::string>{"Server error log is too large. Only its first 0 MB are shown."});
}

TEST_F(RequestsTest, ChunkLengthNeverExceedsTheData) {
    Reply(4096, Bytes(10, 'x')); // claims 4096, carries 10
    std::uint8_t buffer[4096];
    std::uint16_t length = 1;
    ASSERT_EQ(ReadServerErrorLog(1, buffer, 4096, 0, length), TExchangeResult::Done);
    EXPECT_EQ(length, 10);
    Reply(0, {});
    ASSERT_EQ(ReadServerErrorLog(1, buffer, 4096, 999999, length), TExchangeResult::Done);
    EXPECT_EQ(length, 0);
}

TEST_F(RequestsTest, ClearLogFailsWithTheServersError) {
    ReplyRaw(ServerErrorReply(222));
    EXPECT_EQ(ClearServerErrorLog(1), TExchangeResult::Failed);
    EXPECT_EQ(recorder_.Texts(), std::vector<std::string>{"Server Error Number 222"});
}

TEST(ValueRules, LocalStatusTexts) {
    struct Case {
        std::uint8_t status;
        std::uint16_t flags;
        const char* text;
    } cases[] = {
        {0, 0, "Waiting for job"},
        {1, 0, "Processing job"},
        {2, 0, "Waiting for job be done"},
        {0x83, 0, "Replying request"},
        {4, 0, "Terminated"},
        {5, 0, "Invalid Status"},
        {0x7F, 0, "Invalid Status"},
        {0, 3, "Captured DB Id 42"},
        {0, 2, "Captured User Mngr"},
        {0, 4, "Captured Text Bank Id 6"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        TLocConnInfo info;
        info.Status = c.status;
        info.CaptureFlags = c.flags;
        info.CapturedDBId = 42;
        info.CapturedTextBankId = 6;
        EXPECT_EQ(LocalConnStatusText(info), c.text);
    }
    EXPECT_EQ(LifetimeText(0x8000), "Active By Client");
    EXPECT_EQ(LifetimeText(0x4000), "Permanent By Database");
    EXPECT_EQ(LifetimeText(0xC000), "");
    EXPECT_EQ(OpenStateText(0), "Close");
    EXPECT_EQ(OpenStateText(7), "Open");
    EXPECT_EQ(ResultKindName(12), "Multi-DB Search Result");
    EXPECT_EQ(ResultKindName(14), "Unknown");
    EXPECT_EQ(ResultKindName(255), "Unknown");
}

TEST(ValueRules, ServerDateTimes) {
    EXPECT_EQ(FormatDisplayDateTime(*DecodeServerDateTime({104, 4, 17, 14, 3, 22})),
              "2004/05/17 14:03:22");
    EXPECT_FALSE(DecodeServerDateTime({104, 4, 0, 0, 0, 0}));
    EXPECT_FALSE(DecodeServerDateTime({104, 12, 1, 0, 0, 0}));
    EXPECT_FALSE(DecodeServerDateTime({104, 1, 30, 0, 0, 0}));
}

TEST(ValueRules, StatusLines) {
    TServerStatusBlock zero;
    const auto lines = ServerStatusLines(zero);
    ASSERT_EQ(lines.size(), 24u);
    EXPECT_EQ(lines[0].Caption, "Total Server Requests Count ");
    EXPECT_EQ(lines[0].Value, "        0 (100%)");
    EXPECT_EQ(lines[1].Value, "        0 (  0%)");
    EXPECT_EQ(lines[5].Value, "Defined =   0, Currently Open =   0");
    EXPECT_EQ(lines[8].Value, "0");
    EXPECT_EQ(lines[9].Value, "  0");
    EXPECT_EQ(lines[23].Caption, "Convert Definition Results");

    TServerStatusBlock busy;
    busy.NonQueuedDBRequests = 30000000;
    busy.QueuedDBRequests = 10000000;
    busy.ChildDBsDefined = 2;
    busy.ParentDBsDefined = 1;
    busy.ResultCounts[5] = 65535;
    busy.ResultCounts[0] = 2;
    const auto b = ServerStatusLines(busy);
    EXPECT_EQ(b[0].Value, " 40000000 (100%)");
    EXPECT_EQ(b[1].Value, " 30000000 ( 75%)");
    EXPECT_EQ(b[2].Value, " 10000000 ( 25%)");
    EXPECT_EQ(b[5].Value, "Defined =   3, Currently Open =   0");
    EXPECT_EQ(b[9].Value, "  1") << "the result total is a 16-bit sum";
    EXPECT_EQ(b[11].Caption, "Search Results");
    EXPECT_EQ(b[11].Value, "65535");

    EXPECT_EQ(RequestLineText(1, 3, 0), "        1 ( 33%)");
    EXPECT_EQ(RequestLineText(INT32_MAX, INT32_MAX, 0), "2147483647 (100%)") << "no overflow";
    TServerStatusBlock huge;
    huge.NonQueuedDBRequests = huge.QueuedDBRequests = huge.NonDBRequests = INT32_MAX;
    EXPECT_EQ(ServerStatusLines(huge)[1].Value, "2147483647 ( 33%)");
}

TEST(ValueRules, ErrorLogLineEnds) {
    struct Case {
        std::vector<std::string> chunks;
        std::string text;
    } cases[] = {
        {{"a\nb\n"}, "a\r\nb\r\n"},
        {{"a\r\nb\r\n"}, "a\r\nb\r\n"},
        {{"a\r", "\nb"}, "a\r\r\nb"}, // each chunk on its own
        {{"x\ry"}, "x\ry"},
    };
    for (const Case& c : cases) {
        TServerText text;
        for (const std::string& chunk : c.chunks)
            AppendErrorLogChunk(text, reinterpret_cast<const std::uint8_t*>(chunk.data()),
                                static_cast<std::uint16_t>(chunk.size()));
        EXPECT_EQ(text, TServerText(c.text));
    }
}

TEST(ConnectFields, SpxValidationInOrder) {
    struct Case {
        TSpxFields fields;
        TSpxField field;
        const char* message;
    } cases[] = {
        {{"", "", ""}, TSpxField::NetworkNum, "Network Number is not Entered..."},
        {{"    ", "1", "4545"},
         TSpxField::NetworkNum,
         "Invalid (non-hex) character in Network Number..."},
        {{"A1B2", "", "4545"}, TSpxField::NodeNum, "Node Number is not Entered..."},
        {{"A1B2", "1g", "4545"},
         TSpxField::NodeNum,
         "Invalid (non-hex) character in Node Number..."},
        {{"A1B2", "1", ""}, TSpxField::SocketNum, "Socket Number is not Entered..."},
        {{"A1B2", "1", "45 5"},
         TSpxField::SocketNum,
         "Invalid (non-hex) character in Socket Number..."},
        {{"a1b2", "1", "4545"}, TSpxField::None, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        std::string message = "x";
        EXPECT_EQ(ValidateSpxFields(c.fields, message), c.field);
        EXPECT_EQ(message, c.message);
    }
}

TEST(ConnectFields, IpxAddressEncoding) {
    EXPECT_EQ(EncodeIpxAddress({"A1B2", "1", "4545"}),
              (TServerAddress{0x00, 0x00, 0xA1, 0xB2, 0, 0, 0, 0, 0, 0x01, 0x45, 0x45}));
    EXPECT_EQ(EncodeIpxAddress({"1", "ab", "8060"}),
              (TServerAddress{0, 0, 0, 0x01, 0, 0, 0, 0, 0, 0xAB, 0x60, 0x80}));
    const TServerAddress one = EncodeIpxAddress({"1", "1", "1"});
    EXPECT_EQ(one[10], 0x01);
    EXPECT_EQ(one[11], 0x00);
}

TEST(ConnectFields, TcpValidation) {
    struct Case {
        std::string ip;
        std::string port;
        bool ok;
        std::array<std::uint8_t, 4> octets;
        std::uint16_t portValue;
        const char* message;
    } cases[] = {
        {"10 .0  .0  .1  ", "4545 ", true, {10, 0, 0, 1}, 4545, ""},
        {"255.255.255.255", "65535", true, {255, 255, 255, 255}, 65535, ""},
        {"256.0  .0  .1  ", "4545", false, {}, 0, "IP Address is not valid..."},
        {"10 .   .0  .1  ", "4545", false, {}, 0, "IP Address is not valid..."},
        {"1 0.0  .0  .1  ", "4545", false, {}, 0, "IP Address is not valid..."},
        {"10 .0  .0  .1  ", "99999", false, {}, 0, "Port Number is not valid..."},
        {"10 .0  .0  .1  ", "  0  ", true, {10, 0, 0, 1}, 0, ""},
        {"10 .0  .0  .1  ", "     ", false, {}, 0, "Port Number is not valid..."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.ip + "|" + c.port);
        std::array<std::uint8_t, 4> ip{};
        std::uint16_t port = 0;
        std::string message;
        EXPECT_EQ(ValidateTcpFields({c.ip, c.port}, ip, port, message), c.ok);
        EXPECT_EQ(message, c.message);
        if (c.ok) {
            EXPECT_EQ(ip, c.octets);
            EXPECT_EQ(port, c.portValue);
        }
    }
}

TEST(SavedAddresses, ValuesOfExactSizes) {
    TMemoryConfigStore store;
    IConfigStore* previous = SetConfigStore(&store);
    SaveSpxServerAddress(EncodeIpxAddress({"A1B2", "1", "4545"}));
    SaveTcpServerAddress({10, 0, 0, 1}, 4545);
    EXPECT_EQ(store.Read("SPXNetNum").Bytes, (std::vector<std::uint8_t>{0, 0, 0xA1, 0xB2}));
    EXPECT_EQ(store.Read("SPXNodeNum").Bytes, (std::vector<std::uint8_t>{0, 0, 0, 0, 0, 1}));
    EXPECT_EQ(store.Read("SPXSocketNum").Bytes, (std::vector<std::uint8_t>{0x45, 0x45}));
    EXPECT_EQ(store.Read("IPAddr").Bytes, (std::vector<std::uint8_t>{10, 0, 0, 1}));
    EXPECT_EQ(store.Read("IPPort").Bytes, (std::vector<std::uint8_t>{0xC1, 0x11}));

    TRecordingMessagePresenter recorder;
    TMemoryConfigStore refusing;
    refusing.SetRefuseWrites(true);
    SetConfigStore(&refusing);
    SaveTcpServerAddress({10, 0, 0, 1}, 4545);
    EXPECT_EQ(recorder.Texts(), std::vector<std::string>{"Failed to set data for 'IPAddr'"});
    SetConfigStore(previous);
}

} // namespace
