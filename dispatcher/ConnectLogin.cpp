#include "ConnectLogin.h"

#include "ConfigStore.h"
#include "MessageDialogs.h"
#include "Protocol.h"
#include "RequestDispatcher.h"
#include "SocketShim.h"
#include "Win1256.h"

#include <algorithm>
#include <cctype>

namespace {

bool IsHex(char c) {
    return std::isxdigit(static_cast<unsigned char>(c)) != 0;
}

bool AllHex(const std::string& s) {
    for (char c : s)
        if (!IsHex(c))
            return false;
    return true;
}

std::uint8_t HexByte(char high, char low) {
    const auto nibble = [](char c) -> std::uint8_t {
        if (c >= '0' && c <= '9')
            return static_cast<std::uint8_t>(c - '0');
        return static_cast<std::uint8_t>(std::tolower(static_cast<unsigned char>(c)) - 'a' + 10);
    };
    return static_cast<std::uint8_t>(nibble(high) << 4 | nibble(low));
}

std::string PadLeft(const std::string& s, std::size_t width) {
    return s.size() >= width ? s.substr(s.size() - width) : std::string(width - s.size(), '0') + s;
}

std::string Trim(const std::string& s) {
    const auto first = s.find_first_not_of(' ');
    if (first == std::string::npos)
        return {};
    return s.substr(first, s.find_last_not_of(' ') - first + 1);
}

// A decimal number of digits only, at most `limit`.
bool DecimalUpTo(const std::string& s, long limit, long& value) {
    if (s.empty() || s.size() > 6)
        return false;
    value = 0;
    for (char c : s) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + (c - '0');
    }
    return value <= limit;
}

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

// True when a resolver would read the text as a number rather than a name: one to four parts of
// decimal, octal or hexadecimal ("0x...") digits.
bool LooksNumeric(const std::string& host) {
    for (const std::string& part : SplitText(host, '.')) {
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
    const std::vector<std::string> parts = SplitText(host, '.');
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
    for (const std::string& label : SplitText(host, '.')) {
        if (label.empty() || label.size() > 63)
            return false;
        for (char c : label)
            if (!IsDigit(c) && !(c >= 'a' && c <= 'z') && !(c >= 'A' && c <= 'Z') && c != '-' &&
                c != '_')
                return false;
    }
    return true;
}

struct TTransport {
    bool Spx;
    TServerAddress Address;
    std::array<std::uint8_t, 4> Ip;
    std::uint16_t Port;
};

void Call(const std::function<void()>& f) {
    if (f)
        f();
}

bool ConnectAndLogin(const TTransport& t, const std::string& password, const TBusyHooks& hooks) {
    if (RequestDispatcher == nullptr) {
        ShowMessageBox(
            t.Spx ? "Could not connect to this server. Verify server ipx address."
                  : "Could not connect to this server. Verify server ip address and port number.");
        return false;
    }
    Call(hooks.BeginBusy);
    Call(hooks.ProcessEvents);
    TConnection connection;
    std::uint8_t tag = 0;
    std::uint32_t connectionId = 0;
    const bool opened = t.Spx ? OpenSpxConnection(t.Address, connection, tag, connectionId)
                              : OpenTcpConnection(t.Ip, t.Port, connection, connectionId, tag);
    if (!opened) {
        Call(hooks.EndBusy);
        ShowMessageBox(
            t.Spx ? "Could not connect to this server. Verify server ipx address."
                  : "Could not connect to this server. Verify server ip address and port number.");
        return false;
    }

    TServerInfo info;
    std::uint16_t errorCode = 0;
    std::uint8_t major = 0;
    std::uint8_t minor = 0;
    bool flag = false;
    if (!RequestDispatcher->GetServerSecurityInf(connection, connectionId, errorCode, major, minor,
                                                 flag, info.SecurityKind, info.SecurityByte,
                                                 info.SecurityWord, info.CenterName,
                                                 info.CenterText, info.ServerName)) {
        CloseConnection(connection);
        Call(hooks.EndBusy);
        if (errorCode == ReplyValue::kVersionRefused)
            ShowMessageBox("You need client programs version " + std::to_string(major) + "." +
                           std::to_string(minor) + " or higher to connect to this server!");
        else
            ShowMessageBox(
                t.Spx
                    ? "Could not connect to this server. Check server ipx address."
                    : "Could not connect to this server. Check server ip address and port number.");
        return false;
    }

    bool accepted = false;
    std::uint16_t busy = 0;
    // The password goes out scrambled: its bytes are no longer a text.
    const std::string scrambled = ScramblePassword(EncodeWin1256(password).Bytes);
    const bool through =
        RequestDispatcher->LoginToSpxServer(connection, TServerText::Ascii("ADMINISTRATOR"),
                                            connectionId, scrambled, accepted, busy, info.LoginTag);
    if (!through || !accepted) {
        CloseConnection(connection);
        Call(hooks.EndBusy);
        if (through && busy != ReplyValue::kLoginNotBusy)
            ShowMessageBox(
                "Could not login to this server. Administrator account in this server is "
                "single entry and anotheruser is currently using it.");
        else
            ShowMessageBox("Could not login to this server. Check administrator password.");
        return false;
    }

    info.Connection = std::move(connection);
    info.ServerTag = tag;
    info.ConnectionId = connectionId;
    info.Address = t.Spx ? t.Address : MakeTcpAddress(t.Ip, t.Port);
    TServerSet which;
    which.set(1);
    RequestDispatcher->AddServers(which, 1, &info);
    Call(hooks.EndBusy);
    return true;
}

// Writes the values in order; stops at the first one the store refuses.
void SaveValues(std::initializer_list<std::pair<const char*, std::vector<std::uint8_t>>> values) {
    IConfigStore* store = CurrentConfigStore();
    if (store == nullptr)
        return;
    for (const auto& [name, bytes] : values) {
        if (!store->WriteBinary(name, bytes)) {
            ShowMessageBox(std::string("Failed to set data for '") + name + "'");
            return;
        }
    }
}

} // namespace

TSpxField ValidateSpxFields(const TSpxFields& f, std::string& message) {
    struct Check {
        const std::string& text;
        TSpxField field;
        const char* empty;
        const char* nonHex;
    } checks[] = {
        {f.NetworkNum, TSpxField::NetworkNum, "Network Number is not Entered...",
         "Invalid (non-hex) character in Network Number..."},
        {f.NodeNum, TSpxField::NodeNum, "Node Number is not Entered...",
         "Invalid (non-hex) character in Node Number..."},
        {f.SocketNum, TSpxField::SocketNum, "Socket Number is not Entered...",
         "Invalid (non-hex) character in Socket Number..."},
    };
    for (const Check& c : checks) {
        if (c.text.empty()) {
            message = c.empty;
            return c.field;
        }
        if (!AllHex(c.text)) {
            message = c.nonHex;
            return c.field;
        }
    }
    message.clear();
    return TSpxField::None;
}

TServerAddress EncodeIpxAddress(const TSpxFields& f) {
    TServerAddress a{};
    const std::string net = PadLeft(f.NetworkNum, 8);
    const std::string node = PadLeft(f.NodeNum, 12);
    const std::string socket = PadLeft(f.SocketNum, 4);
    for (int i = 0; i < 4; ++i)
        a[static_cast<std::size_t>(i)] = HexByte(net[2 * i], net[2 * i + 1]);
    for (int i = 0; i < 6; ++i)
        a[static_cast<std::size_t>(4 + i)] = HexByte(node[2 * i], node[2 * i + 1]);
    a[10] = HexByte(socket[2], socket[3]);
    a[11] = HexByte(socket[0], socket[1]);
    return a;
}

std::vector<std::string> SplitText(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::size_t from = 0;
    for (;;) {
        const std::size_t at = text.find(separator, from);
        parts.push_back(text.substr(from, at == std::string::npos ? std::string::npos : at - from));
        if (at == std::string::npos)
            return parts;
        from = at + 1;
    }
}

TTcpTargetFault ParseTcpTarget(const std::string& text, std::array<std::uint8_t, 4>& ip,
                               std::uint16_t& port, std::string& failure) {
    failure.clear();
    std::string host = text;
    // An IPv6 literal: the protocol has no room for its address.
    if (host.find('[') != std::string::npos || std::count(host.begin(), host.end(), ':') > 1)
        return TTcpTargetFault::NotAnAddress;
    const std::size_t colon = host.find(':');
    if (colon != std::string::npos) {
        // As the dialog reads its port field: blanks around the digits do not count.
        unsigned long value = 0;
        if (!ParseDecimal(Trim(host.substr(colon + 1)), 65535, value) || value == 0)
            return TTcpTargetFault::BadPort;
        port = static_cast<std::uint16_t>(value);
        host.resize(colon);
    }
    if (host.empty())
        return TTcpTargetFault::BadIpAddress;
    if (LooksNumeric(host))
        return ParseDottedQuad(host, ip) ? TTcpTargetFault::None : TTcpTargetFault::BadIpAddress;
    if (!IsHostName(host))
        return TTcpTargetFault::NotAnAddress;
    if (!SocketShim::ResolveIpv4(host, ip.data(), failure))
        return TTcpTargetFault::Unresolved;
    return TTcpTargetFault::None;
}

bool ValidateTcpFields(const TTcpFields& f, std::array<std::uint8_t, 4>& ip, std::uint16_t& port,
                       std::string& message) {
    std::string masked = f.IpAddress;
    masked.resize(15, ' ');
    for (int g = 0; g < 4; ++g) {
        long value = 0;
        if (!DecimalUpTo(Trim(masked.substr(static_cast<std::size_t>(4 * g), 3)), 255, value)) {
            message = "IP Address is not valid...";
            return false;
        }
        ip[static_cast<std::size_t>(g)] = static_cast<std::uint8_t>(value);
    }
    long p = 0;
    if (!DecimalUpTo(Trim(f.PortNum), 65535, p)) {
        message = "Port Number is not valid...";
        return false;
    }
    port = static_cast<std::uint16_t>(p);
    message.clear();
    return true;
}

bool ConnectAndLoginSpx(const TServerAddress& address, const std::string& password,
                        const TBusyHooks& hooks) {
    return ConnectAndLogin({true, address, {}, 0}, password, hooks);
}

bool ConnectAndLoginTcp(const std::array<std::uint8_t, 4>& ip, std::uint16_t port,
                        const std::string& password, const TBusyHooks& hooks) {
    return ConnectAndLogin({false, {}, ip, port}, password, hooks);
}

void SaveSpxServerAddress(const TServerAddress& a) {
    SaveValues({{"SPXNetNum", {a.begin(), a.begin() + 4}},
                {"SPXNodeNum", {a.begin() + 4, a.begin() + 10}},
                {"SPXSocketNum", {a.begin() + 10, a.end()}}});
}

void SaveTcpServerAddress(const std::array<std::uint8_t, 4>& ip, std::uint16_t port) {
    SaveValues(
        {{"IPAddr", {ip.begin(), ip.end()}},
         {"IPPort", {static_cast<std::uint8_t>(port), static_cast<std::uint8_t>(port >> 8)}}});
}
