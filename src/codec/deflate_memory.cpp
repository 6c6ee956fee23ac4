#include "codec/deflate_memory.h"

#include <libdeflate.h>

#include <mutex>

#include "base/memory.h"

namespace quarn {

void deflate_use_quarn_memory() {
  static std::once_flag once;
  std::call_once(once, [] { libdeflate_set_memory_allocator(mem_alloc, mem_free); });
}

}  // namespace quarn
