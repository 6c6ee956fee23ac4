#include "mdf4/mdf4_deflate.h"

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>

namespace quarn {
namespace {

// Level 1 holds a 1,000,000-frame log in about 10.4 bytes a frame; the higher levels save a few
// per cent more at up to twice the time, which the conversion cannot spare.
constexpr int kLevel = 1;

constexpr const char* kNames[] = {"none", "deflate", "transposed"};

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
// The columns libdeflate takes: the master time's eight bytes, first in every record.
constexpr std::size_t kTimeColumns = 8;
// Room for the inflater's output, and for the symbols of a column of up to 64K records.
constexpr std::size_t kScratch = std::size_t{64} << 10;
constexpr std::size_t kMaxTokens = std::size_t{64} << 10;

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

// Symbols kept between counting them and writing them: a literal byte, or kMatchToken plus the
// length of a match.
constexpr std::uint16_t kMatchToken = 256;

// Deflate's bit order: the first bit in the lowest bit of a byte.
class BitOut {
 public:
  BitOut(std::uint8_t* out, std::size_t capacity) : out_(out), capacity_(capacity) {}
  // Continues a stream whose last byte holds `bits` (0 to 7) bits already.
  void resume(std::size_t bytes, std::uint8_t partial, unsigned bits) {
    pos_ = bytes;
    acc_ = partial & ((1u << bits) - 1);
    count_ = bits;
  }
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
    int symbols[kLitLenCodes];
    int m = 0;
    for (int i = 0; i < n; ++i) {
      length[i] = 0;
      if (f[i] > 0) symbols[m++] = i;
    }
    if (m == 0) return;
    if (m == 1) {
      length[symbols[0]] = 1;
      return;
    }
    std::sort(symbols, symbols + m, [&](int a, int b) { return f[a] != f[b] ? f[a] < f[b] : a < b; });
    // Two queues: the sorted leaves, and the inner nodes, made in the order of their weights.
    std::uint64_t weight[2 * kLitLenCodes];
    int parent[2 * kLitLenCodes];
    for (int i = 0; i < m; ++i) weight[i] = f[symbols[i]];
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
      for (int i = 0; i < m; ++i) length[symbols[i]] = static_cast<std::uint8_t>(depth[i]);
      return;
    }
    for (int i = 0; i < n; ++i) f[i] = f[i] == 0 ? 0 : (f[i] + 1) / 2;
  }
}

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
    unsigned v = next[bits]++;
    unsigned reversed = 0;
    for (unsigned b = 0; b < bits; ++b, v >>= 1) reversed = (reversed << 1) | (v & 1);
    code[i] = static_cast<std::uint16_t>(reversed);
  }
}

// The symbols of a byte range: each byte, or a repeat of the byte before it (a match at distance
// 1) for runs of three or more. A range of zeros goes without looking at it.
template <typename Literal, typename Match>
void range_symbols(const std::uint8_t* p, std::size_t n, bool zeros, Literal&& literal, Match&& match) {
  if (zeros) {
    literal(0);
    std::size_t left = n - 1;
    for (; left >= kMaxRun; left -= kMaxRun) match(kMaxRun);
    if (left >= 3) {
      match(static_cast<unsigned>(left));
    } else {
      for (; left > 0; --left) literal(0);
    }
    return;
  }
  std::size_t i = 0;
  while (i < n) {
    const std::uint8_t b = p[i];
    literal(b);
    ++i;
    // Most bytes start no run of three: one test tells, and they go as literals.
    if (i + 3 > n || p[i] != b || p[i + 1] != b || p[i + 2] != b) continue;
    std::size_t j = i + 3;
    while (j < n && p[j] == b) ++j;
    std::size_t run = j - i;
    i = j;
    for (; run >= kMaxRun; run -= kMaxRun) match(kMaxRun);
    if (run >= 3) {
      match(static_cast<unsigned>(run));
    } else {
      i -= run;  // the rest of a long run, too short to be a match: those bytes go as literals
    }
  }
}

// Writes a range as one dynamic-Huffman block, not the last. A column's symbols are found once
// and kept in `tokens` (room for kMaxTokens) between counting and writing them.
void write_range(BitOut& stream, const std::uint8_t* p, std::size_t n, bool zeros, std::uint16_t* tokens) {
  // A copy of its own lets the compiler keep the bit buffer in registers: the bytes it stores
  // could otherwise be the very fields it updates.
  BitOut out = stream;
  std::uint32_t freq[kLitLenCodes] = {};
  const bool kept = !zeros && n <= kMaxTokens;
  std::size_t count = 0;
  if (kept) {
    range_symbols(
        p, n, false,
        [&](std::uint8_t b) {
          ++freq[b];
          tokens[count++] = b;
        },
        [&](unsigned length) {
          ++freq[257 + length_code(length)];
          tokens[count++] = static_cast<std::uint16_t>(kMatchToken + length);
        });
  } else {
    range_symbols(
        p, n, zeros, [&](std::uint8_t b) { ++freq[b]; }, [&](unsigned length) { ++freq[257 + length_code(length)]; });
  }
  freq[kEndOfBlock] = 1;
  std::uint8_t lengths[kLitLenCodes + 1];
  code_lengths(freq, kLitLenCodes, 15, lengths);
  int hlit = kLitLenCodes;
  while (hlit > 257 && lengths[hlit - 1] == 0) --hlit;
  lengths[hlit] = 1;  // one distance code, distance 1, however many matches (none is allowed too)

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

  std::uint16_t codes[kLitLenCodes] = {};
  canonical_codes(lengths, hlit, codes);
  auto match = [&](unsigned length) {
    const int c = length_code(length);
    // The length's code, its extra bits, and distance code 0 (distance 1), a single 0 bit.
    out.put(codes[257 + c], lengths[257 + c]);
    out.put(length - kLengthBase[c], kLengthExtra[c] + 1u);
  };
  if (kept) {
    for (std::size_t i = 0; i < count; ++i) {
      const std::uint16_t t = tokens[i];
      if (t < kMatchToken) {
        out.put(codes[t], lengths[t]);
      } else {
        match(t - kMatchToken);
      }
    }
  } else {
    range_symbols(
        p, n, zeros, [&](std::uint8_t b) { out.put(codes[b], lengths[b]); }, match);
  }
  out.put(codes[kEndOfBlock], lengths[kEndOfBlock]);
  stream = out;
}

bool all_zero(const std::uint8_t* p, std::size_t n) {
  std::uint64_t any = 0;
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t w;
    std::memcpy(&w, p + i, 8);
    any |= w;
  }
  for (; i < n; ++i) any |= p[i];
  return any == 0;
}

void* zlib_alloc(void* /*opaque*/, unsigned items, unsigned size) {
  return mem_alloc(static_cast<std::size_t>(items) * size);
}
void zlib_free(void* /*opaque*/, void* p) { mem_free(p); }

class LibDeflater final : public Mdf4Deflater {
 public:
  LibDeflater(libdeflate_compressor* c, std::uint8_t* scratch, std::uint16_t* tokens)
      : c_(c), scratch_(scratch), tokens_(tokens) {}
  ~LibDeflater() override {
    libdeflate_free_compressor(c_);
    if (inflating_) inflateEnd(&zs_);
    mem_free(scratch_);
    mem_free(tokens_);
  }
  LibDeflater(const LibDeflater&) = delete;
  LibDeflater& operator=(const LibDeflater&) = delete;

  std::size_t deflate(const std::uint8_t* in, std::size_t n, std::uint8_t* out, std::size_t capacity) override {
    return libdeflate_zlib_compress(c_, in, n, out, capacity);
  }

  std::size_t deflate_columns(const std::uint8_t* in, std::size_t n, std::size_t record_size, std::uint8_t* out,
                              std::size_t capacity) override {
    const std::size_t rows = record_size > 0 ? n / record_size : 0;
    if (rows == 0 || record_size <= kTimeColumns || rows * record_size != n || capacity < 16) {
      return deflate(in, n, out, capacity);
    }
    // zlib's header (deflate, 32 KiB window), libdeflate's stream of the time columns, then a
    // block for each other column or run of zero columns, an empty last block, and the checksum.
    out[0] = 0x78;
    out[1] = 0x01;
    const std::size_t head = kTimeColumns * rows;
    const std::size_t time = libdeflate_deflate_compress(c_, in, head, out + 2, capacity - 6);
    if (time == 0) return 0;
    std::size_t end_bit = 0;
    if (join_point(out + 2, time, end_bit) == 0) return deflate(in, n, out, capacity);  // compressed whole
    BitOut bits(out, capacity - 4);
    bits.resume(2 + end_bit / 8, out[2 + end_bit / 8], static_cast<unsigned>(end_bit % 8));
    for (std::size_t c = kTimeColumns; c < record_size;) {
      const std::uint8_t* column = in + c * rows;
      std::size_t k = 1;
      const bool zeros = all_zero(column, rows);
      if (zeros) {
        while (c + k < record_size && all_zero(column + k * rows, rows)) ++k;
      }
      write_range(bits, column, k * rows, zeros, tokens_);
      c += k;
      if (bits.full()) return 0;
    }
    bits.put(1, 1);  // the last block: fixed codes, nothing but its end
    bits.put(1, 2);
    bits.put(0, 7);
    const std::size_t length = bits.finish();
    if (bits.full()) return 0;
    const std::uint32_t adler = libdeflate_adler32(1, in, n);
    for (int i = 0; i < 4; ++i)
      out[length + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(adler >> (24 - 8 * i));
    return length + 4;
  }

  // Takes every bit of memory the inflater will want, so that compressing never runs out of it
  // halfway (a file then depends on nothing but its records): its state, and its window, which
  // zlib allocates at the first byte inflated. False when memory runs out.
  bool prepare() {
    zs_.zalloc = zlib_alloc;
    zs_.zfree = zlib_free;
    zs_.opaque = nullptr;
    if (inflateInit2(&zs_, -15) != Z_OK) return false;
    inflating_ = true;
    std::uint8_t one_zero[] = {0x63, 0x00, 0x00};  // a raw stream of the single byte 0
    zs_.next_in = one_zero;
    zs_.avail_in = sizeof one_zero;
    zs_.next_out = scratch_;
    zs_.avail_out = 1;
    return inflate(&zs_, Z_FINISH) == Z_STREAM_END;
  }

 private:
  // Finds, by inflating it, where the raw stream's last block starts and its last bit ends; clears
  // that block's last-block bit, so that more blocks may follow, and sets `end_bit`. 1 when done,
  // 0 for a stream not as expected (the caller compresses another way).
  int join_point(std::uint8_t* stream, std::size_t n, std::size_t& end_bit) {
    if (inflateReset(&zs_) != Z_OK) return 0;
    zs_.next_in = stream;
    zs_.avail_in = static_cast<uInt>(n);
    std::size_t last_block = 0;
    for (;;) {
      zs_.next_out = scratch_;
      zs_.avail_out = static_cast<uInt>(kScratch);
      const int status = inflate(&zs_, Z_BLOCK);
      if (status != Z_OK) return 0;
      if ((zs_.data_type & 128) == 0) continue;
      // Between blocks: the bits of the input not used yet lie in the last byte taken.
      const std::size_t at =
          static_cast<std::size_t>(zs_.next_in - stream) * 8 - static_cast<unsigned>(zs_.data_type & 7);
      if ((zs_.data_type & 64) != 0) {
        end_bit = at;
        break;
      }
      last_block = at;
    }
    const std::uint8_t mask = static_cast<std::uint8_t>(1u << (last_block % 8));
    if ((stream[last_block / 8] & mask) == 0) return 0;
    stream[last_block / 8] = static_cast<std::uint8_t>(stream[last_block / 8] & ~mask);
    return 1;
  }

  libdeflate_compressor* c_;
  std::uint8_t* scratch_;
  std::uint16_t* tokens_;
  z_stream zs_{};
  bool inflating_ = false;
};

}  // namespace

const char* mdf4_compression_name(Mdf4Compression compression) {
  const auto i = static_cast<std::size_t>(compression);
  return i < sizeof kNames / sizeof kNames[0] ? kNames[i] : nullptr;
}

bool mdf4_compression_parse(const char* text, Mdf4Compression& out) {
  if (text == nullptr) return false;
  for (std::size_t i = 0; i < sizeof kNames / sizeof kNames[0]; ++i) {
    if (std::strcmp(text, kNames[i]) == 0) {
      out = static_cast<Mdf4Compression>(i);
      return true;
    }
  }
  return false;
}

std::unique_ptr<Mdf4Deflater> mdf4_deflater_create() {
  // The library's allocations then meet the same failure hook as everything else.
  static std::once_flag allocator;
  std::call_once(allocator, [] { libdeflate_set_memory_allocator(mem_alloc, mem_free); });
  libdeflate_compressor* c = libdeflate_alloc_compressor(kLevel);
  auto* scratch = static_cast<std::uint8_t*>(mem_alloc(kScratch));
  auto* tokens = static_cast<std::uint16_t*>(mem_alloc(kMaxTokens * sizeof(std::uint16_t)));
  std::unique_ptr<LibDeflater> d;
  if (c != nullptr && scratch != nullptr && tokens != nullptr)
    d.reset(new (std::nothrow) LibDeflater(c, scratch, tokens));
  if (!d) {
    if (c != nullptr) libdeflate_free_compressor(c);
    mem_free(scratch);
    mem_free(tokens);
    return nullptr;
  }
  if (!d->prepare()) return nullptr;
  return d;
}

}  // namespace quarn
