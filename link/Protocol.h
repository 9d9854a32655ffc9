#pragma once

// The numbers of the server protocol that the console's code tests or sends: the request codes,
// the reply values with a meaning of their own, and the client internal error number that each
// console request shows when its exchange fails.

#include <cstdint>

namespace RequestCode {

inline constexpr std::uint16_t kDatabaseList = 1;
inline constexpr std::uint16_t kLogin = 18;
inline constexpr std::uint16_t kLogout = 19;
inline constexpr std::uint16_t kSecurityInfo = 20;

// The console's eight requests.
inline constexpr std::uint16_t kLocalConnList = 368;
inline constexpr std::uint16_t kDeleteLocalConn = 369;
inline constexpr std::uint16_t kWebConnList = 370;
inline constexpr std::uint16_t kDeleteWebConn = 371;
inline constexpr std::uint16_t kDBList = 372;
inline constexpr std::uint16_t kServerStatus = 373;
inline constexpr std::uint16_t kReadErrorLog = 374;
inline constexpr std::uint16_t kClearErrorLog = 375;

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

namespace ClientError {

inline constexpr std::uint16_t kLocalConnList = 265;
inline constexpr std::uint16_t kDeleteLocalConn = 266;
inline constexpr std::uint16_t kWebConnList = 267;
inline constexpr std::uint16_t kDeleteWebConn = 268;
inline constexpr std::uint16_t kDBList = 269;
inline constexpr std::uint16_t kServerStatus = 270;
inline constexpr std::uint16_t kReadErrorLog = 271;
inline constexpr std::uint16_t kClearErrorLog = 272;

} // namespace ClientError
