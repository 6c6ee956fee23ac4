#pragma once

#include <memory>

#include "batch/log_reader.h"

namespace quarn {

// The logger text log as an input format: the decoder of text_log_decoder.h behind the interface
// the per-log loop drives. Its records come in time order (frames that step back are skipped and
// counted), its stray lines are counted, and its properties are the header block's "# Key: value"
// lines. Null when memory runs out.
std::unique_ptr<LogReader> text_log_reader_create();

}  // namespace quarn
