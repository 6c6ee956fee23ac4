#pragma once

#include <stdlib.h>

#include <cstdint>
#include <string>

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

// A scratch folder that lives for the whole benchmark run.
inline const std::string& bench_scratch() {
  static const std::string dir = [] {
    char pattern[] = "/tmp/quarn-bench-XXXXXX";
    return std::string(mkdtemp(pattern));
  }();
  return dir;
}

}  // namespace quarn
