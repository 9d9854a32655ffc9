#include "ServerSession.h"

#include "ConnectLogin.h"
#include "MessageDialogs.h"
#include "RequestDispatcher.h"
#include "ServerErrors.h"

#include <arpa/inet.h>
#include <array>
#include <cstring>
#include <netdb.h>
#include <sys/socket.h>

namespace {

constexpr std::uint16_t kDefaultPort = 4545;

// Where the server is, as the command line gave it.
struct TTarget {
    bool Spx = false;
    TServerAddress SpxAddress{};
    std::array<std::uint8_t, 4> Ip{};
    std::uint16_t Port = kDefaultPort;
};

std::vector<std::string> Split(const std::string& s, char separator) {
    std::vector<std::string> parts;
    std::size_t from = 0;
    for (;;) {
        const std::size_t at = s.find(separator, from);
        parts.push_back(s.substr(from, at == std::string::npos ? std::string::npos : at - from));
        if (at == std::string::npos)
            return parts;
        from = at + 1;
    }
}

// The target of --tcp or --spx; the exit status (2) and the message when the line is not valid.
bool ParseTarget(TCliContext& ctx, TTarget& target) {
    if (ctx.Tcp.empty() == ctx.Spx.empty()) {
        WriteMessage("The server commands need one of --tcp HOST[:PORT] or --spx NET:NODE:SOCKET.");
        ctx.ExitCode = kExitUsage;
        return false;
    }
    if (!ctx.Spx.empty()) {
        const std::vector<std::string> parts = Split(ctx.Spx, ':');
        TSpxFields fields;
        if (parts.size() == 3)
            fields = {parts[0], parts[1], parts[2]};
        else
            fields = {parts[0], parts.size() > 1 ? parts[1] : "", ""};
        std::string message;
        if (ValidateSpxFields(fields, message) != TSpxField::None) {
            WriteMessage(message);
            ctx.ExitCode = kExitUsage;
            return false;
        }
        if (parts.size() != 3 || fields.NetworkNum.size() > 8 || fields.NodeNum.size() > 12 ||
            fields.SocketNum.size() > 4) {
            WriteMessage(
                "The SPX address is NET:NODE:SOCKET, with at most 8, 12 and 4 hexadecimal digits.");
            ctx.ExitCode = kExitUsage;
            return false;
        }
        target.Spx = true;
        target.SpxAddress = EncodeIpxAddress(fields);
        return true;
    }
    std::string host = ctx.Tcp;
    const std::size_t colon = host.rfind(':');
    if (colon != std::string::npos) {
        const std::string portText = host.substr(colon + 1);
        host.resize(colon);
        std::array<std::uint8_t, 4> unused{};
        std::string message;
        if (!ValidateTcpFields({"  0.  0.  0.  0", portText}, unused, target.Port, message)) {
            WriteMessage(message);
            ctx.ExitCode = kExitUsage;
            return false;
        }
    }
    if (host.empty()) {
        WriteMessage("IP Address is not valid...");
        ctx.ExitCode = kExitUsage;
        return false;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
        WriteMessage("The server's host name " + host + " could not be resolved.");
        ctx.ExitCode = kExitFailure;
        return false;
    }
    const auto* addr = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
    std::memcpy(target.Ip.data(), &addr->sin_addr, 4);
    ::freeaddrinfo(found);
    return true;
}

} // namespace

// One whole session: open, security information, login (the database list is loaded on
// admission), the command's work, logout and close.
void RunSession(TCliContext& ctx, const std::function<bool()>& work) {
    TTarget target;
    if (!ParseTarget(ctx, target))
        return;
    InitProgramDirectory();
    UseFarsiMessages = !ctx.English;
    if (!CreateRequestDispatcher()) {
        ShowMessageBox("Could not initialize Request Dispatcher...");
        FreeRequestDispatcher();
        ctx.ExitCode = kExitFailure;
        return;
    }
    InitErrorLog();
    const std::string& password = ctx.Password();
    const bool connected = target.Spx ? ConnectAndLoginSpx(target.SpxAddress, password)
                                      : ConnectAndLoginTcp(target.Ip, target.Port, password);
    if (!connected) {
        ctx.ExitCode = kExitFailure;
    } else {
        ctx.ExitCode = work() ? kExitSuccess : kExitFailure;
        RequestDispatcher->LogoutServer(1);
        TServerSet one;
        one.set(1);
        RequestDispatcher->RemoveServers(one);
    }
    FreeRequestDispatcher();
}
