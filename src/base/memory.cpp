#include "base/memory.h"

#include <cstdlib>

namespace quarn {
namespace {
std::int64_t g_allocations_left = -1;
bool g_fail_once = false;

bool allocation_allowed() {
  if (g_allocations_left < 0) return true;
  if (g_allocations_left == 0) {
    if (g_fail_once) g_allocations_left = -1;
    return false;
  }
  --g_allocations_left;
  return true;
}
}  // namespace

void* mem_alloc(std::size_t n) { return allocation_allowed() ? std::malloc(n) : nullptr; }
void* mem_calloc(std::size_t n) { return allocation_allowed() ? std::calloc(1, n) : nullptr; }
void* mem_realloc(void* p, std::size_t n) { return allocation_allowed() ? std::realloc(p, n) : nullptr; }
void mem_free(void* p) { std::free(p); }
void mem_fail_after(std::int64_t n) {
  g_allocations_left = n;
  g_fail_once = false;
}

void mem_fail_once_after(std::int64_t n) {
  g_allocations_left = n;
  g_fail_once = true;
}

}  // namespace quarn
