// The conversion of fuzzed bytes as a log, shared by the targets of the input formats: the bytes
// go through the whole per-log loop, with -d on or off, into ASC, MDF4 and BLF traces in memory, and
// what is left behind must follow from how the log read on its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "app/input_formats.h"
#include "asc/asc_trace_writer.h"
#include "batch/bus_record.h"
#include "batch/log_conversion.h"
#include "batch/trace_writer.h"
#include "blf/blf_log_reader.h"
#include "blf/blf_trace_writer.h"
#include "logging/report.h"
#include "mdf4/mdf4_decoder.h"
#include "mdf4/mdf4_trace_writer.h"
#include "memory_fs.h"
#include "support/memory_stream.h"

namespace quarn::fuzz {

// How the log read on its own, with its format's reader.
struct LogReading {
  std::size_t records = 0;
  bool whole = false;        // read to the end, without a failure or anything unread
  bool frames_lost = false;  // frames skipped: of other kinds, or stepping back
};

// The invariants every reader keeps in the records it hands out (batch/bus_record.h).
inline void check_record_invariants(const BusRecord& r, void (*fail)(const char*)) {
  switch (r.Kind) {
    case CAN_DataFrame:
    case CAN_RemoteFrame:
    case CAN_ErrorFrame:
      if (r.DataLength > kCanMaxData || r.DataPointer != r.Can.DataBytes) fail("a CAN record breaks its invariants");
      if ((r.Kind == CAN_RemoteFrame) != (r.Can.Remote != 0)) fail("a remote frame without Remote");
      break;
    case LIN_Frame:
      if (r.DataLength > kLinMaxData || r.DataPointer != r.Lin.DataBytes) fail("a LIN record breaks its invariants");
      break;
    default: fail("a record of no known kind");
  }
}

// Converts the bytes as the log "in.<format>" beside its traces; `fail` ends the run with a finding.
// A log that could not be read whole must fail; a log that failed, or lost frames, must stay; a
// log that went must leave MDF4 and BLF traces that read back with all its frames; no temporary
// file may stay.
inline void check_conversion_of_log(const std::uint8_t* data, std::size_t size, const char* format,
                                    const LogReading& reading, void (*fail)(const char*)) {
  static MemoryFileSystem fs;
  static RunOptions options;
  static std::unique_ptr<TraceSink> sink;
  if (!sink) {
    input_formats_use(options);
    std::unique_ptr<TraceWriter> writers[3] = {asc_trace_writer_create(), mdf4_trace_writer_create(sv("0.0.0")),
                                               blf_trace_writer_create()};
    sink = trace_fan_out_create(writers, 3);
    if (!sink) fail("no sink");
  }
  const std::string name = std::string("in.") + format;
  fs.files.clear();
  fs.files[name] = std::make_shared<std::string>(reinterpret_cast<const char*>(data), size);
  options.delete_converted = size > 0 && (data[0] & 1) != 0;
  set_log_threshold(7);  // nothing on stderr
  const LogContext context{&fs, &fs, true, &options};
  const int status = convert_log(context, *sink, *input_format_named(format), sv(name.c_str()), sv("out"));
  const bool kept = fs.files.count(name) == 1;
  if (!reading.whole && status == 0) fail("a log the reader could not read converted");
  if (status != 0 && !kept) fail("a log that failed is gone");
  if (reading.frames_lost && !kept) fail("a log whose traces lack frames is gone");
  if (!kept) {
    // Every trace of a log that went reads back with all its frames.
    auto frames_in = [](auto& reader) {
      BusRecord r;
      std::size_t n = 0;
      while (reader.next(r)) ++n;
      return n;
    };
    auto mf4 = fs.files.find("out.mf4");
    if (reading.records > 0 && mf4 == fs.files.end()) fail("a log went without its MDF4 trace");
    if (mf4 != fs.files.end()) {
      test::MemoryStream trace(reinterpret_cast<const std::uint8_t*>(mf4->second->data()), mf4->second->size());
      auto again = mdf4_decoder_create();
      if (!again || !again->open(&trace)) fail("the MDF4 trace of a log that went does not open");
      if (frames_in(*again) != reading.records) fail("the MDF4 trace of a log that went lacks frames");
    }
    auto blf = fs.files.find("out.blf");
    if (reading.records > 0 && blf == fs.files.end()) fail("a log went without its BLF trace");
    if (blf != fs.files.end()) {
      test::MemoryStream trace(reinterpret_cast<const std::uint8_t*>(blf->second->data()), blf->second->size());
      auto again = blf_log_reader_create();
      if (!again || !again->open(trace)) fail("the BLF trace of a log that went does not open");
      if (frames_in(*again) != reading.records || again->failure()[0] != '\0' ||
          !again->ended_cleanly(static_cast<std::int64_t>(blf->second->size()))) {
        fail("the BLF trace of a log that went lacks frames");
      }
    }
  }
  for (const auto& [file, content] : fs.files) {
    if (file.size() > 5 && file.compare(file.size() - 5, 5, ".part") == 0) fail("a temporary file was left behind");
  }
}

}  // namespace quarn::fuzz
