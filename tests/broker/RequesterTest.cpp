#include "BrokerTestSupport.h"

#include "MessagePresenters.h"

#include <gtest/gtest.h>

namespace {

const TBrokerResult kOk = TBrokerResult::Of(TBrokerOutcome::Success);
const TBrokerResult kMalformed = TBrokerResult::Of(TBrokerOutcome::Malformed);
const TBrokerResult kNoAnswer = TBrokerResult::Of(TBrokerOutcome::NoAnswer);
const TBrokerResult kAbandoned = TBrokerResult::Of(TBrokerOutcome::Abandoned);

std::pair<int, std::string> Ok(const std::string&) {
    return {200, "<r><_ERRNUM>0</_ERRNUM><_DATA><ID>77</ID></_DATA></r>"};
}

class RequesterTest : public ::testing::Test {
protected:
    TRequesterGuard guard;
    TRecordingMessagePresenter boxes;
};

TEST_F(RequesterTest, BodyIsTheVersionKeyAndTheQueryAsTheyAre) {
    struct Case {
        std::string query;
        std::string body;
    } const cases[] = {
        {"", "_CLTVER=600"},
        {"_RQ=GetServerList&_SERVICEKIND=LOCAL",
         "_CLTVER=600&_RQ=GetServerList&_SERVICEKIND=LOCAL"},
        {"_RQ=CheckPassword&_SNAME=MAIN&_UNAME=administrator&_PASSWORD=a&b=c",
         "_CLTVER=600&_RQ=CheckPassword&_SNAME=MAIN&_UNAME=administrator&_PASSWORD=a&b=c"},
        {"_MAINRQ=GetId", "_CLTVER=600&_MAINRQ=GetId"},
        {"_MAINRQ=Reload&_ID=2147483647", "_CLTVER=600&_MAINRQ=Reload&_ID=2147483647"},
        {"_RQ=Logout&_SESSIONID=1&_UID=2&_SNAME=S&_UNAME=\xD8\xB9\xD9\x84\xDB\x8C",
         "_CLTVER=600&_RQ=Logout&_SESSIONID=1&_UID=2&_SNAME=S&_UNAME=\xD8\xB9\xD9\x84\xDB\x8C"},
    };
    TScriptedPeer peer(Ok);
    Requester.ModuleURL = peer.ModuleURL();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.query);
        EXPECT_EQ(TTarvRequester::ComposeBody(c.query), c.body);
        EXPECT_TRUE(Requester.Request(c.query).Succeeded());
    }
    const auto received = peer.Received();
    ASSERT_EQ(received.size(), std::size(cases));
    for (std::size_t i = 0; i < received.size(); ++i) {
        EXPECT_EQ(received[i].Body, cases[i].body);
        EXPECT_EQ(received[i].Path, "/SCRIPTS/ZephWebMain.DLL");
        EXPECT_EQ(received[i].Connection, "close");
        EXPECT_FALSE(received[i].HasContentType);
    }
    EXPECT_TRUE(boxes.Messages().empty());
}

struct EnvelopeCase {
    const char* name;
    int status;
    std::string body;
    bool showParseErrors;
    bool quiet;
    TBrokerResult result;
    std::vector<std::string> texts; // the boxes shown, in order
    TMsgDlgType kind = TMsgDlgType::mtCustom;
};

TEST_F(RequesterTest, EnvelopeAndMalformedAnswers) {
    const std::string html = "<html><head><title>Error</title></head><body>Bad<br></body></html>";
    const EnvelopeCase cases[] = {
        {"success", 200, "<r><_ERRNUM>0</_ERRNUM></r>", false, false, kOk, {}},
        {"no _ERRNUM", 200, "<r><_DATA/></r>", true, false, kOk, {}},
        {"empty _ERRNUM", 200, "<r><_ERRNUM/></r>", true, false, kOk, {}},
        {"non-numeric _ERRNUM", 200, "<r><_ERRNUM>five</_ERRNUM></r>", true, false, kOk, {}},
        {"out-of-range _ERRNUM", 200, "<r><_ERRNUM>4294967296</_ERRNUM></r>", true, false, kOk, {}},
        {"error without text",
         200,
         "<r><_ERRNUM>5</_ERRNUM></r>",
         false,
         false,
         TBrokerResult::Error(5),
         {"Error Number 5\rError String not returned from server!"}},
        {"error with empty text",
         200,
         "<r><_ERRNUM>5</_ERRNUM><_ERRSTR/></r>",
         false,
         false,
         TBrokerResult::Error(5),
         {"Error Number 5\rError String not returned from server!"}},
        {"error with text",
         200,
         "<r><_ERRNUM>-3</_ERRNUM><_ERRSTR>No <b>such</b> user</_ERRSTR></r>",
         false,
         false,
         TBrokerResult::Error(-3),
         {"Error Number -3\rNo such user"}},
        {"error on status 404",
         404,
         "<r><_ERRNUM>7</_ERRNUM><_ERRSTR>x</_ERRSTR></r>",
         false,
         false,
         TBrokerResult::Error(7),
         {"Error Number 7\rx"}},
        {"success on status 500", 500, "<r><_ERRNUM>0</_ERRNUM></r>", true, false, kOk, {}},
        {"quiet error",
         200,
         "<r><_ERRNUM>5</_ERRNUM></r>",
         false,
         true,
         TBrokerResult::Error(5),
         {}},
        {"html, parse errors hidden", 500, html, false, false, kMalformed, {}},
        {"html, quiet", 500, html, false, true, kMalformed, {}},
        {"empty body, parse errors hidden", 200, "", false, false, kMalformed, {}},
        {"text only", 200, "Internal error", false, false, kMalformed, {}},
        // A broker's own error number 1 is not taken for a missing answer.
        {"error number 1",
         200,
         "<r><_ERRNUM>1</_ERRNUM></r>",
         false,
         true,
         TBrokerResult::Error(1),
         {}},
    };
    for (const EnvelopeCase& c : cases) {
        SCOPED_TRACE(c.name);
        boxes.Clear();
        TScriptedPeer peer([&c](const std::string&) { return std::make_pair(c.status, c.body); });
        Requester.ModuleURL = peer.ModuleURL();
        const TBrokerResult result = c.quiet
                                         ? Requester.RequestQuiet("_MAINRQ=GetId")
                                         : Requester.Request("_MAINRQ=GetId", c.showParseErrors);
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(boxes.Texts(), c.texts);
        for (const auto& m : boxes.Messages()) {
            EXPECT_EQ(m.Kind, TMsgDlgType::mtCustom);
            EXPECT_EQ(m.Buttons, TMsgDlgButtons({TMsgDlgBtn::mbOK}));
        }
    }
}

TEST_F(RequesterTest, MalformedAnswerShowsTheParseErrorWhenAsked) {
    TScriptedPeer peer([](const std::string&) {
        return std::make_pair(500, std::string("<html>\n<body>Server <br> error</body>\n</html>"));
    });
    Requester.ModuleURL = peer.ModuleURL();
    int activations = 0;
    Requester.SetActivateWindowHook([&activations] { ++activations; });
    EXPECT_EQ(Requester.Request("_RQ=GetSessionList&_COUNT=0", true), kMalformed);
    ASSERT_EQ(boxes.Messages().size(), 1u);
    const TMessageRequest& box = boxes.Messages()[0];
    EXPECT_EQ(box.Kind, TMsgDlgType::mtError);
    EXPECT_EQ(box.Buttons, TMsgDlgButtons({TMsgDlgBtn::mbOK}));
    const TXmlParseError& e = Requester.LastParseError();
    EXPECT_NE(e.ErrorCode, 0);
    EXPECT_FALSE(e.Reason.empty());
    EXPECT_EQ(e.SrcText, "<body>Server <br> error</body>");
    EXPECT_EQ(box.Text, "XML Error Number " + std::to_string(e.ErrorCode) + "\rReason: " +
                            e.Reason + "\rSource: <body>Server <br> error</body>\rURL: ");
    EXPECT_EQ(activations, 1);
    // The failed answer leaves no document behind.
    EXPECT_FALSE(Requester.Root());
}

// The answer is parsed in its own bytes, which the parser rewrites (entities, line ends, the
// ends of names); the parse-error box still quotes the line as the broker sent it.
TEST_F(RequesterTest, ParseErrorQuotesTheAnswerAsItCame) {
    const std::string filler(TTarvRequester::kQuotedTailBytes + 4096, 'x');
    const std::string bigHead = "<r><_DATA><srv><name>" + filler + "</name></srv>";
    struct Case {
        const char* name;
        std::string body;
        std::string source;
    } const cases[] = {
        {"entities and line ends before the error",
         "<r>\n<a x='1 &amp; 2'>fish &lt; chips\r\n &#65;</b>\n</r>", " &#65;</b>"},
        {"entities on the line of the error", "<r><a>fish &amp; chips &#x41;</b></r>",
         "<r><a>fish &amp; chips &#x41;</b></r>"},
        {"large answer cut short", bigHead + "\n<srv><name>last &amp; one</name><ecenter>Cen",
         "<srv><name>last &amp; one</name><ecenter>Cen"},
        // Before its last part, a large answer is no longer as it came: it is not quoted, even
        // where the bytes after the error were rewritten (an unterminated attribute value is
        // decoded and its line ends folded before the end of the answer is found).
        {"large answer broken early", "<r><a>one &amp; two</b>" + filler + "</r>", ""},
        {"large answer with an unterminated value",
         "<r><a b=\"&amp;&amp;&amp; Tr0ub4dor3xyz\r\nmore" + filler, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TScriptedPeer peer([&c](const std::string&) { return std::make_pair(200, c.body); });
        Requester.ModuleURL = peer.ModuleURL();
        EXPECT_EQ(Requester.Request("_MAINRQ=GetId"), kMalformed);
        EXPECT_EQ(Requester.LastParseError().SrcText, c.source);
        EXPECT_FALSE(Requester.Root());
    }
}

// Answers sent in chunks, without a length, grow the received bytes as they come.
TEST_F(RequesterTest, AnswerWithoutALengthIsReadWhole) {
    std::string names;
    for (int i = 0; names.size() < 3u * 1024 * 1024; ++i)
        names += "<srv><name>S" + std::to_string(i) + "</name></srv>";
    const std::string doc = "<r><_ERRNUM>0</_ERRNUM><_DATA>" + names + "</_DATA></r>";
    httplib::Server server;
    server.Post(".*", [&doc](const httplib::Request&, httplib::Response& res) {
        res.set_chunked_content_provider(
            "text/xml", [&doc](std::size_t offset, httplib::DataSink& sink) {
                const std::size_t n = std::min<std::size_t>(4093, doc.size() - offset);
                sink.write(doc.data() + offset, n);
                if (offset + n == doc.size())
                    sink.done();
                return true;
            });
    });
    const int port = server.bind_to_any_port("127.0.0.1");
    std::thread thread([&server] { server.listen_after_bind(); });
    while (!server.is_running())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    Requester.ModuleURL = "HTTP://127.0.0.1:" + std::to_string(port) + "/ZephWebMain.DLL";
    const TBrokerResult result = Requester.Request("_RQ=GetServerList&_SERVICEKIND=LOCAL");
    server.stop();
    thread.join();
    ASSERT_EQ(result, kOk);
    const auto servers = TTarvRequester::SelectNodes(Requester.Root(), "_DATA/srv");
    ASSERT_FALSE(servers.empty());
    EXPECT_EQ(TTarvRequester::ReadNodeText(servers.front(), "name"), "S0");
    EXPECT_EQ(TTarvRequester::ReadNodeText(servers.back(), "name"),
              "S" + std::to_string(servers.size() - 1));
}

TEST(AnswerBuffer, GrowsKeepingItsBytes) {
    struct Case {
        const char* name;
        std::size_t reserve;
        std::vector<std::size_t> pieces;
    } const cases[] = {
        {"nothing", 0, {}},
        {"empty pieces", 0, {0, 0}},
        {"growing from nothing", 0, {1, 7, 4096, 100000, 3}},
        {"within what was reserved", 200000, {1000, 150000, 49000}},
        {"beyond what was reserved", 10, {5, 6, 70000}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TAnswerBuffer buffer;
        ASSERT_TRUE(buffer.Reserve(c.reserve));
        std::string expected;
        for (std::size_t n : c.pieces) {
            std::string piece(n, '\0');
            for (std::size_t i = 0; i < n; ++i)
                piece[i] = static_cast<char>('a' + (expected.size() + i) % 26);
            ASSERT_TRUE(buffer.Append(piece.data(), piece.size()));
            expected += piece;
            EXPECT_GE(buffer.Capacity(), buffer.Size());
        }
        EXPECT_EQ(buffer.View(), expected);
        TAnswerBuffer moved = std::move(buffer);
        EXPECT_EQ(moved.View(), expected);
        EXPECT_EQ(buffer.Size(), 0u);
        moved.Clear();
        EXPECT_EQ(moved.Size(), 0u);
        EXPECT_EQ(moved.Capacity(), 0u);
    }
}

TEST_F(RequesterTest, ParseErrorTextLayout) {
    EXPECT_EQ(TTarvRequester::ParseErrorText({-1072896659, "Bad", "<a>", ""}),
              "XML Error Number -1072896659\rReason: Bad\rSource: <a>\rURL: ");
}

TEST_F(RequesterTest, UnreachableBrokerGivesNoUsableAnswer) {
    int port = 0;
    {
        TScriptedPeer closed(Ok); // take a free port, then free it again
        port = std::stoi(closed.ModuleURL().substr(17));
    }
    Requester.ModuleURL = "HTTP://127.0.0.1:" + std::to_string(port) + "/ZephWebMain.DLL";
    EXPECT_EQ(Requester.Request("_MAINRQ=GetId"), kNoAnswer);
    EXPECT_TRUE(boxes.Messages().empty());
    EXPECT_EQ(Requester.Request("_MAINRQ=GetId", true), kNoAnswer);
    ASSERT_EQ(boxes.Messages().size(), 1u);
    EXPECT_EQ(boxes.Messages()[0].Kind, TMsgDlgType::mtError);
    // A module URL that is not a URL at all fails the same way.
    Requester.ModuleURL = "HTTP://BAD HOST/ZephWebMain.DLL";
    EXPECT_EQ(Requester.RequestQuiet("_MAINRQ=GetId"), kNoAnswer);
}

// The question comes after every `count` pauses; these tests count pauses through the
// events hook and release the answer at a chosen pause, so nothing depends on timing.
TEST_F(RequesterTest, SlowExchangeAnsweredYesIsAbandoned) {
    TScriptedPeer peer(Ok);
    peer.Hold();
    Requester.ModuleURL = peer.ModuleURL();
    Requester.SetPauseCountForTesting(3);
    Requester.SetPauseMillisecondsForTesting(5);
    int pauses = 0;
    Requester.SetProcessEventsHook([&pauses] { ++pauses; });
    boxes.Answer(TMsgDlgBtn::mbYes);
    EXPECT_EQ(Requester.Request("_MAINRQ=GetId", true), kAbandoned);
    EXPECT_EQ(pauses, 3);
    ASSERT_EQ(boxes.Messages().size(), 1u);
    const TMessageRequest& q = boxes.Messages()[0];
    EXPECT_EQ(q.Text, "Server at \"" + peer.ModuleURL() +
                          "\" is too slow or probably mulfunctioning. Do you want to Abort?"
                          "\xE2\x80\x8E");
    EXPECT_EQ(q.Kind, TMsgDlgType::mtCustom);
    EXPECT_EQ(q.Buttons, TMsgDlgButtons({TMsgDlgBtn::mbYes, TMsgDlgBtn::mbNo}));
    peer.Release();
}

TEST_F(RequesterTest, SlowExchangeAnsweredNoTwiceGoesOnToTheAnswer) {
    TScriptedPeer peer([](const std::string&) {
        return std::make_pair(200,
                              std::string("<r><_ERRNUM>4</_ERRNUM><_ERRSTR>late</_ERRSTR></r>"));
    });
    peer.Hold();
    Requester.ModuleURL = peer.ModuleURL();
    Requester.SetPauseCountForTesting(4);
    Requester.SetPauseMillisecondsForTesting(50);
    int pauses = 0;
    Requester.SetProcessEventsHook([&] {
        if (++pauses == 9) // right after the second question, three pauses before a third
            peer.Release();
    });
    boxes.Answer(TMsgDlgBtn::mbNo);
    boxes.Answer(TMsgDlgBtn::mbNo);
    EXPECT_EQ(Requester.Request("_MAINRQ=GetId"), TBrokerResult::Error(4));
    const auto texts = boxes.Texts();
    ASSERT_EQ(texts.size(), 3u);
    EXPECT_EQ(texts[0], Requester.SlowExchangeQuestion());
    EXPECT_EQ(texts[1], Requester.SlowExchangeQuestion());
    EXPECT_EQ(texts[2], "Error Number 4\rlate");
}

TEST_F(RequesterTest, NestedExchangeDuringTheWaitDoesNotDeadlock) {
    TScriptedPeer peer([](const std::string& body) {
        if (body == "_CLTVER=600&_MAINRQ=GetId")
            return std::make_pair(200, std::string("<r><_DATA><ID>1</ID></_DATA></r>"));
        return std::make_pair(200, std::string("<r><_DATA><ID>2</ID></_DATA></r>"));
    });
    Requester.ModuleURL = peer.ModuleURL();
    Requester.SetPauseMillisecondsForTesting(5);
    int inner = -1;
    bool nested = false;
    TScriptedPeer slow([](const std::string&) {
        return std::make_pair(200, std::string("<r><_DATA><ID>3</ID></_DATA></r>"));
    });
    slow.Hold();
    const std::string outerURL = slow.ModuleURL();
    Requester.SetProcessEventsHook([&] {
        if (nested)
            return;
        nested = true;
        // Another operation started while the outer exchange waits.
        const std::string saved = Requester.ModuleURL;
        Requester.ModuleURL = peer.ModuleURL();
        if (Requester.Request("_MAINRQ=GetId").Succeeded())
            inner = TTarvRequester::ReadNodeInt(Requester.Root(), "_DATA/ID");
        Requester.ModuleURL = saved;
        slow.Release();
    });
    Requester.ModuleURL = outerURL;
    ASSERT_TRUE(Requester.Request("_MAINRQ=Reload&_ID=1").Succeeded());
    EXPECT_EQ(inner, 1);
    EXPECT_EQ(TTarvRequester::ReadNodeInt(Requester.Root(), "_DATA/ID"), 3);
}

TEST(RequesterReaders, ReadNodeValues) {
    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_string(R"(<r>
        <a>x<b>y<c>z</c></b>w</a><a>second</a>
        <i1>12</i1><i2> 12 </i2><i3>-2147483648</i3><i4>2147483648</i4><i5>12abc</i5>
        <i6/><i7>0x10</i7><i8>+7</i8><i9>+-7</i9>
        <f1>37622.5</f1><f2>1e3</f2><f3>3,5</f3><f4>nan</f4><f5>inf</f5><f6>-0.25</f6>
        <f7>1e400</f7><f8>.5</f8>
        <_DATA><session><ssnid>1</ssnid></session><session><ssnid>2</ssnid></session></_DATA>
        <_DATA><session><ssnid>3</ssnid></session></_DATA>
        <cd><![CDATA[a<b]]></cd>
        </r>)"));
    const pugi::xml_node root = doc.document_element();
    using R = TTarvRequester;
    EXPECT_EQ(R::ReadNodeText(root, "a"), "xyzw");
    EXPECT_EQ(R::ReadNodeText(root, "a/b/c"), "z");
    EXPECT_EQ(R::ReadNodeText(root, "missing"), "");
    EXPECT_EQ(R::ReadNodeText(root, "A"), ""); // names are case-sensitive
    EXPECT_EQ(R::ReadNodeText(root, "cd"), "a<b");
    EXPECT_EQ(R::ReadNodeText(root, "_DATA/session/ssnid"), "1");
    EXPECT_EQ(R::ReadNodeText(root, "a[2]"), "second"); // a general path
    EXPECT_EQ(R::ReadNodeText(root, "a[[["), "");       // not a path: nothing
    EXPECT_EQ(R::ReadNodeText(pugi::xml_node(), "a"), "");

    const struct {
        const char* path;
        std::int32_t value;
    } ints[] = {{"i1", 12}, {"i2", 12}, {"i3", INT32_MIN}, {"i4", 0}, {"i5", 0},
                {"i6", 0},  {"i7", 0},  {"i8", 7},         {"i9", 0}, {"missing", 0}};
    for (const auto& c : ints) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(R::ReadNodeInt(root, c.path), c.value);
    }
    const struct {
        const char* path;
        double value;
    } floats[] = {{"f1", 37622.5}, {"f2", 1000.0}, {"f3", 0.0}, {"f4", 0.0}, {"f5", 0.0},
                  {"f6", -0.25},   {"f7", 0.0},    {"f8", 0.5}, {"i6", 0.0}};
    for (const auto& c : floats) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(R::ReadNodeFloat(root, c.path), c.value);
    }
    const auto sessions = R::SelectNodes(root, "_DATA/session");
    ASSERT_EQ(sessions.size(), 3u);
    EXPECT_EQ(R::ReadNodeInt(sessions[2], "ssnid"), 3);
}

} // namespace
