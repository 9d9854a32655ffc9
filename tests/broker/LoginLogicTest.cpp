#include "BrokerTestSupport.h"

#include "BrokerLog.h"
#include "BrokerText.h"
#include "ConfigStore.h"
#include "HttpLogin.h"
#include "MessagePresenters.h"

#include <gtest/gtest.h>

namespace {

TEST(BrokerText, EscapeAndUnescape) {
    EXPECT_EQ(EscapeAmpersands("A&B && C"), "A&&B &&&& C");
    EXPECT_EQ(EscapeAmpersands("plain"), "plain");
    const struct {
        std::string in, out;
    } cases[] = {
        {"R&amp;D", "R&D"},     {"&lt;&gt;&apos;&quot;", "<>'\""},
        {"&amp;lt;", "&lt;"}, // "&amp;" goes last and its result is not rescanned
        {"&AMP;", "&AMP;"},   // case-sensitive
        {"&amp;amp;", "&amp;"}, {"a & b", "a & b"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(UnescapeXML(c.in), c.out) << c.in;

    // A centre name escaped twice arrives plain once the parser resolved the first level.
    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_string("<r><ecenter>R&amp;amp;D</ecenter></r>"));
    EXPECT_EQ(UnescapeXML(TTarvRequester::ReadNodeText(doc.document_element(), "ecenter")), "R&D");
}

TEST(BrokerURL, Normalisation) {
    const struct {
        std::string typed;
        std::optional<std::string> url;
    } cases[] = {
        {"  host/web ", "HTTP://HOST/WEB/"},
        {"http://host/scripts/", "HTTP://HOST/SCRIPTS/"},
        {"HTTP://Host", "HTTP://HOST/"},
        {"https://host/", "HTTP://HTTPS://HOST/"}, // the scheme test is literal
        {"\t\r\nhost:8080/a\x01", "HTTP://HOST:8080/A/"},
        {"", std::nullopt},
        {" \t ", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.typed);
        EXPECT_EQ(NormaliseBrokerURL(c.typed), c.url);
    }
    EXPECT_EQ(ModuleURLOf("HTTP://HOST/SCRIPTS/"), "HTTP://HOST/SCRIPTS/ZephWebMain.DLL");
    EXPECT_FALSE(THTTPLoginLogic::ConnectEnabled(" \x02 "));
    EXPECT_TRUE(THTTPLoginLogic::ConnectEnabled(" h "));
}

TEST(IdPermutation, TransformId) {
    TIdPermutation identity{};
    for (int i = 0; i < 31; ++i)
        identity[static_cast<std::size_t>(i)] = i;
    TIdPermutation reversed{};
    for (int i = 0; i < 31; ++i)
        reversed[static_cast<std::size_t>(i)] = 30 - i;
    const struct {
        std::int32_t id;
        const TIdPermutation& table;
        std::uint32_t response;
    } cases[] = {
        {0, kDefaultIdPermutation, 0},
        {INT32_MIN, kDefaultIdPermutation, 0}, // bit 31 alone is ignored
        {-1, kDefaultIdPermutation, 0x7FFFFFFF},
        {1, kDefaultIdPermutation, 1u << 3},
        {1 << 4, kDefaultIdPermutation, 1u << 0},
        {(1 << 30) | 1, kDefaultIdPermutation, (1u << 27) | (1u << 3)},
        {5, identity, 5},
        {1, reversed, 1u << 30},
        {0x40000003, reversed, (1u << 30) | (1u << 29) | 1u},
        {1246093, identity, 1246093},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.id);
        EXPECT_EQ(TransformId(c.id, c.table), c.response);
    }
}

TEST(IdPermutation, ParsingAndConfiguration) {
    EXPECT_EQ(ParseIdPermutation(FormatIdPermutation(kDefaultIdPermutation)),
              kDefaultIdPermutation);
    std::string reversed;
    for (int i = 30; i >= 0; --i)
        reversed += std::to_string(i) + (i > 0 ? " , " : "");
    ASSERT_TRUE(ParseIdPermutation(reversed));
    EXPECT_EQ((*ParseIdPermutation(reversed))[0], 30);

    std::string identity;
    for (int i = 0; i <= 30; ++i)
        identity += std::to_string(i) + (i < 30 ? "," : "");
    const char* invalid[] = {"", "1,2,3", "x", "1,,2"};
    for (const char* text : invalid)
        EXPECT_FALSE(ParseIdPermutation(text)) << text;
    EXPECT_FALSE(ParseIdPermutation(identity));
    EXPECT_FALSE(ParseIdPermutation(identity + ",0"));           // 32 positions
    EXPECT_FALSE(ParseIdPermutation("1" + identity.substr(1)));  // 1 twice
    EXPECT_FALSE(ParseIdPermutation("31" + identity.substr(1))); // out of range
    EXPECT_FALSE(ParseIdPermutation("-1" + identity.substr(1)));

    TMemoryConfigStore store;
    IConfigStore* previous = SetConfigStore(&store);
    std::vector<std::string> log;
    SetBrokerLogHook([&log](const std::string& line) { log.push_back(line); });

    EXPECT_EQ(IdPermutation(), kDefaultIdPermutation); // absent: the default, no log
    EXPECT_TRUE(log.empty());
    store.WriteString(kIdPermutationValueName, reversed);
    EXPECT_EQ(IdPermutation(), *ParseIdPermutation(reversed));
    EXPECT_TRUE(log.empty());
    store.WriteString(kIdPermutationValueName, identity);
    EXPECT_EQ(IdPermutation(), kDefaultIdPermutation);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_NE(log[0].find("IdPermutation"), std::string::npos);
    store.WriteBinary(kIdPermutationValueName, {1, 2, 3});
    EXPECT_EQ(IdPermutation(), kDefaultIdPermutation);
    EXPECT_EQ(log.size(), 2u);

    SetBrokerLogHook({});
    SetConfigStore(previous);
}

// The window's rows as a test sets them: ticks and passwords by row.
class TRows final : public IServerRowsView {
public:
    void RowsCleared() override {
        ticked.clear();
        passwords.clear();
        captions.clear();
        ++clears;
    }
    void RowAdded(const TBrokerServer&, const std::string& caption, int top) override {
        ticked.push_back(false);
        passwords.emplace_back();
        captions.push_back(caption);
        tops.push_back(top);
    }
    bool RowTicked(std::size_t i) const override { return i < ticked.size() && ticked[i]; }
    std::string RowPassword(std::size_t i) const override {
        return i < passwords.size() ? passwords[i] : std::string();
    }
    void Tick(std::size_t i, std::string password) {
        ticked[i] = true;
        passwords[i] = std::move(password);
    }
    std::vector<bool> ticked;
    std::vector<std::string> passwords, captions;
    std::vector<int> tops;
    int clears = 0;
};

class LoginFlowTest : public ::testing::Test {
protected:
    LoginFlowTest() : previousStore(SetConfigStore(&store)), login(sessions, rows) {}
    ~LoginFlowTest() override { SetConfigStore(previousStore); }

    std::string Saved() const {
        const TConfigValue v = store.Read("BrokerURL");
        return v.Kind == TConfigValueKind::String ? v.Text : "<none>";
    }

    TRequesterGuard guard;
    TRecordingMessagePresenter boxes;
    TMemoryConfigStore store;
    IConfigStore* previousStore;
    TSessionList sessions;
    TRows rows;
    THTTPLoginLogic login;
};

TEST_F(LoginFlowTest, ConnectLoadsTheRowsAndSavesTheURL) {
    nlohmann::json f = SmallInstallation();
    f["servers"].push_back(
        {{"name", std::string(70, 'S')}, {"center", std::string(85, 'c') + "&<\"'"}});
    TInProcessBroker broker(f);
    std::string url = "  " + broker.URL() + " ";
    ASSERT_TRUE(login.Connect(url));
    EXPECT_EQ(url, "HTTP://" + UpperCaseAscii(broker.URL()) + "/");
    EXPECT_EQ(Requester.ModuleURL, broker.ModuleURL());
    EXPECT_EQ(Saved(), url);
    EXPECT_TRUE(boxes.Messages().empty());
    ASSERT_EQ(login.ServerRows.size(), 3u);
    EXPECT_EQ(login.ServerRows[0].ServerName, "MAIN");
    EXPECT_EQ(login.ServerRows[1].ECenterName, "A&B Archive");
    EXPECT_EQ(login.ServerRows[2].ServerName, std::string(60, 'S'));
    EXPECT_EQ(login.ServerRows[2].ECenterName, std::string(80, 'c'));
    // The caption shows the whole centre name, ampersands doubled.
    EXPECT_EQ(rows.captions[1], "A&&B Archive");
    EXPECT_EQ(rows.captions[2], std::string(85, 'c') + "&&<\"'");
    EXPECT_EQ(rows.tops, (std::vector<int>{20, 40, 60}));
    EXPECT_EQ(login.NextRowTop, 80);
    EXPECT_EQ(broker.Bodies(),
              std::vector<std::string>{"_CLTVER=600&_RQ=GetServerList&_SERVICEKIND=LOCAL"});

    // A second Connect rebuilds the rows: ticks and passwords are gone.
    rows.Tick(0, "x");
    ASSERT_TRUE(login.Connect(url));
    EXPECT_EQ(rows.clears, 2);
    EXPECT_FALSE(rows.RowTicked(0));
    EXPECT_FALSE(login.DisplaySessionsEnabled());
}

TEST_F(LoginFlowTest, ConnectFailures) {
    const struct {
        const char* name;
        nlohmann::json behaviours;
        std::vector<std::string> texts;
    } cases[] = {
        {"no server",
         nlohmann::json::array({{{"answer", "no-data"}}}),
         {"No server is avail through this broker.", "Broker not found, check the URL."}},
        {"broker error",
         nlohmann::json::array({{{"error", 9}, {"error_text", "Busy"}}}),
         {"Error Number 9\rBusy", "Broker not found, check the URL."}},
        {"html page",
         nlohmann::json::array({{{"answer", "html"}, {"status", 500}}}),
         {"Broker not found, check the URL."}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        boxes.Clear();
        nlohmann::json f = SmallInstallation();
        f["behaviours"] = c.behaviours;
        TInProcessBroker broker(f);
        std::string url = broker.URL();
        EXPECT_FALSE(login.Connect(url));
        EXPECT_EQ(boxes.Texts(), c.texts);
        EXPECT_TRUE(login.ServerRows.empty());
        EXPECT_EQ(Saved(), "<none>");
    }
    boxes.Clear();
    std::string blank = " \t";
    EXPECT_FALSE(login.Connect(blank));
    EXPECT_EQ(boxes.Texts(), std::vector<std::string>{"Broker URL is not valid"});
    EXPECT_EQ(boxes.Messages()[0].Kind, TMsgDlgType::mtError);
}

TEST_F(LoginFlowTest, DisplaySessionsChecksTickedPasswords) {
    TInProcessBroker broker(SmallInstallation());
    std::string url = broker.URL();
    ASSERT_TRUE(login.Connect(url));
    broker.Broker().ClearRequests();

    rows.Tick(0, "p&ss=1" + std::string(30, 'z')); // cut to 30 characters: still wrong
    EXPECT_FALSE(login.DisplaySessions());
    EXPECT_EQ(boxes.Texts(), std::vector<std::string>{"Invalid password for:\rMain Library"});

    boxes.Clear();
    broker.Broker().ClearRequests();
    rows.Tick(0, "p&ss=1");
    rows.Tick(1, "arch");
    ASSERT_TRUE(login.DisplaySessions());
    EXPECT_TRUE(boxes.Messages().empty());
    EXPECT_EQ(broker.Bodies(),
              (std::vector<std::string>{
                  "_CLTVER=600&_RQ=CheckPassword&_SNAME=MAIN&_UNAME=administrator&_PASSWORD=p&ss=1",
                  "_CLTVER=600&_RQ=CheckPassword&_SNAME=ARCH&_UNAME=administrator&_PASSWORD=arch",
                  "_CLTVER=600&_RQ=GetSessionList&_COUNT=2&_SNAME1=MAIN&_PASSWORD1=p&ss=1"
                  "&_SNAME2=ARCH&_PASSWORD2=arch"}));
    EXPECT_EQ(sessions.Sessions.size(), 3u);

    // A wrong password on the second ticked row names its centre, ampersands doubled.
    boxes.Clear();
    rows.Tick(1, "wrong");
    EXPECT_FALSE(login.DisplaySessions());
    EXPECT_EQ(boxes.Texts(), std::vector<std::string>{"Invalid password for:\rA&&B Archive"});
}

TEST_F(LoginFlowTest, ReloadFlows) {
    TInProcessBroker broker(SmallInstallation());
    std::string url = broker.URL();

    // No rows yet: Reload connects first; the unticked rows stop it.
    EXPECT_FALSE(login.Reload(url));
    EXPECT_EQ(boxes.Texts(),
              std::vector<std::string>{
                  "You have to enter passwords of all servers before reloading the broker."});
    EXPECT_EQ(login.ServerRows.size(), 2u);

    boxes.Clear();
    rows.Tick(0, "p&ss=1");
    rows.Tick(1, "nope");
    EXPECT_FALSE(login.Reload(url));
    EXPECT_EQ(boxes.Texts(), std::vector<std::string>{"Invalid password for:\rA&&B Archive"});

    boxes.Clear();
    broker.Broker().ClearRequests();
    rows.Tick(1, "arch");
    ASSERT_TRUE(login.Reload(url));
    EXPECT_EQ(boxes.Texts(), std::vector<std::string>{"HTTP broker reloaded successfully."});
    EXPECT_EQ(boxes.Messages()[0].Kind, TMsgDlgType::mtInformation);
    const auto bodies = broker.Bodies();
    ASSERT_EQ(bodies.size(), 5u);
    EXPECT_EQ(bodies[2], "_CLTVER=600&_MAINRQ=GetId");
    EXPECT_EQ(bodies[3], "_CLTVER=600&_MAINRQ=Reload&_ID=" +
                             std::to_string(TransformId(5, kDefaultIdPermutation)));
    EXPECT_EQ(bodies[4], "_CLTVER=600&_MAINRQ=GetId");
    EXPECT_EQ(broker.Broker().ReloadCount(), 1);

    // A table that is not the broker's: the reload query fails.
    boxes.Clear();
    TIdPermutation other = kDefaultIdPermutation;
    std::swap(other[0], other[1]);
    login.IdPermutationOverride = other;
    EXPECT_FALSE(login.Reload(url));
    EXPECT_EQ(boxes.Texts(), (std::vector<std::string>{"Error Number 13\rInvalid reload id.",
                                                       "Could not reload broker."}));
}

TEST_F(LoginFlowTest, ReloadWithoutServersOrBroker) {
    // A broker that lists no server needs no password.
    nlohmann::json f = SmallInstallation();
    f["servers"] = nlohmann::json::array();
    {
        TInProcessBroker broker(f);
        std::string url = broker.URL();
        EXPECT_TRUE(login.Reload(url));
        EXPECT_EQ(boxes.Texts(),
                  (std::vector<std::string>{"No server is avail through this broker.",
                                            "Broker not found, check the URL.",
                                            "HTTP broker reloaded successfully."}));
    }
    // No rows and an unreachable broker: Connect's messages, then the identity query's.
    boxes.Clear();
    std::string url = "127.0.0.1:1/web";
    EXPECT_FALSE(login.Reload(url));
    EXPECT_EQ(boxes.Texts(), (std::vector<std::string>{"Broker not found, check the URL.",
                                                       "Broker not found, check the URL."}));
    boxes.Clear();
    std::string blank = "   ";
    EXPECT_FALSE(login.Reload(blank));
    EXPECT_EQ(boxes.Texts(), std::vector<std::string>{"Broker URL is not valid"});
}

} // namespace
