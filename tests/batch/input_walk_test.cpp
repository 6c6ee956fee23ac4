#include "app/input_formats.h"
#include "batch/input_walk.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "logging/report.h"
#include "support/capture.h"
#include "support/temp_dir.h"
#include "support/test_os.h"

namespace quarn {
namespace {

using test::file_exists;
using test::make_dirs;
using test::TempDir;
using test::write_file;

std::string str(StrView v) { return v.data == nullptr ? "<none>" : std::string(v.data, static_cast<std::size_t>(v.length)); }

// --- common root -------------------------------------------------------------------------------

struct RootResult {
  bool ok;
  int status;
  std::string root;
  std::vector<std::string> inputs;
  std::vector<std::string> messages;
};

RootResult common_root_of(const std::vector<std::string>& paths, bool deepest = false) {
  DynStringList inputs;
  for (const std::string& p : paths) {
    DynString s;
    dynstr_from(s, p.c_str());
    EXPECT_TRUE(dynstr_list_push(inputs, s));
  }
  DynString root;
  RootResult r{};
  r.status = -7;
  set_log_threshold(0);
  test::StderrCapture capture;
  r.ok = deepest ? find_deepest_root(inputs, root, r.status) : find_common_root(inputs, root, r.status);
  r.messages = test::messages_of(capture.text());
  r.root = dynstr_data(root);
  for (std::int64_t i = 0; i < inputs.count; ++i) r.inputs.emplace_back(dynstr_data(inputs.items[i]));
  return r;
}

TEST(FindCommonRootTest, InputsOfOneFolderBecomeRelativeToIt) {
  RootResult r = common_root_of({"/data/a/", "/data/b.txt", "/data/long name with spaces that is long.txt"});
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.status, -7);  // untouched on success
  EXPECT_EQ(r.root, "/data/");
  EXPECT_EQ(r.inputs, (std::vector<std::string>{"a/", "b.txt", "long name with spaces that is long.txt"}));
  EXPECT_TRUE(r.messages.empty());

  RootResult deep = common_root_of({"/srv/logs/2024/january/"});
  EXPECT_EQ(deep.root, "/srv/logs/2024/");
  EXPECT_EQ(deep.inputs, (std::vector<std::string>{"january/"}));
}

TEST(FindCommonRootTest, InputsInDifferentFoldersHaveNoRoot) {
  RootResult r = common_root_of({"/data/a.txt", "/other/b.txt"});
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.status, kStatusNoCommonRoot);
  EXPECT_EQ(r.messages, (std::vector<std::string>{"No common root detected for all inputs"}));
  EXPECT_EQ(r.inputs, (std::vector<std::string>{"/data/a.txt", "/other/b.txt"}));  // left as they were

  // A file below a folder input is in another folder than the folder itself.
  EXPECT_FALSE(common_root_of({"/data/a/x.txt", "/data/b.txt"}).ok);
}

// Listed inputs (--files-from) lie at any depth: the deepest folder above them all is their root.
TEST(FindCommonRootTest, ListedInputsTakeTheDeepestFolderAboveThemAll) {
  struct Case {
    std::vector<std::string> paths;
    bool ok;
    std::string root;
    std::vector<std::string> inputs;
    std::vector<std::string> messages;
  };
#ifdef _WIN32
  const std::string top = "C:/";
#else
  const std::string top = "/";
#endif
  const Case cases[] = {
      {{top + "rec/a/b/x.txt", top + "rec/a/y.txt", top + "rec/c/z.txt"},
       true,
       top + "rec/",
       {"a/b/x.txt", "a/y.txt", "c/z.txt"},
       {}},
      {{top + "rec/a/b/x.txt"}, true, top + "rec/a/b/", {"x.txt"}, {}},
      {{top + "rec/a/b/x.txt", top + "rec/a/b/"}, true, top + "rec/a/", {"b/x.txt", "b/"}, {}},
      // A name that only begins like another folder's is no folder above it.
      {{top + "rec/ab/x.txt", top + "rec/a/y.txt"}, true, top + "rec/", {"ab/x.txt", "a/y.txt"}, {}},
      {{top + "rec/a/x.txt", top + "rec/ab"}, true, top + "rec/", {"a/x.txt", "ab"}, {}},
      {{top + "one/x.txt", top + "two/deep/y.txt"}, true, top, {"one/x.txt", "two/deep/y.txt"}, {}},
      {{top + "rec/a/x.txt", "relative.txt"},
       false,
       "",
       {top + "rec/a/x.txt", "relative.txt"},
       {"Could not find root for relative.txt"}},
      {{}, false, "", {}, {}},
  };
  for (const Case& c : cases) {
    RootResult r = common_root_of(c.paths, true);
    EXPECT_EQ(r.ok, c.ok) << (c.paths.empty() ? "" : c.paths[0]);
    EXPECT_EQ(r.messages, c.messages);
    if (!c.ok) {
      EXPECT_EQ(r.status, kStatusNoCommonRoot);
      continue;
    }
    EXPECT_EQ(r.root, c.root);
    EXPECT_EQ(r.inputs, c.inputs);
  }
}

TEST(FindCommonRootTest, InputsDirectlyBelowTheTopFolderHaveItAsTheirRoot) {
#ifdef _WIN32
  // The top folders are the drives'; a "/" at the very front is none.
  const std::string top = "C:/";
  EXPECT_FALSE(common_root_of({"/data/", "/a.txt"}).ok);
#else
  const std::string top = "/";
#endif
  RootResult r = common_root_of({top + "data/", top + "a.txt", top + "data"});
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.root, top);
  EXPECT_EQ(r.inputs, (std::vector<std::string>{"data/", "a.txt", "data"}));
  EXPECT_TRUE(r.messages.empty());
  EXPECT_FALSE(common_root_of({top + "data/", top + "data/x/"}).ok);
}

TEST(FindCommonRootTest, ThePathMustHaveAParentFolder) {
  for (const char* path : {"/", "relative.txt", ""}) {
    RootResult r = common_root_of({"/data/ok.txt", path});
    EXPECT_FALSE(r.ok) << path;
    EXPECT_EQ(r.status, kStatusNoCommonRoot);
    EXPECT_EQ(r.messages, (std::vector<std::string>{std::string("Could not find root for ") + path}));
  }
}

TEST(FindCommonRootTest, ARootlessInputIsReportedBeforeDifferingFolders) {
  RootResult r = common_root_of({"/data/a.txt", "/other/b.txt", "/"});
  EXPECT_EQ(r.messages, (std::vector<std::string>{"Could not find root for /"}));
}

TEST(FindCommonRootTest, NoInputsFailsSilently) {
  RootResult r = common_root_of({});
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.status, kStatusNoCommonRoot);
  EXPECT_TRUE(r.messages.empty());
}

// --- the walk ----------------------------------------------------------------------------------

// A small log that every reader of the logger format accepts.
constexpr char kLog[] =
    "# Logger type: TarvikTwo\n"
    "# Time: 20240131T120000\n"
    "# Value separator: \";\"\n"
    "# Time format: 3\n"
    "# Time separator: \":\"\n"
    "# Time separator ms: \".\"\n"
    "Timestamp;Type;ID;Length;Data\n"
    "12:34:56.789;0;123;2;0102\n";

// Records the files the walk converts, by their output base; converts nothing.
class RecordingSink final : public TraceSink {
 public:
  bool begin_log(const LogContext& /*run*/, StrView output_base, const RecordSource& /*source*/) override {
    bases.push_back(str(output_base));
    return true;
  }
  bool take_record(const BusRecord& /*record*/) override { return true; }
  TracesEnded end_log(const LogContext& /*run*/, StrView /*output_base*/, bool /*complete*/) override {
    return TracesEnded{true, nullptr};
  }
  std::vector<std::string> bases;
};

// A disk file system whose stat fails for paths ending in `failing`, as a path that cannot be
// examined does.
class FailingStatFs final : public FileSystem {
 public:
  FailingStatFs(StrView root_path, std::string failing)
      : FileSystem(root_path), disk_(disk_fs_create(root_path)), failing_(std::move(failing)) {}
  bool stat(StrView path, PathInfo& out) override {
    std::string p = str(path);
    if (p.size() >= failing_.size() && p.compare(p.size() - failing_.size(), failing_.size(), failing_) == 0) return false;
    return disk_->stat(path, out);
  }
  bool list(StrView folder, DirListing& out) override { return disk_->list(folder, out); }
  bool make_dir(StrView path) override { return disk_->make_dir(path); }
  std::unique_ptr<Stream> open(StrView path, std::uint32_t flags) override { return disk_->open(path, flags); }

 private:
  std::unique_ptr<FileSystem> disk_;
  std::string failing_;
};

class WalkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    input_formats_use(options_);
    data_ = dir_ / "data";
    make_dirs(data_);
    fs_ = disk_fs_create(sv(data_.c_str()));
    ASSERT_TRUE(fs_);
    use(fs_.get(), fs_.get());
  }
  void use(FileSystem* input, FileSystem* output) {
    sink_.reset(new (std::nothrow) RecordingSink());
    ASSERT_TRUE(sink_);
    run_.input_fs = input;
    run_.output_fs = output;
    run_.options = &options_;
  }
  void log(const std::string& relative) { write_file(data_ + "/" + relative, kLog); }

  // convert_inputs over the inputs; the messages go to `messages_`, but for the run's closing
  // count, which goes to `closing_`.
  int run(const std::vector<std::string>& paths) {
    DynStringList inputs;
    for (const std::string& p : paths) {
      DynString s;
      dynstr_from(s, p.c_str());
      EXPECT_TRUE(dynstr_list_push(inputs, s));
    }
    set_log_threshold(0);
    test::StderrCapture capture;
    int status = convert_inputs(run_, *sink_, inputs);
    messages_ = test::diagnostics_of(capture.text());
    closing_.clear();
    if (!messages_.empty() && messages_.back().rfind("I: Converted ", 0) == 0) {
      closing_ = messages_.back();
      messages_.pop_back();
    }
    EXPECT_NE(closing_, "") << "every run ends with its count";
    return status;
  }

  TempDir dir_;
  std::string data_;
  std::unique_ptr<FileSystem> fs_;
  RunOptions options_;
  LogContext run_;
  std::unique_ptr<RecordingSink> sink_;
  std::vector<std::string> messages_;
  std::string closing_;
};

TEST_F(WalkTest, AFolderIsWalkedInByteOrderIntoItsOutFolder) {
  make_dirs(data_ + "/logs/x");
  log("logs/B.TXT");
  log("logs/a.txt");
  log("logs/x/c.txt");
  write_file(data_ + "/logs/notes.csv", "not a log");
  EXPECT_EQ(run({"logs/"}), kStatusOk);
  EXPECT_EQ(sink_->bases, (std::vector<std::string>{"logs_out/B", "logs_out/a", "logs_out/x/c"}));
  EXPECT_TRUE(messages_.empty());
  // The output folders exist before each file is converted.
  EXPECT_TRUE(file_exists(data_ + "/logs_out/x"));
}

TEST_F(WalkTest, OnlyTxtInAnyCaseIsTaken) {
  make_dirs(data_ + "/logs");
  for (const char* name : {"TRIP.TxT", "trip.txt.bak", "txt", "a.tx", "b.txts", ".txt", "c.TXT"}) log(std::string("logs/") + name);
  EXPECT_EQ(run({"logs/"}), kStatusOk);
  EXPECT_EQ(sink_->bases, (std::vector<std::string>{"logs_out/", "logs_out/TRIP", "logs_out/c"}));
}

TEST_F(WalkTest, FileInputsKeepTheirNameAndInputsGoInCommandLineOrder) {
  make_dirs(data_ + "/logs");
  log("z.txt");
  log("logs/b.txt");
  log("a.txt");
  EXPECT_EQ(run({"z.txt", "logs/", "a.txt"}), kStatusOk);
  EXPECT_EQ(sink_->bases, (std::vector<std::string>{"z", "logs_out/b", "a"}));
}

TEST_F(WalkTest, AFolderNamedLikeALogIsWalkedNotConverted) {
  make_dirs(data_ + "/logs/old.txt");
  log("logs/old.txt/inner.txt");
  EXPECT_EQ(run({"logs/"}), kStatusOk);
  EXPECT_EQ(sink_->bases, (std::vector<std::string>{"logs_out/old.txt/inner"}));
}

TEST_F(WalkTest, AMissingInputIsAWarningAndTheRestGoesOn) {
  log("good.txt");
  write_file(data_ + "/bad.txt", "this is no log\n");
  EXPECT_EQ(run({"missing.txt", "bad.txt", "good.txt"}), kStatusInputMissing | kStatusConvertFailed);
  EXPECT_EQ(sink_->bases, (std::vector<std::string>{"good"}));
  ASSERT_GE(messages_.size(), 3u);
  EXPECT_EQ(messages_.front(), "W: Could not find input file/folder missing.txt");
  EXPECT_EQ(messages_.back(), "E: Error during conversion of bad.txt");
}

TEST_F(WalkTest, APathThatIsNeitherFileNorFolderGives129AndTheRunGoesOn) {
  QUARN_MKFIFO((data_ + "/fifo.txt").c_str());
  log("after.txt");
  EXPECT_EQ(run({"fifo.txt", "after.txt"}), kStatusBadPath);
  EXPECT_EQ(messages_, (std::vector<std::string>{"E: Path is neither a file nor a folder: fifo.txt"}));
  EXPECT_EQ(sink_->bases, (std::vector<std::string>{"after"}));
}

TEST_F(WalkTest, AFailedQueryOfAnInputEndsTheRun) {
  FailingStatFs failing(sv(data_.c_str()), "/broken/");
  use(&failing, fs_.get());
  make_dirs(data_ + "/broken");
  log("first.txt");
  log("last.txt");
  EXPECT_EQ(run({"first.txt", "missing.txt", "broken/", "last.txt"}), kStatusBadPath);
  EXPECT_EQ(sink_->bases, (std::vector<std::string>{"first"}));
  EXPECT_EQ(messages_.back(), "F: Could not query broken/ for information");
}

TEST_F(WalkTest, AFailedQueryInsideAFolderEndsTheRunToo) {
  FailingStatFs failing(sv(data_.c_str()), "/logs/b.txt");
  use(&failing, fs_.get());
  make_dirs(data_ + "/logs");
  log("logs/a.txt");
  log("logs/b.txt");
  log("logs/c.txt");
  log("later.txt");
  EXPECT_EQ(run({"missing.txt", "logs/", "later.txt"}), kStatusBadPath);
  // a.txt was converted before; nothing after the failure is.
  EXPECT_EQ(sink_->bases, (std::vector<std::string>{"logs_out/a"}));
  EXPECT_EQ(messages_.back(), "F: Error during stat of logs/b.txt, exiting");

  // Without "_out" the walk makes the first query itself.
  options_.no_append_root = true;
  sink_->bases.clear();
  EXPECT_EQ(run({"logs/b.txt", "later.txt"}), kStatusBadPath);
  EXPECT_TRUE(sink_->bases.empty());
  EXPECT_EQ(messages_, (std::vector<std::string>{"F: Error during stat of logs/b.txt, exiting"}));
}

TEST_F(WalkTest, ALinkBackToAFolderOnTheWayIsNotEnteredAgain) {
  make_dirs(data_ + "/logs/x/y");
  log("logs/a.txt");
  log("logs/x/b.txt");
  log("logs/x/y/c.txt");
  QUARN_SYMLINK("..", (data_ + "/logs/x/y/up").c_str());
  QUARN_SYMLINK("../..", (data_ + "/logs/x/y/top").c_str());
  QUARN_SYMLINK(".", (data_ + "/logs/self").c_str());
  EXPECT_EQ(run({"logs/"}), kStatusOk);
  EXPECT_EQ(sink_->bases, (std::vector<std::string>{"logs_out/a", "logs_out/x/b", "logs_out/x/y/c"}));
  EXPECT_TRUE(messages_.empty());
}

TEST_F(WalkTest, ALinkToAFolderBesideTheWayIsWalkedLikeAFolder) {
  make_dirs(data_ + "/logs/real");
  log("logs/real/r.txt");
  QUARN_SYMLINK("real", (data_ + "/logs/alias").c_str());
  EXPECT_EQ(run({"logs/"}), kStatusOk);
  EXPECT_EQ(sink_->bases, (std::vector<std::string>{"logs_out/alias/r", "logs_out/real/r"}));
}

TEST_F(WalkTest, ProcessingOnePathGivesItsOwnStatus) {
  make_dirs(data_ + "/logs");
  log("logs/a.txt");
  set_log_threshold(6);
  EXPECT_EQ(convert_path(run_, *sink_, sv("logs"), sv("elsewhere")), kStatusOk);
  EXPECT_EQ(sink_->bases, (std::vector<std::string>{"elsewhere/a"}));
  EXPECT_EQ(convert_path(run_, *sink_, sv("nothing"), sv("nothing")), kStatusInputMissing);
  EXPECT_EQ(convert_path(LogContext{}, *sink_, sv("logs"), sv("x")), kStatusConvertFailed);
}

}  // namespace
}  // namespace quarn
