#pragma once

#include <cstdint>
#include <memory>

#include "base/memory.h"

namespace quarn {

// "This stream cannot do that": what an operation a kind does not have yields. No operation
// returns it itself.
inline constexpr std::int64_t kUnsupported = -2;

// Seek origins, numbered as the C library's SEEK_SET, SEEK_CUR and SEEK_END.
inline constexpr int kSeekSet = 0;
inline constexpr int kSeekCur = 1;
inline constexpr int kSeekEnd = 2;

// A byte stream. Each default body is what a kind without that operation yields; a kind overrides
// only what it can do. Use it through the stream_ calls below.
class Stream : public HeapObject {
 public:
  virtual ~Stream() = default;
  // Bytes read; 0 at the end of the data; a short count on error.
  virtual std::int64_t read(void* /*dst*/, std::uint64_t /*n*/) { return kUnsupported; }
  // Bytes written; a count below n is how a failed write shows.
  virtual std::int64_t write(const void* /*src*/, std::uint64_t /*n*/) { return kUnsupported; }
  virtual std::int64_t tell() { return kUnsupported; }
  // The new position, or a negative error.
  virtual std::int64_t seek(std::int64_t /*offset*/, int /*origin*/) { return kUnsupported; }
  // 0 when the underlying resource was released; otherwise an error status. Called once, through
  // stream_close; the destructor must never release the resource a second time.
  virtual int close() { return 0; }
  // Makes the written bytes durable on stable storage. False when that cannot be done.
  virtual bool sync() { return true; }
  // Zero-copy reading for line scanners: points `data` at the bytes available from the current
  // position on without consuming them, loading more when none are at hand, and returns their
  // count; 0 at the end of the data. kUnsupported when the stream keeps no bytes of its own (then
  // read it with read()). Use consume() to move past what was used.
  virtual std::int64_t peek(const unsigned char** data) {
    *data = nullptr;
    return kUnsupported;
  }
  // Moves past n bytes of what the last peek offered.
  virtual void consume(std::uint64_t /*n*/) {}
};

std::int64_t stream_read(Stream& s, void* dst, std::uint64_t n);
std::int64_t stream_write(Stream& s, const void* src, std::uint64_t n);
std::int64_t stream_tell(Stream& s);
std::int64_t stream_seek(Stream& s, std::int64_t offset, int origin);

// 0 for a null stream; otherwise the close status. On 0 the object is freed and `s` is reset;
// on failure `s` still holds the object, which the caller disposes of (its destructor does not
// close again).
int stream_close(std::unique_ptr<Stream>& s);

// Reads up to n bytes, going on after short reads: the count read, short of n only at the end of
// the stream or on a failure.
std::int64_t stream_read_fully(Stream& s, void* into, std::uint64_t n);

// The total size, leaving the position where it was; -1 for a null stream, negative when the
// stream cannot tell.
std::int64_t stream_size(Stream* s);

}  // namespace quarn
