#include "batch/record_pipeline.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "support/bus_records.h"

namespace quarn {
namespace {

struct Seen {
  std::vector<std::uint32_t> ids;
  std::vector<std::uint8_t> first_bytes;  // read through each record's data pointer
  std::size_t largest_batch = 0;
};

void note(void* context, const BusRecord* records, std::size_t count) {
  auto* seen = static_cast<Seen*>(context);
  if (count > seen->largest_batch) seen->largest_batch = count;
  for (std::size_t i = 0; i < count; ++i) {
    seen->ids.push_back(records[i].ID);
    seen->first_bytes.push_back(records[i].DataLength > 0 ? records[i].DataPointer[0] : 0);
  }
}

// Records numbered 0, 1, ... of more batches than the pipeline holds, so that the producer waits
// for the consumer, then drained; their count.
std::uint32_t push_more_than_it_holds(RecordPipeline& pipeline) {
  const std::uint32_t n = RecordPipeline::kBatches * RecordPipeline::kBatch + 1;
  for (std::uint32_t i = 0; i < n; ++i) pipeline.push(test::can_frame(0, i, {}));
  pipeline.drain();
  return n;
}

// Logs of many sizes around the batch size, one after another through one pipeline: after each
// drain the consumer has seen exactly that log's records, in order, with their own bytes.
TEST(RecordPipelineTest, DrainDeliversEveryRecordInOrder) {
  Seen seen;
  std::unique_ptr<RecordPipeline> pipeline = record_pipeline_create(note, &seen);
  ASSERT_TRUE(pipeline);
  const std::size_t batch = RecordPipeline::kBatch;
  std::uint32_t next = 0;
  for (std::size_t n : {std::size_t{0}, std::size_t{1}, batch - 1, batch, batch + 1, 5 * batch + 17,
                        3 * RecordPipeline::kBatches * batch + 5}) {
    seen.ids.clear();
    seen.first_bytes.clear();
    std::vector<std::uint32_t> want;
    for (std::size_t i = 0; i < n; ++i) {
      BusRecord r = test::can_frame(static_cast<double>(next), next, {static_cast<std::uint8_t>(next), 1, 2});
      want.push_back(next++);
      pipeline->push(r);
      r.Can.DataBytes[0] = 0xEE;  // the producer reuses its record at once
    }
    pipeline->drain();
    EXPECT_EQ(seen.ids, want) << n;
    ASSERT_EQ(seen.first_bytes.size(), n);
    for (std::size_t i = 0; i < n; ++i) EXPECT_EQ(seen.first_bytes[i], static_cast<std::uint8_t>(want[i])) << i;
  }
  EXPECT_EQ(seen.largest_batch, batch);
}

TEST(RecordPipelineTest, GoesAwayWhileIdleOrWithRecordsNeverDrained) {
  Seen seen;
  {
    std::unique_ptr<RecordPipeline> pipeline = record_pipeline_create(note, &seen);
    ASSERT_TRUE(pipeline);
  }
  {
    std::unique_ptr<RecordPipeline> pipeline = record_pipeline_create(note, &seen);
    ASSERT_TRUE(pipeline);
    for (std::uint32_t i = 0; i < 3 * RecordPipeline::kBatch; ++i) pipeline->push(test::can_frame(0, i, {}));
  }
  // Whole batches handed over may have been seen; nothing is seen twice or out of order.
  for (std::size_t i = 0; i < seen.ids.size(); ++i) EXPECT_EQ(seen.ids[i], i);
}

// A producer that waits for the consumer does the helper's work meanwhile, on its own thread, until
// the helper has none: a consumer stalled until then still gets every record, in order.
TEST(RecordPipelineTest, AWaitingProducerHelps) {
  struct Shared {
    Seen seen;
    std::mutex mutex;
    std::condition_variable helped_once;
    int work = 3;  // pieces the helper has to do
    int helped = 0;
    int idle_calls = 0;  // calls that found nothing to do
    std::thread::id helper_thread;
  } shared;
  auto consume = [](void* context, const BusRecord* records, std::size_t count) {
    auto* s = static_cast<Shared*>(context);
    if (s->seen.ids.empty()) {
      std::unique_lock<std::mutex> lock(s->mutex);
      // Until the helper has done all its work and found none left: a consumer that went on after
      // the first piece could let the producer stop waiting, and the rest would never be asked for.
      s->helped_once.wait_for(lock, std::chrono::seconds(10), [s] { return s->idle_calls > 0; });
    }
    note(&s->seen, records, count);
  };
  auto help = [](void* context) {
    auto* s = static_cast<Shared*>(context);
    std::lock_guard<std::mutex> lock(s->mutex);
    s->helper_thread = std::this_thread::get_id();
    if (s->work == 0) {
      ++s->idle_calls;
      s->helped_once.notify_all();
      return false;
    }
    --s->work;
    ++s->helped;
    s->helped_once.notify_all();
    return true;
  };
  std::unique_ptr<RecordPipeline> pipeline = record_pipeline_create(consume, &shared, help);
  ASSERT_TRUE(pipeline);
  // More batches than the pipeline holds: the producer must wait for the stalled consumer.
  const std::uint32_t n = push_more_than_it_holds(*pipeline);
  std::lock_guard<std::mutex> lock(shared.mutex);
  EXPECT_EQ(shared.helped, 3);
  EXPECT_GE(shared.idle_calls, 1);
  EXPECT_EQ(shared.helper_thread, std::this_thread::get_id());
  ASSERT_EQ(shared.seen.ids.size(), n);
  for (std::uint32_t i = 0; i < n; ++i) ASSERT_EQ(shared.seen.ids[i], i);
}

// A consumer that leaves the helper work in the middle of a batch wakes the producer waiting for
// it, which does the work while the consumer is still at that batch. Without the wake the
// producer slept until the batch was done, and the consumer gave up waiting after 10 s.
TEST(RecordPipelineTest, WorkLeftMidBatchWakesTheWaitingProducer) {
  struct Shared {
    Seen seen;
    std::mutex mutex;
    std::condition_variable changed;
    int idle_calls = 0;  // helper calls that found nothing to do
    bool work = false;
    bool helped_mid_batch = false;
  } shared;
  auto consume = [](void* context, const BusRecord* records, std::size_t count) {
    auto* s = static_cast<Shared*>(context);
    if (s->seen.ids.empty()) {
      std::unique_lock<std::mutex> lock(s->mutex);
      // Once the producer waits and has found nothing to help with, so that only a wake can send
      // it back to the helper.
      s->changed.wait_for(lock, std::chrono::seconds(10), [s] { return s->idle_calls > 0; });
      s->work = true;
      lock.unlock();
      record_pipeline_wake_helper();
      lock.lock();
      s->helped_mid_batch = s->changed.wait_for(lock, std::chrono::seconds(10), [s] { return !s->work; });
    }
    note(&s->seen, records, count);
  };
  auto help = [](void* context) {
    auto* s = static_cast<Shared*>(context);
    std::lock_guard<std::mutex> lock(s->mutex);
    const bool had = s->work;
    if (had) {
      s->work = false;
    } else {
      ++s->idle_calls;
    }
    s->changed.notify_all();
    return had;
  };
  std::unique_ptr<RecordPipeline> pipeline = record_pipeline_create(consume, &shared, help);
  ASSERT_TRUE(pipeline);
  const std::uint32_t n = push_more_than_it_holds(*pipeline);
  std::lock_guard<std::mutex> lock(shared.mutex);
  EXPECT_TRUE(shared.helped_mid_batch);
  EXPECT_EQ(shared.seen.ids.size(), n);
}

// A helper that finds nothing, slow enough that the consumer catches up while it runs: the
// producer must still see the consumer's progress, not sleep through it. A producer that missed
// it waited for ever, so a watchdog ends the test.
TEST(RecordPipelineTest, ProgressWhileTheHelperRunsIsNotMissed) {
  Seen seen;
  auto idle_help = [](void*) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return false;
  };
  std::unique_ptr<RecordPipeline> pipeline = record_pipeline_create(note, &seen, idle_help);
  ASSERT_TRUE(pipeline);
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
  std::thread watchdog([&] {
    std::unique_lock<std::mutex> lock(mutex);
    if (!finished.wait_for(lock, std::chrono::seconds(60), [&] { return done; })) {
      std::fprintf(stderr, "the producer never woke up\n");
      std::abort();
    }
  });
  const std::uint32_t n = 4 * RecordPipeline::kBatches * RecordPipeline::kBatch;
  for (std::uint32_t i = 0; i < n; ++i) pipeline->push(test::can_frame(0, i, {}));
  pipeline->drain();
  {
    std::lock_guard<std::mutex> lock(mutex);
    done = true;
  }
  finished.notify_all();
  watchdog.join();
  EXPECT_EQ(seen.ids.size(), n);
}

}  // namespace
}  // namespace quarn
