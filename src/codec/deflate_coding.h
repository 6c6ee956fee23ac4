#pragma once

// The pieces of a deflate stream that quarn's own coders share: the format's fixed numbers, a bit
// writer, Huffman codes made for a block, and a dynamic block's header.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace quarn::deflate_coding {

// Deflate's fixed numbers: the length codes 257 to 285 with their base lengths and extra bits,
// and the order in which a dynamic block lists the code length code's lengths.
inline constexpr std::uint16_t kLengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                                  31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
inline constexpr std::uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                                  2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
inline constexpr std::uint8_t kCodeLengthOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
inline constexpr int kLitLenCodes = 286;
inline constexpr int kDistCodes = 30;
inline constexpr int kEndOfBlock = 256;
inline constexpr unsigned kMaxRun = 258;
// The length code of a match of `length` (3 to 258) bytes, by table.
struct LengthCodes {
  std::uint8_t of[kMaxRun + 1] = {};
  constexpr LengthCodes() {
    int c = 0;
    for (unsigned length = 3; length <= kMaxRun; ++length) {
      while (c < 28 && kLengthBase[c + 1] <= length) ++c;
      of[length] = static_cast<std::uint8_t>(c);
    }
  }
};
inline constexpr LengthCodes kLengthCodes;
inline int length_code(unsigned length) { return kLengthCodes.of[length]; }

// Deflate's bit order: the first bit in the lowest bit of a byte. Between calls fewer than 32
// bits wait in the buffer.
class BitOut {
 public:
  BitOut(std::uint8_t* out, std::size_t capacity) : out_(out), capacity_(capacity) {}
  // Continues a stream whose last byte holds `bits` (0 to 7) bits already.
  void resume(std::size_t bytes, std::uint8_t partial, unsigned bits) {
    pos_ = bytes;
    acc_ = partial & ((1u << bits) - 1);
    count_ = bits;
  }
  // `n` up to 32 bits.
  void put(std::uint32_t value, unsigned n) {
    acc_ |= static_cast<std::uint64_t>(value) << count_;
    count_ += n;
    if (count_ >= 32) {
      if (pos_ + 8 <= capacity_) {
        std::memcpy(out_ + pos_, &acc_, 8);  // little-endian: the low four bytes are the ones due
      } else if (pos_ + 4 <= capacity_) {
        for (int i = 0; i < 4; ++i)
          out_[pos_ + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(acc_ >> (8 * i));
      } else {
        full_ = true;
      }
      pos_ += 4;
      acc_ >>= 32;
      count_ -= 32;
    }
  }
  // The writer's state in the caller's hands, for a stretch of codes put without a check of the
  // room, which the caller made sure of (room_for); back with resume_from() before any other call.
  struct Cursor {
    std::uint8_t* dst;
    std::uint64_t acc;
    unsigned count;
    // A whole word is stored every time and the position moves on by the bytes filled, which
    // costs less than a branch per code. `n` up to 32 bits.
    void put(std::uint32_t value, unsigned n) {
      acc |= static_cast<std::uint64_t>(value) << count;
      count += n;
      std::memcpy(dst, &acc, 8);
      dst += count >> 3;
      acc >>= count & ~7u;
      count &= 7;
    }
  };
  Cursor cursor() const { return Cursor{out_ + pos_, acc_, count_}; }
  void resume_from(const Cursor& c) {
    pos_ = static_cast<std::size_t>(c.dst - out_);
    acc_ = c.acc;
    count_ = c.count;
  }
  // Bits written so far, those waiting included.
  std::uint64_t bits() const { return std::uint64_t{pos_} * 8 + count_; }
  // True when `more` further bits, and the 8 bytes a wide store may touch past them, have room.
  bool room_for(std::uint64_t more) const { return (bits() + more) / 8 + 8 <= capacity_; }
  // Writes `n` symbols, each as the `counts[s]` bits of `bits[s]`, `per` of them fitting the 57
  // bits free after a flush. The caller has made sure of the room (room_for).
  template <int per, typename Symbol>
  void put_symbols(const Symbol* symbols, std::size_t n, const std::uint32_t* bits, const std::uint8_t* counts) {
    std::uint8_t* dst = out_ + pos_;
    std::uint64_t acc = acc_;
    unsigned count = count_;
    auto flush = [&] {
      std::memcpy(dst, &acc, 8);
      dst += count >> 3;
      acc >>= count & ~7u;
      count &= 7;
    };
    flush();
    std::size_t i = 0;
    for (; i + per <= n; i += per) {
      for (int k = 0; k < per; ++k) {
        const Symbol s = symbols[i + static_cast<std::size_t>(k)];
        acc |= static_cast<std::uint64_t>(bits[s]) << count;
        count += counts[s];
      }
      flush();
    }
    for (; i < n; ++i) {
      acc |= static_cast<std::uint64_t>(bits[symbols[i]]) << count;
      count += counts[symbols[i]];
      flush();
    }
    pos_ = static_cast<std::size_t>(dst - out_);
    acc_ = acc;
    count_ = count;
  }
  // A stored block of `n` bytes (up to 65,535), the last or not: its header, the padding to a
  // byte, its length twice, and the bytes as they are.
  void put_stored(const std::uint8_t* p, std::size_t n, bool last = false) {
    put(last ? 1 : 0, 3);
    if (count_ % 8 != 0) put(0, 8 - count_ % 8);
    put(static_cast<std::uint32_t>(n) | (static_cast<std::uint32_t>(~n & 0xFFFF) << 16), 32);
    finish();
    if (pos_ + n <= capacity_) {
      std::memcpy(out_ + pos_, p, n);
    } else {
      full_ = true;
    }
    pos_ += n;
  }
  // Pads the last byte with zeros; the stream's length.
  std::size_t finish() {
    while (count_ > 0) {
      if (pos_ < capacity_) {
        out_[pos_] = static_cast<std::uint8_t>(acc_);
      } else {
        full_ = true;
      }
      ++pos_;
      acc_ >>= 8;
      count_ = count_ >= 8 ? count_ - 8 : 0;
    }
    return pos_;
  }
  bool full() const { return full_ || pos_ > capacity_; }
  void set_full() { full_ = true; }

 private:
  std::uint8_t* out_;
  std::size_t capacity_;
  std::size_t pos_ = 0;
  std::uint64_t acc_ = 0;
  unsigned count_ = 0;
  bool full_ = false;
};

// Huffman code lengths of at most `limit` bits for the `n` frequencies; 0 for unused symbols, 1
// for a lone one. Past the limit the frequencies are flattened until the code fits.
void code_lengths(const std::uint32_t* frequency, int n, unsigned limit, std::uint8_t* length);

// The canonical codes of the lengths, bit-reversed to go out lowest bit first.
void canonical_codes(const std::uint8_t* length, int n, std::uint16_t* code);

// The header of a dynamic block: `lengths` holds the `hlit` literal/length code lengths, then the
// `hdist` distance code lengths. A decoder refuses a code length code of one symbol, so that code
// gets a second one.
void put_dynamic_header(BitOut& out, bool last, const std::uint8_t* lengths, int hlit, int hdist);

inline constexpr std::uint64_t kLowBits = 0x7F7F7F7F7F7F7F7Full;
inline constexpr std::uint64_t kOnes = 0x0101010101010101ull;

// 0x80 in each byte of `x` that is zero, 0 in the others.
inline std::uint64_t zero_bytes(std::uint64_t x) { return ~(((x & kLowBits) + kLowBits) | x | kLowBits); }

inline std::uint64_t load64(const std::uint8_t* p) {
  std::uint64_t w;
  std::memcpy(&w, p, 8);
  return w;
}

}  // namespace quarn::deflate_coding
