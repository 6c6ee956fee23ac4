#pragma once

#include <algorithm>
#include <cstring>
#include <string>

#include "io/stream.h"

namespace quarn::test {

// A readable, seekable stream over a string that counts the calls made on it, and can be told to
// fail: reads from the k-th call on return -1, and close can fail.
class MemoryStream final : public Stream {
 public:
  explicit MemoryStream(std::string data) : data_(std::move(data)) {}

  std::int64_t read(void* dst, std::uint64_t n) override {
    ++reads;
    if (fail_read_from > 0 && reads >= fail_read_from) return -1;
    std::uint64_t left = pos_ < static_cast<std::int64_t>(data_.size()) ? data_.size() - static_cast<std::uint64_t>(pos_) : 0;
    std::uint64_t k = std::min(n, left);
    if (k > 0) std::memcpy(dst, data_.data() + pos_, k);
    pos_ += static_cast<std::int64_t>(k);
    return static_cast<std::int64_t>(k);
  }
  std::int64_t tell() override { return pos_; }
  std::int64_t seek(std::int64_t offset, int origin) override {
    ++seeks;
    std::int64_t target = origin == kSeekSet ? offset
                          : origin == kSeekCur ? pos_ + offset
                          : origin == kSeekEnd ? static_cast<std::int64_t>(data_.size()) + offset
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
  int fail_read_from = 0;  // 0: never
  int close_status = 0;

 private:
  std::string data_;
  std::int64_t pos_ = 0;
};

}  // namespace quarn::test
