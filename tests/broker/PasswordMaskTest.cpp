// Passwords sent to a broker never come back to the user: the mask itself (every spelling a
// broker could echo a password in), and a broker that echoes the request it received into its
// error text, its HTML error page or its server list, through the logic of the broker windows
// with the recording presenter standing for the console's boxes.

#include "BrokerTestSupport.h"

#include "HTTPSessions.h"
#include "HttpLogin.h"
#include "MessagePresenters.h"
#include "SecretMask.h"

#include <gtest/gtest.h>

namespace {

TEST(SecretMask, EverySpellingOfAPasswordIsMasked) {
    const struct {
        const char* name;
        std::vector<std::string> secrets;
        std::string text;
        std::string shown;
    } cases[] = {
        {"raw", {"Zq7#kP2v"}, "pw=Zq7#kP2v&x", "pw=********&x"},
        {"twice", {"ab&c"}, "ab&cab&c.", "****************."},
        {"percent, upper case", {"c&1 x"}, "c%261%20x", "********"},
        {"percent, lower case", {"c&1/"}, "c%261%2f", "********"},
        {"form encoding", {"a b+c"}, "[a+b%2Bc]", "[********]"},
        {"every byte percent-encoded", {"pw"}, "%70%77", "********"},
        {"XML names", {"a<b&c>\"d'"}, "a&lt;b&amp;c&gt;&quot;d&apos;", "********"},
        {"decimal reference", {"p&ss"}, "p&#38;ss", "********"},
        {"hex reference, leading zeros",
         {"p&ss"},
         "p&#x0026;ss and p&#X26;ss",
         "******** and ********"},
        {"mixed forms", {"a&b c"}, "a&amp;b+c a%26b&#32;c", "******** ********"},
        {"UTF-8, raw and per byte", {"p\xC3\xA9ss"}, "p\xC3\xA9ss p%C3%A9ss", "******** ********"},
        {"UTF-8 as a character reference", {"p\xC3\xA9ss"}, "p&#233;ss", "********"},
        {"the longest password wins", {"abc", "abcdef"}, "abcdefg", "********g"},
        {"a password inside a longer word", {"pass"}, "passport", "********port"},
        {"a prefix alone stays", {"Zq7#kP2v"}, "Zq7#kP2 Zq7%23kP2", "Zq7#kP2 Zq7%23kP2"},
        {"a reference to another character", {"a&b"}, "a&#39;b a&lt;b", "a&#39;b a&lt;b"},
        {"broken escapes", {"a%b"}, "a%zzb a%2 a%", "a%zzb a%2 a%"},
        {"empty password ignored", {""}, "text", "text"},
        {"no passwords", {}, "text & 100%", "text & 100%"},
        {"empty text", {"x"}, "", ""},
        {"bytes that are not UTF-8", {"\xFF\xFE"}, "<\xFF\xFE> %FF%fe", "<********> ********"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TSecretMask mask;
        for (const std::string& s : c.secrets)
            mask.Add(s);
        EXPECT_EQ(mask.Apply(c.text), c.shown);
    }
}

TEST(SecretMask, HostileTextsAreScannedInOnePass) {
    // Long runs of the characters every encoded form starts with, around one echo.
    TSecretMask mask;
    mask.Add("&%&%");
    mask.Add(" %&");
    const std::string noise(200000, '&');
    const std::string text = noise + std::string(200000, '%') + "&amp;%25&#38;%" + noise;
    const std::string shown = mask.Apply(text);
    EXPECT_EQ(shown.find("&amp;%25&#38;%"), std::string::npos);
    EXPECT_NE(shown.find(TSecretMask::kMask), std::string::npos);
}

// A broker that echoes the body it received in an answer the test shapes.
class PasswordEchoTest : public ::testing::Test {
protected:
    using TShape = std::function<std::pair<int, std::string>(const std::string& body)>;

    PasswordEchoTest()
        : peer_([this](const std::string& body) {
              std::lock_guard<std::mutex> lock(mutex_);
              return shape_(body);
          }) {
        Requester.ModuleURL = peer_.ModuleURL();
    }
    void Shape(TShape shape) {
        std::lock_guard<std::mutex> lock(mutex_);
        shape_ = std::move(shape);
    }
    // No box shows the password in any form; returns the texts for further checks.
    std::vector<std::string> ShownWithoutThePassword(const std::string& password) {
        const std::vector<std::string> texts = boxes_.Texts();
        for (const std::string& text : texts) {
            EXPECT_EQ(text.find(password), std::string::npos) << text;
            TSecretMask alone;
            alone.Add(password);
            EXPECT_EQ(alone.Apply(text), text) << "an encoded password in: " << text;
        }
        return texts;
    }

    TRequesterGuard guard_;
    TRecordingMessagePresenter boxes_;
    std::mutex mutex_;
    TShape shape_;
    TScriptedPeer peer_;
};

std::string XmlEscaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        default:
            out.push_back(c);
        }
    }
    return out;
}

std::string PercentEncoded(const std::string& text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
            out.push_back(static_cast<char>(c));
        else
            out += std::string("%") + kHex[c >> 4] + kHex[c & 15];
    }
    return out;
}

TEST_F(PasswordEchoTest, EchoedRequestsShowNoPassword) {
    const std::string password = "Zq7#kP2v<x>&r=1";
    const std::string padding(108, '.');
    const struct {
        const char* name;
        TShape shape;
    } cases[] = {
        {"error text, raw",
         [](const std::string& body) {
             return std::pair{200, "<r><_ERRNUM>10</_ERRNUM><_ERRSTR>Bad request: " +
                                       XmlEscaped(body) + "</_ERRSTR></r>"};
         }},
        {"error text, percent-encoded",
         [](const std::string& body) {
             return std::pair{200, "<r><_ERRNUM>10</_ERRNUM><_ERRSTR>" + PercentEncoded(body) +
                                       "</_ERRSTR></r>"};
         }},
        {"error text, escaped twice",
         [](const std::string& body) {
             return std::pair{200, "<r><_ERRNUM>10</_ERRNUM><_ERRSTR>" +
                                       XmlEscaped(XmlEscaped(body)) + "</_ERRSTR></r>"};
         }},
        {"HTML page, raw",
         [](const std::string& body) {
             return std::pair{500, "<html><body><p>Request: " + body + "<br></p></body></html>"};
         }},
        {"HTML page, escaped",
         [](const std::string& body) {
             return std::pair{500, "<html><body><p>" + XmlEscaped(body) + "<br></body></html>"};
         }},
        // The source line is cut 120 characters before the place where parsing stopped; the
        // echoed password straddles that cut.
        {"HTML page, password at the cut",
         [&padding, &password](const std::string&) {
             return std::pair{500, "<html>" + password + padding + "<br></html>"};
         }},
        {"HTML page, escaped password at the cut",
         [&padding, &password](const std::string&) {
             return std::pair{500, "<html>" + XmlEscaped(password) + padding + "<br></html>"};
         }},
    };
    TSessionList sessions;
    sessions.AddServer("MAIN", password);
    sessions.AddServer("ARCH", "second");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        boxes_.Clear();
        Requester.ForgetSentPasswordsForTesting();
        Shape(c.shape);
        EXPECT_FALSE(sessions.RefreshSessions());
        const std::vector<std::string> texts = ShownWithoutThePassword(password);
        ASSERT_EQ(texts.size(), 1u);
        EXPECT_NE(texts[0].find(TSecretMask::kMask), std::string::npos) << texts[0];
        EXPECT_EQ(texts[0].find("second"), std::string::npos) << texts[0];
    }
}

TEST_F(PasswordEchoTest, LoginBoxesAndCaptionsShowNoPassword) {
    const std::string password = "p&ss w0rd";
    // The broker lists the password as a centre name, and echoes it in every check it refuses.
    Shape([&password](const std::string& body) {
        if (body.find("GetServerList") != std::string::npos)
            return std::pair{200, "<r><_DATA><srv><name>MAIN</name><ecenter>Centre " +
                                      XmlEscaped(XmlEscaped(password)) +
                                      "</ecenter></srv></_DATA></r>"};
        return std::pair{200,
                         "<r><_ERRNUM>10</_ERRNUM><_ERRSTR>" + XmlEscaped(body) + "</_ERRSTR></r>"};
    });
    class TRows final : public IServerRowsView {
    public:
        explicit TRows(std::string password) : password_(std::move(password)) {}
        void RowAdded(const TBrokerServer&, const std::string& caption, int) override {
            Captions.push_back(caption);
        }
        bool RowTicked(std::size_t) const override { return true; }
        std::string RowPassword(std::size_t) const override { return password_; }
        std::vector<std::string> Captions;

    private:
        std::string password_;
    } rows(password);
    TSessionList sessions;
    THTTPLoginLogic login(sessions, rows);
    ASSERT_TRUE(login.LoadServerList());
    EXPECT_FALSE(login.DisplaySessions());
    // A second load: the caption of a row now masks the password that went out.
    ASSERT_TRUE(login.LoadServerList());
    ASSERT_EQ(rows.Captions.size(), 2u);
    EXPECT_EQ(rows.Captions[1], "Centre ********");
    const std::vector<std::string> texts = ShownWithoutThePassword(password);
    EXPECT_EQ(texts, std::vector<std::string>{"Invalid password for:\rCentre ********"});
    // The row keeps the broker's text for the queries.
    EXPECT_EQ(login.ServerRows[0].ECenterName, "Centre " + password);
}

} // namespace
