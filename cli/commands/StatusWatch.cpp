// status --watch: one session that asks for the server's counters every SECONDS until SIGINT
// or SIGTERM, and prints one line a sample.

#include "StatusWatch.h"

#include "Commands.h"

#include "CliOutput.h"
#include "DateTime.h"
#include "ExitGuard.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <csignal>
#include <numeric>

std::int64_t RequestTotal(const TServerStatusBlock& block) {
    return std::int64_t{block.NonQueuedDBRequests} + std::int64_t{block.QueuedDBRequests} +
           std::int64_t{block.NonDBRequests} + std::int64_t{block.VersionMismatchedRequests};
}

std::optional<double> RequestRate(const std::optional<TRequestSample>& previous,
                                  const TRequestSample& current) {
    if (!previous || current.Total < previous->Total || !(current.Seconds > previous->Seconds))
        return std::nullopt;
    return static_cast<double>(current.Total - previous->Total) /
           (current.Seconds - previous->Seconds);
}

namespace {

using TClock = std::chrono::steady_clock;

// A rate as it is printed: two decimals.
std::string RateText(double rate) {
    char text[64];
    const auto [end, error] =
        std::to_chars(text, text + sizeof text, rate, std::chars_format::fixed, 2);
    return error == std::errc() ? std::string(text, end) : std::string("0.00");
}

void WriteSample(const TCliContext& ctx, const TServerStatusBlock& block, TDateTime time,
                 const std::optional<double>& rate) {
    if (ctx.Json) {
        TJsonWriter out(TJsonWriter::kCompact);
        out.BeginObject();
        out.Key("time").String(FormatIsoDateTime(time));
        out.Key("requests_per_second");
        if (rate)
            out.Raw(RateText(*rate));
        else
            out.Null();
        WriteStatusMembers(out, block);
        out.EndObject().Finish();
        return;
    }
    const int results = std::accumulate(block.ResultCounts.begin(), block.ResultCounts.end(), 0);
    const int open = int{block.ChildDBsOpen} + int{block.ParentDBsOpen};
    Out(FormatDisplayDateTime(time) + "  requests/s " + (rate ? RateText(*rate) : "-") +
        "  clients " + std::to_string(block.ClientCount) + "  results " + std::to_string(results) +
        "  databases open " + std::to_string(open) + '\n');
}

} // namespace

bool StatusWatch(TCliContext& ctx) {
    // From here SIGINT and SIGTERM end the watch after the sample being taken, and the
    // session logs out as after any command.
    ExitGuard::TSignalCatch signals({SIGINT, SIGTERM});
    const auto interval =
        std::max(std::chrono::duration_cast<TClock::duration>(std::chrono::duration<double>(
                     std::min(ctx.WatchSeconds, ExitGuard::kLongestWaitSeconds))),
                 TClock::duration{1});
    const TClock::time_point start = TClock::now();
    TClock::time_point next = start;
    std::optional<TRequestSample> previous;
    for (;;) {
        TServerStatusBlock block;
        if (GetServerStatus(1, block) != TExchangeResult::Done)
            return false;
        const TClock::time_point now = TClock::now();
        const TRequestSample sample{RequestTotal(block),
                                    std::chrono::duration<double>(now - start).count()};
        WriteSample(ctx, block, NowDateTime(), RequestRate(previous, sample));
        previous = sample;
        if (!FlushOutput())
            return false;
        // The next sample on the interval's beat; beats that a slow answer missed are skipped.
        next += interval;
        if (next <= now)
            next += (now - next) / interval * interval + interval;
        if (signals.WaitUntil(next) != 0)
            return true;
    }
}
