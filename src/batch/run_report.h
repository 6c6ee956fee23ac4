#pragma once

#include <cstddef>
#include <cstdint>

#include "base/dyn_string.h"
#include "base/memory.h"
#include "base/str_view.h"
#include "batch/input_format.h"
#include "batch/run_totals.h"
#include "io/file_system.h"
#include "io/output_file.h"
#include "logging/report.h"

namespace quarn {

// Appends `bytes` to `out` as the inside of a JSON string. Valid UTF-8 passes as it is (controls,
// quote and backslash escaped); every byte of a sequence that is not valid UTF-8 becomes the lone
// surrogate escape "\udcXX" of its value (0x80..0xFF). Valid text never decodes to a lone
// surrogate, so two different byte strings never give the same JSON text, and the bytes can be
// had back. False when memory runs out.
[[nodiscard]] bool json_append_string(DynString& out, StrView bytes);

// What one log amounted to, gathered on the thread that converts it: its own diagnostic lines
// (tapped from the log while it is in hand), the traces it put in place, and its counts. Built
// into one JSON line when the log is done.
class LogRecord {
 public:
  LogRecord() = default;
  ~LogRecord();
  LogRecord(const LogRecord&) = delete;
  LogRecord& operator=(const LogRecord&) = delete;

  // From now on this thread's diagnostic lines and traces go to this record, which is emptied.
  void begin(StrView input_path, const InputFormat& format);
  // The log's result, once known (convert_log).
  void set_result(int status, const LogCounts& counts);
  // Stops gathering and lays the record out as its line ("\n" included); line() holds it.
  void end();
  StrView line() const { return dynstr_view(line_); }

  // Called where a trace of the log in hand on this thread is put in place, and where its result
  // is known; nothing when no record gathers on this thread (one null test).
  static void note_trace(const char* path, std::uint64_t size);
  static void note_result(int status, const LogCounts& counts);

 private:
  static void tap(void* context, LogLevel level, const char* text, std::size_t length);

  DynString input_;
  const char* format_ = "";
  DynString traces_;       // the inside of the "traces" array
  DynString diagnostics_;  // the inside of the "diagnostics" array
  DynString line_;
  LogCounts counts_;
  int status_ = 0;
  bool failed_ = false;  // memory ran out while gathering: the line says so
};

// The run report: one JSON line per log in the order of the diagnostics, then a summary line.
// Written under a temporary name as the run goes, and put in place when the run ends, as a trace
// is (io/output_file.h): a run stopped by a signal leaves no report under its name.
class RunReport : public HeapObject {
 public:
  // Creates the file `name` (relative to `fs`, which must outlive this) under its temporary name.
  // False, after an Error line, when it cannot be created.
  [[nodiscard]] bool open(FileSystem& fs, StrView name);
  // Adds the record's line; only one thread at a time, in the order of the diagnostics.
  void add(const LogRecord& record);
  // Adds the summary and puts the file in place; false, after an Error line, when it could not be.
  [[nodiscard]] bool finish(const RunTotals& totals, int status, int shard_index, int shard_count);

 private:
  OutputFile file_;
  std::int64_t started_ns_ = 0;
};

}  // namespace quarn
