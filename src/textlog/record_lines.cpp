// Record lines: one captured frame per line, columns named by the column header line.
//
//   Timestamp;Type;ID;Length;Data
//   12:34:56.789;0;123;8;0102030405060708      -> 11-bit id 0x123 received, 8 bytes
//   12:34:56.790;9;18FF0001;2;A0B1             -> 29-bit id sent by the logger, 2 bytes

#include <cstdio>
#include <cstring>

#include "base/calendar.h"
#include "logging/report.h"
#include "textlog/textlog_internal.h"

namespace quarn {

using textlog_detail::Field;
using textlog_detail::kLineBuffer;

namespace {

// The widest timestamp the loggers write is a date and time with milliseconds,
// "2024-01-31T12:34:56.789", 23 characters. A longer field carries extra trailing precision
// (microseconds) or junk; its leading 23 characters keep the date and time right, whereas
// right-aligning all of it would shift every digit into the wrong place.
constexpr std::size_t kTimestampField = 23;
constexpr char kTemplate[] = "19700101000000000";
constexpr std::size_t kTemplateDigits = sizeof kTemplate - 1;

// Copies `text` without the header's separators and capital "T"s; returns the length kept.
std::size_t strip_separators(const LogHeader& h, const char* text, std::size_t length, char* out) {
  const char removed[5] = {h.ValueSeparator, h.TimeSeparator, h.TimeSeparatorMs, h.DateSeparator,
                           h.TimeDateSeparator};
  std::size_t n = 0;
  for (std::size_t i = 0; i < length; ++i) {
    char c = text[i];
    if (c == 'T') continue;
    bool drop = false;
    for (char r : removed) drop = drop || (r != 0 && c == r);
    if (!drop) out[n++] = c;
  }
  return n;
}

// The calendar seconds of the template's fields, the year moved on by `extra_years`; -1 outside
// 1970 to 3000. The fields wrap as the C library's unsigned-to-int conversions would.
struct TemplateTime {
  unsigned year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, millisecond = 0;
};

std::int64_t seconds_of(const TemplateTime& t, std::uint32_t extra_years) {
  return utc_seconds_from_fields(static_cast<int>(t.year - 1900 + extra_years), static_cast<int>(t.month - 1),
                                 static_cast<int>(t.day), static_cast<int>(t.hour),
                                 static_cast<int>(t.minute), static_cast<int>(t.second));
}

double timestamp_of(const TextLogReader& reader, const TemplateTime& t, std::uint32_t extra_years) {
  return static_cast<double>(seconds_of(t, extra_years)) + t.millisecond * 0.001 + reader.WrapOffset;
}

// The length in seconds of the period a timestamp of this format wraps around after: a minute,
// an hour, a day, the calendar month or year that `timestamp` lies in. 0: no wrapping.
std::int64_t wrap_period(std::uint8_t time_format, double timestamp) {
  switch (time_format) {
    case 1: return 60;
    case 2: return 3600;
    case 3: return 86400;
    case 4:
    case 5: {
      std::int64_t start = static_cast<std::int64_t>(timestamp);
      std::tm f{};
      if (!utc_fields_from_seconds(start, f)) return 0;
      std::int64_t next = utc_seconds_from_fields(f.tm_year + (time_format == 5 ? 1 : 0),
                                                  f.tm_mon + (time_format == 4 ? 1 : 0), f.tm_mday, f.tm_hour,
                                                  f.tm_min, f.tm_sec);
      return next < 0 ? 0 : next - start;
    }
    default: return 0;
  }
}

// The header's "Time: " digits fill the template from the left, the field's digits from the
// right, so a record may carry anything from milliseconds up to a full date:
//   header 20240131T120000 + field 12:34:56.789 -> 20240131 123456789 -> 2024-01-31 12:34:56.789
void parse_timestamp(TextLogReader& reader, const char* field, std::size_t length, BusRecord& record) {
  const LogHeader& h = reader.header;
  if (length > kTimestampField) length = kTimestampField;

  char header_digits[sizeof h.TimeText];
  std::size_t hn = strip_separators(h, h.TimeText, std::strlen(h.TimeText), header_digits);
  char record_digits[kTimestampField];
  std::size_t rn = strip_separators(h, field, length, record_digits);

  char tmpl[kTemplateDigits + 1];
  std::memcpy(tmpl, kTemplate, sizeof tmpl);
  if (hn > kTemplateDigits) hn = kTemplateDigits;
  std::memcpy(tmpl, header_digits, hn);
  const char* rd = record_digits;
  if (rn > kTemplateDigits) {
    rd += rn - kTemplateDigits;
    rn = kTemplateDigits;
  }
  std::memcpy(tmpl + kTemplateDigits - rn, rd, rn);

  TemplateTime t;
  std::sscanf(tmpl, "%4u%2u%2u%2u%2u%2u%3u", &t.year, &t.month, &t.day, &t.hour, &t.minute, &t.second,
              &t.millisecond);

  // Format 5 holds no year: each wrap moves the date on by one calendar year. Counting whole
  // years (rather than adding the seconds of one year) keeps every later date right when a
  // February 29 lies between.
  std::uint32_t years = h.TimeFormat == 5 ? reader.YearWraps : 0;
  double timestamp = timestamp_of(reader, t, years);

  if (reader.PreviousTimestamp > timestamp) {
    std::int64_t period = wrap_period(h.TimeFormat, timestamp);
    // Only a step back of more than one second is a wrap; a smaller one is an out-of-order line.
    if (period != 0 && static_cast<double>(period - 1) > timestamp - reader.PreviousTimestamp + static_cast<double>(period)) {
      if (h.TimeFormat == 5) {
        reader.YearWraps += 1;
        timestamp = timestamp_of(reader, t, reader.YearWraps);
      } else {
        reader.WrapOffset += static_cast<std::uint32_t>(period);
        timestamp += static_cast<double>(period);
      }
    }
  }
  reader.PreviousTimestamp = timestamp;
  record.Timestamp = timestamp;
}

// "0" standard received, "1" extended received, "8" standard sent, "9" extended sent.
void parse_type(TextLogReader&, const char* field, std::size_t, BusRecord& record) {
  switch (field[0]) {
    case '0': record.Can.IDE = 0; record.Can.Dir = 0; break;
    case '1': record.Can.IDE = 1; record.Can.Dir = 0; break;
    case '8': record.Can.IDE = 0; record.Can.Dir = 1; break;
    case '9': record.Can.IDE = 1; record.Can.Dir = 1; break;
    default: break;
  }
}

void parse_id(TextLogReader&, const char* field, std::size_t, BusRecord& record) {
  unsigned id;
  if (std::sscanf(field, "%x", &id) == 1) record.ID = id;
}

void parse_length(TextLogReader&, const char* field, std::size_t, BusRecord& record) {
  unsigned char dlc;
  if (std::sscanf(field, "%hhu", &dlc) == 1) record.Can.DLC = dlc;
}

// Up to eight bytes as one run of hex pairs, "0102A0FF". A pair that is not hex still counts as
// a byte (of value 0); a lone last digit is a byte of its own.
void parse_data(TextLogReader&, const char* field, std::size_t length, BusRecord& record) {
  record.Can.DLC = 0;
  std::uint64_t count = 0;
  for (std::size_t pos = 0; pos < 8; ++pos) {
    std::size_t offset = 2 * pos;
    if (offset >= length || field[offset] == '\n' || field[offset] == '\r') break;
    unsigned char byte;
    if (std::sscanf(field + offset, "%2hhx", &byte) == 1) record.Can.DataBytes[pos] = byte;
    ++count;
  }
  record.Can.DLC = static_cast<std::uint8_t>(count);
  record.DataLength = count;
  record.DataPointer = record.Can.DataBytes;
}

void parse_lost(TextLogReader&, const char*, std::size_t, BusRecord&) {}

}  // namespace

namespace textlog_detail {

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

bool textlog_next_record(TextLogReader& reader, BusRecord& record) {
  char line[kLineBuffer];
  bool got = false;
  double skipped_below = 0;
  for (;;) {
    std::size_t length = textlog_detail::read_line(*reader.stream, line);
    if (length == 0) break;
    std::memset(&record, 0, sizeof record);
    Field fields[kColumnSlots];
    int n = textlog_detail::split_fields(line, length, reader.header.ValueSeparator, fields);
    for (int i = 0; i < n; ++i) {
      if (reader.parsers[i] != nullptr) reader.parsers[i](reader, fields[i].text, fields[i].length, record);
    }
    record.Can.BusChannel = 1;
    record.Kind = CAN_DataFrame;
    if (reader.LastAccepted > record.Timestamp) {
      skipped_below = reader.LastAccepted;
      continue;
    }
    reader.LastAccepted = record.Timestamp;
    got = true;
    break;
  }
  if (skipped_below > 0) report(LogLevel::Warning, "Skipping non-increasing timestamp: %f", skipped_below);
  return got;
}

}  // namespace quarn
