#pragma once

#include <cstddef>
#include <cstdint>

namespace quarn {

// Every heap block the program's own structures take comes from here, so that tests can make
// allocation fail at a chosen point and check that nothing crashes or leaks. Blocks are plain
// malloc blocks: mem_free and free are interchangeable.
void* mem_alloc(std::size_t n);
void* mem_calloc(std::size_t n);
void* mem_realloc(void* p, std::size_t n);
void mem_free(void* p);

// Test hook: the next `n` allocations succeed and every later one fails, until the hook is
// reset with a negative value (the default: never fail).
void mem_fail_after(std::int64_t n);

// Test hook: the next `n` allocations succeed, the one after fails, and the later ones succeed
// again, as when one large request cannot be met; a negative value: never fail.
void mem_fail_once_after(std::int64_t n);

}  // namespace quarn

#include <new>

namespace quarn {

// Base for objects created with `new (std::nothrow) T(...)`: their memory comes from mem_alloc,
// so the allocation-failure hook reaches them too. Plain `new T` does not compile for them,
// which keeps creation from ever throwing.
struct HeapObject {
  static void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return mem_alloc(n); }
  static void operator delete(void* p) noexcept { mem_free(p); }
  static void operator delete(void* p, const std::nothrow_t&) noexcept { mem_free(p); }
  static void* operator new(std::size_t) = delete;
};

}  // namespace quarn
