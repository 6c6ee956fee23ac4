#pragma once

#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <thread>

#include "base/memory.h"
#include "batch/bus_record.h"

namespace quarn {

// Hands records to a consumer on a thread of its own, in batches, so that reading a log (on the
// caller's thread) and formatting and writing its traces (on the pipeline's) take a core each.
// Order is kept: the consumer sees the records in the order they were pushed, one batch at a
// time, and never two batches at once. Memory is kBatches batches, whatever the number of records.
class RecordPipeline : public HeapObject {
 public:
  using Consumer = void (*)(void* context, const BusRecord* records, std::size_t count);
  // Does a piece of the consumer's other work on the caller's thread, which would otherwise wait
  // for the consumer; true when there was some. The consumer's threads are not enough on few
  // cores: what they leave waiting can be done here meanwhile.
  using Helper = bool (*)(void* context);

  ~RecordPipeline();

  // Copies the record into the batch being filled; hands the batch over when it is full (waiting
  // while every other batch is still the consumer's).
  void push(const BusRecord& record) {
    copy_into(batch_[filling_][count_], record);
    if (++count_ == kBatch) hand_over();
  }

  // Hands over what was pushed and waits until the consumer has seen all of it. Everything the
  // consumer did is visible to the caller afterwards. When nothing was handed over since the last
  // drain (fewer records than a batch), the caller's thread consumes them itself.
  void drain();

  // Tells a producer waiting for the consumer that the helper has new work: it takes it at once
  // rather than when the consumer finishes its batch. Any thread.
  void wake_helper();

  // Eight batches of 4,096 records (425 KB each): the reader may run seven batches ahead, so a
  // consumer that shares its core with another thread for a moment does not stop the reading at
  // once; with an MDF4 compressor thread as that other thread, -F asc,mf4 took 7% less time than
  // with two batches of 16,384, the same 3.4 MB. Far smaller batches cost more in hand-overs than
  // they gain: at 2,048 records two batches overlapped no better than one thread alone.
  static constexpr std::size_t kBatch = 4096;
  static constexpr int kBatches = 8;

 private:
  friend std::unique_ptr<RecordPipeline> record_pipeline_create(Consumer consumer, void* context, Helper helper);
  RecordPipeline(Consumer consumer, void* context, Helper helper)
      : consumer_(consumer), helper_(helper), context_(context) {}

  static void copy_into(BusRecord& slot, const BusRecord& record);
  void hand_over();
  void run();
  // Waits, with the mutex held, until `ready`; calls the helper meanwhile, if there is one.
  template <typename Ready>
  void wait_helping(std::unique_lock<std::mutex>& lock, Ready ready);

  Consumer consumer_;
  Helper helper_;
  void* context_;
  BusRecord* batch_[kBatches] = {};
  int filling_ = 0;        // the batch push fills (caller's thread only)
  std::size_t count_ = 0;  // records in it
  bool handed_since_drain_ = false;  // a batch went to the thread since the last drain

  std::mutex mutex_;
  std::condition_variable changed_;
  // The batches handed over and not yet seen whole: `in_flight_` of them from `oldest_` on, in
  // the order they were filled; the one being filled follows them.
  int oldest_ = 0;
  int in_flight_ = 0;
  std::size_t handed_counts_[kBatches] = {};
  bool stop_ = false;
  unsigned wakes_ = 0;  // wake_helper calls, so that one made while the helper ran is not missed
  std::thread thread_;
};

// A pipeline calling `consumer(context, records, count)` on its own thread, and `helper(context)`
// (when not null) on the caller's whenever push or drain waits for the consumer. Null when memory
// or the thread cannot be had; the caller then calls its consumer itself.
std::unique_ptr<RecordPipeline> record_pipeline_create(RecordPipeline::Consumer consumer, void* context,
                                                       RecordPipeline::Helper helper = nullptr);

// Inside a consumer, on its pipeline's thread: wake_helper() of that pipeline, for a consumer
// that left work to the helper (a full container to compress) and knows nothing of the pipeline
// feeding it. Elsewhere it does nothing.
void record_pipeline_wake_helper();

}  // namespace quarn
