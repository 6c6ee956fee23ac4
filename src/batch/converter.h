#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "base/memory.h"
#include "base/str_view.h"
#include "batch/bus_record.h"
#include "batch/exit_status.h"
#include "batch/log_reader.h"
#include "batch/named_inputs.h"
#include "batch/run_options.h"
#include "batch/run_totals.h"
#include "io/file_system.h"
#include "io/written_files.h"

namespace quarn {

// What the per-log loop tells a live progress display. The loop makes these calls only when the
// converter has an observer, so a run without one pays a null test per record and nothing else.
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

// What a converter is told about where the records of a file come from.
struct RecordSource {
  // Records arrive in non-decreasing time order (a text log's reader skips any that would not),
  // so a trace can be written as they come instead of being collected and sorted first.
  bool time_ordered = false;
  LogInfo info;
};

// Where a log converted beside others waits, before its traces go in place, until the earlier log
// in walk order whose traces could take the same names is done: of two such logs the first keeps
// the names, whichever was faster.
class RunReport;

class NamesakeWait {
 public:
  virtual ~NamesakeWait() = default;
  virtual void wait_for_namesake() = 0;
};

// The output side of a run: what the records of each log go to. The driver (convert_log,
// converter_run) is common; a concrete converter overrides the operations it has. Each default is what a converter
// without that operation amounts to. The destructor is the destroy operation.
class Converter : public HeapObject {
 public:
  virtual ~Converter() = default;
  // Last step of converter_init, with the common fields set.
  virtual bool init() { return true; }
  // Once per record of the current file; the record is only borrowed for the call.
  virtual bool handle_record(const BusRecord& /*record*/) { return true; }
  // Once per file whose log opened, before its first record.
  virtual bool new_file(StrView /*output_base*/, const RecordSource& /*source*/) { return true; }
  // Once per file whose log opened, after its last record, also after a failure in that file
  // (file_failed then tells so).
  virtual bool end_file(StrView /*output_base*/) { return true; }

  FileSystem* input_fs = nullptr;       // borrowed: owned by the tool context
  FileSystem* output_fs = nullptr;      // borrowed; may be the very same object as input_fs
  bool create_output_dirs = false;      // make the parent folders of each output before converting
  const RunOptions* options = nullptr;  // borrowed
  ProgressObserver* progress = nullptr; // borrowed; null when no progress is shown
  // Borrowed from converter_run for the run: the traces it has put in place. Null outside a run,
  // where a converter's logs may write a trace of one name again.
  WrittenFiles* written = nullptr;
  RunTotals* totals = nullptr;          // borrowed: owned by converter_run while it runs
  NamesakeWait* namesake = nullptr;     // borrowed from a parallel run; null: never waits
  RunReport* report = nullptr;          // borrowed: the run report; null when none is asked for
  // Borrowed from converter_run for the run: the files its command line names, which no trace may
  // replace. Null outside a run, where only a trace that would replace its own log is refused.
  const NamedInputs* named = nullptr;
  // Set by the conversion loop for end_file: an earlier step of the current file failed (its log
  // could not be read to the end, say), so what was gathered is not the whole log and must not be
  // written as if it were.
  bool file_failed = false;
  // Set by end_file for the conversion loop: null when some trace of the file holds everything its
  // log held; otherwise what the traces lack (see TraceWriter::lacks), and the log is not deleted.
  const char* traces_lack = nullptr;
};

// Stores the common fields and runs init. False, changing nothing, when any argument is missing.
bool converter_init(Converter* converter, FileSystem* input_fs, FileSystem* output_fs,
                    bool create_output_dirs, const RunOptions* options);

// Destroys the converter (null allowed). The file systems and options are not touched.
void converter_release(std::unique_ptr<Converter>& converter);

}  // namespace quarn
