// Paths and names as users' folders hold them: blanks, non-ASCII UTF-8, a leading "-", names
// that differ only by case, names and paths at the system's length limits, files and folders
// that cannot be read. Each ends with a clear message and the right status, never a crash.

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "app/cli_run.h"
#include "gen_log.h"
#include "support/generated_log.h"
#include "support/temp_dir.h"

namespace quarn {
namespace {

using test::CliRun;
using test::diagnostics_of;
using test::file_exists;
using test::make_dirs;
using test::read_file;
using test::TempDir;
using test::write_file;
using Lines = std::vector<std::string>;

constexpr std::int64_t kPathMax = 4095;  // the longest path the system takes, without its NUL

// A whole trace with one CANFD line per frame.
bool is_trace(const std::string& asc, std::int64_t frames) {
  return asc.rfind("date ", 0) == 0 && asc.find("\nbase hex  timestamps absolute\nBegin Triggerblock\n") != std::string::npos &&
         asc.size() > 17 && asc.compare(asc.size() - 17, 17, "End Triggerblock\n") == 0 &&
         std::count(asc.begin(), asc.end(), '\n') == frames + 4;
}

// Every file below `folder`, relative to it, sorted.
Lines tree(const std::string& folder) {
  Lines files;
  for (const auto& e : std::filesystem::recursive_directory_iterator(folder)) {
    if (e.is_regular_file()) files.push_back(std::filesystem::relative(e.path(), folder).string());
  }
  std::sort(files.begin(), files.end());
  return files;
}

class OddPathsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    data_ = dir_ / "data";
    make_dirs(data_);
  }
  std::string at(const std::string& relative) const { return data_ + "/" + relative; }
  void log(const std::string& relative, std::uint64_t seed = 1, std::int64_t frames = 20) {
    write_file(at(relative), test::generated_log(seed, frames));
  }
  CliRun run(const Lines& args) { return test::run_quarn(data_, args); }

  TempDir dir_;
  std::string data_;
};

TEST_F(OddPathsTest, BlanksAndNonAsciiNamesConvertLikeAnyOther) {
  make_dirs(at("my logs/day 1"));
  make_dirs(at("Fahrt München"));
  make_dirs(at("out dir ø"));
  log("my logs/day 1/trip 1.txt", 1, 20);
  log("Fahrt München/été ☃ 日本.txt", 2, 30);
  log("tab\there.txt", 3, 10);
  for (const Lines& args : {Lines{"my logs"}, Lines{"Fahrt München/"}, Lines{"-O", "out dir ø", "tab\there.txt"}}) {
    CliRun r = run(args);
    EXPECT_EQ(r.status, 0) << args.back();
    EXPECT_EQ(r.out + r.err, "") << args.back();
  }
  EXPECT_TRUE(is_trace(read_file(at("my logs_out/day 1/trip 1.asc")), 20));
  EXPECT_TRUE(is_trace(read_file(at("Fahrt München_out/été ☃ 日本.asc")), 30));
  EXPECT_TRUE(is_trace(read_file(at("out dir ø/tab\there.asc")), 10));
}

TEST_F(OddPathsTest, ABackslashInANameIsASeparatorOnlyOnTheCommandLine) {
  make_dirs(at("logs"));
  log("logs/back\\slash.txt", 1, 12);
  // Inside a folder the name is taken as it is.
  CliRun r = run({"logs"});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(is_trace(read_file(at("logs_out/back\\slash.asc")), 12));
  // On the command line "\" means "/", so the file cannot be named there: its folder is taken
  // for logs/back/, which does not exist.
  r = run({"logs/back\\slash.txt"});
  EXPECT_EQ(r.status, 133);
  EXPECT_EQ(diagnostics_of(r.err), Lines{"E: Invalid input path: " + at("logs/back/")});
}

TEST_F(OddPathsTest, ANameWithALeadingDashFollowsTheDoubleDash) {
  make_dirs(at("-logs"));
  log("-trip.txt", 1, 15);
  log("-logs/-x.txt", 2, 25);
  CliRun r = run({"--", "-trip.txt", "-logs"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out + r.err, "");
  EXPECT_TRUE(is_trace(read_file(at("-trip.asc")), 15));
  EXPECT_TRUE(is_trace(read_file(at("-logs_out/-x.asc")), 25));

  // Without it the name reads as options: the parse errors are printed, nothing is converted.
  std::remove(at("-trip.asc").c_str());
  r = run({"-trip.txt"});
  EXPECT_EQ(r.status, 134);
  EXPECT_EQ(r.out.rfind("quarn: invalid option \"-t\"\n", 0), 0u) << r.out;
  EXPECT_FALSE(file_exists(at("-trip.asc")));
}

TEST_F(OddPathsTest, NamesThatDifferOnlyByCaseGetTracesOfTheirOwn) {
  make_dirs(at("logs/Day"));
  write_file(at("logs/probe"), "x");
  if (file_exists(at("logs/PROBE"))) GTEST_SKIP() << "this file system does not tell names apart by case";
  std::remove(at("logs/probe").c_str());
  make_dirs(at("logs/day"));
  log("logs/Trip.txt", 1, 11);
  log("logs/trip.txt", 2, 22);
  log("logs/TRIP.TXT", 3, 33);
  log("logs/Day/a.txt", 4, 44);
  log("logs/day/a.txt", 5, 55);
  CliRun r = run({"logs"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out + r.err, "");
  EXPECT_EQ(tree(at("logs_out")), (Lines{"Day/a.asc", "TRIP.asc", "Trip.asc", "day/a.asc", "trip.asc"}));
  EXPECT_TRUE(is_trace(read_file(at("logs_out/Trip.asc")), 11));
  EXPECT_TRUE(is_trace(read_file(at("logs_out/trip.asc")), 22));
  EXPECT_TRUE(is_trace(read_file(at("logs_out/TRIP.asc")), 33));
  EXPECT_TRUE(is_trace(read_file(at("logs_out/Day/a.asc")), 44));
  EXPECT_TRUE(is_trace(read_file(at("logs_out/day/a.asc")), 55));
}

TEST_F(OddPathsTest, NamesAsLongAsTheSystemTakesConvert) {
  // 255 bytes is the most one name may have; the trace's name is as long as the log's. The
  // temporary file the trace is written under must not be what makes it fail.
  const std::string longest = std::string(251, 'x') + ".txt";
  std::string accented;
  while (accented.size() + 2 <= 246) accented += "é";  // two bytes each
  accented += ".txt";
  log(longest, 1, 14);
  log(accented, 2, 16);
  CliRun r = run({"--delete-converted", longest, accented});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(is_trace(read_file(at(std::string(251, 'x') + ".asc")), 14));
  EXPECT_TRUE(is_trace(read_file(at(accented.substr(0, accented.size() - 4) + ".asc")), 16));
  EXPECT_EQ(tree(data_).size(), 2u);  // the two traces, no temporary file, no log
}

// Folders nested so deep that their paths reach the system's limit. They are made relative to an
// open folder, since no single path can name the deepest ones.
class DeepFolders {
 public:
  explicit DeepFolders(const std::string& top) : top_(top) { fd_ = open(top.c_str(), O_RDONLY | O_DIRECTORY); }
  ~DeepFolders() {
    if (fd_ >= 0) close(fd_);
  }
  DeepFolders(const DeepFolders&) = delete;
  DeepFolders& operator=(const DeepFolders&) = delete;

  // Makes `name` inside the current folder and enters it.
  bool enter(const std::string& name) {
    if (mkdirat(fd_, name.c_str(), 0755) != 0) return false;
    int next = openat(fd_, name.c_str(), O_RDONLY | O_DIRECTORY);
    if (next < 0) return false;
    close(fd_);
    fd_ = next;
    return true;
  }
  bool write(const std::string& name, const std::string& content) {
    int f = openat(fd_, name.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (f < 0) return false;
    bool ok = ::write(f, content.data(), content.size()) == static_cast<ssize_t>(content.size());
    return close(f) == 0 && ok;
  }

 private:
  std::string top_;
  int fd_ = -1;
};

// Removes `name` below the open folder `parent` with everything in it, however deep.
void remove_deep(int parent, const char* name) {
  int fd = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
  if (fd < 0) {
    unlinkat(parent, name, 0);
    return;
  }
  DIR* d = fdopendir(fd);
  if (d == nullptr) {
    close(fd);
    return;
  }
  std::vector<std::string> names;
  while (dirent* e = readdir(d)) {
    if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") names.push_back(e->d_name);
  }
  for (const std::string& n : names) remove_deep(dirfd(d), n.c_str());
  closedir(d);
  unlinkat(parent, name, AT_REMOVEDIR);
}

class DeepPathsTest : public OddPathsTest {
 protected:
  void TearDown() override {
    // The temporary folder's own removal goes by whole paths, which the deepest ones exceed.
    int fd = open(data_.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    remove_deep(fd, "deep");
    remove_deep(fd, "deep_out");
    close(fd);
  }
};

TEST_F(DeepPathsTest, PathsAtTheSystemsLimitEndWithAClearMessage) {
  const std::string level(200, 'd');
  const std::int64_t top = static_cast<std::int64_t>(data_.size()) + 5;  // ".../data/deep"
  auto path_length = [&](int depth) { return top + 201 * depth; };      // of the folder at depth
  // b's own path is 2 bytes short of the limit, so that its trace's path (4 more, for "_out")
  // is too long; the folder beside it, 200 bytes longer, cannot even be examined.
  int depth_b = 0;
  while (path_length(depth_b + 1) + 1 + 5 <= kPathMax - 2) ++depth_b;
  const std::int64_t b_name = kPathMax - 2 - path_length(depth_b) - 1;
  const std::string name_b = std::string(static_cast<std::size_t>(b_name - 4), 'b') + ".txt";
  const int depth_a = depth_b - 2;
  ASSERT_GE(depth_a, 1);

  DeepFolders deep(data_);
  ASSERT_TRUE(deep.enter("deep"));
  std::string relative = "deep/";
  std::string relative_a, relative_b, relative_folder_b;
  for (int depth = 1; depth <= depth_b + 1; ++depth) {
    ASSERT_TRUE(deep.enter(level));
    relative += level;
    if (depth == depth_a) {
      ASSERT_TRUE(deep.write("a.txt", test::generated_log(1, 17)));
      relative_a = relative + "/a.txt";
    }
    if (depth == depth_b) {
      ASSERT_TRUE(deep.write(name_b, test::generated_log(2, 18)));
      relative_b = relative + "/" + name_b;
      relative_folder_b = relative;
    }
    if (depth == depth_b + 1) {
      ASSERT_TRUE(deep.write("c.txt", test::generated_log(3, 19)));
    }
    relative += "/";
  }
  ASSERT_EQ(static_cast<std::int64_t>(data_.size() + 1 + relative_b.size()), kPathMax - 2);

  CliRun r = run({"deep"});
  EXPECT_EQ(r.status, 8);
  // Messages are cut at 510 bytes, well inside these paths: compare what is there.
  const std::string out_b = "deep_out/" + relative_b.substr(5, relative_b.size() - 5 - 4) + ".asc";
  const Lines expected = {"E: Could not list folder " + relative_folder_b,
                          "E: Could not open output file for CAN: " + out_b, "E: Error during end file callback",
                          "E: Error during conversion of " + relative_b};
  Lines got = diagnostics_of(r.err);
  ASSERT_EQ(got.size(), expected.size()) << r.err;
  for (std::size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(expected[i].rfind(got[i], 0), 0u) << got[i];
    EXPECT_GE(got[i].size(), std::min<std::size_t>(expected[i].size(), 400)) << got[i];
  }
  // a.txt was converted; b.txt stays for want of a place for its trace.
  std::string trace_a = "deep_out/" + relative_a.substr(5, relative_a.size() - 5 - 4) + ".asc";
  EXPECT_TRUE(is_trace(read_file(at(trace_a)), 17));

  // A working folder longer than the 2048 bytes kept for it leaves relative inputs without a
  // root: a clear refusal, no conversion.
  r = test::run_quarn(at(relative_a.substr(0, relative_a.size() - 6)), {"a.txt"});
  EXPECT_EQ(r.status, 132);
  EXPECT_EQ(diagnostics_of(r.err), Lines{"F: Could not find root for a.txt"});
}

// Runs quarn as a user without the test's rights: the test itself may be root, whom no
// permission stops. Skips when that cannot be done.
class UnreadableTest : public OddPathsTest {
 protected:
  void SetUp() override {
    OddPathsTest::SetUp();
    if (geteuid() == 0) {
      const passwd* nobody = getpwnam("nobody");
      if (nobody == nullptr) GTEST_SKIP() << "running as root and there is no user \"nobody\" to run quarn as";
      as_ = test::RunAs{nobody->pw_uid, nobody->pw_gid};
      // The other user must reach the folders and write the traces: they go to a folder it can
      // enter, which the system's temporary folder need not be.
      const std::string parent = test::folder_reachable_by(as_);
      if (parent.empty()) GTEST_SKIP() << "the user \"nobody\" cannot be switched to, or can enter no temporary folder";
      reachable_.emplace(parent);
      data_ = *reachable_ / "data";
      make_dirs(data_);
      ASSERT_EQ(chmod(reachable_->path().c_str(), 0755), 0);
      ASSERT_EQ(chmod(data_.c_str(), 0777), 0);
    }
  }
  CliRun run_unprivileged(const Lines& args) {
    CliRun r = test::run_quarn(data_, args, 60, geteuid() == 0 ? &as_ : nullptr);
    return r;
  }

  test::RunAs as_{};
  std::optional<TempDir> reachable_;
};

TEST_F(UnreadableTest, AFileOrFolderThatCannotBeReadIsReportedAndKept) {
  make_dirs(at("logs/sub"));
  log("logs/a.txt", 1, 10);
  log("logs/b.txt", 2, 20);
  log("logs/sub/c.txt", 3, 30);
  log("logs/z.txt", 4, 40);
  ASSERT_EQ(chmod(at("logs").c_str(), 0777), 0);
  ASSERT_EQ(chmod(at("logs/b.txt").c_str(), 0), 0);
  ASSERT_EQ(chmod(at("logs/sub").c_str(), 0), 0);
  if (geteuid() != 0 && access(at("logs/b.txt").c_str(), R_OK) == 0) {
    GTEST_SKIP() << "permissions do not stop this user from reading";
  }

  CliRun r = run_unprivileged({"--delete-converted", "logs"});
  if (r.status == test::kCouldNotSwitchUser) GTEST_SKIP() << "could not switch to the user \"nobody\"";
  if (r.status == test::kOtherUserCannotReach) GTEST_SKIP() << "the user \"nobody\" can reach no copy of quarn";
  EXPECT_EQ(r.status, 8);
  EXPECT_EQ(diagnostics_of(r.err), (Lines{"E: Could not open input file logs/b.txt", "E: Error during conversion of logs/b.txt",
                                          "E: Could not list folder logs/sub"}));
  // At Debug the system's refusals follow what they made fail.
  r = run_unprivileged({"--verbosity", "4", "logs"});
  EXPECT_EQ(diagnostics_of(r.err),
            (Lines{"E: Could not open input file logs/b.txt", "D: open " + at("logs/b.txt") + ": Permission denied",
                   "E: Error during conversion of logs/b.txt", "E: Could not list folder logs/sub",
                   "D: opendir " + at("logs/sub/") + ": Permission denied", "I: Converted 0 of 1 logs, 0 frames, 1 failed"}));
  ASSERT_EQ(chmod(at("logs/sub").c_str(), 0755), 0);
  ASSERT_EQ(chmod(at("logs/b.txt").c_str(), 0644), 0);
  EXPECT_EQ(tree(at("logs")), (Lines{"b.txt", "sub/c.txt"}));
  EXPECT_EQ(tree(at("logs_out")), (Lines{"a.asc", "z.asc"}));
  EXPECT_TRUE(is_trace(read_file(at("logs_out/z.asc")), 40));
}

}  // namespace
}  // namespace quarn
