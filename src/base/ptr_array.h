#pragma once

#include <cstdint>

namespace quarn {

// A growable array of owned heap pointers (blocks from mem_alloc / malloc). All zero is empty.
struct PtrArray {
  void** items = nullptr;
  std::int64_t count = 0;
  std::int64_t capacity = 0;
};

// Appends p, growing the array to count x 1.5 + 4 (4, 10, 19, 32, ...) when full. Returns the
// slot now holding p, or null when the array cannot grow (nothing pushed, array unchanged).
void** ptrarray_push(PtrArray& a, void* p);

// Frees every non-null item, last to first, and sets count to 0. The array keeps its storage.
void ptrarray_free_items(PtrArray& a);

// Frees the items and the array itself; the array is empty afterwards.
void ptrarray_release(PtrArray& a);

}  // namespace quarn
