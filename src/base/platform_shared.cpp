#include "base/platform_shared.h"

#include <cstdlib>
#include <cstring>

#include "base/platform.h"

namespace quarn {
namespace platform_detail {

bool term_is_dumb() {
  const char* term = std::getenv("TERM");
  return term != nullptr && std::strcmp(term, "dumb") == 0;
}

int clamp_cores(std::int64_t n) { return n < 1 ? 1 : n > 65536 ? 65536 : static_cast<int>(n); }

}  // namespace platform_detail

bool platform_environment(const char* name, char* buffer, std::size_t capacity) {
  const char* value = std::getenv(name);
  if (value == nullptr || capacity == 0) return false;
  const std::size_t n = std::strlen(value);
  if (n >= capacity) return false;
  std::memcpy(buffer, value, n + 1);
  return true;
}

}  // namespace quarn
