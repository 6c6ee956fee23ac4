#pragma once

#include <cstdint>

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

// The length of the root folder an absolute path starts with: "/" on POSIX; "C:/", or a network
// share "//host/share/" (all of "//host/share" when nothing follows), on Windows. 0 when the path
// starts with none, "//host/" among them.
std::int64_t path_root_length(StrView path);

// Paths as the platform tells files apart, without allocation. Where names that differ only in
// letter case name one file (Windows), every character counts as its capital by the system's
// table for names (platform_name_case_fold): Greek and accented letters as well as ASCII ones.
// Elsewhere the bytes count as they are.

// Whether two paths name one file by their text.
bool path_equal(StrView a, StrView b);
// Whether `a` followed by `a_tail` and `b` followed by `b_tail` name one file, without joining
// them ("B" + "_LIN.asc" is "b_lin" + ".ASC" on Windows).
bool path_joined_equal(StrView a, StrView a_tail, StrView b, StrView b_tail);
// The same number for paths that path_equal takes for one.
std::uint64_t path_hash(StrView path);

}  // namespace quarn
