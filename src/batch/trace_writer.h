#pragma once

#include <memory>

#include "base/memory.h"
#include "base/str_view.h"
#include "batch/input_format.h"
#include "batch/run_options.h"
#include "batch/trace_sink.h"
#include "io/file_system.h"
#include "io/output_file.h"
#include "io/written_files.h"

namespace quarn {

// The traces of one log that their writers have finished: complete and closed under their
// temporary names, waiting to be put in place together, once all of them are known to be whole.
struct FinishedTraces {
  // Whether an existing file is this format's trace of the log named `source_name`, as an earlier
  // run wrote it; reads a little of the file, which is untrusted.
  using OriginTest = bool (*)(Stream& existing, StrView source_name);
  struct Entry {
    OutputFile* file;  // borrowed from its writer until the log's end_file returns
    const char* what;  // "CAN", "LIN", "MDF4": the trace kind, as the messages name it
    OriginTest is_trace_of;  // null: the format cannot tell its own traces
  };
  Entry items[kMaxTraceFiles];
  int count = 0;

  // Adds a finished trace; false (the trace is discarded) when there is no room, which only a
  // writer with too many traces of its own could cause.
  bool add(OutputFile& file, const char* what, OriginTest is_trace_of = nullptr);
};

// One trace format. A writer is handed the records of one log in time order and writes its
// trace files as they come, so that its memory does not grow with the log; the sink that
// drives it (trace_fan_out_create) sorts the records of sources that are not in time order
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
  // (finish_trace: synced when `durable`, closed) and added to `finished`, and the caller puts
  // them in place (put_traces_in_place); they must stay untouched until then. True when every
  // trace the log needs was finished.
  virtual bool end_file(bool complete, bool durable, FinishedTraces& finished) = 0;
  // Asked after end_file: null when the log's traces hold every field of every record the writer
  // was given (times to the trace's resolution), otherwise what they lack, worded for "Kept %s: "
  // ahead of it. A log no trace of which holds everything must not be deleted.
  virtual const char* lacks() const { return nullptr; }
  // Told once, before the first log, when write_record runs on a thread of its own and the reading
  // thread calls help() whenever it waits for it: a writer may then leave work to that thread
  // rather than start threads of its own, which on few cores would only take turns with both.
  virtual void expect_help() {}
  // Does a piece of the writer's deferred work (a block to compress) on the calling thread, while
  // write_record may run on another. One such thread at a time. True when there was some.
  virtual bool help() { return false; }
};

// Where a log's trace goes, as TraceWriter::begin_file gives it; valid until end_file returns.
struct TraceTarget {
  FileSystem* fs = nullptr;
  StrView base_name;                // the log's output base, without extension
  WrittenFiles* written = nullptr;  // null outside a run
  LogInfo info;                     // what the log says about itself

  void set(FileSystem& output_fs, StrView output_base, WrittenFiles* written_files, const LogInfo& log_info) {
    fs = &output_fs;
    base_name = output_base;
    written = written_files;
    info = log_info;
  }
  // Opens `file` as the trace behind `suffix`, in blocks of `block` bytes.
  bool open(OutputFile& file, const char* suffix, std::size_t block) const {
    return file.open(*fs, base_name, suffix, block, written);
  }
};

// Finishes a trace (flush, sync when `durable`, close) and reports a failure: "Could not flush
// %s trace to disk: %s" for a sync, `write_failed` (when not null) for a write. True when it is
// finished; otherwise it is discarded.
bool finish_trace(OutputFile& file, bool durable, const char* what, const char* write_failed);

// Reports why a trace could not be opened: "Output file already written in this run: %s", or
// "Could not open output file for %s: %s" with the failed call explained.
void report_open_failure(const OutputFile& file, const char* what);

// What a log's traces may replace, besides files of their own bytes.
struct ReplaceRules {
  // The log is deleted once its traces are in place: an earlier trace of other bytes may be the
  // only copy of an earlier log.
  bool keep_earlier_traces = false;
  // The input formats, whose suffixes name files that may be recordings, and the log's file name,
  // by which a trace of a run before is told from one.
  const InputFormat* input_formats = nullptr;
  int input_format_count = 0;
  StrView source_name;
};

// Puts the finished traces of one log in place, each reporting its own failure ("Could not move %s
// trace into place: %s", "Output file already written in this run: %s", "Could not flush %s trace
// to disk: %s"). Every trace is first compared with a file that its name holds already, unless
// this run wrote that file, where that file could be a log: one whose suffix is an input format's
// ("Output file would replace a log: %s", unless it is this format's own earlier trace of the same
// log), and with `keep_earlier_traces` any file ("Output file exists with other contents: %s").
// The same bytes are replaced as usual; otherwise no trace of the log is put in place. True when
// every trace is in place.
bool put_traces_in_place(FinishedTraces& finished, bool durable, const ReplaceRules& rules);

// The most formats one run writes at once.
inline constexpr int kMaxTraceWriters = 4;

// A sink that feeds each record to every writer, in the order given (which is also the order of
// their messages). For a source in time order the records go straight through; otherwise they are
// collected, and handed over sorted when the log ends. Takes the writers (null entries are passed
// over); null when memory runs out, when there are more than kMaxTraceWriters, or when `writers`
// is missing.
std::unique_ptr<TraceSink> trace_fan_out_create(std::unique_ptr<TraceWriter>* writers, int count);

}  // namespace quarn
