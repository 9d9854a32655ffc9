#include "ConsoleRequests.h"

#include "ServerErrors.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace {

// The common frame: runs the request and reports what went wrong. Answers the reply buffer's
// owner record on success, nothing when the failure has been shown.
bool Execute(std::uint8_t serverIndex, TRequestRecord& request, std::uint16_t clientError) {
    if (RequestDispatcher == nullptr ||
        RequestDispatcher->ExecuteRequest(serverIndex, request) != kExchangeDone) {
        ShowClientInternalError(clientError);
        return false;
    }
    if (request.ReplyCode != 0) {
        ShowServerError(request.Value);
        request.Data.reset();
        return false;
    }
    return true;
}

void ReadDateTime(TReplyBuffer* b, TServerDateTime& value, std::int32_t& cursor) {
    ReadBytes(b, cursor, static_cast<std::uint16_t>(value.size()), value.data());
}

// Room for `count` records of `size` bytes, as the console checks before it decodes.
bool RoomFor(std::size_t count, std::size_t size) {
    return CanAllocate(static_cast<std::int64_t>(count * size));
}

template <typename List> bool Reserve(List& list, std::size_t count) {
    // No records need no room: a reply that counts none is an empty list, not a lack of memory.
    if (count == 0)
        return true;
    if (!RoomFor(count, sizeof(typename List::value_type)))
        return false;
    try {
        list.reserve(count);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

} // namespace

std::optional<TDateTime> DecodeServerDateTime(const TServerDateTime& v) {
    TDateTimeParts p;
    p.Year = v[0] + 1900;
    p.Month = v[1] + 1;
    p.Day = v[2];
    p.Hour = v[3];
    p.Minute = v[4];
    p.Second = v[5];
    return EncodeDateTime(p);
}

std::string ResultKindName(std::uint8_t kind) {
    static const char* const kNames[14] = {"General Purpose",
                                           "Format Module",
                                           "Database Record",
                                           "Oriented Data",
                                           "Brief Screen Data",
                                           "Search Result",
                                           "Append Record",
                                           "Set Record",
                                           "Key Data",
                                           "Edit Record",
                                           "Convert Database",
                                           "Convert Definition",
                                           "Multi-DB Search Result",
                                           "Index Result"};
    return kind < 14 ? kNames[kind] : "Unknown";
}

void ReleaseLocalConnList(TLocConnList& list) {
    TLocConnList().swap(list);
}
void ReleaseDBList(TDBList& list) {
    TDBList().swap(list);
}

namespace {

// The request of a list without decoding its reply; no data is a list without records.
std::uint16_t FetchList(std::uint8_t serverIndex, std::uint16_t code, std::uint16_t clientError,
                        TListReply& reply) {
    reply = TListReply{};
    TRequestRecord r;
    r.Code = code;
    if (!Execute(serverIndex, r, clientError))
        return kExchangeFailed;
    if (r.Data) {
        reply.Count = r.Value;
        reply.Data = std::move(r.Data);
    }
    return kExchangeDone;
}

// Runs a walk; an allocation that fails in it (in the record or in the caller's `each`) is
// "Out of Memory." and false.
template <typename Walk> bool Guarded(Walk walk) {
    try {
        return walk();
    } catch (const std::bad_alloc&) {
        ShowOutOfMemory();
        return false;
    }
}

// The vector decoders: room for every record first, then each record moved in.
template <typename List, typename ForEach>
bool DecodeInto(List& list, TReplyBuffer* b, std::uint16_t count, ForEach forEach) {
    List().swap(list);
    if (!Reserve(list, count)) {
        ShowOutOfMemory();
        return false;
    }
    if (!forEach(b, count, [&list](typename List::value_type& record) {
            list.push_back(std::move(record));
        })) {
        List().swap(list);
        return false;
    }
    return true;
}

} // namespace

std::uint16_t FetchLocalConnList(std::uint8_t serverIndex, TListReply& reply) {
    return FetchList(serverIndex, 368, 265, reply);
}

std::uint16_t FetchWebConnList(std::uint8_t serverIndex, TListReply& reply) {
    return FetchList(serverIndex, 370, 267, reply);
}

std::uint16_t FetchDBList(std::uint8_t serverIndex, TListReply& reply) {
    return FetchList(serverIndex, 372, 269, reply);
}

std::uint16_t GetLocalConnList(std::uint8_t serverIndex, TLocConnList& list) {
    ReleaseLocalConnList(list);
    TListReply reply;
    if (FetchLocalConnList(serverIndex, reply) != kExchangeDone)
        return kExchangeFailed;
    if (!reply.Data)
        return kExchangeDone;
    return DecodeLocalConnList(reply.Data.get(), reply.Count, list) ? kExchangeDone
                                                                    : kExchangeFailed;
}

bool ForEachLocalConn(TReplyBuffer* b, std::uint16_t count,
                      const std::function<void(TLocConnInfo&)>& each) {
    return Guarded([&] {
        TLocConnInfo c;
        std::int32_t cursor = 1;
        for (int n = 0; n < count; ++n) {
            // A fresh record (a read past the end leaves a field as it was) that keeps the
            // room of the previous record's results.
            std::vector<TLocConnResult> results = std::move(c.Results);
            results.clear();
            c = TLocConnInfo{};
            c.Results = std::move(results);
            ReadShortString(b, c.UserName, 30, cursor);
            ReadLong(b, c.SecurityNum, cursor);
            ReadByte(b, c.Status, cursor);
            ReadLong(b, c.RequestsCount, cursor);
            ReadWord(b, c.ASyncRequests, cursor);
            std::uint16_t onWire = 0;
            ReadWord(b, onWire, cursor);
            c.ResultsCount = std::min(onWire, kMaxResults);
            ReadDateTime(b, c.ConnectTime, cursor);
            ReadDateTime(b, c.LastRequestTime, cursor);
            ReadWord(b, c.CaptureFlags, cursor);
            ReadWord(b, c.CapturedDBId, cursor);
            ReadWord(b, c.CapturedTextBankId, cursor);
            if (c.ResultsCount > 0) {
                if (!Reserve(c.Results, c.ResultsCount)) {
                    ShowOutOfMemory();
                    return false;
                }
                // The entries are read from the window in one piece when they are all there.
                const std::int32_t bytes = 5 * c.ResultsCount;
                if (const std::uint8_t* p = b->GetPointer(cursor, bytes)) {
                    c.Results.resize(c.ResultsCount);
                    for (TLocConnResult& res : c.Results) {
                        res.Kind = p[0];
                        res.DBHandle = static_cast<std::uint16_t>(p[1] | (p[2] << 8));
                        res.Lifetime = static_cast<std::uint16_t>(p[3] | (p[4] << 8));
                        p += 5;
                    }
                    cursor += bytes;
                } else {
                    for (int i = 0; i < c.ResultsCount; ++i) {
                        TLocConnResult& res = c.Results.emplace_back();
                        ReadByte(b, res.Kind, cursor);
                        ReadWord(b, res.DBHandle, cursor);
                        ReadWord(b, res.Lifetime, cursor);
                    }
                }
            }
            // Entries beyond the kept ones are stepped over, so the next record starts in place.
            cursor = static_cast<std::int32_t>(std::min<std::int64_t>(
                INT32_MAX, std::int64_t{cursor} + 5 * (onWire - c.ResultsCount)));
            each(c);
        }
        return true;
    });
}

bool DecodeLocalConnList(TReplyBuffer* b, std::uint16_t count, TLocConnList& list) {
    return DecodeInto(list, b, count, ForEachLocalConn);
}

std::uint16_t DeleteLocalConn(std::uint8_t serverIndex, const std::string& userName,
                              std::int32_t securityNum) {
    const std::string name = userName.substr(0, 255);
    std::vector<std::uint8_t> block;
    block.push_back(static_cast<std::uint8_t>(name.size()));
    block.insert(block.end(), name.begin(), name.end());
    if (!CanAllocate(static_cast<std::int64_t>(block.size())))
        return kExchangeFailed;
    TRequestRecord r;
    r.Code = 369;
    r.Param = securityNum;
    r.Payload = std::make_unique<TRequestPayload>(std::move(block));
    return Execute(serverIndex, r, 266) ? kExchangeDone : kExchangeFailed;
}

std::uint16_t GetWebConnList(std::uint8_t serverIndex, TWebConnList& list) {
    list.clear();
    TListReply reply;
    if (FetchWebConnList(serverIndex, reply) != kExchangeDone)
        return kExchangeFailed;
    if (!reply.Data)
        return kExchangeDone;
    return DecodeWebConnList(reply.Data.get(), reply.Count, list) ? kExchangeDone : kExchangeFailed;
}

bool ForEachWebConn(TReplyBuffer* b, std::uint16_t count,
                    const std::function<void(TWebConnInfo&)>& each) {
    return Guarded([&] {
        TWebConnInfo w;
        std::int32_t cursor = 1;
        for (int n = 0; n < count; ++n) {
            w = TWebConnInfo{};
            ReadShortString(b, w.UserName, 30, cursor);
            ReadLong(b, w.UserId, cursor);
            ReadDateTime(b, w.LastAccessTime, cursor);
            each(w);
        }
        return true;
    });
}

bool DecodeWebConnList(TReplyBuffer* b, std::uint16_t count, TWebConnList& list) {
    return DecodeInto(list, b, count, ForEachWebConn);
}

std::uint16_t DeleteWebConn(std::uint8_t serverIndex, std::int32_t userId) {
    TRequestRecord r;
    r.Code = 371;
    r.Param = userId;
    return Execute(serverIndex, r, 268) ? kExchangeDone : kExchangeFailed;
}

std::uint16_t GetDBList(std::uint8_t serverIndex, TDBList& list) {
    ReleaseDBList(list);
    TListReply reply;
    if (FetchDBList(serverIndex, reply) != kExchangeDone)
        return kExchangeFailed;
    if (!reply.Data)
        return kExchangeDone;
    return DecodeDBList(reply.Data.get(), reply.Count, list) ? kExchangeDone : kExchangeFailed;
}

bool ForEachDB(TReplyBuffer* b, std::uint16_t count, const std::function<void(TDBInfo&)>& each) {
    return Guarded([&] {
        TDBInfo d;
        std::string path;
        std::string skipped;
        std::int32_t cursor = 1;
        for (int n = 0; n < count; ++n) {
            // A fresh record that keeps the room of the previous one's children and results.
            std::vector<std::uint16_t> childIds = std::move(d.ChildIds);
            std::vector<TDBResult> results = std::move(d.Results);
            childIds.clear();
            results.clear();
            d = TDBInfo{};
            d.ChildIds = std::move(childIds);
            d.Results = std::move(results);
            ReadWord(b, d.Id, cursor);
            path.clear();
            ReadShortString(b, path, 255, cursor);
            d.Path = path.substr(0, 80);
            ReadByte(b, d.IsOpen, cursor);
            ReadByte(b, d.IsParent, cursor);
            std::uint8_t childrenOnWire = 0;
            ReadByte(b, childrenOnWire, cursor);
            d.ChildCount = std::min(childrenOnWire, kMaxChildren);
            if (d.ChildCount > 0) {
                if (!Reserve(d.ChildIds, d.ChildCount)) {
                    ShowOutOfMemory();
                    return false;
                }
                for (int i = 0; i < d.ChildCount; ++i)
                    ReadWord(b, d.ChildIds.emplace_back(), cursor);
            }
            cursor = static_cast<std::int32_t>(std::min<std::int64_t>(
                INT32_MAX, std::int64_t{cursor} + 2 * (childrenOnWire - d.ChildCount)));
            std::uint16_t resultsOnWire = 0;
            ReadWord(b, resultsOnWire, cursor);
            d.ResCount = std::min(resultsOnWire, kMaxResults);
            if (d.ResCount > 0) {
                if (!Reserve(d.Results, d.ResCount)) {
                    ShowOutOfMemory();
                    return false;
                }
                for (int i = 0; i < d.ResCount; ++i) {
                    TDBResult& res = d.Results.emplace_back();
                    ReadByte(b, res.Kind, cursor);
                    ReadShortString(b, res.UserName, 30, cursor);
                }
            }
            // Results beyond the kept ones: a kind byte and a short string each.
            for (int i = d.ResCount; i < resultsOnWire; ++i) {
                std::uint8_t kind = 0;
                ReadByte(b, kind, cursor);
                ReadShortString(b, skipped, 0, cursor);
            }
            each(d);
        }
        return true;
    });
}

bool DecodeDBList(TReplyBuffer* b, std::uint16_t count, TDBList& list) {
    return DecodeInto(list, b, count, ForEachDB);
}

TServerStatusBlock DecodeStatusBlock(const std::uint8_t* p) {
    const auto word = [p](int at) { return static_cast<std::uint16_t>(p[at] | (p[at + 1] << 8)); };
    const auto lng = [p](int at) {
        return static_cast<std::int32_t>(std::uint32_t{p[at]} | (std::uint32_t{p[at + 1]} << 8) |
                                         (std::uint32_t{p[at + 2]} << 16) |
                                         (std::uint32_t{p[at + 3]} << 24));
    };
    TServerStatusBlock s;
    s.NonQueuedDBRequests = lng(0);
    s.QueuedDBRequests = lng(4);
    s.NonDBRequests = lng(8);
    s.VersionMismatchedRequests = lng(12);
    s.ChildDBsDefined = word(16);
    s.ChildDBsOpen = word(18);
    s.ParentDBsDefined = word(20);
    s.ParentDBsOpen = word(22);
    s.ClientCount = word(24);
    for (int k = 0; k < 14; ++k)
        s.ResultCounts[static_cast<std::size_t>(k)] = word(26 + 2 * k);
    return s;
}

std::uint16_t GetServerStatus(std::uint8_t serverIndex, TServerStatusBlock& block) {
    TRequestRecord r;
    r.Code = 373;
    if (!Execute(serverIndex, r, 270))
        return kExchangeFailed;
    std::uint8_t bytes[kStatusBlockSize];
    std::int32_t cursor = 1;
    if (r.Data && r.Data->Read(cursor, kStatusBlockSize, bytes))
        block = DecodeStatusBlock(bytes);
    return kExchangeDone;
}

std::uint16_t ReadServerErrorLog(std::uint8_t serverIndex, std::uint8_t* destination,
                                 std::uint16_t largestChunk, std::int32_t offset,
                                 std::uint16_t& chunkLength) {
    TRequestRecord r;
    r.Code = 374;
    r.Value = largestChunk;
    r.Param = offset;
    if (!Execute(serverIndex, r, 271))
        return kExchangeFailed;
    chunkLength = 0;
    if (r.Data) {
        // Never more than asked for, nor more than the reply carries.
        chunkLength = static_cast<std::uint16_t>(
            std::min<std::int32_t>({r.Value, largestChunk, r.Data->Size()}));
        std::int32_t cursor = 1;
        ReadBytes(r.Data.get(), cursor, chunkLength, destination);
    }
    return kExchangeDone;
}

std::uint16_t ClearServerErrorLog(std::uint8_t serverIndex) {
    TRequestRecord r;
    r.Code = 375;
    return Execute(serverIndex, r, 272) ? kExchangeDone : kExchangeFailed;
}
