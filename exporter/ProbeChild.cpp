#include "ProbeChild.h"

#include "ConnectLogin.h"
#include "ConsoleRequests.h"
#include "MessageDialogs.h"
#include "ReplyBuffer.h"
#include "RequestDispatcher.h"
#include "ServerErrors.h"
#include "SocketShim.h"
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

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

bool ParseDottedQuad(const std::string& host, std::array<std::uint8_t, 4>& ip) {
    std::size_t part = 0, value = 0, digits = 0;
    for (std::size_t i = 0; i <= host.size(); ++i) {
        if (i == host.size() || host[i] == '.') {
            if (digits == 0 || digits > 3 || value > 255 || part > 3)
                return false;
            ip[part++] = static_cast<std::uint8_t>(value);
            value = digits = 0;
        } else if (IsDigit(host[i])) {
            value = value * 10 + static_cast<std::size_t>(host[i] - '0');
            ++digits;
        } else {
            return false;
        }
    }
    return part == 4;
}

bool IsHostName(const std::string& host) {
    if (host.empty() || host.size() > 253)
        return false;
    for (char c : host)
        if (!IsDigit(c) && !(c >= 'a' && c <= 'z') && !(c >= 'A' && c <= 'Z') && c != '-' &&
            c != '_' && c != '.')
            return false;
    return true;
}

// HOST[:PORT] into an address; `message` says what is wrong.
bool ResolveTarget(const std::string& target, std::array<std::uint8_t, 4>& ip, std::uint16_t& port,
                   std::string& message) {
    std::string host = target;
    port = kDefaultPort;
    const std::size_t colon = host.rfind(':');
    if (colon != std::string::npos) {
        const std::string digits = host.substr(colon + 1);
        unsigned long value = 0;
        bool valid = !digits.empty() && digits.size() <= 5;
        for (char c : digits)
            valid = valid && IsDigit(c);
        if (valid)
            value = std::stoul(digits);
        if (!valid || value == 0 || value > 65535) {
            message = "The target's port is not a number from 1 to 65535.";
            return false;
        }
        port = static_cast<std::uint16_t>(value);
        host.resize(colon);
    }
    if (ParseDottedQuad(host, ip))
        return true;
    bool allDigitsAndDots = !host.empty();
    for (char c : host)
        allDigitsAndDots = allDigitsAndDots && (IsDigit(c) || c == '.');
    if (allDigitsAndDots || !IsHostName(host)) {
        message = "The target must be HOST[:PORT], with an IPv4 address or a host name.";
        return false;
    }
    std::string failure;
    if (!SocketShim::ResolveIpv4(host, ip.data(), failure)) {
        message = "The server's host name " + host + " could not be resolved." +
                  (failure.empty() ? "" : " " + failure);
        return false;
    }
    return true;
}

// The same message for the log in the exporter's language: a server error's Farsi text when
// the exporter was not started in English.
std::string LogText(const std::string& english, bool englishLog) {
    static const std::string kHeading = "Server Error Number ";
    if (englishLog || english.compare(0, kHeading.size(), kHeading) != 0)
        return english;
    std::size_t at = kHeading.size();
    unsigned number = 0;
    while (at < english.size() && IsDigit(english[at]) && number < 65536)
        number = number * 10 + static_cast<unsigned>(english[at++] - '0');
    if (number == 0 || number > 65535)
        return english;
    UseFarsiMessages = true;
    const std::string farsi = ServerErrorText(static_cast<std::uint16_t>(number));
    UseFarsiMessages = false;
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
