#pragma once

#include "base/platform.h"
#include "base/str_view.h"

namespace quarn {

// Pieces of a '/'-separated path, without allocation: each is a view into the path.

// The text after the last '/' (empty when the path ends in '/').
StrView path_file_name(StrView path);
// The text after the last '.' of the file name; data is null when the name has no '.'.
StrView path_extension(StrView path);
// The path up to and including its last '/'; empty when it has none.
StrView path_parent(StrView path);

// A byte of a path as the platform compares names: where names that differ only in letter case
// name one file, ASCII letters without their case.
inline char path_name_char(char c) { return kPlatformNamesIgnoreCase ? ascii_lower(c) : c; }
// Whether two paths name one file by their text (ASCII letter case aside where the platform
// ignores it).
inline bool path_equal(StrView a, StrView b) {
  return kPlatformNamesIgnoreCase ? sv_equal_ignoring_case(a, b) : sv_equal(a, b);
}

}  // namespace quarn
