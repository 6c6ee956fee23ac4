#pragma once

// Seeded random numbers for test data: the same seed gives the same values on every platform and
// compiler, so that a failing case can be run again.

#include <cstdint>

namespace quarn::test {

inline std::uint64_t next_random(std::uint64_t& state) {
  state = state * 6364136223846793005ull + 1442695040888963407ull;
  return state >> 33;
}

}  // namespace quarn::test
