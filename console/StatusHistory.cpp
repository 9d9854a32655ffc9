#include "StatusHistory.h"

#include "ViewRules.h"

#include <QString>

#include <iterator>

void TStatusHistory::Add(const TServerStatusBlock& block, const QDateTime& time,
                         std::int64_t elapsed) {
    if (!samples_.empty() && elapsed < samples_.back().Elapsed)
        samples_.clear();
    samples_.push_back({time, elapsed, block});
    while (samples_.size() > kMaxSamples ||
           samples_.front().Elapsed < elapsed - kMaxAgeMilliseconds)
        samples_.pop_front();
}

std::optional<double> TStatusHistory::RequestsPerSecond(std::size_t i) const {
    if (i == 0 || i >= samples_.size())
        return std::nullopt;
    const TStatusSample& before = samples_[i - 1];
    const TStatusSample& now = samples_[i];
    const std::int64_t milliseconds = now.Elapsed - before.Elapsed;
    const std::int64_t requests = TotalRequests(now.Block) - TotalRequests(before.Block);
    if (milliseconds <= 0 || requests < 0)
        return std::nullopt;
    return static_cast<double>(requests) * 1000.0 / static_cast<double>(milliseconds);
}

std::int64_t TStatusHistory::TotalRequests(const TServerStatusBlock& b) {
    // Summed wide, as the status view sums them: four large counters never wrap.
    return std::int64_t{b.NonQueuedDBRequests} + b.QueuedDBRequests + b.NonDBRequests +
           b.VersionMismatchedRequests;
}

int TStatusHistory::ResultsHeld(const TServerStatusBlock& b) {
    int sum = 0;
    for (std::uint16_t count : b.ResultCounts)
        sum += count;
    return sum;
}

int TStatusHistory::DatabasesOpen(const TServerStatusBlock& b) {
    return int{b.ChildDBsOpen} + int{b.ParentDBsOpen};
}

QByteArray TStatusHistory::Csv() const {
    QByteArray out;
    out += "Time,Requests per Second,Total Server Requests,None Queued DB Requests,"
           "Queued DB Requests,None DB Requests,Version Mismatched Requests,"
           "Databases Defined,Databases Open,Child Databases Defined,Child Databases Open,"
           "Parent Databases Defined,Parent Databases Open,Connected Clients,Total Results";
    for (const auto& [caption, index] : kStatusResultKinds) {
        out += ',';
        out += caption;
    }
    out += "\r\n";
    for (std::size_t i = 0; i < samples_.size(); ++i) {
        const TStatusSample& s = samples_[i];
        const TServerStatusBlock& b = s.Block;
        out += s.Time.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")).toLatin1();
        out += ',';
        if (const std::optional<double> rate = RequestsPerSecond(i))
            out += QByteArray::number(*rate, 'f', 2);
        const std::int64_t values[] = {TotalRequests(b),
                                       b.NonQueuedDBRequests,
                                       b.QueuedDBRequests,
                                       b.NonDBRequests,
                                       b.VersionMismatchedRequests,
                                       int{b.ChildDBsDefined} + int{b.ParentDBsDefined},
                                       DatabasesOpen(b),
                                       b.ChildDBsDefined,
                                       b.ChildDBsOpen,
                                       b.ParentDBsDefined,
                                       b.ParentDBsOpen,
                                       b.ClientCount,
                                       ResultsHeld(b)};
        for (std::int64_t value : values) {
            out += ',';
            out += QByteArray::number(static_cast<qlonglong>(value));
        }
        for (const auto& [caption, index] : kStatusResultKinds) {
            out += ',';
            out += QByteArray::number(b.ResultCounts[index]);
        }
        out += "\r\n";
    }
    return out;
}
