#pragma once

#include <cstdint>
#include <memory>

#include "base/memory.h"
#include "io/stream.h"
#include "batch/bus_record.h"
#include "batch/log_reader.h"
#include "textlog/time_format.h"

namespace quarn {

// The settings of a log's "#" header block. Every field starts 0 or empty; each header line can
// set one. Text fields are always NUL-terminated and cut to fit.
struct LogHeader {
  std::int32_t LoggerType;  // "Logger type: " 0, 1, 2 for the three models; 0 when unknown
  char HwRev[5];            // "HW rev: "
  char FwRev[5];            // "FW rev: "
  char LoggerId[22];        // "Logger ID: "
  std::int32_t SessionNo;   // "Session No.: "
  std::int32_t SplitNo;     // "Split No.: "
  char TimeText[20];        // "Time: " raw text: the date and time digits records leave out
  char ValueSeparator;      // between columns; 0 = none
  std::uint8_t TimeFormat;  // a TimeFormat: which part of date and time a record holds; selects the wrap period
  char TimeSeparator;       // between hours, minutes, seconds; 0 = none
  char TimeSeparatorMs;     // before the milliseconds; 0 = none
  char DateSeparator;       // between year, month, day; 0 = none
  char TimeDateSeparator;   // between date and time; 0 = none
  std::int32_t BitRate;     // "Bit-rate: "
  std::int32_t SilentMode;  // "Silent mode: " 1 true, 0 false
  std::int32_t CyclicMode;  // "Cyclic mode: " 1 true, 0 false
};

struct TextLogDecoder;

// What the header's "Time: " is to the frames of a log, known once it is open. Each time format
// leaves some numbers of the date and time to the header: format 3 ("hh:MM:SS.mmm") the year,
// month and day, format 6 none, a format no logger defines all of them, up to the second. Each
// number the frames take from the header must be there as digits and in range (year 1970 to
// 3000, month 1 to 12, a day of that month, hour 0 to 23, minute and second 0 to 59).
enum class StartTimeUse : std::uint8_t {
  Fine,        // the frames find what they take from it (or take nothing, and it is whole)
  Unreadable,  // a number the frames take is missing or out of range: every frame would be misdated
  PassedOver,  // missing, or not a whole date and time, but the frames carry all of it themselves
};

// The most "# Key: value" lines of a header block kept as the log's properties, and the room for
// their text; a header block of a real logger holds some sixteen.
inline constexpr int kMaxLogProperties = 64;
inline constexpr std::size_t kLogPropertyText = 8192;

// Parses one field of a record line into the record. `field` is NUL-terminated at `length`.
using ColumnParser = void (*)(TextLogDecoder& decoder, const char* field, std::size_t length, BusRecord& record);

inline constexpr int kColumnSlots = 7;

// The decoder over one log. It borrows the stream and never closes it.
// What textlog_open hands out carries more, private to the decoder (textlog_internal.h).
struct TextLogDecoder : HeapObject {
  virtual ~TextLogDecoder() = default;

  Stream* stream = nullptr;
  std::uint32_t RecordStart = 0;  // offset of the first line after the column header line
  LogHeader header{};
  std::uint32_t WrapOffset = 0;  // seconds added to every timestamp after a wrap
  double PreviousTimestamp = 0;  // reference for wrap detection
  ColumnParser parsers[kColumnSlots]{};
  double LastAccepted = 0;      // timestamp of the last record handed out
  std::uint32_t YearWraps = 0;  // time format 5: whole years added after year wraps

  // Record lines passed over as stray (see textlog_next_record), counted over the decoder's life.
  std::int64_t stray_lines = 0;
  // Position of the first "Timestamp" column among the seven that take part; -1 when none does,
  // and then no line is ever stray.
  int timestamp_column = -1;
  bool column_line_cut = false;     // the column header line ran past 199 bytes
  bool continues_cut_line = false;  // the next line read is the rest of a line cut after 199 bytes
  // Offset at which the records ended (the end of the file, or the first zero byte of a record
  // line); -1 until then, or when the stream cannot tell.
  std::int64_t end_of_data = -1;
  bool data_ended = false;  // the next call reads nothing more: the data ended at a zero byte
  // Columns of the column header line, all of them (not only the seven that take part); a last
  // line that stops short of them was cut, not written so.
  int column_count = 0;
  // Positions of the first "Length" and "Data" columns among the seven; -1 when there is none.
  int length_column = -1;
  int data_column = -1;
  // Frame lines skipped because their time lay below the last accepted one, over the decoder's
  // life.
  std::int64_t stepped_back = 0;
  // Always Fine in a log without a "Timestamp" column, whose frames have no time to take.
  StartTimeUse start_time = StartTimeUse::Fine;
  // The "# Key: value" lines of the header block, in file order, key and value as written (the
  // value up to the line's end); views into property_text. Lines beyond the room are left out.
  LogProperty properties[kMaxLogProperties];
  int property_count = 0;
  char property_text[kLogPropertyText];
};

// Reads the header block and the column header line of the log on `stream` (which must read,
// seek and tell). A UTF-8 byte order mark (EF BB BF) at the very start of the data is passed
// over, as editors write one there; nowhere else is it special. Null for a null stream, no
// memory, a log without "#" lines, without a line after them, or without a known column name.
// Reports nothing.
std::unique_ptr<TextLogDecoder> textlog_open(Stream* stream);

// Positions the stream at the first record line. Keeps the wrap, skip and stray state.
bool textlog_rewind(TextLogDecoder& decoder);

// Fills `record` with the next accepted frame. False at the end of the data (the end of the
// stream, a read error, or the first zero byte of a record line). A field that does not parse
// leaves its record fields 0. Lines whose time lies below the last accepted one are skipped and
// counted in stepped_back, with one "Skipping non-increasing timestamp: %f" warning per call.
//
// The line the data ends inside (no line feed before the end of the file or before a zero byte)
// may have been cut short by a power loss. It is a frame only when it is complete: it reaches
// every column of the column header line and, in a log with a "Length" and a "Data" column, its
// Data field holds 2 x min(Length, 8) hex digits. Otherwise it is stray:
//   12:00:00.300;0;0;300;3;0303        -> stray: three bytes announced, two there
//   12:33:29                           -> stray, where it would have read as a frame of id 0
// Lines that end in a line feed are read as leniently as ever.
//
// In a log with a "Timestamp" column, lines the logger never wrote as frames are stray: they are
// passed over and counted in stray_lines, and change nothing else (no parser runs, so no wrap
// and no skip state moves). A line is stray when it
//   - begins with "#" (a second log's header, joined on with cat),
//   - is the rest of a line cut after 199 bytes (the first 199 bytes stay a frame),
//   - does not reach the Timestamp column (a blank line), or
//   - has no digit 0 to 9 anywhere in its Timestamp field ("ERROR: SD card write failure").
// Lines that carry timestamp digits are read as leniently as ever:
//   12:00:01.000;0;0;XYZ;8;ZZZZ     -> a frame at 12:00:01.000, identifier and data 0
// In any log, a line whose identifier is wider than a CAN identifier's 29 bits is stray too,
// after the parsers ran, with the wrap state they moved put back:
//   12:00:01.000;0;0;FFFFFFFF;0;    -> stray
bool textlog_next_record(TextLogDecoder& decoder, BusRecord& record);

// Whether the records, once textlog_next_record has returned false, ended where the log's data
// does: at the end of the file, or at a zero byte that only zero bytes follow up to `size` (a logger that preallocates
// its file, or lost power, leaves such padding). False when any other byte follows (a line feed included), or when the
// rest cannot be read up to `size`: frames may hide there. `size` is the file's size; when it is negative (unknown) the
// rest is read up to the end of the stream. The rest is read in pieces of a few KiB through the
// stream, never loaded whole. Moves the stream.
[[nodiscard]] bool textlog_ended_cleanly(TextLogDecoder& decoder, std::int64_t size);

}  // namespace quarn
