// The request rate of status --watch: from the differences of the total, never negative, and
// counting again from the sample where the total went down.

#include "commands/StatusWatch.h"

#include <gtest/gtest.h>

#include <climits>
#include <vector>

namespace {

TEST(RequestRateTest, TotalAddsTheFourRequestCountersWithoutOverflow) {
    TServerStatusBlock block;
    block.NonQueuedDBRequests = INT32_MAX;
    block.QueuedDBRequests = INT32_MAX;
    block.NonDBRequests = 2;
    block.VersionMismatchedRequests = 3;
    block.ClientCount = 9; // not a request
    block.ResultCounts[0] = 7;
    EXPECT_EQ(RequestTotal(block), std::int64_t{INT32_MAX} * 2 + 5);
}

TEST(RequestRateTest, ASeriesOfSamples) {
    struct TStep {
        std::int64_t Total;
        double Seconds;
        std::optional<double> Rate;
    };
    struct TCase {
        const char* Name;
        std::vector<TStep> Steps;
    } cases[] = {
        {"the first sample has no rate", {{100, 0, std::nullopt}}},
        {"steady traffic", {{100, 0, std::nullopt}, {150, 2, 25.0}, {150, 4, 0.0}, {160, 6, 5.0}}},
        {"a restart counts again from the sample after it",
         {{1000, 0, std::nullopt}, {1100, 1, 100.0}, {40, 2, std::nullopt}, {70, 3, 30.0}}},
        {"a restart right after the first sample",
         {{500, 0, std::nullopt}, {0, 1, std::nullopt}, {0, 2, 0.0}}},
        {"counters that went round past the largest value",
         {{std::int64_t{INT32_MAX} * 4, 0, std::nullopt},
          {-std::int64_t{INT32_MAX} * 4, 1, std::nullopt},
          {-std::int64_t{INT32_MAX} * 4 + 10, 2, 10.0}}},
        {"no time between two samples gives no rate",
         {{100, 5, std::nullopt}, {200, 5, std::nullopt}, {300, 6, 100.0}}},
        {"a fraction of a second", {{0, 0, std::nullopt}, {3, 0.25, 12.0}}},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        std::optional<TRequestSample> previous;
        for (const TStep& step : c.Steps) {
            const TRequestSample current{step.Total, step.Seconds};
            const std::optional<double> rate = RequestRate(previous, current);
            EXPECT_EQ(rate.has_value(), step.Rate.has_value()) << "at total " << step.Total;
            if (rate && step.Rate) {
                EXPECT_DOUBLE_EQ(*rate, *step.Rate) << "at total " << step.Total;
                EXPECT_GE(*rate, 0.0);
            }
            previous = current;
        }
    }
}

} // namespace
