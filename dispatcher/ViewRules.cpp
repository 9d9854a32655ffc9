#include "ViewRules.h"

#include "MessageDialogs.h"
#include "ServerErrors.h"

#include <cstdio>

namespace {

std::string Format(const char* pattern, long long a, long long b) {
    char buf[64];
    std::snprintf(buf, sizeof buf, pattern, a, b);
    return buf;
}

} // namespace

std::string LocalConnStatusText(const TLocConnInfo& c) {
    if (c.CaptureFlags & 1)
        return "Captured DB Id " + std::to_string(c.CapturedDBId);
    if (c.CaptureFlags & 2)
        return "Captured User Mngr";
    if (c.CaptureFlags & 4)
        return "Captured Text Bank Id " + std::to_string(c.CapturedTextBankId);
    switch (c.Status & 0x7F) {
    case 0:
        return "Waiting for job";
    case 1:
        return "Processing job";
    case 2:
        return "Waiting for job be done";
    case 3:
        return "Replying request";
    case 4:
        return "Terminated";
    default:
        return "Invalid Status";
    }
}

std::string LifetimeText(std::uint16_t lifetime) {
    if (lifetime == 0x8000)
        return "Active By Client";
    if (lifetime == 0x4000)
        return "Permanent By Database";
    return {};
}

TServerText ResultDatabaseName(std::uint8_t serverIndex, std::uint16_t handle) {
    std::uint16_t number = 0;
    TServerText text;
    TServerText name;
    if (RequestDispatcher == nullptr ||
        !RequestDispatcher->FindDatabaseByHandle(serverIndex, handle, number, text, name))
        return {};
    return name.empty() ? TServerText::Ascii("UNKNOWN") : name;
}

TServerText DatabaseNameOfNumber(std::uint8_t serverIndex, std::uint16_t number) {
    TServerText text;
    TServerText name;
    if (RequestDispatcher == nullptr ||
        RequestDispatcher->GetDatabaseNames(serverIndex, number, text, name) !=
            TExchangeResult::Done ||
        name.empty())
        return TServerText::Ascii("UNKNOWN");
    return name;
}

std::string OpenStateText(std::uint8_t isOpen) {
    return isOpen != 0 ? "Open" : "Close";
}

std::string ChildhoodText(std::uint8_t isParent, std::uint16_t childCount) {
    return isParent != 0 ? "Parent (ChildCount = " + std::to_string(childCount) + ")" : "Child";
}

TServerText ChildListText(std::uint8_t serverIndex, const std::vector<std::uint16_t>& childIds) {
    TServerText text;
    for (std::size_t i = 0; i < childIds.size(); ++i) {
        if (i > 0)
            text += TServerText::Ascii("\r\n");
        text += TServerText::Ascii(std::to_string(childIds[i]) + " - ") +
                DatabaseNameOfNumber(serverIndex, childIds[i]);
        if (text.size() >= 250)
            break;
    }
    if (text.size() > 250)
        text.Bytes.resize(250);
    return text;
}

std::string RequestLineText(std::int64_t count, std::int64_t total, int whenNoTotal) {
    const long long percent = total == 0 ? whenNoTotal : count * 100 / total;
    char buf[64];
    std::snprintf(buf, sizeof buf, "%9lld (%3lld%s)", static_cast<long long>(count), percent, "%");
    return buf;
}

std::string DatabaseLineText(std::uint16_t defined, std::uint16_t open) {
    return Format("Defined = %3lld, Currently Open = %3lld", defined, open);
}

std::string ResultLineText(std::uint16_t count) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%3d", count);
    return buf;
}

const std::array<TResultKindLine, 14> kStatusResultKinds = {{
    {"General Purpose Results", 0},
    {"Search Results", 5},
    {"Multi-DB Search Results", 12},
    {"Append Record Results", 6},
    {"Edit Record Results", 9},
    {"Set Record Results", 7},
    {"Set Index Results", 13},
    {"Format Module Results", 1},
    {"Database Record Results", 2},
    {"Oriented Data Results", 3},
    {"Brief Display Results", 4},
    {"Key Data Results", 8},
    {"Convert Database Results", 10},
    {"Convert Definition Results", 11},
}};

std::vector<TStatusLine> ServerStatusLines(const TServerStatusBlock& s) {
    const std::int64_t total = std::int64_t{s.NonQueuedDBRequests} + s.QueuedDBRequests +
                               s.NonDBRequests + s.VersionMismatchedRequests;
    std::vector<TStatusLine> lines;
    const std::string requests = "Requests Statistics";
    // The total is summed wide, so four large counters never wrap; its share is always 100.
    lines.push_back({requests, "Total Server Requests Count ", RequestLineText(total, 0, 100)});
    lines.push_back({requests, "None Queued DB Requests Count",
                     RequestLineText(s.NonQueuedDBRequests, total, 0)});
    lines.push_back(
        {requests, "Queued DB Requests Count ", RequestLineText(s.QueuedDBRequests, total, 0)});
    lines.push_back(
        {requests, "None DB Requests Count", RequestLineText(s.NonDBRequests, total, 0)});
    lines.push_back({requests, "Version Mismatched Requests Count",
                     RequestLineText(s.VersionMismatchedRequests, total, 0)});

    const std::string databases = "Databases Activity Summary";
    lines.push_back(
        {databases, "Number of Databases",
         DatabaseLineText(static_cast<std::uint16_t>(s.ChildDBsDefined + s.ParentDBsDefined),
                          static_cast<std::uint16_t>(s.ChildDBsOpen + s.ParentDBsOpen))});
    lines.push_back({databases, "Number of Child DBatabases",
                     DatabaseLineText(s.ChildDBsDefined, s.ChildDBsOpen)});
    lines.push_back({databases, "Number of Parent Databases",
                     DatabaseLineText(s.ParentDBsDefined, s.ParentDBsOpen)});

    lines.push_back({"Clients Activity Summary", "Number of Currently Connected Clients",
                     std::to_string(s.ClientCount)});

    const std::string results = "Results Summary";
    std::uint16_t sum = 0;
    for (std::uint16_t c : s.ResultCounts)
        sum = static_cast<std::uint16_t>(sum + c);
    lines.push_back({results, "Total Results Count", ResultLineText(sum)});
    for (const auto& [caption, kind] : kStatusResultKinds)
        lines.push_back({results, caption, ResultLineText(s.ResultCounts[kind])});
    return lines;
}

void AppendErrorLogChunk(TServerText& log, const std::uint8_t* chunk, std::uint16_t length) {
    std::string& text = log.Bytes;
    text.reserve(text.size() + length + length / 16);
    for (std::uint16_t i = 0; i < length; ++i) {
        const char c = static_cast<char>(chunk[i]);
        if (c == '\r' && i + 1 < length && chunk[i + 1] == '\n') {
            text += "\r\n";
            ++i;
        } else if (c == '\n') {
            text += "\r\n";
        } else {
            text.push_back(c);
        }
    }
}

TExchangeResult ReadWholeServerErrorLog(std::uint8_t serverIndex, TServerText& text,
                                        std::int64_t limit) {
    text.clear();
    std::vector<std::uint8_t> buffer(kLogChunkSize);
    std::int32_t offset = 0;
    for (;;) {
        std::uint16_t length = 0;
        if (ReadServerErrorLog(serverIndex, buffer.data(), kLogChunkSize, offset, length) !=
            TExchangeResult::Done)
            return TExchangeResult::Failed;
        if (length == 0)
            return TExchangeResult::Done;
        AppendErrorLogChunk(text, buffer.data(), length);
        if (std::int64_t{offset} + length >
            std::min<std::int64_t>(limit, INT32_MAX - kLogChunkSize)) {
            // A log that never ends would outgrow memory and the offset the request carries.
            ShowMessageBox("Server error log is too large. Only its first " +
                           std::to_string((std::int64_t{offset} + length) / (1024 * 1024)) +
                           " MB are shown.");
            return TExchangeResult::Done;
        }
        offset += length;
    }
}
