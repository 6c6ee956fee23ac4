#pragma once

// The lines of an ASC trace. Used by the ASC writer and its tests only.

#include <cstddef>
#include <cstdint>

#include "base/dyn_string.h"
#include "base/printf_format.h"

namespace quarn {

// Appends printf-style text formatted by stb_sprintf, growing the line when needed. False, with
// the line as it was, when the line cannot grow; a trace line must then not be written.
bool asc_append_format(DynString& line, const char* format, ...) QUARN_PRINTF(2, 3);

// Appends the bytes as uppercase hex pairs separated by one blank ("01 AB FF"); nothing for 0.
// False, with the line as it was, when the line cannot grow.
bool asc_append_hex_bytes(DynString& line, const std::uint8_t* bytes, std::size_t count);

}  // namespace quarn

namespace quarn::asc_detail {

// Everything a CANFD line shows of one frame.
struct CanLine {
  double time;  // seconds since the trace's base time
  std::uint32_t id;
  std::uint8_t channel;
  bool tx;
  bool extended;
  std::uint8_t brs;
  std::uint8_t esi;
  std::uint8_t dlc;
  std::uint8_t data_length;
  const std::uint8_t* data;
  bool with_data;       // DLC or data length above 0, and not a remote frame
  std::uint32_t flags;  // the flags word
};

// Upper bound of a CANFD line's length, 64 data bytes included.
inline constexpr std::size_t kCanLineMax = 384;

// Appends the line (line feed included) through stb_sprintf's formatter. False when the line
// cannot grow.
bool append_can_line_general(DynString& line, const CanLine& f);

// Writes the same bytes as append_can_line_general into `out` (room for kCanLineMax) without a
// general-purpose formatter, and returns their count; 0 when the time is one the direct
// formatting cannot vouch for (negative, very large, not finite, or within a hair of a rounding
// tie), so the caller must use the general formatter.
std::size_t format_can_line(char* out, const CanLine& f);

// "% <width>.6f" of `value` as stb_sprintf writes it, or 0 when that cannot be vouched for
// (see format_can_line).
std::size_t format_time_fixed6(char* out, double value, int width);

// Test hook: true makes format_can_line always decline, so that whole traces can be compared
// between the direct and the general formatter.
void set_general_formatting_only(bool on);

}  // namespace quarn::asc_detail
