#pragma once

// Blocks stored transposed (byte 0 of every record, then byte 1 of every record, ...) put back in
// their records' order, for whoever reads such a block or stores one as plain records after all,
// and records put into such a block.

#include <cstddef>
#include <cstdint>

namespace quarn {

// Records `first` to `first + n` of a transposed matrix (`lines` records of `columns` bytes, byte
// c of every record after byte c - 1 of every record) back in their own order, in squares of eight
// records by eight columns. Eight columns at a time over all the records, so that the matrix is
// read as eight runs of bytes at once, which the processor sees coming, while the tile written
// stays in its cache.
void untranspose(std::uint8_t* out, const std::uint8_t* matrix, std::uint64_t lines, std::uint64_t columns,
                 std::uint64_t first, std::uint64_t n);

// The other way: columns `from` to `to` of `n` records laid out `stride` bytes apart in `rows`
// into records `first` to `first + n` of a transposed matrix of `lines` records, in squares of
// eight, so that each column gets runs of eight bytes rather than a byte a record. The other
// columns of the matrix stay as they are. `stride` leaves room for eight bytes from every
// column below `to`.
void transpose_into(std::uint8_t* matrix, std::uint64_t lines, std::uint64_t first, const std::uint8_t* rows,
                    std::size_t stride, std::uint64_t n, std::uint64_t from, std::uint64_t to);

}  // namespace quarn
