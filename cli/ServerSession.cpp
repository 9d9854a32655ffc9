#include "ServerSession.h"

#include "ConnectLogin.h"
#include "MessageDialogs.h"
#include "RequestDispatcher.h"
#include "ServerErrors.h"

#include "SocketShim.h"

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

constexpr char kNotAnAddress[] = "The server's address must be an IPv4 address or a host name.";
constexpr char kBadIpAddress[] = "IP Address is not valid...";
constexpr char kBadPort[] = "Port Number is not valid...";

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

bool IsHexDigit(char c) {
    return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// A decimal number of digits only, leading zeros allowed, at most `limit`.
bool ParseDecimal(const std::string& s, unsigned long limit, unsigned long& value) {
    if (s.empty())
        return false;
    value = 0;
    for (char c : s) {
        if (!IsDigit(c))
            return false;
        value = value * 10 + static_cast<unsigned long>(c - '0');
        if (value > limit)
            return false;
    }
    return true;
}

std::string TrimBlanks(const std::string& s) {
    const auto first = s.find_first_not_of(' ');
    if (first == std::string::npos)
        return {};
    return s.substr(first, s.find_last_not_of(' ') - first + 1);
}

// True when a resolver would read the text as a number rather than a name: one to four parts of
// decimal, octal or hexadecimal ("0x...") digits. Only the plain dotted form is taken here, so
// such text is never handed to the resolver to be read some other way.
bool LooksNumeric(const std::string& host) {
    for (const std::string& part : Split(host, '.')) {
        if (part.empty())
            return false;
        const bool hex = part.size() >= 2 && part[0] == '0' && (part[1] == 'x' || part[1] == 'X');
        for (std::size_t i = hex ? 2 : 0; i < part.size(); ++i)
            if (hex ? !IsHexDigit(part[i]) : !IsDigit(part[i]))
                return false;
    }
    return true;
}

// Four decimal groups of 0 to 255, read as the TCP dialog reads them.
bool ParseDottedQuad(const std::string& host, std::array<std::uint8_t, 4>& ip) {
    const std::vector<std::string> parts = Split(host, '.');
    if (parts.size() != 4)
        return false;
    for (std::size_t i = 0; i < 4; ++i) {
        unsigned long value = 0;
        if (!ParseDecimal(parts[i], 255, value))
            return false;
        ip[i] = static_cast<std::uint8_t>(value);
    }
    return true;
}

// A host name: labels of letters, digits, "-" and "_", 1 to 63 characters each, at most 253
// characters in all, an optional final dot.
bool IsHostName(std::string host) {
    if (!host.empty() && host.back() == '.')
        host.pop_back();
    if (host.empty() || host.size() > 253)
        return false;
    for (const std::string& label : Split(host, '.')) {
        if (label.empty() || label.size() > 63)
            return false;
        for (char c : label)
            if (!IsDigit(c) && !(c >= 'a' && c <= 'z') && !(c >= 'A' && c <= 'Z') && c != '-' &&
                c != '_')
                return false;
    }
    return true;
}

bool Refuse(TCliContext& ctx, const std::string& message, int exitCode = kExitUsage) {
    WriteMessage(message);
    ctx.ExitCode = exitCode;
    return false;
}

// HOST[:PORT] of --tcp. A text that is no address is an invalid command line; a host name that
// the resolver does not know is a failure of the command.
bool ParseTcpTarget(TCliContext& ctx, TTarget& target) {
    std::string host = ctx.Tcp;
    if (host.find('[') != std::string::npos ||
        std::count(host.begin(), host.end(), ':') > 1) // an IPv6 literal: the protocol has no room
        return Refuse(ctx, kNotAnAddress);
    const std::size_t colon = host.find(':');
    if (colon != std::string::npos) {
        // As the dialog reads its port field: blanks around the digits do not count.
        unsigned long port = 0;
        if (!ParseDecimal(TrimBlanks(host.substr(colon + 1)), 65535, port) || port == 0)
            return Refuse(ctx, kBadPort);
        target.Port = static_cast<std::uint16_t>(port);
        host.resize(colon);
    }
    if (host.empty())
        return Refuse(ctx, kBadIpAddress);
    if (LooksNumeric(host))
        return ParseDottedQuad(host, target.Ip) || Refuse(ctx, kBadIpAddress);
    if (!IsHostName(host))
        return Refuse(ctx, kNotAnAddress);
    std::string failure;
    if (!SocketShim::ResolveIpv4(host, target.Ip.data(), failure))
        return Refuse(ctx,
                      "The server's host name " + host + " could not be resolved." +
                          (failure.empty() ? "" : "\r\n" + failure),
                      kExitFailure);
    return true;
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
