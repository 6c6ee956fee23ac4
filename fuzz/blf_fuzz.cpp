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
#include "log_conversion_check.h"
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

// BLF's objects hold no more than this of a CAN frame.
void check_invariants(const BusRecord& r) {
  quarn::fuzz::check_record_invariants(r, fail);
  if (r.Kind == quarn::LIN_Frame) return;
  if (r.Kind == quarn::CAN_RemoteFrame && r.DataLength != 0) fail("a remote frame with data");
  if (r.ID > 0x1FFFFFFFu) fail("a CAN frame beyond its fields");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quarn::test::MemoryStream stream(data, size);
  auto reader = quarn::blf_log_reader_create();
  if (!reader) return 0;
  quarn::fuzz::LogReading reading;
  if (!reader->open(stream)) {
    if (reader->failure()[0] == '\0') fail("open failed without a message");
    quarn::fuzz::check_conversion_of_log(data, size, "blf", reading, fail);
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
  quarn::fuzz::check_conversion_of_log(data, size, "blf", reading, fail);
  return 0;
}
