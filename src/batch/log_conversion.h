#pragma once

#include "base/str_view.h"
#include "batch/exit_status.h"
#include "batch/input_format.h"
#include "batch/log_context.h"
#include "batch/trace_sink.h"

namespace quarn {

// Converts one log (relative to the context's input_fs) of the given format into the output base
// path (relative to output_fs, without extension): opens it, hands every record its reader gives
// to the sink, and closes it. 0 when converted, 8 when anything failed; reports each failure.
//
// A log fails too when its reader refuses it or fails while reading (one line with its reason),
// when its reading stopped before the end of its data (a read error, or text after a zero byte),
// when it had frames but none in time order, or when one of its traces would take its own name
// ("Output file would replace its input", the log untouched). A log read to its end that held
// stray lines or frames stepping back in time gets a warning that counts each.
//
// With delete_converted the input is removed only after success, and not when frames were
// skipped for stepping back, nor when no trace holds everything the log held (the
// lack the sink's end_log gives): a warning names the log and what its traces lack. With totals,
// the log is added to them. With a progress observer, each log is announced before it is opened
// and finished after its status is known.
[[nodiscard]] int convert_log(const LogContext& run, TraceSink& sink, const InputFormat& format, StrView input_path,
                              StrView output_base);

}  // namespace quarn
