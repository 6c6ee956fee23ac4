#include "mdf4/mdf4_trace_writer.h"

#include <new>

#include "batch/helped_writer.h"
#include "io/output_file.h"
#include "logging/report.h"
#include "mdf4/mdf4_origin.h"
#include "mdf4/mdf4_writer.h"

namespace quarn {
namespace {

constexpr char kMdf4LastStart[] = "2554-07-21 23:34:33 UTC";

// The MDF4 writer lays out blocks of 1 MiB itself; these go straight through, and the small
// blocks of the file's head gather here.
constexpr std::size_t kHeadBlock = std::size_t{64} << 10;

class Mdf4TraceWriter final : public TraceWriter {
 public:
  Mdf4TraceWriter(StrView tool_version, const Mdf4WriterOptions& options, std::unique_ptr<Mdf4Writer> writer)
      : version_(tool_version), options_(options), writer_(std::move(writer)) {}

  void begin_file(FileSystem& output_fs, StrView output_base, WrittenFiles* written, const LogInfo& info) override {
    target_.set(output_fs, output_base, written, info);
    state_ = State::Idle;
  }

  void write_record(const BusRecord& record) override {
    switch (record.Kind) {
      case CAN_DataFrame:
      case CAN_RemoteFrame:
      case CAN_ErrorFrame:
      case LIN_Frame: break;
      default: return;
    }
    if (state_ == State::Idle) start(record);
    if (state_ == State::Writing && !writer_->add(record)) state_ = State::DataFailed;
  }

  bool end_file(bool complete, bool durable, FinishedTraces& finished) override {
    writer_.close_to_help();
    if (!complete) {
      // A trace of part of a log would look complete; the loop reports the failure.
      if (file_.is_open()) file_.discard();
      writer_.drop();
      return false;
    }
    switch (state_) {
      case State::Idle: return true;
      case State::Writing: return finish(durable) && finished.add(file_, "MDF4", mdf4_is_trace_of);
      case State::OpenFailed: report_open_failure(file_, "MDF4"); return false;
      case State::TimeFailed:
        // The header block's start time is in nanoseconds since 1970 in 64 bits.
        report(LogLevel::Error, "Could not convert MDF4 time of %.*s: MDF4 files start from 1970 to %s",
               sv_len(target_.info.source_path), target_.info.source_path.data, kMdf4LastStart);
        break;
      case State::DataFailed: report_data_failure(); break;
      case State::MemoryFailed:
        report(LogLevel::Error, "Could not allocate memory for the MDF4 trace of %.*s", sv_len(target_.base_name),
               target_.base_name.data);
        break;
    }
    if (file_.is_open()) file_.discard();
    writer_.drop();
    return false;
  }

  void expect_help() override { writer_.expect_help(); }
  // Any thread; write_record may be running on another.
  bool help() override { return writer_.help(); }

 private:
  enum class State { Idle, Writing, OpenFailed, TimeFailed, DataFailed, MemoryFailed };

  // A compressor that failed is told apart from the file's writes: the disk is not to blame.
  void report_data_failure() {
    const bool compressing = writer_ && writer_->compression_failed();
    if (!compressing) file_.explain_failure();
    report(LogLevel::Error, compressing ? "Could not compress MDF4 data" : "Could not write MDF4 data");
  }

  // Opens the file at the log's first frame, whose whole second is the file's start time.
  void start(const BusRecord& first) {
    // A writer serves one file at a time; one that failed is made anew for the next log.
    if (writer_.get_or_make([this] { return mdf4_writer_create(options_); }) == nullptr) {
      state_ = State::MemoryFailed;
      return;
    }
    if (!target_.open(file_, kMdf4TraceSuffixes[0], kHeadBlock)) {
      state_ = State::OpenFailed;
      return;
    }
    if (!writer_->begin(file_, first.Timestamp, version_, target_.info)) {
      // The writer turns down a time no file can start at before it writes anything.
      state_ = file_.good() && file_.size() == 0 ? State::TimeFailed : State::DataFailed;
      file_.discard();
      return;
    }
    state_ = State::Writing;
    writer_.open_to_help();
  }

  bool finish(bool durable) {
    if (!writer_->finish()) {
      report_data_failure();
      writer_.drop();
      file_.discard();
      return false;
    }
    // The next log reuses the writer's memory.
    writer_->reset();
    return finish_trace(file_, durable, "MDF4", "Could not write MDF4 data");
  }

  StrView version_;
  Mdf4WriterOptions options_;
  HelpedWriter<Mdf4Writer> writer_;
  TraceTarget target_;  // the current log's
  State state_ = State::Idle;
  OutputFile file_;
};

}  // namespace

std::unique_ptr<TraceWriter> mdf4_trace_writer_create(StrView tool_version, const Mdf4WriterOptions& options) {
  std::unique_ptr<Mdf4Writer> writer = mdf4_writer_create(options);
  if (!writer) return nullptr;
  return std::unique_ptr<TraceWriter>(new (std::nothrow) Mdf4TraceWriter(tool_version, options, std::move(writer)));
}

}  // namespace quarn
