// The record coder against zlib's inflate: whatever the records look like, and wherever the first
// one starts, every stream inflates to exactly its input and checksum; records that repeat the
// one before shrink to a part of their size.

#include "codec/record_deflate.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "support/test_random.h"

namespace quarn {
namespace {

using Bytes = std::vector<std::uint8_t>;

using test::next_random;

// The test's records give their size in their first two bytes; 0 when those are not at hand.
std::size_t u16_size(const std::uint8_t* record, std::size_t available) {
  return available < 2 ? 0 : static_cast<std::size_t>(record[0] | record[1] << 8);
}
std::size_t unknown_size(const std::uint8_t*, std::size_t) { return 0; }

// Records of the given sizes after `lead` bytes of an earlier record's end: the size, then bytes
// that stay from one record to the next but for `changing` random ones near the start.
Bytes records(std::size_t lead, const std::vector<std::size_t>& sizes, std::size_t changing, std::uint64_t seed) {
  std::uint64_t state = seed;
  Bytes b(lead, 0x5A);
  for (std::size_t size : sizes) {
    const std::size_t at = b.size();
    b.resize(at + size);
    for (std::size_t i = 0; i < size; ++i) b[at + i] = static_cast<std::uint8_t>(i * 7);
    b[at] = static_cast<std::uint8_t>(size);
    if (size > 1) b[at + 1] = static_cast<std::uint8_t>(size >> 8);
    for (std::size_t i = 2; i < 2 + changing && i < size; ++i)
      b[at + i] = static_cast<std::uint8_t>(next_random(state));
  }
  return b;
}

Bytes inflated(const Bytes& stream, std::size_t size) {
  Bytes out(size + 1);
  uLongf length = static_cast<uLongf>(out.size());
  if (uncompress(out.data(), &length, stream.data(), static_cast<uLong>(stream.size())) != Z_OK) return {0xFF};
  out.resize(length);
  return out;
}

TEST(RecordDeflateTest, EveryStreamInflatesToItsInput) {
  std::uint64_t state = 11;
  std::vector<std::size_t> varied;
  for (int i = 0; i < 2000; ++i) varied.push_back(48 + next_random(state) % 80);
  Bytes random(70000);
  for (auto& byte : random) byte = static_cast<std::uint8_t>(next_random(state));
  // Byte k (of 25) k-th Fibonacci number times, shuffled: a Huffman code of such frequencies is
  // deeper than deflate allows.
  Bytes skewed;
  for (std::size_t k = 0, a = 1, b = 1; k < 25; ++k, b += a, a = b - a) skewed.insert(skewed.end(), a, std::uint8_t(k));
  for (std::size_t i = skewed.size() - 1; i > 0; --i) std::swap(skewed[i], skewed[next_random(state) % (i + 1)]);
  struct Case {
    const char* what;
    Bytes in;
    std::size_t first;
    RecordSizeFn size_of;
    double most_ratio;  // the stream's size over the input's at most
  };
  const Case cases[] = {
      {"records of one size", records(0, std::vector<std::size_t>(3000, 56), 10, 1), 0, u16_size, 0.35},
      {"records of many sizes", records(0, varied, 10, 2), 0, u16_size, 0.6},
      {"the first record after the end of an earlier one", records(37, std::vector<std::size_t>(500, 64), 8, 3), 37,
       u16_size, 0.4},
      {"records that repeat whole, in repeats of the longest length",
       records(0, std::vector<std::size_t>(40, 1000), 0, 4), 0, u16_size, 0.05},
      {"a record past the farthest distance", records(0, {40000, 40000, 100}, 0, 5), 0, u16_size, 1.01},
      {"no record starts in the bytes", records(0, std::vector<std::size_t>(10, 56), 3, 6), 600, u16_size, 1.01},
      {"sizes that cannot be told", records(0, std::vector<std::size_t>(100, 56), 3, 7), 0, unknown_size, 1.01},
      {"a record size of 1", Bytes(300, 1), 0, u16_size, 1.01},
      {"random bytes", random, 0, u16_size, 1.01},
      {"frequencies too skewed for 15-bit codes", skewed, 0, unknown_size, 0.7},
      {"fewer than 8 bytes", records(0, {3, 3}, 0, 8), 0, u16_size, 4},
      {"nothing", Bytes{}, 0, u16_size, 100},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::size_t n = c.in.size();
    auto coder = RecordDeflater::create(n);
    ASSERT_TRUE(coder);
    Bytes out(RecordDeflater::bound(n));
    const std::size_t z = coder->compress(c.in.data(), n, c.first, c.size_of, out.data(), out.size());
    ASSERT_GT(z, 0u);
    out.resize(z);
    EXPECT_EQ(inflated(out, n), c.in);
    EXPECT_LE(static_cast<double>(z), c.most_ratio * static_cast<double>(n) + 16);
    // Short of the room the bound asks: nothing.
    Bytes small(RecordDeflater::bound(n) - 1);
    EXPECT_EQ(coder->compress(c.in.data(), n, c.first, c.size_of, small.data(), small.size()), 0u);
  }
}

}  // namespace
}  // namespace quarn
