#include <new>
#include <utility>

#include "batch/record_pipeline.h"
#include "batch/record_store.h"
#include "batch/trace_writer.h"
#include "logging/report.h"

namespace quarn {
namespace {

class TraceFanOut final : public TraceSink {
 public:
  TraceFanOut(std::unique_ptr<TraceWriter>* writers, int count) {
    for (int i = 0; i < count; ++i) {
      if (writers[i]) writers_[count_++] = std::move(writers[i]);
    }
  }

  bool begin_log(const LogContext& run, StrView output_base, const RecordSource& source) override {
    ordered_ = source.time_ordered;
    // Made once, at the first source in time order; without it (no thread, no memory) the
    // records go to the writers on this thread. While it waits for the writers, this thread does
    // what they leave waiting (MDF4 blocks to compress).
    if (ordered_ && !pipeline_tried_) {
      pipeline_tried_ = true;
      pipeline_ = record_pipeline_create(feed_writers, this, help_writers);
      for (int i = 0; pipeline_ && i < count_; ++i) writers_[i]->expect_help();
    }
    frames_lost_ = false;
    source_name_ = source.info.source_name;
    store_.clear();
    for (int i = 0; i < count_; ++i) writers_[i]->begin_file(*run.output_fs, output_base, run.written, source.info);
    return true;
  }

  bool take_record(const BusRecord& record) override {
    if (ordered_) {
      if (pipeline_) {
        pipeline_->push(record);
      } else {
        feed_writers(this, &record, 1);
      }
      return true;
    }
    // A frame that cannot be kept would be missing from the trace while the log counted as
    // converted (and could be deleted): fail the record, and end_log writes no trace.
    if (store_.keep(record)) return true;
    frames_lost_ = true;
    return false;
  }

  TracesEnded end_log(const LogContext& run, StrView output_base, bool complete) override {
    // The writers' work on this log is over before they are told it ended.
    if (pipeline_) pipeline_->drain();
    complete = complete && !frames_lost_;
    if (frames_lost_) {
      report(LogLevel::Error, "Could not keep every frame in memory, no trace written for %.*s", sv_len(output_base),
             output_base.data);
    }
    if (complete && !ordered_) {
      store_.replay([this](const BusRecord& record) {
        for (int i = 0; i < count_; ++i) writers_[i]->write_record(record);
      });
    }
    store_.clear();
    // With delete_converted the input goes as soon as this succeeds, so the traces must be on
    // stable storage first, or a crash could lose both.
    bool durable = run.options->delete_converted;
    bool ok = complete;
    FinishedTraces finished;
    for (int i = 0; i < count_; ++i) ok = writers_[i]->end_file(complete, durable, finished) && ok;
    TracesEnded ended;
    ended.lack = what_every_trace_lacks();
    // Every trace of the log is whole before any goes in place: a log deleted once its traces are
    // in place must not replace an earlier log's trace on the way.
    ReplaceRules rules;
    rules.keep_earlier_traces = run.options->delete_converted;
    rules.input_formats = run.options->input_formats;
    rules.input_format_count = run.options->input_format_count;
    rules.source_name = source_name_;
    ended.ok = put_traces_in_place(finished, durable, rules) && ok;
    return ended;
  }

 private:
  // Null when one writer's traces hold everything (an MDF4 trace beside an ASC one); otherwise
  // the first writer's account of what it lacks.
  const char* what_every_trace_lacks() const {
    const char* lack = nullptr;
    for (int i = 0; i < count_; ++i) {
      const char* l = writers_[i]->lacks();
      if (l == nullptr) return nullptr;
      if (lack == nullptr) lack = l;
    }
    return lack;
  }

  static void feed_writers(void* context, const BusRecord* records, std::size_t count) {
    auto* self = static_cast<TraceFanOut*>(context);
    for (std::size_t k = 0; k < count; ++k) {
      for (int i = 0; i < self->count_; ++i) self->writers_[i]->write_record(records[k]);
    }
  }

  static bool help_writers(void* context) {
    auto* self = static_cast<TraceFanOut*>(context);
    bool helped = false;
    for (int i = 0; i < self->count_; ++i) helped = self->writers_[i]->help() || helped;
    return helped;
  }

  std::unique_ptr<TraceWriter> writers_[kMaxTraceWriters];
  int count_ = 0;
  bool ordered_ = false;
  bool frames_lost_ = false;
  StrView source_name_;  // the current log's file name; valid until end_log returns
  RecordStore store_;
  // Declared last, so that its thread ends before anything it feeds goes away.
  std::unique_ptr<RecordPipeline> pipeline_;
  bool pipeline_tried_ = false;
};

}  // namespace

std::unique_ptr<TraceSink> trace_fan_out_create(std::unique_ptr<TraceWriter>* writers, int count) {
  if (writers == nullptr || count < 0 || count > kMaxTraceWriters) return nullptr;
  return std::unique_ptr<TraceSink>(new (std::nothrow) TraceFanOut(writers, count));
}

}  // namespace quarn
