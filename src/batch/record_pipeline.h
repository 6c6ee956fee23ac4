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
// time, and never two batches at once. Memory is two batches, whatever the number of records.
class RecordPipeline : public HeapObject {
 public:
  using Consumer = void (*)(void* context, const BusRecord* records, std::size_t count);

  ~RecordPipeline();

  // Copies the record into the batch being filled; hands the batch over when it is full (waiting
  // while the consumer is still at the one before).
  void push(const BusRecord& record) {
    copy_into(batch_[filling_][count_], record);
    if (++count_ == kBatch) hand_over();
  }

  // Hands over what was pushed and waits until the consumer has seen all of it. Everything the
  // consumer did is visible to the caller afterwards. When nothing was handed over since the last
  // drain (fewer records than a batch), the caller's thread consumes them itself.
  void drain();

  // 1.7 MB a batch: fewer hand-overs paid off (at 2,048 records the two threads overlapped no
  // better than one thread alone), and two of them keep a run well within 16 MiB.
  static constexpr std::size_t kBatch = 16384;

 private:
  friend std::unique_ptr<RecordPipeline> record_pipeline_create(Consumer consumer, void* context);
  RecordPipeline(Consumer consumer, void* context) : consumer_(consumer), context_(context) {}

  static void copy_into(BusRecord& slot, const BusRecord& record);
  void hand_over();
  void run();

  Consumer consumer_;
  void* context_;
  BusRecord* batch_[2] = {nullptr, nullptr};
  int filling_ = 0;        // the batch push fills (caller's thread only)
  std::size_t count_ = 0;  // records in it
  bool handed_since_drain_ = false;  // a batch went to the thread since the last drain

  std::mutex mutex_;
  std::condition_variable changed_;
  int handed_ = -1;  // the batch the consumer is to see or is seeing; -1 when idle
  std::size_t handed_count_ = 0;
  bool stop_ = false;
  std::thread thread_;
};

// A pipeline calling `consumer(context, records, count)` on its own thread. Null when memory or
// the thread cannot be had; the caller then calls its consumer itself.
std::unique_ptr<RecordPipeline> record_pipeline_create(RecordPipeline::Consumer consumer, void* context);

}  // namespace quarn
