#pragma once

#include <cstddef>
#include <memory>

#include "batch/log_reader.h"

namespace quarn {

// How many frames the BLF reader holds back to put them in time order. Loggers with several
// channels write each channel's frames as they come, and a frame may land a little after a later
// one of another channel: within this many frames such a frame still takes its place; one that
// lies further back is skipped and counted, as a text log's are.
inline constexpr std::size_t kBlfOrderWindow = 1024;

// The BLF log as an input format: the BLF decoder behind the interface the per-log loop drives,
// handing out frames in time order. Null when memory runs out.
std::unique_ptr<LogReader> blf_log_reader_create();

}  // namespace quarn
