#pragma once

#include <memory>

#include "base/str_view.h"
#include "batch/trace_writer.h"
#include "mdf4/mdf4_writer.h"

namespace quarn {

// The MDF4 trace format: NAME.mf4 beside where NAME.asc goes, holding every CAN frame (data,
// remote and error) and LIN frame of a log in the bus-logging layout that python-can and
// asammdf read, written as the frames come, its data blocks compressed as `options` say. The
// header's comment carries the log's name and what its header says. A log without frames writes
// no file. The file bytes depend only on the log, `tool_version` (which the file's history
// names) and the options. Null when memory runs out.
std::unique_ptr<TraceWriter> mdf4_trace_writer_create(StrView tool_version, const Mdf4WriterOptions& options = {});

// The suffixes of the files it writes, null-terminated.
inline constexpr const char* kMdf4TraceSuffixes[] = {".mf4", nullptr};

}  // namespace quarn
