#include "io/stream.h"

#include <gtest/gtest.h>

#include "support/memory_stream.h"

#include <vector>

namespace quarn {
namespace {

// A stream with only the operations a test gives it.
class TellOnly final : public Stream {
 public:
  std::int64_t tell() override { return 42; }
};

TEST(StreamTest, AbsentOperationsReturnMinusTwo) {
  TellOnly s;
  char buf[4];
  EXPECT_EQ(stream_read(s, buf, 4), -2);
  EXPECT_EQ(stream_write(s, buf, 4), -2);
  EXPECT_EQ(stream_seek(s, 0, kSeekSet), -2);
  EXPECT_EQ(stream_tell(s), 42);
  std::unique_ptr<Stream> owned(new (std::nothrow) TellOnly);
  EXPECT_EQ(stream_close(owned), 0);  // no close operation: success
  EXPECT_EQ(owned, nullptr);
}

TEST(StreamTest, NullStreamsForCloseAndSize) {
  std::unique_ptr<Stream> none;
  EXPECT_EQ(stream_close(none), 0);
  EXPECT_EQ(stream_size(nullptr), -1);
}

TEST(StreamTest, SizeLeavesThePositionWhereItWas) {
  test::MemoryStream s(std::string(1000, 'x'));
  s.seek(123, kSeekSet);
  s.seek_calls.clear();
  EXPECT_EQ(stream_size(&s), 1000);
  EXPECT_EQ(stream_tell(s), 123);
  EXPECT_EQ(s.seek_calls, (std::vector<std::pair<std::int64_t, int>>{{0, kSeekEnd}, {123, kSeekSet}}));

  TellOnly cannot_seek;
  EXPECT_EQ(stream_size(&cannot_seek), 42);  // the tell of where it stands
}

}  // namespace
}  // namespace quarn
