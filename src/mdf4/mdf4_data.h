#pragma once

// The reading side of MDF4 data blocks, apart from what the records mean: file access with
// checked blocks, and byte streams over chains of data blocks (DT or SD, DZ, DL, HL) that many
// readers of one file share through a pool of windows of bounded size.
//
// Only the MDF4 decoder, its parts and their tests include this.

#include <zlib.h>

#include <cstdint>

#include "base/printf_format.h"
#include "io/stream.h"
#include "mdf4/mdf4_blocks.h"
#include "mdf4/mdf4_inflate_ahead.h"

namespace quarn::mdf4 {

// Counts for the messages' %llu and %lld.
inline unsigned long long ull(std::uint64_t v) { return static_cast<unsigned long long>(v); }
inline long long ll(std::int64_t v) { return static_cast<long long>(v); }

// The first failure's message, kept for the caller; later failures do not overwrite it.
class ErrorText {
 public:
  bool fail(const char* format, ...) QUARN_PRINTF(2, 3);
  bool failed() const { return failed_; }
  const char* text() const { return text_; }

 private:
  char text_[200] = "";
  bool failed_ = false;
};

// Brent's cycle finding over a chain of links, fed each offset in turn: true when an offset comes
// back. The first one is the mark at once, so a chain that leads back to its start is caught on
// its first return; any other loop within twice its length.
struct LoopCheck {
  std::uint64_t mark = 0;
  std::uint64_t power = 1;
  std::uint64_t steps = 1;

  bool returns(std::uint64_t at) {
    if (at == mark) return true;
    if (steps == power) {
      mark = at;
      power *= 2;
      steps = 0;
    }
    ++steps;
    return false;
  }
};

inline constexpr std::uint64_t kMaxLinksRead = 8;
inline constexpr std::uint64_t kMaxDataRead = 48;

// The start of one block as the reader needs it: its header, its first links and the first
// bytes of its data section.
struct Block {
  std::uint64_t offset = 0;
  BlockHeader h;
  std::uint64_t links[kMaxLinksRead] = {};
  std::uint8_t data[kMaxDataRead] = {};
};

// Reads a file through a borrowed stream, every range checked against the file's size.
class FileAccess {
 public:
  explicit FileAccess(ErrorText& error) : error_(error) {}
  void attach(Stream& stream, std::uint64_t size) {
    stream_ = &stream;
    size_ = size;
  }

  std::uint64_t size() const { return size_; }
  ErrorText& error() { return error_; }

  bool read_at(std::uint64_t offset, void* dst, std::uint64_t n);
  // As read_at, but a failure is no error: for bytes that are only read ahead of their time, and
  // read again the usual way when this fails.
  bool peek_at(std::uint64_t offset, void* dst, std::uint64_t n);
  // The block at `offset`, which must have the id `want`, at least `min_links` links and
  // `min_data` bytes of data, all inside the file.
  bool load(std::uint64_t offset, std::uint32_t want, std::uint64_t min_links, std::uint64_t min_data, Block& out);
  // Just the header of whatever block lies at `offset`; `what` names it in the message.
  bool header_at(std::uint64_t offset, const char* what, BlockHeader& out);

 private:
  Stream* stream_ = nullptr;
  std::uint64_t size_ = 0;
  ErrorText& error_;
};

// One reader's position in the bytes of a chain of data blocks: a DT (or SD) block, a DZ block,
// a DL list or a chain of them, or an HL over such a chain. The fields are the pool's; readers
// only call the pool with them.
struct DataStream {
  // The bytes at the position that are in memory (a span of a window), valid while the pool's
  // eviction count is `seen`.
  const std::uint8_t* cur = nullptr;
  const std::uint8_t* end = nullptr;
  std::uint64_t seen = ~std::uint64_t{0};
  const std::uint8_t* span = nullptr;  // where the span starts
  std::uint64_t span_at = 0;           // and its place in the block's data
  std::int32_t window = -1;            // the window holding the span
  std::uint32_t window_generation = 0;
  std::int32_t source = -1;  // a transposed block's inflated window the span was gathered from
  std::uint32_t source_generation = 0;

  // The chain.
  std::uint64_t first = 0;
  std::uint32_t data_tag = 0;      // kTagDt for records, kTagSd for signal data
  std::int64_t group = 0;          // the data group, for messages
  std::uint64_t* tally = nullptr;  // bytes of blocks visited, shared with other streams; may be null
  std::uint64_t spent = 0;         // bytes of blocks this stream visited
  std::uint64_t single = 0;        // a data block still to open that no list holds
  std::uint64_t list = 0;
  std::uint64_t list_count = 0;
  std::uint64_t list_index = 0;
  std::uint64_t list_next = 0;
  // Links of the list read ahead, a batch at a time: a list usually lies far from its blocks (a
  // writer puts it after them), and reading one link per block made the file's read window jump
  // there and back for every block.
  static constexpr std::uint64_t kLinkBatch = 32;
  std::uint64_t links[kLinkBatch] = {};
  std::uint64_t links_first = 0;  // the list index of links[0]
  std::uint64_t links_held = 0;
  LoopCheck lists;

  // The open data block.
  std::uint64_t block = 0;  // its offset; 0 while none is open
  std::uint8_t block_kind = 0;
  std::uint64_t block_data = 0;  // where its data (or its compressed bytes) start in the file
  std::uint64_t zip_size = 0;
  std::uint64_t block_size = 0;  // bytes of data it holds, inflated
  std::uint64_t columns = 0;     // transposed: the matrix of lines x columns bytes
  std::uint64_t lines = 0;
  std::uint64_t base = 0;  // bytes of the stream before the open block

  std::uint64_t at() const { return span_at + static_cast<std::uint64_t>(cur - span); }
  std::uint64_t position() const { return base + at(); }
};

// The windows every stream of one file reads through, and the inflater they share.
//
// A window holds the bytes of a piece of a data block: a chunk of a DT or SD block read from the
// file, a whole DZ block inflated, or a tile of records gathered from a transposed one. Streams
// that read the same piece (the channel groups of one unsorted data group move through the same
// blocks) share its window. Windows nobody reads any more are reused first; chunks and tiles
// together stay within the window budget, inflated blocks within the inflated budget, and when more
// streams than that are busy the least recently used window is taken from its stream, which
// loads it again when it comes back to it. A single inflated block may exceed the budget alone.
class DataWindows {
 public:
  static constexpr std::uint64_t kMaxChunk = std::uint64_t{256} << 10;
  static constexpr std::uint64_t kMinChunk = std::uint64_t{4} << 10;
  // Bytes after every window's data that may be read but mean nothing, so that a value is read
  // as one 8-byte load wherever it lies.
  static constexpr std::uint64_t kSlack = 16;

  // `inflate_ahead`: the next DZ block of a stream may be inflated on a thread of its own.
  DataWindows(FileAccess& file, std::uint64_t window_budget, std::uint64_t inflated_budget, bool inflate_ahead)
      : file_(file), window_budget_(window_budget), inflated_budget_(inflated_budget), ahead_(inflate_ahead, kSlack) {}
  ~DataWindows();
  DataWindows(const DataWindows&) = delete;
  DataWindows& operator=(const DataWindows&) = delete;

  // How many streams will read at once: the chunk size follows, so that their chunks fit the
  // budget. Before any stream reads.
  void plan(std::int64_t streams);

  // Points `s` at the chain that starts at the block `first` (0: no data), without reading any
  // data yet. `tally`, when given, adds up the bytes of blocks visited by several streams: more
  // than the file holds means blocks visited twice.
  bool start(DataStream& s, std::uint64_t first, std::uint32_t data_tag, std::int64_t group, std::uint64_t* tally);

  // The next `n` bytes of the stream, contiguous at `out`, and past them. They lie in a window
  // or, when they straddle blocks or windows, in `stitch` (room for n + kSlack bytes); `out` is
  // good until the next call on any stream. False at the end of the data (with no error) or on
  // an error.
  bool take(DataStream& s, std::uint64_t n, const std::uint8_t*& out, std::uint8_t* stitch) {
    if (s.seen == evictions_ && static_cast<std::uint64_t>(s.end - s.cur) >= n) {
      out = s.cur;
      s.cur += n;
      return true;
    }
    return take_slow(s, n, out, stitch, nullptr);
  }
  // As take, but where the data ends before `n` bytes, the bytes that are left: `got` says how
  // many (fewer than `n` only there, 0 at the very end), in `stitch`. False only on an error.
  bool take_rest(DataStream& s, std::uint64_t n, const std::uint8_t*& out, std::uint8_t* stitch, std::uint64_t& got);
  // Past the next `n` bytes; whole blocks in between are not read at all.
  bool skip(DataStream& s, std::uint64_t n);

  // Lets go of the stream's windows.
  void release(DataStream& s);

  // The most bytes of windows held at once so far.
  std::uint64_t peak() const { return peak_; }
  // How many DZ blocks were inflated ahead on the thread and read, for tests.
  std::uint64_t inflated_ahead() const { return ahead_.taken(); }

 private:
  struct Window;
  enum Kind : std::uint8_t { kChunk, kTile, kInflated };

  // `partial`, when given, learns how many bytes were left when the data ended first.
  bool take_slow(DataStream& s, std::uint64_t n, const std::uint8_t*& out, std::uint8_t* stitch,
                 std::uint64_t* partial);
  void refresh(DataStream& s);
  void drop_span(DataStream& s, std::uint64_t at);
  bool fill(DataStream& s);
  bool next_block(DataStream& s);
  bool open_list(DataStream& s, std::uint64_t offset);
  bool open_block(DataStream& s, std::uint64_t offset);
  bool count(DataStream& s, std::uint64_t bytes);
  bool load_span(DataStream& s);
  std::int32_t find(Kind kind, std::uint64_t block, std::uint64_t first);
  std::int32_t acquire(Kind kind, std::uint64_t block, std::uint64_t first, std::uint64_t size);
  void hold(std::int32_t w);
  void let_go(std::int32_t w, std::uint32_t generation);
  bool inflate_into(DataStream& s, std::uint8_t* out);
  bool inflate_streaming(DataStream& s, std::uint8_t* out);
  void read_ahead(const DataStream& s);

  FileAccess& file_;
  const std::uint64_t window_budget_;
  const std::uint64_t inflated_budget_;
  Window* windows_ = nullptr;
  std::int32_t window_count_ = 0;
  std::int32_t window_capacity_ = 0;
  std::uint64_t evictions_ = 0;  // windows taken from streams that held them
  std::uint64_t clock_ = 0;      // for least-recently-used
  std::uint64_t held_ = 0;
  std::uint64_t peak_ = 0;
  std::uint64_t chunk_ = kMaxChunk;
  std::uint32_t generations_ = 0;
  std::uint8_t* input_ = nullptr;  // compressed bytes on their way to the inflater
  z_stream zs_{};
  bool zs_ready_ = false;
  // A whole block's compressed bytes, for the inflater that takes them at once.
  std::uint8_t* whole_ = nullptr;
  std::uint64_t whole_capacity_ = 0;
  void* inflater_ = nullptr;
  InflateAhead ahead_;
};

}  // namespace quarn::mdf4
