#include "mdf4/mdf4_block_compressor.h"

#include <cstring>
#include <system_error>
#include <utility>

#include "base/memory.h"
#include "codec/transpose.h"
#include "mdf4/mdf4_blocks.h"

namespace quarn::mdf4 {

BlockCompressor::~BlockCompressor() {
  stop_thread();
  for (Slot& s : slots_) {
    mem_free(s.records);
    mem_free(s.packed);
  }
}

Slot* BlockCompressor::first_queued() {
  for (int i = 0; i < count_; ++i) {
    Slot& s = slots_[(head_ + i) % kMdf4BlocksInFlight];
    if (s.state == Slot::kQueued) return &s;
  }
  return nullptr;
}

void BlockCompressor::compress(Slot& s, ColumnDeflater* deflater) const {
  const std::uint64_t size = s.record_size;
  const std::uint64_t n = s.bytes;
  const std::uint64_t rows = n / size;
  const bool transposed = transposed_;
  std::uint8_t* records = s.records + kHeaderSize;
  // A block of fewer records than it has room for closes the gaps between its columns.
  const bool compacted = transposed && rows < s.rows;
  if (compacted) {
    for (std::uint64_t c = 1; c < size; ++c) std::memmove(records + c * rows, records + c * s.rows, rows);
  }
  // Once compressed, the records leave the buffer zeroed for the next block to fill. The columns
  // no record wrote are zero still; not touching them spares the pages under them, most of a
  // block's (unused data bytes), ever being mapped.
  auto clean = [&] {
    if (!transposed) return;
    if (compacted) std::memset(records, 0, static_cast<std::size_t>(rows * size));
    for (std::uint64_t c = 0; c < size; ++c) {
      if (s.live.may_be_nonzero(c)) std::memset(records + c * s.rows, 0, static_cast<std::size_t>(rows));
    }
  };
  std::uint8_t* dz_data = s.packed + kHeaderSize;
  std::size_t zipped = 0;
  // Worth it only when the DZ block, with its 24 more bytes of header, comes out shorter.
  if (deflater != nullptr && n > dz::kDataSize) {
    const auto room = static_cast<std::size_t>(n - dz::kDataSize);
    zipped = transposed ? deflater->deflate_columns(records, static_cast<std::size_t>(n), size, s.live,
                                                    dz_data + dz::kDataSize, room)
                        : deflater->deflate(records, static_cast<std::size_t>(n), dz_data + dz::kDataSize, room);
  }
  s.failure = deflater == nullptr ? "out of memory" : zipped == kDeflateFailed ? kCompressionFailed : nullptr;
  if (s.failure != nullptr) return;
  if (zipped > 0) {
    const std::uint64_t length = kHeaderSize + dz::kDataSize + zipped;
    encode_header(s.packed, BlockHeader{kTagDz, length, 0});
    dz_data[dz::kOriginalTag] = 'D';
    dz_data[dz::kOriginalTag + 1] = 'T';
    put_u8(dz_data + dz::kZipType, transposed ? dz::kTransposedDeflate : dz::kDeflate);
    put_u8(dz_data + dz::kZipType + 1, 0);
    put_u32(dz_data + dz::kZipParam, transposed ? static_cast<std::uint32_t>(size) : 0);
    put_u64(dz_data + dz::kOriginalSize, n);
    put_u64(dz_data + dz::kZipSize, zipped);
    std::memset(s.packed + length, 0, static_cast<std::size_t>(align8(length) - length));
    s.out = s.packed;
    s.out_length = align8(length);
    clean();
    return;
  }
  // Stored as the records are, in their own order.
  std::uint8_t* plain = records;
  if (transposed) {
    plain = s.packed + kHeaderSize;
    untranspose(plain, records, rows, size, 0, rows);
  }
  std::uint8_t* block = plain - kHeaderSize;
  const std::uint64_t length = kHeaderSize + n;
  encode_header(block, BlockHeader{kTagDt, length, 0});
  std::memset(block + length, 0, static_cast<std::size_t>(align8(length) - length));
  s.out = block;
  s.out_length = align8(length);
  clean();
}

bool BlockCompressor::queue(int group, std::uint8_t*& block, std::uint64_t bytes, std::uint64_t record_size,
                            std::uint64_t rows, const LiveColumns& live) {
  Slot& s = slots_[(head_ + count_) % kMdf4BlocksInFlight];
  if (s.records == nullptr) {
    const auto size = static_cast<std::size_t>(buffer_bytes_);
    s.records = static_cast<std::uint8_t*>(transposed_ ? mem_calloc(size) : mem_alloc(size));
    s.packed = static_cast<std::uint8_t*>(mem_alloc(size));
    if (s.records == nullptr || s.packed == nullptr) return false;
  }
  std::swap(s.records, block);
  s.group = group;
  s.record_size = record_size;
  s.rows = rows;
  s.bytes = bytes;
  s.live = live;
  s.failure = nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    s.state = Slot::kQueued;
    ++count_;
  }
  queued_.notify_one();
  return true;
}

void BlockCompressor::start_thread() {
  if (thread_tried_) return;
  thread_tried_ = true;
  if (!use_thread_ || worker_spared_) return;
  // Kept from file to file, as the caller's own deflater is: making one costs more than a small
  // log's compressing does.
  if (!thread_) thread_ = deflater_();
  // Without a deflater or a thread the caller's thread compresses everything.
  if (!thread_) return;
  try {
    worker_ = std::thread([this] {
      std::unique_lock<std::mutex> lock(mutex_);
      for (;;) {
        Slot* s = nullptr;
        queued_.wait(lock, [&] { return stop_ || (s = first_queued()) != nullptr; });
        if (stop_) return;
        compress_queued(*s, thread_, lock);
      }
    });
  } catch (const std::system_error&) {
    thread_.reset();
  }
}

bool BlockCompressor::help() {
  std::unique_lock<std::mutex> lock(mutex_);
  Slot* s = first_queued();
  if (s == nullptr) return false;
  compress_queued(*s, helper_, lock);
  return true;
}

void BlockCompressor::compress_queued(Slot& s, std::unique_ptr<ColumnDeflater>& deflater,
                                      std::unique_lock<std::mutex>& lock) {
  s.state = Slot::kWorking;
  lock.unlock();
  if (!deflater) deflater = deflater_();
  compress(s, deflater.get());
  lock.lock();
  s.state = Slot::kDone;
  done_.notify_one();
}

void BlockCompressor::stop_thread() {
  if (!worker_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  queued_.notify_one();
  worker_.join();
}

const Slot& BlockCompressor::wait_oldest() {
  Slot& s = slots_[head_];
  std::unique_lock<std::mutex> lock(mutex_);
  while (s.state != Slot::kDone) {
    Slot* q = first_queued();
    if (q == nullptr) {
      done_.wait(lock);
      continue;
    }
    compress_queued(*q, own_, lock);
  }
  return s;
}

void BlockCompressor::pop_oldest() {
  std::lock_guard<std::mutex> lock(mutex_);
  slots_[head_].state = Slot::kFree;
  head_ = (head_ + 1) % kMdf4BlocksInFlight;
  --count_;
}

bool BlockCompressor::done_oldest() {
  std::lock_guard<std::mutex> lock(mutex_);
  return slots_[head_].state == Slot::kDone;
}

}  // namespace quarn::mdf4
