// The requester's whole exchange and the flows of the broker windows, with the fuzz input as
// the broker's answer: the server list of the login dialog, the password check, the reload
// with its identity query, the session list with the parse-error box. The answer is served
// from a file through libcurl, so the requester's own body handling and parse-error text run.

#include "FuzzSupport.h"
#include "HTTPSessions.h"
#include "HttpLogin.h"
#include "TarvRequester.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace {

class TRows final : public IServerRowsView {
public:
    bool RowTicked(std::size_t) const override { return true; }
    std::string RowPassword(std::size_t) const override { return "pw&1"; }
};

std::string AnswerFile() {
    static const std::string name = [] {
        char pattern[] = "/tmp/zephran-fuzz-answer-XXXXXX";
        const int fd = ::mkstemp(pattern);
        if (fd < 0)
            std::abort();
        ::close(fd);
        static std::string made(pattern);
        std::atexit([] { ::unlink(made.c_str()); });
        return made;
    }();
    return name;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInitProcess();
    const std::string file = AnswerFile();
    if (std::FILE* f = std::fopen(file.c_str(), "wb")) {
        std::fwrite(data, 1, size, f);
        std::fclose(f);
    }
    Requester.ModuleURL = "file://" + file;
    Requester.SetPauseMillisecondsForTesting(1);

    TSessionList sessions;
    TRows rows;
    THTTPLoginLogic login(sessions, rows);
    const std::uint8_t flow = size > 0 ? data[size - 1] % 4 : 0;
    switch (flow) {
    case 0:
        login.LoadServerList();
        break;
    case 1:
        login.ServerRows.push_back({"CENTRAL", "Centre"});
        login.DisplaySessions();
        break;
    case 2:
        login.ServerRows.push_back({"CENTRAL", "Centre"});
        login.ReloadBroker();
        break;
    case 3:
        sessions.AddServer("CENTRAL", "pw");
        sessions.RefreshSessions();
        if (!sessions.Sessions.empty()) {
            sessions.Current = 0;
            sessions.DelSessionActExecute();
        }
        break;
    }
    TTarvRequester::ParseErrorText(Requester.LastParseError());
    return 0;
}
