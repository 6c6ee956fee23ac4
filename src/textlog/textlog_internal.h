#pragma once

// Shared by the header block parser and the record line parser; nothing else includes it.

#include <cstddef>

#include "textlog/field_scan.h"
#include "textlog/text_log_decoder.h"

namespace quarn::textlog_detail {

// A line is at most 199 bytes and its NUL; the buffer has 16 bytes more so that it can be
// scanned and filled 16 bytes at a time without checking each block's end.
inline constexpr std::size_t kLineMax = 199;
inline constexpr std::size_t kLineBuffer = kLineMax + 1 + 16;

// What reading one line took from the stream.
struct LineExtent {
  std::size_t consumed = 0;  // bytes, dropped carriage returns and an ending zero byte included
  bool cut = false;          // 199 bytes came before any line feed: the next line continues it
  bool line_feed = false;    // the line ended in a line feed
  bool zero = false;         // the line ended at a zero byte (only when reading stops at one)
  std::size_t zero_at = 0;   // where that zero byte lies, counted from the line's first byte
};

// Reads the next line into `line` (cleared first): carriage returns dropped, a line feed kept
// and ending the line, and at most 199 bytes consumed, so that a longer physical line continues
// as the next one. Returns the length up to the first zero byte; 0 means the data has ended.
// With `stop_at_zero`, a zero byte ends the line too (it is consumed, nothing after it is), as
// record lines need: the data of a log ends at its first zero byte wherever it lies. Header lines
// read on past it, as they always have.
std::size_t read_line(Stream& stream, char (&line)[kLineBuffer], LineExtent& extent, bool stop_at_zero = false);
inline std::size_t read_line(Stream& stream, char (&line)[kLineBuffer]) {
  LineExtent unused;
  return read_line(stream, line, unused);
}

// One field of a split line, NUL-terminated in place.
struct Field {
  char* text;
  std::size_t length;
};

// Splits `line` at `separator` into at most 7 fields, writing a NUL after each. The last field
// ends at the line feed or the end of the line. With separator 0 the whole line, line feed
// included, is one field. Returns the number of fields.
int split_fields(char* line, std::size_t length, char separator, Field (&fields)[kColumnSlots]);

// The number of columns of a line, however many: one more than its separators before the line
// feed (1 with separator 0).
int count_columns(const char* line, std::size_t length, char separator);

// The parser of a column name, or null for a name that has none. `known` tells whether the name
// is one the decoder recognises ("Lost" is known but has nothing to parse).
ColumnParser column_parser_for(const char* name, bool& known);

// Worked out once from the header when the log opens, so that each timestamp costs little.
struct TimestampCache {
  char base_template[18];     // "19700101000000000" with the header's digits laid over it
  bool stripped[256];         // characters removed from timestamp fields
  std::int64_t day_key[3];    // the date of the last conversion...
  std::int64_t day_number;    // ...and its days since 1970
  bool last_valid;            // the last template, when all digits up to the seconds...
  char last_template[14];
  std::uint32_t last_years;   // ...with the years it was moved on by...
  TemplateFields last_fields;  // ...what it read as...
  std::int64_t last_seconds;  // ...and its calendar seconds
  // The field that made that template, when it ends in the milliseconds' three digits: a field
  // that repeats it up to them is read without a template.
  bool last_field_valid;
  std::uint8_t last_field_length;
  char last_field[23];
};

// The decoder textlog_open makes: the public fields and what only the decoder's own code uses.
struct DecoderState final : TextLogDecoder {
  TimestampCache cache{};
};

inline TimestampCache& timestamp_cache(TextLogDecoder& decoder) { return static_cast<DecoderState&>(decoder).cache; }

// Fills the decoder's timestamp cache from its header, and tells what the header's time is to the
// frames (start_time); called once the header block and the column header line are read.
void prepare_timestamps(TextLogDecoder& decoder);

}  // namespace quarn::textlog_detail
