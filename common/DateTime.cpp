#include "DateTime.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>

namespace {

constexpr double kMsPerDay = 86400000.0;

bool IsLeap(int y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

int DaysInMonth(int y, int m) {
    static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && IsLeap(y) ? 29 : kDays[m - 1];
}

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void CivilFromDays(std::int64_t z, int& y, int& m, int& d) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t yy = static_cast<std::int64_t>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    y = static_cast<int>(yy + (m <= 2));
}

// 1899-12-30 counted from 1970-01-01.
const std::int64_t kEpochOffset = DaysFromCivil(1899, 12, 30);

std::string Format(TDateTime value, const char* pattern, bool withTime) {
    const auto parts = DecodeDateTime(value);
    if (!parts)
        return {};
    char buf[40];
    if (withTime)
        std::snprintf(buf, sizeof buf, pattern, parts->Year, parts->Month, parts->Day, parts->Hour,
                      parts->Minute, parts->Second);
    else
        std::snprintf(buf, sizeof buf, pattern, parts->Year, parts->Month, parts->Day);
    return buf;
}

} // namespace

bool IsValidDateTime(const TDateTimeParts& p) {
    return p.Year >= 1 && p.Year <= 9999 && p.Month >= 1 && p.Month <= 12 && p.Day >= 1 &&
           p.Day <= DaysInMonth(p.Year, p.Month) && p.Hour >= 0 && p.Hour < 24 && p.Minute >= 0 &&
           p.Minute < 60 && p.Second >= 0 && p.Second < 60 && p.Millisecond >= 0 &&
           p.Millisecond < 1000;
}

std::optional<TDateTime> EncodeDateTime(const TDateTimeParts& p) {
    if (!IsValidDateTime(p))
        return std::nullopt;
    const std::int64_t days =
        DaysFromCivil(p.Year, static_cast<unsigned>(p.Month), static_cast<unsigned>(p.Day)) -
        kEpochOffset;
    const double fraction = ((p.Hour * 60.0 + p.Minute) * 60.0 + p.Second) * 1000.0 + p.Millisecond;
    const double timePart = fraction / kMsPerDay;
    // Before the epoch the fraction still runs forward into the day.
    return days >= 0 ? static_cast<double>(days) + timePart : static_cast<double>(days) - timePart;
}

std::optional<TDateTimeParts> DecodeDateTime(TDateTime value) {
    if (!std::isfinite(value) || value < -693593.0 || value >= 2958466.0)
        return std::nullopt;
    double whole = std::trunc(value);
    double fraction = std::fabs(value - whole);
    auto ms = static_cast<std::int64_t>(std::llround(fraction * kMsPerDay));
    if (ms >= static_cast<std::int64_t>(kMsPerDay)) {
        // Rounding reached the next day.
        ms -= static_cast<std::int64_t>(kMsPerDay);
        whole += value >= 0 ? 1.0 : -1.0;
    }
    TDateTimeParts p;
    CivilFromDays(static_cast<std::int64_t>(whole) + kEpochOffset, p.Year, p.Month, p.Day);
    p.Millisecond = static_cast<int>(ms % 1000);
    std::int64_t secs = ms / 1000;
    p.Second = static_cast<int>(secs % 60);
    p.Minute = static_cast<int>((secs / 60) % 60);
    p.Hour = static_cast<int>(secs / 3600);
    if (p.Year < 1 || p.Year > 9999)
        return std::nullopt;
    return p;
}

std::string FormatDisplayDateTime(TDateTime value) {
    return Format(value, "%04d/%02d/%02d %02d:%02d:%02d", true);
}

std::string FormatDisplayDate(TDateTime value) {
    return Format(value, "%04d/%02d/%02d", false);
}

std::string FormatIsoDateTime(TDateTime value) {
    return Format(value, "%04d-%02d-%02dT%02d:%02d:%02d", true);
}

TDateTime NowDateTime() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t t = std::chrono::system_clock::to_time_t(now);
    std::tm local{};
#if defined(_WIN32)
    localtime_s(&local, &t);
#else
    localtime_r(&t, &local);
#endif
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()) % 1000;
    TDateTimeParts p{local.tm_year + 1900,
                     local.tm_mon + 1,
                     local.tm_mday,
                     local.tm_hour,
                     local.tm_min,
                     local.tm_sec,
                     static_cast<int>(ms.count())};
    if (p.Second > 59)
        p.Second = 59; // a leap second
    return EncodeDateTime(p).value_or(0.0);
}
