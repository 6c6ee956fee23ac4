// Records into a transposed matrix and back: every byte lands in its column at its record's place,
// the columns and records outside the range stay as they were, and untranspose gives the records
// back.

#include "codec/transpose.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "support/test_random.h"

namespace quarn {
namespace {

TEST(TransposeTest, RecordsIntoColumnsAndBack) {
  struct Case {
    std::uint64_t lines, first, n, from, to;
  };
  const Case cases[] = {
      {64, 0, 64, 0, 84},    // whole squares, and a last square of four columns
      {100, 37, 13, 8, 19},  // a range inside the records, and rows past the last square
      {10, 3, 7, 70, 84},    // fewer rows than a square
      {16, 0, 16, 83, 84},   // one column
  };
  constexpr std::size_t kStride = 96;
  constexpr std::uint64_t kColumns = 84;
  std::uint64_t state = 5;
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.first << "+" << c.n << " columns " << c.from << "-" << c.to);
    std::vector<std::uint8_t> rows(c.n * kStride);
    for (auto& b : rows) b = static_cast<std::uint8_t>(test::next_random(state));
    std::vector<std::uint8_t> matrix(c.lines * kColumns, 0xEE);
    transpose_into(matrix.data(), c.lines, c.first, rows.data(), kStride, c.n, c.from, c.to);
    for (std::uint64_t col = 0; col < kColumns; ++col) {
      for (std::uint64_t r = 0; r < c.lines; ++r) {
        const bool inside = col >= c.from && col < c.to && r >= c.first && r < c.first + c.n;
        const std::uint8_t want = inside ? rows[(r - c.first) * kStride + col] : 0xEE;
        ASSERT_EQ(matrix[col * c.lines + r], want) << "column " << col << " record " << r;
      }
    }
    std::vector<std::uint8_t> back(c.n * kColumns);
    untranspose(back.data(), matrix.data(), c.lines, kColumns, c.first, c.n);
    for (std::uint64_t r = 0; r < c.n; ++r) {
      for (std::uint64_t col = c.from; col < c.to; ++col) EXPECT_EQ(back[r * kColumns + col], rows[r * kStride + col]);
    }
  }
}

}  // namespace
}  // namespace quarn
