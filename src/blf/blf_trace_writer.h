#pragma once

#include <memory>

#include "batch/trace_writer.h"
#include "blf/blf_writer.h"

namespace quarn {

// The BLF trace format: NAME.blf, holding every CAN frame (data, remote and error) and LIN frame
// of a log in one file, written as the frames come. It starts with the log's name, by which a
// later run knows it for this log's trace (blf_origin.h). A log without frames writes no file.
// The file bytes depend only on the log and the options. Its buffers (about 1.2 MiB) are taken
// at the first frame. Null when memory runs out.
std::unique_ptr<TraceWriter> blf_trace_writer_create(const BlfWriterOptions& options = {});

// The suffixes of the files it writes, null-terminated.
inline constexpr const char* kBlfTraceSuffixes[] = {".blf", nullptr};

}  // namespace quarn
