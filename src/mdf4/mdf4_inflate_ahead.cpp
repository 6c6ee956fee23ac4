#include "mdf4/mdf4_inflate_ahead.h"

#include <libdeflate.h>

#include <atomic>
#include <system_error>
#include <utility>

#include "base/memory.h"
#include "base/platform.h"
#include "codec/deflate_memory.h"

namespace quarn::mdf4 {

namespace {

// Threads that inflate ahead, over every log converted at once: one core is left to the threads
// that read and write, so that with several logs at once they do not take turns with these.
std::atomic<int> g_running{0};

bool claim_core() {
  const int allowed = platform_online_cores() - 1;
  int running = g_running.load();
  while (running < allowed) {
    if (g_running.compare_exchange_weak(running, running + 1)) return true;
  }
  return false;
}

}  // namespace

bool inflate_whole(void* inflater, const std::uint8_t* zip, std::uint64_t zip_size, std::uint8_t* out,
                   std::uint64_t size) {
  // Without a place for the size it reached, libdeflate accepts nothing but exactly `size` bytes
  // from a stream that ends with its checksum, the bytes after it aside, as zlib's stream does.
  return libdeflate_zlib_decompress(static_cast<libdeflate_decompressor*>(inflater), zip,
                                    static_cast<std::size_t>(zip_size), out, static_cast<std::size_t>(size),
                                    nullptr) == LIBDEFLATE_SUCCESS;
}

void* new_inflater() {
  deflate_use_quarn_memory();
  return libdeflate_alloc_decompressor();
}

void free_inflater(void* inflater) {
  if (inflater != nullptr) libdeflate_free_decompressor(static_cast<libdeflate_decompressor*>(inflater));
}

InflateAhead::~InflateAhead() {
  if (thread_.joinable()) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    changed_.notify_all();
    thread_.join();
  }
  if (running_) g_running.fetch_sub(1);
  free_inflater(inflater_);
  mem_free(input_);
  mem_free(output_);
}

bool InflateAhead::start() {
  if (tried_) return running_;
  tried_ = true;
  if (!use_thread_ || !claim_core()) return false;
  inflater_ = new_inflater();
  if (inflater_ != nullptr) {
    // The one place a library call may throw: a thread the system refuses. The reading thread
    // then inflates everything itself.
    try {
      thread_ = std::thread([this] { run(); });
      running_ = true;
      return true;
    } catch (const std::system_error&) {}
  }
  g_running.fetch_sub(1);
  return false;
}

std::uint8_t* InflateAhead::room(std::uint64_t zip_size) {
  if (zip_size > kMaxBlock || !start()) return nullptr;
  if (block_ != 0) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (queued_) return nullptr;  // still at work on the block before
    block_ = 0;                   // done, but its stream went past it
  }
  if (input_capacity_ < zip_size) {
    mem_free(input_);
    input_capacity_ = 0;
    input_ = static_cast<std::uint8_t*>(mem_alloc(static_cast<std::size_t>(zip_size)));
    if (input_ == nullptr) return nullptr;
    input_capacity_ = zip_size;
  }
  return input_;
}

void InflateAhead::hand_over(std::uint64_t block, std::uint64_t zip_size, std::uint64_t size) {
  if (output_capacity_ < size + slack_) {
    mem_free(output_);
    output_capacity_ = 0;
    // Zeroed, so that the slack reads as zeros rather than as whatever the heap held.
    output_ = static_cast<std::uint8_t*>(mem_calloc(static_cast<std::size_t>(size + slack_)));
    if (output_ == nullptr) return;
    output_capacity_ = size + slack_;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    block_ = block;
    zip_size_ = zip_size;
    size_ = size;
    queued_ = true;
  }
  changed_.notify_all();
}

bool InflateAhead::take(std::uint64_t block, std::uint64_t size, std::uint8_t*& bytes, std::uint64_t& capacity) {
  if (!holds(block)) return false;
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return !queued_; });
  block_ = 0;
  if (!ok_ || size != size_) return false;
  std::swap(bytes, output_);
  std::swap(capacity, output_capacity_);
  ++taken_;
  return true;
}

void InflateAhead::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return queued_ || stop_; });
    if (stop_) return;
    lock.unlock();
    // The buffers and sizes are this thread's until the job is marked done.
    const bool ok = inflate_whole(inflater_, input_, zip_size_, output_, size_);
    lock.lock();
    ok_ = ok;
    queued_ = false;
    changed_.notify_all();
  }
}

}  // namespace quarn::mdf4
