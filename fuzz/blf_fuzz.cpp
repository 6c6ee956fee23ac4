// The BLF reader over arbitrary bytes, and the whole input path of a run over the same bytes as a
// BLF log.
//
// Whatever the bytes, the reader must end (with or without a message) without touching memory
// it does not own, and every record it hands out must keep BusRecord's invariants and come in
// time order.
//
// As a log converted to ASC and MDF4 traces (with -d for some inputs): a log the reader refuses
// fails and stays; so does one that holds frames its traces lack (of other kinds, or stepping
// back past the order window); a log that goes has its traces, the MDF4 one holding every frame
// the reader gave; no temporary file is left behind.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "app/input_formats.h"
#include "asc/asc_trace_writer.h"
#include "batch/log_conversion.h"
#include "batch/trace_writer.h"
#include "blf/blf_log_reader.h"
#include "logging/report.h"
#include "mdf4/mdf4_decoder.h"
#include "mdf4/mdf4_trace_writer.h"
#include "memory_fs.h"
#include "support/memory_stream.h"

namespace {

using quarn::BusRecord;

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "blf_fuzz: %s\n", what);
  __builtin_trap();
}

// Enough records for every path; a file that holds more is read this far.
constexpr std::size_t kMaxRecords = 100000;

void check_invariants(const BusRecord& r) {
  switch (r.Kind) {
    case quarn::CAN_DataFrame:
    case quarn::CAN_RemoteFrame:
    case quarn::CAN_ErrorFrame:
      if (r.DataLength > 64 || r.DataPointer != r.Can.DataBytes) fail("a CAN record breaks its invariants");
      if ((r.Kind == quarn::CAN_RemoteFrame) != (r.Can.Remote != 0)) fail("a remote frame without Remote");
      if (r.Kind == quarn::CAN_RemoteFrame && r.DataLength != 0) fail("a remote frame with data");
      if (r.ID > 0x1FFFFFFFu || r.Can.DLC > 15) fail("a CAN frame beyond its fields");
      break;
    case quarn::LIN_Frame:
      if (r.DataLength > 8 || r.DataPointer != r.Lin.DataBytes) fail("a LIN record breaks its invariants");
      break;
    default: fail("a record of no known kind");
  }
}

struct Reading {
  std::size_t records = 0;
  bool whole = false;        // read to the end, without a failure or anything unread
  bool frames_lost = false;  // frames skipped: of other kinds, or stepping back
};

// The bytes as the log "in.blf" of a run that writes ASC and MDF4 traces beside it.
void convert_as_log(const std::uint8_t* data, std::size_t size, const Reading& reading) {
  static quarn::fuzz::MemoryFileSystem fs;
  static quarn::RunOptions options;
  static std::unique_ptr<quarn::TraceSink> sink;
  if (!sink) {
    quarn::input_formats_use(options);
    std::unique_ptr<quarn::TraceWriter> writers[2] = {quarn::asc_trace_writer_create(),
                                                      quarn::mdf4_trace_writer_create(quarn::sv("0.0.0"))};
    sink = quarn::trace_fan_out_create(writers, 2);
    if (!sink) fail("no sink");
  }
  fs.files.clear();
  fs.files["in.blf"] = std::make_shared<std::string>(reinterpret_cast<const char*>(data), size);
  options.delete_converted = size > 0 && (data[0] & 1) != 0;
  quarn::set_log_threshold(7);  // nothing on stderr
  const quarn::LogContext context{&fs, &fs, true, &options};
  const int status =
      quarn::convert_log(context, *sink, *quarn::input_format_named("blf"), quarn::sv("in.blf"), quarn::sv("out"));
  const bool kept = fs.files.count("in.blf") == 1;
  if (!reading.whole && status == 0) fail("a log the reader could not read converted");
  if (status != 0 && !kept) fail("a log that failed is gone");
  if (reading.frames_lost && !kept) fail("a log whose traces lack frames is gone");
  if (!kept) {
    auto mf4 = fs.files.find("out.mf4");
    if (reading.records > 0 && mf4 == fs.files.end()) fail("a log went without its MDF4 trace");
    if (mf4 != fs.files.end()) {
      quarn::test::MemoryStream trace(reinterpret_cast<const std::uint8_t*>(mf4->second->data()), mf4->second->size());
      auto again = quarn::mdf4_decoder_create();
      BusRecord r;
      std::size_t n = 0;
      if (!again || !again->open(&trace)) fail("the MDF4 trace of a log that went does not open");
      while (again->next(r)) ++n;
      if (n != reading.records) fail("the MDF4 trace of a log that went lacks frames");
    }
  }
  for (const auto& [name, content] : fs.files) {
    if (name.size() > 5 && name.compare(name.size() - 5, 5, ".part") == 0) fail("a temporary file was left behind");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quarn::test::MemoryStream stream(data, size);
  auto reader = quarn::blf_log_reader_create();
  if (!reader) return 0;
  Reading reading;
  if (!reader->open(stream)) {
    if (reader->failure()[0] == '\0') fail("open failed without a message");
    convert_as_log(data, size, reading);
    return 0;
  }
  if (!reader->time_ordered()) fail("the reader does not order its frames");
  BusRecord r;
  double last = 0;
  while (reading.records < kMaxRecords && reader->next(r)) {
    check_invariants(r);
    if (reading.records > 0 && !(r.Timestamp >= last)) fail("records out of time order");
    last = r.Timestamp;
    ++reading.records;
  }
  if (reading.records >= kMaxRecords) return 0;
  const bool failed = reader->failure()[0] != '\0';
  reading.whole = !failed && reader->ended_cleanly(static_cast<std::int64_t>(size));
  if (!failed && !reading.whole && reader->unread()[0] == '\0') fail("a log not read to its end without a reason");
  reading.frames_lost = reader->stepped_back() > 0 || reader->passed_objects().other_kinds > 0;
  convert_as_log(data, size, reading);
  return 0;
}
