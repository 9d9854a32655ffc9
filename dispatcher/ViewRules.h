#pragma once

// What the five server views show, computed without a window: the console's views and
// zephran-admin call the same functions. Texts that come from the server stay in the server's
// 8-bit code page (TServerText); the callers decode them for display.

#include "ConsoleRequests.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Local connections.
std::string LocalConnStatusText(const TLocConnInfo& connection);
std::string LifetimeText(std::uint16_t lifetime);
// The name of the database that owns a result: empty when the handle is unknown, "UNKNOWN"
// when the database has no name.
TServerText ResultDatabaseName(std::uint8_t serverIndex, std::uint16_t handle);

// Databases.
// The name of a database number: "UNKNOWN" when it is unknown or has no name.
TServerText DatabaseNameOfNumber(std::uint8_t serverIndex, std::uint16_t number);
std::string OpenStateText(std::uint8_t isOpen);
std::string ChildhoodText(std::uint8_t isParent, std::uint16_t childCount);
// "7 - NAME" lines joined by CR LF, cut to 250 characters.
TServerText ChildListText(std::uint8_t serverIndex, const std::vector<std::uint16_t>& childIds);

// Server status: the four groups of captions and value texts, in the window's order.
struct TStatusLine {
    std::string Group;
    std::string Caption;
    std::string Value;
};
std::vector<TStatusLine> ServerStatusLines(const TServerStatusBlock& block);
// The result lines of the status view in its order: each caption with the index of its counter
// in `TServerStatusBlock::ResultCounts`.
struct TResultKindLine {
    const char* Caption;
    std::size_t Kind;
};
extern const std::array<TResultKindLine, 14> kStatusResultKinds;
// "%9d (%3d%)" of a count and its share of the total (`whenNoTotal` when the total is 0).
std::string RequestLineText(std::int64_t count, std::int64_t total, int whenNoTotal);
std::string DatabaseLineText(std::uint16_t defined, std::uint16_t open);
std::string ResultLineText(std::uint16_t count);

// Error log: a chunk with every line ending made CR LF, each chunk on its own.
void AppendErrorLogChunk(TServerText& text, const std::uint8_t* chunk, std::uint16_t length);
// The whole log, chunk after chunk of at most 4096 bytes until an empty one. On a failed
// chunk request the text read so far stays and the result is Failed. A log that would pass
// `limit` bytes (or a signed 32-bit offset) stops there with a message.
inline constexpr std::int64_t kErrorLogLimit = 64LL * 1024 * 1024;
TExchangeResult ReadWholeServerErrorLog(std::uint8_t serverIndex, TServerText& text,
                                        std::int64_t limit = kErrorLogLimit);
