// Generated and mutated logs through the decoder: whatever the bytes, it must not crash, leak or
// loop, and what it hands out must keep the record invariants.

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "io/buffered_stream.h"
#include "logging/report.h"
#include "support/memory_stream.h"
#include "textlog/field_scan.h"
#include "textlog/text_log_decoder.h"

namespace quarn {
namespace {

std::string random_log(std::mt19937& rng) {
  auto pick = [&](std::initializer_list<const char*> options) {
    std::uniform_int_distribution<std::size_t> d(0, options.size() - 1);
    return std::string(*(options.begin() + d(rng)));
  };
  std::uniform_int_distribution<int> small(0, 9);
  std::string sep = pick({";", ",", "\t", " ", "|"});
  std::string nl = small(rng) < 3 ? "\r\n" : "\n";
  std::string log;
  log += "# Logger type: " + pick({"TarvikOne", "TarvikTwo", "TarvikThree", "x"}) + nl;
  log += "# Time: " + pick({"20240131T120000", "20231231T235959", "2024", "", "99999999T999999"}) + nl;
  log += "# Value separator: \"" + sep + "\"" + nl;
  log += "# Time format: " + std::to_string(small(rng) % 7) + nl;
  if (small(rng) < 7) log += "# Time separator: \":\"" + nl;
  if (small(rng) < 7) log += "# Time separator ms: \".\"" + nl;
  if (small(rng) < 5) log += "# Date separator: \"-\"" + nl;
  if (small(rng) < 5) log += "# Time and date separator: \"T\"" + nl;
  std::vector<std::string> columns = {"Timestamp", "Lost", "Type", "ID", "Length", "Data", "Extra"};
  std::shuffle(columns.begin(), columns.end(), rng);
  columns.resize(3 + static_cast<std::size_t>(small(rng) % 5));
  for (std::size_t i = 0; i < columns.size(); ++i) log += (i ? sep : "") + columns[i];
  log += nl;
  std::uniform_int_distribution<int> lines(0, 40);
  int n = lines(rng);
  for (int i = 0; i < n; ++i) {
    for (std::size_t c = 0; c < columns.size(); ++c) {
      if (c) log += sep;
      const std::string& name = columns[c];
      if (name == "Timestamp") {
        char buf[40];
        std::snprintf(buf, sizeof buf, "%02d:%02d:%02d.%03d", small(rng) + 10, small(rng) * 6, small(rng) * 6,
                      small(rng) * 100);
        log += buf;
      } else if (name == "Type") {
        log += pick({"0", "1", "8", "9", "5"});
      } else if (name == "ID") {
        log += pick({"123", "7FF", "1FFFFFFF", "0x10", " 5", "-1", "FFFFFFFFFF"});
      } else if (name == "Length") {
        log += std::to_string(small(rng));
      } else if (name == "Data") {
        log += pick({"", "01", "0102030405060708", "0102030405060708090A0B", "ABC", "zz11"});
      } else {
        log += "0";
      }
    }
    log += nl;
  }
  return log;
}

void mutate(std::mt19937& rng, std::string& s) {
  std::uniform_int_distribution<int> how(0, 5);
  std::uniform_int_distribution<int> count(1, 8);
  for (int m = count(rng); m > 0 && !s.empty(); --m) {
    std::uniform_int_distribution<std::size_t> at(0, s.size() - 1);
    std::size_t i = at(rng);
    switch (how(rng)) {
      case 0: s[i] = static_cast<char>(rng()); break;
      case 1: s.insert(i, 1, "\r\n\0;\"#T:"[rng() % 8]); break;
      case 2: s.erase(i, std::min<std::size_t>(s.size() - i, rng() % 20)); break;
      case 3: s.insert(i, std::string(rng() % 400, static_cast<char>('0' + rng() % 60))); break;
      case 4: s.insert(i, s.substr(at(rng) / 2, rng() % 50)); break;
      default: s[i] ^= static_cast<char>(1 << (rng() % 8)); break;
    }
  }
}

// Every record the decoder hands out, read through a buffered stream of the given size, or
// straight from the bytes one read at a time when the size is 0.
std::vector<BusRecord> read_all(const std::string& bytes, std::int64_t buffer, bool& opened) {
  test::MemoryStream inner(bytes);
  std::unique_ptr<Stream> s = buffer > 0 ? bufstream_create(&inner, false, buffer) : nullptr;
  std::vector<BusRecord> out;
  auto decoder = textlog_open(buffer > 0 ? s.get() : &inner);
  opened = decoder != nullptr;
  if (!decoder) return out;
  textlog_rewind(*decoder);
  BusRecord r;
  while (textlog_next_record(*decoder, r)) {
    // The record's own invariants, checked in place.
    EXPECT_LE(r.DataLength, 8u);
    if (r.DataLength > 0) {
      EXPECT_EQ(r.DataPointer, r.Can.DataBytes);
    }
    EXPECT_EQ(r.Kind, CAN_DataFrame);
    EXPECT_EQ(r.Can.BusChannel, 1);
    out.push_back(r);
    if (out.size() > bytes.size()) {
      ADD_FAILURE() << "more records than bytes: the decoder does not advance";
      break;
    }
  }
  return out;
}

TEST(TextLogFuzzTest, GeneratedAndMutatedLogsKeepTheInvariants) {
  std::int32_t saved = log_threshold;
  set_log_threshold(6);  // skipped-line warnings would flood the output
  std::mt19937 rng(20261208);
  int opened_count = 0;
  for (int round = 0; round < 3000; ++round) {
    std::string log = random_log(rng);
    if (round % 4 != 0) mutate(rng, log);
    bool opened = false;
    std::vector<BusRecord> whole = read_all(log, static_cast<std::int64_t>(log.size()) + 1, opened);
    opened_count += opened;
    for (std::size_t i = 1; i < whole.size(); ++i) {
      ASSERT_GE(whole[i].Timestamp, whole[i - 1].Timestamp) << "round " << round;
    }
    // How the bytes arrive (a small window, one byte per read) and whether the fields are
    // scanned directly or by the C library never change what they mean.
    for (int variant = 0; variant < 3; ++variant) {
      textlog_detail::set_library_scans_only(variant == 2);
      bool opened_other = false;
      std::vector<BusRecord> other = read_all(log, variant == 0 ? 7 : variant == 1 ? 0 : 4096, opened_other);
      textlog_detail::set_library_scans_only(false);
      ASSERT_EQ(opened_other, opened) << "round " << round << " variant " << variant;
      ASSERT_EQ(other.size(), whole.size()) << "round " << round << " variant " << variant;
      for (std::size_t i = 0; i < whole.size(); ++i) {
        ASSERT_EQ(other[i].ID, whole[i].ID);
        ASSERT_EQ(other[i].DataLength, whole[i].DataLength);
        ASSERT_EQ(other[i].Can.DLC, whole[i].Can.DLC);
        ASSERT_EQ(other[i].Can.IDE, whole[i].Can.IDE);
        ASSERT_EQ(other[i].Can.Dir, whole[i].Can.Dir);
        ASSERT_EQ(std::memcmp(other[i].Can.DataBytes, whole[i].Can.DataBytes, 8), 0);
        ASSERT_EQ(other[i].Timestamp, whole[i].Timestamp);
      }
    }
  }
  set_log_threshold(saved);
  EXPECT_GT(opened_count, 1000);  // the generator mostly makes logs that open
}

}  // namespace
}  // namespace quarn
