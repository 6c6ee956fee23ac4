#include "io/buffered_stream.h"

#include <cstring>

#include "base/platform.h"

namespace quarn {

void* BufferedStream::operator new(std::size_t size, std::size_t extra, const std::nothrow_t&) noexcept {
  // Zeroed in one go: large blocks come straight from the kernel already zero.
  return mem_calloc(size + extra);
}

void BufferedStream::operator delete(void* p, std::size_t, const std::nothrow_t&) noexcept { mem_free(p); }

BufferedStream::BufferedStream(Stream* inner, bool owns_inner, std::int64_t capacity)
    : capacity_(capacity),
      buffer_(reinterpret_cast<unsigned char*>(this) + sizeof(BufferedStream)),
      inner_(inner),
      owns_inner_(owns_inner) {}

BufferedStream::~BufferedStream() {
  if (owns_inner_) delete inner_;
}

std::unique_ptr<Stream> bufstream_create(Stream* inner, bool owns_inner, std::int64_t size) {
  std::int64_t capacity = size <= 0 ? 0 : size + (8 - size % 8) % 8;
  if (capacity < size) return nullptr;  // overflow near INT64_MAX
  return std::unique_ptr<Stream>(new (static_cast<std::size_t>(capacity), std::nothrow)
                                     BufferedStream(inner, owns_inner, capacity));
}

bool BufferedStream::refill(std::int64_t at) {
  if (inner_ == nullptr) return false;
  stream_seek(*inner_, at, kSeekSet);
  std::int64_t got = stream_read(*inner_, buffer_, static_cast<std::uint64_t>(capacity_));
  if (got <= 0) return false;  // end of data and read errors look alike
  base_ = at;
  cursor_ = 0;
  filled_ = got;
  return true;
}

std::int64_t BufferedStream::read(void* dst, std::uint64_t n) {
  if (n == 0) return 0;
  unsigned char* out = static_cast<unsigned char*>(dst);
  std::uint64_t delivered = 0;
  std::int64_t avail = filled_ - cursor_;
  while (delivered < n) {
    if (avail == 0) {
      if (!refill(base_ + cursor_)) return static_cast<std::int64_t>(delivered);
      avail = filled_;
    }
    std::uint64_t k = n - delivered;
    if (static_cast<std::uint64_t>(avail) < k) k = static_cast<std::uint64_t>(avail);
    std::memcpy(out + delivered, buffer_ + cursor_, k);
    cursor_ += static_cast<std::int64_t>(k);
    avail -= static_cast<std::int64_t>(k);
    delivered += k;
  }
  return static_cast<std::int64_t>(n);
}

std::int64_t BufferedStream::peek(const unsigned char** data) {
  // Loads exactly when read() would: only once the window is used up.
  if (filled_ == cursor_ && !refill(base_ + cursor_)) {
    *data = nullptr;
    return 0;
  }
  *data = buffer_ + cursor_;
  return filled_ - cursor_;
}

std::int64_t BufferedStream::seek(std::int64_t offset, int origin) {
  std::int64_t target;
  switch (origin) {
    case kSeekSet: target = offset; break;
    case kSeekCur: target = base_ + cursor_ + offset; break;
    case kSeekEnd:
      if (inner_ == nullptr) return -1;
      stream_seek(*inner_, offset, kSeekEnd);
      target = stream_tell(*inner_);
      break;
    default: return -1;
  }
  if (target < 0) return -1;
  if (target >= base_ && target <= base_ + filled_) {
    cursor_ = target - base_;
    return target;
  }
  // The window moves there and loads at the next read, as a file's position does: a seek to the
  // end (to learn the size) or past it reads nothing and must not fail for it.
  base_ = target;
  cursor_ = 0;
  filled_ = 0;
  return target;
}

int BufferedStream::close() {
  if (inner_ != nullptr && owns_inner_) {
    int r = inner_->close();
    if (r != 0) return r;
    delete inner_;
    inner_ = nullptr;
  }
  return 0;
}

}  // namespace quarn
