#include "io/output_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "base/temp_files.h"
#include "support/faulty_fs.h"
#include "support/temp_dir.h"

namespace quarn {
namespace {

using test::file_exists;
using test::read_file;

// Every name in the folder.
std::vector<std::string> names_in(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(folder)) names.push_back(e.path().filename().string());
  return names;
}

class OutputFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs_ = test::faulty_fs_create(dir_.path());
    ASSERT_TRUE(fs_);
  }
  test::TempDir dir_;
  std::unique_ptr<test::FaultyFileSystem> fs_;
};

// Bytes are patched wherever they are: still in the block, already written out, or across both.
TEST_F(OutputFileTest, RewritesReachBytesInTheBlockAndOnDisk) {
  OutputFile file;
  ASSERT_TRUE(file.open(*fs_, sv("trace"), ".bin", 8));
  std::string expected;
  for (char c = 'a'; c <= 'z'; ++c) {
    ASSERT_TRUE(file.write(&c, 1));
    expected += c;
  }
  ASSERT_TRUE(file.write("0123456789ABCDEFGHIJ", 20));  // more than a block in one call
  expected += "0123456789ABCDEFGHIJ";
  EXPECT_EQ(file.size(), expected.size());
  struct Patch {
    std::uint64_t offset;
    std::string bytes;
  };
  const Patch patches[] = {
      {0, "XY"}, {10, "----"}, {static_cast<std::uint64_t>(expected.size()) - 3, "zzz"}, {20, "0123456789abcdef"}};
  for (const Patch& p : patches) {
    ASSERT_TRUE(file.rewrite(p.offset, p.bytes.data(), p.bytes.size())) << p.offset;
    expected.replace(p.offset, p.bytes.size(), p.bytes);
  }
  EXPECT_FALSE(file.rewrite(expected.size() - 1, "ab", 2));  // beyond the end
  char* space = file.append_space(4);
  ASSERT_NE(space, nullptr);
  std::memcpy(space, "tail", 4);
  file.append_done(4);
  expected += "tail";
  EXPECT_EQ(file.commit(false), OutputFile::CommitResult::Done);
  EXPECT_EQ(read_file(dir_ / "trace.bin"), expected);
  EXPECT_EQ(names_in(dir_.path()), std::vector<std::string>{"trace.bin"});
}

// Until the commit the file has a temporary name of its own; a discarded one leaves nothing,
// and an earlier file of the same name stays as it was.
TEST_F(OutputFileTest, TemporaryNamesAreUniqueAndADiscardLeavesTheEarlierFile) {
  test::write_file(dir_ / "a.asc", "earlier");
  OutputFile first;
  OutputFile second;
  ASSERT_TRUE(first.open(*fs_, sv("a"), ".asc", 64));
  ASSERT_TRUE(second.open(*fs_, sv("a"), ".asc", 64));
  ASSERT_EQ(fs_->opened.size(), 2u);
  EXPECT_NE(fs_->opened[0], fs_->opened[1]);
  EXPECT_NE(fs_->opened[0].find(".part"), std::string::npos);
  ASSERT_TRUE(first.write("new", 3));
  first.discard();
  second.discard();
  EXPECT_EQ(names_in(dir_.path()), std::vector<std::string>{"a.asc"});
  EXPECT_EQ(read_file(dir_ / "a.asc"), "earlier");
}

TEST_F(OutputFileTest, EachFailingStepOfTheCommitIsTold) {
  struct Case {
    const char* name;
    void (*arrange)(test::FaultyFileSystem&);
    bool durable;
    OutputFile::CommitResult result;
    bool in_place;
  };
  const Case cases[] = {
      {"plain", [](test::FaultyFileSystem&) {}, false, OutputFile::CommitResult::Done, true},
      {"durable", [](test::FaultyFileSystem&) {}, true, OutputFile::CommitResult::Done, true},
      {"short write", [](test::FaultyFileSystem& fs) { fs.write_faults.write_limit = 3; }, false,
       OutputFile::CommitResult::WriteFailed, false},
      {"sync", [](test::FaultyFileSystem& fs) { fs.write_faults.fail_sync = true; }, true,
       OutputFile::CommitResult::SyncFailed, false},
      {"sync not asked for", [](test::FaultyFileSystem& fs) { fs.write_faults.fail_sync = true; }, false,
       OutputFile::CommitResult::Done, true},
      {"close", [](test::FaultyFileSystem& fs) { fs.write_faults.fail_close = true; }, false,
       OutputFile::CommitResult::CloseFailed, false},
      {"rename", [](test::FaultyFileSystem& fs) { fs.refuse_rename = true; }, false,
       OutputFile::CommitResult::RenameFailed, false},
      {"folder sync", [](test::FaultyFileSystem& fs) { fs.fail_sync_folder = true; }, true,
       OutputFile::CommitResult::FolderSyncFailed, true},
  };
  for (const Case& c : cases) {
    test::TempDir dir;
    auto fs = test::faulty_fs_create(dir.path());
    ASSERT_TRUE(fs);
    c.arrange(*fs);
    OutputFile file;
    ASSERT_TRUE(file.open(*fs, sv("t"), ".asc", 4)) << c.name;
    file.write("0123456789", 10);
    EXPECT_EQ(file.commit(c.durable), c.result) << c.name;
    EXPECT_EQ(file_exists(dir / "t.asc"), c.in_place) << c.name;
    if (c.in_place) {
      EXPECT_EQ(read_file(dir / "t.asc"), "0123456789") << c.name;
    }
    // Nothing else is left behind, whatever failed.
    EXPECT_EQ(names_in(dir.path()).size(), c.in_place ? 1u : 0u) << c.name;
    if (c.durable && c.result == OutputFile::CommitResult::Done) {
      EXPECT_EQ(fs->syncs, 1) << c.name;
      EXPECT_EQ(fs->folder_syncs, 1) << c.name;
    }
  }
}

TEST_F(OutputFileTest, AFailedWriteStaysFailed) {
  fs_->write_faults.write_limit = 5;
  OutputFile file;
  ASSERT_TRUE(file.open(*fs_, sv("t"), "", 4));
  EXPECT_TRUE(file.write("abcd", 4));  // fills the block; nothing written out yet
  EXPECT_FALSE(file.write("efgh", 4));
  EXPECT_FALSE(file.good());
  EXPECT_EQ(file.append_space(1), nullptr);
  EXPECT_FALSE(file.flush());
  EXPECT_EQ(file.commit(false), OutputFile::CommitResult::WriteFailed);
  EXPECT_TRUE(names_in(dir_.path()).empty());
}

TEST_F(OutputFileTest, AFileThatCannotBeCreatedLeavesNothing) {
  fs_->refuse_open_containing = ".part";
  OutputFile file;
  EXPECT_FALSE(file.open(*fs_, sv("t"), ".asc", 16));
  EXPECT_STREQ(file.name(), "t.asc");
  EXPECT_FALSE(file.is_open());
  // Its temporary name was withdrawn again: a signal now removes nothing of it.
  temp_files_remove_all();
  EXPECT_TRUE(names_in(dir_.path()).empty());
}

// While a file is being written, a terminating signal's handler finds and removes it.
TEST_F(OutputFileTest, OpenFilesArePublishedForTheSignalHandlerUntilCommitted) {
  OutputFile done;
  OutputFile open;
  ASSERT_TRUE(done.open(*fs_, sv("done"), ".asc", 16));
  ASSERT_TRUE(open.open(*fs_, sv("open"), ".asc", 16));
  ASSERT_TRUE(done.write("x", 1));
  ASSERT_EQ(done.commit(false), OutputFile::CommitResult::Done);
  ASSERT_EQ(names_in(dir_.path()).size(), 2u);
  temp_files_remove_all();
#ifdef _WIN32
  // Windows takes the name of a file that is still open away only when its last handle closes
  // (at once only with POSIX semantics on NTFS, which Wine lacks); the process ends right after
  // the handler. WindowsCliTest.CtrlBreak* checks that end to end.
  open.discard();
  GTEST_SKIP() << "an open file keeps its name until it is closed here";
#else
  EXPECT_EQ(names_in(dir_.path()), std::vector<std::string>{"done.asc"});
#endif
  open.discard();
}

}  // namespace
}  // namespace quarn
