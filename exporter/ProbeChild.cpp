#include "ProbeChild.h"

#include "ConnectLogin.h"
#include "ConsoleRequests.h"
#include "MessageDialogs.h"
#include "ReplyBuffer.h"
#include "RequestDispatcher.h"
#include "ServerErrors.h"
#include "Win1256.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

namespace {

constexpr std::uint16_t kDefaultPort = 4545;
constexpr std::size_t kPasswordLimit = 64 * 1024;

// Keeps every message the lower layers would have shown, instead of showing it.
class TRecordingPresenter final : public IMessagePresenter {
public:
    std::vector<std::string> Messages;
    TMsgDlgBtn Present(const TMessageRequest& request) override {
        Messages.push_back(request.Text);
        return request.DefaultButton;
    }
};

// HOST[:PORT] into an address; `message` says what is wrong.
bool ResolveTarget(const std::string& target, std::array<std::uint8_t, 4>& ip, std::uint16_t& port,
                   std::string& message) {
    port = kDefaultPort;
    std::string failure;
    switch (ParseTcpTarget(target, ip, port, failure)) {
    case TTcpTargetFault::None:
        return true;
    case TTcpTargetFault::BadPort:
        message = "The target's port is not a number from 1 to 65535.";
        return false;
    case TTcpTargetFault::NotAnAddress:
    case TTcpTargetFault::BadIpAddress:
        message = "The target must be HOST[:PORT], with an IPv4 address or a host name.";
        return false;
    case TTcpTargetFault::Unresolved:
        break;
    }
    message = "The server's host name " + target.substr(0, target.find(':')) +
              " could not be resolved." + (failure.empty() ? "" : " " + failure);
    return false;
}

// The same message for the log in the exporter's language: a server error's Farsi text when
// the exporter was not started in English.
std::string LogText(const std::string& english, bool englishLog) {
    const std::optional<std::uint16_t> number = ServerErrorNumberOf(english);
    if (englishLog || !number || *number == 0)
        return english;
    const std::string farsi = ServerErrorText(*number, true);
    return farsi.empty() ? english : farsi;
}

void Fail(TProbeResult& result, const std::vector<std::string>& messages,
          const std::string& fallback, bool englishLog) {
    const std::string raw = messages.empty() ? fallback : messages.front();
    result.Up = false;
    result.Error = OneLine(raw);
    result.LogError = OneLine(LogText(raw, englishLog));
}

void CountConnections(TProbeResult& result, TRecordingPresenter& presenter) {
    TProbeConnections connections;
    TListReply local;
    if (FetchLocalConnList(1, local) != TExchangeResult::Done)
        return;
    const bool walked = ForEachLocalConn(local.Data.get(), local.Count, [&](TLocConnInfo& c) {
        ++connections.Local;
        for (const TLocConnResult& r : c.Results)
            ++connections.ResultsByKind[r.Kind < 14 ? r.Kind : 14];
    });
    if (!walked)
        return;
    TListReply web;
    if (FetchWebConnList(1, web) != TExchangeResult::Done)
        return;
    connections.Web = web.Count;
    if (presenter.Messages.empty())
        result.Connections = connections;
}

} // namespace

TProbeResult RunProbe(const TProbeRequest& request) {
    TProbeResult result;
    TRecordingPresenter presenter;
    IMessagePresenter* previous = SetMessagePresenter(&presenter);
    UseFarsiMessages = false;
    std::vector<std::string> reports;

    std::array<std::uint8_t, 4> ip{};
    std::uint16_t port = 0;
    std::string message;
    if (!ResolveTarget(request.Target, ip, port, message)) {
        Fail(result, {}, message, true);
        SetMessagePresenter(previous);
        return result;
    }
    if (!CreateRequestDispatcher()) {
        FreeRequestDispatcher();
        Fail(result, {}, "Could not initialize Request Dispatcher...", true);
        SetMessagePresenter(previous);
        return result;
    }
    ReportProc = [&reports](const std::string& text) { reports.push_back(text); };
    if (!ConnectAndLoginTcp(ip, port, request.Password)) {
        Fail(result, presenter.Messages, reports.empty() ? "The login failed." : reports.front(),
             request.English);
    } else {
        TServerStatusBlock block;
        if (GetServerStatus(1, block) == TExchangeResult::Done) {
            const TServerEntry& server = RequestDispatcher->Server(1);
            result.ServerName = OneLine(DecodeWin1256(server.ServerName), 200);
            result.CentreName = OneLine(DecodeWin1256(server.CenterName), 200);
            TProbeStatus& s = result.Status;
            // The server's counters are 32 bits that wrap; read as unsigned they only grow.
            s.NonQueuedDBRequests = static_cast<std::uint32_t>(block.NonQueuedDBRequests);
            s.QueuedDBRequests = static_cast<std::uint32_t>(block.QueuedDBRequests);
            s.NonDBRequests = static_cast<std::uint32_t>(block.NonDBRequests);
            s.VersionMismatchedRequests =
                static_cast<std::uint32_t>(block.VersionMismatchedRequests);
            s.ChildDBsDefined = block.ChildDBsDefined;
            s.ChildDBsOpen = block.ChildDBsOpen;
            s.ParentDBsDefined = block.ParentDBsDefined;
            s.ParentDBsOpen = block.ParentDBsOpen;
            s.ClientCount = block.ClientCount;
            s.ResultCounts = block.ResultCounts;
            result.Up = true;
            if (request.CollectConnections) {
                CountConnections(result, presenter);
                if (!result.Connections)
                    Fail(result, presenter.Messages, "The connection lists could not be read.",
                         request.English);
            }
        } else {
            Fail(result, presenter.Messages, "The server's status could not be read.",
                 request.English);
        }
        RequestDispatcher->LogoutServer(1);
        TServerSet one;
        one.set(1);
        RequestDispatcher->RemoveServers(one);
    }
    FreeRequestDispatcher();
    ReportProc = nullptr;
    SetMessagePresenter(previous);
    return result;
}

bool ParentIsTheExporter(long exporterPid) {
    return exporterPid > 0 && static_cast<long>(::getppid()) == exporterPid;
}

int ProbeProcessMain(const std::string& target, bool collectConnections, bool english,
                     const std::string& workDirectory) {
    if (workDirectory.empty())
        InitProgramDirectory();
    else
        SetProgramDirectory(workDirectory);
    TProbeRequest request;
    request.Target = target;
    request.CollectConnections = collectConnections;
    request.English = english;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        if (request.Password.size() + static_cast<std::size_t>(n) > kPasswordLimit)
            return 1;
        request.Password.append(buffer, static_cast<std::size_t>(n));
    }
    const std::string text = EncodeProbeResult(RunProbe(request)) + "\n";
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = ::write(STDOUT_FILENO, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return 1;
        written += static_cast<std::size_t>(n);
    }
    return 0;
}
