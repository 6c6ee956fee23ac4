#pragma once

#include <memory>

#include "base/memory.h"
#include "base/str_view.h"
#include "batch/converter.h"
#include "io/file_system.h"
#include "io/written_files.h"
#include "textlog/bus_record.h"

namespace quarn {

// One trace format. A writer is handed the records of one log in time order and writes its
// trace files as they come, so that its memory does not grow with the log; the converter that
// drives it (trace_converter_create) sorts the records of sources that are not in time order
// first. A writer reports its own failures, all of them from end_file, so that a log's messages
// come in one place and in a fixed order whatever the moment a failure struck.
class TraceWriter : public HeapObject {
 public:
  virtual ~TraceWriter() = default;
  // A log begins. Its traces are named after `output_base` (relative to `output_fs`, without
  // extension), which stays valid until end_file returns. `written`, when not null, holds the
  // traces the run has put in place so far: a trace of such a name is not written again. `info`
  // is what the log says about itself, valid until end_file returns.
  virtual void begin_file(FileSystem& output_fs, StrView output_base, WrittenFiles* written, const LogInfo& info) = 0;
  // The next record, never earlier than the one before. A record the writer cannot write is
  // remembered as a failure of the file, and end_file reports it: the log is still read to its end.
  virtual void write_record(const BusRecord& record) = 0;
  // The log has ended. With `complete` false an earlier step failed and what was read is not the
  // whole log: whatever was written is removed without a word. Otherwise the traces are finished
  // and put in place; with `durable` they are on stable storage when this returns true (the input
  // is removed right after). True when every trace of the log is in place.
  virtual bool end_file(bool complete, bool durable) = 0;
};

// The most formats one run writes at once.
inline constexpr int kMaxTraceWriters = 4;

// A converter that feeds each record to every writer, in the order given (which is also the order
// of their messages). For a source in time order the records go straight through; otherwise they
// are collected, and handed over sorted when the log ends. Takes the writers (null entries are
// passed over); null when memory runs out, when there are more than kMaxTraceWriters, or when an
// argument is missing. The file systems and options are borrowed and must outlive the converter.
std::unique_ptr<Converter> trace_converter_create(std::unique_ptr<TraceWriter>* writers, int count,
                                                  FileSystem* input_fs, FileSystem* output_fs,
                                                  const RunOptions* options);

}  // namespace quarn
