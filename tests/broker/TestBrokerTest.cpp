// The reference broker's record of the requests it received: bounded, and without the
// passwords unless a test asks for them.

#include "TestBroker.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <string>
#include <vector>

namespace {

using testbroker::kMaxLoggedBody;
using testbroker::kMaxLoggedBytes;
using testbroker::kMaxLoggedRequests;
using testbroker::MaskPasswords;
using testbroker::SplitQuery;

std::vector<std::string> Keys(const std::string& body) {
    std::vector<std::string> keys;
    for (const auto& [key, value] : SplitQuery(body))
        keys.push_back(key);
    return keys;
}

// What one request costs the record: its texts.
std::size_t LoggedSize(const testbroker::ReceivedRequest& r) {
    return r.path.size() + r.body.size() + r.connection.size() +
           (r.contentType ? r.contentType->size() : 0);
}

TEST(TestBrokerLog, PasswordsAreMaskedAsTheBrokerReadsThem) {
    const struct {
        const char* body;
        const char* masked;
    } cases[] = {
        {"_CLTVER=600&_RQ=CheckPassword&_SNAME=MAIN&_UNAME=administrator&_PASSWORD=p&ss=1",
         "_CLTVER=600&_RQ=CheckPassword&_SNAME=MAIN&_UNAME=administrator&_PASSWORD=********"},
        {"_CLTVER=600&_RQ=GetSessionList&_COUNT=2&_SNAME1=MAIN&_PASSWORD1=p&ss=1"
         "&_SNAME2=ARCH&_PASSWORD2=arch",
         "_CLTVER=600&_RQ=GetSessionList&_COUNT=2&_SNAME1=MAIN&_PASSWORD1=********"
         "&_SNAME2=ARCH&_PASSWORD2=********"},
        // A value that is all "&" and "=", one that begins with "&", one like a key.
        {"_PASSWORD=&=&&=&_ID=3", "_PASSWORD=********&_ID=3"},
        {"_UNAME=a&_PASSWORD=&secret", "_UNAME=a&_PASSWORD=********"},
        {"_PASSWORD=abc&_PASSWORDX=1&_ID=3", "_PASSWORD=********&_ID=3"},
        // The empty password is no secret; nothing else is touched.
        {"_UNAME=a&_PASSWORD=&_ID=3", "_UNAME=a&_PASSWORD=&_ID=3"},
        {"_PASSWORD=", "_PASSWORD="},
        {"_CLTVER=600&_MAINRQ=GetId", "_CLTVER=600&_MAINRQ=GetId"},
        {"a&b=c&&_UNAME=x=y&", "a&b=c&&_UNAME=x=y&"},
        {"", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body);
        const std::string masked = MaskPasswords(c.body);
        EXPECT_EQ(masked, c.masked);
        EXPECT_EQ(Keys(masked), Keys(c.body)) << "the same pairs, in the same order";
    }
}

class TestBrokerLogTest : public ::testing::Test {
protected:
    TestBrokerLogTest()
        : broker_(testbroker::ParseFixture(nlohmann::json::parse(
              R"({"servers": [{"name": "MAIN", "center": "Main", "password": "p&ss=1"}]})"))),
          client_("127.0.0.1", broker_.Start("127.0.0.1", 0)) {
        client_.set_keep_alive(true);
        client_.set_tcp_nodelay(true);
    }
    int Post(const std::string& body) {
        const auto res = client_.Post("/web/ZephWebMain.DLL", body, "text/plain");
        return res ? res->status : 0;
    }
    std::vector<std::string> Bodies() const {
        std::vector<std::string> bodies;
        for (const auto& r : broker_.Requests())
            bodies.push_back(r.body);
        return bodies;
    }

    testbroker::TestBroker broker_;
    httplib::Client client_;
};

TEST_F(TestBrokerLogTest, NoPasswordIsKeptUnlessAsked) {
    const std::string check =
        "_CLTVER=600&_RQ=CheckPassword&_SNAME=MAIN&_UNAME=administrator&_PASSWORD=p&ss=1";
    ASSERT_EQ(Post(check), 200);
    ASSERT_EQ(broker_.Requests().size(), 1u);
    EXPECT_EQ(broker_.Requests()[0].body,
              "_CLTVER=600&_RQ=CheckPassword&_SNAME=MAIN&_UNAME=administrator&_PASSWORD=********");
    EXPECT_EQ(broker_.Requests()[0].bodySize, check.size());
    // The answer still comes from the password as sent.
    const auto answer = client_.Post("/web/ZephWebMain.DLL", check, "text/plain");
    ASSERT_TRUE(answer);
    EXPECT_NE(answer->body.find("<_ERRNUM>0</_ERRNUM>"), std::string::npos) << answer->body;
    // Nor does the test endpoint hand it out.
    const auto listed = client_.Get("/_test/requests");
    ASSERT_TRUE(listed);
    EXPECT_EQ(listed->body.find("p&ss"), std::string::npos) << listed->body;
    EXPECT_NE(listed->body.find("\"body_size\": " + std::to_string(check.size())),
              std::string::npos)
        << listed->body;

    broker_.SetLogPasswords(true);
    ASSERT_EQ(Post(check), 200);
    EXPECT_EQ(Bodies().back(), check);
}

TEST_F(TestBrokerLogTest, OnlyTheLastRequestsAreKept) {
    for (std::size_t i = 0; i < kMaxLoggedRequests + 5; ++i)
        ASSERT_EQ(Post("_CLTVER=600&_MAINRQ=GetId&n=" + std::to_string(i)), 200);
    const auto bodies = Bodies();
    ASSERT_EQ(bodies.size(), kMaxLoggedRequests);
    EXPECT_EQ(bodies.front(), "_CLTVER=600&_MAINRQ=GetId&n=5");
    EXPECT_EQ(bodies.back(),
              "_CLTVER=600&_MAINRQ=GetId&n=" + std::to_string(kMaxLoggedRequests + 4));
}

TEST_F(TestBrokerLogTest, LargeBodiesAreCutAndTheirBytesBounded) {
    // 160 bodies of 100 KiB: 16 MB received, the record stays within its byte bound.
    const std::size_t big = 100 * 1024;
    for (int i = 0; i < 160; ++i) {
        std::string body = "_CLTVER=600&_MAINRQ=GetId&n=" + std::to_string(i) + "&";
        body.resize(big, 'x');
        ASSERT_EQ(Post(body), 200);
    }
    const auto requests = broker_.Requests();
    std::size_t bytes = 0;
    for (const auto& r : requests) {
        EXPECT_EQ(r.body.size(), kMaxLoggedBody);
        EXPECT_EQ(r.bodySize, big);
        bytes += LoggedSize(r);
    }
    EXPECT_LE(bytes, kMaxLoggedBytes);
    EXPECT_LT(requests.size(), 160u);
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(requests.back().body.rfind("_CLTVER=600&_MAINRQ=GetId&n=159&", 0), 0u);

    // Smaller bounds apply to what is already kept.
    broker_.SetRequestLogLimits(2, kMaxLoggedBytes);
    EXPECT_EQ(broker_.Requests().size(), 2u);
    broker_.ClearRequests();
    ASSERT_EQ(Post(std::string(100, 'a')), 200);
    const std::size_t one = LoggedSize(broker_.Requests().at(0));
    broker_.SetRequestLogLimits(100, 2 * one + one / 2);
    for (char c = 'b'; c <= 'e'; ++c)
        ASSERT_EQ(Post(std::string(100, c)), 200);
    EXPECT_EQ(Bodies(), (std::vector<std::string>{std::string(100, 'd'), std::string(100, 'e')}));
}

TEST_F(TestBrokerLogTest, AnOversizedBodyIsRefusedUnread) {
    EXPECT_EQ(Post(std::string(testbroker::kMaxRequestBody + 1, 'x')), 413);
    EXPECT_TRUE(broker_.Requests().empty());
    EXPECT_EQ(Post("_CLTVER=600&_MAINRQ=GetId"), 200) << "the broker still serves";
}

} // namespace
