#pragma once

#include <memory>

#include "batch/converter.h"
#include "batch/trace_writer.h"

namespace quarn {

// The ASC trace format: NAME.asc for the CAN frames of a log and NAME_LIN.asc for its LIN frames,
// each only when there is a frame of its kind, each written as the frames come. Null when memory
// runs out.
//
// A trace that fails anywhere is removed, so no partial trace is left behind; every failure is
// reported when the log ends (TraceWriter::end_file).
std::unique_ptr<TraceWriter> asc_trace_writer_create();

// The suffixes of the files it writes, null-terminated.
inline constexpr const char* kAscTraceSuffixes[] = {".asc", "_LIN.asc", nullptr};

// A converter that writes ASC traces only (asc_trace_writer_create behind trace_fan_out_create); the
// file systems and the options are borrowed and must outlive it.
std::unique_ptr<Converter> asc_only_converter_create(FileSystem* input_fs, FileSystem* output_fs,
                                                     const RunOptions* options);

}  // namespace quarn
