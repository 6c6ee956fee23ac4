#include <new>
#include <utility>

#include "batch/record_store.h"
#include "batch/trace_writer.h"
#include "logging/report.h"

namespace quarn {
namespace {

class TraceConverter final : public Converter {
 public:
  TraceConverter(std::unique_ptr<TraceWriter>* writers, int count) {
    for (int i = 0; i < count; ++i) {
      if (writers[i]) writers_[count_++] = std::move(writers[i]);
    }
  }

  bool new_file(StrView output_base, const RecordSource& source) override {
    ordered_ = source.time_ordered;
    frames_lost_ = false;
    store_.clear();
    for (int i = 0; i < count_; ++i) writers_[i]->begin_file(*output_fs, output_base, written);
    return true;
  }

  bool handle_record(const BusRecord& record) override {
    if (ordered_) {
      for (int i = 0; i < count_; ++i) writers_[i]->write_record(record);
      return true;
    }
    // A frame that cannot be kept would be missing from the trace while the log counted as
    // converted (and could be deleted): fail the record, and end_file writes no trace.
    if (store_.keep(record)) return true;
    frames_lost_ = true;
    return false;
  }

  bool end_file(StrView output_base) override {
    bool complete = !file_failed && !frames_lost_;
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
    bool durable = options->delete_converted;
    bool ok = complete;
    for (int i = 0; i < count_; ++i) ok = writers_[i]->end_file(complete, durable) && ok;
    return ok;
  }

 private:
  std::unique_ptr<TraceWriter> writers_[kMaxTraceWriters];
  int count_ = 0;
  bool ordered_ = false;
  bool frames_lost_ = false;
  RecordStore store_;
};

}  // namespace

std::unique_ptr<Converter> trace_converter_create(std::unique_ptr<TraceWriter>* writers, int count,
                                                  FileSystem* input_fs, FileSystem* output_fs,
                                                  const RunOptions* options) {
  if (writers == nullptr || count < 0 || count > kMaxTraceWriters) return nullptr;
  std::unique_ptr<Converter> converter(new (std::nothrow) TraceConverter(writers, count));
  if (!converter) return nullptr;
  if (!converter_init(converter.get(), input_fs, output_fs, true, options)) return nullptr;
  return converter;
}

}  // namespace quarn
