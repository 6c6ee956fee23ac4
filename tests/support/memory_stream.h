#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "io/stream.h"

namespace quarn::test {

// A readable, seekable stream over bytes in memory, its own or borrowed, shared by the tests, the
// fuzz targets and the benchmarks. It counts the calls made on it and can be told to fail: reads
// from the k-th call on return -1, and close can fail.
class MemoryStream final : public Stream {
 public:
  // Over its own copy of `data`.
  explicit MemoryStream(std::string data) : owned_(std::move(data)), data_(owned_.data()), size_(owned_.size()) {}
  // Over `size` bytes at `data`, which must outlive the stream.
  MemoryStream(const void* data, std::size_t size) : data_(static_cast<const char*>(data)), size_(size) {}

  std::int64_t read(void* dst, std::uint64_t n) override {
    ++reads;
    if (fail_read_from > 0 && reads >= fail_read_from) return -1;
    std::uint64_t at = static_cast<std::uint64_t>(pos_);
    std::uint64_t left = at < size_ ? size_ - at : 0;
    std::uint64_t k = std::min(n, left);
    if (k > 0) std::memcpy(dst, data_ + at, k);
    pos_ += static_cast<std::int64_t>(k);
    return static_cast<std::int64_t>(k);
  }
  std::int64_t tell() override { return pos_; }
  std::int64_t seek(std::int64_t offset, int origin) override {
    ++seeks;
    seek_calls.emplace_back(offset, origin);
    std::int64_t target = origin == kSeekSet   ? offset
                          : origin == kSeekCur ? pos_ + offset
                          : origin == kSeekEnd ? static_cast<std::int64_t>(size_) + offset
                                               : -1;
    if (target < 0) return -1;
    pos_ = target;
    return pos_;
  }
  int close() override {
    ++closes;
    return close_status;
  }

  int reads = 0;
  int seeks = 0;
  int closes = 0;
  std::vector<std::pair<std::int64_t, int>> seek_calls;  // offset and origin of each seek
  int fail_read_from = 0;                                // 0: never
  int close_status = 0;

 private:
  std::string owned_;
  const char* data_;
  std::uint64_t size_;
  std::int64_t pos_ = 0;
};

}  // namespace quarn::test
