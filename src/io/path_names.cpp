#include "io/path_names.h"

namespace quarn {

StrView path_file_name(StrView path) {
  std::int64_t i = path.length;
  while (i > 0 && path.data[i - 1] != '/') --i;
  return StrView{path.data + i, path.length - i};
}

StrView path_extension(StrView path) {
  StrView name = path_file_name(path);
  for (std::int64_t i = name.length; i > 0; --i) {
    if (name.data[i - 1] == '.') return StrView{name.data + i, name.length - i};
  }
  return StrView{};
}

StrView path_parent(StrView path) { return StrView{path.data, path.length - path_file_name(path).length}; }

std::int64_t path_root_length(StrView path) {
  const char* p = path.data;
  const std::int64_t n = path.length;
  if constexpr (kPlatformSlashIsRoot) return n >= 1 && p[0] == '/' ? 1 : 0;
  const bool letter = n >= 1 && ((p[0] >= 'A' && p[0] <= 'Z') || (p[0] >= 'a' && p[0] <= 'z'));
  if (letter && n >= 3 && p[1] == ':' && p[2] == '/') return 3;
  if (!kPlatformHasShares || n < 3 || p[0] != '/' || p[1] != '/' || p[2] == '/') return 0;
  std::int64_t i = 2;
  while (i < n && p[i] != '/') ++i;  // the host
  const std::int64_t share = ++i;
  while (i < n && p[i] != '/') ++i;
  if (i <= share) return 0;
  return i < n ? i + 1 : i;
}

namespace {

// Past every character: a byte that is no part of well-formed UTF-8 counts as this plus its value,
// so that it equals only itself (the system takes such a name for no name at all).
constexpr std::uint32_t kStrayByte = 0x110000;

// The characters of a path, or of two pieces read as one, each as names are compared without
// letter case. A character split between the pieces is read whole.
class FoldedChars {
 public:
  FoldedChars(StrView head, StrView tail) : head_(head), tail_(tail) {}

  // The next character; false at the end.
  bool next(std::uint32_t& c) {
    const int lead = byte(at_);
    if (lead < 0) return false;
    ++at_;
    if (lead < 0x80) {
      c = static_cast<std::uint32_t>(lead >= 'a' && lead <= 'z' ? lead - 'a' + 'A' : lead);
      return true;
    }
    c = kStrayByte + static_cast<std::uint32_t>(lead);
    int more = 0;
    std::uint32_t code = 0;
    std::uint32_t least = 0;  // below it the same character has a shorter form, which is no UTF-8
    if (lead >= 0xC2 && lead <= 0xDF) {
      more = 1;
      code = static_cast<std::uint32_t>(lead & 0x1F);
      least = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      more = 2;
      code = static_cast<std::uint32_t>(lead & 0x0F);
      least = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      more = 3;
      code = static_cast<std::uint32_t>(lead & 0x07);
      least = 0x10000;
    } else {
      return true;
    }
    for (int k = 0; k < more; ++k) {
      const int b = byte(at_ + k);
      if (b < 0 || (b & 0xC0) != 0x80) return true;
      code = code << 6 | static_cast<std::uint32_t>(b & 0x3F);
    }
    if (code < least || code > 0x10FFFF || (code >= 0xD800 && code < 0xE000)) return true;
    at_ += more;
    c = platform_name_case_fold(code);
    return true;
  }

 private:
  int byte(std::int64_t i) const {
    if (i < head_.length) return static_cast<unsigned char>(head_.data[i]);
    i -= head_.length;
    return i < tail_.length ? static_cast<unsigned char>(tail_.data[i]) : -1;
  }

  StrView head_;
  StrView tail_;
  std::int64_t at_ = 0;
};

char byte_of_joined(StrView head, StrView tail, std::int64_t i) {
  return i < head.length ? head.data[i] : tail.data[i - head.length];
}

}  // namespace

bool path_joined_equal(StrView a, StrView a_tail, StrView b, StrView b_tail) {
  if constexpr (!kPlatformNamesIgnoreCase) {
    if (a.length + a_tail.length != b.length + b_tail.length) return false;
    for (std::int64_t i = 0; i < a.length + a_tail.length; ++i) {
      if (byte_of_joined(a, a_tail, i) != byte_of_joined(b, b_tail, i)) return false;
    }
    return true;
  }
  // A capital may take more or fewer bytes than its small letter: lengths prove nothing here.
  FoldedChars x(a, a_tail);
  FoldedChars y(b, b_tail);
  for (;;) {
    std::uint32_t cx = 0;
    std::uint32_t cy = 0;
    const bool more_x = x.next(cx);
    const bool more_y = y.next(cy);
    if (more_x != more_y || cx != cy) return false;
    if (!more_x) return true;
  }
}

bool path_equal(StrView a, StrView b) {
  if constexpr (!kPlatformNamesIgnoreCase) return sv_equal(a, b);
  return path_joined_equal(a, StrView{}, b, StrView{});
}

std::uint64_t path_hash(StrView path) {
  std::uint64_t h = 1469598103934665603ull;  // FNV-1a
  if constexpr (!kPlatformNamesIgnoreCase) {
    for (std::int64_t i = 0; i < path.length; ++i) {
      h ^= static_cast<unsigned char>(path.data[i]);
      h *= 1099511628211ull;
    }
    return h;
  }
  FoldedChars chars(path, StrView{});
  for (std::uint32_t c = 0; chars.next(c);) {
    h ^= c;
    h *= 1099511628211ull;
  }
  return h;
}

}  // namespace quarn
