#include "base/memory.h"

#include <atomic>
#include <cstdlib>

namespace quarn {
namespace {
// Atomic, because a conversion allocates on more than one thread.
std::atomic<std::int64_t> g_allocations_left{-1};
std::atomic<bool> g_fail_once{false};

bool allocation_allowed() {
  std::int64_t left = g_allocations_left.load(std::memory_order_relaxed);
  for (;;) {
    if (left < 0) return true;
    if (left == 0) {
      if (g_fail_once.load(std::memory_order_relaxed)) g_allocations_left.compare_exchange_strong(left, -1);
      return false;
    }
    if (g_allocations_left.compare_exchange_weak(left, left - 1, std::memory_order_relaxed)) return true;
  }
}
}  // namespace

void* mem_alloc(std::size_t n) { return allocation_allowed() ? std::malloc(n) : nullptr; }
void* mem_calloc(std::size_t n) { return allocation_allowed() ? std::calloc(1, n) : nullptr; }
void* mem_realloc(void* p, std::size_t n) { return allocation_allowed() ? std::realloc(p, n) : nullptr; }
void mem_free(void* p) { std::free(p); }
void mem_fail_after(std::int64_t n) {
  g_fail_once.store(false);
  g_allocations_left.store(n);
}

void mem_fail_once_after(std::int64_t n) {
  g_fail_once.store(true);
  g_allocations_left.store(n);
}

}  // namespace quarn
