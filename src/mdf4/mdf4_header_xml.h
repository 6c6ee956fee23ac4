#pragma once

// The XML comments of the file's head that the MDF4 writer fills in: the header's, naming the
// source log and listing what its header says about itself, and the file history's, naming quarn
// and its version. Text goes in escaped for XML, bytes that are not UTF-8 replaced.

#include "base/dyn_string.h"
#include "base/str_view.h"
#include "batch/log_reader.h"

namespace quarn::mdf4 {

// The file history's comment, for quarn at `version` ("2.4.0"); false when memory runs out.
bool history_comment(DynString& s, StrView version);

// The header's comment: the log's file name as its description, and each "Key: value" line of
// the log's header as a property, in the log's order. False when memory runs out.
bool header_comment(DynString& s, const LogInfo& info);

}  // namespace quarn::mdf4
