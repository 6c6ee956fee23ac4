#pragma once

#include <memory>

#include "batch/trace_writer.h"

namespace quarn {

// The ASC trace format: NAME.asc for the CAN frames of a log and NAME_LIN.asc for its LIN frames,
// each only when there is a frame of its kind, each written as the frames come. Null when memory
// runs out.
//
// A trace that fails anywhere is removed, so no partial trace is left behind; every failure is
// reported when the log ends (TraceWriter::end_file).
std::unique_ptr<TraceWriter> asc_trace_writer_create();

// The suffixes of the files it writes, null-terminated: the CAN trace's, then the LIN trace's.
inline constexpr const char* kAscTraceSuffixes[] = {".asc", "_LIN.asc", nullptr};

// A sink that writes ASC traces only (asc_trace_writer_create behind trace_fan_out_create).
std::unique_ptr<TraceSink> asc_only_sink_create();

}  // namespace quarn
