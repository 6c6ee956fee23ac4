#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "gen_log.h"

namespace quarn::test {

// A log of `frames` frames from `seed`, with gen_log's other settings; for tests that link
// quarn_gen_log.
inline std::string generated_log(std::uint64_t seed, std::int64_t frames) {
  tools::GenLogOptions o;
  o.seed = seed;
  o.frames = frames;
  std::string text;
  EXPECT_TRUE(tools::gen_log_text(o, text));
  return text;
}

// A log in time format `time_format` (with CR LF line ends when `crlf`) of `frames` frames from
// `seed`, with gen_log's other settings.
inline std::string generated_log(int time_format, bool crlf, std::int64_t frames, std::uint64_t seed) {
  tools::GenLogOptions o;
  o.time_format = static_cast<TimeFormat>(time_format);
  o.crlf = crlf;
  o.frames = frames;
  o.seed = seed;
  std::string text;
  EXPECT_TRUE(tools::gen_log_text(o, text));
  return text;
}

}  // namespace quarn::test
