#pragma once

#include <memory>

#include "batch/log_reader.h"

namespace quarn {

// The MDF4 bus log as an input format: the MDF4 decoder behind the interface the per-log loop
// drives. A file the decoder refuses, or cannot read to the end, fails with the decoder's reason.
// Null when memory runs out.
std::unique_ptr<LogReader> mdf4_log_reader_create();

}  // namespace quarn
