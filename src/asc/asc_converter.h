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
std::unique_ptr<TraceWriter> asc_writer_create();

// A converter that writes ASC traces only (asc_writer_create behind trace_converter_create); the
// file systems and the options are borrowed and must outlive it.
std::unique_ptr<Converter> asc_converter_create(FileSystem* input_fs, FileSystem* output_fs,
                                                const RunOptions* options);

}  // namespace quarn
