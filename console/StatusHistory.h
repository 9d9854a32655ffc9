#pragma once

// The history of the server's status counters while the status view is refreshed: one sample a
// refresh, manual or automatic, with its time and every counter. It keeps the last hour at
// most, and never more than kMaxSamples, however often it is refreshed; a new connection
// starts it afresh. It gives the series the status charts draw and writes itself as CSV.

#include "ConsoleRequests.h"

#include <QByteArray>
#include <QDateTime>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>

struct TStatusSample {
    QDateTime Time;           // the wall clock, for display and the CSV
    std::int64_t Elapsed = 0; // milliseconds on a steady clock, for rates and age
    TServerStatusBlock Block;
};

class TStatusHistory {
public:
    static constexpr std::size_t kMaxSamples = 3600;
    static constexpr std::int64_t kMaxAgeMilliseconds = 60 * 60 * 1000;

    // Appends a sample and lets go of those more than an hour older than it (and of the oldest
    // beyond kMaxSamples). A sample older than the last one (a clock that went back) starts
    // the history afresh.
    void Add(const TServerStatusBlock& block, const QDateTime& time, std::int64_t elapsed);
    void Clear() { samples_.clear(); }

    std::size_t Size() const { return samples_.size(); }
    bool Empty() const { return samples_.empty(); }
    const TStatusSample& operator[](std::size_t i) const { return samples_[i]; }
    const std::deque<TStatusSample>& Samples() const { return samples_; }

    // Requests per second between sample i - 1 and sample i, from the difference of the total.
    // Nothing for the first sample, when no time passed, or when the total went down (the
    // server restarted or a counter wrapped): the rate starts again from that sample and is
    // never negative.
    std::optional<double> RequestsPerSecond(std::size_t i) const;

    // The figures the charts draw, of one status block.
    static std::int64_t TotalRequests(const TServerStatusBlock& block);
    static int ResultsHeld(const TServerStatusBlock& block);
    static int DatabasesOpen(const TServerStatusBlock& block);

    // The history as CSV: a header row, then one row a sample, oldest first; lines end in
    // CR LF.
    QByteArray Csv() const;

private:
    std::deque<TStatusSample> samples_;
};
