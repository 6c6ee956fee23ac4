// Record lines: one captured frame per line, columns named by the column header line.
//
//   Timestamp;Type;ID;Length;Data
//   12:34:56.789;0;123;8;0102030405060708      -> 11-bit id 0x123 received, 8 bytes
//   12:34:56.790;9;18FF0001;2;A0B1             -> 29-bit id sent by the logger, 2 bytes

#include <cctype>
#include <cstdio>
#include <cstring>

#include "base/calendar.h"
#include "logging/report.h"
#include "textlog/field_scan.h"
#include "textlog/textlog_internal.h"

namespace quarn {

using textlog_detail::Field;
using textlog_detail::kLineBuffer;
using textlog_detail::TemplateFields;

namespace {

// The widest timestamp the loggers write is a date and time with milliseconds,
// "2024-01-31T12:34:56.789", 23 characters. A longer field carries extra trailing precision
// (microseconds) or junk; its leading 23 characters keep the date and time right, whereas
// right-aligning all of it would shift every digit into the wrong place.
constexpr std::size_t kTimestampField = 23;
constexpr char kTemplate[] = "19700101000000000";
constexpr std::size_t kTemplateDigits = sizeof kTemplate - 1;
constexpr std::size_t kSecondDigits = 14;  // year to second; the milliseconds follow
constexpr std::uint32_t kCanIdMax = 0x1FFFFFFF;

// Whether a field holds a digit anywhere: a timestamp field without one holds no time at all.
bool has_digit(const Field& field) {
  for (std::size_t i = 0; i < field.length; ++i) {
    if (static_cast<unsigned>(field.text[i] - '0') <= 9u) return true;
  }
  return false;
}

// Whether a last line's Data field holds every byte its Length field announces, as hex digits
// (two per byte, at most eight bytes): a line cut inside its data holds fewer. True in a log
// without both columns, where there is nothing to measure.
bool data_complete(const TextLogDecoder& decoder, const Field* fields, int n) {
  const int length_at = decoder.length_column;
  const int data_at = decoder.data_column;
  if (length_at < 0 || data_at < 0) return true;
  if (length_at >= n || data_at >= n) return false;
  unsigned char announced;
  if (!textlog_detail::scan_u8(fields[length_at].text, fields[length_at].length, announced)) return false;
  const std::size_t digits = 2u * (announced < 8 ? announced : 8u);
  const Field& data = fields[data_at];
  if (data.length < digits) return false;
  for (std::size_t i = 0; i < digits; ++i) {
    if (!std::isxdigit(static_cast<unsigned char>(data.text[i]))) return false;
  }
  return true;
}

bool all_digits(const char* p, std::size_t n) {
  bool ok = true;
  for (std::size_t i = 0; i < n; ++i) ok = ok && p[i] >= '0' && p[i] <= '9';
  return ok;
}

// Copies `text` without the characters the cache strips; returns the length kept.
std::size_t strip_separators(const bool (&stripped)[256], const char* text, std::size_t length, char* out) {
  std::size_t n = 0;
  for (std::size_t i = 0; i < length; ++i) {
    char c = text[i];
    out[n] = c;
    n += stripped[static_cast<unsigned char>(c)] ? 0 : 1;
  }
  return n;
}

// The calendar seconds of the template's fields, the year moved on by `extra_years`; -1 outside
// 1970 to 3000. The fields wrap as the C library's unsigned-to-int conversions would.
std::int64_t seconds_of(TextLogDecoder& decoder, const TemplateFields& t, std::uint32_t extra_years) {
  const std::int64_t key[3] = {static_cast<int>(t.year - 1900 + extra_years), static_cast<int>(t.month - 1),
                               static_cast<int>(t.day)};
  textlog_detail::TimestampCache& c = textlog_detail::timestamp_cache(decoder);
  // Consecutive frames mostly share their date; only the time of day needs working out.
  if (key[0] != c.day_key[0] || key[1] != c.day_key[1] || key[2] != c.day_key[2]) {
    c.day_number = utc_days_from_fields(key[0], key[1], key[2]);
    std::memcpy(c.day_key, key, sizeof key);
  }
  std::int64_t s = c.day_number * 86400 + static_cast<std::int64_t>(static_cast<int>(t.hour)) * 3600 +
                   static_cast<std::int64_t>(static_cast<int>(t.minute)) * 60 + static_cast<int>(t.second);
  return (s < 0 || s > kLastCalendarSecond) ? -1 : s;
}

double timestamp_of(TextLogDecoder& decoder, const TemplateFields& t, std::uint32_t extra_years) {
  return static_cast<double>(seconds_of(decoder, t, extra_years)) + t.millisecond * 0.001 + decoder.WrapOffset;
}

TimeFormat format_of(const LogHeader& h) { return static_cast<TimeFormat>(h.TimeFormat); }

// The length in seconds of the period a timestamp of this format wraps around after: a minute,
// an hour, a day, the calendar month or year that `timestamp` lies in. 0: no wrapping.
std::int64_t wrap_period(TimeFormat time_format, double timestamp) {
  switch (time_format) {
    case TimeFormat::Seconds: return 60;
    case TimeFormat::Minutes: return 3600;
    case TimeFormat::TimeOfDay: return 86400;
    case TimeFormat::DayAndTime:
    case TimeFormat::MonthDayAndTime: {
      std::int64_t start = static_cast<std::int64_t>(timestamp);
      std::tm f{};
      if (!utc_fields_from_seconds(start, f)) return 0;
      std::int64_t next = utc_seconds_from_fields(f.tm_year + (time_format == TimeFormat::MonthDayAndTime ? 1 : 0),
                                                  f.tm_mon + (time_format == TimeFormat::DayAndTime ? 1 : 0), f.tm_mday,
                                                  f.tm_hour, f.tm_min, f.tm_sec);
      return next < 0 ? 0 : next - start;
    }
    case TimeFormat::FullDate: return 0;
  }
  return 0;  // a format no logger defines: no wrapping
}

// The calendar seconds of a timestamp field (at most kTimestampField characters) and its fields
// in `t`, by way of the template; remembers the field when the next may repeat it.
std::int64_t template_seconds(TextLogDecoder& decoder, const char* field, std::size_t length, std::uint32_t years,
                              TemplateFields& t) {
  textlog_detail::TimestampCache& c = textlog_detail::timestamp_cache(decoder);
  char record_digits[kTimestampField];
  std::size_t rn = strip_separators(c.stripped, field, length, record_digits);
  // The field's last three characters are the milliseconds' digits when they are digits kept.
  const bool ends_in_millis = length >= 3 && all_digits(field + length - 3, 3) &&
                              !c.stripped[static_cast<unsigned char>(field[length - 1])] &&
                              !c.stripped[static_cast<unsigned char>(field[length - 2])] &&
                              !c.stripped[static_cast<unsigned char>(field[length - 3])];

  char tmpl[kTemplateDigits + 1];
  std::memcpy(tmpl, c.base_template, sizeof tmpl);
  const char* rd = record_digits;
  if (rn > kTemplateDigits) {
    rd += rn - kTemplateDigits;
    rn = kTemplateDigits;
  }
  std::memcpy(tmpl + kTemplateDigits - rn, rd, rn);

  // When the template matches the last one up to the milliseconds, all digits, the seconds
  // worked out for it stand; only digit runs are taken this way, because only they are read at
  // fixed places.
  std::int64_t seconds;
  if (c.last_valid && c.last_years == years && std::memcmp(tmpl, c.last_template, kSecondDigits) == 0 &&
      all_digits(tmpl + kSecondDigits, 3)) {
    t = c.last_fields;
    t.millisecond = static_cast<unsigned>((tmpl[14] - '0') * 100 + (tmpl[15] - '0') * 10 + (tmpl[16] - '0'));
    seconds = c.last_seconds;
  } else {
    // Reading stops at the first character that is not a digit; the fields it does not reach
    // count as 0.
    textlog_detail::scan_template(tmpl, t);
    seconds = seconds_of(decoder, t, years);
    c.last_valid = all_digits(tmpl, kSecondDigits);
    if (c.last_valid) {
      std::memcpy(c.last_template, tmpl, kSecondDigits);
      c.last_fields = t;
      c.last_seconds = seconds;
      c.last_years = years;
    }
  }
  c.last_field_valid = c.last_valid && ends_in_millis && rn >= 3;
  if (c.last_field_valid) {
    c.last_field_length = static_cast<std::uint8_t>(length);
    std::memcpy(c.last_field, field, length);
  }
  return seconds;
}

// The header's "Time: " digits fill the template from the left, the field's digits from the
// right, so a record may carry anything from milliseconds up to a full date:
//   header 20240131T120000 + field 12:34:56.789 -> 20240131 123456789 -> 2024-01-31 12:34:56.789
void parse_timestamp(TextLogDecoder& decoder, const char* field, std::size_t length, BusRecord& record) {
  const LogHeader& h = decoder.header;
  if (length > kTimestampField) length = kTimestampField;
  textlog_detail::TimestampCache& c = textlog_detail::timestamp_cache(decoder);

  // Format 5 holds no year: each wrap moves the date on by one calendar year. Counting whole
  // years (rather than adding the seconds of one year) keeps every later date right when a
  // February 29 lies between.
  std::uint32_t years = format_of(h) == TimeFormat::MonthDayAndTime ? decoder.YearWraps : 0;

  // Frames come many to a second: a field that repeats the last one but for its milliseconds
  // stands for the same second, which is known.
  TemplateFields t{};
  std::int64_t seconds;
  if (c.last_field_valid && length == c.last_field_length && c.last_years == years &&
      std::memcmp(field, c.last_field, length - 3) == 0 && all_digits(field + length - 3, 3)) {
    const char* ms = field + length - 3;
    t = c.last_fields;
    t.millisecond = static_cast<unsigned>((ms[0] - '0') * 100 + (ms[1] - '0') * 10 + (ms[2] - '0'));
    seconds = c.last_seconds;
  } else {
    seconds = template_seconds(decoder, field, length, years, t);
  }
  double timestamp = static_cast<double>(seconds) + t.millisecond * 0.001 + decoder.WrapOffset;

  if (decoder.PreviousTimestamp > timestamp) {
    std::int64_t period = wrap_period(format_of(h), timestamp);
    // Only a step back of more than one second is a wrap; a smaller one is an out-of-order line.
    if (period != 0 &&
        static_cast<double>(period - 1) > timestamp - decoder.PreviousTimestamp + static_cast<double>(period)) {
      if (format_of(h) == TimeFormat::MonthDayAndTime) {
        decoder.YearWraps += 1;
        timestamp = timestamp_of(decoder, t, decoder.YearWraps);
      } else {
        decoder.WrapOffset += static_cast<std::uint32_t>(period);
        timestamp += static_cast<double>(period);
      }
    }
  }
  decoder.PreviousTimestamp = timestamp;
  record.Timestamp = timestamp;
}

// "0" standard received, "1" extended received, "8" standard sent, "9" extended sent.
void parse_type(TextLogDecoder&, const char* field, std::size_t, BusRecord& record) {
  switch (field[0]) {
    case '0': record.Can.IDE = 0; record.Can.Dir = 0; break;
    case '1': record.Can.IDE = 1; record.Can.Dir = 0; break;
    case '8': record.Can.IDE = 0; record.Can.Dir = 1; break;
    case '9': record.Can.IDE = 1; record.Can.Dir = 1; break;
    default: break;
  }
}

void parse_id(TextLogDecoder&, const char* field, std::size_t length, BusRecord& record) {
  unsigned id;
  if (textlog_detail::scan_hex_u32(field, length, id)) record.ID = id;
}

void parse_length(TextLogDecoder&, const char* field, std::size_t length, BusRecord& record) {
  unsigned char dlc;
  if (textlog_detail::scan_u8(field, length, dlc)) record.Can.DLC = dlc;
}

// Up to eight bytes as one run of hex pairs, "0102A0FF". A pair that is not hex still counts as
// a byte (of value 0); a lone last digit is a byte of its own.
void parse_data(TextLogDecoder&, const char* field, std::size_t length, BusRecord& record) {
  record.Can.DLC = 0;
  std::uint64_t count = 0;
  for (std::size_t pos = 0; pos < 8; ++pos) {
    std::size_t offset = 2 * pos;
    if (offset >= length || field[offset] == '\n' || field[offset] == '\r') break;
    unsigned char byte;
    if (textlog_detail::scan_hex_pair(field + offset, byte)) record.Can.DataBytes[pos] = byte;
    ++count;
  }
  record.Can.DLC = static_cast<std::uint8_t>(count);
  record.DataLength = count;
  record.DataPointer = record.Can.DataBytes;
}

void parse_lost(TextLogDecoder&, const char*, std::size_t, BusRecord&) {}

// The numbers of the template from the year to the second: where each lies, and its range (a
// day is checked against its month apart).
struct TemplateNumber {
  std::size_t begin;
  std::size_t end;
  unsigned low;
  unsigned high;
};
constexpr TemplateNumber kHeaderNumbers[6] = {{0, 4, 1970, 3000}, {4, 6, 1, 12},   {6, 8, 1, 31},
                                              {8, 10, 0, 23},     {10, 12, 0, 59}, {12, 14, 0, 59}};

// How many of those numbers, from the year on, the frames of a time format take from the header.
// A format no logger defines says nothing of what its frames carry: they may need all of it.
int numbers_from_header(TimeFormat time_format) {
  switch (time_format) {
    case TimeFormat::Seconds: return 5;
    case TimeFormat::Minutes: return 4;
    case TimeFormat::TimeOfDay: return 3;
    case TimeFormat::DayAndTime: return 2;
    case TimeFormat::MonthDayAndTime: return 1;
    case TimeFormat::FullDate: return 0;
  }
  return 6;
}

// Whether the header's digits (separators taken out) hold the first `count` numbers, each as
// digits where the template reads it and in range. Where sscanf would stop at a character that
// is no digit, every later number would silently read as 0 and carry back into the month before.
bool header_holds(const char* digits, std::size_t n, int count) {
  unsigned value[6] = {};
  for (int k = 0; k < count; ++k) {
    const TemplateNumber& number = kHeaderNumbers[k];
    if (n < number.end) return false;
    unsigned v = 0;
    for (std::size_t i = number.begin; i < number.end; ++i) {
      const unsigned digit = static_cast<unsigned char>(digits[i]) - static_cast<unsigned>('0');
      if (digit > 9) return false;
      v = v * 10 + digit;
    }
    if (v < number.low || v > number.high) return false;
    value[k] = v;
  }
  return count < 3 || value[2] <= static_cast<unsigned>(days_in_month(value[0], static_cast<int>(value[1])));
}

// What the header's time is to the log's frames (see StartTimeUse).
StartTimeUse start_time_use(const TextLogDecoder& decoder, const char* digits, std::size_t n) {
  // Without a Timestamp column no frame has a time to take from it.
  if (decoder.timestamp_column < 0) return StartTimeUse::Fine;
  const int needed = numbers_from_header(format_of(decoder.header));
  if (!header_holds(digits, n, needed)) return StartTimeUse::Unreadable;
  if (needed == 0 && !header_holds(digits, n, 6)) return StartTimeUse::PassedOver;
  return StartTimeUse::Fine;
}

}  // namespace

namespace textlog_detail {

void prepare_timestamps(TextLogDecoder& decoder) {
  const LogHeader& h = decoder.header;
  textlog_detail::TimestampCache& c = textlog_detail::timestamp_cache(decoder);
  std::memset(c.stripped, 0, sizeof c.stripped);
  for (char r : {h.ValueSeparator, h.TimeSeparator, h.TimeSeparatorMs, h.DateSeparator, h.TimeDateSeparator}) {
    if (r != 0) c.stripped[static_cast<unsigned char>(r)] = true;
  }
  c.stripped[static_cast<unsigned char>('T')] = true;

  char header_digits[sizeof h.TimeText];
  std::size_t hn = strip_separators(c.stripped, h.TimeText, strnlen(h.TimeText, sizeof h.TimeText), header_digits);
  decoder.start_time = start_time_use(decoder, header_digits, hn);
  std::memcpy(c.base_template, kTemplate, sizeof kTemplate);
  if (hn > kTemplateDigits) hn = kTemplateDigits;
  std::memcpy(c.base_template, header_digits, hn);
  c.day_key[0] = c.day_key[1] = c.day_key[2] = INT64_MIN;
  c.last_valid = false;
  c.last_field_valid = false;
}

ColumnParser column_parser_for(const char* name, bool& known) {
  struct Column {
    const char* name;
    ColumnParser parse;
  };
  static constexpr Column kColumns[] = {
      {"Timestamp", parse_timestamp}, {"Lost", parse_lost},     {"Type", parse_type},
      {"ID", parse_id},               {"Length", parse_length}, {"Data", parse_data},
  };
  for (const Column& c : kColumns) {
    if (std::strcmp(name, c.name) == 0) {
      known = true;
      return c.parse;
    }
  }
  known = false;
  return nullptr;
}

}  // namespace textlog_detail

bool textlog_next_record(TextLogDecoder& decoder, BusRecord& record) {
  if (decoder.data_ended) return false;
  char line[kLineBuffer];
  bool got = false;
  double skipped_below = 0;
  const int timestamp = decoder.timestamp_column;
  for (;;) {
    textlog_detail::LineExtent extent;
    std::size_t length = textlog_detail::read_line(*decoder.stream, line, extent, true);
    const bool rest_of_cut_line = decoder.continues_cut_line;
    decoder.continues_cut_line = extent.cut;
    // The line the data ends inside: at the end of the file, or at a zero byte.
    const bool last = !extent.line_feed && !extent.cut;
    if (last) {
      decoder.data_ended = true;
      std::int64_t after = stream_tell(*decoder.stream);
      std::size_t end = extent.zero ? extent.zero_at : extent.consumed;
      decoder.end_of_data = after < 0 ? -1 : after - static_cast<std::int64_t>(extent.consumed - end);
      if (length == 0) break;
    }
    // A stray line must not reach the parsers: a timestamp made up from the header's time would
    // usually lie far enough back to count as a wrap, and move every later frame on by a period.
    if (timestamp >= 0 && (rest_of_cut_line || line[0] == '#')) {
      ++decoder.stray_lines;
      if (last) break;
      continue;
    }
    // Counted before the split writes its NULs over the separators.
    const bool short_of_columns =
        last && textlog_detail::count_columns(line, length, decoder.header.ValueSeparator) < decoder.column_count;
    Field fields[kColumnSlots];
    int n = textlog_detail::split_fields(line, length, decoder.header.ValueSeparator, fields);
    if ((timestamp >= 0 && (n <= timestamp || !has_digit(fields[timestamp]))) ||
        (last && (short_of_columns || !data_complete(decoder, fields, n)))) {
      ++decoder.stray_lines;
      if (last) break;
      continue;
    }
    std::memset(&record, 0, sizeof record);
    const std::uint32_t wrap_offset = decoder.WrapOffset;
    const double previous = decoder.PreviousTimestamp;
    const std::uint32_t year_wraps = decoder.YearWraps;
    for (int i = 0; i < n; ++i) {
      if (decoder.parsers[i] != nullptr) decoder.parsers[i](decoder, fields[i].text, fields[i].length, record);
    }
    // A CAN identifier has at most 29 bits. A wider one is no frame the logger wrote, and no trace
    // could carry it alike (the MDF4 trace keeps 29 bits): the line is stray, and like any stray
    // line it moves no wrap state.
    if (record.ID > kCanIdMax) {
      decoder.WrapOffset = wrap_offset;
      decoder.PreviousTimestamp = previous;
      decoder.YearWraps = year_wraps;
      ++decoder.stray_lines;
      if (last) break;
      continue;
    }
    record.Can.BusChannel = 1;
    record.Kind = CAN_DataFrame;
    if (decoder.LastAccepted > record.Timestamp) {
      skipped_below = decoder.LastAccepted;
      ++decoder.stepped_back;
      if (last) break;
      continue;
    }
    decoder.LastAccepted = record.Timestamp;
    got = true;
    break;
  }
  if (skipped_below > 0) report(LogLevel::Warning, "Skipping non-increasing timestamp: %f", skipped_below);
  return got;
}

}  // namespace quarn
