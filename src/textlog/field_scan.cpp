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
  bool all_digits = !g_library_only;
  for (int i = 0; i < 17; ++i) all_digits = all_digits && is_digit(tmpl[i]);
  if (all_digits && tmpl[17] == '\0') {
    auto num = [&](int from, int width) {
      unsigned v = 0;
      for (int i = from; i < from + width; ++i) v = v * 10 + static_cast<unsigned>(tmpl[i] - '0');
      return v;
    };
    f.year = num(0, 4);
    f.month = num(4, 2);
    f.day = num(6, 2);
    f.hour = num(8, 2);
    f.minute = num(10, 2);
    f.second = num(12, 2);
    f.millisecond = num(14, 3);
    return 7;
  }
  return std::sscanf(tmpl, "%4u%2u%2u%2u%2u%2u%3u", &f.year, &f.month, &f.day, &f.hour, &f.minute, &f.second,
                     &f.millisecond);
}

}  // namespace quarn::textlog_detail
