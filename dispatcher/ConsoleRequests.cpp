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
        RequestDispatcher->ExecuteRequest(serverIndex, request) != TExchangeResult::Done) {
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

void ReadDateTime(TReplyReader& reader, TServerDateTime& value) {
    reader.Bytes(value.data(), static_cast<std::uint16_t>(value.size()));
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
TExchangeResult FetchList(std::uint8_t serverIndex, const TConsoleRequest& request,
                          TListReply& reply) {
    reply = TListReply{};
    TRequestRecord r;
    r.Code = request.Code;
    if (!Execute(serverIndex, r, request.ClientError))
        return TExchangeResult::Failed;
    if (r.Data) {
        reply.Count = r.Value;
        reply.Data = std::move(r.Data);
    } else if (r.Value != 0) {
        // Records counted but no data sent: a list without records all the same, and a reply
        // that ran short of its first byte.
        TReplyReader nothing(nullptr);
        std::uint8_t first = 0;
        nothing.Byte(first);
        nothing.ReportIfShort(request.Code);
    }
    return TExchangeResult::Done;
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

TExchangeResult FetchLocalConnList(std::uint8_t serverIndex, TListReply& reply) {
    return FetchList(serverIndex, ConsoleRequest::kLocalConnList, reply);
}

TExchangeResult FetchWebConnList(std::uint8_t serverIndex, TListReply& reply) {
    return FetchList(serverIndex, ConsoleRequest::kWebConnList, reply);
}

TExchangeResult FetchDBList(std::uint8_t serverIndex, TListReply& reply) {
    return FetchList(serverIndex, ConsoleRequest::kDBList, reply);
}

TExchangeResult GetLocalConnList(std::uint8_t serverIndex, TLocConnList& list) {
    ReleaseLocalConnList(list);
    TListReply reply;
    if (FetchLocalConnList(serverIndex, reply) != TExchangeResult::Done)
        return TExchangeResult::Failed;
    if (!reply.Data)
        return TExchangeResult::Done;
    return DecodeLocalConnList(reply.Data.get(), reply.Count, list) ? TExchangeResult::Done
                                                                    : TExchangeResult::Failed;
}

bool ForEachLocalConn(TReplyBuffer* b, std::uint16_t count,
                      const std::function<void(TLocConnInfo&)>& each) {
    return Guarded([&] {
        TLocConnInfo c;
        TReplyReader reader(b);
        for (int n = 0; n < count; ++n) {
            // A fresh record (a read past the end leaves a field as it was) that keeps the
            // room of the previous record's results.
            std::vector<TLocConnResult> results = std::move(c.Results);
            results.clear();
            c = TLocConnInfo{};
            c.Results = std::move(results);
            reader.ShortString(c.UserName.Bytes, 30);
            reader.Long(c.SecurityNum);
            reader.Byte(c.Status);
            reader.Long(c.RequestsCount);
            reader.Word(c.ASyncRequests);
            std::uint16_t onWire = 0;
            reader.Word(onWire);
            c.ResultsCount = std::min(onWire, kMaxResults);
            ReadDateTime(reader, c.ConnectTime);
            ReadDateTime(reader, c.LastRequestTime);
            reader.Word(c.CaptureFlags);
            reader.Word(c.CapturedDBId);
            reader.Word(c.CapturedTextBankId);
            if (c.ResultsCount > 0) {
                if (!Reserve(c.Results, c.ResultsCount)) {
                    ShowOutOfMemory();
                    return false;
                }
                // The entries are read from the window in one piece when they are all there.
                const std::int32_t bytes = 5 * c.ResultsCount;
                if (const std::uint8_t* p = reader.Peek(bytes)) {
                    c.Results.resize(c.ResultsCount);
                    for (TLocConnResult& res : c.Results) {
                        res.Kind = p[0];
                        res.DBHandle = static_cast<std::uint16_t>(p[1] | (p[2] << 8));
                        res.Lifetime = static_cast<std::uint16_t>(p[3] | (p[4] << 8));
                        p += 5;
                    }
                    reader.Skip(bytes);
                } else {
                    for (int i = 0; i < c.ResultsCount; ++i) {
                        TLocConnResult& res = c.Results.emplace_back();
                        reader.Byte(res.Kind);
                        reader.Word(res.DBHandle);
                        reader.Word(res.Lifetime);
                    }
                }
            }
            // Entries beyond the kept ones are stepped over, so the next record starts in place.
            reader.Skip(5 * (onWire - c.ResultsCount));
            each(c);
        }
        reader.ReportIfShort(ConsoleRequest::kLocalConnList.Code);
        return true;
    });
}

bool DecodeLocalConnList(TReplyBuffer* b, std::uint16_t count, TLocConnList& list) {
    return DecodeInto(list, b, count, ForEachLocalConn);
}

TExchangeResult DeleteLocalConn(std::uint8_t serverIndex, const TServerText& userName,
                                std::int32_t securityNum) {
    const std::string name = userName.Bytes.substr(0, 255);
    std::vector<std::uint8_t> block;
    block.push_back(static_cast<std::uint8_t>(name.size()));
    block.insert(block.end(), name.begin(), name.end());
    if (!CanAllocate(static_cast<std::int64_t>(block.size())))
        return TExchangeResult::Failed;
    TRequestRecord r;
    r.Code = ConsoleRequest::kDeleteLocalConn.Code;
    r.Param = securityNum;
    r.Payload = std::make_unique<TRequestPayload>(std::move(block));
    return Execute(serverIndex, r, ConsoleRequest::kDeleteLocalConn.ClientError)
               ? TExchangeResult::Done
               : TExchangeResult::Failed;
}

TExchangeResult GetWebConnList(std::uint8_t serverIndex, TWebConnList& list) {
    list.clear();
    TListReply reply;
    if (FetchWebConnList(serverIndex, reply) != TExchangeResult::Done)
        return TExchangeResult::Failed;
    if (!reply.Data)
        return TExchangeResult::Done;
    return DecodeWebConnList(reply.Data.get(), reply.Count, list) ? TExchangeResult::Done
                                                                  : TExchangeResult::Failed;
}

bool ForEachWebConn(TReplyBuffer* b, std::uint16_t count,
                    const std::function<void(TWebConnInfo&)>& each) {
    return Guarded([&] {
        TWebConnInfo w;
        TReplyReader reader(b);
        for (int n = 0; n < count; ++n) {
            w = TWebConnInfo{};
            reader.ShortString(w.UserName.Bytes, 30);
            reader.Long(w.UserId);
            ReadDateTime(reader, w.LastAccessTime);
            each(w);
        }
        reader.ReportIfShort(ConsoleRequest::kWebConnList.Code);
        return true;
    });
}

bool DecodeWebConnList(TReplyBuffer* b, std::uint16_t count, TWebConnList& list) {
    return DecodeInto(list, b, count, ForEachWebConn);
}

TExchangeResult DeleteWebConn(std::uint8_t serverIndex, std::int32_t userId) {
    TRequestRecord r;
    r.Code = ConsoleRequest::kDeleteWebConn.Code;
    r.Param = userId;
    return Execute(serverIndex, r, ConsoleRequest::kDeleteWebConn.ClientError)
               ? TExchangeResult::Done
               : TExchangeResult::Failed;
}

TExchangeResult GetDBList(std::uint8_t serverIndex, TDBList& list) {
    ReleaseDBList(list);
    TListReply reply;
    if (FetchDBList(serverIndex, reply) != TExchangeResult::Done)
        return TExchangeResult::Failed;
    if (!reply.Data)
        return TExchangeResult::Done;
    return DecodeDBList(reply.Data.get(), reply.Count, list) ? TExchangeResult::Done
                                                             : TExchangeResult::Failed;
}

bool ForEachDB(TReplyBuffer* b, std::uint16_t count, const std::function<void(TDBInfo&)>& each) {
    return Guarded([&] {
        TDBInfo d;
        std::string path;
        std::string skipped;
        TReplyReader reader(b);
        for (int n = 0; n < count; ++n) {
            // A fresh record that keeps the room of the previous one's children and results.
            std::vector<std::uint16_t> childIds = std::move(d.ChildIds);
            std::vector<TDBResult> results = std::move(d.Results);
            childIds.clear();
            results.clear();
            d = TDBInfo{};
            d.ChildIds = std::move(childIds);
            d.Results = std::move(results);
            reader.Word(d.Id);
            path.clear();
            reader.ShortString(path, 255);
            d.Path = TServerText(path.substr(0, 80));
            reader.Byte(d.IsOpen);
            reader.Byte(d.IsParent);
            std::uint8_t childrenOnWire = 0;
            reader.Byte(childrenOnWire);
            d.ChildCount = std::min(childrenOnWire, kMaxChildren);
            if (d.ChildCount > 0) {
                if (!Reserve(d.ChildIds, d.ChildCount)) {
                    ShowOutOfMemory();
                    return false;
                }
                for (int i = 0; i < d.ChildCount; ++i)
                    reader.Word(d.ChildIds.emplace_back());
            }
            reader.Skip(2 * (childrenOnWire - d.ChildCount));
            std::uint16_t resultsOnWire = 0;
            reader.Word(resultsOnWire);
            d.ResCount = std::min(resultsOnWire, kMaxResults);
            if (d.ResCount > 0) {
                if (!Reserve(d.Results, d.ResCount)) {
                    ShowOutOfMemory();
                    return false;
                }
                for (int i = 0; i < d.ResCount; ++i) {
                    TDBResult& res = d.Results.emplace_back();
                    reader.Byte(res.Kind);
                    reader.ShortString(res.UserName.Bytes, 30);
                }
            }
            // Results beyond the kept ones: a kind byte and a short string each.
            for (int i = d.ResCount; i < resultsOnWire; ++i) {
                std::uint8_t kind = 0;
                reader.Byte(kind);
                reader.ShortString(skipped, 0);
            }
            each(d);
        }
        reader.ReportIfShort(ConsoleRequest::kDBList.Code);
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

TExchangeResult GetServerStatus(std::uint8_t serverIndex, TServerStatusBlock& block) {
    TRequestRecord r;
    r.Code = ConsoleRequest::kServerStatus.Code;
    if (!Execute(serverIndex, r, ConsoleRequest::kServerStatus.ClientError))
        return TExchangeResult::Failed;
    std::uint8_t bytes[kStatusBlockSize];
    TReplyReader reader(r.Data.get());
    if (reader.Bytes(bytes, kStatusBlockSize))
        block = DecodeStatusBlock(bytes);
    reader.ReportIfShort(ConsoleRequest::kServerStatus.Code);
    return TExchangeResult::Done;
}

TExchangeResult ReadServerErrorLog(std::uint8_t serverIndex, std::uint8_t* destination,
                                   std::uint16_t largestChunk, std::int32_t offset,
                                   std::uint16_t& chunkLength) {
    TRequestRecord r;
    r.Code = ConsoleRequest::kReadErrorLog.Code;
    r.Value = largestChunk;
    r.Param = offset;
    if (!Execute(serverIndex, r, ConsoleRequest::kReadErrorLog.ClientError))
        return TExchangeResult::Failed;
    chunkLength = 0;
    const std::uint16_t announced = std::min(r.Value, largestChunk);
    // Never more than asked for, nor more than the reply carries.
    if (r.Data)
        chunkLength = static_cast<std::uint16_t>(std::min<std::int32_t>(announced, r.Data->Size()));
    TReplyReader reader(r.Data.get());
    if (chunkLength > 0)
        reader.Bytes(destination, chunkLength);
    // A chunk that announces more bytes than it carries ran short of the rest.
    reader.Skip(announced - chunkLength);
    reader.ReportIfShort(ConsoleRequest::kReadErrorLog.Code);
    return TExchangeResult::Done;
}

TExchangeResult ClearServerErrorLog(std::uint8_t serverIndex) {
    TRequestRecord r;
    r.Code = ConsoleRequest::kClearErrorLog.Code;
    return Execute(serverIndex, r, ConsoleRequest::kClearErrorLog.ClientError)
               ? TExchangeResult::Done
               : TExchangeResult::Failed;
}
