// The MDF4 reader over arbitrary bytes, the writer over what it reads, and the whole input path
// of a run over the same bytes as an MDF4 log.
//
// Whatever the bytes, the reader must end (with or without a message) without touching memory
// it does not own, and every record it hands out must keep BusRecord's invariants and come in
// time order. When it reads a file to the end, its records go through quarn's writer and back
// through the reader, which must then give exactly those records (in quarn's normal form) again,
// those of equal times in the order of the writer's groups.
//
// As a log converted to ASC and MDF4 traces (with -d for some inputs): a log the reader refuses
// fails and stays; a log that goes has its traces, the MDF4 one holding every frame the reader
// gave; no temporary file is left behind.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/input_formats.h"
#include "asc/asc_trace_writer.h"
#include "batch/log_conversion.h"
#include "batch/trace_writer.h"
#include "io/byte_sink.h"
#include "io/stream.h"
#include "logging/report.h"
#include "mdf4/mdf4_trace_writer.h"
#include "log_conversion_check.h"
#include "memory_fs.h"
#include "mdf4/mdf4_decoder.h"
#include "mdf4/mdf4_writer.h"
#include "support/memory_sink.h"
#include "support/memory_stream.h"

namespace {

using quarn::BusRecord;

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "mdf4_fuzz: %s\n", what);
  __builtin_trap();
}

// Enough records for every path; a file that declares more is read this far.
constexpr std::size_t kMaxRecords = 100000;
// The round trip only for records whose times survive it exactly (whole seconds below 2^52).
constexpr double kExactTimes = 4503599627370496.0;

int rank(std::uint32_t kind) {
  return kind == quarn::CAN_DataFrame ? 0 : kind == quarn::CAN_ErrorFrame ? 1 : kind == quarn::CAN_RemoteFrame ? 2 : 3;
}

// What the writer keeps of a record: a LIN identifier's high bits go.
BusRecord normal_form(const BusRecord& in) {
  BusRecord r;
  std::memset(&r, 0, sizeof r);
  r.Timestamp = in.Timestamp;
  r.ID = in.ID;
  r.Kind = in.Kind;
  r.DataLength = in.DataLength;
  if (in.Kind == quarn::LIN_Frame) {
    r.ID = in.ID & 0xFF;
    r.Lin = in.Lin;
    std::memset(r.Lin.DataBytes + in.DataLength, 0, 8 - in.DataLength);
  } else {
    r.Can = in.Can;
    std::memset(r.Can.DataBytes + in.DataLength, 0, 64 - in.DataLength);
    if (in.Kind == quarn::CAN_RemoteFrame) {
      r.Can.EDL = r.Can.BRS = r.Can.ESI = 0;  // the remote group has no FD flags
      std::memset(r.Can.DataBytes, 0, 64);
    }
  }
  return r;
}

bool same(const BusRecord& a, const BusRecord& b) {
  BusRecord x = normal_form(a);
  BusRecord y = normal_form(b);
  return x.Timestamp == y.Timestamp && x.ID == y.ID && x.Kind == y.Kind && x.DataLength == y.DataLength &&
         std::memcmp(&x.Can, &y.Can, sizeof x.Can) == 0;
}

void round_trip(std::vector<BusRecord> records, std::uint8_t knob) {
  if (records.empty()) return;
  for (const BusRecord& r : records) {
    if (!(r.Timestamp >= 0.0 && r.Timestamp < kExactTimes)) return;
  }
  std::stable_sort(records.begin(), records.end(),
                   [](const BusRecord& a, const BusRecord& b) { return a.Timestamp < b.Timestamp; });
  quarn::Mdf4WriterOptions options;
  const std::uint64_t blocks[] = {0, 30, 200, 5000};
  const std::uint64_t links[] = {0, 1, 2, 7};
  options.block_bytes = blocks[knob & 3];
  options.list_links = links[(knob >> 2) & 3];
  const quarn::Mdf4Compression compressions[] = {quarn::Mdf4Compression::Transposed, quarn::Mdf4Compression::None,
                                                 quarn::Mdf4Compression::Deflate, quarn::Mdf4Compression::Transposed};
  options.compression = compressions[(knob >> 4) & 3];
  options.compress_thread = false;  // a thread for every input would slow the search down
  auto writer = quarn::mdf4_writer_create(options);
  if (!writer) fail("no writer");
  quarn::test::MemorySink sink;
  if (!writer->begin(sink, records[0].Timestamp, quarn::sv("2.4.0"))) {
    if (std::floor(records[0].Timestamp) <= 18446744073.0) fail("the writer refused a start time it can hold");
    return;
  }
  for (const BusRecord& r : records) {
    if (!writer->add(r)) fail(writer->error());
  }
  if (!writer->finish()) fail(writer->error());

  // The file keeps times to the microsecond from the first record's whole second.
  const double base = std::floor(records[0].Timestamp);
  for (BusRecord& r : records) r.Timestamp = base + std::round((r.Timestamp - base) * 1e6) / 1e6;
  std::stable_sort(records.begin(), records.end(), [](const BusRecord& a, const BusRecord& b) {
    return a.Timestamp < b.Timestamp || (a.Timestamp == b.Timestamp && rank(a.Kind) < rank(b.Kind));
  });
  quarn::test::MemoryStream stream(reinterpret_cast<const std::uint8_t*>(sink.bytes.data()), sink.bytes.size());
  auto reader = quarn::mdf4_decoder_create();
  if (!reader || !reader->open(&stream)) fail("quarn's own file does not open");
  BusRecord r;
  std::size_t n = 0;
  while (reader->next(r)) {
    if (n >= records.size() || !same(r, records[n])) fail("quarn's own file reads otherwise");
    ++n;
  }
  if (reader->error()[0] != '\0' || n != records.size()) fail("quarn's own file reads short");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quarn::test::MemoryStream stream(data, size);
  auto reader = quarn::mdf4_decoder_create();
  if (!reader) return 0;
  if (!reader->open(&stream)) {
    if (reader->error()[0] == '\0') fail("open failed without a message");
    quarn::fuzz::check_conversion_of_log(data, size, "mf4", quarn::fuzz::LogReading{0, false, false}, fail);
    return 0;
  }
  std::vector<BusRecord> records;
  BusRecord r;
  while (records.size() < kMaxRecords && reader->next(r)) {
    quarn::fuzz::check_record_invariants(r, fail);
    if (!records.empty() && !(r.Timestamp >= records.back().Timestamp)) fail("records out of time order");
    records.push_back(r);
  }
  // Data past the frames (records beyond a group's count) fails the log as an error does.
  const bool read_whole = records.size() < kMaxRecords && reader->error()[0] == '\0' && reader->unread()[0] == '\0';
  if (records.size() < kMaxRecords)
    quarn::fuzz::check_conversion_of_log(data, size, "mf4", quarn::fuzz::LogReading{records.size(), read_whole, false},
                                         fail);
  if (read_whole) round_trip(std::move(records), size > 0 ? data[size - 1] : 0);
  return 0;
}
