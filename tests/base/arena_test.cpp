#include "base/arena.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <set>

#include "base/memory.h"

namespace quarn {
namespace {

TEST(ArenaTest, BlocksAreAlignedDistinctAndKeepTheirBytes) {
  Arena arena;
  std::set<std::uintptr_t> seen;
  std::vector<unsigned char*> blocks;
  for (int i = 0; i < 100000; ++i) {
    std::size_t n = 1 + static_cast<std::size_t>(i % 37);
    auto* p = static_cast<unsigned char*>(arena.allocate(n));
    ASSERT_NE(p, nullptr);
    ASSERT_EQ(reinterpret_cast<std::uintptr_t>(p) % 8, 0u);
    ASSERT_TRUE(seen.insert(reinterpret_cast<std::uintptr_t>(p)).second);
    std::memset(p, i & 0xFF, n);
    blocks.push_back(p);
  }
  for (int i = 0; i < 100000; ++i) ASSERT_EQ(blocks[static_cast<std::size_t>(i)][0], i & 0xFF);
  // Larger than a block: a block of its own.
  auto* big = static_cast<unsigned char*>(arena.allocate(3u << 20));
  ASSERT_NE(big, nullptr);
  std::memset(big, 1, 3u << 20);
}

TEST(ArenaTest, ResetReusesAKeptBlockWithoutAllocating) {
  Arena arena;
  for (int i = 0; i < 200000; ++i) ASSERT_NE(arena.allocate(24), nullptr);
  arena.reset();
  mem_fail_after(0);
  EXPECT_NE(arena.allocate(24), nullptr);  // the kept block serves again
  EXPECT_EQ(arena.allocate(std::size_t{4} << 20), nullptr);  // a new block cannot be had
  mem_fail_after(-1);
}

}  // namespace
}  // namespace quarn
