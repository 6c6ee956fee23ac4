#pragma once

#include <cstdint>
#include <cstring>

namespace quarn {

// A borrowed run of bytes: not NUL-terminated, never owning. Paths travel between the
// subsystems in this form, which is why messages print them with "%.*s".
struct StrView {
  const char* data = nullptr;
  std::int64_t length = 0;
};

inline StrView sv(const char* cstr) {
  return StrView{cstr, cstr ? static_cast<std::int64_t>(std::strlen(cstr)) : 0};
}

inline StrView sv(const char* data, std::int64_t length) { return StrView{data, length}; }

inline bool sv_equal(StrView a, StrView b) {
  return a.length == b.length && (a.length == 0 || std::memcmp(a.data, b.data, static_cast<std::size_t>(a.length)) == 0);
}

// Equal when ASCII letters are taken without their case ("TXT" and "txt"); other bytes as they are.
inline bool sv_equal_ignoring_case(StrView a, StrView b) {
  if (a.length != b.length) return false;
  for (std::int64_t i = 0; i < a.length; ++i) {
    char x = a.data[i];
    char y = b.data[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

// For "%.*s": printf takes the precision as an int.
inline int sv_len(StrView v) { return v.length > 0x7fffffff ? 0x7fffffff : static_cast<int>(v.length); }

}  // namespace quarn
