#pragma once

#include <cstdint>
#include <cstring>
#include <string>

#include "io/byte_sink.h"

namespace quarn::test {

// A ByteSink into a string, counting the calls made on it, that can be told to fail the k-th
// write or rewrite (1 for the first; 0: never). A failed call changes nothing.
class MemorySink final : public ByteSink {
 public:
  bool write(const void* data, std::size_t n) override {
    ++writes;
    if (fail_write_at > 0 && writes == fail_write_at) return false;
    bytes.append(static_cast<const char*>(data), n);
    return true;
  }
  bool rewrite(std::uint64_t offset, const void* data, std::size_t n) override {
    ++rewrites;
    if (fail_rewrite_at > 0 && rewrites == fail_rewrite_at) return false;
    if (offset > bytes.size() || n > bytes.size() - offset) return false;
    std::memcpy(bytes.data() + offset, data, n);
    return true;
  }
  std::uint64_t size() const override { return bytes.size(); }

  std::string bytes;
  int writes = 0;
  int rewrites = 0;
  int fail_write_at = 0;
  int fail_rewrite_at = 0;
};

}  // namespace quarn::test
