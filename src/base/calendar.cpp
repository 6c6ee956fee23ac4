#include "base/calendar.h"

#include <cstring>

namespace quarn {
namespace {

std::int64_t floor_div(std::int64_t a, std::int64_t b) {
  std::int64_t q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
  return q;
}

}  // namespace

// Howard Hinnant's days_from_civil, extended so that the day may lie outside its month.
std::int64_t days_from_civil(std::int64_t y, std::int64_t m, std::int64_t d) {
  y -= m <= 2;
  const std::int64_t era = floor_div(y, 400);
  const std::int64_t yoe = y - era * 400;
  const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468 + (d - 1);
}

int days_in_month(std::int64_t year, int month) {
  const std::int64_t next = month == 12 ? days_from_civil(year + 1, 1, 1) : days_from_civil(year, month + 1, 1);
  return static_cast<int>(next - days_from_civil(year, month, 1));
}

std::int64_t utc_days_from_fields(std::int64_t tm_year, std::int64_t tm_mon, std::int64_t tm_mday) {
  // Months carry into years first; the day is then a plain count from the first of the month.
  std::int64_t year = 1900 + tm_year + floor_div(tm_mon, 12);
  std::int64_t month = tm_mon - floor_div(tm_mon, 12) * 12 + 1;
  return days_from_civil(year, month, 1) + (tm_mday - 1);
}

std::int64_t utc_seconds_from_fields(std::int64_t tm_year, std::int64_t tm_mon, std::int64_t tm_mday,
                                     std::int64_t tm_hour, std::int64_t tm_min, std::int64_t tm_sec) {
  std::int64_t days = utc_days_from_fields(tm_year, tm_mon, tm_mday);
  std::int64_t t = days * 86400 + tm_hour * 3600 + tm_min * 60 + tm_sec;
  if (t < 0 || t > kLastCalendarSecond) return -1;
  return t;
}

bool utc_fields_from_seconds(std::int64_t t, std::tm& out) {
  if (t < 0 || t > kLastCalendarSecond) return false;
  std::memset(&out, 0, sizeof out);
  std::int64_t days = t / 86400;
  std::int64_t rem = t % 86400;
  out.tm_hour = static_cast<int>(rem / 3600);
  out.tm_min = static_cast<int>(rem % 3600 / 60);
  out.tm_sec = static_cast<int>(rem % 60);
  out.tm_wday = static_cast<int>((days + 4) % 7);  // 1970-01-01 was a Thursday
  // civil_from_days
  std::int64_t z = days + 719468;
  std::int64_t era = z / 146097;
  std::int64_t doe = z - era * 146097;
  std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  std::int64_t y = yoe + era * 400;
  std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  std::int64_t mp = (5 * doy + 2) / 153;
  std::int64_t d = doy - (153 * mp + 2) / 5 + 1;
  std::int64_t m = mp < 10 ? mp + 3 : mp - 9;
  if (m <= 2) ++y;
  out.tm_year = static_cast<int>(y - 1900);
  out.tm_mon = static_cast<int>(m - 1);
  out.tm_mday = static_cast<int>(d);
  out.tm_yday = static_cast<int>(days - days_from_civil(y, 1, 1));
  return true;
}

}  // namespace quarn
