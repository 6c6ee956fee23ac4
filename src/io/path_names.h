#pragma once

#include "base/str_view.h"

namespace quarn {

// Pieces of a '/'-separated path, without allocation: each is a view into the path.

// The text after the last '/' (empty when the path ends in '/').
StrView path_file_name(StrView path);
// The text after the last '.' of the file name; data is null when the name has no '.'.
StrView path_extension(StrView path);
// The path up to and including its last '/'; empty when it has none.
StrView path_parent(StrView path);

}  // namespace quarn
