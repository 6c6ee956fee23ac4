#include "codec/deflate_coding.h"

namespace quarn::deflate_coding {

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

namespace {

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

}  // namespace

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

void put_dynamic_header(BitOut& out, bool last, const std::uint8_t* lengths, int hlit, int hdist) {
  // The code lengths, run-length coded: 16 repeats the last length 3 to 6 times, 17 and 18 give 3
  // to 10 and 11 to 138 zeros.
  std::uint8_t cl_symbol[kLitLenCodes + kDistCodes];
  std::uint8_t cl_extra[kLitLenCodes + kDistCodes];
  int cl_count = 0;
  std::uint32_t cl_freq[19] = {};
  const int total = hlit + hdist;
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

  out.put(last ? 1 : 0, 1);
  out.put(2, 2);  // dynamic Huffman codes
  out.put(static_cast<std::uint32_t>(hlit - 257), 5);
  out.put(static_cast<std::uint32_t>(hdist - 1), 5);
  out.put(static_cast<std::uint32_t>(hclen - 4), 4);
  for (int i = 0; i < hclen; ++i) out.put(cl_lengths[kCodeLengthOrder[i]], 3);
  static constexpr unsigned kClExtraBits[19] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 3, 7};
  for (int i = 0; i < cl_count; ++i) {
    const int symbol = cl_symbol[i];
    out.put(cl_codes[symbol], cl_lengths[symbol]);
    if (kClExtraBits[symbol] > 0) out.put(cl_extra[i], kClExtraBits[symbol]);
  }
}

}  // namespace quarn::deflate_coding
