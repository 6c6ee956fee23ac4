#include "io/input_path.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <string>

#include "base/platform.h"
#include "logging/report.h"
#include "support/capture.h"
#include "support/temp_dir.h"
#include "support/test_os.h"

namespace quarn {
namespace {

using test::TempDir;
using test::write_file;

// Runs each test from inside a fresh temporary folder and goes back afterwards; reports pass at
// every level, as they do while the command line is parsed.
class InputPathTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char here[PATH_MAX];
    ASSERT_NE(getcwd(here, sizeof here), nullptr);
    saved_cwd_ = here;
    ASSERT_EQ(chdir(dir_.path().c_str()), 0);
    set_log_threshold(0);
  }
  void TearDown() override {
    EXPECT_EQ(chdir(saved_cwd_.c_str()), 0);
    set_log_threshold(0);
  }

  // The normalized form of `input`, and the messages reported while forming it; "<refused>" for
  // a form that is refused.
  std::string normalized(const std::string& input, std::vector<std::string>* messages = nullptr) {
    DynString path;
    dynstr_from(path, input.c_str());
    test::StderrCapture capture;
    const bool taken = normalize_input_path(path);
    std::vector<std::string> reported = test::messages_of(capture.text());
    if (messages != nullptr) {
      *messages = reported;
    } else {
      EXPECT_TRUE(reported.empty()) << input << " drew " << reported.front();
    }
    if (!taken) return "<refused>";
    return std::string(dynstr_data(path), static_cast<std::size_t>(dynstr_length(path)));
  }

  const std::string& root() const { return dir_.path(); }

  TempDir dir_;
  std::string saved_cwd_;
};

TEST_F(InputPathTest, TheWorkingFolderHasForwardSlashesAndNoTrailingOne) {
  DynString cwd;
  dynstr_from(cwd, "stale text that must go");
  ASSERT_TRUE(get_current_dir(cwd));
  EXPECT_STREQ(dynstr_data(cwd), root().c_str());
  EXPECT_GE(dynstr_capacity(cwd), 2048);
}

TEST_F(InputPathTest, FoldersEndInOneSlashAndFilesInNone) {
  test::make_dirs(root() + "/logs");
  write_file(root() + "/trip.txt", "x");
  EXPECT_EQ(normalized(root() + "/logs"), root() + "/logs/");
  EXPECT_EQ(normalized(root() + "/logs/"), root() + "/logs/");
  EXPECT_EQ(normalized(root() + "/trip.txt"), root() + "/trip.txt");
  // A file named with a trailing "/" is found all the same, and loses the "/".
  EXPECT_EQ(normalized(root() + "/trip.txt/"), root() + "/trip.txt");
#ifdef _WIN32
  // "/" is the top folder of the working folder's drive.
  EXPECT_EQ(normalized("/"), root().substr(0, 3));
#else
  EXPECT_EQ(normalized("/"), "/");
#endif
}

TEST_F(InputPathTest, BackslashesBecomeSlashes) {
  test::make_dirs(root() + "/logs/day1");
  EXPECT_EQ(normalized(root() + "\\logs\\day1"), root() + "/logs/day1/");
  EXPECT_EQ(normalized("logs\\day1\\"), root() + "/logs/day1/");
}

TEST_F(InputPathTest, DoubledSlashesAreHalvedInOnePass) {
  // Missing paths keep their form otherwise, so the pass itself shows.
  EXPECT_EQ(normalized(root() + "//a//b"), root() + "/a/b");
  EXPECT_EQ(normalized(root() + "/a///b"), root() + "/a//b");
  EXPECT_EQ(normalized(root() + "/a////b"), root() + "/a//b");
  EXPECT_EQ(normalized(root() + "\\\\a"), root() + "/a");
}

// A network share keeps the "//" that makes it one, where paths name shares (Windows): halved it
// would be a folder on the working drive. The long forms are the plain paths they stand for; a
// host without a share, a device or a volume by its number is refused rather than taken for
// something else. On POSIX "//x" is "/x", as ever.
TEST_F(InputPathTest, SharesAndLongFormsNameWhatTheySay) {
  test::make_dirs(root() + "/logs");
  std::string backslashed = root() + "/logs";
  std::replace(backslashed.begin(), backslashed.end(), '/', '\\');
  struct Case {
    std::string input;
    std::string windows;
    std::string posix;
  };
  const Case cases[] = {
      {"\\\\server\\share\\logs\\x.txt", "//server/share/logs/x.txt", "/server/share/logs/x.txt"},
      {"//server/share/x.txt", "//server/share/x.txt", "/server/share/x.txt"},
      {"//server/share//a///b", "//server/share/a//b", "/server/share/a//b"},
      {"//server/share", "//server/share", "/server/share"},
      {"\\\\server\\\\share", "//server/share", "/server/share"},
      {"\\\\?\\UNC\\server\\share\\x.txt", "//server/share/x.txt", "/?/UNC/server/share/x.txt"},
      {"\\\\?\\unc\\server\\share", "//server/share", "/?/unc/server/share"},
      {"\\\\.\\UNC\\server\\share\\x.txt", "//server/share/x.txt", "/./UNC/server/share/x.txt"},
      {"\\\\?\\" + backslashed, root() + "/logs/", "/?/" + root().substr(1) + "/logs"},
      {"\\\\.\\" + backslashed + "\\\\x.txt", root() + "/logs/x.txt", "/./" + root().substr(1) + "/logs/x.txt"},
      // Refused where shares are.
      {"\\\\server", "<refused>", "/server"},
      {"\\\\server\\", "<refused>", "/server/"},
      {"///server/share", "<refused>", "//server/share"},
      {"\\\\..\\share\\x.txt", "<refused>", "/../share/x.txt"},
      {"\\\\server\\.\\x.txt", "<refused>", "/server/./x.txt"},
      {"\\\\?\\UNC\\server", "<refused>", "/?/UNC/server"},
      {"\\\\?\\C:", "<refused>", "/?/C:"},
      {"\\\\?\\", "<refused>", "/?/"},
      {"\\\\?\\Volume{2e1f6c6a-0000-0000-0000-100000000000}\\x.txt", "<refused>",
       "/?/Volume{2e1f6c6a-0000-0000-0000-100000000000}/x.txt"},
      {"\\\\.\\pipe\\logs", "<refused>", "/./pipe/logs"},
      {"\\\\.\\PhysicalDrive0", "<refused>", "/./PhysicalDrive0"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(normalized(c.input), kPlatformHasShares ? c.windows : c.posix) << c.input;
  }
}

TEST_F(InputPathTest, RelativePathsAreJoinedToTheWorkingFolder) {
  test::make_dirs(root() + "/logs");
  write_file(root() + "/logs/a.txt", "x");
  EXPECT_EQ(normalized("logs"), root() + "/logs/");
  EXPECT_EQ(normalized("logs/a.txt"), root() + "/logs/a.txt");
  EXPECT_EQ(normalized("missing.txt"), root() + "/missing.txt");
  EXPECT_EQ(normalized("."), root() + "/./");
  EXPECT_EQ(normalized("./logs"), root() + "/./logs/");
  // ".." joins to nothing at all; the empty path to the working folder alone.
  EXPECT_EQ(normalized(".."), "");
  EXPECT_EQ(normalized(""), root() + "/");
  EXPECT_EQ(normalized("../x"), root() + "/../x");
}

TEST_F(InputPathTest, AMissingPathKeepsItsFormWithoutAMessage) {
  EXPECT_EQ(normalized(root() + "/no/such/folder/"), root() + "/no/such/folder/");
  EXPECT_EQ(normalized(root() + "/no.txt"), root() + "/no.txt");
  // Below a file nothing can exist: that is absence too, not a failure.
  write_file(root() + "/f.txt", "x");
  EXPECT_EQ(normalized(root() + "/f.txt/inner"), root() + "/f.txt/inner");
}

TEST_F(InputPathTest, APathThatCannotBeExaminedIsReportedAndKept) {
  QUARN_SYMLINK("loop", (root() + "/loop").c_str());
  std::vector<std::string> messages;
  EXPECT_EQ(normalized("loop\\", &messages), root() + "/loop/");
  EXPECT_EQ(messages, (std::vector<std::string>{"Could not stat path " + root() + "/loop/"}));

  // The report is an Error: a threshold above that silences it.
  set_log_threshold(6);
  EXPECT_EQ(normalized(root() + "/loop"), root() + "/loop");
}

TEST_F(InputPathTest, WithoutAWorkingFolderARelativePathStaysRelative) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows does not remove a process's working folder";
#endif
  std::string gone = root() + "/gone";
  test::make_dirs(gone);
  ASSERT_EQ(chdir(gone.c_str()), 0);
  ASSERT_EQ(rmdir(gone.c_str()), 0);
  DynString cwd;
  if (get_current_dir(cwd)) GTEST_SKIP() << "this system still names a removed working folder";
  EXPECT_EQ(normalized("a\\\\b.txt"), "a/b.txt");
}

}  // namespace
}  // namespace quarn
