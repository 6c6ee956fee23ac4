#pragma once

#include <cstdint>

#include "base/str_view.h"
#include "batch/named_inputs.h"
#include "batch/run_options.h"
#include "batch/run_totals.h"
#include "io/file_system.h"
#include "io/written_files.h"

namespace quarn {

// What the per-log loop tells a live progress display. The loop makes these calls only when the
// run has an observer, so a run without one pays a null test per record and nothing else.
class ProgressObserver {
 public:
  virtual ~ProgressObserver() = default;
  // A log is about to be opened. `input_path` (relative to the input file system) stays valid
  // until file_finished returns.
  virtual void file_started(StrView input_path) = 0;
  // Every kProgressStride records of the file in hand: the records read from it so far and the
  // bytes of it read so far.
  virtual void file_advanced(std::int64_t records, std::int64_t bytes) = 0;
  // The file is done, converted or not, with the records and bytes read from it in all.
  virtual void file_finished(bool converted, std::int64_t records, std::int64_t bytes) = 0;
};

// A power of two, so that the loop's test is a mask. At the usual rate of a few million records
// a second this informs the observer some thousand times a second: often enough for a display
// that redraws four times a second, rarely enough that it costs nothing measurable.
inline constexpr std::int64_t kProgressStride = 4096;

// Where a log converted beside others waits, before its traces go in place, until the earlier log
// in walk order whose traces could take the same names is done: of two such logs the first keeps
// the names, whichever was faster.
class NamesakeWait {
 public:
  virtual ~NamesakeWait() = default;
  virtual void wait_for_namesake() = 0;
};

class RunReport;

// What a run lends the conversion of each of its logs: where logs and traces live, the options,
// and the run's records of what it has done so far. Everything is borrowed. A walk lends its
// own record of written files, named inputs and totals for its length; a log converted beside
// others gets a copy with its worker's totals, progress slot and namesake wait.
struct LogContext {
  FileSystem* input_fs = nullptr;   // logs are named relative to it
  FileSystem* output_fs = nullptr;  // traces likewise; may be the very same object as input_fs
  bool create_output_dirs = true;   // make the parent folders of each output before converting
  const RunOptions* options = nullptr;
  ProgressObserver* progress = nullptr;  // null when no progress is shown
  // The traces the run has put in place. Null outside a run, where logs may write a trace of one
  // name again.
  WrittenFiles* written = nullptr;
  RunTotals* totals = nullptr;       // null: the logs are not counted
  NamesakeWait* namesake = nullptr;  // null: never waits
  RunReport* report = nullptr;       // null when no run report is asked for
  // The files the run's command line names, which no trace may replace. Null outside a run,
  // where only a trace that would replace its own log is refused.
  const NamedInputs* named = nullptr;
};

// Whether the context has what any conversion needs: both file systems and the options.
inline bool log_context_usable(const LogContext& run) {
  return run.input_fs != nullptr && run.output_fs != nullptr && run.options != nullptr;
}

}  // namespace quarn
