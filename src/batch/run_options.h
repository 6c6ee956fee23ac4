#pragma once

#include <cstdint>

#include "batch/input_format.h"

namespace quarn {

// The most trace files one log has, and so the most suffixes one run writes (".asc", "_LIN.asc",
// ".mf4", ...).
inline constexpr int kMaxTraceFiles = 8;

// The settings the conversion reads; filled once from the command line, then read only.
struct RunOptions {
  bool delete_converted = false;  // remove each input after its successful conversion
  bool no_append_root = false;    // no "_out" behind folder inputs
  bool non_interactive = false;   // no progress output
  std::int64_t buffer_size = -1;  // 0 unbuffered, negative the whole file, positive that size
  std::uint32_t formats = 1;      // the trace formats to write, one bit each (app/trace_formats.h)
  int jobs = 1;                   // logs converted at once
  int shard_index = 0;
  int shard_count = 0;  // 0: no --shard
  // The inputs came (also) from a list (--files-from): under delete_converted a listed input that
  // is gone but has a trace of this run's formats was converted by an earlier run of the same task.
  bool inputs_listed = false;

  // The formats of the logs quarn reads (app/input_formats.h), found by their files' suffix in
  // any letter case. A folder walk converts the files of the formats in `walked_formats` (one bit
  // each); a file named on the command line converts by its suffix whatever they are. None: no
  // file is a log.
  const InputFormat* input_formats = nullptr;
  int input_format_count = 0;
  std::uint32_t walked_formats = 1;

  // The suffixes of the files the run's trace formats write, behind a log's output base; two
  // logs whose traces could take one name finish one after the other, and no trace may take the
  // name of its own log. None: nothing is checked.
  const char* trace_suffixes[kMaxTraceFiles] = {};
  int trace_suffix_count = 0;
};

}  // namespace quarn
