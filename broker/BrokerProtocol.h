#pragma once

// The numbers of the broker's protocol that more than one place needs: the queries' fixed
// parts, the lengths its texts are kept at, and the session kinds.

#include <cstddef>
#include <cstdint>

// The identity and reload queries; the reload's response number follows its text.
inline constexpr const char* kIdentityQuery = "_MAINRQ=GetId";
inline constexpr const char* kReloadQuery = "_MAINRQ=Reload&_ID=";

// The lengths, in characters, that texts are cut to when kept.
inline constexpr std::size_t kServerNameLength = 60;
inline constexpr std::size_t kPasswordLength = 30;
inline constexpr std::size_t kCenterNameLength = 80;
inline constexpr std::size_t kUserNameLength = 30;
inline constexpr std::size_t kDBNameLength = 60;
// The sessions grid's "server/user" text.
inline constexpr std::size_t kServerUserNameLength = 60;

// The session kinds the console names.
inline constexpr std::int32_t kSearchSessionKind = 0;
inline constexpr std::int32_t kEditSessionKind = 1;
