#pragma once

// The numbers of the server protocol that the console's code tests or sends: the request codes,
// the reply values with a meaning of their own, and the client internal error number that each
// console request shows when its exchange fails.

#include <cstdint>

namespace RequestCode {

// The requests around the console's own: the database list, the administrator's login and
// logout, and the security information asked before the login.
enum : std::uint16_t { kDatabaseList = 1, kLogin = 18, kLogout = 19, kSecurityInfo = 20 };

} // namespace RequestCode

namespace ReplyValue {

// With a non-zero ReplyCode: the server's database list changed since the stamp the request
// carried; the request is sent again after the list is fetched anew.
inline constexpr std::uint16_t kListChanged = 5;
// With a non-zero ReplyCode on the security information: this client is too old; the low 16
// bits of Param hold the version needed.
inline constexpr std::uint16_t kVersionRefused = 162;
// A server error number for which nothing is shown.
inline constexpr std::uint16_t kSilentError = 65000;
// In the login reply's Param: 0 when the administrator account was free.
inline constexpr std::uint16_t kLoginNotBusy = 0;

} // namespace ReplyValue

// The security information request carries the connection id XOR this mask in its Value.
inline constexpr std::uint16_t kSecurityMask = 0x5A3C;

// The console's eight requests: the request code and the client internal error number shown
// when the exchange fails.
struct TConsoleRequest {
    std::uint16_t Code;
    std::uint16_t ClientError;
};

namespace ConsoleRequest {

inline constexpr TConsoleRequest kLocalConnList{368, 265};
inline constexpr TConsoleRequest kDeleteLocalConn{369, 266};
inline constexpr TConsoleRequest kWebConnList{370, 267};
inline constexpr TConsoleRequest kDeleteWebConn{371, 268};
inline constexpr TConsoleRequest kDBList{372, 269};
inline constexpr TConsoleRequest kServerStatus{373, 270};
inline constexpr TConsoleRequest kReadErrorLog{374, 271};
inline constexpr TConsoleRequest kClearErrorLog{375, 272};

} // namespace ConsoleRequest
