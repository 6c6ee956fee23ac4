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

// An ASCII capital as its small letter; other bytes as they are.
inline char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Equal when ASCII letters are taken without their case ("TXT" and "txt"); other bytes as they are.
inline bool sv_equal_ignoring_case(StrView a, StrView b) {
  if (a.length != b.length) return false;
  for (std::int64_t i = 0; i < a.length; ++i) {
    if (ascii_lower(a.data[i]) != ascii_lower(b.data[i])) return false;
  }
  return true;
}

// For "%.*s": printf takes the precision as an int.
inline int sv_len(StrView v) { return v.length > 0x7fffffff ? 0x7fffffff : static_cast<int>(v.length); }

}  // namespace quarn
