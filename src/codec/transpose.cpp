#include "codec/transpose.h"

#include <cstring>
#include <initializer_list>

namespace quarn {
namespace {

// Transposes the 8 x 8 bytes of `a` (byte r of a[c] to byte c of a[r]) by swapping ever smaller
// blocks: the 4 x 4 corners, then 2 x 2, then single bytes.
inline void transpose8(std::uint64_t a[8]) {
  for (int c = 0; c < 4; ++c) {
    const std::uint64_t t = ((a[c] >> 32) ^ a[c + 4]) & 0x00000000FFFFFFFFull;
    a[c] ^= t << 32;
    a[c + 4] ^= t;
  }
  for (int c : {0, 1, 4, 5}) {
    const std::uint64_t t = ((a[c] >> 16) ^ a[c + 2]) & 0x0000FFFF0000FFFFull;
    a[c] ^= t << 16;
    a[c + 2] ^= t;
  }
  for (int c = 0; c < 8; c += 2) {
    const std::uint64_t t = ((a[c] >> 8) ^ a[c + 1]) & 0x00FF00FF00FF00FFull;
    a[c] ^= t << 8;
    a[c + 1] ^= t;
  }
}

}  // namespace

void untranspose(std::uint8_t* out, const std::uint8_t* matrix, std::uint64_t lines, std::uint64_t columns,
                 std::uint64_t first, std::uint64_t n) {
  std::uint64_t c = 0;
  for (; c + 8 <= columns; c += 8) {
    const std::uint8_t* src = matrix + c * lines + first;
    std::uint64_t r = 0;
    for (; r + 8 <= n; r += 8) {
      std::uint64_t a[8];
      for (std::uint64_t k = 0; k < 8; ++k) std::memcpy(&a[k], src + k * lines + r, 8);
      transpose8(a);
      for (std::uint64_t k = 0; k < 8; ++k) std::memcpy(out + (r + k) * columns + c, &a[k], 8);
    }
    for (; r < n; ++r) {
      for (std::uint64_t k = 0; k < 8; ++k) out[r * columns + c + k] = src[k * lines + r];
    }
  }
  for (; c < columns; ++c) {
    const std::uint8_t* src = matrix + c * lines + first;
    for (std::uint64_t r = 0; r < n; ++r) out[r * columns + c] = src[r];
  }
}

void transpose_into(std::uint8_t* matrix, std::uint64_t lines, std::uint64_t first, const std::uint8_t* rows,
                    std::size_t stride, std::uint64_t n, std::uint64_t from, std::uint64_t to) {
  for (std::uint64_t c = from; c < to; c += 8) {
    const std::uint64_t width = to - c < 8 ? to - c : 8;
    std::uint8_t* dst = matrix + c * lines + first;
    std::uint64_t r = 0;
    for (; r + 8 <= n; r += 8) {
      std::uint64_t a[8];
      for (std::uint64_t k = 0; k < 8; ++k) std::memcpy(&a[k], rows + (r + k) * stride + c, 8);
      transpose8(a);
      for (std::uint64_t k = 0; k < width; ++k) std::memcpy(dst + k * lines + r, &a[k], 8);
    }
    for (; r < n; ++r) {
      for (std::uint64_t k = 0; k < width; ++k) dst[k * lines + r] = rows[r * stride + c + k];
    }
  }
}

}  // namespace quarn
