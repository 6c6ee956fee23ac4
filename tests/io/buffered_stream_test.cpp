#include "io/buffered_stream.h"
#include "support/stream_probes.h"

#include <gtest/gtest.h>

#include <string>

#include "support/memory_stream.h"

namespace quarn {
namespace {

using test::MemoryStream;

std::string read_n(Stream& s, std::uint64_t n) {
  std::string out(n, '\0');
  std::int64_t got = stream_read(s, out.data(), n);
  out.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
  return out;
}

std::string digits(int n) {
  std::string s;
  for (int i = 0; i < n; ++i) s.push_back(static_cast<char>('a' + i % 26));
  return s;
}

TEST(BufferedStreamTest, CapacityIsRaisedToAMultipleOfEight) {
  MemoryStream inner("");
  for (auto [asked, got] : {std::pair{1, 8}, {8, 8}, {4097, 4104}, {0, 0}}) {
    auto s = bufstream_create(&inner, false, asked);
    ASSERT_TRUE(s);
    EXPECT_EQ(BufferedStreamProbe::capacity(static_cast<BufferedStream&>(*s)), got);
  }
}

TEST(BufferedStreamTest, ReadsAcrossRefillsAndStopsAtTheEnd) {
  MemoryStream inner(digits(20));
  auto s = bufstream_create(&inner, false, 1);  // 8-byte window
  EXPECT_EQ(stream_read(*s, nullptr, 0), 0);
  EXPECT_EQ(inner.reads, 0);
  EXPECT_EQ(read_n(*s, 20), digits(20));
  EXPECT_EQ(inner.reads, 3);
  EXPECT_EQ(stream_tell(*s), 20);
  EXPECT_EQ(read_n(*s, 5), "");
  EXPECT_EQ(stream_write(*s, "x", 1), -2);
}

TEST(BufferedStreamTest, AReadPastTheEndReturnsWhatWasThere) {
  MemoryStream inner(digits(12));
  auto s = bufstream_create(&inner, false, 64);
  EXPECT_EQ(read_n(*s, 5), digits(5));
  EXPECT_EQ(stream_tell(*s), 5);
  EXPECT_EQ(read_n(*s, 100), digits(12).substr(5));
  EXPECT_EQ(read_n(*s, 1), "");
}

TEST(BufferedStreamTest, SeeksInsideTheWindowCostNoInnerCall) {
  MemoryStream inner(digits(100));
  auto s = bufstream_create(&inner, false, 16);
  read_n(*s, 10);
  int reads = inner.reads;
  int seeks = inner.seeks;
  EXPECT_EQ(stream_seek(*s, -4, kSeekCur), 6);
  EXPECT_EQ(read_n(*s, 2), digits(8).substr(6));
  EXPECT_EQ(stream_seek(*s, 16, kSeekSet), 16);  // base + filled is accepted
  EXPECT_EQ(inner.reads, reads);
  EXPECT_EQ(inner.seeks, seeks);
  EXPECT_EQ(read_n(*s, 3), digits(19).substr(16));  // refills from there
  EXPECT_EQ(inner.reads, reads + 1);
}

// A seek moves the position as on a file, to the end and past it too (a reader learns the size
// so); the window loads there at the next read, not at the seek.
TEST(BufferedStreamTest, SeeksOutsideTheWindowMoveThePositionAndLoadAtTheNextRead) {
  MemoryStream inner(digits(100));
  auto s = bufstream_create(&inner, false, 16);
  EXPECT_EQ(stream_seek(*s, 50, kSeekSet), 50);
  EXPECT_EQ(read_n(*s, 2), digits(52).substr(50));
  const int reads = inner.reads;
  EXPECT_EQ(stream_seek(*s, 500, kSeekSet), 500);
  EXPECT_EQ(inner.reads, reads);
  EXPECT_EQ(read_n(*s, 1), "");
  EXPECT_EQ(stream_seek(*s, 0, kSeekEnd), 100);
  EXPECT_EQ(stream_tell(*s), 100);
  EXPECT_EQ(read_n(*s, 1), "");
  EXPECT_EQ(stream_size(s.get()), 100);
  EXPECT_EQ(stream_seek(*s, 52, kSeekSet), 52);
  EXPECT_EQ(read_n(*s, 1), digits(53).substr(52));
  EXPECT_EQ(stream_seek(*s, 0, 9), -1);
}

TEST(BufferedStreamTest, NegativeTargetsAreRefused) {
  MemoryStream inner(digits(30));
  auto s = bufstream_create(&inner, false, 8);
  read_n(*s, 4);
  EXPECT_EQ(stream_seek(*s, -1, kSeekSet), -1);
  EXPECT_EQ(stream_seek(*s, -5, kSeekCur), -1);
  EXPECT_EQ(stream_tell(*s), 4);
  EXPECT_EQ(read_n(*s, 1), "e");
}

TEST(BufferedStreamTest, WholeFileWindowServesRewindsFromMemory) {
  std::string data = digits(1000);
  MemoryStream inner(data);
  auto s = bufstream_create(&inner, false, 1000);
  std::string all;
  char c;
  while (stream_read(*s, &c, 1) == 1) all.push_back(c);
  EXPECT_EQ(all, data);
  EXPECT_EQ(stream_seek(*s, 0, kSeekSet), 0);
  EXPECT_EQ(read_n(*s, 3), "abc");
  EXPECT_EQ(inner.reads, 2);  // the load and the one that found the end
}

TEST(BufferedStreamTest, ZeroSizeReadsNothing) {
  MemoryStream inner(digits(10));
  auto s = bufstream_create(&inner, false, 0);
  EXPECT_EQ(read_n(*s, 4), "");
}

TEST(BufferedStreamTest, InnerReadErrorsLookLikeTheEnd) {
  MemoryStream inner(digits(40));
  inner.fail_read_from = 2;
  auto s = bufstream_create(&inner, false, 8);
  EXPECT_EQ(read_n(*s, 20), digits(8));
}

TEST(BufferedStreamTest, ClosingClosesAnOwnedInnerStreamOnly) {
  auto* owned = new (std::nothrow) MemoryStream("abc");
  std::unique_ptr<Stream> s = bufstream_create(owned, true, 8);
  owned->close_status = -1;
  EXPECT_EQ(stream_close(s), -1);  // both stay allocated
  ASSERT_TRUE(s);
  owned->close_status = 0;
  EXPECT_EQ(stream_close(s), 0);
  EXPECT_FALSE(s);

  MemoryStream borrowed("abc");
  std::unique_ptr<Stream> b = bufstream_create(&borrowed, false, 8);
  EXPECT_EQ(stream_close(b), 0);
  EXPECT_EQ(borrowed.closes, 0);
}

}  // namespace
}  // namespace quarn
