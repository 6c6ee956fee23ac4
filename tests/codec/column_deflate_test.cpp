// quarn's deflater against zlib's inflate: every stream it makes, whole blocks and transposed
// ones (whether told which columns are zeros or not), inflates to exactly its input and checksum;
// a stream that would not fit says so.

#include "codec/column_deflate.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "support/test_random.h"

namespace quarn {
namespace {

using Bytes = std::vector<std::uint8_t>;

using test::next_random;

// Inflates a zlib stream into exactly `size` bytes; empty when it is not a whole, valid stream.
Bytes inflated(const Bytes& stream, std::size_t size) {
  Bytes out(size + 1);
  uLongf length = static_cast<uLongf>(out.size());
  if (uncompress(out.data(), &length, stream.data(), static_cast<uLong>(stream.size())) != Z_OK) return {};
  out.resize(length);
  return out;
}

// Columns [from, to) of a transposed block as the ones that may hold something.
LiveColumns live_columns(std::initializer_list<std::pair<std::size_t, std::size_t>> ranges) {
  LiveColumns live;
  live.bits[0] = live.bits[1] = 0;
  for (auto [from, to] : ranges) {
    for (std::size_t c = from; c < to; ++c) live.bits[c / 64] |= std::uint64_t{1} << (c % 64);
  }
  return live;
}

// A transposed block of `rows` records of `size` bytes, column by column as `fill` makes them.
Bytes columns(std::size_t rows, std::size_t size, std::uint64_t seed,
              std::uint8_t (*fill)(std::size_t column, std::size_t row, std::uint64_t& state)) {
  Bytes b(rows * size);
  std::uint64_t state = seed;
  for (std::size_t c = 0; c < size; ++c) {
    for (std::size_t r = 0; r < rows; ++r) b[c * rows + r] = fill(c, r, state);
  }
  return b;
}

TEST(ColumnDeflateTest, EveryStreamInflatesToItsInput) {
  struct Case {
    const char* what;
    std::size_t rows;
    std::size_t size;
    std::uint8_t (*fill)(std::size_t, std::size_t, std::uint64_t&);
    LiveColumns live{};
  };
  // Random data bytes, a flag column, times last, zeros between; as the writer knows them, and not.
  auto frames = [](std::size_t c, std::size_t r, std::uint64_t& s) -> std::uint8_t {
    if (c >= 76) return static_cast<std::uint8_t>(c == 83 ? 0x3F : (r / 3 * 37 + c) & 0xFF);
    if (c >= 8 && c < 16) return static_cast<std::uint8_t>(next_random(s));
    return static_cast<std::uint8_t>(c == 72 ? r % 7 == 0 : 0);
  };
  const Case cases[] = {
      {"times, random bytes, zero columns", 12483, 84, frames},
      {"the same, the zero columns known", 12483, 84, frames, live_columns({{8, 16}, {72, 73}, {76, 84}})},
      {"the same, some zero columns not known", 12483, 84, frames, live_columns({{0, 16}, {40, 41}, {70, 84}})},
      {"nothing but zeros", 1000, 84, [](std::size_t, std::size_t, std::uint64_t&) -> std::uint8_t { return 0; }},
      {"runs of every length around a match's limits", 3000, 17,
       [](std::size_t c, std::size_t r, std::uint64_t&) -> std::uint8_t {
         // Runs of 1, 2, 3, 4, 257, 258, 259, 600 bytes, again and again.
         static const std::size_t kRuns[] = {1, 2, 3, 4, 257, 258, 259, 600};
         std::size_t at = (r + c * 11) % 1384, i = 0;
         while (at >= kRuns[i]) at -= kRuns[i++];
         return static_cast<std::uint8_t>(i * 31 + c);
       }},
      {"every byte value, no runs", 2048, 21,
       [](std::size_t c, std::size_t r, std::uint64_t&) -> std::uint8_t {
         return static_cast<std::uint8_t>(r * 7 + c);
       }},
      {"random everywhere", 500, 84,
       [](std::size_t, std::size_t, std::uint64_t& s) -> std::uint8_t {
         return static_cast<std::uint8_t>(next_random(s));
       }},
      {"one record", 1, 84,
       [](std::size_t c, std::size_t, std::uint64_t&) -> std::uint8_t {
         return static_cast<std::uint8_t>(c < 20 ? c + 1 : 0);
       }},
      {"records no wider than the time", 100, 8,
       [](std::size_t c, std::size_t r, std::uint64_t&) -> std::uint8_t { return static_cast<std::uint8_t>(r + c); }},
  };
  std::unique_ptr<ColumnDeflater> deflater = column_deflater_create();
  ASSERT_TRUE(deflater);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Bytes in = columns(c.rows, c.size, 5, c.fill);
    for (bool transposed : {true, false}) {
      Bytes out(in.size() * 2 + 1024);  // room even for random bytes and their codes
      const std::size_t n =
          transposed ? deflater->deflate_columns(in.data(), in.size(), c.size, c.live, out.data(), out.size())
                     : deflater->deflate(in.data(), in.size(), out.data(), out.size());
      ASSERT_GT(n, 0u) << transposed;
      ASSERT_NE(n, kDeflateFailed);
      out.resize(n);
      EXPECT_TRUE(inflated(out, in.size()) == in) << transposed;
    }
  }
}

// Too little room is "does not fit", never a stream cut short, wherever the room runs out.
TEST(ColumnDeflateTest, TooLittleRoomIsReportedNotOverrun) {
  std::unique_ptr<ColumnDeflater> deflater = column_deflater_create();
  ASSERT_TRUE(deflater);
  const Bytes in = columns(2000, 84, 9, [](std::size_t c, std::size_t r, std::uint64_t& s) -> std::uint8_t {
    return static_cast<std::uint8_t>(c < 24 ? next_random(s) & (c < 8 ? 0x0F : 0xFF) : r % 2);
  });
  Bytes room(in.size() * 2);
  const std::size_t whole = deflater->deflate_columns(in.data(), in.size(), 84, {}, room.data(), room.size());
  ASSERT_GT(whole, 0u);
  for (std::size_t capacity = 0; capacity < whole; capacity += 1 + capacity / 5) {
    Bytes out(capacity + 64, 0xEE);
    EXPECT_EQ(deflater->deflate_columns(in.data(), in.size(), 84, {}, out.data(), capacity), 0u) << capacity;
    for (std::size_t i = capacity; i < out.size(); ++i) ASSERT_EQ(out[i], 0xEE) << capacity << " wrote past at " << i;
  }
  // libdeflate's writer wants 8 bytes of room past the end of what it writes; with them the
  // stream is the same as with all the room in the world.
  Bytes exact(whole + 8);
  EXPECT_EQ(deflater->deflate_columns(in.data(), in.size(), 84, {}, exact.data(), exact.size()), whole);
  exact.resize(whole);
  EXPECT_TRUE(inflated(exact, in.size()) == in);
}

}  // namespace
}  // namespace quarn
