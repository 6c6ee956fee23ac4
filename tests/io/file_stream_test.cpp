#include "io/file_stream.h"
#include "support/stream_probes.h"

#include <gtest/gtest.h>

#include "base/memory.h"
#include "support/temp_dir.h"

namespace quarn {
namespace {

using test::read_file;
using test::TempDir;
using test::write_file;

TEST(FileStreamTest, ReadModeHasNoWriteAndWriteModeHasNoRead) {
  TempDir dir;
  std::string path = dir / "a.txt";
  write_file(path, "hello");
  auto r = file_stream_open(path.c_str(), 0);
  ASSERT_TRUE(r);
  EXPECT_EQ(stream_write(*r, "x", 1), -2);
  char buf[8];
  EXPECT_EQ(stream_read(*r, buf, 8), 5);
  EXPECT_EQ(FileStreamProbe::position(*r), 5);
  EXPECT_EQ(stream_read(*r, buf, 8), 0);  // end of file: position unchanged
  EXPECT_EQ(FileStreamProbe::position(*r), 5);
  std::unique_ptr<Stream> rs = std::move(r);
  EXPECT_EQ(stream_close(rs), 0);
  EXPECT_EQ(read_file(path), "hello");

  auto w = file_stream_open(path.c_str(), 1);  // truncates
  ASSERT_TRUE(w);
  EXPECT_EQ(stream_read(*w, buf, 1), -2);
  EXPECT_EQ(stream_write(*w, "ab", 2), 2);
  std::unique_ptr<Stream> ws = std::move(w);
  EXPECT_EQ(stream_close(ws), 0);
  EXPECT_EQ(read_file(path), "ab");
}

TEST(FileStreamTest, ReadWriteModeKeepsTheExistingContent) {
  TempDir dir;
  std::string path = dir / "rw.bin";
  write_file(path, "0123456789");
  auto s = file_stream_open(path.c_str(), 2);
  ASSERT_TRUE(s);
  char buf[4] = {};
  EXPECT_EQ(stream_read(*s, buf, 3), 3);
  EXPECT_EQ(std::string(buf, 3), "012");
  EXPECT_EQ(stream_seek(*s, 5, kSeekSet), 5);
  EXPECT_EQ(stream_write(*s, "X\r\n", 3), 3);
  std::unique_ptr<Stream> owned = std::move(s);
  EXPECT_EQ(stream_close(owned), 0);
  EXPECT_EQ(read_file(path), "01234X\r\n89");  // binary: no translation, no truncation

  EXPECT_EQ(file_stream_open((dir / "missing").c_str(), 2), nullptr);  // never creates
}

TEST(FileStreamTest, BadModesAndPathsOpenNothing) {
  TempDir dir;
  std::string path = dir / "never";
  EXPECT_EQ(file_stream_open(path.c_str(), 3), nullptr);
  EXPECT_EQ(file_stream_open(path.c_str(), -1), nullptr);
  EXPECT_FALSE(test::file_exists(path));
  EXPECT_EQ(file_stream_open(nullptr, 0), nullptr);
  EXPECT_EQ(file_stream_open(path.c_str(), 0), nullptr);
}

TEST(FileStreamTest, AnOpenWithoutMemoryTouchesNoFile) {
  TempDir dir;
  std::string fresh = dir / "fresh.asc";
  std::string earlier = dir / "earlier.asc";
  write_file(earlier, "complete");
  mem_fail_after(0);
  EXPECT_EQ(file_stream_open(fresh.c_str(), 1), nullptr);
  EXPECT_EQ(file_stream_open(earlier.c_str(), 1), nullptr);
  mem_fail_after(-1);
  // Opening for writing creates or empties the file: with no stream to show for it, neither may happen.
  EXPECT_FALSE(test::file_exists(fresh));
  EXPECT_EQ(read_file(earlier), "complete");
}

TEST(FileStreamTest, SeekingToTheCurrentPositionSkipsTheLibrary) {
  TempDir dir;
  std::string path = dir / "s.bin";
  write_file(path, "abcdefghij");
  auto s = file_stream_open(path.c_str(), 0);
  ASSERT_TRUE(s);
  EXPECT_EQ(stream_seek(*s, 0, kSeekSet), 0);
  EXPECT_EQ(FileStreamProbe::library_seeks(*s), 0);
  char c;
  stream_read(*s, &c, 1);
  EXPECT_EQ(stream_seek(*s, 1, kSeekSet), 1);
  EXPECT_EQ(FileStreamProbe::library_seeks(*s), 0);
  EXPECT_EQ(stream_seek(*s, 7, kSeekSet), 7);
  EXPECT_EQ(FileStreamProbe::library_seeks(*s), 1);
  EXPECT_EQ(FileStreamProbe::position(*s), 7);
  EXPECT_EQ(stream_seek(*s, -2, kSeekCur), 5);
  EXPECT_EQ(stream_seek(*s, 0, kSeekEnd), 10);
  EXPECT_EQ(FileStreamProbe::position(*s), 10);
  EXPECT_EQ(stream_seek(*s, 0, 7), -1);
  EXPECT_EQ(stream_seek(*s, -100, kSeekSet), -1);  // before the start: refused, position kept
  EXPECT_EQ(FileStreamProbe::position(*s), 10);
}

TEST(FileStreamTest, SizeOfFreshEmptyAndPositionedStreams) {
  TempDir dir;
  write_file(dir / "e", "");
  write_file(dir / "f", std::string(4097, 'x'));
  auto empty = file_stream_open((dir / "e").c_str(), 0);
  EXPECT_EQ(stream_size(empty.get()), 0);
  auto f = file_stream_open((dir / "f").c_str(), 0);
  EXPECT_EQ(stream_size(f.get()), 4097);
  EXPECT_EQ(stream_tell(*f), 0);
  stream_seek(*f, 100, kSeekSet);
  EXPECT_EQ(stream_size(f.get()), 4097);
  EXPECT_EQ(stream_tell(*f), 100);
}

TEST(FileStreamTest, ReachesOffsetsBeyondTwoGibibytes) {
  TempDir dir;
  std::string path = dir / "sparse";
  {
    auto w = file_stream_open(path.c_str(), 1);
    ASSERT_TRUE(w);
    const std::int64_t far = (std::int64_t{1} << 32) + 5;  // a sparse file: no real disk use
    ASSERT_EQ(stream_seek(*w, far, kSeekSet), far);
    ASSERT_EQ(stream_write(*w, "end", 3), 3);
    EXPECT_EQ(FileStreamProbe::position(*w), far + 3);
    std::unique_ptr<Stream> ws = std::move(w);
    ASSERT_EQ(stream_close(ws), 0);
  }
  auto r = file_stream_open(path.c_str(), 0);
  ASSERT_TRUE(r);
  EXPECT_EQ(stream_size(r.get()), (std::int64_t{1} << 32) + 8);
  EXPECT_EQ(stream_seek(*r, -3, kSeekEnd), (std::int64_t{1} << 32) + 5);
  char buf[3];
  EXPECT_EQ(stream_read(*r, buf, 3), 3);
  EXPECT_EQ(std::string(buf, 3), "end");
}

}  // namespace
}  // namespace quarn
