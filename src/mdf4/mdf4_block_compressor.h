#pragma once

// The compression of the MDF4 writer's full data blocks: a few blocks in flight, compressed by
// whichever thread gets to one first (a worker of its own, the thread that adds records when it
// has to wait, or a helper thread the caller lends), and handed back to the writer oldest first,
// so that the file's bytes do not depend on the threads. A block that would not shrink comes back
// stored (DT) in its records' own order.

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "codec/column_deflate.h"

namespace quarn {

// Block buffers being compressed or waiting to be written, besides each group's own.
inline constexpr int kMdf4BlocksInFlight = 2;

}  // namespace quarn

namespace quarn::mdf4 {

// One array, so that its address tells this failure apart from the others.
inline constexpr char kCompressionFailed[] = "could not compress a data block";

// A full block on its way to the file.
struct Slot {
  enum State { kFree, kQueued, kWorking, kDone };
  State state = kFree;  // guarded by the compressor's mutex while the thread runs
  int group = 0;
  std::uint64_t record_size = 0;
  std::uint64_t rows = 0;             // records the buffer has room for: a column's stride, transposed
  std::uint8_t* records = nullptr;    // a block buffer, as a group fills it
  std::uint64_t bytes = 0;            // record bytes in it
  LiveColumns live;                   // the columns its records wrote (transposed only)
  std::uint8_t* packed = nullptr;     // the DZ block, or the records untransposed when they stay DT
  const std::uint8_t* out = nullptr;  // the block to write: header, data, padding
  std::uint64_t out_length = 0;
  const char* failure = nullptr;  // why it could not be compressed; null when it was
};

class BlockCompressor {
 public:
  // Blocks of `buffer_bytes` (header room, records, padding), transposed or not; `use_thread`
  // allows the worker thread.
  BlockCompressor(ColumnDeflaterFactory deflater, bool transposed, bool use_thread, std::uint64_t buffer_bytes)
      : deflater_(deflater), transposed_(transposed), use_thread_(use_thread), buffer_bytes_(buffer_bytes) {}
  ~BlockCompressor();
  BlockCompressor(const BlockCompressor&) = delete;
  BlockCompressor& operator=(const BlockCompressor&) = delete;

  // Blocks in flight; the caller retires the oldest before queueing another when they are
  // kMdf4BlocksInFlight.
  int count() const { return count_; }

  // Queues the `bytes` record bytes in `block` (records of `record_size` bytes, room for `rows` of
  // them) of group `group`, and gives `block` a free buffer in exchange. False, changing nothing,
  // when memory for the buffers runs out.
  bool queue(int group, std::uint8_t*& block, std::uint64_t bytes, std::uint64_t record_size, std::uint64_t rows,
             const LiveColumns& live);

  // Starts the worker thread, once a file: at its first full block, so that a log that fills no
  // block never starts one. Without a deflater or a thread the other threads compress everything.
  void start_thread();
  void stop_thread();

  // The oldest block once it is compressed, compressing blocks that wait meanwhile; then
  // pop_oldest() once it is written. done_oldest(): whether it is compressed already.
  const Slot& wait_oldest();
  void pop_oldest();
  bool done_oldest();

  // See Mdf4Writer::expect_help and help.
  void spare_worker(bool spared) { worker_spared_ = spared; }
  bool help();

  // Readies it for the next file, keeping its buffers, deflaters and what spare_worker said.
  void reset() {
    thread_tried_ = false;
    stop_ = false;
  }

 private:
  // Runs on any thread; touches nothing but the slot and what never changes after creation.
  void compress(Slot& s, ColumnDeflater* deflater) const;
  // Takes a queued block and compresses it with `deflater` (made at first use), letting go of the
  // mutex meanwhile; then marks it done and wakes the thread waiting for it.
  void compress_queued(Slot& s, std::unique_ptr<ColumnDeflater>& deflater, std::unique_lock<std::mutex>& lock);
  // The oldest block nobody compresses yet; null when none. With the mutex held.
  Slot* first_queued();

  const ColumnDeflaterFactory deflater_;
  const bool transposed_;
  const bool use_thread_;
  const std::uint64_t buffer_bytes_;
  Slot slots_[kMdf4BlocksInFlight];
  int head_ = 0;                            // the oldest slot in use
  int count_ = 0;                           // slots in use, from head on
  std::unique_ptr<ColumnDeflater> own_;     // the caller's thread's
  std::unique_ptr<ColumnDeflater> thread_;  // the worker's
  std::unique_ptr<ColumnDeflater> helper_;  // help()'s caller's
  bool thread_tried_ = false;
  bool worker_spared_ = false;  // help() takes the worker's part
  bool stop_ = false;
  std::mutex mutex_;
  std::condition_variable queued_;  // the worker waits for work
  std::condition_variable done_;    // the caller waits for a block
  std::thread worker_;
};

}  // namespace quarn::mdf4
