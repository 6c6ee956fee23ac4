#include "batch/record_pipeline.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace quarn
