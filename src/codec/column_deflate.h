#pragma once

// The deflate coder of data blocks, and of transposed ones (records stored column by column:
// byte 0 of every record, then byte 1, ...) in particular. It knows zlib streams and columns of
// bytes, not the files that hold them, and depends on base/ and libdeflate alone.

#include <cstddef>
#include <cstdint>
#include <memory>

#include "base/memory.h"

namespace quarn {

// The columns of a transposed block that may hold bytes other than zero: column c is bit c % 64
// of bits[c / 64], and columns from 128 on always may. The others are zeros the compressor need
// not read. By default every column may hold anything.
struct LiveColumns {
  std::uint64_t bits[2] = {~std::uint64_t{0}, ~std::uint64_t{0}};
  bool may_be_nonzero(std::size_t c) const { return c >= 128 || ((bits[c / 64] >> (c % 64)) & 1) != 0; }
};

// What deflate() returns when the compressor itself failed (it ran out of memory, say).
inline constexpr std::size_t kDeflateFailed = ~std::size_t{0};

// Compresses blocks into zlib streams. One object serves one thread at a time.
class ColumnDeflater : public HeapObject {
 public:
  virtual ~ColumnDeflater() = default;
  // Compresses the `n` bytes at `in` into `out`, which has room for `capacity` bytes: the length
  // of the stream; 0 when it does not fit (the data does not shrink enough to be worth it);
  // kDeflateFailed when the compressor failed. libdeflate wants 8 bytes of room past the end
  // of what it writes, so a stream that would end in the last 8 does not fit either.
  virtual std::size_t deflate(const std::uint8_t* in, std::size_t n, std::uint8_t* out, std::size_t capacity) = 0;
  // The same for a transposed block of records of `record_size` bytes (`n` a multiple of it):
  // the columns lie one after the other, `n / record_size` bytes each, and those `live` leaves
  // out hold zeros. A deflater may use that to compress faster; by default it does not.
  virtual std::size_t deflate_columns(const std::uint8_t* in, std::size_t n, std::size_t /*record_size*/,
                                      const LiveColumns& /*live*/, std::uint8_t* out, std::size_t capacity) {
    return deflate(in, n, out, capacity);
  }
};

// Makes a deflater: quarn's own, or a test's. Null when memory runs out.
using ColumnDeflaterFactory = std::unique_ptr<ColumnDeflater> (*)();

// quarn's deflater: libdeflate at its fastest level, which on bus-logging records compresses
// better than zlib's fastest levels at a fraction of their time. Transposed blocks go faster
// still: every column but the last eight becomes a block of its own with its own Huffman codes,
// holding its bytes and the runs of equal ones (which is all the matching such a column offers);
// columns of zeros, the unused data bytes, make one block together; libdeflate takes the last
// eight, a record's time stamp in the layouts it serves, whose repeats lie far apart. Its memory comes from mem_alloc.
std::unique_ptr<ColumnDeflater> column_deflater_create();

}  // namespace quarn
