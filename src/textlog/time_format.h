#pragma once

#include <cstdint>

namespace quarn {

// Which part of the date and time a record's timestamp holds, as "Time format: N" in a log's
// header says; the header's "Time: " supplies the rest. It also sets the period after which the
// clock in the records starts again, which the decoder adds back.
enum class TimeFormat : std::uint8_t {
  Seconds = 1,          // "SS.mmm", wraps every minute
  Minutes = 2,          // "MM:SS.mmm", every hour
  TimeOfDay = 3,        // "hh:MM:SS.mmm", every day
  DayAndTime = 4,       // "DDThh:MM:SS.mmm", every calendar month
  MonthDayAndTime = 5,  // "mm-DDThh:MM:SS.mmm", every calendar year
  FullDate = 6,         // "YYYY-mm-DDThh:MM:SS.mmm", never
};

inline constexpr TimeFormat kFirstTimeFormat = TimeFormat::Seconds;
inline constexpr TimeFormat kLastTimeFormat = TimeFormat::FullDate;

}  // namespace quarn
