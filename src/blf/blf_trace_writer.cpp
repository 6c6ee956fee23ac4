#include "blf/blf_trace_writer.h"

#include <atomic>
#include <new>

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
    fs_ = &output_fs;
    base_name_ = output_base;
    written_ = written;
    info_ = info;
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

  void expect_help() override {
    helped_ = true;
    if (writer_) writer_->expect_help();
  }

  // Any thread; write_record may be running on another.
  bool help() override {
    BlfWriter* w = active_.load(std::memory_order_acquire);
    return w != nullptr && w->help();
  }

  bool end_file(bool complete, bool durable, FinishedTraces& finished) override {
    active_.store(nullptr, std::memory_order_relaxed);
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
               sv_len(info_.source_path), info_.source_path.data);
        break;
      case State::WriteFailed:
        file_.explain_failure();
        report(LogLevel::Error, "Could not write BLF data");
        break;
      case State::CompressFailed: report(LogLevel::Error, "Could not compress BLF data"); break;
      case State::MemoryFailed:
        report(LogLevel::Error, "Could not allocate memory for the BLF trace of %.*s", sv_len(base_name_),
               base_name_.data);
        break;
    }
    if (file_.is_open()) file_.discard();
    // A writer that failed is made anew for the next log.
    writer_.reset();
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
    if (!writer_) {
      writer_ = blf_writer_create(options_);
      if (!writer_) {
        state_ = State::MemoryFailed;
        return;
      }
      if (helped_) writer_->expect_help();
    }
    if (!file_.open(*fs_, base_name_, kBlfTraceSuffixes[0], kBlock, written_)) {
      state_ = State::OpenFailed;
      return;
    }
    state_ = writer_->begin(file_, first.Timestamp, info_.source_name) ? State::Writing : failed_state();
    if (state_ == State::Writing) active_.store(writer_.get(), std::memory_order_release);
  }

  BlfWriterOptions options_;
  std::unique_ptr<BlfWriter> writer_;  // null until a log has frames
  LogInfo info_;                       // the current log's; valid until end_file returns
  FileSystem* fs_ = nullptr;           // borrowed, for the current log
  StrView base_name_;                  // the current log's output base; valid until end_file returns
  WrittenFiles* written_ = nullptr;    // borrowed, for the current log
  State state_ = State::Idle;
  OutputFile file_;
  const char* lacks_ = nullptr;  // what the log's frames hold that its trace cannot
  bool helped_ = false;
  // The writer help() may reach: set once its file has begun, on write_record's thread, and
  // cleared at the log's end, once write_record is done with it.
  std::atomic<BlfWriter*> active_{nullptr};
};

}  // namespace

std::unique_ptr<TraceWriter> blf_trace_writer_create(const BlfWriterOptions& options) {
  return std::unique_ptr<TraceWriter>(new (std::nothrow) BlfTraceWriter(options));
}

}  // namespace quarn
