#include "blf/blf_trace_writer.h"

#include <new>

#include "batch/helped_writer.h"
#include "blf/blf_origin.h"
#include "io/output_file.h"
#include "logging/report.h"

namespace quarn {
namespace {

// Containers go out as they fill, each one write; the block gathers a few.
constexpr std::size_t kBlock = std::size_t{256} << 10;

// Why a log whose error frames carry more than CAN_ERROR_EXT holds is kept under -d.
constexpr char kErrorFieldsLost[] =
    "its BLF trace cannot hold the direction, FD flags, error type and data past 8 bytes of its error frames";
constexpr char kIdLost[] = "its BLF trace cannot hold identifiers of more than 29 bits (CAN) or 8 bits (LIN)";

// Whether an error frame holds anything a CAN_ERROR_EXT object leaves out: it has the channel,
// identifier, extended flag, DLC and 8 data bytes.
bool error_object_loses(const BusRecord& record) {
  const CanTail& can = record.Can;
  return record.DataLength > 8 || can.ErrorType != 0 || can.EDL != 0 || can.BRS != 0 || can.ESI != 0 ||
         can.Remote != 0 || can.Dir != 0;
}

class BlfTraceWriter final : public TraceWriter {
 public:
  explicit BlfTraceWriter(const BlfWriterOptions& options) : options_(options) {}

  void begin_file(FileSystem& output_fs, StrView output_base, WrittenFiles* written, const LogInfo& info) override {
    target_.set(output_fs, output_base, written, info);
    state_ = State::Idle;
    lacks_ = nullptr;
  }

  void write_record(const BusRecord& record) override {
    switch (record.Kind) {
      case CAN_DataFrame:
      case CAN_RemoteFrame:
        if (record.ID > 0x1FFFFFFFu) lacks_ = kIdLost;
        break;
      case CAN_ErrorFrame:
        if (record.ID > 0x1FFFFFFFu) lacks_ = kIdLost;
        if (error_object_loses(record) && lacks_ == nullptr) lacks_ = kErrorFieldsLost;
        break;
      case LIN_Frame:
        if (record.ID > 0xFFu) lacks_ = kIdLost;
        break;
      default: return;
    }
    if (state_ == State::Idle) start(record);
    if (state_ == State::Writing && !writer_->add(record)) state_ = failed_state();
  }

  const char* lacks() const override { return lacks_; }

  void expect_help() override { writer_.expect_help(); }
  // Any thread; write_record may be running on another.
  bool help() override { return writer_.help(); }

  bool end_file(bool complete, bool durable, FinishedTraces& finished) override {
    writer_.close_to_help();
    if (!complete) {
      // A trace of part of a log would look complete; the loop reports the failure.
      if (file_.is_open()) file_.discard();
      return false;
    }
    if (state_ == State::Writing) {
      if (writer_->finish()) {
        return finish_trace(file_, durable, "BLF", "Could not write BLF data") &&
               finished.add(file_, "BLF", blf_is_trace_of);
      }
      state_ = failed_state();
    }
    switch (state_) {
      case State::Idle: return true;
      case State::Writing: break;
      case State::OpenFailed: report_open_failure(file_, "BLF"); return false;
      case State::TimeFailed:
        // Objects count u64 nanoseconds from the header's start time, a SYSTEMTIME.
        report(LogLevel::Error,
               "Could not convert BLF time of %.*s: BLF files hold times from 1970 to 3000, "
               "at most 584 years after their first frame",
               sv_len(target_.info.source_path), target_.info.source_path.data);
        break;
      case State::WriteFailed:
        file_.explain_failure();
        report(LogLevel::Error, "Could not write BLF data");
        break;
      case State::CompressFailed: report(LogLevel::Error, "Could not compress BLF data"); break;
      case State::MemoryFailed:
        report(LogLevel::Error, "Could not allocate memory for the BLF trace of %.*s", sv_len(target_.base_name),
               target_.base_name.data);
        break;
    }
    if (file_.is_open()) file_.discard();
    // A writer that failed is made anew for the next log.
    writer_.drop();
    return false;
  }

 private:
  enum class State { Idle, Writing, OpenFailed, TimeFailed, WriteFailed, CompressFailed, MemoryFailed };

  State failed_state() const {
    switch (writer_->failure()) {
      case BlfFailure::Time: return State::TimeFailed;
      case BlfFailure::Compress: return State::CompressFailed;
      case BlfFailure::Memory: return State::MemoryFailed;
      case BlfFailure::None:
      case BlfFailure::Write: break;
    }
    return State::WriteFailed;
  }

  // Opens the file at the log's first frame, whose millisecond is the file's start time.
  void start(const BusRecord& first) {
    // The writer and its buffers are made at the first log with frames, and again after one
    // that failed.
    if (writer_.get_or_make([this] { return blf_writer_create(options_); }) == nullptr) {
      state_ = State::MemoryFailed;
      return;
    }
    if (!target_.open(file_, kBlfTraceSuffixes[0], kBlock)) {
      state_ = State::OpenFailed;
      return;
    }
    state_ = writer_->begin(file_, first.Timestamp, target_.info.source_name) ? State::Writing : failed_state();
    if (state_ == State::Writing) writer_.open_to_help();
  }

  BlfWriterOptions options_;
  HelpedWriter<BlfWriter> writer_;  // none until a log has frames
  TraceTarget target_;              // the current log's
  State state_ = State::Idle;
  OutputFile file_;
  const char* lacks_ = nullptr;  // what the log's frames hold that its trace cannot
};

}  // namespace

std::unique_ptr<TraceWriter> blf_trace_writer_create(const BlfWriterOptions& options) {
  return std::unique_ptr<TraceWriter>(new (std::nothrow) BlfTraceWriter(options));
}

}  // namespace quarn
