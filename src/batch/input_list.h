#pragma once

#include "base/dyn_string.h"

namespace quarn {

// Reads a list of inputs, one path per line, from the file `name`, or from standard input when
// `name` is "-", and appends each path, normalized (normalize_input_path), to `inputs`. The list
// is UTF-8: a byte order mark at its start is skipped, a carriage return before a line feed is
// dropped, and empty lines are passed over. Returns 0, or the run's exit status when the list
// cannot be had: 134 when it cannot be opened or read ("Could not read the list of inputs %s: %s")
// or is UTF-16 ("The list of inputs %s is UTF-16; save it as UTF-8, one path per line"), 133 for a
// path whose form the program refuses ("Invalid input path: %s") or when memory runs out. All
// Fatal but the invalid path, which is an Error as on the command line; after a failure `inputs`
// may hold some of the paths, and the run is not to go on.
int read_input_list(const char* name, DynStringList& inputs);

}  // namespace quarn
