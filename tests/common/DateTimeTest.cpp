#include "DateTime.h"

#include <gtest/gtest.h>

namespace {

TEST(DateTime, DayCountsFromTheEpoch) {
    struct Case {
        TDateTimeParts parts;
        double value;
        const char* display;
    } cases[] = {
        {{1899, 12, 30, 0, 0, 0}, 0.0, "1899/12/30 00:00:00"},
        {{1899, 12, 31, 12, 0, 0}, 1.5, "1899/12/31 12:00:00"},
        {{2003, 1, 1, 12, 0, 0}, 37622.5, "2003/01/01 12:00:00"},
        {{2004, 5, 17, 14, 3, 22}, 38124.585671296296, "2004/05/17 14:03:22"},
        {{1899, 12, 29, 6, 0, 0}, -1.25, "1899/12/29 06:00:00"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.display);
        const auto v = EncodeDateTime(c.parts);
        ASSERT_TRUE(v);
        EXPECT_NEAR(*v, c.value, 1e-9);
        EXPECT_EQ(FormatDisplayDateTime(c.value), c.display);
    }
    EXPECT_EQ(FormatIsoDateTime(37622.5), "2003-01-01T12:00:00");
    EXPECT_EQ(FormatDisplayDate(37622.5), "2003/01/01");
}

TEST(DateTime, InvalidCombinationsAreRefused) {
    const TDateTimeParts bad[] = {
        {2004, 5, 0, 0, 0, 0},  {2003, 2, 29, 0, 0, 0}, {2004, 13, 1, 0, 0, 0},
        {2004, 1, 1, 24, 0, 0}, {2004, 1, 1, 0, 60, 0}, {2004, 1, 1, 0, 0, 60},
        {0, 1, 1, 0, 0, 0},     {2100, 2, 29, 0, 0, 0},
    };
    for (const auto& p : bad) {
        SCOPED_TRACE(std::to_string(p.Year) + "-" + std::to_string(p.Month) + "-" +
                     std::to_string(p.Day));
        EXPECT_FALSE(EncodeDateTime(p));
    }
    EXPECT_TRUE(EncodeDateTime({2000, 2, 29, 23, 59, 59}));
}

TEST(DateTime, RoundingNeverShowsSixtySeconds) {
    const double almostMidnight = 1.0 - 0.0001 / 86400.0; // 0.1 ms before the next day
    EXPECT_EQ(FormatDisplayDateTime(37622.0 + almostMidnight), "2003/01/02 00:00:00");
    EXPECT_EQ(FormatDisplayDateTime(1e12), "") << "outside the calendar shows nothing";
}

} // namespace
