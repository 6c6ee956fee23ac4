#include "codec/record_deflate.h"

#include <libdeflate.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "codec/deflate_coding.h"

namespace quarn {
namespace {

using namespace deflate_coding;

constexpr std::size_t kMaxDistance = 32768;
constexpr std::size_t kMaxStoredBlock = 65535;
// The fixed code has two literal/length codes more than any block uses.
constexpr int kFixedLitLenCodes = 288;
constexpr unsigned kMinRepeat = 3;

// A symbol of the block: a literal byte below 256, or kRepeatFlag with the length at bit 16 and
// the distance below.
constexpr std::uint32_t kRepeatFlag = 0x80000000u;

// The distance codes' first distances and extra bits.
struct DistCodes {
  std::uint16_t base[kDistCodes] = {};
  std::uint8_t extra[kDistCodes] = {};
  constexpr DistCodes() {
    unsigned d = 1;
    for (int c = 0; c < kDistCodes; ++c) {
      extra[c] = static_cast<std::uint8_t>(c < 4 ? 0 : c / 2 - 1);
      base[c] = static_cast<std::uint16_t>(d);
      d += 1u << extra[c];
    }
  }
};
constexpr DistCodes kDist;

int dist_code_of(unsigned d) {
  const unsigned v = d - 1;
  if (v < 4) return static_cast<int>(v);
  const int k = 31 - __builtin_clz(v);
  return 2 * k + static_cast<int>((v >> (k - 1)) & 1);
}

// A bit for each of the 8 bytes at `a` that equals the one at `b`, the first byte lowest.
unsigned same_mask(const std::uint8_t* a, const std::uint8_t* b) {
  const std::uint64_t zero = zero_bytes(load64(a) ^ load64(b));
  return static_cast<unsigned>(((zero >> 7) * 0x0102040810204080ull) >> 56);
}

// How many of the first `most` bytes at `a` equal those at `b`.
unsigned same_bytes(const std::uint8_t* a, const std::uint8_t* b, unsigned most) {
  unsigned n = 0;
  for (; n + 8 <= most; n += 8) {
    const std::uint64_t x = load64(a + n) ^ load64(b + n);
    static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the first differing byte is the lowest");
    if (x != 0) return n + static_cast<unsigned>(__builtin_ctzll(x)) / 8;
  }
  while (n < most && a[n] == b[n]) ++n;
  return n;
}

// A literal/length and a distance code, with a repeat's length code and extra bits by length.
struct SymbolCode {
  std::uint16_t lit_code[kFixedLitLenCodes];
  std::uint8_t lit_len[kFixedLitLenCodes];
  std::uint16_t dist_code[kDistCodes];
  std::uint8_t dist_len[kDistCodes];
  std::uint32_t repeat_bits[kMaxRun + 1];
  std::uint8_t repeat_count[kMaxRun + 1];

  void make(const std::uint8_t* lit_lengths, int lit_count, const std::uint8_t* dist_lengths, int dist_count) {
    std::memset(lit_len, 0, sizeof lit_len);
    std::memset(dist_len, 0, sizeof dist_len);
    std::memcpy(lit_len, lit_lengths, static_cast<std::size_t>(lit_count));
    std::memcpy(dist_len, dist_lengths, static_cast<std::size_t>(dist_count));
    canonical_codes(lit_len, kFixedLitLenCodes, lit_code);
    canonical_codes(dist_len, kDistCodes, dist_code);
    for (unsigned len = kMinRepeat; len <= kMaxRun; ++len) {
      const int c = length_code(len);
      const unsigned own = lit_len[257 + c];
      repeat_bits[len] = lit_code[257 + c] | (len - kLengthBase[c]) << own;
      repeat_count[len] = static_cast<std::uint8_t>(own + kLengthExtra[c]);
    }
  }

  // The bits the block's symbols take, its end included.
  std::uint64_t bits(const std::uint32_t* lit_freq, const std::uint32_t* dist_freq) const {
    std::uint64_t total = 0;
    for (int s = 0; s < kLitLenCodes; ++s) {
      const unsigned extra = s > kEndOfBlock ? kLengthExtra[s - 257] : 0;
      total += std::uint64_t{lit_freq[s]} * (lit_len[s] + extra);
    }
    for (int c = 0; c < kDistCodes; ++c) total += std::uint64_t{dist_freq[c]} * (dist_len[c] + kDist.extra[c]);
    return total;
  }

  // The symbols and the block's end, the room made sure of.
  void put(const std::uint32_t* begin, const std::uint32_t* end, BitOut& b) const {
    BitOut::Cursor c = b.cursor();
    for (const std::uint32_t* s = begin; s != end; ++s) {
      const std::uint32_t v = *s;
      if ((v & kRepeatFlag) == 0) {
        c.put(lit_code[v], lit_len[v]);
        continue;
      }
      const unsigned len = (v >> 16) & 0x1FF;
      c.put(repeat_bits[len], repeat_count[len]);
      const unsigned d = v & 0xFFFF;
      const int dc = dist_code_of(d);
      c.put(dist_code[dc] | (d - kDist.base[dc]) << dist_len[dc], dist_len[dc] + kDist.extra[dc]);
    }
    c.put(lit_code[kEndOfBlock], lit_len[kEndOfBlock]);
    b.resume_from(c);
  }
};

// Deflate's fixed code: literals 0 to 143 in 8 bits, 144 to 255 in 9, symbols 256 to 279 in 7
// and the rest in 8; every distance in 5.
const SymbolCode& fixed_code() {
  static const SymbolCode code = [] {
    std::uint8_t lit[kFixedLitLenCodes];
    std::uint8_t dist[kDistCodes];
    for (int s = 0; s < kFixedLitLenCodes; ++s) lit[s] = s < 144 ? 8 : s < 256 ? 9 : s < 280 ? 7 : 8;
    std::memset(dist, 5, sizeof dist);
    SymbolCode c;
    c.make(lit, kFixedLitLenCodes, dist, kDistCodes);
    return c;
  }();
  return code;
}

std::size_t stored_size(std::size_t n) { return n + 5 * (n / kMaxStoredBlock + 1); }

}  // namespace

RecordDeflater::~RecordDeflater() { mem_free(symbols_); }

std::unique_ptr<RecordDeflater> RecordDeflater::create(std::size_t most) {
  auto* symbols = static_cast<std::uint32_t*>(mem_alloc((most + 1) * sizeof(std::uint32_t)));
  if (symbols == nullptr) return nullptr;
  std::unique_ptr<RecordDeflater> d(new (std::nothrow) RecordDeflater(symbols, most));
  if (!d) mem_free(symbols);
  return d;
}

std::size_t RecordDeflater::bound(std::size_t n) {
  // The zlib header and checksum, stored blocks, and room for the bit writer's wide stores.
  return 2 + stored_size(n) + 4 + 8;
}

std::size_t RecordDeflater::compress(const std::uint8_t* in, std::size_t n, std::size_t first, RecordSizeFn size_of,
                                     std::uint8_t* out, std::size_t room) {
  if (n > most_ || room < bound(n)) return 0;
  std::uint32_t lit_freq[kLitLenCodes] = {};
  std::uint32_t dist_freq[kDistCodes] = {};
  std::uint32_t* sym = symbols_;
  auto repeat = [&](unsigned len, std::size_t d) {
    ++lit_freq[257 + length_code(len)];
    ++dist_freq[dist_code_of(static_cast<unsigned>(d))];
    *sym++ = kRepeatFlag | (len << 16) | static_cast<std::uint32_t>(d);
  };

  // Each byte is either the start of a repeat of the bytes one record back, or a literal. The
  // record that holds position p starts at `start`, the one before at `before` (no repeat while
  // there is none), and the next at `end`; a record whose size cannot be told runs to the end.
  std::size_t p = 0;
  for (; p < first && p < n; ++p) {
    ++lit_freq[in[p]];
    *sym++ = in[p];
  }
  constexpr std::size_t kNone = SIZE_MAX;
  std::size_t before = kNone;
  std::size_t start = first;
  std::size_t end = n;
  if (start < n) {
    const std::size_t size = size_of(in + start, n - start);
    if (size != 0) end = std::min(n, start + size);
  }
  while (p < n) {
    while (end <= p) {
      before = start;
      start = end;
      const std::size_t size = size_of(in + start, n - start);
      end = size != 0 ? std::min(n, start + size) : n;
    }
    const std::size_t d = before != kNone ? start - before : 0;
    if (d == 0 || d > kMaxDistance) {
      ++lit_freq[in[p]];
      *sym++ = in[p++];
      continue;
    }
    if (n - p < 8) {
      const unsigned len = same_bytes(in + p, in + p - d, static_cast<unsigned>(n - p));
      if (len >= kMinRepeat) {
        repeat(len, d);
        p += len;
      } else {
        ++lit_freq[in[p]];
        *sym++ = in[p++];
      }
      continue;
    }
    // Literals up to the first of the next 8 bytes where 3 bytes in a row repeat; the last two
    // bytes may begin a repeat that runs on past them, and are looked at again.
    const unsigned same = same_mask(in + p, in + p - d);
    const unsigned runs = same & (same >> 1) & (same >> 2);
    if ((runs & 1) == 0) {
      const unsigned k = runs != 0 ? static_cast<unsigned>(__builtin_ctz(runs)) : 6;
      for (unsigned i = 0; i < k; ++i) {
        ++lit_freq[in[p + i]];
        sym[i] = in[p + i];
      }
      sym += k;
      p += k;
      continue;
    }
    const unsigned len = same_bytes(in + p, in + p - d, static_cast<unsigned>(std::min<std::size_t>(kMaxRun, n - p)));
    repeat(len, d);
    p += len;
  }
  ++lit_freq[kEndOfBlock];

  // Both codes' lengths one after the other, as the block's header gives them; a block without
  // repeats still names one distance code.
  SymbolCode dynamic;
  std::uint8_t lengths[kLitLenCodes + kDistCodes];
  code_lengths(lit_freq, kLitLenCodes, 15, lengths);
  int hlit = kLitLenCodes;
  while (hlit > 257 && lengths[hlit - 1] == 0) --hlit;
  std::uint8_t* dist_lengths = lengths + hlit;
  code_lengths(dist_freq, kDistCodes, 15, dist_lengths);
  int hdist = kDistCodes;
  while (hdist > 1 && dist_lengths[hdist - 1] == 0) --hdist;
  if (dist_lengths[0] == 0 && hdist == 1) dist_lengths[0] = 1;
  dynamic.make(lengths, hlit, dist_lengths, hdist);
  const SymbolCode& fixed = fixed_code();

  // Whichever block is smallest: the dynamic one (its header is written to be measured), the
  // fixed one (a handful of records), or the bytes stored (when they do not repeat).
  out[0] = 0x78;  // deflate with a 32 KiB window
  out[1] = 0x01;  // the fastest level's mark; the check bits make 0x7801 a multiple of 31
  BitOut b(out, room - 4);
  b.resume(2, 0, 0);
  put_dynamic_header(b, true, lengths, hlit, hdist);
  const std::uint64_t dynamic_symbols = dynamic.bits(lit_freq, dist_freq);
  const std::uint64_t fixed_symbols = fixed.bits(lit_freq, dist_freq);
  const std::uint64_t dynamic_bits = b.bits() - 16 + dynamic_symbols;
  const std::uint64_t fixed_bits = 3 + fixed_symbols;
  const std::uint64_t stored_bits = 8 * stored_size(n);
  const SymbolCode* code = &dynamic;
  std::uint64_t symbol_bits = dynamic_symbols;
  if (fixed_bits < std::min(dynamic_bits, stored_bits)) {
    code = &fixed;
    symbol_bits = fixed_symbols;
    b = BitOut(out, room - 4);
    b.resume(2, 0, 0);
    b.put(1 | 1 << 1, 3);  // the last block, fixed codes
  } else if (stored_bits <= dynamic_bits) {
    code = nullptr;
  }
  if (code != nullptr && b.room_for(symbol_bits)) {
    code->put(symbols_, sym, b);
  } else {
    b = BitOut(out, room - 4);
    b.resume(2, 0, 0);
    std::size_t at = 0;
    do {
      const std::size_t k = std::min(kMaxStoredBlock, n - at);
      b.put_stored(in + at, k, at + k == n);
      at += k;
    } while (at < n);
  }
  const std::size_t length = b.finish();
  if (b.full()) return 0;
  const std::uint32_t adler = libdeflate_adler32(1, in, n);
  for (int i = 0; i < 4; ++i)
    out[length + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(adler >> (24 - 8 * i));
  return length + 4;
}

}  // namespace quarn
