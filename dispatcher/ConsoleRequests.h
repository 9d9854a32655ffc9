#pragma once

// The console's eight requests to its server (codes 368 to 375): what each sends, how its reply
// is decoded into records, the limits of decoding, and how every failure is reported. Each
// answers TExchangeResult::Done on success and Failed on a failure that has already been shown to
// the user.

#include "DateTime.h"
#include "RequestDispatcher.h"
#include "Win1256.h"

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

inline constexpr std::uint16_t kMaxResults = 500;
inline constexpr std::uint8_t kMaxChildren = 250;
inline constexpr std::uint16_t kLogChunkSize = 4096;

// year - 1900, month - 1, day, hour, minute, second
using TServerDateTime = std::array<std::uint8_t, 6>;

// Nothing when the bytes do not form a valid date and time (a day of 0, say).
std::optional<TDateTime> DecodeServerDateTime(const TServerDateTime& value);

struct TLocConnResult {
    std::uint8_t Kind = 0;
    std::uint16_t DBHandle = 0;
    std::uint16_t Lifetime = 0;
};

struct TLocConnInfo {
    TServerText UserName; // at most 30
    std::int32_t SecurityNum = 0;
    std::uint8_t Status = 0;
    std::int32_t RequestsCount = 0;
    std::uint16_t ASyncRequests = 0;
    std::uint16_t ResultsCount = 0; // at most 500
    TServerDateTime ConnectTime{};
    TServerDateTime LastRequestTime{};
    std::uint16_t CaptureFlags = 0;
    std::uint16_t CapturedDBId = 0;
    std::uint16_t CapturedTextBankId = 0;
    std::vector<TLocConnResult> Results;
};

struct TWebConnInfo {
    TServerText UserName; // at most 30
    std::int32_t UserId = 0;
    TServerDateTime LastAccessTime{};
};

struct TDBResult {
    std::uint8_t Kind = 0;
    TServerText UserName; // at most 30
};

struct TDBInfo {
    std::uint16_t Id = 0;
    TServerText Path; // at most 80
    std::uint8_t IsOpen = 0;
    std::uint8_t IsParent = 0;
    std::uint8_t ChildCount = 0; // at most 250
    std::vector<std::uint16_t> ChildIds;
    std::uint16_t ResCount = 0; // at most 500
    std::vector<TDBResult> Results;
};

struct TServerStatusBlock {
    std::int32_t NonQueuedDBRequests = 0;
    std::int32_t QueuedDBRequests = 0;
    std::int32_t NonDBRequests = 0;
    std::int32_t VersionMismatchedRequests = 0;
    std::uint16_t ChildDBsDefined = 0;
    std::uint16_t ChildDBsOpen = 0;
    std::uint16_t ParentDBsDefined = 0;
    std::uint16_t ParentDBsOpen = 0;
    std::uint16_t ClientCount = 0;
    std::array<std::uint16_t, 14> ResultCounts{};
};
inline constexpr int kStatusBlockSize = 54;

using TLocConnList = std::vector<TLocConnInfo>;
using TWebConnList = std::vector<TWebConnInfo>;
using TDBList = std::vector<TDBInfo>;

TExchangeResult GetLocalConnList(std::uint8_t serverIndex, TLocConnList& list);
TExchangeResult DeleteLocalConn(std::uint8_t serverIndex, const TServerText& userName,
                                std::int32_t securityNum);
TExchangeResult GetWebConnList(std::uint8_t serverIndex, TWebConnList& list);
TExchangeResult DeleteWebConn(std::uint8_t serverIndex, std::int32_t userId);
TExchangeResult GetDBList(std::uint8_t serverIndex, TDBList& list);
TExchangeResult GetServerStatus(std::uint8_t serverIndex, TServerStatusBlock& block);
TExchangeResult ReadServerErrorLog(std::uint8_t serverIndex, std::uint8_t* destination,
                                   std::uint16_t largestChunk, std::int32_t offset,
                                   std::uint16_t& chunkLength);
TExchangeResult ClearServerErrorLog(std::uint8_t serverIndex);
void ReleaseLocalConnList(TLocConnList& list);
void ReleaseDBList(TDBList& list);

// A list reply as it came: the count of its records and their data, which can be walked as
// often as needed (a large reply lies in a spill file and is read back through the window).
struct TListReply {
    std::uint16_t Count = 0;
    std::unique_ptr<TReplyBuffer> Data; // none when the server sent no data: no records
};

// The three list requests without decoding: the reply is kept for the walkers below, so that
// a caller holds the reply and one record, never the whole list decoded.
TExchangeResult FetchLocalConnList(std::uint8_t serverIndex, TListReply& reply);
TExchangeResult FetchWebConnList(std::uint8_t serverIndex, TListReply& reply);
TExchangeResult FetchDBList(std::uint8_t serverIndex, TListReply& reply);

// The walkers of the three list replies: each of the `count` records, decoded in turn into one
// record that is handed to `each` (which may take its contents) and then reused. False, with
// "Out of Memory." shown, when a record cannot be held or `each` runs out of memory; the
// records handed over until then stand.
bool ForEachLocalConn(TReplyBuffer* data, std::uint16_t count,
                      const std::function<void(TLocConnInfo&)>& each);
bool ForEachWebConn(TReplyBuffer* data, std::uint16_t count,
                    const std::function<void(TWebConnInfo&)>& each);
bool ForEachDB(TReplyBuffer* data, std::uint16_t count, const std::function<void(TDBInfo&)>& each);

// The decoders of the three list replies, built on the walkers: `count` records from the reply
// data. False (with "Out of Memory." shown and the list empty) when the records cannot be held.
bool DecodeLocalConnList(TReplyBuffer* data, std::uint16_t count, TLocConnList& list);
bool DecodeWebConnList(TReplyBuffer* data, std::uint16_t count, TWebConnList& list);
bool DecodeDBList(TReplyBuffer* data, std::uint16_t count, TDBList& list);

// "General Purpose" .. "Index Result" for kinds 0 to 13, "Unknown" for any other.
std::string ResultKindName(std::uint8_t kind);

// The 54 bytes of a status reply as the block's fields.
TServerStatusBlock DecodeStatusBlock(const std::uint8_t* bytes);
