#include "base/ptr_array.h"

#include <cstddef>

#include "base/memory.h"

namespace quarn {

void** ptrarray_push(PtrArray& a, void* p) {
  if (a.count == a.capacity) {
    std::int64_t newcap = a.count * 3 / 2 + 4;
    void* grown = mem_realloc(a.items, static_cast<std::size_t>(newcap) * sizeof(void*));
    if (grown == nullptr) return nullptr;
    a.items = static_cast<void**>(grown);
    a.capacity = newcap;
  }
  a.items[a.count] = p;
  return &a.items[a.count++];
}

void ptrarray_free_items(PtrArray& a) {
  if (a.capacity == 0) return;
  for (std::int64_t i = a.count - 1; i >= 0; --i) {
    if (a.items[i] != nullptr) mem_free(a.items[i]);
  }
  a.count = 0;
}

void ptrarray_release(PtrArray& a) {
  ptrarray_free_items(a);
  mem_free(a.items);
  a.items = nullptr;
  a.capacity = 0;
}

}  // namespace quarn
