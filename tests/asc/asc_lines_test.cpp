// The direct line formatting must write exactly what stb_sprintf writes, whenever it answers.

#include "asc/asc_lines.h"

#include <gtest/gtest.h>
#include <stb/stb_sprintf.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>

namespace quarn::asc_detail {
namespace {

std::string stb_time(double v, int width) {
  char buf[512];
  int n = stbsp_snprintf(buf, sizeof buf, width == 11 ? "% 11.6f" : "% 12.6f", v);
  return std::string(buf, static_cast<std::size_t>(n));
}

// Returns whether the direct formatter answered; when it did, it must agree with stb.
bool check_time(double v, int width) {
  char out[64];
  std::size_t n = format_time_fixed6(out, v, width);
  if (n == 0) return false;
  EXPECT_EQ(std::string(out, n), stb_time(v, width)) << "value " << v;
  return true;
}

TEST(AscLinesTest, TimesAgreeWithStbOnMillisecondGridsAndAnywhere) {
  std::mt19937_64 rng(11);
  std::uniform_real_distribution<double> epoch(1e9, 4e9);
  std::uniform_int_distribution<std::int64_t> ms(0, 200LL * 86400 * 1000);
  int answered = 0;
  const int kGrid = 1500000;
  for (int i = 0; i < kGrid; ++i) {
    // What the converter computes: a frame's time, built from whole seconds and milliseconds,
    // less the whole second of the first frame.
    double base = std::floor(epoch(rng));
    std::int64_t m = ms(rng);
    double t = (base + static_cast<double>(m / 1000)) + static_cast<double>(m % 1000) * 0.001;
    answered += check_time(t - base, i % 2 ? 11 : 12);
  }
  // The direct path covers practically every real frame (it declines past 1e7 s, about 115 days).
  EXPECT_GT(answered, kGrid * 55 / 100);

  std::uniform_real_distribution<double> any(0, 1e7);
  std::uniform_int_distribution<int> exponent(-30, 7);
  for (int i = 0; i < 1000000; ++i) {
    double v = i % 2 ? any(rng) : std::ldexp(any(rng) / 1e7, exponent(rng) * 3);
    check_time(v, 11);
  }
  // Right at and around rounding ties, where stb's own rounding is not the exact one.
  for (std::int64_t k = 0; k < 300000; ++k) {
    double tie = (static_cast<double>(k) + 0.5) / 1e6;
    check_time(tie, 11);
    check_time(std::nextafter(tie, 0.0), 11);
    check_time(std::nextafter(tie, 1.0), 11);
  }
}

TEST(AscLinesTest, TimesTheDirectPathDeclines) {
  char out[64];
  for (double v : {-0.0, -1e-9, -5.0, 1e7, 3e9, std::numeric_limits<double>::infinity(),
                   std::numeric_limits<double>::quiet_NaN(), 0.0000005, 2.5e-6}) {
    std::size_t n = format_time_fixed6(out, v, 11);
    if (n != 0) {
      EXPECT_EQ(std::string(out, n), stb_time(v, 11)) << v;
    }
  }
  EXPECT_EQ(format_time_fixed6(out, -0.0, 11), 0u);
  EXPECT_EQ(format_time_fixed6(out, std::numeric_limits<double>::quiet_NaN(), 11), 0u);
  EXPECT_EQ(format_time_fixed6(out, 0.0000005, 11), 0u);  // a tie
  EXPECT_EQ(std::string(out, format_time_fixed6(out, 0.789, 11)), "   0.789000");
  EXPECT_EQ(std::string(out, format_time_fixed6(out, 12345.0, 11)), " 12345.000000");
}

TEST(AscLinesTest, WholeLinesAgreeWithTheGeneralFormatter) {
  std::mt19937_64 rng(12);
  std::uint8_t data[64];
  int direct = 0;
  const int kLines = 300000;
  for (int i = 0; i < kLines; ++i) {
    std::uint64_t r = rng();
    for (auto& b : data) b = static_cast<std::uint8_t>(rng());
    CanLine f{};
    f.time = static_cast<double>(r % 100000000) * 0.001;
    f.extended = (r >> 40) % 2 == 0;
    f.id = static_cast<std::uint32_t>(rng());
    if ((r >> 41) % 2) f.id &= f.extended ? 0x1FFFFFFF : 0x7FF;
    f.channel = static_cast<std::uint8_t>((r >> 42) % 4 == 0 ? rng() : 1);
    f.tx = (r >> 44) % 2 == 0;
    f.brs = static_cast<std::uint8_t>((r >> 45) % 8 == 0 ? rng() : (r >> 48) % 2);
    f.esi = static_cast<std::uint8_t>((r >> 49) % 8 == 0 ? rng() : (r >> 52) % 2);
    f.dlc = static_cast<std::uint8_t>((r >> 53) % 4 == 0 ? rng() : (r >> 56) % 9);
    f.data_length = static_cast<std::uint8_t>((r >> 57) % 2 ? f.dlc % 9 : rng() % 65);
    f.data = data;
    f.with_data = f.dlc > 0 && (r >> 59) % 8 != 0;
    f.flags = static_cast<std::uint32_t>((r >> 60) % 2 ? (rng() & 0x7010) : rng());
    DynString general;
    ASSERT_TRUE(append_can_line_general(general, f));
    char out[kCanLineMax];
    std::size_t n = format_can_line(out, f);
    if (n == 0) continue;
    ++direct;
    ASSERT_LE(n, kCanLineMax);
    ASSERT_EQ(std::string(out, n), std::string(dynstr_data(general), static_cast<std::size_t>(dynstr_length(general))))
        << "line " << i;
  }
  EXPECT_GT(direct, kLines * 9 / 10);
}

}  // namespace
}  // namespace quarn::asc_detail
