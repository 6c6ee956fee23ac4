// The log reader over arbitrary bytes: open, rewind, every record.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "io/buffered_stream.h"
#include "logging/report.h"
#include "textlog/text_log_reader.h"

namespace {

class BytesStream final : public quarn::Stream {
 public:
  BytesStream(const std::uint8_t* data, std::size_t size) : data_(data), size_(static_cast<std::int64_t>(size)) {}
  std::int64_t read(void* dst, std::uint64_t n) override {
    std::int64_t k = pos_ < size_ ? size_ - pos_ : 0;
    if (static_cast<std::uint64_t>(k) > n) k = static_cast<std::int64_t>(n);
    if (k > 0) std::memcpy(dst, data_ + pos_, static_cast<std::size_t>(k));
    pos_ += k;
    return k;
  }
  std::int64_t tell() override { return pos_; }
  std::int64_t seek(std::int64_t offset, int origin) override {
    std::int64_t t = origin == quarn::kSeekSet ? offset : origin == quarn::kSeekCur ? pos_ + offset : size_ + offset;
    if (t < 0) return -1;
    pos_ = t;
    return pos_;
  }

 private:
  const std::uint8_t* data_;
  std::int64_t size_;
  std::int64_t pos_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quarn::set_log_threshold(7);  // nothing on stderr
  BytesStream inner(data, size);
  // The first byte picks the window, so small refills and whole-file windows both get exercised.
  std::int64_t window = size > 0 ? (data[0] % 4 == 0 ? 7 : static_cast<std::int64_t>(size)) : 1;
  auto stream = quarn::bufstream_create(&inner, false, window);
  auto reader = quarn::textlog_open(stream.get());
  if (!reader) return 0;
  quarn::textlog_rewind(*reader);
  quarn::BusRecord record;
  double last = 0;
  while (quarn::textlog_next_record(*reader, record)) {
    if (record.DataLength > 8 || record.Timestamp < last) __builtin_trap();
    if (record.DataLength > 0 && record.DataPointer != record.Can.DataBytes) __builtin_trap();
    last = record.Timestamp;
  }
  return 0;
}
