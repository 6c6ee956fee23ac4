#include "batch/record_pipeline.h"

#include <cstdint>
#include <cstring>
#include <new>
#include <system_error>

namespace quarn {
namespace {

// The pipeline whose thread this is, for record_pipeline_wake_helper.
thread_local RecordPipeline* t_consuming = nullptr;

}  // namespace

RecordPipeline::~RecordPipeline() {
  if (thread_.joinable()) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    changed_.notify_all();
    thread_.join();
  }
  for (BusRecord* batch : batch_) mem_free(batch);
}

void RecordPipeline::copy_into(BusRecord& slot, const BusRecord& record) {
  // Whole, unused bytes included: a consumer may rely on them reading 0 as the producer left them.
  std::memcpy(&slot, &record, sizeof record);
  // A data pointer into the record itself points into the copy now.
  auto from = reinterpret_cast<std::uintptr_t>(&record);
  auto at = reinterpret_cast<std::uintptr_t>(record.DataPointer);
  if (at >= from && at < from + sizeof record) slot.DataPointer = reinterpret_cast<std::uint8_t*>(&slot) + (at - from);
}

void RecordPipeline::hand_over() {
  handed_since_drain_ = true;
  std::unique_lock<std::mutex> lock(mutex_);
  wait_helping(lock, [this] { return in_flight_ < kBatches - 1; });
  handed_counts_[filling_] = count_;
  ++in_flight_;
  lock.unlock();
  changed_.notify_all();
  filling_ = (filling_ + 1) % kBatches;
  count_ = 0;
}

void RecordPipeline::drain() {
  // A log of less than a batch never wakes the thread: waking it would cost more than the work
  // (many small logs ran at half speed). Nothing was handed over since the last drain, so the
  // thread is idle and everything it did is visible here already.
  if (!handed_since_drain_) {
    if (count_ > 0) consumer_(context_, batch_[filling_], count_);
    count_ = 0;
    return;
  }
  handed_since_drain_ = false;
  if (count_ > 0) hand_over();
  handed_since_drain_ = false;
  std::unique_lock<std::mutex> lock(mutex_);
  wait_helping(lock, [this] { return in_flight_ == 0; });
}

template <typename Ready>
void RecordPipeline::wait_helping(std::unique_lock<std::mutex>& lock, Ready ready) {
  while (!ready()) {
    if (helper_ != nullptr) {
      // Only the consumer changes in_flight_ and wakes_ while the caller waits: a change it made
      // while the lock was let go for the helper would wake nobody, so it is looked for before
      // sleeping.
      const int before = in_flight_;
      const unsigned wakes = wakes_;
      lock.unlock();
      const bool helped = helper_(context_);
      lock.lock();
      if (helped || in_flight_ != before || wakes_ != wakes) continue;
    }
    // Nothing to help with: sleep until the consumer moves on or leaves work, then look again.
    changed_.wait(lock);
  }
}

void RecordPipeline::wake_helper() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++wakes_;
  }
  changed_.notify_all();
}

void record_pipeline_wake_helper() {
  if (t_consuming != nullptr) t_consuming->wake_helper();
}

void RecordPipeline::run() {
  t_consuming = this;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return in_flight_ > 0 || stop_; });
    if (in_flight_ == 0) return;  // stopped with nothing left
    const BusRecord* records = batch_[oldest_];
    std::size_t count = handed_counts_[oldest_];
    lock.unlock();
    consumer_(context_, records, count);
    lock.lock();
    oldest_ = (oldest_ + 1) % kBatches;
    --in_flight_;
    changed_.notify_all();
  }
}

std::unique_ptr<RecordPipeline> record_pipeline_create(RecordPipeline::Consumer consumer, void* context,
                                                       RecordPipeline::Helper helper) {
  std::unique_ptr<RecordPipeline> pipeline(new (std::nothrow) RecordPipeline(consumer, context, helper));
  if (!pipeline) return nullptr;
  for (BusRecord*& batch : pipeline->batch_) {
    batch = static_cast<BusRecord*>(mem_alloc(sizeof(BusRecord) * RecordPipeline::kBatch));
    if (batch == nullptr) return nullptr;
  }
  // The one place a library call may throw: a thread the system refuses. The caller then does
  // without the pipeline.
  try {
    pipeline->thread_ = std::thread([p = pipeline.get()] { p->run(); });
  } catch (const std::system_error&) {
    return nullptr;
  }
  return pipeline;
}

}  // namespace quarn
