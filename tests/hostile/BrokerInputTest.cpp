// Broker answers that are huge, deep, hostile or out of range: nothing crashes, the XML parser
// expands no entity (external or internal), memory stays within a small multiple of the
// answer, and the flows of the broker windows go on working afterwards.

#include "HTTPSessions.h"
#include "HttpLogin.h"
#include "MessagePresenters.h"
#include "TarvRequester.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <fstream>
#include <thread>

namespace {

// An HTTP peer on a free loopback port that answers every POST with the body a test set.
class TAnsweringBroker {
public:
    TAnsweringBroker() {
        server_.Post(".*", [this](const httplib::Request&, httplib::Response& res) {
            res.set_content(*answer_, "text/xml");
        });
        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        for (int i = 0; i < 5000 && !server_.is_running(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        Requester.ModuleURL =
            "HTTP://127.0.0.1:" + std::to_string(port_) + "/SCRIPTS/ZephWebMain.DLL";
    }
    ~TAnsweringBroker() {
        server_.stop();
        thread_.join();
        Requester.ModuleURL.clear();
    }
    // The answer to every request from now on (kept by the peer while it is served).
    void Answer(std::string body) {
        answer_ = std::make_shared<const std::string>(std::move(body));
    }

private:
    httplib::Server server_;
    std::thread thread_;
    int port_ = 0;
    std::shared_ptr<const std::string> answer_ = std::make_shared<const std::string>();
};

// The process's peak resident memory in bytes, and its reset to the current size.
std::int64_t PeakResidentBytes() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stoll(line.substr(6)) * 1024;
    return 0;
}
void ResetPeakResident() {
    std::ofstream("/proc/self/clear_refs") << "5";
}

class TRows final : public IServerRowsView {
public:
    bool RowTicked(std::size_t) const override { return true; }
    std::string RowPassword(std::size_t) const override { return "pw"; }
};

class BrokerInputTest : public ::testing::Test {
protected:
    TRecordingMessagePresenter recorder_;
    TAnsweringBroker broker_;
    TSessionList sessions_;
    TRows rows_;
    THTTPLoginLogic login_{sessions_, rows_};

    // The console still works: a correct server list loads.
    void StillUsable() {
        recorder_.Clear();
        broker_.Answer("<r><_ERRNUM>0</_ERRNUM><_DATA><srv><name>MAIN</name><ecenter>Centre"
                       "</ecenter></srv></_DATA></r>");
        ASSERT_TRUE(login_.LoadServerList());
        ASSERT_EQ(login_.ServerRows.size(), 1u);
        EXPECT_EQ(login_.ServerRows[0].ServerName, "MAIN");
        EXPECT_TRUE(recorder_.Messages().empty());
    }
};

std::string Sessions(std::size_t count, const std::string& each) {
    std::string doc = "<r><_ERRNUM>0</_ERRNUM><_DATA>";
    doc.reserve(count * (each.size() + 20) + 64);
    for (std::size_t i = 0; i < count; ++i)
        doc += "<session><ssnid>" + std::to_string(i) + "</ssnid>" + each + "</session>";
    return doc + "</_DATA></r>";
}

TEST_F(BrokerInputTest, HundredMegabyteAnswerIsReadWithMemoryBoundedByTheDocument) {
    // A server list whose centre names carry 100 MB between them.
    const std::string filler(1024 * 1024, 'x');
    std::string doc = "<r><_ERRNUM>0</_ERRNUM><_DATA>";
    for (int i = 0; i < 100; ++i)
        doc +=
            "<srv><name>S" + std::to_string(i) + "</name><ecenter>" + filler + "</ecenter></srv>";
    doc += "</_DATA></r>";
    const auto size = static_cast<std::int64_t>(doc.size());
    broker_.Answer(std::move(doc));
    ResetPeakResident();
    const std::int64_t before = PeakResidentBytes();
    ASSERT_TRUE(login_.LoadServerList());
    const std::int64_t growth = PeakResidentBytes() - before;
    ASSERT_EQ(login_.ServerRows.size(), 100u);
    EXPECT_EQ(login_.ServerRows[99].ServerName, "S99");
    EXPECT_EQ(login_.ServerRows[0].ECenterName, std::string(80, 'x')) << "cut to 80";
    // The answer is held as it arrives, once more as the parser's copy, and the rows hold
    // only their cut texts: a few times the document, never more.
    EXPECT_LT(growth, 6 * size) << "peak grew by " << growth / (1024 * 1024) << " MB";
    std::cout << "100 MB answer: peak resident memory grew by " << growth / (1024 * 1024)
              << " MB\n";
    StillUsable();
}

TEST_F(BrokerInputTest, DeeplyNestedDocumentIsReadWithoutRecursion) {
    const int depth = 200000;
    std::string doc = "<r><_ERRNUM>7</_ERRNUM><_ERRSTR>";
    for (int i = 0; i < depth; ++i)
        doc += "<a>";
    doc += "deep";
    for (int i = 0; i < depth; ++i)
        doc += "</a>";
    doc += "</_ERRSTR><_DATA>";
    for (int i = 0; i < depth; ++i)
        doc += "<srv>";
    for (int i = 0; i < depth; ++i)
        doc += "</srv>";
    doc += "</_DATA></r>";
    broker_.Answer(doc);
    EXPECT_EQ(Requester.Request("_RQ=GetServerList&_SERVICEKIND=LOCAL"), 7);
    EXPECT_EQ(recorder_.Texts(), std::vector<std::string>{"Error Number 7\rdeep"});
    recorder_.Clear();
    broker_.Answer("<r>" + doc.substr(doc.find("<_DATA>")));
    ASSERT_TRUE(login_.LoadServerList()) << "one server, with neither name nor centre";
    EXPECT_EQ(login_.ServerRows.size(), 1u);
    StillUsable();
}

TEST_F(BrokerInputTest, EntitiesAreNeverExpanded) {
    struct TCase {
        const char* Name;
        std::string Doc;
        std::string Shown;
    };
    std::string laughs = "<?xml version=\"1.0\"?><!DOCTYPE r [<!ENTITY lol \"lol\">";
    laughs += "<!ENTITY lol1 \"&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;\">";
    for (int i = 2; i <= 9; ++i) {
        std::string refs;
        for (int k = 0; k < 10; ++k)
            refs += "&lol" + std::to_string(i - 1) + ";";
        laughs += "<!ENTITY lol" + std::to_string(i) + " \"" + refs + "\">";
    }
    laughs += "]><r><_ERRNUM>3</_ERRNUM><_ERRSTR>&lol9;</_ERRSTR></r>";
    const TCase cases[] = {
        {"external entity",
         "<?xml version=\"1.0\"?><!DOCTYPE r [<!ENTITY xxe SYSTEM \"file:///etc/passwd\">]>"
         "<r><_ERRNUM>3</_ERRNUM><_ERRSTR>&xxe;</_ERRSTR></r>",
         "Error Number 3\r&xxe;"},
        {"external parameter entity",
         "<?xml version=\"1.0\"?><!DOCTYPE r [<!ENTITY % p SYSTEM \"http://127.0.0.1:1/x\"> %p;]>"
         "<r><_ERRNUM>3</_ERRNUM><_ERRSTR>text</_ERRSTR></r>",
         "Error Number 3\rtext"},
        {"billion laughs", laughs, "Error Number 3\r&lol9;"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        recorder_.Clear();
        broker_.Answer(c.Doc);
        ResetPeakResident();
        const std::int64_t before = PeakResidentBytes();
        EXPECT_EQ(Requester.Request("_MAINRQ=GetId"), 3);
        EXPECT_EQ(recorder_.Texts(), std::vector<std::string>{c.Shown});
        EXPECT_LT(PeakResidentBytes() - before, 16 * 1024 * 1024);
    }
    StillUsable();
}

TEST_F(BrokerInputTest, NumbersOutOfRangeReadAsZeroOrAreLeftOut) {
    broker_.Answer(
        "<r><_ERRNUM>99999999999999999999</_ERRNUM><_DATA><session><ssnid>2147483648</ssnid>"
        "<sidx>-2147483649</sidx><usrid>0x10</usrid><kind>1e99</kind><latime>1e308</latime>"
        "<dbres><dbid>-2147483648</dbid><appid>+7</appid><apphndl> 12 </apphndl>"
        "<edtid>1.5</edtid></dbres></session>"
        "<session><latime>-1e308</latime><kind>-0</kind></session>"
        "<session><latime>nan</latime></session><session><latime>inf</latime></session>"
        "<session><latime>1e-400</latime></session><session><latime>2958466</latime></session>"
        "<session><latime>-693594</latime></session>"
        "</_DATA><_ID>4294967296</_ID></r>");
    sessions_.AddServer("MAIN", "pw");
    ASSERT_TRUE(sessions_.RefreshSessions()) << "an _ERRNUM out of range means success";
    const auto& rows = sessions_.Sessions;
    ASSERT_EQ(rows.size(), 7u);
    EXPECT_EQ(rows[0].SessionId, 0);
    EXPECT_EQ(rows[0].ServerIdx, 0);
    EXPECT_EQ(rows[0].UserId, 0);
    EXPECT_EQ(rows[0].KindNumber, 0);
    EXPECT_EQ(rows[0].DBResourceList[0].DBId, INT32_MIN);
    EXPECT_EQ(rows[0].DBResourceList[0].AppFileId, 7);
    EXPECT_EQ(rows[0].DBResourceList[0].AppFileHandle, 12);
    EXPECT_EQ(rows[0].DBResourceList[0].EditFileId, 0);
    for (const THTTPSessionRow& row : rows) {
        SCOPED_TRACE(row.LastAccessTime);
        const std::string text = LastAccessTimeText(row.LastAccessTime);
        if (std::abs(row.LastAccessTime) > 1e7) {
            EXPECT_EQ(text, "") << "outside the calendar";
        }
    }
    EXPECT_EQ(rows[2].LastAccessTime, 0.0) << "nan is not a number";
    EXPECT_EQ(rows[3].LastAccessTime, 0.0) << "inf is not a number";
    EXPECT_TRUE(recorder_.Messages().empty());
    StillUsable();
}

TEST_F(BrokerInputTest, HundredThousandSessions) {
    const std::string each = "<sidx>1</sidx><sname>MAIN</sname><ecname>Centre</ecname>"
                             "<usrid>7</usrid><usrname>user</usrname><kind>1</kind>"
                             "<latime>37622.5</latime><dbres><dbid>1</dbid><dbname>BOOKS</dbname>"
                             "</dbres>";
    std::string doc = Sessions(100000, each);
    const auto size = static_cast<std::int64_t>(doc.size());
    broker_.Answer(std::move(doc));
    sessions_.AddServer("MAIN", "pw");
    ResetPeakResident();
    const std::int64_t before = PeakResidentBytes();
    ASSERT_TRUE(sessions_.RefreshSessions());
    const std::int64_t growth = PeakResidentBytes() - before;
    ASSERT_EQ(sessions_.Sessions.size(), 100000u);
    EXPECT_EQ(sessions_.Sessions[99999].SessionId, 99999);
    EXPECT_EQ(sessions_.Sessions[99999].DBResourceList.at(0).DBName, "BOOKS");
    EXPECT_EQ(sessions_.SessionCountText(), "100000");
    // The parsed document has a node per element and text (some ten times the text of
    // elements this short); the rows hold short texts. Sanitizer builds add their own margin.
    EXPECT_LT(growth, 24 * size) << "peak grew by " << growth / (1024 * 1024) << " MB for a "
                                 << size / (1024 * 1024) << " MB answer";
    std::cout << "100000 sessions: answer " << size / 1024 << " KiB, peak resident memory grew by "
              << growth / (1024 * 1024) << " MB\n";
    sessions_.Current = 50000;
    broker_.Answer("<r><_ERRNUM>0</_ERRNUM></r>");
    EXPECT_TRUE(sessions_.DelSessionActExecute());
    EXPECT_EQ(sessions_.Sessions.size(), 99999u);
    StillUsable();
}

} // namespace
