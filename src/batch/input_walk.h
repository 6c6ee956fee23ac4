#pragma once

#include "base/dyn_string.h"
#include "base/str_view.h"
#include "batch/exit_status.h"
#include "batch/log_context.h"
#include "batch/parallel_run.h"
#include "batch/trace_sink.h"
#include "io/file_system.h"
#include "io/path_names.h"

namespace quarn {

// Finds the one folder that directly holds every (normalized, absolute) input, stores it in
// `root` (ending in "/") and makes every input relative to it. On failure sets `status` to 132,
// leaves `inputs` as they were and returns false ("Could not find root for %.*s" or "No common
// root detected for all inputs", both Fatal; no message for an empty list).
bool find_common_root(DynStringList& inputs, DynString& root, int& status);

// find_common_root for inputs listed in a file (--files-from), which lie at any depth: the root is
// the deepest folder that holds every input, and the inputs keep their paths below it. The same
// messages and status when there is none ("Could not find root for %.*s" for an input with no
// folder above it).
bool find_deepest_root(DynStringList& inputs, DynString& root, int& status);

// Converts every input in order and returns the OR of their statuses. A folder input gets "_out"
// behind its name unless no_append_root is set. A failed query ends the run with 129. The run,
// however it ends, closes with one Info line that counts its logs and frames (run_totals_report).
// The run lends each log the context with its own record of written files, named inputs and totals.
[[nodiscard]] int convert_inputs(const LogContext& run, TraceSink& sink, const DynStringList& inputs);

// With a shard (options->shard_count > 0) only the logs whose output base falls in it are
// converted (shard_of); the others, and missing inputs of other shards, are passed over without
// a word and counted in one Debug line.
// convert_inputs with up to `jobs` logs converted at once, each into a sink of its own from
// `make`; the walk lends them the file systems, options and progress display of `walker`.
// The traces, statuses and diagnostic lines are those of convert_inputs, in the same order.
// 1 (or less) is convert_inputs itself.
[[nodiscard]] int convert_inputs_parallel(const LogContext& walker, TraceSink& sink, int jobs, TraceSinkFactory make,
                                          void* context, const DynStringList& inputs);

// Converts one path (input relative to input_fs, output relative to output_fs): a folder
// recursively in name order, taking the files of the walked input formats; a file by its suffix
// (any input format, any letter case). Returns its status.
[[nodiscard]] int convert_path(const LogContext& run, TraceSink& sink, StrView input_path, StrView output_path);

}  // namespace quarn
