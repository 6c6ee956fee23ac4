#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "base/memory.h"
#include "base/str_view.h"
#include "batch/run_totals.h"
#include "io/file_system.h"
#include "io/written_files.h"
#include "textlog/bus_record.h"

namespace quarn {

// The settings the conversion reads; filled once from the command line, then read only.
struct RunOptions {
  bool delete_converted = false;  // remove each input after its successful conversion
  bool no_append_root = false;    // no "_out" behind folder inputs
  bool non_interactive = false;   // no progress output
  std::int64_t buffer_size = -1;  // 0 unbuffered, negative the whole file, positive that size
  std::uint32_t formats = 1;      // the trace formats to write, one bit each (app/trace_formats.h)
  int jobs = 1;                   // logs converted at once
};

// Exit statuses; several are OR-combined over the inputs.
inline constexpr int kStatusOk = 0;
inline constexpr int kStatusInputMissing = 1;
inline constexpr int kStatusConvertFailed = 8;
inline constexpr int kStatusBadPath = 129;        // neither file nor folder; or a failed query
inline constexpr int kStatusMissingValue = 130;   // an option without its value
inline constexpr int kStatusBadInteger = 131;     // an integer option that does not parse, or a bad verbosity
inline constexpr int kStatusNoCommonRoot = 132;
inline constexpr int kStatusSetupFailed = 133;    // the run could not be set up; nothing converted
inline constexpr int kStatusParseError = 134;     // and a --format value that names no format

// What the per-file loop tells a live progress display. The loop makes these calls only when the
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

// One "Key: value" line of what a log says about itself (a text log's "#" header block).
struct LogProperty {
  StrView key;
  StrView value;
};

// What a log says about itself, for trace formats that carry it along. Everything is borrowed
// from the reader and stays valid until the log's end_file returns.
struct LogInfo {
  StrView source_name;                      // the log's file name, without its folders
  const LogProperty* properties = nullptr;  // in the order the log gives them
  std::size_t property_count = 0;
};

// What a converter is told about where the records of a file come from.
struct RecordSource {
  // Records arrive in non-decreasing time order (a text log's reader skips any that would not),
  // so a trace can be written as they come instead of being collected and sorted first.
  bool time_ordered = false;
  LogInfo info;
};

// Where a log converted beside others waits until every log before it in walk order is done, so
// that it puts its traces in place, removes its input and counts in walk order.
class TurnGate {
 public:
  virtual ~TurnGate() = default;
  virtual void wait_turn() = 0;
};

// The output side of a run. The driver (converter_convert_file, converter_run) is common; a
// concrete converter overrides the operations it has. Each default is what a converter without
// that operation amounts to. The destructor is the destroy operation.
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
  TurnGate* turn = nullptr;             // borrowed from a parallel run; null: never waits
  // Set by the conversion loop for end_file: an earlier step of the current file failed (its log
  // could not be read to the end, say), so what was gathered is not the whole log and must not be
  // written as if it were.
  bool file_failed = false;
};

// Stores the common fields and runs init. False, changing nothing, when any argument is missing.
bool converter_init(Converter* converter, FileSystem* input_fs, FileSystem* output_fs,
                    bool create_output_dirs, const RunOptions* options);

// Destroys the converter (null allowed). The file systems and options are not touched.
void converter_release(std::unique_ptr<Converter>& converter);

// Converts one input file (relative to input_fs) into the output base path (relative to
// output_fs, without extension). 0 when converted, 8 when anything failed; reports each failure.
// A log whose reading stopped before the end of the file (a read error, or a line starting with
// a zero byte that anything but zero bytes follow) has failed too. A log read to its end that
// held stray lines gets a warning that counts them. With delete_converted the input is removed
// only after success. With totals, the log is added to them.
// With a progress observer, each file is announced before it is opened and finished after its
// status is known, whether it converted or not.
[[nodiscard]] int converter_convert_file(Converter* converter, StrView input_path, StrView output_base);

}  // namespace quarn
