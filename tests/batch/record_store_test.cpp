#include "batch/record_store.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "base/memory.h"
#include "support/bus_records.h"

namespace quarn {
namespace {

using test::can_frame;
using test::lin_frame;

std::vector<BusRecord> replayed(RecordStore& store) {
  std::vector<BusRecord> out;
  store.replay([&](const BusRecord& r) {
    // The record's data pointer leads to its own bytes, as every producer's does.
    if (r.DataLength > 0) {
      EXPECT_EQ(r.DataPointer, r.Kind == LIN_Frame ? r.Lin.DataBytes : r.Can.DataBytes);
    }
    out.push_back(r);
  });
  return out;
}

// Many equal times in a shuffled order: a sort that is not stable reorders records of equal
// time (std::sort switches from insertion sort to introsort beyond 16 elements), so only a
// stable one passes.
TEST(RecordStoreTest, EqualTimesKeepTheirArrivalOrderInALargeShuffle) {
  std::mt19937 random(7);
  std::vector<BusRecord> in;
  for (std::uint32_t i = 0; i < 3000; ++i) {
    in.push_back(can_frame(1000.0 + static_cast<double>(random() % 7), i, {}));
    if (i % 5 == 0) in.push_back(lin_frame(1000.0 + static_cast<double>(random() % 7), 100000 + i, {}));
  }
  RecordStore store;
  for (const BusRecord& r : in) ASSERT_TRUE(store.keep(r));
  std::vector<BusRecord> out = replayed(store);
  ASSERT_EQ(out.size(), in.size());
  for (std::size_t i = 1; i < out.size(); ++i) {
    const BusRecord& a = out[i - 1];
    const BusRecord& b = out[i];
    ASSERT_LE(a.Timestamp, b.Timestamp) << i;
    if (a.Timestamp != b.Timestamp) continue;
    // Equal times: CAN before LIN, each kind in arrival order (identifiers grow with arrival).
    if (a.Kind == b.Kind) {
      EXPECT_LT(a.ID, b.ID) << i;
    } else {
      EXPECT_EQ(a.Kind, CAN_DataFrame) << i;
    }
  }
}

TEST(RecordStoreTest, NaNTimesGoLastAndTheRestInOrder) {
  RecordStore store;
  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (double t : {3.0, nan, 1.0, 2.0, nan}) ASSERT_TRUE(store.keep(can_frame(t, 0, {})));
  std::vector<BusRecord> out = replayed(store);
  ASSERT_EQ(out.size(), 5u);
  EXPECT_EQ(out[0].Timestamp, 1.0);
  EXPECT_EQ(out[1].Timestamp, 2.0);
  EXPECT_EQ(out[2].Timestamp, 3.0);
  EXPECT_TRUE(std::isnan(out[3].Timestamp) && std::isnan(out[4].Timestamp));
}

// Every field a writer reads comes back as it went in; data beyond what a kind holds is cut.
TEST(RecordStoreTest, ReplayRebuildsEveryField) {
  struct Case {
    const char* name;
    BusRecord record;
  };
  BusRecord fd = can_frame(5.25, 0x1ABCDEF0, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});
  fd.Can.IDE = 1;
  fd.Can.Dir = 1;
  fd.Can.EDL = 1;
  fd.Can.BRS = 1;
  fd.Can.ESI = 1;
  fd.Can.DLC = 9;
  fd.Can.BusChannel = 7;
  BusRecord wide = can_frame(5.5, 0x7FF, {0xAA});
  wide.Can.BRS = 3;  // no logger writes such values, but they are carried as they are
  wide.Can.ESI = 200;
  BusRecord remote = can_frame(6, 0x10, {});
  remote.Kind = CAN_RemoteFrame;
  remote.Can.Remote = 1;
  remote.Can.DLC = 8;
  BusRecord error = can_frame(7, 0x55, {});
  std::memset(&error.Can, 0, sizeof error.Can);
  error.Kind = CAN_ErrorFrame;
  error.DataLength = 0;
  error.Can.BusChannel = 2;
  error.Can.ErrorType = -7;
  // An error frame with what the logger saw of the broken frame.
  BusRecord error_fields = can_frame(7.5, 0x18FEF100, {0xAA, 0xBB, 0xCC});
  error_fields.Kind = CAN_ErrorFrame;
  error_fields.Can.IDE = 1;
  error_fields.Can.Dir = 1;
  error_fields.Can.BusChannel = 3;
  error_fields.Can.ErrorType = 5;
  BusRecord error_fd = can_frame(7.75, 0x123, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});
  error_fd.Kind = CAN_ErrorFrame;
  error_fd.Can.EDL = 1;
  error_fd.Can.BRS = 2;  // above 1: the wide form behind the type
  error_fd.Can.ESI = 1;
  error_fd.Can.DLC = 9;
  error_fd.Can.ErrorType = 0x7FFFFFFF;
  BusRecord oversized = can_frame(8, 1, {});
  for (int i = 0; i < 64; ++i) oversized.Can.DataBytes[i] = static_cast<std::uint8_t>(i);
  oversized.DataLength = 1000;
  BusRecord lin = lin_frame(9, 0x3C, {1, 2, 3});
  lin.Lin.Dir = 1;
  lin.Lin.BusChannel = 4;
  lin.Lin.ReceivedDataByteCount = 9;
  BusRecord lin_oversized = lin_frame(10, 0x3D, {});
  lin_oversized.DataLength = 200;
  const Case cases[] = {{"CAN FD", fd},
                        {"BRS and ESI above 1", wide},
                        {"remote", remote},
                        {"error", error},
                        {"error with fields", error_fields},
                        {"FD error with wide flags", error_fd},
                        {"oversized CAN", oversized},
                        {"LIN", lin},
                        {"oversized LIN", lin_oversized}};
  for (const Case& c : cases) {
    RecordStore store;
    ASSERT_TRUE(store.keep(c.record));
    std::vector<BusRecord> out = replayed(store);
    ASSERT_EQ(out.size(), 1u) << c.name;
    const BusRecord& got = out[0];
    const BusRecord& want = c.record;
    EXPECT_EQ(got.Timestamp, want.Timestamp) << c.name;
    EXPECT_EQ(got.ID, want.ID) << c.name;
    EXPECT_EQ(got.Kind, want.Kind) << c.name;
    bool is_lin = want.Kind == LIN_Frame;
    std::uint64_t max = is_lin ? 8 : 64;
    std::uint64_t n = std::min(want.DataLength, max);
    EXPECT_EQ(got.DataLength, n) << c.name;
    const std::uint8_t* got_data = is_lin ? got.Lin.DataBytes : got.Can.DataBytes;
    const std::uint8_t* want_data = is_lin ? want.Lin.DataBytes : want.Can.DataBytes;
    EXPECT_EQ(std::memcmp(got_data, want_data, n), 0) << c.name;
    if (is_lin) {
      EXPECT_EQ(got.Lin.Dir, want.Lin.Dir) << c.name;
      EXPECT_EQ(got.Lin.BusChannel, want.Lin.BusChannel) << c.name;
      EXPECT_EQ(got.Lin.ReceivedDataByteCount, want.Lin.ReceivedDataByteCount) << c.name;
    } else {
      const CanTail& g = got.Can;
      const CanTail& w = want.Can;
      EXPECT_EQ(std::vector<int>({g.IDE, g.Dir, g.EDL, g.BRS, g.ESI, g.Remote, g.BusChannel, g.DLC, g.ErrorType}),
                std::vector<int>({w.IDE, w.Dir, w.EDL, w.BRS, w.ESI, w.Remote, w.BusChannel, w.DLC, w.ErrorType}))
          << c.name;
    }
  }
}

TEST(RecordStoreTest, ClearForgetsAndOtherKindsArePassedOver) {
  RecordStore store;
  ASSERT_TRUE(store.keep(can_frame(1, 1, {})));
  store.clear();
  BusRecord other = can_frame(2, 2, {});
  other.Kind = 99;
  ASSERT_TRUE(store.keep(other));
  EXPECT_EQ(store.size(), 0u);
  EXPECT_TRUE(replayed(store).empty());
}

TEST(RecordStoreTest, AFrameThatCannotBeKeptIsRefused) {
  RecordStore store;
  mem_fail_after(0);
  bool kept = store.keep(can_frame(1, 1, {1, 2}));
  mem_fail_after(-1);
  EXPECT_FALSE(kept);
  EXPECT_EQ(store.size(), 0u);
}

}  // namespace
}  // namespace quarn
