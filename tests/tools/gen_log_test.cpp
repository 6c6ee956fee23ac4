#include "gen_log.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "io/buffered_stream.h"
#include "support/memory_stream.h"
#include "support/temp_dir.h"
#include "textlog/text_log_decoder.h"

namespace quarn {
namespace {

using tools::gen_log_text;
using tools::GenLogOptions;

std::string generated(const GenLogOptions& o) {
  std::string text;
  EXPECT_TRUE(gen_log_text(o, text));
  return text;
}

// What the program's own reader makes of a log.
std::vector<BusRecord> read_back(const std::string& text) {
  test::MemoryStream inner(text);
  std::unique_ptr<Stream> stream = bufstream_create(&inner, false, 1 << 16);
  std::unique_ptr<TextLogDecoder> reader = textlog_open(stream.get());
  std::vector<BusRecord> out;
  EXPECT_TRUE(reader) << text.substr(0, 600);
  if (!reader || !textlog_rewind(*reader)) return out;
  BusRecord r;
  while (textlog_next_record(*reader, r)) out.push_back(r);
  return out;
}

TEST(GenLogTest, TheSameOptionsGiveTheSameBytes) {
  GenLogOptions o;
  o.frames = 300;
  o.seed = 42;
  EXPECT_EQ(generated(o), generated(o));
  GenLogOptions other = o;
  other.seed = 43;
  EXPECT_NE(generated(o), generated(other));
}

TEST(GenLogTest, LinesEndAsAsked) {
  GenLogOptions o;
  o.frames = 5;
  std::string lf = generated(o);
  o.crlf = true;
  std::string crlf = generated(o);
  EXPECT_EQ(lf.find('\r'), std::string::npos);
  std::string stripped;
  for (char c : crlf) {
    if (c != '\r') stripped += c;
  }
  EXPECT_EQ(stripped, lf);
  EXPECT_EQ(crlf.size() - lf.size(), 16u + 1u + 5u);  // header block, column line, frames
}

TEST(GenLogTest, BadOptionsAreRefused) {
  std::string text;
  GenLogOptions o;
  o.time_format = static_cast<TimeFormat>(7);
  EXPECT_FALSE(gen_log_text(o, text));
  o.time_format = TimeFormat::TimeOfDay;
  o.start = "2024-01-31 12:00";
  EXPECT_FALSE(gen_log_text(o, text));
  o.start = "20240131T120000";
  o.frames = -1;
  EXPECT_FALSE(gen_log_text(o, text));
}

TEST(GenLogTest, FramesCarryWhatTheBusSent) {
  GenLogOptions o;
  o.frames = 2000;
  o.extended_percent = 50;
  std::vector<BusRecord> records = read_back(generated(o));
  ASSERT_EQ(records.size(), 2000u);
  int extended = 0;
  for (const BusRecord& r : records) {
    EXPECT_LE(r.Can.DLC, 8);
    EXPECT_EQ(r.DataLength, r.Can.DLC);
    EXPECT_LT(r.ID, r.Can.IDE ? 0x20000000u : 0x800u);
    extended += r.Can.IDE;
  }
  EXPECT_GT(extended, 0);
  EXPECT_LT(extended, 2000);
}

// Every time format writes the same moments: the reader, taking the missing digits from the
// header and counting wrap-arounds, must find the same absolute times as from full timestamps.
TEST(GenLogTest, EveryTimeFormatGivesTheSameTimes) {
  const struct {
    const char* start;
    int gap_us;
  } spans[] = {
      {"20240131T120000", 2000},    // no boundary crossed
      {"20240131T235958", 40000},   // minute, hour, day and month boundaries
      {"20241231T235930", 300000},  // and the year
  };
  for (const auto& span : spans) {
    GenLogOptions o;
    o.frames = 400;
    o.start = span.start;
    o.mean_gap_us = span.gap_us;
    o.time_format = TimeFormat::FullDate;
    std::vector<BusRecord> full = read_back(generated(o));
    ASSERT_EQ(full.size(), 400u);
    for (int format = 1; format <= 5; ++format) {
      o.time_format = static_cast<TimeFormat>(format);
      std::vector<BusRecord> part = read_back(generated(o));
      ASSERT_EQ(part.size(), full.size()) << span.start << " format " << format;
      for (std::size_t i = 0; i < full.size(); ++i) {
        ASSERT_NEAR(part[i].Timestamp, full[i].Timestamp, 1e-6) << span.start << " format " << format << " frame " << i;
      }
    }
  }
}

TEST(GenLogTest, SeparatorsAndLineEndsDoNotChangeTheFrames) {
  GenLogOptions o;
  o.frames = 200;
  o.time_format = TimeFormat::FullDate;
  std::vector<BusRecord> plain = read_back(generated(o));
  o.value_separator = '\t';
  o.time_separator = 0;
  o.ms_separator = ',';
  o.date_separator = '/';
  o.time_date_separator = ' ';
  o.crlf = true;
  std::vector<BusRecord> varied = read_back(generated(o));
  ASSERT_EQ(varied.size(), plain.size());
  for (std::size_t i = 0; i < plain.size(); ++i) {
    EXPECT_NEAR(varied[i].Timestamp, plain[i].Timestamp, 1e-6);
    EXPECT_EQ(varied[i].ID, plain[i].ID);
    EXPECT_EQ(varied[i].Can.DLC, plain[i].Can.DLC);
    EXPECT_EQ(0, std::memcmp(varied[i].Can.DataBytes, plain[i].Can.DataBytes, 8));
  }
}

TEST(GenLogTest, TheCandumpFormCarriesTheSameFrames) {
  tools::GenLogOptions o;
  o.frames = 500;
  o.extended_percent = 50;
  std::string path_log = std::string(::testing::TempDir()) + "gen_log_candump.txt";
  std::string path_dump = std::string(::testing::TempDir()) + "gen_log_candump.log";
  std::FILE* log = std::fopen(path_log.c_str(), "wb");
  std::FILE* dump = std::fopen(path_dump.c_str(), "wb");
  ASSERT_TRUE(tools::gen_log(o, log, dump));
  std::fclose(log);
  std::fclose(dump);
  std::vector<BusRecord> frames = read_back(test::read_file(path_log));
  std::string text = test::read_file(path_dump);
  ASSERT_EQ(frames.size(), 500u);
  std::size_t pos = 0;
  for (const BusRecord& r : frames) {
    std::size_t nl = text.find('\n', pos);
    ASSERT_NE(nl, std::string::npos);
    std::string line = text.substr(pos, nl - pos);
    pos = nl + 1;
    long long secs = 0;
    int ms = 0;
    char id[16] = {};
    char data[32] = {};
    ASSERT_GE(std::sscanf(line.c_str(), "(%lld.%3d000) can0 %15[0-9A-F]#%31[0-9A-F]", &secs, &ms, id, data), 3) << line;
    EXPECT_DOUBLE_EQ(static_cast<double>(secs) + ms * 0.001, r.Timestamp) << line;
    EXPECT_EQ(std::strtoul(id, nullptr, 16), r.ID) << line;
    EXPECT_EQ(std::strlen(id) == 8, r.Can.IDE == 1) << line;
    EXPECT_EQ(std::strlen(data), 2 * r.DataLength) << line;
  }
  EXPECT_EQ(pos, text.size());
  std::remove(path_log.c_str());
  std::remove(path_dump.c_str());
}

}  // namespace
}  // namespace quarn
