#pragma once

#include "base/dyn_string.h"
#include "base/str_view.h"
#include "io/stream.h"

namespace quarn {

// Text from outside as XML character data or attribute value: the markup characters escaped, and
// whatever XML cannot hold (bytes that are not UTF-8, control characters) replaced by U+FFFD, so
// that a reader's XML parser always accepts the comment. False when memory runs out.
[[nodiscard]] bool mdf4_append_xml(DynString& s, StrView text);

// How quarn's MDF4 traces say which log they came from: the header comment's text, "Converted by
// quarn from " and the log's file name (as XML). False when memory runs out.
[[nodiscard]] bool mdf4_append_origin(DynString& s, StrView source_name);

// Whether `file` is an MDF4 file that quarn wrote from the log named `source_name`: so that a run
// over the same logs may replace it, where an MDF4 file of any other making may be a recording
// that must never be replaced. The file is untrusted: it reads the identification block, the
// header block and no more of the header's comment than the expected text, wherever the links
// point, so a damaged or hostile file costs a few small reads. The stream's position is not kept.
bool mdf4_is_trace_of(Stream& file, StrView source_name);

}  // namespace quarn
