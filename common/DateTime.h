#pragma once

// The program's one date-time type: days since 1899-12-30, with the time of day as the
// fraction (the day count that the broker's session times already are). Before that day the
// whole part counts backwards while the fraction still counts forward into the day.

#include <cstdint>
#include <optional>
#include <string>

using TDateTime = double;

struct TDateTimeParts {
    int Year = 0;
    int Month = 0; // 1..12
    int Day = 0;   // 1..31
    int Hour = 0;
    int Minute = 0;
    int Second = 0;
    int Millisecond = 0;
};

bool IsValidDateTime(const TDateTimeParts& parts);

// Builds the value from its parts; nothing when they do not form a valid date and time
// (a day of 0, a 30th of February, an hour of 24, a year outside 1..9999).
std::optional<TDateTime> EncodeDateTime(const TDateTimeParts& parts);

// Splits a value into its parts, rounded to the millisecond; nothing for a value outside the
// years 1..9999 or one that is not a number.
std::optional<TDateTimeParts> DecodeDateTime(TDateTime value);

// The display format of the whole program, "yyyy/mm/dd hh:nn:ss".
std::string FormatDisplayDateTime(TDateTime value);
// The display date alone, "yyyy/mm/dd".
std::string FormatDisplayDate(TDateTime value);
// The interchange form of the command-line tool, "YYYY-MM-DDTHH:MM:SS".
std::string FormatIsoDateTime(TDateTime value);

// The current local date and time.
TDateTime NowDateTime();
