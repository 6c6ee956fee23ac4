#include "io/dir_listing.h"
#include "io/file_system.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "base/memory.h"
#include "base/platform.h"
#include "support/faulty_fs.h"
#include "support/temp_dir.h"
#include "support/test_os.h"

namespace quarn {
namespace {

using test::TempDir;
using test::write_file;

bool add(DirListing& listing, const char* name, PathKind kind = PathKind::File, std::int64_t size = 0) {
  DirEntry entry;
  dynstr_from(entry.name, name);
  entry.kind = kind;
  entry.size = size;
  return dirlisting_add(listing, entry);
}

std::int32_t node_of(const DirListing& listing, const char* name) {
  for (std::int32_t i = 1; i <= listing.used; ++i) {
    if (std::string(dynstr_data(listing.nodes[i].entry.name)) == name) return i;
  }
  return 0;
}

int level_of(const DirListing& listing, const char* name) {
  std::int32_t n = node_of(listing, name);
  return n == 0 ? -1 : listing.nodes[n].level;
}

std::string root_name(const DirListing& listing) {
  return listing.root == 0 ? "" : dynstr_data(listing.nodes[listing.root].entry.name);
}

std::vector<std::string> names_in_order(const DirListing& listing) {
  std::vector<std::string> names;
  DirListingCursor cursor;
  while (const DirEntry* e = dirlisting_next(listing, cursor)) names.emplace_back(dynstr_data(e->name));
  return names;
}

// Every AA-tree rule, checked over the whole tree: a left child is one level below its parent, a
// right child at most level-equal, no two right links at the same level in a row, and a node
// without a child on a side sits at level 1.
void expect_aa_invariants(const DirListing& listing, std::int32_t t) {
  if (t == 0) return;
  const DirListingNode& n = listing.nodes[t];
  std::int32_t l = n.child[0];
  std::int32_t r = n.child[1];
  if (l != 0) {
    EXPECT_EQ(listing.nodes[l].level + 1, n.level);
  }
  if (r != 0) {
    EXPECT_LE(listing.nodes[r].level, n.level);
    std::int32_t rr = listing.nodes[r].child[1];
    if (rr != 0) {
      EXPECT_LT(listing.nodes[rr].level, n.level);
    }
  }
  if (l == 0 || r == 0) {
    EXPECT_EQ(n.level, 1);
  }
  expect_aa_invariants(listing, l);
  expect_aa_invariants(listing, r);
}

TEST(DirListingTest, SevenAscendingNamesMakeAPerfectTree) {
  DirListing listing;
  for (const char* name : {"a", "b", "c", "d", "e", "f", "g"}) ASSERT_TRUE(add(listing, name));
  EXPECT_EQ(listing.count, 7);
  EXPECT_EQ(root_name(listing), "d");
  EXPECT_EQ(level_of(listing, "d"), 3);
  EXPECT_EQ(level_of(listing, "b"), 2);
  EXPECT_EQ(level_of(listing, "f"), 2);
  for (const char* leaf : {"a", "c", "e", "g"}) EXPECT_EQ(level_of(listing, leaf), 1) << leaf;
  expect_aa_invariants(listing, listing.root);
  EXPECT_EQ(names_in_order(listing), (std::vector<std::string>{"a", "b", "c", "d", "e", "f", "g"}));
  // The sentinel keeps level 0 and no children after the array grew (4, then 10 nodes).
  EXPECT_EQ(listing.capacity, 10);
  EXPECT_EQ(listing.nodes[0].level, 0);
  EXPECT_EQ(listing.nodes[0].child[0], 0);
  EXPECT_EQ(listing.nodes[0].child[1], 0);
}

TEST(DirListingTest, ThreeAscendingNamesPutTheMiddleOneOnTop) {
  DirListing listing;
  for (const char* name : {"a", "b", "c"}) ASSERT_TRUE(add(listing, name));
  EXPECT_EQ(root_name(listing), "b");
  EXPECT_EQ(level_of(listing, "b"), 2);
  EXPECT_EQ(level_of(listing, "a"), 1);
  EXPECT_EQ(level_of(listing, "c"), 1);
}

TEST(DirListingTest, ManyNamesInAnyOrderStayBalancedAndSorted) {
  DirListing listing;
  std::vector<std::string> expected;
  // A fixed scramble of 500 names: descending, ascending and interleaved runs.
  for (int i = 0; i < 500; ++i) {
    int k = (i * 337) % 500;
    char name[16];
    std::snprintf(name, sizeof name, "n%03d", k);
    ASSERT_TRUE(add(listing, name));
    expected.emplace_back(name);
  }
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(listing.count, 500);
  expect_aa_invariants(listing, listing.root);
  EXPECT_EQ(names_in_order(listing), expected);
  // A root at level k holds at least 2^k - 1 nodes below and beside it: 500 nodes allow level 8.
  EXPECT_LE(listing.nodes[listing.root].level, 8);
}

TEST(DirListingTest, ADuplicateNameChangesNothing) {
  DirListing listing;
  for (const char* name : {"b", "a", "c"}) ASSERT_TRUE(add(listing, name, PathKind::File, 11));
  std::int32_t root = listing.root;
  std::int32_t used = listing.used;
  // The second "a" (a folder of another size) is dropped and its name released.
  EXPECT_TRUE(add(listing, "a", PathKind::Folder, 99));
  EXPECT_EQ(listing.count, 3);
  EXPECT_EQ(listing.root, root);
  EXPECT_EQ(listing.used, used);
  const DirEntry& kept = listing.nodes[node_of(listing, "a")].entry;
  EXPECT_EQ(kept.kind, PathKind::File);
  EXPECT_EQ(kept.size, 11);

  DirListingInsert again = dirlisting_insert(listing, "c");
  EXPECT_FALSE(again.inserted);
  EXPECT_EQ(again.root, root);
  EXPECT_EQ(again.entry, &listing.nodes[node_of(listing, "c")].entry);
}

TEST(DirListingTest, NamesCompareAsUnsignedBytes) {
  DirListing listing;
  for (const char* name : {"b", "a", "A", "x2", "x10", "x1", "\xc3\xa9", "Z"}) ASSERT_TRUE(add(listing, name));
  EXPECT_EQ(names_in_order(listing),
            (std::vector<std::string>{"A", "Z", "a", "b", "x1", "x10", "x2", "\xc3\xa9"}));
}

TEST(DirListingTest, AnEmptyListingHasNothingToWalk) {
  DirListing listing;
  DirListingCursor cursor;
  EXPECT_EQ(dirlisting_next(listing, cursor), nullptr);
  EXPECT_EQ(listing.count, 0);
  EXPECT_EQ(listing.root, 0);
}

class DiskListingTest : public ::testing::Test {
 protected:
  void SetUp() override { fs_ = disk_fs_create(sv(dir_.path().c_str())); }
  std::vector<std::string> list(const std::string& folder) {
    DirListing listing;
    fs_list(fs_.get(), sv(folder.c_str()), listing);
    EXPECT_EQ(static_cast<std::size_t>(listing.count), names_in_order(listing).size());
    return names_in_order(listing);
  }

  TempDir dir_;
  std::unique_ptr<FileSystem> fs_;
};

TEST_F(DiskListingTest, FilesAndFoldersComeInByteOrder) {
  for (const char* name : {"b", "A", "a", "log10.txt", "log2.txt", ".hidden"}) write_file(dir_ / name, "x");
  test::make_dirs(dir_ / "sub");
  std::vector<std::string> expected{".hidden", "A", "a", "b", "log10.txt", "log2.txt", "sub"};
  // Where names that differ only by case are one file (Windows), "a" is "A" written again.
  write_file(dir_ / "CASE", "1");
  if (test::file_exists(dir_ / "case")) expected.erase(expected.begin() + 2);
  std::remove((dir_ / "CASE").c_str());
  EXPECT_EQ(list(""), expected);
}

TEST_F(DiskListingTest, EntriesCarryKindAndSize) {
  write_file(dir_ / "f.txt", "12345");
  test::make_dirs(dir_ / "d");
  DirListing listing;
  fs_list(fs_.get(), sv(""), listing);
  ASSERT_EQ(listing.count, 2);
  const DirEntry& d = listing.nodes[node_of(listing, "d")].entry;
  const DirEntry& f = listing.nodes[node_of(listing, "f.txt")].entry;
  EXPECT_EQ(d.kind, PathKind::Folder);
  EXPECT_EQ(d.size, 0);
  EXPECT_EQ(f.kind, PathKind::File);
  EXPECT_EQ(f.size, 5);
}

TEST_F(DiskListingTest, OnlyFilesAndFoldersAreListed) {
  write_file(dir_ / "keep.txt", "x");
#ifndef _WIN32
  ASSERT_EQ(mkfifo((dir_ / "fifo").c_str(), 0600), 0);
#endif
  QUARN_SYMLINK("loop", (dir_ / "loop").c_str());          // cannot be examined
  QUARN_SYMLINK("keep.txt", (dir_ / "link.txt").c_str());  // a link to a file is that file
  QUARN_SYMLINK("gone", (dir_ / "dangling").c_str());      // leads nowhere
  EXPECT_EQ(list(""), (std::vector<std::string>{"keep.txt", "link.txt"}));
  // A link that leads nowhere it can be followed holds no log: the listing is whole without it.
  DirListing listing;
  EXPECT_TRUE(fs_list(fs_.get(), sv(""), listing));
}

TEST_F(DiskListingTest, LinksThatLeadNowhereAreLeftOutAndOtherEntriesThatCannotBeExaminedAreNot) {
  // `refused` names the entry whose stat fails as when it cannot be examined (no permission).
  const struct {
    const char* what;
    std::vector<std::pair<std::string, std::string>> links;  // name, target
    std::string refused;
    bool whole;
    std::vector<std::string> listed;
  } cases[] = {
      {"a link to itself", {{"self", "self"}}, "", true, {"keep.txt"}},
      {"a loop of two", {{"x", "y"}, {"y", "x"}}, "", true, {"keep.txt"}},
      {"a link into a loop", {{"in", "x"}, {"x", "y"}, {"y", "x"}}, "", true, {"keep.txt"}},
      {"a dangling link", {{"gone.txt", "nowhere"}}, "", true, {"keep.txt"}},
      {"a link through a file", {{"odd", "keep.txt/x"}}, "", true, {"keep.txt"}},
      {"a link to a file", {{"alias.txt", "keep.txt"}}, "", true, {"alias.txt", "keep.txt"}},
      {"a link whose target cannot be examined", {{"alias.txt", "keep.txt"}}, "/alias.txt", true, {"keep.txt"}},
      {"a file that cannot be examined", {{"alias.txt", "keep.txt"}}, "/keep.txt", false, {"alias.txt"}},
  };
  int n = 0;
  for (const auto& c : cases) {
    const std::string folder = "case" + std::to_string(n++);
    test::make_dirs(dir_ / folder);
    write_file(dir_ / folder + "/keep.txt", "x");
    for (const auto& [name, target] : c.links) QUARN_SYMLINK(target.c_str(), (dir_ / folder + "/" + name).c_str());
    auto faulty = test::faulty_fs_create(dir_.path());
    ASSERT_TRUE(faulty);
    faulty->fail_stat_ending = c.refused;
    DirListing listing;
    EXPECT_EQ(disk_list_folder(*faulty, sv((dir_ / folder).c_str()), listing), c.whole) << c.what;
    EXPECT_EQ(names_in_order(listing), c.listed) << c.what;
    // What the caller reports when the listing is not whole is the entry's failed stat, though
    // later entries were examined since; a link left out leaves nothing to report.
    const PlatformFailure* pending = platform_pending_failure();
    if (c.whole) {
      EXPECT_EQ(pending, nullptr) << c.what;
    } else if (pending == nullptr) {
      ADD_FAILURE() << c.what << ": no failed call to report";
    } else {
      EXPECT_STREQ(pending->call, "stat");
      EXPECT_EQ(std::string(pending->path), dir_ / folder + c.refused);
    }
    platform_clear_failure();
  }
}

TEST_F(DiskListingTest, AFolderThatCannotBeReadAddsNothing) {
  test::make_dirs(dir_ / "empty");
  EXPECT_TRUE(list("empty").empty());
  EXPECT_TRUE(list("missing").empty());

  DirListing listing;
  ASSERT_TRUE(add(listing, "kept"));
  // Unlike an empty folder, it says so: its logs must not pass for converted.
  EXPECT_FALSE(fs_list(fs_.get(), sv("missing"), listing));
  EXPECT_EQ(listing.count, 1);
  EXPECT_TRUE(fs_list(fs_.get(), sv("empty"), listing));
  EXPECT_EQ(listing.count, 1);
}

TEST_F(DiskListingTest, AnEntryThatCannotBeKeptMakesTheListingIncomplete) {
  for (const char* name : {"a-name-longer-than-a-short-string.txt", "b.txt"}) write_file(dir_ / name, "x");
  for (std::int64_t budget = 0; budget < 20; ++budget) {
    DirListing listing;
    mem_fail_after(budget);
    bool whole = fs_list(fs_.get(), sv(""), listing);
    mem_fail_after(-1);
    EXPECT_EQ(whole, listing.count == 2) << "budget " << budget;
    // Never an entry under a cut name, nor one from elsewhere.
    for (const std::string& name : names_in_order(listing)) {
      EXPECT_TRUE(name == "a-name-longer-than-a-short-string.txt" || name == "b.txt") << name;
    }
  }
}

TEST_F(DiskListingTest, ASubFolderIsListedWithoutItsContent) {
  test::make_dirs(dir_ / "x/deeper");
  write_file(dir_ / "x/c.txt", "x");
  EXPECT_EQ(list(""), (std::vector<std::string>{"x"}));
  EXPECT_EQ(list("x"), (std::vector<std::string>{"c.txt", "deeper"}));
}

}  // namespace
}  // namespace quarn
