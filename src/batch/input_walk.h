#pragma once

#include "base/dyn_string.h"
#include "base/str_view.h"
#include "batch/converter.h"
#include "batch/parallel_run.h"
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
[[nodiscard]] int converter_run(Converter* converter, const DynStringList& inputs);

// With a shard (options->shard_count > 0) only the logs whose output base falls in it are
// converted (shard_of); the others, and missing inputs of other shards, are passed over without
// a word and counted in one Debug line.
// converter_run with up to `jobs` logs converted at once, each by a converter of its own from
// `make`; `walker` walks the inputs and lends its file systems, options and progress display.
// The traces, statuses and diagnostic lines are those of converter_run, in the same order.
// 1 (or less) is converter_run itself.
[[nodiscard]] int converter_run_parallel(Converter* walker, int jobs, ConverterFactory make, void* context,
                                         const DynStringList& inputs);

// Converts one path (input relative to input_fs, output relative to output_fs): a folder
// recursively in name order, taking the files of the walked input formats; a file by its suffix
// (any input format, any letter case). Returns its status.
[[nodiscard]] int converter_process_path(Converter* converter, StrView input_path, StrView output_path);

}  // namespace quarn
