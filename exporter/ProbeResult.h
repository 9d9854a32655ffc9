#pragma once

// What one probe of a server found, as the probe process hands it to the exporter, and its
// encoding on that pipe (one JSON object).

#include <array>
#include <cstdint>
#include <optional>
#include <string>

struct TProbeStatus {
    std::uint32_t NonQueuedDBRequests = 0;
    std::uint32_t QueuedDBRequests = 0;
    std::uint32_t NonDBRequests = 0;
    std::uint32_t VersionMismatchedRequests = 0;
    std::uint16_t ChildDBsDefined = 0;
    std::uint16_t ChildDBsOpen = 0;
    std::uint16_t ParentDBsDefined = 0;
    std::uint16_t ParentDBsOpen = 0;
    std::uint16_t ClientCount = 0;
    std::array<std::uint16_t, 14> ResultCounts{};
};

struct TProbeConnections {
    std::uint32_t Local = 0;
    std::uint32_t Web = 0;
    // Results held by the local connections, by result kind; the last place counts kinds
    // outside 0..13.
    std::array<std::uint32_t, 15> ResultsByKind{};
};

struct TProbeResult {
    bool Up = false;
    // When down: what went wrong, in English, on one line; and the same for the log in the
    // language the exporter was started with.
    std::string Error;
    std::string LogError;
    std::string ServerName; // UTF-8
    std::string CentreName; // UTF-8
    TProbeStatus Status;
    std::optional<TProbeConnections> Connections;
};

std::string EncodeProbeResult(const TProbeResult& result);
// Nothing when the text is not a probe result.
std::optional<TProbeResult> DecodeProbeResult(const std::string& text);

// Text from a peer made fit for one line of a log or a label: valid UTF-8, line breaks and tabs
// as blanks, other control characters as U+FFFD, blanks around it trimmed, at most `limit`
// characters.
std::string OneLine(const std::string& text, std::size_t limit = 400);
