#pragma once

#include <memory>

#include "batch/log_reader.h"

namespace quarn {

// The MDF4 bus log as an input format: the MDF4 reader behind the interface the per-log loop
// drives. A file the reader refuses, or cannot read to the end, fails with the reader's reason.
// Null when memory runs out.
std::unique_ptr<LogReader> mdf4_log_input_create();

}  // namespace quarn
