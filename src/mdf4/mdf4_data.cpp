#include "mdf4/mdf4_data.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

#include "base/memory.h"
#include "codec/transpose.h"

namespace quarn::mdf4 {

namespace {

// Compressed bytes are read in pieces of this size on their way to the inflater, and inflated ones
// come out in pieces of that.
constexpr std::uint64_t kInput = 64 * 1024;
constexpr std::uint64_t kOutput = 64 * 1024;
// Deflate cannot shrink data by more than 1032 to 1, so a DZ block that claims more is broken and
// is refused before anything is allocated for it.
constexpr std::uint64_t kMaxDeflateRatio = 1032;

enum BlockKind : std::uint8_t { kPlain, kDeflated, kTransposed };

// zlib's allocation hooks on mem_alloc, so that the allocation-failure hook reaches the inflater.
voidpf zlib_alloc(voidpf /*opaque*/, uInt items, uInt size) {
  return mem_alloc(static_cast<std::size_t>(items) * static_cast<std::size_t>(size));
}
void zlib_free(voidpf /*opaque*/, voidpf p) { mem_free(p); }

}  // namespace

bool ErrorText::fail(const char* format, ...) {
  if (!failed_) {
    std::va_list args;
    va_start(args, format);
    std::vsnprintf(text_, sizeof text_, format, args);
    va_end(args);
  }
  failed_ = true;
  return false;
}

bool FileAccess::peek_at(std::uint64_t offset, void* dst, std::uint64_t n) {
  if (offset > size_ || n > size_ - offset) return false;
  if (stream_seek(*stream_, static_cast<std::int64_t>(offset), kSeekSet) != static_cast<std::int64_t>(offset)) {
    return false;
  }
  std::uint8_t* p = static_cast<std::uint8_t*>(dst);
  while (n > 0) {
    std::int64_t got = stream_read(*stream_, p, n);
    if (got <= 0) return false;
    p += got;
    n -= static_cast<std::uint64_t>(got);
  }
  return true;
}

bool FileAccess::read_at(std::uint64_t offset, void* dst, std::uint64_t n) {
  if (offset > size_ || n > size_ - offset) return error_.fail("the file ends before offset %llu", ull(offset + n));
  if (stream_seek(*stream_, static_cast<std::int64_t>(offset), kSeekSet) != static_cast<std::int64_t>(offset)) {
    return error_.fail("could not read at offset %llu", ull(offset));
  }
  std::uint8_t* p = static_cast<std::uint8_t*>(dst);
  while (n > 0) {
    std::int64_t got = stream_read(*stream_, p, n);
    if (got <= 0) return error_.fail("could not read at offset %llu", ull(offset));
    p += got;
    n -= static_cast<std::uint64_t>(got);
    offset += static_cast<std::uint64_t>(got);
  }
  return true;
}

bool FileAccess::load(std::uint64_t offset, std::uint32_t want, std::uint64_t min_links, std::uint64_t min_data,
                      Block& out) {
  char expected[5];
  tag_text(want, expected);
  if (min_links > kMaxLinksRead || min_data > kMaxDataRead) {
    return error_.fail("the reader asked too much of a %s block", expected);
  }
  if (offset < kIdBlockSize || offset > size_ || size_ - offset < kHeaderSize) {
    return error_.fail("bad link to offset %llu where a %s block belongs", ull(offset), expected);
  }
  std::uint8_t head[kHeaderSize];
  if (!read_at(offset, head, sizeof head)) return false;
  out.offset = offset;
  char found[5];
  if (!decode_header(head, out.h))
    return error_.fail("bad block id at offset %llu: expected %s", ull(offset), expected);
  tag_text(out.h.tag, found);
  switch (check_block(out.h, offset, size_, want, min_links, min_data)) {
    case BlockProblem::None: break;
    case BlockProblem::BadId:
      return error_.fail("bad block id at offset %llu: expected %s, found %s", ull(offset), expected, found);
    case BlockProblem::OutsideFile:
      return error_.fail("the %s block at offset %llu reaches past the end of the file", found, ull(offset));
    case BlockProblem::BadLength: return error_.fail("bad length of the %s block at offset %llu", found, ull(offset));
    case BlockProblem::TooFewLinks:
      return error_.fail("too few links in the %s block at offset %llu", found, ull(offset));
  }
  return read_at(offset + kHeaderSize, out.links, min_links * kLinkSize) &&
         read_at(offset + data_start(out.h.links), out.data, min_data);
}

bool FileAccess::header_at(std::uint64_t offset, const char* what, BlockHeader& out) {
  if (offset < kIdBlockSize || offset > size_ || size_ - offset < kHeaderSize) {
    return error_.fail("bad link to offset %llu where %s belongs", ull(offset), what);
  }
  std::uint8_t head[kHeaderSize];
  if (!read_at(offset, head, sizeof head)) return false;
  if (!decode_header(head, out)) return error_.fail("bad block id at offset %llu: expected %s", ull(offset), what);
  return true;
}

struct DataWindows::Window {
  std::uint8_t* bytes = nullptr;
  std::uint64_t capacity = 0;  // bytes allocated, kSlack included
  std::uint64_t block = 0;     // the block whose piece it holds; 0 for none
  std::uint64_t first = 0;     // which piece: a chunk's first byte, a tile's first record
  std::uint64_t length = 0;
  std::uint64_t used = 0;  // when a stream last took it
  std::uint32_t generation = 0;
  std::int32_t refs = 0;  // streams reading it
  Kind kind = kChunk;
};

DataWindows::~DataWindows() {
  for (std::int32_t i = 0; i < window_count_; ++i) mem_free(windows_[i].bytes);
  mem_free(windows_);
  mem_free(input_);
  mem_free(whole_);
  free_inflater(inflater_);
  if (zs_ready_) inflateEnd(&zs_);
}

void DataWindows::plan(std::int64_t streams) {
  std::uint64_t share = window_budget_ / static_cast<std::uint64_t>(std::max<std::int64_t>(streams, 1));
  share = std::clamp(share, kMinChunk, kMaxChunk);
  chunk_ = share / kMinChunk * kMinChunk;
}

bool DataWindows::start(DataStream& s, std::uint64_t first, std::uint32_t data_tag, std::int64_t group,
                        std::uint64_t* tally) {
  release(s);
  s = DataStream{};
  s.first = first;
  s.data_tag = data_tag;
  s.group = group;
  s.tally = tally;
  s.seen = evictions_;
  if (first == 0) return true;
  ErrorText& error = file_.error();
  BlockHeader h;
  if (!file_.header_at(first, "data", h)) return false;
  if (h.tag == data_tag || h.tag == kTagDz) {
    s.single = first;
    return true;
  }
  if (h.tag == kTagDl) return open_list(s, first);
  if (h.tag == kTagHl) {
    Block hl;
    if (!file_.load(first, kTagHl, hl::kLinks, 0, hl) || !count(s, hl.h.length)) return false;
    return hl.links[hl::kFirstDl] == 0 || open_list(s, hl.links[hl::kFirstDl]);
  }
  if (h.tag == kTagLd || h.tag == kTagDv) {
    return error.fail("data group %lld: column-oriented data groups are not supported", ll(group));
  }
  char found[5];
  tag_text(h.tag, found);
  return error.fail("data group %lld: %s in a %s block is not supported", ll(group),
                    data_tag == kTagDt ? "data" : "signal data", found);
}

void DataWindows::release(DataStream& s) {
  let_go(s.window, s.window_generation);
  let_go(s.source, s.source_generation);
  s.window = s.source = -1;
}

void DataWindows::hold(std::int32_t w) {
  ++windows_[w].refs;
  windows_[w].used = ++clock_;
}

void DataWindows::let_go(std::int32_t w, std::uint32_t generation) {
  if (w >= 0 && windows_[w].generation == generation && windows_[w].refs > 0) --windows_[w].refs;
}

void DataWindows::drop_span(DataStream& s, std::uint64_t at) {
  release(s);
  s.span = s.cur = s.end = nullptr;
  s.span_at = at;
}

void DataWindows::refresh(DataStream& s) {
  if (s.seen == evictions_) return;
  s.seen = evictions_;
  if (s.source >= 0 && windows_[s.source].generation != s.source_generation) s.source = -1;
  if (s.window >= 0 && windows_[s.window].generation != s.window_generation) {
    // The span's window now holds something else: only where the stream stood is kept.
    const std::uint64_t at = s.at();
    s.window = -1;
    drop_span(s, at);
  }
}

bool DataWindows::take_rest(DataStream& s, std::uint64_t n, const std::uint8_t*& out, std::uint8_t* stitch,
                            std::uint64_t& got) {
  got = n;
  if (s.seen == evictions_ && static_cast<std::uint64_t>(s.end - s.cur) >= n) {
    out = s.cur;
    s.cur += n;
    return true;
  }
  std::uint64_t partial = 0;
  if (take_slow(s, n, out, stitch, &partial)) return true;
  got = partial;
  out = stitch;
  return !file_.error().failed();
}

bool DataWindows::take_slow(DataStream& s, std::uint64_t n, const std::uint8_t*& out, std::uint8_t* stitch,
                            std::uint64_t* partial) {
  refresh(s);
  std::uint64_t got = 0;
  for (;;) {
    const std::uint64_t available = static_cast<std::uint64_t>(s.end - s.cur);
    if (got == 0 && available >= n) {
      out = s.cur;
      s.cur += n;
      return true;
    }
    const std::uint64_t k = std::min(n - got, available);
    if (k > 0) std::memcpy(stitch + got, s.cur, static_cast<std::size_t>(k));
    s.cur += k;
    got += k;
    if (got == n) {
      out = stitch;
      return true;
    }
    if (partial != nullptr) *partial = got;
    if (!fill(s)) return false;
  }
}

bool DataWindows::skip(DataStream& s, std::uint64_t n) {
  refresh(s);
  while (n > 0) {
    const std::uint64_t available = static_cast<std::uint64_t>(s.end - s.cur);
    if (available > 0) {
      const std::uint64_t k = std::min(n, available);
      s.cur += k;
      n -= k;
      continue;
    }
    const std::uint64_t at = s.at();
    if (s.block != 0 && at < s.block_size) {
      // Within the block but past the span: no need to read what is passed over.
      const std::uint64_t k = std::min(n, s.block_size - at);
      drop_span(s, at + k);
      n -= k;
      continue;
    }
    if (!next_block(s)) return false;
  }
  return true;
}

bool DataWindows::fill(DataStream& s) {
  for (;;) {
    if (s.block != 0 && s.at() < s.block_size) return load_span(s);
    if (!next_block(s)) return false;
  }
}

bool DataWindows::count(DataStream& s, std::uint64_t bytes) {
  // Distinct blocks never add up to more than the file, so more means blocks visited twice, by
  // a loop or by sharing.
  s.spent += bytes;
  if (s.tally != nullptr) *s.tally += bytes;
  if (s.spent > file_.size() || (s.tally != nullptr && *s.tally > file_.size())) {
    return file_.error().fail("data group %lld: its data blocks loop or are shared", ll(s.group));
  }
  return true;
}

bool DataWindows::open_list(DataStream& s, std::uint64_t offset) {
  ErrorText& error = file_.error();
  Block b;
  if (!file_.load(offset, kTagDl, 1, dl::kCount + 4, b)) return false;
  if (s.lists.returns(offset)) return error.fail("data group %lld: its data lists loop", ll(s.group));
  if (!count(s, b.h.length)) return false;
  const std::uint64_t n = get_u32(b.data + dl::kCount);
  if (n > b.h.links - 1) {
    return error.fail("the data list at offset %llu counts %llu blocks but links %llu", ull(offset), ull(n),
                      ull(b.h.links - 1));
  }
  s.list = offset;
  s.list_count = n;
  s.list_index = 0;
  s.links_held = 0;
  s.list_next = b.links[dl::kNextDl];
  return true;
}

bool DataWindows::next_block(DataStream& s) {
  if (s.block != 0) {
    s.base += s.block_size;
    s.block = 0;
  }
  drop_span(s, 0);
  for (;;) {
    std::uint64_t block = 0;
    if (s.single != 0) {
      block = s.single;
      s.single = 0;
    } else if (s.list != 0 && s.list_index < s.list_count) {
      if (s.list_index - s.links_first >= s.links_held) {
        // The list's link count was checked against its length when it was opened.
        const std::uint64_t n = std::min(DataStream::kLinkBatch, s.list_count - s.list_index);
        std::uint8_t raw[DataStream::kLinkBatch * kLinkSize];
        if (!file_.read_at(s.list + kHeaderSize + (1 + s.list_index) * kLinkSize, raw, n * kLinkSize)) return false;
        for (std::uint64_t i = 0; i < n; ++i) s.links[i] = get_u64(raw + i * kLinkSize);
        s.links_first = s.list_index;
        s.links_held = n;
      }
      block = s.links[s.list_index++ - s.links_first];
      if (block == 0) continue;
    } else if (s.list_next != 0) {
      if (!open_list(s, s.list_next)) return false;
      continue;
    } else {
      return false;  // no more data: the caller tells whether any is missing
    }
    return open_block(s, block);
  }
}

bool DataWindows::open_block(DataStream& s, std::uint64_t offset) {
  ErrorText& error = file_.error();
  BlockHeader h;
  if (!file_.header_at(offset, "data", h)) return false;
  char want[5];
  tag_text(s.data_tag, want);
  if (h.tag != s.data_tag && h.tag != kTagDz) {
    char found[5];
    tag_text(h.tag, found);
    return error.fail("bad block id at offset %llu: expected %s or ##DZ, found %s", ull(offset), want, found);
  }
  Block b;
  if (!file_.load(offset, h.tag, 0, h.tag == kTagDz ? dz::kDataSize : 0, b) || !count(s, b.h.length)) return false;
  const std::uint64_t start = offset + data_start(b.h.links);
  if (h.tag != kTagDz) {
    s.block = offset;
    s.block_kind = kPlain;
    s.block_data = start;
    s.block_size = offset + b.h.length - start;
    return true;
  }
  const std::uint8_t* d = b.data;
  const std::uint8_t zip_type = d[dz::kZipType];
  const std::uint64_t param = get_u32(d + dz::kZipParam);
  const std::uint64_t original = get_u64(d + dz::kOriginalSize);
  const std::uint64_t zip_size = get_u64(d + dz::kZipSize);
  if (d[dz::kOriginalTag] != want[2] || d[dz::kOriginalTag + 1] != want[3]) {
    return error.fail("data group %lld: the DZ block at offset %llu does not hold %s", ll(s.group), ull(offset),
                      s.data_tag == kTagDt ? "record data" : "signal data");
  }
  if (zip_type != dz::kDeflate && zip_type != dz::kTransposedDeflate) {
    return error.fail("data group %lld: compression type %u is not supported", ll(s.group),
                      static_cast<unsigned>(zip_type));
  }
  if (zip_size > b.h.length - data_start(b.h.links) - dz::kDataSize) {
    return error.fail("bad length of the ##DZ block at offset %llu", ull(offset));
  }
  if (original > kMdf4MaxInflated) {
    return error.fail("the DZ block at offset %llu inflates to %llu bytes, more than %llu", ull(offset), ull(original),
                      ull(kMdf4MaxInflated));
  }
  if (original / kMaxDeflateRatio > zip_size) {
    return error.fail("the DZ block at offset %llu cannot inflate to %llu bytes", ull(offset), ull(original));
  }
  if (zip_type == dz::kTransposedDeflate && param == 0) {
    return error.fail("the DZ block at offset %llu transposes records of 0 bytes", ull(offset));
  }
  s.block = offset;
  s.block_kind = zip_type == dz::kDeflate ? kDeflated : kTransposed;
  s.block_data = start + dz::kDataSize;
  s.zip_size = zip_size;
  s.block_size = original;
  s.columns = param;
  s.lines = param == 0 ? 0 : original / param;
  return true;
}

std::int32_t DataWindows::find(Kind kind, std::uint64_t block, std::uint64_t first) {
  for (std::int32_t i = 0; i < window_count_; ++i) {
    const Window& w = windows_[i];
    if (w.block == block && w.first == first && w.kind == kind && w.length > 0) return i;
  }
  return -1;
}

std::int32_t DataWindows::acquire(Kind kind, std::uint64_t block, std::uint64_t first, std::uint64_t size) {
  const bool inflated = kind == kInflated;
  const std::uint64_t budget = inflated ? inflated_budget_ : window_budget_;
  const std::uint64_t want = (inflated ? size : std::max(size, chunk_)) + kSlack;
  std::uint64_t class_bytes = 0;
  std::int32_t idle = -1;    // the least recently used window of the class no stream reads
  std::int32_t oldest = -1;  // the least recently used of the class
  for (std::int32_t i = 0; i < window_count_; ++i) {
    const Window& w = windows_[i];
    if ((w.kind == kInflated) != inflated || w.capacity == 0) continue;
    class_bytes += w.capacity;
    if (w.refs == 0 && (idle < 0 || w.used < windows_[idle].used)) idle = i;
    if (oldest < 0 || w.used < windows_[oldest].used) oldest = i;
  }
  std::int32_t pick = idle;
  if (pick < 0 && class_bytes + want > budget) pick = oldest;
  if (pick < 0) {
    if (window_count_ == window_capacity_) {
      const std::int32_t grown = window_capacity_ == 0 ? 8 : window_capacity_ * 2;
      void* p = mem_realloc(windows_, static_cast<std::size_t>(grown) * sizeof(Window));
      if (p == nullptr) return -1;
      windows_ = static_cast<Window*>(p);
      window_capacity_ = grown;
    }
    pick = window_count_++;
    new (windows_ + pick) Window;
  }
  Window& w = windows_[pick];
  if (w.refs > 0) ++evictions_;  // its streams find out and load their bytes again
  w.block = 0;
  w.length = 0;
  w.refs = 0;
  w.generation = ++generations_;
  if (w.capacity < want) {
    held_ -= w.capacity;
    mem_free(w.bytes);
    w.capacity = 0;
    // Zeroed, so that the slack reads as zeros rather than as whatever the heap held.
    w.bytes = static_cast<std::uint8_t*>(mem_calloc(static_cast<std::size_t>(want)));
    if (w.bytes == nullptr) return -1;
    w.capacity = want;
    held_ += want;
    peak_ = std::max(peak_, held_);
  }
  w.kind = kind;
  w.block = block;
  w.first = first;
  w.used = ++clock_;
  return pick;
}

bool DataWindows::inflate_into(DataStream& s, std::uint8_t* out) {
  // A block that fits is inflated at once, several times faster than zlib's stream. Whatever
  // goes wrong there, the stream below does it again: its checks and messages are the ones given.
  if (s.zip_size <= InflateAhead::kMaxBlock && s.block_size <= InflateAhead::kMaxBlock) {
    if (inflater_ == nullptr) inflater_ = new_inflater();
    if (whole_capacity_ < s.zip_size && inflater_ != nullptr) {
      mem_free(whole_);
      whole_capacity_ = 0;
      whole_ = static_cast<std::uint8_t*>(mem_alloc(static_cast<std::size_t>(std::max<std::uint64_t>(s.zip_size, 1))));
      if (whole_ != nullptr) whole_capacity_ = std::max<std::uint64_t>(s.zip_size, 1);
    }
    const bool inflated = inflater_ != nullptr && whole_ != nullptr && whole_capacity_ >= s.zip_size &&
                          file_.peek_at(s.block_data, whole_, s.zip_size) &&
                          inflate_whole(inflater_, whole_, s.zip_size, out, s.block_size);
    if (ahead_.running()) {
      // The thread inflates nearly every block with buffers of its own: these bytes would only
      // add to the memory a conversion holds.
      mem_free(whole_);
      whole_ = nullptr;
      whole_capacity_ = 0;
    }
    if (inflated) return true;
  }
  return inflate_streaming(s, out);
}

void DataWindows::read_ahead(const DataStream& s) {
  // Only a block whose link is at hand already: the next one of the list's links read.
  if (s.list == 0 || s.list_index >= s.list_count || s.list_index - s.links_first >= s.links_held) return;
  const std::uint64_t next = s.links[s.list_index - s.links_first];
  if (next == 0 || ahead_.holds(next) || find(kInflated, next, 0) >= 0) return;
  // The checks open_block makes before it inflates, without a word: what fails them is found
  // and reported there when the stream gets to it.
  std::uint8_t head[kHeaderSize];
  BlockHeader h;
  if (!file_.peek_at(next, head, sizeof head) || !decode_header(head, h) || h.tag != kTagDz ||
      check_block(h, next, file_.size(), kTagDz, 0, dz::kDataSize) != BlockProblem::None) {
    return;
  }
  std::uint8_t d[dz::kDataSize];
  const std::uint64_t start = next + data_start(h.links);
  if (!file_.peek_at(start, d, sizeof d)) return;
  char want[5];
  tag_text(s.data_tag, want);
  const std::uint8_t zip_type = d[dz::kZipType];
  const std::uint64_t original = get_u64(d + dz::kOriginalSize);
  const std::uint64_t zip_size = get_u64(d + dz::kZipSize);
  if (d[dz::kOriginalTag] != want[2] || d[dz::kOriginalTag + 1] != want[3] ||
      (zip_type != dz::kDeflate && zip_type != dz::kTransposedDeflate) ||
      zip_size > h.length - data_start(h.links) - dz::kDataSize || original > InflateAhead::kMaxBlock ||
      original / kMaxDeflateRatio > zip_size ||
      (zip_type == dz::kTransposedDeflate && get_u32(d + dz::kZipParam) == 0)) {
    return;
  }
  // The block being read and the one ahead, both inflated, within the budget for inflated blocks.
  if (2 * (original + kSlack) > inflated_budget_) return;
  std::uint8_t* room = ahead_.room(zip_size);
  if (room == nullptr || !file_.peek_at(start + dz::kDataSize, room, zip_size)) return;
  ahead_.hand_over(next, zip_size, original);
  // The thread runs now: the buffer for inflating here goes (see inflate_into).
  mem_free(whole_);
  whole_ = nullptr;
  whole_capacity_ = 0;
}

bool DataWindows::inflate_streaming(DataStream& s, std::uint8_t* out) {
  ErrorText& error = file_.error();
  if (input_ == nullptr) {
    input_ = static_cast<std::uint8_t*>(mem_alloc(kInput));
    if (input_ == nullptr) return error.fail("out of memory");
  }
  if (!zs_ready_) {
    zs_.zalloc = zlib_alloc;
    zs_.zfree = zlib_free;
    zs_.opaque = nullptr;
    zs_.next_in = nullptr;
    zs_.avail_in = 0;
    if (inflateInit(&zs_) != Z_OK) return error.fail("out of memory");
    zs_ready_ = true;
  } else if (inflateReset(&zs_) != Z_OK) {
    return error.fail("out of memory");
  }
  zs_.next_in = nullptr;
  zs_.avail_in = 0;
  // The output is given in pieces, so that zlib's checksum of each reads bytes still in the cache.
  std::uint8_t* const end = out + s.block_size;
  zs_.next_out = out;
  zs_.avail_out = 0;
  std::uint64_t next = s.block_data;
  std::uint64_t left = s.zip_size;
  int status = Z_OK;
  while (status == Z_OK) {
    if (zs_.avail_in == 0 && left > 0) {
      const std::uint64_t n = std::min(kInput, left);
      if (!file_.read_at(next, input_, n)) return false;
      zs_.next_in = input_;
      zs_.avail_in = static_cast<uInt>(n);
      next += n;
      left -= n;
    }
    if (zs_.avail_out == 0)
      zs_.avail_out = static_cast<uInt>(std::min(kOutput, static_cast<std::uint64_t>(end - zs_.next_out)));
    // Z_OK means progress; without input or room left zlib says Z_BUF_ERROR, and the loop ends.
    status = inflate(&zs_, Z_NO_FLUSH);
  }
  if (status != Z_STREAM_END || zs_.total_out != s.block_size) {
    return error.fail("the DZ block at offset %llu does not inflate to its %llu bytes", ull(s.block),
                      ull(s.block_size));
  }
  return true;
}

bool DataWindows::load_span(DataStream& s) {
  ErrorText& error = file_.error();
  const std::uint64_t at = s.at();
  release(s);
  std::int32_t w = -1;
  std::uint64_t first = 0;  // the block position of the window's first byte
  if (s.block_kind == kPlain) {
    first = at / chunk_ * chunk_;
    w = find(kChunk, s.block, first);
    if (w < 0) {
      const std::uint64_t n = std::min(chunk_, s.block_size - first);
      w = acquire(kChunk, s.block, first, n);
      if (w < 0) return error.fail("out of memory");
      if (!file_.read_at(s.block_data + first, windows_[w].bytes, n)) {
        windows_[w].block = 0;
        return false;
      }
      windows_[w].length = n;
    }
  } else {
    w = find(kInflated, s.block, 0);
    if (w < 0) {
      w = acquire(kInflated, s.block, 0, s.block_size);
      if (w < 0) return error.fail("out of memory");
      Window& into = windows_[w];
      const std::uint64_t had = into.capacity;
      if (ahead_.take(s.block, s.block_size, into.bytes, into.capacity)) {
        held_ = held_ - had + into.capacity;
        peak_ = std::max(peak_, held_);
      } else if (!inflate_into(s, into.bytes)) {
        into.block = 0;
        return false;
      }
      into.length = s.block_size;
      // The next block inflates on the other thread while this one's records are read.
      read_ahead(s);
    }
    const std::uint64_t matrix = s.lines * s.columns;
    if (s.block_kind == kTransposed && at < matrix) {
      // Records come out of the matrix a tile at a time; the inflated block stays with the
      // stream for the tiles still to come.
      const std::int32_t source = w;
      const std::uint64_t per = std::max<std::uint64_t>(1, chunk_ / s.columns);
      const std::uint64_t line = at / s.columns / per * per;
      first = line * s.columns;
      w = find(kTile, s.block, line);
      if (w < 0) {
        const std::uint64_t n = std::min(per, s.lines - line);
        w = acquire(kTile, s.block, line, n * s.columns);  // of another class: `source` stays
        if (w < 0) return error.fail("out of memory");
        untranspose(windows_[w].bytes, windows_[source].bytes, s.lines, s.columns, line, n);
        windows_[w].length = n * s.columns;
      }
      hold(source);
      s.source = source;
      s.source_generation = windows_[source].generation;
    }
  }
  hold(w);
  s.window = w;
  s.window_generation = windows_[w].generation;
  s.span = windows_[w].bytes + (at - first);
  s.cur = s.span;
  s.end = windows_[w].bytes + windows_[w].length;
  s.span_at = at;
  s.seen = evictions_;
  return true;
}

}  // namespace quarn::mdf4
