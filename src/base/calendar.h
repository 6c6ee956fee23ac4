#pragma once

#include <cstdint>
#include <ctime>

namespace quarn {

// 3000-12-31 23:59:59 UTC: the last second the program's calendar conversions accept.
inline constexpr std::int64_t kLastCalendarSecond = 32535215999;

// Days since 1970-01-01 of a proleptic Gregorian date; month 1 to 12, any day (out-of-range days
// carry into the neighbouring months).
std::int64_t days_from_civil(std::int64_t year, std::int64_t month, std::int64_t day);

// The number of days of a month (1 to 12) of a proleptic Gregorian year: 28 to 31.
int days_in_month(std::int64_t year, int month);

// Days since 1970-01-01 of struct tm style date fields (years since 1900, months 0 to 11), every
// out-of-range field carried over.
std::int64_t utc_days_from_fields(std::int64_t tm_year, std::int64_t tm_mon, std::int64_t tm_mday);

// Seconds since 1970-01-01 00:00:00 UTC of calendar fields in the manner of struct tm (years
// since 1900, months 0 to 11), with every out-of-range field carried over as the standard
// conversion does (second 60 is the next minute, day 0 the last day of the previous month,
// month 12 the next January). -1 when the result lies before 1970 or after the year 3000.
std::int64_t utc_seconds_from_fields(std::int64_t tm_year, std::int64_t tm_mon, std::int64_t tm_mday,
                                     std::int64_t tm_hour, std::int64_t tm_min, std::int64_t tm_sec);

// Calendar fields (struct tm style, weekday and day of year included) of a UTC time. False when
// the time lies before 1970 or after the year 3000; `out` is then unspecified.
bool utc_fields_from_seconds(std::int64_t t, std::tm& out);

}  // namespace quarn
