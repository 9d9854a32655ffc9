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

#include <atomic>
#include <fcntl.h>
#include <filesystem>

namespace {

constexpr std::array<std::uint8_t, 4> kLoopback = {127, 0, 0, 1};

class DispatcherTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetProgramDirectory(folder_.Path());
        std::filesystem::create_directory(folder_.Path() + "TEMP");
        ASSERT_TRUE(CreateRequestDispatcher());
        InitErrorLog();
        UseFarsiMessages = false;
    }
    void TearDown() override {
        FreeRequestDispatcher();
        DoneErrorLog();
        ReportProc = nullptr;
        UseFarsiMessages = true;
    }
    std::string Log() { return ReadWholeFile(folder_.Path() + "TARVWEB.ERR"); }
    std::vector<std::uint8_t> Ids() {
        std::vector<std::uint8_t> ids;
        for (int i = 1; i <= RequestDispatcher->DatabaseCount; ++i)
            ids.push_back(RequestDispatcher->Database(i).DatabaseId);
        return ids;
    }

    TTempFolder folder_;
    TRecordingMessagePresenter recorder_;
};

// The handshake and the first database list; `more` answers everything after.
TFakeServer::THandler Admitting(std::vector<TListedDb> dbs, std::uint16_t stamp,
                                TFakeServer::THandler more = nullptr) {
    return [=](const TWireHeader& h, const Bytes& d) -> Bytes {
        switch (h.RequestCode) {
        case 20:
            return SecurityReply();
        case 18:
            return LoginReply(true);
        case 1:
            return DatabaseListReply(dbs, stamp);
        case 19:
            return EmptyReply();
        default:
            return more ? more(h, d) : EmptyReply();
        }
    };
}

TEST_F(DispatcherTest, AdmissionRunsTheHandshakesAndLoadsTheDatabaseList) {
    TFakeServer server(Admitting({{100, 5, "FIVE"}, {101, 7, "SEVEN"}, {102, 9, "NINE"}}, 0x1234));
    ASSERT_TRUE(ConnectAndLoginTcp(kLoopback, server.Port(), "abcde"));
    EXPECT_TRUE(recorder_.Messages().empty());
    ASSERT_EQ(RequestDispatcher->ServerCount, 1);
    const TServerEntry& e = RequestDispatcher->Server(1);
    EXPECT_EQ(e.ServerId, 1);
    EXPECT_EQ(e.ListStamp, 0x1234);
    EXPECT_EQ(e.CenterName, TServerText("Central Library"));
    EXPECT_EQ(e.ServerName, TServerText("MAIN"));
    EXPECT_EQ(e.SecurityKind, 2);
    EXPECT_EQ(e.SecurityWord, 0x0405);
    EXPECT_EQ(e.LoginTag, 9);
    EXPECT_EQ(e.ConnectionId, 77u);
    EXPECT_EQ(e.ServerTag, 5);
    EXPECT_EQ(e.Address, MakeTcpAddress(kLoopback, server.Port()));
    EXPECT_EQ(Ids(), (std::vector<std::uint8_t>{1, 2, 3}));

    const auto received = server.Received();
    ASSERT_EQ(server.Codes(), (std::vector<std::uint16_t>{20, 18, 1}));
    EXPECT_EQ(received[0].Header.Value, (77 % 65536) ^ 0x5A3C);
    EXPECT_EQ(received[0].Header.ConnectionId, 77u);
    // 13, ADMINISTRATOR, 5, the scrambled password.
    const std::string scrambled = ScramblePassword("abcde");
    Bytes login = {13};
    for (char c : std::string("ADMINISTRATOR"))
        login.push_back(static_cast<std::uint8_t>(c));
    login.push_back(5);
    login.insert(login.end(), scrambled.begin(), scrambled.end());
    EXPECT_EQ(received[1].Data, login);
    EXPECT_EQ(received[1].Data.size(), 20u);
    for (const auto& r : received)
        EXPECT_EQ(r.Header.ReplyCode, 0) << "handshakes and the list carry no stamp";
}

TEST_F(DispatcherTest, ChangedListIsReloadedAndTheRequestSentAgain) {
    int changes = 0;
    std::uint16_t stamp = 0x1234;
    TFakeServer server([&](const TWireHeader& h, const Bytes& d) -> Bytes {
        if (h.RequestCode == 1) {
            return stamp == 0x1234
                       ? DatabaseListReply({{100, 5, "FIVE"}, {101, 7, "SEVEN"}, {102, 9, "NINE"}},
                                           stamp)
                       : DatabaseListReply({{200, 7, "SEVEN-B"}, {201, 11, "ELEVEN"}}, stamp);
        }
        if (h.RequestCode == 369 && changes++ == 0) {
            stamp = 0x1235;
            return ServerErrorReply(5);
        }
        return Admitting({}, 0)(h, d);
    });
    ASSERT_TRUE(ConnectAndLoginTcp(kLoopback, server.Port(), "pw"));
    ASSERT_EQ(DeleteLocalConn(1, TServerText("JOHN"), 42), TExchangeResult::Done);
    EXPECT_TRUE(recorder_.Messages().empty());

    const auto received = server.Received();
    ASSERT_EQ(server.Codes(), (std::vector<std::uint16_t>{20, 18, 1, 369, 1, 369}));
    EXPECT_EQ(received[3].Header.ReplyCode, 0x1234) << "the stamp travels in ReplyCode";
    EXPECT_EQ(received[4].Header.ReplyCode, 0);
    EXPECT_EQ(received[5].Header.ReplyCode, 0x1235);
    EXPECT_EQ(received[5].Data, received[3].Data) << "the same data again";
    EXPECT_EQ(received[5].Header.Param, 42u);
    EXPECT_NE(received[5].Header.Serial, received[3].Header.Serial);

    // 7 keeps id 2 with its new name, 11 gets id 4, 5 and 9 are gone.
    EXPECT_EQ(Ids(), (std::vector<std::uint8_t>{2, 4}));
    EXPECT_EQ(RequestDispatcher->Database(1).Name, TServerText("SEVEN-B"));
    EXPECT_EQ(RequestDispatcher->Database(1).Handle, 200);
    EXPECT_EQ(RequestDispatcher->UsedDatabaseIds.count(), 2u);
}

TEST_F(DispatcherTest, AFailedListFetchIsMadeGoodByTheNextRequest) {
    // The server keeps its list under `serverStamp` and answers a console request that carries
    // another stamp with "database list changed". One list fetch fails (a reply announcing no
    // packet): the dispatcher then inverts its stamp, so that the next request meets "list
    // changed" and the list is fetched again. Without that the table stays empty until the
    // next login and every result shows a database the console does not know.
    struct Case {
        const char* name;
        int failingFetch;          // 1: the fetch of the admission, 2: the reload
        std::uint16_t firstStamp;  // the server's stamp at admission
        std::uint16_t secondStamp; // its stamp from just after the admission
        std::vector<std::uint16_t> codes;
    } cases[] = {
        {"admission, stamp 1", 1, 1, 1, {20, 18, 1, 371, 1, 371}},
        {"admission, stamp 0", 1, 0, 0, {20, 18, 1, 371, 1, 371}},
        {"reload, next stamp", 2, 0x1234, 0x1235, {20, 18, 1, 371, 1, 371, 1, 371}},
        {"reload, stamp 0", 2, 0x1234, 0, {20, 18, 1, 371, 1, 371, 1, 371}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        recorder_.Clear();
        std::atomic<std::uint16_t> serverStamp{c.firstStamp};
        int fetches = 0;
        TFakeServer server([&](const TWireHeader& h, const Bytes& d) -> Bytes {
            switch (h.RequestCode) {
            case 1:
                if (++fetches == c.failingFetch) {
                    TWireHeader broken;
                    broken.RequestCode = 1;
                    broken.PacketCount = 0;
                    return MakePacket(broken);
                }
                return DatabaseListReply({{100, 5, "FIVE"}, {101, 7, "SEVEN"}}, serverStamp);
            case 371:
                return h.ReplyCode == serverStamp ? EmptyReply() : ServerErrorReply(5);
            default:
                return Admitting({}, 0)(h, d);
            }
        });
        ASSERT_TRUE(ConnectAndLoginTcp(kLoopback, server.Port(), "pw"));
        serverStamp = c.secondStamp;

        EXPECT_EQ(DeleteWebConn(1, 9), TExchangeResult::Done);
        EXPECT_TRUE(recorder_.Messages().empty());
        EXPECT_EQ(server.Codes(), c.codes);
        EXPECT_EQ(server.Received().back().Header.ReplyCode, c.secondStamp);
        EXPECT_EQ(RequestDispatcher->Server(1).ListStamp, c.secondStamp);
        EXPECT_EQ(Ids(), (std::vector<std::uint8_t>{1, 2}));
        EXPECT_EQ(ResultDatabaseName(1, 101), TServerText("SEVEN"));
        EXPECT_EQ(DatabaseNameOfNumber(1, 5), TServerText("FIVE"));
        EXPECT_NE(Log().find("Reply with Packet Count 0 for request 1"), std::string::npos);

        // Settled: the next request goes out alone.
        EXPECT_EQ(DeleteWebConn(1, 9), TExchangeResult::Done);
        EXPECT_EQ(server.Codes().size(), c.codes.size() + 1);

        TServerSet one;
        one.set(1);
        RequestDispatcher->LogoutServer(1);
        RequestDispatcher->RemoveServers(one);
    }
}

TEST_F(DispatcherTest, AListThatNeverSettlesEndsTheRequest) {
    TFakeServer server(Admitting(
        {{1, 1, "ONE"}}, 3, [](const TWireHeader&, const Bytes&) { return ServerErrorReply(5); }));
    ASSERT_TRUE(ConnectAndLoginTcp(kLoopback, server.Port(), "pw"));
    TLocConnList list;
    EXPECT_EQ(GetLocalConnList(1, list), TExchangeResult::Failed);
    EXPECT_EQ(
        recorder_.Texts(),
        std::vector<std::string>{"Client Internal Error Number 265 (Request Execution Aborted)."});
    const auto codes = server.Codes();
    EXPECT_EQ(std::count(codes.begin(), codes.end(), 368), kMaxListReloads);
    EXPECT_NE(Log().find("Database list changed 8 times in a row while executing request 368."),
              std::string::npos);
}

TEST_F(DispatcherTest, ShortHandshakeAndListRepliesAdmitAsBeforeAndAreLogged) {
    std::vector<std::string> reports;
    ReportProc = [&reports](const std::string& m) { reports.push_back(m); };
    TFakeServer server([](const TWireHeader& h, const Bytes&) -> Bytes {
        switch (h.RequestCode) {
        case 20: {
            // The names, then the security kind; the security byte and word are missing.
            Bytes d;
            PutShortString(d, "Centre");
            PutShortString(d, "Text");
            PutShortString(d, "SRV");
            PutByte(d, 2);
            TWireHeader r;
            r.RequestCode = 20;
            return MakeReply(r, d);
        }
        case 18:
            return LoginReply(true);
        case 1: {
            // Two databases counted; the second one's names are cut off.
            Bytes d;
            PutWord(d, 100);
            PutWord(d, 5);
            PutByte(d, 0x11);
            PutShortString(d, "text of FIVE");
            PutShortString(d, "FIVE");
            PutWord(d, 101);
            PutWord(d, 7);
            TWireHeader r;
            r.RequestCode = 1;
            r.Value = 2;
            r.Param = 3;
            return MakeReply(r, d);
        }
        default:
            return EmptyReply();
        }
    });
    ASSERT_TRUE(ConnectAndLoginTcp(kLoopback, server.Port(), "pw"));
    EXPECT_TRUE(recorder_.Messages().empty());
    const TServerEntry& e = RequestDispatcher->Server(1);
    EXPECT_EQ(e.CenterName, TServerText("Centre"));
    EXPECT_EQ(e.ServerName, TServerText("SRV"));
    EXPECT_EQ(e.SecurityKind, 2);
    EXPECT_EQ(e.SecurityByte, 0);
    EXPECT_EQ(e.SecurityWord, 0);
    EXPECT_EQ(e.ListStamp, 3);
    ASSERT_EQ(RequestDispatcher->DatabaseCount, 2);
    EXPECT_EQ(RequestDispatcher->Database(1).Name, TServerText("FIVE"));
    EXPECT_EQ(RequestDispatcher->Database(2).Handle, 101);
    EXPECT_EQ(RequestDispatcher->Database(2).Number, 7);
    EXPECT_EQ(RequestDispatcher->Database(2).Name, TServerText());
    EXPECT_EQ(reports,
              (std::vector<std::string>{
                  "Reply to request 20 ran short: 17 data bytes where at least 20 were read",
                  "Reply to request 1 ran short: 27 data bytes where at least 30 were read"}));
}

TEST_F(DispatcherTest, WithoutAServerNothingIsSent) {
    struct Case {
        const char* name;
        std::function<TExchangeResult()> call;
        const char* text;
    } cases[] = {
        {"locals",
         [] {
             TLocConnList l;
             return GetLocalConnList(1, l);
         },
         "Client Internal Error Number 265 (Request Execution Aborted)."},
        {"kill-local", [] { return DeleteLocalConn(1, TServerText("x"), 1); },
         "Client Internal Error Number 266 (Request Execution Aborted)."},
        {"webs",
         [] {
             TWebConnList l;
             return GetWebConnList(1, l);
         },
         "Client Internal Error Number 267 (Request Execution Aborted)."},
        {"kill-web", [] { return DeleteWebConn(1, 1); },
         "Client Internal Error Number 268 (Request Execution Aborted)."},
        {"databases",
         [] {
             TDBList l;
             return GetDBList(1, l);
         },
         "Client Internal Error Number 269 (Request Execution Aborted)."},
        {"status",
         [] {
             TServerStatusBlock b;
             return GetServerStatus(1, b);
         },
         "Client Internal Error Number 270 (Request Execution Aborted)."},
        {"log",
         [] {
             std::uint8_t buf[16];
             std::uint16_t n;
             return ReadServerErrorLog(1, buf, 16, 0, n);
         },
         "Client Internal Error Number 271 (Request Execution Aborted)."},
        {"clear", [] { return ClearServerErrorLog(1); },
         "Client Internal Error Number 272 (Request Execution Aborted)."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        recorder_.Clear();
        EXPECT_EQ(c.call(), TExchangeResult::Failed);
        EXPECT_EQ(recorder_.Texts(), std::vector<std::string>{c.text});
    }
    TRequestRecord r;
    r.Code = 368;
    EXPECT_EQ(RequestDispatcher->ExecuteRequest(1, r), TExchangeResult::Failed);
    EXPECT_EQ(RequestDispatcher->ExecuteRequest(0, r), TExchangeResult::Failed);
}

TEST_F(DispatcherTest, ConnectFailuresAreToldInTheDialogsWords) {
    struct Case {
        const char* name;
        TFakeServer::THandler handler;
        std::string text;
    } cases[] = {
        {"wrong password",
         [](const TWireHeader& h, const Bytes&) {
             return h.RequestCode == 20 ? SecurityReply() : LoginReply(false);
         },
         "Could not login to this server. Check administrator password."},
        {"account busy",
         [](const TWireHeader& h, const Bytes&) {
             return h.RequestCode == 20 ? SecurityReply() : LoginReply(false, 1);
         },
         "Could not login to this server. Administrator account in this server is single entry and "
         "anotheruser is currently using it."},
        {"login not answered",
         [](const TWireHeader& h, const Bytes&) {
             return h.RequestCode == 20 ? SecurityReply() : Bytes{};
         },
         "Could not login to this server. Check administrator password."},
        {"version 5.1",
         [](const TWireHeader&, const Bytes&) {
             TWireHeader r;
             r.ReplyCode = 1;
             r.Value = 162;
             r.Param = 0x0501;
             return MakeReply(r, {});
         },
         "You need client programs version 5.1 or higher to connect to this server!"},
        {"version 5.10",
         [](const TWireHeader&, const Bytes&) {
             TWireHeader r;
             r.ReplyCode = 1;
             r.Value = 162;
             r.Param = 0xFFFF050A;
             return MakeReply(r, {});
         },
         "You need client programs version 5.10 or higher to connect to this server!"},
        {"security refused", [](const TWireHeader&, const Bytes&) { return ServerErrorReply(7); },
         "Could not connect to this server. Check server ip address and port number."},
        {"security without data", [](const TWireHeader&, const Bytes&) { return EmptyReply(1); },
         "Could not connect to this server. Check server ip address and port number."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        recorder_.Clear();
        TFakeServer server(c.handler);
        EXPECT_FALSE(ConnectAndLoginTcp(kLoopback, server.Port(), "pw"));
        EXPECT_EQ(recorder_.Texts(), std::vector<std::string>{c.text});
        EXPECT_EQ(RequestDispatcher->ServerCount, 0);
    }
    recorder_.Clear();
    std::uint16_t closedPort;
    {
        TScriptedPeer gone([](TPeerConnection&) {}, 0);
        closedPort = gone.Port();
    }
    EXPECT_FALSE(ConnectAndLoginTcp(kLoopback, closedPort, "pw"));
    EXPECT_EQ(recorder_.Texts(),
              std::vector<std::string>{
                  "Could not connect to this server. Verify server ip address and port number."});
    EXPECT_NE(Log().find("Connect Failed"), std::string::npos);
}

TEST_F(DispatcherTest, LogoutSendsCode19AndRemovalFreesTheIds) {
    TFakeServer server(Admitting({{1, 5, "A"}}, 1));
    ASSERT_TRUE(ConnectAndLoginTcp(kLoopback, server.Port(), "pw"));
    EXPECT_TRUE(RequestDispatcher->LogoutServer(1));
    TServerSet one;
    one.set(1);
    RequestDispatcher->RemoveServers(one);
    EXPECT_EQ(RequestDispatcher->ServerCount, 0);
    EXPECT_EQ(RequestDispatcher->DatabaseCount, 0);
    EXPECT_TRUE(RequestDispatcher->UsedDatabaseIds.none());
    EXPECT_TRUE(RequestDispatcher->UsedServerIds.none());
    EXPECT_EQ(server.Codes().back(), 19);
    EXPECT_EQ(server.Received().back().Header.ReplyCode, 0);

    TFakeServer again(Admitting({{1, 5, "A"}}, 1));
    ASSERT_TRUE(ConnectAndLoginTcp(kLoopback, again.Port(), "pw"));
    EXPECT_EQ(RequestDispatcher->Server(1).ServerId, 1) << "ids are reused lowest first";
}

TEST_F(DispatcherTest, RemovingAServerWithoutLogoutClosesItsConnection) {
    TFakeServer server(Admitting({{1, 5, "A"}}, 1));
    ASSERT_TRUE(ConnectAndLoginTcp(kLoopback, server.Port(), "pw"));
    const TSocket socket = RequestDispatcher->Server(1).Connection.Socket();
    ASSERT_NE(::fcntl(socket, F_GETFD), -1);
    TServerSet one;
    one.set(1);
    RequestDispatcher->RemoveServers(one);
    EXPECT_EQ(::fcntl(socket, F_GETFD), -1) << "the descriptor is not left open";
    EXPECT_EQ(server.Codes().back(), 1) << "no logout was sent";
}

TEST_F(DispatcherTest, DatabaseTableHolds250) {
    // A list that announces 300 yields 250 items.
    std::vector<TListedDb> many;
    for (std::uint16_t n = 1; n <= 300; ++n)
        many.push_back({n, n, "DB" + std::to_string(n)});
    TFakeServer big(Admitting(many, 1));
    ASSERT_TRUE(ConnectAndLoginTcp(kLoopback, big.Port(), "pw"));
    EXPECT_EQ(RequestDispatcher->DatabaseCount, 250);
    EXPECT_TRUE(recorder_.Messages().empty());
    RequestDispatcher->AddDatabase(2, {1, 1, 0, TServerText("LAST"), TServerText()});
    EXPECT_EQ(recorder_.Texts(),
              std::vector<std::string>{"Too many databases are defined in local servers."});
    EXPECT_EQ(RequestDispatcher->DatabaseCount, 250);

    TServerText text;
    TServerText name("before");
    EXPECT_EQ(RequestDispatcher->GetDatabaseNames(1, 251, text, name), TExchangeResult::Failed);
    EXPECT_EQ(name, TServerText());
    std::uint16_t number = 7;
    name = TServerText("kept");
    EXPECT_FALSE(RequestDispatcher->FindDatabaseByHandle(1, 999, number, text, name));
    EXPECT_EQ(name, TServerText("kept"));
    EXPECT_EQ(number, 7);
    EXPECT_TRUE(RequestDispatcher->FindDatabaseByHandle(1, 12, number, text, name));
    EXPECT_EQ(name, TServerText("DB12"));
}

} // namespace
