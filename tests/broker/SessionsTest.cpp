#include "BrokerTestSupport.h"

#include "HTTPSessions.h"
#include "MessagePresenters.h"

#include <gtest/gtest.h>

namespace {

pugi::xml_node Load(pugi::xml_document& doc, const std::string& xml) {
    EXPECT_TRUE(doc.load_string(xml.c_str()));
    return doc.document_element();
}

TEST(SessionRows, KindsTimesResourcesAndCuts) {
    const std::string longUser(35, 'u');
    const std::string xml = "<r><_ERRNUM>0</_ERRNUM><_DATA>"
                            "<session><ssnid>1</ssnid><sidx>2</sidx><sname>MAIN</sname>"
                            "<ecname>Centre</ecname><usrid>7</usrid><usrname>" +
                            longUser +
                            "</usrname><kind>0</kind><latime>37622.5</latime>"
                            "<dbres><dbid>1</dbid><dbname>A</dbname><appid>2</appid>"
                            "<apphndl>3</apphndl><edtid>4</edtid><edthndl>5</edthndl></dbres>"
                            "<dbres><dbid>6</dbid><dbname>B</dbname></dbres>"
                            "<dbres><dbid>x</dbid></dbres></session>"
                            "<session><kind>1</kind><latime></latime></session>"
                            "<session><kind>2</kind><latime>abc</latime></session>"
                            "<session><kind>-1</kind><latime>37622</latime></session>"
                            "<session><sname>" +
                            std::string(70, 's') +
                            "</sname><usrname>u</usrname></session>"
                            "</_DATA></r>";
    pugi::xml_document doc;
    const auto rows = BuildSessionRows(Load(doc, xml));
    ASSERT_EQ(rows.size(), 5u);

    const THTTPSessionRow& r = rows[0];
    EXPECT_EQ(r.SessionId, 1);
    EXPECT_EQ(r.ServerIdx, 2);
    EXPECT_EQ(r.ServerName, "MAIN");
    EXPECT_EQ(r.ECenterName, "Centre");
    EXPECT_EQ(r.UserId, 7);
    EXPECT_EQ(r.UserName, std::string(30, 'u'));
    EXPECT_EQ(ServerUserName(r), "MAIN/" + std::string(30, 'u'));
    EXPECT_EQ(r.Kind, "Search");
    EXPECT_EQ(r.LastAccessTime, 37622.5);
    EXPECT_EQ(LastAccessTimeText(r.LastAccessTime), "2003/01/01 12:00:00");
    ASSERT_EQ(r.DBResourceList.size(), 3u);
    EXPECT_EQ(r.DBResourceList[0].DBId, 1);
    EXPECT_EQ(r.DBResourceList[0].DBName, "A");
    EXPECT_EQ(r.DBResourceList[0].AppFileId, 2);
    EXPECT_EQ(r.DBResourceList[0].AppFileHandle, 3);
    EXPECT_EQ(r.DBResourceList[0].EditFileId, 4);
    EXPECT_EQ(r.DBResourceList[0].EditFileHandle, 5);
    EXPECT_EQ(r.DBResourceList[1].DBId, 6);
    EXPECT_EQ(r.DBResourceList[1].EditFileHandle, 0);
    EXPECT_EQ(r.DBResourceList[2].DBId, 0);
    EXPECT_EQ(r.DBResourceList[2].DBName, "");

    const struct {
        std::size_t row;
        const char* kind;
        const char* time;
    } cases[] = {{1, "Edit", "1899/12/30"},
                 {2, "Unknown", "1899/12/30"},
                 {3, "Unknown", "2003/01/01"},
                 {4, "Search", "1899/12/30"}}; // no kind element reads as 0
    for (const auto& c : cases) {
        SCOPED_TRACE(c.row);
        EXPECT_EQ(rows[c.row].Kind, c.kind);
        EXPECT_EQ(LastAccessTimeText(rows[c.row].LastAccessTime), c.time);
        EXPECT_TRUE(rows[c.row].DBResourceList.empty());
    }
    // No server name: no grid text.
    EXPECT_EQ(ServerUserName(rows[1]), "");
    EXPECT_EQ(rows[4].ServerName, std::string(60, 's'));
    EXPECT_EQ(ServerUserName(rows[4]), std::string(60, 's'));

    EXPECT_EQ(KindText(0), "Search");
    EXPECT_EQ(KindText(1), "Edit");
    EXPECT_EQ(KindText(2), "Unknown");
    EXPECT_EQ(KindText(-1), "Unknown");
    EXPECT_EQ(LastAccessTimeText(1e300), "");
}

TEST(SessionRows, ReplyWithoutSessions) {
    pugi::xml_document doc;
    EXPECT_TRUE(BuildSessionRows(Load(doc, "<r><_ERRNUM>0</_ERRNUM></r>")).empty());
    EXPECT_TRUE(BuildSessionRows(pugi::xml_node()).empty());
}

TEST(SessionRows, QueryForCredentials) {
    TSessionList list;
    list.AddServer("MAIN", "a&b");
    EXPECT_EQ(SessionListQuery(list.Credentials),
              "_RQ=GetSessionList&_COUNT=1&_SNAME1=MAIN&_PASSWORD1=a&b");
    list.AddServer(std::string(65, 'N'), std::string(35, 'p'));
    EXPECT_EQ(list.Credentials[1].ServerName, std::string(60, 'N'));
    EXPECT_EQ(list.Credentials[1].Password, std::string(30, 'p'));
    list.ClearServers();
    EXPECT_EQ(SessionListQuery(list.Credentials), "_RQ=GetSessionList&_COUNT=0");
}

class SessionListTest : public ::testing::Test {
protected:
    SessionListTest() : broker(Installation()) { Requester.ModuleURL = broker.ModuleURL(); }
    static nlohmann::json Installation() {
        nlohmann::json f = SmallInstallation();
        f["servers"][1]["password"] = std::string(30, 'q');
        return f;
    }
    TRequesterGuard guard;
    TRecordingMessagePresenter boxes;
    TInProcessBroker broker;
    TSessionList list;
};

TEST_F(SessionListTest, RefreshAndDelete) {
    Requester.ModuleURL = broker.ModuleURL();
    list.AddServer("ARCH", std::string(35, 'q')); // cut to the broker's 30 characters
    list.AddServer("MAIN", "p&ss=1");
    ASSERT_TRUE(list.RefreshSessions());
    ASSERT_EQ(list.Sessions.size(), 3u);
    EXPECT_EQ(list.SessionCountText(), "3");
    EXPECT_EQ(list.Current, 0);
    EXPECT_EQ(list.Sessions[0].ECenterName, "Main Library");

    // No and Cancel send nothing.
    broker.Broker().ClearRequests();
    boxes.Answer(TMsgDlgBtn::mbNo);
    boxes.Answer(TMsgDlgBtn::mbCancel);
    EXPECT_FALSE(list.DelSessionActExecute());
    EXPECT_FALSE(list.DelSessionActExecute());
    EXPECT_TRUE(broker.Bodies().empty());
    ASSERT_EQ(boxes.Messages().size(), 2u);
    EXPECT_EQ(boxes.Messages()[0].Text, "Are you sure about deleting session?");
    EXPECT_EQ(boxes.Messages()[0].Kind, TMsgDlgType::mtConfirmation);
    EXPECT_EQ(boxes.Messages()[0].Buttons,
              TMsgDlgButtons({TMsgDlgBtn::mbYes, TMsgDlgBtn::mbNo, TMsgDlgBtn::mbCancel}));

    // Yes logs the current session out and its neighbour becomes current.
    list.Current = 1;
    boxes.Answer(TMsgDlgBtn::mbYes);
    ASSERT_TRUE(list.DelSessionActExecute());
    EXPECT_EQ(broker.Bodies(),
              std::vector<std::string>{
                  "_CLTVER=600&_RQ=Logout&_SESSIONID=12&_UID=4&_SNAME=MAIN&_UNAME=sara"});
    ASSERT_EQ(list.Sessions.size(), 2u);
    EXPECT_EQ(list.Sessions[1].SessionId, 21);
    EXPECT_EQ(list.Current, 1);
    EXPECT_EQ(broker.Broker().SessionCount(), 2u);

    // A refused logout deletes nothing.
    boxes.Clear();
    broker.Broker().SetBehaviours(
        testbroker::ParseBehaviours(nlohmann::json::parse(R"([{"query":"Logout","error":12}])")));
    boxes.Answer(TMsgDlgBtn::mbYes);
    EXPECT_FALSE(list.DelSessionActExecute());
    EXPECT_EQ(list.Sessions.size(), 2u);
    EXPECT_EQ(boxes.Texts().back(), "Error Number 12\rError String not returned from server!");
    broker.Broker().SetBehaviours({});

    // Deleting down to nothing; then delete does nothing and asks nothing.
    for (int i = 0; i < 2; ++i) {
        boxes.Answer(TMsgDlgBtn::mbYes);
        ASSERT_TRUE(list.DelSessionActExecute());
    }
    EXPECT_EQ(list.SessionCountText(), "0");
    EXPECT_EQ(list.Current, -1);
    boxes.Clear();
    EXPECT_FALSE(list.DelSessionActExecute());
    EXPECT_TRUE(boxes.Messages().empty());
}

TEST_F(SessionListTest, FailedRefreshKeepsTheRows) {
    list.AddServer("MAIN", "p&ss=1");
    ASSERT_TRUE(list.RefreshSessions());
    ASSERT_EQ(list.Sessions.size(), 2u);
    const struct {
        const char* name;
        const char* behaviour;
        std::size_t boxes;
    } cases[] = {
        {"broker error", R"([{"error": 10, "error_text": "Invalid"}])", 1},
        {"malformed", R"([{"answer": "malformed"}])", 1},
        {"empty", R"([{"answer": "empty", "status": 502}])", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        boxes.Clear();
        broker.Broker().SetBehaviours(
            testbroker::ParseBehaviours(nlohmann::json::parse(c.behaviour)));
        EXPECT_FALSE(list.RefreshSessions());
        EXPECT_EQ(boxes.Messages().size(), c.boxes);
        EXPECT_EQ(list.Sessions.size(), 2u);
    }
    // The session list shows parse errors in an error box.
    EXPECT_EQ(boxes.Messages()[0].Kind, TMsgDlgType::mtError);
    EXPECT_EQ(boxes.Messages()[0].Text.rfind("XML Error Number ", 0), 0u);
}

} // namespace
