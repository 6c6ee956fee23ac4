#include "io/file_system.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "base/memory.h"
#include "base/platform.h"
#include "support/temp_dir.h"
#include "support/test_os.h"

namespace quarn {
namespace {

using test::file_exists;
using test::TempDir;
using test::write_file;

std::string joined(const char* root, const char* path) {
  FileSystem fs(sv(root));
  DynString out;
  dynstr_from(out, "[");
  fs_join(&fs, sv(path), out);
  return dynstr_data(out);
}

TEST(FileSystemTest, JoiningTheRootAndARelativePath) {
  EXPECT_EQ(joined("", "a/b.txt"), "[a/b.txt");
  EXPECT_EQ(joined("/data", ""), "[/data");
  EXPECT_EQ(joined("/data", "logs/x.txt"), "[/data/logs/x.txt");
  EXPECT_EQ(joined("/data/", "logs"), "[/data//logs");  // not collapsed
  EXPECT_EQ(joined("/data", ".."), "[");                // nothing at all for ".."
  EXPECT_EQ(joined("/data", "../x"), "[/data/../x");
  DynString untouched;
  fs_join(nullptr, sv("x"), untouched);
  EXPECT_EQ(dynstr_length(untouched), 0);
}

TEST(FileSystemTest, APathThatCannotBeJoinedNeverLosesItsRoot) {
  TempDir dir;
  std::string root = dir / "a-root-longer-than-twenty-two-bytes";
  test::make_dirs(root);
  auto fs = disk_fs_create(sv(root.c_str()));
  ASSERT_TRUE(fs);
  mem_fail_after(0);
  // Without memory for the joined path nothing may be opened or removed, least of all "/x.asc".
  EXPECT_EQ(fs_open(fs.get(), sv("x.asc"), 6), nullptr);
  EXPECT_FALSE(fs_remove(fs.get(), sv("x.asc")));
  PathInfo info;
  EXPECT_FALSE(fs_stat(fs.get(), sv("x.asc"), info));
  mem_fail_after(-1);
  EXPECT_FALSE(test::file_exists("/x.asc"));
}

TEST(FileSystemTest, OperationsOnJoinedPathsNeedNoMemory) {
  // Cleaning up after a failure must work when the failure was that memory ran out, and a path
  // whose copy could not be made must not pass for missing.
  TempDir dir;
  std::string root = dir / "a-root-longer-than-twenty-two-bytes";
  test::make_dirs(root);
  write_file(root + "/a-trace-with-a-long-name.asc.123.part", "partial");
  write_file(root + "/an-existing-log-file-name.txt", "log");
  auto fs = disk_fs_create(sv(root.c_str()));
  ASSERT_TRUE(fs);
  const std::string part = root + "/a-trace-with-a-long-name.asc.123.part";
  const std::string log = root + "/an-existing-log-file-name.txt";
  mem_fail_after(0);
  bool removed = fs->remove(sv(part.c_str()));
  PathInfo info;
  bool examined = fs->stat(sv(log.c_str()), info);
  bool made = fs->make_dir(sv((root + "/a-new-folder-of-the-output-tree").c_str()));
  mem_fail_after(-1);
  EXPECT_TRUE(removed);
  EXPECT_FALSE(test::file_exists(part));
  EXPECT_TRUE(examined);
  EXPECT_EQ(info.kind, PathKind::File);
  EXPECT_TRUE(made);
}

TEST(FileSystemTest, TheBaseServiceCanDoNothing) {
  FileSystem base(sv("/"));
  PathInfo info;
  EXPECT_FALSE(fs_stat(&base, sv("x"), info));
  EXPECT_FALSE(fs_remove(&base, sv("x")));
  EXPECT_EQ(fs_open(&base, sv("x"), FS_READ), nullptr);
  EXPECT_FALSE(fs_stat(nullptr, sv("x"), info));
  EXPECT_FALSE(fs_init_base(nullptr, sv("x")));
}

TEST(FileSystemTest, StatKinds) {
  TempDir dir;
  write_file(dir / "f.txt", "12345");
  test::make_dirs(dir / "sub");
#ifndef _WIN32
  ASSERT_EQ(mkfifo((dir / "pipe").c_str(), 0600), 0);
#endif
  auto fs = disk_fs_create(sv(dir.path().c_str()));
  ASSERT_TRUE(fs);

  PathInfo info;
  ASSERT_TRUE(fs_stat(fs.get(), sv("f.txt"), info));
  EXPECT_EQ(info.kind, PathKind::File);
  EXPECT_EQ(info.size, 5);
  ASSERT_TRUE(fs_stat(fs.get(), sv("sub"), info));
  EXPECT_EQ(info.kind, PathKind::Folder);
  EXPECT_EQ(info.size, 0);
#ifndef _WIN32
  ASSERT_TRUE(fs_stat(fs.get(), sv("pipe"), info));
  EXPECT_EQ(info.kind, PathKind::Other);
#endif
  ASSERT_TRUE(fs_stat(fs.get(), sv("missing"), info));
  EXPECT_EQ(info.kind, PathKind::Missing);
  EXPECT_EQ(info.size, 0);
  // Below a file nothing can exist.
  ASSERT_TRUE(fs_stat(fs.get(), sv("f.txt/inner"), info));
  EXPECT_EQ(info.kind, PathKind::Missing);
  // A file named with a trailing "/" is still that file.
  ASSERT_TRUE(fs_stat(fs.get(), sv("f.txt/"), info));
  EXPECT_EQ(info.kind, PathKind::File);
}

TEST(FileSystemTest, StatFailsWhenThePathCannotBeExamined) {
  TempDir dir;
  // A link to itself cannot be resolved: neither missing nor anything else.
  QUARN_SYMLINK("loop", (dir / "loop").c_str());
  auto fs = disk_fs_create(sv(dir.path().c_str()));
  PathInfo info{PathKind::Other, 77, 0, 0};
  EXPECT_FALSE(fs_stat(fs.get(), sv("loop"), info));
  EXPECT_EQ(info.size, 77);  // untouched
}

TEST(FileSystemTest, CreationNeedsAnExistingFolder) {
  TempDir dir;
  write_file(dir / "file", "x");
  EXPECT_EQ(disk_fs_create(sv((dir / "file").c_str())), nullptr);
  EXPECT_EQ(disk_fs_create(sv((dir / "missing").c_str())), nullptr);
  EXPECT_NE(disk_fs_create(sv(dir.path().c_str())), nullptr);
}

TEST(FileSystemTest, OpenRemoveAndMakeDir) {
  TempDir dir;
  auto fs = disk_fs_create(sv(dir.path().c_str()));
  EXPECT_EQ(fs_open(fs.get(), sv("new.asc"), 4), nullptr);  // neither read nor write

  auto out = fs_open(fs.get(), sv("new.asc"), 6);
  ASSERT_TRUE(out);
  EXPECT_EQ(stream_write(*out, "abc", 3), 3);
  EXPECT_EQ(stream_close(out), 0);

  auto rw = fs_open(fs.get(), sv("new.asc"), 7);
  ASSERT_TRUE(rw);
  char buf[3];
  EXPECT_EQ(stream_read(*rw, buf, 3), 3);
  EXPECT_EQ(stream_write(*rw, "d", 1), 1);
  EXPECT_EQ(stream_close(rw), 0);
  EXPECT_EQ(test::read_file(dir / "new.asc"), "abcd");

  EXPECT_EQ(fs_open(fs.get(), sv("no/such/folder.asc"), 6), nullptr);  // folders are not made
  EXPECT_TRUE(fs_remove(fs.get(), sv("new.asc")));
  EXPECT_FALSE(fs_remove(fs.get(), sv("new.asc")));
  EXPECT_TRUE(fs->make_dir(sv((dir / "d").c_str())));
  EXPECT_FALSE(fs->make_dir(sv((dir / "d").c_str())));
  EXPECT_FALSE(fs->make_dir(sv((dir / "x/y").c_str())));  // only the last element is made
}

TEST(FileSystemTest, RenameReplacesTheTarget) {
  TempDir dir;
  write_file(dir / "a.tmp", "new");
  write_file(dir / "a.asc", "old");
  auto fs = disk_fs_create(sv(dir.path().c_str()));
  EXPECT_TRUE(fs_rename(fs.get(), sv("a.tmp"), sv("a.asc")));
  EXPECT_EQ(test::read_file(dir / "a.asc"), "new");
  EXPECT_FALSE(test::file_exists(dir / "a.tmp"));
  EXPECT_TRUE(fs_sync_folder(fs.get(), sv("")));
}

// --- folder creation ---------------------------------------------------------------------------

TEST(MakeDirsTest, EveryLevelIsCreatedAndEmptyPiecesAreSkipped) {
  TempDir dir;
  auto fs = disk_fs_create(sv(dir.path().c_str()));
  EXPECT_TRUE(fs_make_dirs(fs.get(), sv("/a//b/c/")));
  EXPECT_TRUE(file_exists(dir / "a/b/c"));
  EXPECT_TRUE(fs_make_dirs(fs.get(), sv("a/b")));  // already there
  EXPECT_TRUE(fs_make_dirs(fs.get(), sv("")));
  EXPECT_TRUE(fs_ensure_dir(fs.get(), sv("a")));
}

TEST(MakeDirsTest, AFileInTheWayStopsTheCreation) {
  TempDir dir;
  write_file(dir / "a", "x");
  auto fs = disk_fs_create(sv(dir.path().c_str()));
  EXPECT_FALSE(fs_ensure_dir(fs.get(), sv("a")));
  EXPECT_FALSE(fs_make_dirs(fs.get(), sv("a/b")));
  EXPECT_FALSE(file_exists(dir / "a/b"));
  EXPECT_FALSE(fs_ensure_dir(nullptr, sv("x")));
  // The base service can make nothing.
  FileSystem base(sv(dir.path().c_str()));
  EXPECT_FALSE(fs_ensure_dir(&base, sv("new")));
}

// Another process makes each folder a moment before this one does, between its look and its make.
class RacingFs : public FileSystem {
 public:
  explicit RacingFs(const char* folder) : FileSystem(sv(folder)), disk_(disk_fs_create(sv(folder))) {}
  bool stat(StrView path, PathInfo& out) override { return disk_->stat(path, out); }
  bool make_dir(StrView path) override {
    EXPECT_TRUE(disk_->make_dir(path));  // the other process
    return disk_->make_dir(path);        // this one: "File exists"
  }

 private:
  std::unique_ptr<FileSystem> disk_;
};

TEST(MakeDirsTest, AFolderMadeByAnotherProcessMeanwhileCountsAsMade) {
  TempDir dir;
  RacingFs fs(dir.path().c_str());
  EXPECT_TRUE(fs_make_dirs(&fs, sv("a/b/c")));
  EXPECT_TRUE(file_exists(dir / "a/b/c"));
  // Nothing of the lost race is left to pass for the cause of a later failure.
  EXPECT_EQ(platform_pending_failure(), nullptr);
}

}  // namespace
}  // namespace quarn
