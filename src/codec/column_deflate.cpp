#include "codec/column_deflate.h"

#include <libdeflate.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "codec/deflate_memory.h"

namespace quarn {
namespace {

// Level 1 holds a 1,000,000-frame log in about 10.4 bytes a frame; the higher levels save a few
// per cent more at up to twice the time, which the conversion cannot spare.
constexpr int kLevel = 1;

// Deflate's fixed numbers: the length codes 257 to 285 with their base lengths and extra bits,
// and the order in which a dynamic block lists the code length code's lengths.
constexpr std::uint16_t kLengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                           31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr std::uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                           2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr std::uint8_t kCodeLengthOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
constexpr int kLitLenCodes = 286;
constexpr int kEndOfBlock = 256;
constexpr unsigned kMaxRun = 258;
// The master time's eight bytes, last in every record, which libdeflate takes: the low five
// change with every frame and recur far apart (a time's low bits repeat whenever its microseconds
// do, modulo 15,625), which only a full matcher finds.
constexpr std::size_t kTimeColumns = 8;
// A stored block holds no more; and the symbols of a column of up to 64K records.
constexpr std::size_t kMaxTokens = 65535;

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
constexpr LengthCodes kLengthCodes;
int length_code(unsigned length) { return kLengthCodes.of[length]; }

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
  // A stored block of `n` bytes (up to 65,535), not the last: its header, the padding to a byte,
  // its length twice, and the bytes as they are.
  void put_stored(const std::uint8_t* p, std::size_t n) {
    put(0, 3);
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
void code_lengths(const std::uint32_t* frequency, int n, unsigned limit, std::uint8_t* length) {
  std::uint32_t f[kLitLenCodes];
  std::memcpy(f, frequency, sizeof f[0] * static_cast<std::size_t>(n));
  for (;;) {
    // Sorted by frequency, then symbol: one key each, which sorts much faster than a comparison
    // that looks both up.
    std::uint64_t keys[kLitLenCodes];
    int m = 0;
    for (int i = 0; i < n; ++i) {
      length[i] = 0;
      if (f[i] > 0) keys[m++] = std::uint64_t{f[i]} << 16 | static_cast<unsigned>(i);
    }
    if (m == 0) return;
    if (m == 1) {
      length[keys[0] & 0xFFFF] = 1;
      return;
    }
    std::sort(keys, keys + m);
    // Two queues: the sorted leaves, and the inner nodes, made in the order of their weights.
    std::uint64_t weight[2 * kLitLenCodes];
    int parent[2 * kLitLenCodes];
    for (int i = 0; i < m; ++i) weight[i] = keys[i] >> 16;
    int leaf = 0, inner = m, next = m;
    auto smallest = [&] { return leaf < m && (inner >= next || weight[leaf] <= weight[inner]) ? leaf++ : inner++; };
    while (next < 2 * m - 1) {
      const int a = smallest();
      const int b = smallest();
      weight[next] = weight[a] + weight[b];
      parent[a] = parent[b] = next;
      ++next;
    }
    unsigned depth[2 * kLitLenCodes];
    depth[next - 1] = 0;
    unsigned deepest = 0;
    for (int i = next - 2; i >= 0; --i) {
      depth[i] = depth[parent[i]] + 1;
      deepest = std::max(deepest, depth[i]);
    }
    if (deepest <= limit) {
      for (int i = 0; i < m; ++i) length[keys[i] & 0xFFFF] = static_cast<std::uint8_t>(depth[i]);
      return;
    }
    for (int i = 0; i < n; ++i) f[i] = f[i] == 0 ? 0 : (f[i] + 1) / 2;
  }
}

// Each byte with its bits in reverse order.
struct ReversedBytes {
  std::uint8_t of[256] = {};
  constexpr ReversedBytes() {
    for (unsigned b = 0; b < 256; ++b) {
      unsigned r = 0;
      for (unsigned k = 0; k < 8; ++k) r |= ((b >> k) & 1) << (7 - k);
      of[b] = static_cast<std::uint8_t>(r);
    }
  }
};
constexpr ReversedBytes kReversed;

// The canonical codes of the lengths, bit-reversed to go out lowest bit first.
void canonical_codes(const std::uint8_t* length, int n, std::uint16_t* code) {
  unsigned count[16] = {};
  for (int i = 0; i < n; ++i) ++count[length[i]];
  count[0] = 0;
  unsigned next[16] = {};
  unsigned c = 0;
  for (int bits = 1; bits < 16; ++bits) {
    c = (c + count[bits - 1]) << 1;
    next[bits] = c;
  }
  for (int i = 0; i < n; ++i) {
    const unsigned bits = length[i];
    if (bits == 0) continue;
    const unsigned v = next[bits]++;
    const unsigned reversed = static_cast<unsigned>(kReversed.of[v & 0xFF]) << 8 | kReversed.of[(v >> 8) & 0xFF];
    code[i] = static_cast<std::uint16_t>(reversed >> (16 - bits));
  }
}

// The literal/length code of one block, as BitOut::put_symbols takes it (bits and their count):
// an entry per byte, and one per match of distance 1 at 256 plus its length, holding the
// length's code, its extra bits and the distance code's single 0 bit.
struct BlockCode {
  std::uint8_t lengths[kLitLenCodes + 1];  // room for the distance code's length after them
  std::uint16_t codes[kLitLenCodes];
  int hlit;
  std::uint32_t bits[256 + kMaxRun + 1];
  std::uint8_t counts[256 + kMaxRun + 1];
};

// A stretch of a column: `literals` bytes as they are, then a match of distance 1 of `match`
// bytes (none when 0).
struct Segment {
  std::uint16_t literals;
  std::uint16_t match;
};
// A column piece's segments: each one with a match covers four bytes or more.
constexpr std::size_t kMaxSegments = kMaxTokens / 2 + 4;

// Code lengths and codes for `freq` (the end of the block counted in), and the bits its symbols
// will take.
std::uint64_t make_code(const std::uint32_t* freq, bool matches, BlockCode& code) {
  const int n = matches ? kLitLenCodes : kEndOfBlock + 1;
  code_lengths(freq, n, 15, code.lengths);
  int hlit = n;
  while (hlit > 257 && code.lengths[hlit - 1] == 0) --hlit;
  code.hlit = hlit;
  canonical_codes(code.lengths, hlit, code.codes);
  std::uint64_t bits = 0;
  for (int s = 0; s < 256; ++s) {
    code.bits[s] = code.codes[s];
    code.counts[s] = code.lengths[s];
    bits += std::uint64_t{freq[s]} * code.lengths[s];
  }
  bits += code.lengths[kEndOfBlock];
  if (matches) {
    for (int c = 0; c < 29; ++c) bits += std::uint64_t{freq[257 + c]} * (code.lengths[257 + c] + kLengthExtra[c] + 1u);
    for (unsigned length = 3; length <= kMaxRun; ++length) {
      const int c = length_code(length);
      const unsigned own = code.lengths[257 + c];
      code.bits[256 + length] = code.codes[257 + c] | (length - kLengthBase[c]) << own;
      code.counts[256 + length] = static_cast<std::uint8_t>(own + kLengthExtra[c] + 1u);
    }
  }
  return bits;
}

// The header of a dynamic block, not the last, of `code` and one distance code (distance 1,
// however many matches; none is allowed too).
void put_header(BitOut& out, BlockCode& code) {
  const int hlit = code.hlit;
  std::uint8_t* lengths = code.lengths;
  lengths[hlit] = 1;
  // The code lengths, run-length coded: 16 repeats the last length 3 to 6 times, 17 and 18 give 3
  // to 10 and 11 to 138 zeros.
  std::uint8_t cl_symbol[kLitLenCodes + 1];
  std::uint8_t cl_extra[kLitLenCodes + 1];
  int cl_count = 0;
  std::uint32_t cl_freq[19] = {};
  const int total = hlit + 1;
  for (int i = 0; i < total;) {
    const std::uint8_t v = lengths[i];
    int run = 1;
    while (i + run < total && lengths[i + run] == v) ++run;
    i += run;
    auto emit = [&](int symbol, int extra) {
      cl_symbol[cl_count] = static_cast<std::uint8_t>(symbol);
      cl_extra[cl_count++] = static_cast<std::uint8_t>(extra);
      ++cl_freq[symbol];
    };
    if (v == 0) {
      while (run >= 11) {
        const int r = std::min(run, 138);
        emit(18, r - 11);
        run -= r;
      }
      if (run >= 3) {
        emit(17, run - 3);
        run = 0;
      }
    } else {
      emit(v, 0);
      --run;
      while (run >= 3) {
        const int r = std::min(run, 6);
        emit(16, r - 3);
        run -= r;
      }
    }
    for (; run > 0; --run) emit(v, 0);
  }
  // A code of one symbol would be incomplete, which decoders refuse for code lengths.
  if (std::count_if(cl_freq, cl_freq + 19, [](std::uint32_t f) { return f > 0; }) < 2)
    cl_freq[cl_freq[0] > 0 ? 1 : 0] = 1;
  std::uint8_t cl_lengths[19];
  code_lengths(cl_freq, 19, 7, cl_lengths);
  std::uint16_t cl_codes[19] = {};
  canonical_codes(cl_lengths, 19, cl_codes);
  int hclen = 19;
  while (hclen > 4 && cl_lengths[kCodeLengthOrder[hclen - 1]] == 0) --hclen;

  out.put(0, 1);  // not the last block
  out.put(2, 2);  // dynamic Huffman codes
  out.put(static_cast<std::uint32_t>(hlit - 257), 5);
  out.put(0, 5);  // one distance code
  out.put(static_cast<std::uint32_t>(hclen - 4), 4);
  for (int i = 0; i < hclen; ++i) out.put(cl_lengths[kCodeLengthOrder[i]], 3);
  static constexpr unsigned kClExtraBits[19] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 3, 7};
  for (int i = 0; i < cl_count; ++i) {
    const int symbol = cl_symbol[i];
    out.put(cl_codes[symbol], cl_lengths[symbol]);
    if (kClExtraBits[symbol] > 0) out.put(cl_extra[i], kClExtraBits[symbol]);
  }
}

// Columns whose Huffman code would save less than this share of their bytes are stored as they
// are (random data bytes, mostly): coding them costs time and gains nothing worth it.
constexpr std::uint64_t kStoreBelowSaving = 16;

constexpr std::uint64_t kLowBits = 0x7F7F7F7F7F7F7F7Full;
constexpr std::uint64_t kOnes = 0x0101010101010101ull;

// 0x80 in each byte of `x` that is zero, 0 in the others.
inline std::uint64_t zero_bytes(std::uint64_t x) { return ~(((x & kLowBits) + kLowBits) | x | kLowBits); }

inline std::uint64_t load64(const std::uint8_t* p) {
  std::uint64_t w;
  std::memcpy(&w, p, 8);
  return w;
}

// The first position from `i` (at least 1) on where a match starts: the byte there and the two
// after it equal the one before it. `n` when there is none.
std::size_t next_run(const std::uint8_t* p, std::size_t i, std::size_t n) {
  // Eight neighbours compared at a time; the last two of them lack what follows, so six a step.
  for (; i + 8 <= n; i += 6) {
    const std::uint64_t equal = zero_bytes(load64(p + i) ^ load64(p + i - 1));
    const std::uint64_t three = equal & (equal >> 8) & (equal >> 16) & 0x0000808080808080ull;
    if (three != 0) return i + static_cast<std::size_t>(__builtin_ctzll(three)) / 8;
  }
  for (; i + 2 < n; ++i) {
    if (p[i] == p[i - 1] && p[i + 1] == p[i - 1] && p[i + 2] == p[i - 1]) return i;
  }
  return n;
}

// Where the run of the byte before `i` that goes on at `i` ends.
std::size_t run_end(const std::uint8_t* p, std::size_t i, std::size_t n) {
  const std::uint64_t b = p[i - 1] * kOnes;
  for (; i + 8 <= n; i += 8) {
    const std::uint64_t x = load64(p + i) ^ b;
    if (x != 0) return i + static_cast<std::size_t>(__builtin_ctzll(x)) / 8;
  }
  while (i < n && p[i] == p[i - 1]) ++i;
  return i;
}

// Counts the bytes into four tables, so that a byte's count never waits on the one before.
void count_bytes(const std::uint8_t* p, std::size_t n, std::uint32_t (&counts)[4][256]) {
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const std::uint64_t w = load64(p + i);
    ++counts[0][w & 0xFF];
    ++counts[1][(w >> 8) & 0xFF];
    ++counts[2][(w >> 16) & 0xFF];
    ++counts[3][(w >> 24) & 0xFF];
    ++counts[0][(w >> 32) & 0xFF];
    ++counts[1][(w >> 40) & 0xFF];
    ++counts[2][(w >> 48) & 0xFF];
    ++counts[3][w >> 56];
  }
  for (; i < n; ++i) ++counts[0][p[i]];
}

// Writes `n` literals at `p` whose code is made, fast where the room allows.
void put_literals(BitOut& out, const std::uint8_t* p, std::size_t n, std::uint64_t bits, int longest,
                  const BlockCode& code) {
  if (!out.room_for(bits)) {
    // Near the end of the room the wide stores could overrun it: a symbol at a time, which also
    // finds when it does not fit.
    for (std::size_t i = 0; i < n && !out.full(); ++i) {
      out.put(code.bits[p[i]], code.counts[p[i]]);
    }
  } else if (longest <= 14) {
    out.put_symbols<4>(p, n, code.bits, code.counts);
  } else {
    out.put_symbols<3>(p, n, code.bits, code.counts);
  }
}

// Writes a column that is not all zeros (up to kMaxTokens bytes) as one block: a dynamic block
// of its bytes and its runs (a byte, then a match of distance 1 for three or more that repeat
// it), or a stored block. `segments` has room for kMaxSegments.
void write_column(BitOut& out, const std::uint8_t* p, std::size_t n, Segment* segments, BlockCode& code) {
  std::uint32_t counts[4][256] = {};
  std::uint32_t freq[kLitLenCodes] = {};
  std::size_t count = 0;
  std::size_t start = 0;  // of the literals not counted yet
  for (std::size_t i = 1;;) {
    const std::size_t k = next_run(p, i, n);
    count_bytes(p + start, k - start, counts);
    if (k == n) {
      segments[count++] = Segment{static_cast<std::uint16_t>(n - start), 0};
      break;
    }
    const std::size_t end = run_end(p, k + 3, n);
    std::size_t run = end - k;
    segments[count++] = Segment{static_cast<std::uint16_t>(k - start), 0};
    for (; run >= kMaxRun; run -= kMaxRun) segments[count++] = Segment{0, kMaxRun};
    if (run >= 3) {
      segments[count++] = Segment{0, static_cast<std::uint16_t>(run)};
      run = 0;
    }
    // The rest of a long run, too short to be a match, goes as literals.
    start = end - run;
    i = end + 1;
    if (i >= n) {
      count_bytes(p + start, n - start, counts);
      segments[count++] = Segment{static_cast<std::uint16_t>(n - start), 0};
      break;
    }
  }
  bool matches = false;
  for (std::size_t s = 0; s < count; ++s) {
    if (segments[s].match != 0) {
      ++freq[257 + length_code(segments[s].match)];
      matches = true;
    }
  }
  for (int b = 0; b < 256; ++b) freq[b] = counts[0][b] + counts[1][b] + counts[2][b] + counts[3][b];
  freq[kEndOfBlock] = 1;
  const std::uint64_t bits = make_code(freq, matches, code);
  if (bits + n * 8 / kStoreBelowSaving >= std::uint64_t{n} * 8) {
    out.put_stored(p, n);
    return;
  }
  put_header(out, code);
  int longest = 0;
  for (int b = 0; b < 256; ++b) longest = std::max<int>(longest, code.lengths[b]);
  std::size_t at = 0;
  for (std::size_t s = 0; s < count && !out.full(); ++s) {
    const Segment& g = segments[s];
    if (g.literals > 0) {
      // The room check is for the whole block's rest: generous, and cheap.
      put_literals(out, p + at, g.literals, bits, longest, code);
      at += g.literals;
    }
    if (g.match != 0) {
      out.put(code.bits[256 + g.match], code.counts[256 + g.match]);
      at += g.match;
    }
  }
  out.put(code.codes[kEndOfBlock], code.lengths[kEndOfBlock]);
}

// Writes `n` zero bytes, a range of unused columns, as one dynamic block: a zero, then matches
// of distance 1.
void write_zeros(BitOut& out, std::size_t n, BlockCode& code) {
  std::uint32_t freq[kLitLenCodes] = {};
  const std::size_t full_runs = (n - 1) / kMaxRun;
  const std::size_t rest = (n - 1) % kMaxRun;
  freq[0] = 1 + (rest < 3 ? static_cast<std::uint32_t>(rest) : 0);
  if (full_runs > 0) freq[257 + length_code(kMaxRun)] = static_cast<std::uint32_t>(full_runs);
  if (rest >= 3) ++freq[257 + length_code(static_cast<unsigned>(rest))];
  freq[kEndOfBlock] = 1;
  make_code(freq, true, code);
  put_header(out, code);
  auto put = [&](std::size_t symbol) { out.put(code.bits[symbol], code.counts[symbol]); };
  put(0);
  for (std::size_t k = 0; k < full_runs && !out.full(); ++k) put(256 + kMaxRun);
  if (rest >= 3) {
    put(256 + rest);
  } else {
    for (std::size_t k = 0; k < rest; ++k) put(0);
  }
  out.put(code.codes[kEndOfBlock], code.lengths[kEndOfBlock]);
}

bool all_zero(const std::uint8_t* p, std::size_t n) {
  // Four words a step, each into its own bits, so that the loads need not wait on each other.
  std::uint64_t any[4] = {};
  std::size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    for (int k = 0; k < 4; ++k) any[k] |= load64(p + i + 8 * static_cast<std::size_t>(k));
  }
  for (; i + 8 <= n; i += 8) any[0] |= load64(p + i);
  for (; i < n; ++i) any[0] |= p[i];
  return (any[0] | any[1] | any[2] | any[3]) == 0;
}

// The Adler-32 of a transposed block, reading only the columns that may hold something: a zero
// leaves the sum of the bytes as it is and adds it to the sum of the sums, so a run of them costs
// one multiplication, and the pages under the block's unused columns are never touched.
std::uint32_t column_adler32(const std::uint8_t* in, std::size_t rows, std::size_t columns, const LiveColumns& live) {
  constexpr std::uint64_t kBase = 65521;
  std::uint32_t adler = 1;
  for (std::size_t c = 0; c < columns;) {
    std::size_t k = c;
    while (k < columns && live.may_be_nonzero(k)) ++k;
    if (k > c) adler = libdeflate_adler32(adler, in + c * rows, (k - c) * rows);
    c = k;
    while (k < columns && !live.may_be_nonzero(k)) ++k;
    if (k > c) {
      const std::uint64_t a = adler & 0xFFFF;
      const std::uint64_t b = ((adler >> 16) + (k - c) * rows % kBase * a) % kBase;
      adler = static_cast<std::uint32_t>(b << 16 | a);
    }
    c = k;
  }
  return adler;
}

class LibDeflater final : public ColumnDeflater {
 public:
  LibDeflater(libdeflate_compressor* c, Segment* segments) : c_(c), segments_(segments) {}
  ~LibDeflater() override {
    libdeflate_free_compressor(c_);
    mem_free(segments_);
  }
  LibDeflater(const LibDeflater&) = delete;
  LibDeflater& operator=(const LibDeflater&) = delete;

  std::size_t deflate(const std::uint8_t* in, std::size_t n, std::uint8_t* out, std::size_t capacity) override {
    return libdeflate_zlib_compress(c_, in, n, out, capacity);
  }

  std::size_t deflate_columns(const std::uint8_t* in, std::size_t n, std::size_t record_size, const LiveColumns& live,
                              std::uint8_t* out, std::size_t capacity) override {
    const std::size_t rows = record_size > 0 ? n / record_size : 0;
    if (rows == 0 || record_size <= kTimeColumns || rows * record_size != n || capacity < 16) {
      return deflate(in, n, out, capacity);
    }
    // zlib's header (deflate, 32 KiB window); a block for each column before the time's, or run of
    // zero columns; an empty stored block, which brings the stream to a whole byte; libdeflate's
    // stream of the time columns, whose last block ends it all; and the checksum.
    out[0] = 0x78;
    out[1] = 0x01;
    BitOut bits(out, capacity - 4);
    bits.resume(2, 0, 0);
    const std::size_t values = record_size - kTimeColumns;
    auto zero = [&](std::size_t c) { return !live.may_be_nonzero(c) || all_zero(in + c * rows, rows); };
    for (std::size_t c = 0; c < values;) {
      const std::uint8_t* column = in + c * rows;
      std::size_t k = 1;
      if (zero(c)) {
        while (c + k < values && zero(c + k)) ++k;
        write_zeros(bits, k * rows, code_);
      } else {
        for (std::size_t at = 0; at < rows; at += kMaxTokens)
          write_column(bits, column + at, std::min(kMaxTokens, rows - at), segments_, code_);
      }
      c += k;
      if (bits.full()) return 0;
    }
    bits.put_stored(in, 0);
    const std::size_t head = bits.finish();
    if (bits.full() || head + 4 >= capacity) return 0;
    const std::size_t time =
        libdeflate_deflate_compress(c_, in + values * rows, kTimeColumns * rows, out + head, capacity - 4 - head);
    if (time == 0) return 0;
    const std::size_t length = head + time;
    const std::uint32_t adler = column_adler32(in, rows, record_size, live);
    for (int i = 0; i < 4; ++i)
      out[length + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(adler >> (24 - 8 * i));
    return length + 4;
  }

 private:
  libdeflate_compressor* c_;
  Segment* segments_;
  BlockCode code_;
};

}  // namespace

std::unique_ptr<ColumnDeflater> column_deflater_create() {
  deflate_use_quarn_memory();
  libdeflate_compressor* c = libdeflate_alloc_compressor(kLevel);
  auto* segments = static_cast<Segment*>(mem_alloc(kMaxSegments * sizeof(Segment)));
  std::unique_ptr<LibDeflater> d;
  if (c != nullptr && segments != nullptr) d.reset(new (std::nothrow) LibDeflater(c, segments));
  if (!d) {
    if (c != nullptr) libdeflate_free_compressor(c);
    mem_free(segments);
  }
  return d;
}

}  // namespace quarn
