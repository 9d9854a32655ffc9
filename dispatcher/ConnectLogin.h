#pragma once

// Bringing a server in: the fields of the two connect dialogs validated and encoded, the
// connection opened, the security information and the administrator login run, and the
// server admitted to the dispatcher as server 1. Every failure is shown to the user in the
// dialogs' own words; nothing here needs a window.

#include "PacketTransport.h"

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// What the user typed into the SPX dialog.
struct TSpxFields {
    std::string NetworkNum; // up to 8 hexadecimal digits
    std::string NodeNum;    // up to 12
    std::string SocketNum;  // up to 4
};

enum class TSpxField { None, NetworkNum, NodeNum, SocketNum };

// The first failing check, in the dialog's order, with its message; None when all pass.
TSpxField ValidateSpxFields(const TSpxFields& fields, std::string& message);
// The 12-byte address of valid fields: each field padded on the left with "0", network and node
// in the order of their digits, the socket number low-order byte first.
TServerAddress EncodeIpxAddress(const TSpxFields& fields);

// The parts of `text` between the separators (one part when there is none).
std::vector<std::string> SplitText(const std::string& text, char separator);

// What is wrong with a server given as text, HOST[:PORT].
enum class TTcpTargetFault {
    None,
    NotAnAddress, // neither an IPv4 address nor a host name (an IPv6 literal included)
    BadIpAddress, // numeric, but not four decimal groups of 0 to 255
    BadPort,      // not a number from 1 to 65535
    Unresolved,   // a host name that the resolver does not know
};
// HOST[:PORT] as the command line and the exporter take a server: four decimal groups read as
// the TCP dialog reads them, or a host name, which is resolved. Text that a resolver would read
// as a number in another form ("0x7f000001", "127.1") is refused rather than handed to it. The
// port may have blanks around it; `port` is left as it is when the text gives none. On
// Unresolved, `failure` holds the resolver's reason.
TTcpTargetFault ParseTcpTarget(const std::string& text, std::array<std::uint8_t, 4>& ip,
                               std::uint16_t& port, std::string& failure);

// What the user typed into the TCP dialog: the masked address text (four groups of three
// places at 1-3, 5-7, 9-11, 13-15, an unfilled place read as a blank) and the port text.
struct TTcpFields {
    std::string IpAddress;
    std::string PortNum;
};

// The octets and the port, or the message of the first failing check.
bool ValidateTcpFields(const TTcpFields& fields, std::array<std::uint8_t, 4>& ip,
                       std::uint16_t& port, std::string& message);

// How the caller shows that work is going on: the busy pointer, and one processing of pending
// events before the first network call. All optional.
struct TBusyHooks {
    std::function<void()> BeginBusy;
    std::function<void()> ProcessEvents;
    std::function<void()> EndBusy;
};

// Opens, handshakes, logs in as ADMINISTRATOR with the password (UTF-8 as typed; sent as
// Windows-1256) and admits the server as server 1. On failure nothing stays open and the
// reason has been shown.
bool ConnectAndLoginSpx(const TServerAddress& address, const std::string& password,
                        const TBusyHooks& hooks = {});
bool ConnectAndLoginTcp(const std::array<std::uint8_t, 4>& ip, std::uint16_t port,
                        const std::string& password, const TBusyHooks& hooks = {});

// The last address, written to the configuration store: SPXNetNum (4 bytes), SPXNodeNum (6),
// SPXSocketNum (2) or IPAddr (4), IPPort (2). A refused value shows "Failed to set data for
// '...'" and the rest is not written. Without a store nothing is written.
void SaveSpxServerAddress(const TServerAddress& address);
void SaveTcpServerAddress(const std::array<std::uint8_t, 4>& ip, std::uint16_t port);
