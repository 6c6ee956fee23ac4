#include "gen_log.h"

#include <cstdio>

namespace quarn::bench {
namespace {

// splitmix64: tiny, fast and fully determined by the seed.
std::uint64_t next(std::uint64_t& state) {
  std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

}  // namespace

std::string generate_log(std::int64_t frames, std::uint64_t seed) {
  std::string out;
  out.reserve(static_cast<std::size_t>(frames) * 36 + 512);
  out +=
      "# Logger type: TarvikTwo\n"
      "# HW rev: 3.1\n"
      "# FW rev: 7.12\n"
      "# Logger ID: 2F9A0C11\n"
      "# Session No.: 12\n"
      "# Split No.: 1\n"
      "# Time: 20240131T080000\n"
      "# Value separator: \";\"\n"
      "# Time format: 3\n"
      "# Time separator: \":\"\n"
      "# Time separator ms: \".\"\n"
      "# Date separator: \"/\"\n"
      "# Time and date separator: \" \"\n"
      "# Bit-rate: 500000\n"
      "# Silent mode: false\n"
      "# Cyclic mode: false\n"
      "Timestamp;Type;ID;Length;Data\n";
  std::uint64_t state = seed;
  std::int64_t ms = 8 * 3600 * 1000;  // the header's 08:00
  char line[64];
  for (std::int64_t i = 0; i < frames; ++i) {
    std::uint64_t r = next(state);
    ms += static_cast<std::int64_t>(r % 3);  // frames arrive up to 2 ms apart, some together
    std::int64_t day_ms = ms % 86400000;
    bool extended = (r >> 8) % 3 == 0;
    bool sent = (r >> 10) % 8 == 0;
    unsigned dlc = static_cast<unsigned>((r >> 16) % 9);
    unsigned id = extended ? static_cast<unsigned>((r >> 24) % 0x20000000u) : static_cast<unsigned>((r >> 24) % 0x800u);
    int n = std::snprintf(line, sizeof line, "%02d:%02d:%02d.%03d;%c;%X;%u;", static_cast<int>(day_ms / 3600000),
                          static_cast<int>(day_ms / 60000 % 60), static_cast<int>(day_ms / 1000 % 60),
                          static_cast<int>(day_ms % 1000), extended ? (sent ? '9' : '1') : (sent ? '8' : '0'), id, dlc);
    out.append(line, static_cast<std::size_t>(n));
    std::uint64_t data = next(state);
    static const char kHex[] = "0123456789ABCDEF";
    for (unsigned b = 0; b < dlc; ++b) {
      unsigned byte = static_cast<unsigned>(data >> (8 * b)) & 0xFF;
      out.push_back(kHex[byte >> 4]);
      out.push_back(kHex[byte & 15]);
    }
    out.push_back('\n');
  }
  return out;
}

}  // namespace quarn::bench
