#pragma once

#include <stdlib.h>

#include <cstdint>
#include <string>

#include "batch/bus_record.h"
#include "gen_log.h"

namespace quarn {

// The log the benchmarks measure: time format 3, mixed 11- and 29-bit identifiers on a busy bus,
// DLC 0 to 8, about 33 bytes a frame.
inline std::string bench_log(std::int64_t frames, std::uint64_t seed) {
  tools::GenLogOptions o;
  o.frames = frames;
  o.seed = seed;
  o.ids = 400;
  o.mean_gap_us = 300;
  std::string text;
  tools::gen_log_text(o, text);
  return text;
}

// Makes `r` a classic data frame on channel 1 whose id, id length, DLC and bytes come from
// `state`, a millisecond after frame `i - 1`: the frames the writing benchmarks hand in directly.
inline void bench_frame(BusRecord& r, std::uint64_t& state, std::int64_t i) {
  r = BusRecord{};
  r.Kind = CAN_DataFrame;
  r.Can.BusChannel = 1;
  r.DataPointer = r.Can.DataBytes;
  state = state * 6364136223846793005ull + 1442695040888963407ull;
  const std::uint64_t x = state;
  r.Timestamp = 1706688000.0 + static_cast<double>(i) * 0.001;
  r.Can.IDE = (x >> 60) % 3 == 0;
  r.ID = static_cast<std::uint32_t>(x >> 20) & (r.Can.IDE ? 0x1FFFFFFF : 0x7FF);
  r.Can.DLC = static_cast<std::uint8_t>((x >> 8) % 9);
  r.DataLength = r.Can.DLC;
  for (int b = 0; b < 8; ++b) r.Can.DataBytes[b] = static_cast<std::uint8_t>(x >> (8 * b));
}

// A scratch folder that lives for the whole benchmark run.
inline const std::string& bench_scratch() {
  static const std::string dir = [] {
    char pattern[] = "/tmp/quarn-bench-XXXXXX";
    return std::string(mkdtemp(pattern));
  }();
  return dir;
}

}  // namespace quarn
