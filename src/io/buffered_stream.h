#pragma once

#include <cstdint>
#include <memory>

#include "io/stream.h"

namespace quarn {

// A read-only stream that serves reads and seeks from one in-memory window of an inner stream.
// The object and its buffer are one allocation.
class BufferedStream final : public Stream {
 public:
  ~BufferedStream() override;

  std::int64_t read(void* dst, std::uint64_t n) override;
  std::int64_t tell() override { return base_ + cursor_; }
  std::int64_t seek(std::int64_t offset, int origin) override;
  int close() override;
  std::int64_t peek(const unsigned char** data) override;
  void consume(std::uint64_t n) override { cursor_ += static_cast<std::int64_t>(n); }

  static void* operator new(std::size_t size, std::size_t extra, const std::nothrow_t&) noexcept;
  static void operator delete(void* p, std::size_t extra, const std::nothrow_t&) noexcept;
  using HeapObject::operator delete;

 private:
  friend struct BufferedStreamProbe;  // tests look at the capacity
  friend std::unique_ptr<Stream> bufstream_create(Stream* inner, bool owns_inner, std::int64_t size);
  BufferedStream(Stream* inner, bool owns_inner, std::int64_t capacity);
  // Loads the window at `at`; false (window unchanged) when the inner stream yields nothing.
  bool refill(std::int64_t at);

  std::int64_t capacity_;
  std::int64_t filled_ = 0;
  std::int64_t cursor_ = 0;
  std::int64_t base_ = 0;
  unsigned char* buffer_;
  Stream* inner_;
  bool owns_inner_;
};

// Wraps `inner` in a window of `size` bytes raised to a multiple of 8 (1 gives 8, 4097 gives
// 4104). With owns_inner, closing or destroying the wrapper closes or destroys the inner stream,
// and the caller must give up its own ownership of it once this succeeds. Null when memory
// cannot be had; the inner stream then stays the caller's, untouched. Nothing is read yet.
std::unique_ptr<Stream> bufstream_create(Stream* inner, bool owns_inner, std::int64_t size);

}  // namespace quarn
