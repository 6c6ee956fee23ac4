#include "base/platform_failure.h"

#include <cstring>

namespace quarn {
namespace platform_detail {
namespace {

thread_local PlatformFailure t_failure{};

void copy_path(char (&out)[kPlatformPathMax + 1], const char* path) {
  std::size_t n = path == nullptr ? 0 : strnlen(path, sizeof out - 1);
  if (n > 0) std::memcpy(out, path, n);
  out[n] = '\0';
}

}  // namespace

void begin_call() { t_failure.call = nullptr; }

void record_failure(const char* call, const char* path, int error, const char* target) {
  t_failure.call = call;
  t_failure.error = error;
  copy_path(t_failure.path, path);
  copy_path(t_failure.target, target);
}

}  // namespace platform_detail

const PlatformFailure* platform_pending_failure() {
  return platform_detail::t_failure.call != nullptr ? &platform_detail::t_failure : nullptr;
}

void platform_clear_failure() { platform_detail::t_failure.call = nullptr; }

void platform_set_failure(const PlatformFailure& failure) {
  if (&failure != &platform_detail::t_failure) platform_detail::t_failure = failure;
}

}  // namespace quarn
