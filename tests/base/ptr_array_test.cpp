#include "base/ptr_array.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "base/memory.h"

namespace quarn {
namespace {

TEST(PtrArrayTest, CapacitiesRunFourTenNineteenThirtyTwo) {
  PtrArray a;
  std::vector<std::int64_t> capacities;
  for (int i = 0; i < 40; ++i) {
    void** slot = ptrarray_push(a, mem_alloc(8));
    ASSERT_NE(slot, nullptr);
    EXPECT_EQ(slot, &a.items[i]);
    if (capacities.empty() || capacities.back() != a.capacity) capacities.push_back(a.capacity);
  }
  EXPECT_EQ(capacities, (std::vector<std::int64_t>{4, 10, 19, 32, 52}));
  ptrarray_release(a);
  EXPECT_EQ(a.items, nullptr);
}

TEST(PtrArrayTest, FreeItemsKeepsTheStorageForReuseAndSkipsNulls) {
  PtrArray never_used;
  ptrarray_free_items(never_used);  // nothing to do, nothing to crash on
  EXPECT_EQ(never_used.count, 0);

  PtrArray a;
  ptrarray_push(a, mem_alloc(16));
  ptrarray_push(a, nullptr);
  ptrarray_push(a, mem_alloc(16));
  void** storage = a.items;
  ptrarray_free_items(a);
  EXPECT_EQ(a.count, 0);
  EXPECT_EQ(a.capacity, 4);
  EXPECT_EQ(a.items, storage);

  mem_fail_after(0);  // a push into kept storage allocates nothing
  EXPECT_NE(ptrarray_push(a, nullptr), nullptr);
  mem_fail_after(-1);
  ptrarray_release(a);
}

TEST(PtrArrayTest, AFailedGrowthPushesNothing) {
  PtrArray a;
  for (int i = 0; i < 4; ++i) ptrarray_push(a, nullptr);
  mem_fail_after(0);
  EXPECT_EQ(ptrarray_push(a, nullptr), nullptr);
  mem_fail_after(-1);
  EXPECT_EQ(a.count, 4);
  EXPECT_EQ(a.capacity, 4);
  ptrarray_release(a);
}

}  // namespace
}  // namespace quarn
