#pragma once

// A thread that inflates the next DZ block of a chain while the records of the current one are
// decoded: inflating took most of the reading thread's time, while the other core waited.
//
// It holds one block at a time. The reading thread fills the block's compressed bytes in, hands
// it over and takes it back inflated when its stream gets there. The thread only ever says
// whether the block inflated to exactly its size: a block it could not inflate is inflated again
// the usual way, whose checks and messages stay the only ones. Blocks it would not hold, a thread
// that cannot be started, or more threads than the machine has cores: the reading thread inflates
// everything itself.
//
// Only the MDF4 decoder's data windows and their tests include this.

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

namespace quarn::mdf4 {

// Inflates a whole zlib stream of `zip_size` bytes into exactly `size` bytes at `out`; false when
// it does not inflate to exactly that. `inflater` is a libdeflate decompressor.
bool inflate_whole(void* inflater, const std::uint8_t* zip, std::uint64_t zip_size, std::uint8_t* out,
                   std::uint64_t size);
// A libdeflate decompressor on the program's allocator, or null; freed with free_inflater.
void* new_inflater();
void free_inflater(void* inflater);

class InflateAhead {
 public:
  // The largest block, inflated or not, the thread takes: the block being read and the one ahead
  // are in memory at once, and with blocks of 4 MiB (asammdf's) that took a conversion's memory
  // past 16 MiB. Larger ones are inflated where they are read, as before.
  static constexpr std::uint64_t kMaxBlock = std::uint64_t{2} << 20;

  // `use_thread` false: never starts one (the reading thread does everything). Inflated blocks
  // come with `slack` bytes of room after them, as the windows they go to have.
  InflateAhead(bool use_thread, std::uint64_t slack) : use_thread_(use_thread), slack_(slack) {}
  ~InflateAhead();
  InflateAhead(const InflateAhead&) = delete;
  InflateAhead& operator=(const InflateAhead&) = delete;

  // Room for the compressed bytes of the next block, `zip_size` of them (at most kMaxBlock), when
  // the thread is free for it; null when it is busy with another block, is not allowed, cannot
  // be started or memory runs out. A block held but not taken is dropped.
  std::uint8_t* room(std::uint64_t zip_size);
  // Hands over the block at `block` whose compressed bytes `room` took, to inflate to `size` bytes
  // (at most kMaxBlock).
  void hand_over(std::uint64_t block, std::uint64_t zip_size, std::uint64_t size);
  // Whether the block at `block` was handed over and not taken back yet.
  bool holds(std::uint64_t block) const { return block != 0 && block == block_; }
  // Waits for the block at `block` (which it holds) and swaps its inflated bytes with `bytes`, a
  // buffer of `capacity` bytes: true when it inflated to exactly `size` bytes, the size it was
  // handed over with. Either way the block is no longer held.
  bool take(std::uint64_t block, std::uint64_t size, std::uint8_t*& bytes, std::uint64_t& capacity);

  // Whether the thread runs (it holds buffers of its own then).
  bool running() const { return running_; }
  // How many blocks the thread inflated that were taken, for tests.
  std::uint64_t taken() const { return taken_; }

 private:
  bool start();
  void run();

  const bool use_thread_;
  const std::uint64_t slack_;
  bool tried_ = false;       // whether the thread was started or refused
  bool running_ = false;     // the thread runs and counts against the machine's cores
  std::uint64_t block_ = 0;  // the block handed over and not taken back; 0 for none
  std::uint64_t taken_ = 0;
  // The reading thread's, except between hand_over and the end of the job.
  std::uint8_t* input_ = nullptr;
  std::uint64_t input_capacity_ = 0;
  std::uint8_t* output_ = nullptr;
  std::uint64_t output_capacity_ = 0;  // slack included
  std::uint64_t zip_size_ = 0;
  std::uint64_t size_ = 0;
  void* inflater_ = nullptr;

  std::mutex mutex_;
  std::condition_variable changed_;
  bool queued_ = false;  // a job waits for the thread or is being done
  bool ok_ = false;      // how the last job went
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace quarn::mdf4
