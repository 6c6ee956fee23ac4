#include "asc/asc_lines.h"

#include <stb/stb_sprintf.h>
#include <algorithm>
#include <climits>
#include <cstdarg>

#include <array>
#include <cmath>
#include <cstring>

namespace quarn::asc_detail {
namespace {

// A CAN frame line, with its columns: time relative to the base (11 wide, 6 decimals), "CANFD",
// channel (3 wide), direction, identifier (8 hex digits and "x" when extended, else at least 3
// digits and a blank, both ending in the same column), 34 blanks, BRS, ESI, DLC (hex), data
// length (2 wide), then the data bytes and one blank when there are any (a remote frame has none);
// "|" marks where the tail below follows:
//    0.789000 CANFD   1 Rx        123                                   0 0 8  8 01 02 03 04 05 06 07 08 |
//    2.000000 CANFD   1 Tx   1ABCDEF0x                                  0 0 8  0 |
constexpr char kCanLineStandard[] =
    "% 11.6f CANFD %3d %s        %03X%c                                  %d %d %X %2d ";
constexpr char kCanLineExtended[] =
    "% 11.6f CANFD %3d %s   %08X%c                                  %d %d %X %2d ";
// Its tail: message duration and length in bits (always 0), the flags word right-aligned in 8,
// then the CRC and four bit-timing columns (always 0); here for a CAN FD frame with bit rate switch:
//|       0    0     3000        0        0        0        0        0
constexpr char kCanLineTail[] = "       0    0 %8X        0        0        0        0        0";
constexpr char kTailZeros[] = "        0        0        0        0        0\n";
constexpr char kTailNoFlags[] = "       0    0        0        0        0        0        0        0\n";
constexpr char kBlanks34[] = "                                  ";
constexpr char kHexUpper[] = "0123456789ABCDEF";

// "00" to "99", so that digits go out two at a time.
constexpr auto kDigitPairs = [] {
  std::array<char, 200> t{};
  for (int i = 0; i < 100; ++i) {
    t[static_cast<std::size_t>(2 * i)] = static_cast<char>('0' + i / 10);
    t[static_cast<std::size_t>(2 * i + 1)] = static_cast<char>('0' + i % 10);
  }
  return t;
}();

// Each byte as two upper-case hex digits.
constexpr auto kHexPairs = [] {
  std::array<char, 512> t{};
  for (int i = 0; i < 256; ++i) {
    t[static_cast<std::size_t>(2 * i)] = kHexUpper[i >> 4];
    t[static_cast<std::size_t>(2 * i + 1)] = kHexUpper[i & 15];
  }
  return t;
}();

// Decimal digits of v, right to left ending before `end`; returns the new start.
char* put_decimal(char* end, std::uint64_t v) {
  do {
    *--end = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0);
  return end;
}

// "%<width>d" / "%d" of a value that is never negative.
char* put_int(char* out, unsigned v, int width) {
  char buf[16];
  char* start = put_decimal(buf + sizeof buf, v);
  int n = static_cast<int>(buf + sizeof buf - start);
  for (; n < width; --width) *out++ = ' ';
  std::memcpy(out, start, static_cast<std::size_t>(buf + sizeof buf - start));
  return out + (buf + sizeof buf - start);
}

// "%<0 or blank><width>X".
char* put_hex(char* out, std::uint32_t v, int width, char pad) {
  char buf[8];
  char* end = buf + sizeof buf;
  char* start = end;
  do {
    *--start = kHexUpper[v & 15];
    v >>= 4;
  } while (v != 0);
  for (int n = static_cast<int>(end - start); n < width; ++n) *out++ = pad;
  std::memcpy(out, start, static_cast<std::size_t>(end - start));
  return out + (end - start);
}

char* put(char* out, const char* text, std::size_t n) {
  std::memcpy(out, text, n);
  return out + n;
}

bool g_general_only = false;

}  // namespace

void set_general_formatting_only(bool on) { g_general_only = on; }

std::size_t format_time_fixed6(char* out, double value, int width) {
  // Past 1e7 s the product below could err by more than the margin kept around ties.
  if (!(value >= 0.0 && value < 1e7) || std::signbit(value)) return 0;
  double scaled = value * 1e6;  // off by at most 0.0011 here, and below 2^63
  std::uint64_t whole = static_cast<std::uint64_t>(scaled);
  double frac = scaled - static_cast<double>(whole);
  // Near a tie the general formatter (whose own rounding differs from the exact one there) decides.
  if (frac > 0.49 && frac < 0.51) return 0;
  std::uint64_t micros = whole + (frac >= 0.5 ? 1 : 0);
  // Laid out right-aligned in a blank-filled block, then copied whole: fixed-size copies cost
  // no library call. Below 1e7 s the text is at most 15 characters.
  char buf[16];
  std::memset(buf, ' ', sizeof buf);
  auto fraction = static_cast<unsigned>(micros % 1000000);
  auto seconds = static_cast<unsigned>(micros / 1000000);
  std::memcpy(buf + 14, &kDigitPairs[2 * (fraction % 100)], 2);
  std::memcpy(buf + 12, &kDigitPairs[2 * (fraction / 100 % 100)], 2);
  std::memcpy(buf + 10, &kDigitPairs[2 * (fraction / 10000)], 2);
  buf[9] = '.';
  char* p = put_decimal(buf + 9, seconds);
  p[-1] = ' ';  // the blank flag's sign place
  std::size_t n = static_cast<std::size_t>(buf + 16 - (p - 1));
  std::size_t w = static_cast<std::size_t>(width);
  if (n <= w && w <= 16) {
    std::memcpy(out, buf + 16 - w, w);  // the blanks before it are the padding
    return w;
  }
  std::memcpy(out, p - 1, n);
  return n;
}

bool append_can_line_general(DynString& line, const CanLine& f) {
  bool built = asc_append_format(line, f.extended ? kCanLineExtended : kCanLineStandard, f.time, f.channel,
                                 f.tx ? "Tx" : "Rx", f.id, f.extended ? 'x' : ' ', f.brs, f.esi,
                                 static_cast<unsigned>(f.dlc), static_cast<int>(f.data_length));
  if (f.with_data) {
    built = built && asc_append_hex_bytes(line, f.data, f.data_length) && dynstr_append(line, " ", 1) != nullptr;
  }
  return built && asc_append_format(line, kCanLineTail, f.flags) && dynstr_append(line, "\n", 1) != nullptr;
}

std::size_t format_can_line(char* out, const CanLine& f) {
  if (g_general_only) return 0;
  std::size_t n = format_time_fixed6(out, f.time, 11);
  if (n == 0) return 0;
  char* p = put(out + n, " CANFD ", 7);
  if (f.channel < 10) {
    p = put(p, "  ", 2);
    *p++ = static_cast<char>('0' + f.channel);
  } else {
    p = put_int(p, f.channel, 3);
  }
  p = put(p, f.tx ? " Tx " : " Rx ", 4);
  if (f.extended) {
    p = put(p, "  ", 2);
    for (int shift = 24; shift >= 0; shift -= 8) {
      std::memcpy(p, &kHexPairs[2 * ((f.id >> shift) & 0xFF)], 2);
      p += 2;
    }
    *p++ = 'x';
  } else {
    p = put(p, "       ", 7);
    if (f.id < 0x1000) {
      p[0] = kHexUpper[f.id >> 8];
      std::memcpy(p + 1, &kHexPairs[2 * (f.id & 0xFF)], 2);
      p += 3;
    } else {
      p = put_hex(p, f.id, 3, '0');
    }
    *p++ = ' ';
  }
  p = put(p, kBlanks34, 34);
  if (f.brs < 10 && f.esi < 10 && f.dlc < 16 && f.data_length < 10) {
    // The usual "0 0 8  8 ": every value a single digit.
    p[0] = static_cast<char>('0' + f.brs);
    p[1] = ' ';
    p[2] = static_cast<char>('0' + f.esi);
    p[3] = ' ';
    p[4] = kHexUpper[f.dlc];
    p[5] = ' ';
    p[6] = ' ';
    p[7] = static_cast<char>('0' + f.data_length);
    p[8] = ' ';
    p += 9;
  } else {
    p = put_int(p, f.brs, 0);
    *p++ = ' ';
    p = put_int(p, f.esi, 0);
    *p++ = ' ';
    p = put_hex(p, f.dlc, 0, ' ');
    *p++ = ' ';
    p = put_int(p, f.data_length, 2);
    *p++ = ' ';
  }
  if (f.with_data) {
    // The bytes separated by blanks, then one blank: a lone blank when there are none.
    for (std::size_t i = 0; i < f.data_length; ++i) {
      std::memcpy(p, &kHexPairs[2 * f.data[i]], 2);
      p[2] = ' ';
      p += 3;
    }
    if (f.data_length == 0) *p++ = ' ';
  }
  if (f.flags == 0) {
    p = put(p, kTailNoFlags, sizeof kTailNoFlags - 1);
  } else {
    p = put(p, "       0    0 ", 14);
    p = put_hex(p, f.flags, 8, ' ');
    p = put(p, kTailZeros, sizeof kTailZeros - 1);
  }
  return static_cast<std::size_t>(p - out);
}

}  // namespace quarn::asc_detail

namespace quarn {
namespace {

bool asc_append_vformat(DynString& line, const char* format, std::va_list args) {
  std::int64_t len = dynstr_length(line);
  std::int64_t room = dynstr_capacity(line) - len;  // the storage has one byte more, for the NUL
  std::va_list first;
  va_copy(first, args);
  int needed = stbsp_vsnprintf(dynstr_data(line) + len, static_cast<int>(std::min<std::int64_t>(room + 1, INT_MAX)),
                               format, first);
  va_end(first);
  if (needed < 0) {
    dynstr_set_length(line, len);
    return false;
  }
  if (needed > room) {
    if (dynstr_reserve(line, dynstr_capacity(line) + needed) == nullptr) {
      dynstr_set_length(line, len);  // drops the cut text the first attempt left
      return false;
    }
    std::va_list second;
    va_copy(second, args);
    stbsp_vsnprintf(dynstr_data(line) + len, needed + 1, format, second);
    va_end(second);
  }
  dynstr_set_length(line, len + needed);
  return true;
}

}  // namespace

bool asc_append_format(DynString& line, const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  bool ok = asc_append_vformat(line, format, args);
  va_end(args);
  return ok;
}

bool asc_append_hex_bytes(DynString& line, const std::uint8_t* bytes, std::size_t count) {
  if (count == 0) return true;
  static constexpr char kHexDigits[] = "0123456789ABCDEF";
  std::int64_t len = dynstr_length(line);
  std::int64_t added = static_cast<std::int64_t>(count) * 3 - 1;
  char* storage = dynstr_reserve(line, len + added);
  if (storage == nullptr) return false;
  char* out = storage + len;
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0) *out++ = ' ';
    *out++ = kHexDigits[bytes[i] >> 4];
    *out++ = kHexDigits[bytes[i] & 0x0F];
  }
  dynstr_set_length(line, len + added);
  return true;
}

}  // namespace quarn
