#include "codec/column_deflate.h"

#include <libdeflate.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "codec/deflate_memory.h"
#include "codec/deflate_coding.h"

namespace quarn {
namespace {

using namespace deflate_coding;

// Level 1 holds a 1,000,000-frame log in about 10.4 bytes a frame; the higher levels save a few
// per cent more at up to twice the time, which the conversion cannot spare.
constexpr int kLevel = 1;

// The master time's eight bytes, last in every record, which libdeflate takes: the low five
// change with every frame and recur far apart (a time's low bits repeat whenever its microseconds
// do, modulo 15,625), which only a full matcher finds.
constexpr std::size_t kTimeColumns = 8;
// A stored block holds no more; and the symbols of a column of up to 64K records.
constexpr std::size_t kMaxTokens = 65535;

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
  code.lengths[code.hlit] = 1;
  put_dynamic_header(out, false, code.lengths, code.hlit, 1);
}

// Columns whose Huffman code would save less than this share of their bytes are stored as they
// are (random data bytes, mostly): coding them costs time and gains nothing worth it.
constexpr std::uint64_t kStoreBelowSaving = 16;

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
