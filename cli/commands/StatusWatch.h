#pragma once

// status --watch: the request rate between two samples of the server's counters.

#include "ConsoleRequests.h"

#include <cstdint>
#include <optional>

// One sample: the server's total request count and when it was read, in seconds of a clock
// that only goes forward.
struct TRequestSample {
    std::int64_t Total = 0;
    double Seconds = 0;
};

// The total request count of a status block: the four request counters added up, without
// overflow.
std::int64_t RequestTotal(const TServerStatusBlock& block);

// Requests per second from `previous` to `current`. Nothing for the first sample, and nothing
// when the total went down (the server started again, or its counters went round): the next
// rate counts from `current`. Never negative.
std::optional<double> RequestRate(const std::optional<TRequestSample>& previous,
                                  const TRequestSample& current);
