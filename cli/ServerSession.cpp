#include "ServerSession.h"

#include "ConnectLogin.h"
#include "MessageDialogs.h"
#include "RequestDispatcher.h"
#include "ServerErrors.h"

#include <algorithm>
#include <array>

namespace {

constexpr std::uint16_t kDefaultPort = 4545;

// Where the server is, as the command line gave it.
struct TTarget {
    bool Spx = false;
    TServerAddress SpxAddress{};
    std::array<std::uint8_t, 4> Ip{};
    std::uint16_t Port = kDefaultPort;
};

constexpr char kNotAnAddress[] = "The server's address must be an IPv4 address or a host name.";
constexpr char kBadIpAddress[] = "IP Address is not valid...";
constexpr char kBadPort[] = "Port Number is not valid...";

bool Refuse(TCliContext& ctx, const std::string& message, int exitCode = kExitUsage) {
    WriteMessage(message);
    ctx.ExitCode = exitCode;
    return false;
}

// HOST[:PORT] of --tcp. A text that is no address is an invalid command line; a host name that
// the resolver does not know is a failure of the command.
bool ParseTcpTarget(TCliContext& ctx, TTarget& target) {
    std::string failure;
    switch (::ParseTcpTarget(ctx.Tcp, target.Ip, target.Port, failure)) {
    case TTcpTargetFault::None:
        return true;
    case TTcpTargetFault::NotAnAddress:
        return Refuse(ctx, kNotAnAddress);
    case TTcpTargetFault::BadIpAddress:
        return Refuse(ctx, kBadIpAddress);
    case TTcpTargetFault::BadPort:
        return Refuse(ctx, kBadPort);
    case TTcpTargetFault::Unresolved:
        break;
    }
    const std::string host = ctx.Tcp.substr(0, ctx.Tcp.find(':'));
    return Refuse(ctx,
                  "The server's host name " + host + " could not be resolved." +
                      (failure.empty() ? "" : "\r\n" + failure),
                  kExitFailure);
}

// The target of --tcp or --spx; the exit status (2) and the message when the line is not valid.
bool ParseTarget(TCliContext& ctx, TTarget& target) {
    if (ctx.Tcp.empty() == ctx.Spx.empty()) {
        WriteMessage("The server commands need one of --tcp HOST[:PORT] or --spx NET:NODE:SOCKET.");
        ctx.ExitCode = kExitUsage;
        return false;
    }
    if (!ctx.Spx.empty()) {
        const std::vector<std::string> parts = SplitText(ctx.Spx, ':');
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
    return ParseTcpTarget(ctx, target);
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
