#pragma once

#include <cstdint>
#include <string>

namespace quarn::bench {

// A logger text log of `frames` frames in the shape the benchmarks measure: time format 3
// (hh:mm:ss.mmm after a dated header), mixed 11- and 29-bit identifiers, DLC 0 to 8, about 35
// bytes per frame. The same (frames, seed) always gives the same bytes.
std::string generate_log(std::int64_t frames, std::uint64_t seed);

}  // namespace quarn::bench
