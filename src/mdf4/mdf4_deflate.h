#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "base/memory.h"

namespace quarn {

// How the MDF4 writer stores its data blocks: as they are (DT), deflated (DZ), or transposed
// and deflated (DZ), which puts byte 0 of every record first, then byte 1, and so on, so that
// the runs of equal bytes within a column compress well.
enum class Mdf4Compression : std::uint8_t { None, Deflate, Transposed };

// The names the command line gives them ("none", "deflate", "transposed"); null for others.
const char* mdf4_compression_name(Mdf4Compression compression);
// The compression named `text`; false, leaving `out` as it was, for any other text.
bool mdf4_compression_parse(const char* text, Mdf4Compression& out);

// The columns of a transposed block that may hold bytes other than zero: column c is bit c % 64
// of bits[c / 64], and columns from 128 on always may. The others are zeros the compressor need
// not read. By default every column may hold anything.
struct Mdf4LiveColumns {
  std::uint64_t bits[2] = {~std::uint64_t{0}, ~std::uint64_t{0}};
  bool may_be_nonzero(std::size_t c) const { return c >= 128 || ((bits[c / 64] >> (c % 64)) & 1) != 0; }
};

// What deflate() returns when the compressor itself failed (it ran out of memory, say).
inline constexpr std::size_t kMdf4DeflateFailed = ~std::size_t{0};

// Compresses blocks into zlib streams (the format of a DZ block's data). One object serves one
// thread at a time.
class Mdf4Deflater : public HeapObject {
 public:
  virtual ~Mdf4Deflater() = default;
  // Compresses the `n` bytes at `in` into `out`, which has room for `capacity` bytes: the length
  // of the stream; 0 when it does not fit (the data does not shrink enough to be worth it);
  // kMdf4DeflateFailed when the compressor failed. libdeflate wants 8 bytes of room past the end
  // of what it writes, so a stream that would end in the last 8 does not fit either.
  virtual std::size_t deflate(const std::uint8_t* in, std::size_t n, std::uint8_t* out, std::size_t capacity) = 0;
  // The same for a transposed block of records of `record_size` bytes (`n` a multiple of it):
  // the columns lie one after the other, `n / record_size` bytes each, and those `live` leaves
  // out hold zeros. A deflater may use that to compress faster; by default it does not.
  virtual std::size_t deflate_columns(const std::uint8_t* in, std::size_t n, std::size_t /*record_size*/,
                                      const Mdf4LiveColumns& /*live*/, std::uint8_t* out, std::size_t capacity) {
    return deflate(in, n, out, capacity);
  }
};

// Makes a deflater: quarn's own, or a test's. Null when memory runs out.
using Mdf4DeflaterFactory = std::unique_ptr<Mdf4Deflater> (*)();

// quarn's deflater: libdeflate at its fastest level, which on bus-logging records compresses
// better than zlib's fastest levels at a fraction of their time. Transposed blocks go faster
// still: every column but the last eight becomes a block of its own with its own Huffman codes,
// holding its bytes and the runs of equal ones (which is all the matching such a column offers);
// columns of zeros, the unused data bytes, make one block together; libdeflate takes the last
// eight, the master time's, whose repeats lie far apart. Its memory comes from mem_alloc.
std::unique_ptr<Mdf4Deflater> mdf4_deflater_create();

}  // namespace quarn
