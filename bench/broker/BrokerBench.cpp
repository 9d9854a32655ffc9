// Prints: the median round trip of one broker query through the requester and through a plain
// blocking HTTP POST of the same body on loopback; the time to build the session rows of a
// 10000-session list and the time to parse its document alone. No pass or fail.

#include "HTTPSessions.h"
#include "TarvRequester.h"
#include "TestBroker.h"

#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0.0 : v[v.size() / 2];
}

double Micros(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double, std::micro>(b - a).count();
}

void RoundTrip() {
    testbroker::Installation inst;
    inst.id = 4242;
    inst.permutation = {};
    for (int i = 0; i < 31; ++i)
        inst.permutation[static_cast<std::size_t>(i)] = 30 - i;
    testbroker::TestBroker broker(std::move(inst));
    const int port = broker.Start("127.0.0.1", 0);
    Requester.ModuleURL = "HTTP://127.0.0.1:" + std::to_string(port) + "/SCRIPTS/ZephWebMain.DLL";
    const std::string query = "_MAINRQ=GetId";
    const std::string body = TTarvRequester::ComposeBody(query);
    constexpr int kRounds = 400;

    httplib::Client client("127.0.0.1", port);
    std::vector<double> requester, plain;
    long maxPauses = 0;
    for (int i = 0; i < 20; ++i) { // warm both paths up
        Requester.Request(query);
        client.Post("/SCRIPTS/ZephWebMain.DLL", {{"Connection", "close"}}, body, "text/plain");
    }
    for (int i = 0; i < kRounds; ++i) {
        auto a = Clock::now();
        const TBrokerResult result = Requester.Request(query);
        auto b = Clock::now();
        if (!result.Succeeded())
            std::printf("requester query failed: outcome %d, error number %d\n",
                        static_cast<int>(result.Outcome), result.ErrorNumber);
        requester.push_back(Micros(a, b));
        maxPauses = std::max(maxPauses, Requester.LastExchangePauses());

        a = Clock::now();
        auto res =
            client.Post("/SCRIPTS/ZephWebMain.DLL", {{"Connection", "close"}}, body, "text/plain");
        b = Clock::now();
        if (!res || res->status != 200)
            std::printf("plain POST failed\n");
        plain.push_back(Micros(a, b));
    }
    broker.Stop();
    const double r = Median(requester);
    const double p = Median(plain);
    std::printf("broker query round trip on loopback (%d rounds)\n", kRounds);
    std::printf("  requester (libcurl multi + wait): median %8.1f us, max pauses per query %ld\n",
                r, maxPauses);
    std::printf("  plain blocking POST (cpp-httplib): median %8.1f us\n", p);
    std::printf("  ratio requester / plain: %.2f\n", p > 0 ? r / p : 0.0);
}

std::string SessionDocument(int sessions, int resources) {
    std::string xml =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<ZephReply><_ERRNUM>0</_ERRNUM><_DATA>";
    for (int s = 0; s < sessions; ++s) {
        xml += "<session><ssnid>" + std::to_string(100000 + s) + "</ssnid><sidx>" +
               std::to_string(s % 4 + 1) + "</sidx><sname>SERVER" + std::to_string(s % 4) +
               "</sname><ecname>Central Library of the University</ecname><usrid>" +
               std::to_string(s) + "</usrid><usrname>user" + std::to_string(s) +
               "</usrname><kind>" + std::to_string(s % 3) + "</kind><latime>" +
               std::to_string(45000 + s % 400) + ".4375</latime>";
        for (int r = 0; r < resources; ++r)
            xml += "<dbres><dbid>" + std::to_string(r + 1) + "</dbid><dbname>DATABASE" +
                   std::to_string(r) + "</dbname><appid>" + std::to_string(s % 50) +
                   "</appid><apphndl>" + std::to_string(r) + "</apphndl><edtid>" +
                   std::to_string(s % 70) + "</edtid><edthndl>" + std::to_string(r + 7) +
                   "</edthndl></dbres>";
        xml += "</session>";
    }
    xml += "</_DATA></ZephReply>\n";
    return xml;
}

void SessionRows() {
    const std::string xml = SessionDocument(10000, 3);
    constexpr int kRuns = 15;
    std::vector<double> parse, build;
    std::size_t rows = 0;
    for (int i = 0; i < kRuns; ++i) {
        pugi::xml_document doc;
        auto a = Clock::now();
        const auto result = doc.load_buffer(xml.data(), xml.size());
        auto b = Clock::now();
        if (!result)
            std::printf("parse failed\n");
        parse.push_back(Micros(a, b));

        a = Clock::now();
        const auto built = BuildSessionRows(doc.document_element());
        b = Clock::now();
        rows = built.size();
        build.push_back(Micros(a, b));
    }
    const double p = Median(parse);
    const double r = Median(build);
    std::printf("session list of 10000 sessions x 3 resources (%zu bytes, %zu rows, %d runs)\n",
                xml.size(), rows, kRuns);
    std::printf("  pugixml parse alone:     median %10.1f us\n", p);
    std::printf("  building the session rows: median %10.1f us\n", r);
    std::printf("  ratio rows / parse: %.2f\n", p > 0 ? r / p : 0.0);
}

} // namespace

int main() {
    RoundTrip();
    SessionRows();
    return 0;
}
