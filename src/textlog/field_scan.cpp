#include "textlog/field_scan.h"

#include <array>
#include <cstdio>

namespace quarn::textlog_detail {
namespace {

constexpr auto kHexValues = [] {
  std::array<signed char, 256> t{};
  for (auto& v : t) v = -1;
  for (int c = '0'; c <= '9'; ++c) t[static_cast<std::size_t>(c)] = static_cast<signed char>(c - '0');
  for (int c = 'a'; c <= 'f'; ++c) t[static_cast<std::size_t>(c)] = static_cast<signed char>(c - 'a' + 10);
  for (int c = 'A'; c <= 'F'; ++c) t[static_cast<std::size_t>(c)] = static_cast<signed char>(c - 'A' + 10);
  return t;
}();

// 0 to 15 for a hex digit, -1 otherwise.
int hex_value(char c) { return kHexValues[static_cast<unsigned char>(c)]; }

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool g_library_only = false;

}  // namespace

void set_library_scans_only(bool on) { g_library_only = on; }

bool scan_hex_u32(const char* field, std::size_t length, unsigned& value) {
  // Up to eight hex digits and nothing else cannot overflow, carry no blank, sign or "0x".
  if (!g_library_only && length >= 1 && length <= 8) {
    unsigned v = 0;
    std::size_t i = 0;
    for (; i < length; ++i) {
      int d = hex_value(field[i]);
      if (d < 0) break;
      v = v << 4 | static_cast<unsigned>(d);
    }
    if (i == length) {
      value = v;
      return true;
    }
  }
  return std::sscanf(field, "%x", &value) == 1;
}

bool scan_u8(const char* field, std::size_t length, unsigned char& value) {
  if (!g_library_only && length >= 1 && length <= 3) {
    unsigned v = 0;
    std::size_t i = 0;
    for (; i < length && is_digit(field[i]); ++i) v = v * 10 + static_cast<unsigned>(field[i] - '0');
    if (i == length) {
      value = static_cast<unsigned char>(v);  // the low 8 bits, as "%hhu" keeps them
      return true;
    }
  }
  return std::sscanf(field, "%hhu", &value) == 1;
}

bool scan_hex_pair(const char* at, unsigned char& value) {
  int hi = hex_value(at[0]);
  if (!g_library_only && hi >= 0) {
    int lo = hex_value(at[1]);
    if (lo >= 0) {
      value = static_cast<unsigned char>(hi << 4 | lo);
      return true;
    }
  }
  return std::sscanf(at, "%2hhx", &value) == 1;
}

int scan_template(const char* tmpl, TemplateFields& f) {
  // All 17 checked at once (the loop has no early exit, so it vectorises).
  unsigned d[17];
  unsigned bad = g_library_only ? 1u : 0u;
  for (int i = 0; i < 17; ++i) {
    d[i] = static_cast<unsigned char>(tmpl[i]) - static_cast<unsigned>('0');
    bad |= d[i] > 9 ? 1u : 0u;
  }
  if (bad == 0 && tmpl[17] == '\0') {
    f.year = d[0] * 1000 + d[1] * 100 + d[2] * 10 + d[3];
    f.month = d[4] * 10 + d[5];
    f.day = d[6] * 10 + d[7];
    f.hour = d[8] * 10 + d[9];
    f.minute = d[10] * 10 + d[11];
    f.second = d[12] * 10 + d[13];
    f.millisecond = d[14] * 100 + d[15] * 10 + d[16];
    return 7;
  }
  return std::sscanf(tmpl, "%4u%2u%2u%2u%2u%2u%3u", &f.year, &f.month, &f.day, &f.hour, &f.minute, &f.second,
                     &f.millisecond);
}

}  // namespace quarn::textlog_detail
