// The direct scans must agree with the C library on every input, not just the common shapes.

#include "textlog/field_scan.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>

namespace quarn::textlog_detail {
namespace {

// A string mostly drawn from `common`, sometimes from `odd`.
std::string draw(std::mt19937& rng, std::size_t max_len, const std::string& common, const std::string& odd) {
  std::uniform_int_distribution<std::size_t> len(0, max_len);
  std::uniform_int_distribution<int> pct(0, 99);
  std::string s(len(rng), ' ');
  int oddness = pct(rng) < 60 ? 0 : pct(rng) % 30;  // most fields are clean
  for (char& c : s) {
    const std::string& from = pct(rng) < oddness ? odd : common;
    c = from[std::uniform_int_distribution<std::size_t>(0, from.size() - 1)(rng)];
  }
  return s;
}

const std::string kHex = "0123456789abcdefABCDEF";
const std::string kOdd = " \t+-xXgG.:;#zZ\x80\xff\n\r0";

// Draws `count` fields of up to `max_len` characters, mostly from `common`, and stops at the
// first on which the direct scan and the C library disagree: on whether a value was read, or on
// the value. Both start from the same sentinel, so a scan that writes when it fails shows too.
template <typename T, typename Direct, typename Library>
void expect_agreement(std::uint32_t seed, int count, std::size_t max_len, const std::string& common, T sentinel,
                      Direct direct, Library library) {
  std::mt19937 rng(seed);
  for (int i = 0; i < count; ++i) {
    std::string f = draw(rng, max_len, common, kOdd);
    T fast = sentinel, lib = sentinel;
    bool fast_ok = direct(f, fast);
    bool lib_ok = library(f, lib);
    ASSERT_EQ(fast_ok, lib_ok) << "[" << f << "]";
    ASSERT_EQ(fast, lib) << "[" << f << "]";
  }
}

TEST(FieldScanTest, HexIdentifiersAgreeWithPercentX) {
  expect_agreement(
      1, 600000, 12, kHex, 0xDEADBEEFu,
      [](const std::string& f, unsigned& v) { return scan_hex_u32(f.c_str(), f.size(), v); },
      [](const std::string& f, unsigned& v) { return std::sscanf(f.c_str(), "%x", &v) == 1; });
}

TEST(FieldScanTest, LengthsAgreeWithPercentHhu) {
  expect_agreement(
      2, 400000, 6, "0123456789", static_cast<unsigned char>(0xA5),
      [](const std::string& f, unsigned char& v) { return scan_u8(f.c_str(), f.size(), v); },
      [](const std::string& f, unsigned char& v) { return std::sscanf(f.c_str(), "%hhu", &v) == 1; });
}

TEST(FieldScanTest, DataPairsAgreeWithPercentTwoHhx) {
  expect_agreement(
      3, 600000, 5, kHex, static_cast<unsigned char>(0x5A),
      [](const std::string& f, unsigned char& v) { return scan_hex_pair(f.c_str(), v); },
      [](const std::string& f, unsigned char& v) { return std::sscanf(f.c_str(), "%2hhx", &v) == 1; });
}

TEST(FieldScanTest, TemplatesAgreeWithTheSevenFieldFormat) {
  std::mt19937 rng(4);
  std::uniform_int_distribution<int> pct(0, 99);
  for (int i = 0; i < 400000; ++i) {
    // Always 17 characters, as the decoder builds it; mostly digits.
    std::string t = draw(rng, 17, "0123456789", " :.-+T/\x7f");
    t = std::string(17 - t.size(), pct(rng) < 50 ? '0' : '+') + t;
    TemplateFields fast{1, 2, 3, 4, 5, 6, 7};
    TemplateFields lib = fast;
    int fast_n = scan_template(t.c_str(), fast);
    int lib_n = std::sscanf(t.c_str(), "%4u%2u%2u%2u%2u%2u%3u", &lib.year, &lib.month, &lib.day, &lib.hour,
                            &lib.minute, &lib.second, &lib.millisecond);
    ASSERT_EQ(fast_n, lib_n) << "[" << t << "]";
    ASSERT_EQ(std::memcmp(&fast, &lib, sizeof fast), 0) << "[" << t << "]";
  }
}

}  // namespace
}  // namespace quarn::textlog_detail
