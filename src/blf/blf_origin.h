#pragma once

#include "base/str_view.h"
#include "io/stream.h"

namespace quarn {

// Whether `file` is a BLF file that quarn wrote from the log named `source_name`: its first
// container is stored and holds an APP_TEXT object whose whole text is "Converted by quarn from "
// and that name. A BLF file of any other making may be a recording and is never replaced. The
// file is untrusted: a fixed number of small reads, the text read only when its length is the
// expected one. The stream's position is not kept.
bool blf_is_trace_of(Stream& file, StrView source_name);

}  // namespace quarn
