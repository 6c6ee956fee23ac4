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

// For "%.*s": printf takes the precision as an int.
inline int sv_len(StrView v) { return v.length > 0x7fffffff ? 0x7fffffff : static_cast<int>(v.length); }

}  // namespace quarn
