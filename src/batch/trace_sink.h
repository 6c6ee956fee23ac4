#pragma once

#include "base/memory.h"
#include "base/str_view.h"
#include "batch/bus_record.h"
#include "batch/log_context.h"
#include "batch/log_info.h"

namespace quarn {

// What a sink is told about where the records of a log come from.
struct RecordSource {
  // Records arrive in non-decreasing time order (a text log's reader skips any that would not),
  // so a trace can be written as they come instead of being collected and sorted first.
  bool time_ordered = false;
  LogInfo info;
};

// How the traces of a log ended.
struct TracesEnded {
  bool ok = false;  // every trace the log needs is in place
  // Null when some trace of the log holds everything its log held; otherwise what the traces
  // lack (see TraceWriter::lacks), and the log must not be deleted.
  const char* lack = nullptr;
};

// The output side of a run: what the records of each log go to, one log at a time. The per-log
// loop (convert_log) drives it; the run's context comes with each log, so that one sink serves
// a walk and a parallel worker alike.
class TraceSink : public HeapObject {
 public:
  virtual ~TraceSink() = default;
  // Once per log that opened, before its first record. Its traces are named after `output_base`
  // (relative to the context's output file system, without extension), which stays valid until
  // end_log returns.
  virtual bool begin_log(const LogContext& run, StrView output_base, const RecordSource& source) = 0;
  // Once per record of the log; the record is only borrowed for the call.
  virtual bool take_record(const BusRecord& record) = 0;
  // Once per log that opened, after its last record, also after a failure in that log:
  // `complete` false says an earlier step failed (its log could not be read to the end, say), so
  // what was gathered is not the whole log and must not be written as if it were.
  virtual TracesEnded end_log(const LogContext& run, StrView output_base, bool complete) = 0;
};

}  // namespace quarn
