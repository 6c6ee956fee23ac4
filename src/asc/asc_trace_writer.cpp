#include "asc/asc_trace_writer.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <ctime>
#include <new>

#include "asc/asc_lines.h"
#include "base/calendar.h"
#include "io/output_file.h"
#include "logging/report.h"

namespace quarn {
namespace {

// Flag bits of the CANFD line's flags word.
constexpr std::uint32_t kAscFlagRemote = 0x10;
constexpr std::uint32_t kAscFlagEdl = 0x1000;
constexpr std::uint32_t kAscFlagBrs = 0x2000;
constexpr std::uint32_t kAscFlagEsi = 0x4000;

// Room for the longest usual line: a CANFD line with 64 data bytes is about 360 characters, so
// after this one reservation formatting a frame line allocates nothing.
constexpr std::int64_t kLineReserve = 512;

// Frame lines are gathered into blocks of this size and written a block at a time.
constexpr std::size_t kBlock = std::size_t{1} << 20;

// The UTC calendar fields of a base time; false outside 1970..3000 (NaN and infinities included).
bool calendar_of(double seconds, std::tm& out) {
  if (!(seconds >= 0.0 && seconds <= static_cast<double>(kLastCalendarSecond))) return false;
  return utc_fields_from_seconds(static_cast<std::int64_t>(seconds), out);
}

// Appends "Wed Jan 31 12:34:56" (with `pattern`) and " 2024". False when nothing was produced.
bool append_date(DynString& line, const char* pattern, const std::tm& fields) {
  std::int64_t len = dynstr_length(line);
  std::size_t room = static_cast<std::size_t>(dynstr_capacity(line) - len) + 1;
  std::size_t n = std::strftime(dynstr_data(line) + len, room, pattern, &fields);
  if (n == 0) {
    dynstr_set_length(line, len);
    return false;
  }
  dynstr_set_length(line, len + static_cast<std::int64_t>(n));
  return dynstr_append_format(line, " %4d", fields.tm_year + 1900) >= 0;
}

const char* direction(std::uint8_t dir) { return dir == 1 ? "Tx" : "Rx"; }

// A LIN frame line: time (12 wide), channel, identifier in lower-case hex, direction, "d", data
// length, data bytes:
//      0.000000 1 3c  Rx d 2 01 02
constexpr char kLinLine[] = "% 12.6f %d %x  %s d %d ";

// Error frame lines: time, channel and "ErrorFrame", in the CAN FD form with the direction for an
// FD frame. Nothing else of the frame has a place in them.
//      0.300000 1  ErrorFrame
//      0.400000 CANFD   2 Rx ErrorFrame
constexpr char kErrorLine[] = "% 11.6f %d  ErrorFrame\n";
constexpr char kFdErrorLine[] = "% 11.6f CANFD %3d %s ErrorFrame\n";

// Why a log whose error frames carry more than their lines hold is kept under -d.
constexpr char kErrorFieldsLost[] =
    "its ASC trace cannot hold the identifier, data, direction and error type of its error frames";

// Whether the error frame holds anything its line leaves out. The extended flag of identifier 0
// says nothing (python-can's writer sets it on every error frame it is given without one), so it
// counts only beside an identifier.
bool error_line_loses(const BusRecord& record) {
  const CanTail& can = record.Can;
  return record.ID != 0 || record.DataLength != 0 || can.DLC != 0 || can.ErrorType != 0 || can.BRS != 0 ||
         can.ESI != 0 || can.Remote != 0 || (can.EDL == 0 && can.Dir != 0);
}

// What differs between the CAN and the LIN trace.
struct TraceKind {
  const char* suffix;
  const char* what;  // "CAN" or "LIN", as the messages name the trace
  const char* convert_failed;
  const char* date_pattern;
  const char* format_failed;
  const char* header_failed;
  const char* data_failed;
  const char* footer_failed;
};

constexpr TraceKind kCanTrace = {kAscTraceSuffixes[0],         "CAN",
                                 "Could not convert CAN time", "%a %b %d %H:%M:%S",
                                 "Could not format CAN time",  "Could not write CAN header",
                                 "Could not write CAN data",   "Could not write CAN footer"};
// The LIN date line has a blank more before the year.
constexpr TraceKind kLinTrace = {kAscTraceSuffixes[1],         "LIN",
                                 "Could not convert LIN time", "%a %b %d %H:%M:%S ",
                                 "Could not format LIN time",  "Could not write LIN header",
                                 "Could not write LIN data",   "Could not write LIN footer"};

// One trace of a log, written as its frames come: opened at the first frame, whose time gives
// the date line and the base the frame lines count from.
struct Trace {
  // Where the trace stands. A failure discards what was written at once and is reported when the
  // log ends, as the writer's other messages are.
  enum class State { Idle, Writing, OpenFailed, ConvertFailed, FormatFailed, HeaderFailed };

  const TraceKind* kind;
  State state = State::Idle;
  bool lines_failed = false;  // a frame line could not be formatted; no later line is written
  double base = 0;
  OutputFile file;
};

// Appends "End Triggerblock", writes out the rest and finishes the trace; reports and removes it
// when any of that fails. False unless the trace is finished.
bool finish_lines(Trace& trace, bool durable) {
  static constexpr char kFooter[] = "End Triggerblock\n";
  OutputFile& file = trace.file;
  bool data_written = !trace.lines_failed && file.flush();
  if (!data_written) {
    // The write that failed (the file and the system's reason) goes with the first message only.
    if (!trace.lines_failed) file.explain_failure();
    report(LogLevel::Error, "%s", trace.kind->data_failed);
  }
  // The footer is written even after failed frame lines; the trace is removed all the same.
  if (!file.write(kFooter, sizeof kFooter - 1) || !file.flush()) {
    if (data_written) file.explain_failure();
    report(LogLevel::Error, "%s", trace.kind->footer_failed);
    data_written = false;
  }
  if (!data_written) {
    file.discard();
    return false;
  }
  return finish_trace(file, durable, trace.kind->what, nullptr);
}

class AscWriter final : public TraceWriter {
 public:
  AscWriter() {
    can_.kind = &kCanTrace;
    lin_.kind = &kLinTrace;
  }

  void begin_file(FileSystem& output_fs, StrView output_base, WrittenFiles* written, const LogInfo& /*info*/) override {
    fs_ = &output_fs;
    written_ = written;
    base_name_ = output_base;
    line_failed_ = false;
    fields_lost_ = false;
    can_.state = lin_.state = Trace::State::Idle;
    // Each log takes its scratch line anew, so that one whose memory ran out fails as a whole
    // ("Could not allocate line buffer") before any trace of it is opened.
    dynstr_free(line_);
  }

  void write_record(const BusRecord& record) override {
    switch (record.Kind) {
      case CAN_DataFrame:
      case CAN_RemoteFrame:
        if (start(can_, std::floor(record.Timestamp))) append_can(record);
        break;
      case CAN_ErrorFrame:
        if (error_line_loses(record)) fields_lost_ = true;
        if (start(can_, std::floor(record.Timestamp))) append_error(record);
        break;
      case LIN_Frame:
        // Lines count from the whole second the date line names, as the CAN trace's do; a base
        // with the first frame's fraction would move every line early by it.
        if (start(lin_, std::floor(record.Timestamp))) append_lin(record);
        break;
      default: break;
    }
  }

  const char* lacks() const override { return fields_lost_ ? kErrorFieldsLost : nullptr; }

  bool end_file(bool complete, bool durable, FinishedTraces& finished) override {
    if (!complete) {
      // A trace of part of a log would look complete; the loop reports the failure.
      for (Trace* trace : {&can_, &lin_}) {
        if (trace->state == Trace::State::Writing) trace->file.discard();
      }
      return false;
    }
    if (line_failed_) {
      report(LogLevel::Error, "Could not allocate line buffer for %.*s", sv_len(base_name_), base_name_.data);
      for (Trace* trace : {&can_, &lin_}) {
        if (trace->state == Trace::State::Writing) trace->file.discard();
      }
      return false;
    }
    bool can_ok = end_trace(can_, durable, finished);
    bool lin_ok = end_trace(lin_, durable, finished);
    return can_ok && lin_ok;
  }

 private:
  // Opens the trace at its first frame and writes its header; true while the trace takes lines.
  bool start(Trace& trace, double base) {
    if (trace.state == Trace::State::Writing) return true;
    if (trace.state != Trace::State::Idle || line_failed_) return false;
    // Scratch for the general formatter, for the rare line the direct one cannot vouch for.
    if (dynstr_capacity(line_) < kLineReserve && dynstr_reserve(line_, kLineReserve) == nullptr) {
      line_failed_ = true;
      return false;
    }
    trace.lines_failed = false;
    if (!trace.file.open(*fs_, base_name_, trace.kind->suffix, kBlock, written_)) {
      trace.state = Trace::State::OpenFailed;
      return false;
    }
    trace.base = base;
    trace.state = write_header(trace);
    if (trace.state == Trace::State::Writing) return true;
    trace.file.discard();
    return false;
  }

  // The date line, "base hex  timestamps absolute" and "Begin Triggerblock", written out at once
  // so that a failure is told apart from one of the frame lines.
  Trace::State write_header(Trace& trace) {
    std::tm fields;
    if (!calendar_of(std::trunc(trace.base), fields)) {
      return Trace::State::ConvertFailed;
    }
    dynstr_clear(line_);
    dynstr_append(line_, "date ");
    if (!append_date(line_, trace.kind->date_pattern, fields)) return Trace::State::FormatFailed;
    if (dynstr_append(line_, "\nbase hex  timestamps absolute\nBegin Triggerblock\n") == nullptr ||
        !trace.file.write(dynstr_data(line_), static_cast<std::size_t>(dynstr_length(line_))) || !trace.file.flush()) {
      return Trace::State::HeaderFailed;
    }
    return Trace::State::Writing;
  }

  void append_can(const BusRecord& record) {
    if (can_.lines_failed) return;
    char* out = can_.file.append_space(asc_detail::kCanLineMax);
    if (out == nullptr) return;  // the write that failed is reported at the end
    const CanTail& can = record.Can;
    asc_detail::CanLine f;
    f.time = record.Timestamp - can_.base;
    f.id = record.ID;
    f.channel = can.BusChannel;
    f.tx = can.Dir == 1;
    f.extended = can.IDE == 1;
    f.brs = can.BRS;
    f.esi = can.ESI;
    f.dlc = can.DLC;
    // The bytes come from the record's own DataBytes, never through DataPointer, and at most as
    // many as it holds: a malformed record cannot make the line read foreign memory.
    f.data_length = static_cast<std::uint8_t>(std::min(record.DataLength, kCanMaxData));
    f.data = can.DataBytes;
    // The bytes the log gave are written even beside a data length code of 0, as the MDF4 trace
    // keeps them: a length column with no bytes after it would misread.
    f.with_data = (can.DLC > 0 || record.DataLength > 0) && can.Remote == 0;
    f.flags = (can.EDL != 0 ? kAscFlagEdl : 0) | (f.brs != 0 ? kAscFlagBrs : 0) | (f.esi != 0 ? kAscFlagEsi : 0) |
              (can.Remote != 0 ? kAscFlagRemote : 0);
    std::size_t n = asc_detail::format_can_line(out, f);
    if (n > 0) {
      can_.file.append_done(n);
      return;
    }
    // The general formatter's line may be longer than the room taken (a time of 300 digits):
    // it goes in as a write of its own, whatever its length.
    dynstr_clear(line_);
    if (!asc_detail::append_can_line_general(line_, f)) {
      can_.lines_failed = true;
      return;
    }
    can_.file.write(dynstr_data(line_), static_cast<std::size_t>(dynstr_length(line_)));
  }

  // Error frames are rare: the general formatter serves them.
  void append_error(const BusRecord& record) {
    if (can_.lines_failed) return;
    const CanTail& can = record.Can;
    const double time = record.Timestamp - can_.base;
    dynstr_clear(line_);
    const bool ok = can.EDL != 0 ? asc_append_format(line_, kFdErrorLine, time, can.BusChannel, direction(can.Dir))
                                 : asc_append_format(line_, kErrorLine, time, can.BusChannel);
    if (!ok) {
      can_.lines_failed = true;
      return;
    }
    can_.file.write(dynstr_data(line_), static_cast<std::size_t>(dynstr_length(line_)));
  }

  void append_lin(const BusRecord& record) {
    if (lin_.lines_failed) return;
    std::uint64_t n = std::min(record.DataLength, kLinMaxData);
    dynstr_clear(line_);
    if (!asc_append_format(line_, kLinLine, record.Timestamp - lin_.base, record.Lin.BusChannel, record.ID,
                           direction(record.Lin.Dir), static_cast<int>(n)) ||
        !asc_append_hex_bytes(line_, record.Lin.DataBytes, n) || dynstr_append(line_, "\n", 1) == nullptr) {
      lin_.lines_failed = true;
      return;
    }
    lin_.file.write(dynstr_data(line_), static_cast<std::size_t>(dynstr_length(line_)));
  }

  // Reports what went wrong with the trace, or finishes it for `finished`. True when it is
  // finished or was never needed.
  static bool end_trace(Trace& trace, bool durable, FinishedTraces& finished) {
    switch (trace.state) {
      case Trace::State::Idle: return true;
      case Trace::State::Writing: return finish_lines(trace, durable) && finished.add(trace.file, trace.kind->what);
      case Trace::State::OpenFailed: report_open_failure(trace.file, trace.kind->what); break;
      case Trace::State::ConvertFailed: report(LogLevel::Error, "%s", trace.kind->convert_failed); break;
      case Trace::State::FormatFailed: report(LogLevel::Error, "%s", trace.kind->format_failed); break;
      case Trace::State::HeaderFailed:
        trace.file.explain_failure();
        report(LogLevel::Error, "%s", trace.kind->header_failed);
        break;
    }
    return false;
  }

  FileSystem* fs_ = nullptr;         // borrowed, for the current log
  WrittenFiles* written_ = nullptr;  // borrowed, for the current log
  StrView base_name_;                // the current log's output base; valid until end_file returns
  Trace can_;
  Trace lin_;
  DynString line_;
  bool line_failed_ = false;
  bool fields_lost_ = false;  // an error frame of the log held more than its line shows
};

}  // namespace

std::unique_ptr<TraceWriter> asc_trace_writer_create() {
  return std::unique_ptr<TraceWriter>(new (std::nothrow) AscWriter);
}

std::unique_ptr<TraceSink> asc_only_sink_create() {
  std::unique_ptr<TraceWriter> writer = asc_trace_writer_create();
  if (!writer) return nullptr;
  return trace_fan_out_create(&writer, 1);
}

}  // namespace quarn
