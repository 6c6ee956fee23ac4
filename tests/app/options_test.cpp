#include "app/options.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/format_lists.h"
#include "app/quarn_main.h"
#include "base/memory.h"
#include "batch/exit_status.h"
#include "logging/report.h"
#include "support/capture.h"
#include "support/temp_dir.h"
#include "support/test_os.h"

namespace quarn {
namespace {

using test::TempDir;
using test::write_file;
using Lines = std::vector<std::string>;

#ifdef _WIN32
constexpr int kBinary = O_BINARY;  // quarn.exe writes its standard output in binary mode, too
#else
constexpr int kBinary = 0;
#endif

// Collects what is written to standard output (file descriptor 1) while it lives.
class StdoutCapture {
 public:
  StdoutCapture() {
    std::fflush(stdout);
    saved_ = dup(STDOUT_FILENO);
    int fd = open(file_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | kBinary, 0600);
    dup2(fd, STDOUT_FILENO);
    close(fd);
  }
  ~StdoutCapture() { stop(); }
  std::string text() {
    stop();
    return test::read_file(file_);
  }

 private:
  void stop() {
    if (saved_ < 0) return;
    std::fflush(stdout);
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
    saved_ = -1;
  }
  TempDir dir_;
  std::string file_ = dir_ / "stdout";
  int saved_ = -1;
};

// argv as the C runtime hands it over: mutable strings, program name first.
class Argv {
 public:
  explicit Argv(const Lines& args) : strings_{"/some/where/renamed-binary"} {
    strings_.insert(strings_.end(), args.begin(), args.end());
    for (std::string& s : strings_) pointers_.push_back(s.data());
    pointers_.push_back(nullptr);
  }
  int argc() const { return static_cast<int>(strings_.size()); }
  char** argv() { return pointers_.data(); }

 private:
  std::vector<std::string> strings_;
  std::vector<char*> pointers_;
};

struct Parsed {
  bool run;
  int status;
  std::string out;
  Lines messages;
};

class OptionsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    set_log_threshold(0);
    test::make_dirs(dir_ / "data/logs");
    write_file(dir_ / "data/a.txt", "x");
  }
  void TearDown() override {
    mem_fail_after(-1);
    set_log_threshold(0);
  }
  Parsed parse(const Lines& args) {
    context_ = tool_context_create();
    EXPECT_TRUE(context_);
    Argv a(args);
    Parsed p{};
    p.status = -5;
    test::StderrCapture err;
    StdoutCapture out;
    p.run = parse_command_line(*context_, a.argc(), a.argv(), p.status);
    p.out = out.text();
    p.messages = test::diagnostics_of(err.text());
    return p;
  }
  std::string data(const std::string& relative) const { return dir_ / ("data/" + relative); }

  TempDir dir_;
  std::unique_ptr<ToolContext> context_;
};

TEST_F(OptionsTest, ACleanParseFillsTheContext) {
  Parsed p = parse({"-d", "-X", "--non-interactive", "-b", "64KB", data("logs"), data("a.txt")});
  ASSERT_TRUE(p.run);
  EXPECT_EQ(p.status, -5);  // untouched
  EXPECT_EQ(p.out, "");
  EXPECT_TRUE(context_->options.delete_converted);
  EXPECT_TRUE(context_->options.no_append_root);
  EXPECT_TRUE(context_->options.non_interactive);
  EXPECT_EQ(context_->options.buffer_size, 65536);
  EXPECT_EQ(std::string(dynstr_data(context_->root)), data(""));
  ASSERT_EQ(context_->inputs.count, 2);
  EXPECT_STREQ(dynstr_data(context_->inputs.items[0]), "logs/");
  EXPECT_STREQ(dynstr_data(context_->inputs.items[1]), "a.txt");
  ASSERT_TRUE(context_->input_fs);
  EXPECT_EQ(context_->output_fs, context_->input_fs.get());
  EXPECT_EQ(context_->output_directory.count, 0);
}

TEST_F(OptionsTest, DefaultsWhenNoOptionIsGiven) {
  Parsed p = parse({data("a.txt")});
  ASSERT_TRUE(p.run);
  EXPECT_FALSE(context_->options.delete_converted);
  EXPECT_FALSE(context_->options.no_append_root);
  EXPECT_FALSE(context_->options.non_interactive);
  EXPECT_EQ(context_->options.buffer_size, -1);
  EXPECT_EQ(log_threshold, 5);
  EXPECT_EQ(context_->options.shard_index, 0);
  EXPECT_EQ(context_->options.shard_count, 0);
  EXPECT_FALSE(context_->options.inputs_listed);
}

TEST_F(OptionsTest, AShardAndAListOfInputsFillTheContext) {
  test::make_dirs(data("logs/deep/er"));
  write_file(data("list.txt"), data("logs/deep/er/y.txt") + "\n\n" + data("logs/z.txt") + "\r\n");
  struct Case {
    Lines args;
    int shard_index;
    int shard_count;
    bool listed;
    std::string root;
    Lines inputs;
  };
  const Case cases[] = {
      {{"--shard=2/5", data("a.txt")}, 2, 5, false, data(""), {"a.txt"}},
      {{"--shard", "0/1", data("logs")}, 0, 1, false, data(""), {"logs/"}},
      // Listed paths lie at any depth: the root is the deepest folder above them all.
      {{"--files-from=" + data("list.txt")}, 0, 0, true, data("logs/"), {"deep/er/y.txt", "z.txt"}},
      // They join the command line's, after them.
      {{"--files-from", data("list.txt"), data("a.txt")},
       0,
       0,
       true,
       data(""),
       {"a.txt", "logs/deep/er/y.txt", "logs/z.txt"}},
  };
  for (const Case& c : cases) {
    Parsed p = parse(c.args);
    ASSERT_TRUE(p.run) << c.args[0] << " " << p.out;
    EXPECT_EQ(context_->options.shard_index, c.shard_index);
    EXPECT_EQ(context_->options.shard_count, c.shard_count);
    EXPECT_EQ(context_->options.inputs_listed, c.listed);
    EXPECT_EQ(std::string(dynstr_data(context_->root)), c.root);
    Lines inputs;
    for (std::int64_t i = 0; i < context_->inputs.count; ++i) inputs.push_back(dynstr_data(context_->inputs.items[i]));
    EXPECT_EQ(inputs, c.inputs) << c.args[0];
  }
}

TEST_F(OptionsTest, Mf4CompressionTakesItsThreeNames) {
  ASSERT_TRUE(parse({data("a.txt")}).run);
  EXPECT_EQ(context_->mf4_compression, Mdf4Compression::Transposed);  // the default
  const std::pair<const char*, Mdf4Compression> names[] = {{"none", Mdf4Compression::None},
                                                           {"deflate", Mdf4Compression::Deflate},
                                                           {"transposed", Mdf4Compression::Transposed}};
  for (const auto& [name, compression] : names) {
    Parsed p = parse({"--mf4-compression", name, data("a.txt")});
    ASSERT_TRUE(p.run) << name;
    EXPECT_EQ(context_->mf4_compression, compression) << name;
  }
  for (const char* bad : {"zlib", "None", "transposed,none"}) {
    Parsed p = parse({"--mf4-compression", bad, data("a.txt")});
    EXPECT_FALSE(p.run) << bad;
    EXPECT_EQ(p.status, 134) << bad;
    EXPECT_EQ(p.out,
              std::string("quarn: invalid MDF4 compression \"") + bad + "\", expected none, deflate or transposed\n");
  }
}

TEST_F(OptionsTest, VerbosityMapsToTheThreshold) {
  const int expected[] = {6, 5, 4, 3, 1, 1};
  for (int v = 0; v <= 5; ++v) {
    set_log_threshold(0);
    ASSERT_TRUE(parse({"--verbosity", std::to_string(v), data("a.txt")}).run);
    EXPECT_EQ(log_threshold, expected[v]) << v;
  }
  set_log_threshold(0);
  Parsed bad = parse({"--verbosity", "6", data("a.txt")});
  EXPECT_FALSE(bad.run);
  EXPECT_EQ(bad.status, kStatusBadInteger);
  EXPECT_EQ(log_threshold, 0);  // not touched by a rejected value
}

TEST_F(OptionsTest, AnOutputDirectoryGetsAFileSystemOfItsOwn) {
  test::make_dirs(dir_ / "out");
  Parsed p = parse({"-O", dir_ / "out", data("a.txt")});
  ASSERT_TRUE(p.run);
  ASSERT_EQ(context_->output_directory.count, 1);
  EXPECT_EQ(std::string(dynstr_data(context_->output_directory.items[0])), dir_ / "out/");
  ASSERT_NE(context_->output_fs, nullptr);
  EXPECT_NE(context_->output_fs, context_->input_fs.get());
  EXPECT_EQ(std::string(dynstr_data(context_->output_fs->root)), dir_ / "out/");
}

TEST_F(OptionsTest, AnInputFolderThatCannotBeOpenedStopsWith133) {
  // The inputs' folder is gone: nothing could be read from it.
  Parsed p = parse({dir_ / "gone/a.txt"});
  EXPECT_FALSE(p.run);
  EXPECT_EQ(p.status, kStatusSetupFailed);
  EXPECT_EQ(p.messages, Lines{"E: Invalid input path: " + dir_ / "gone/"});
}

TEST_F(OptionsTest, UsageNamesTheProgramQuarnWhateverArgvSays) {
  Parsed p = parse({"--help"});
  EXPECT_FALSE(p.run);
  EXPECT_EQ(p.status, -5);  // left as it was: the caller's 0
  EXPECT_EQ(p.out.rfind("Usage: quarn [--help] ", 0), 0u);
  EXPECT_EQ(p.out.find("renamed-binary"), std::string::npos);
  // The format options' texts follow from the format tables.
  EXPECT_NE(p.out.find("-F, --format=<asc|mf4|blf|asc,mf4,blf>"), std::string::npos);
  EXPECT_NE(p.out.find("comma-separated; all come from one reading. defaults to asc"), std::string::npos);
  EXPECT_NE(p.out.find("-I, --input-format=<txt|mf4|blf|txt,mf4,blf>"), std::string::npos);

  p = parse({"--bogus", "x"});
  EXPECT_EQ(p.status, kStatusParseError);
  EXPECT_EQ(p.out, "quarn: invalid option \"--bogus\"\n");
}

TEST(FormatListHelpTest, MoreFormatsAllComeFromOneReadingAndATooLongListIsRefused) {
  const char* names[] = {"asc", "mf4", "xyz"};
  FormatHelp help;
  ASSERT_TRUE(format_list_help(names, 3, "trace formats to write", true, "", "asc", help));
  EXPECT_STREQ(help.values, "<asc|mf4|xyz|asc,mf4,xyz>");
  EXPECT_STREQ(help.glossary, "trace formats to write, comma-separated; all come from one reading. defaults to asc");
  const std::string long_name(60, 'n');
  const char* long_names[] = {long_name.c_str(), "mf4"};
  EXPECT_FALSE(format_list_help(long_names, 2, "x", true, "", "mf4", help));
}

TEST_F(OptionsTest, PathsAreStoredNormalizedInCommandLineOrder) {
  arg_file* entry = arg_filen(nullptr, nullptr, "x", 0, 3, nullptr);
  ASSERT_NE(entry, nullptr);
  std::string logs = data("logs");
  std::string file = data("a.txt/");
  std::string missing = dir_ / "data\\missing";
  const char* values[] = {logs.c_str(), file.c_str(), missing.c_str()};
  entry->count = 3;
  for (int i = 0; i < 3; ++i) entry->filename[i] = values[i];
  DynStringList stored;
  EXPECT_EQ(store_paths(entry, stored), 0);
  ASSERT_EQ(stored.count, 3);
  EXPECT_EQ(std::string(dynstr_data(stored.items[0])), data("logs/"));
  EXPECT_EQ(std::string(dynstr_data(stored.items[1])), data("a.txt"));
  EXPECT_EQ(std::string(dynstr_data(stored.items[2])), data("missing"));

  // A list that cannot grow stores nothing more but goes on to the next value.
  entry->count = 1;
  entry->filename[0] = "/";
  DynStringList full;
  mem_fail_after(0);
  int r = store_paths(entry, full);
  mem_fail_after(-1);
  EXPECT_EQ(r, 3);
  EXPECT_EQ(full.count, 0);
  void* table[] = {entry};
  arg_freetable(table, 1);
}

TEST_F(OptionsTest, AStoreErrorHasItsOwnText) {
  TempDir dir;
  std::string path = dir / "err";
  FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  print_store_error(nullptr, nullptr, f, 3, "v", "quarn");
  print_store_error(nullptr, nullptr, f, 4, "v", "quarn");
  std::fclose(f);
  EXPECT_EQ(test::read_file(path), "internal error, could not allocate memory\n");
}

TEST_F(OptionsTest, VersionLinesName240) {
  TempDir dir;
  std::string path = dir / "version";
  FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  print_version(f);
  std::fclose(f);
  std::string text = test::read_file(path);
  EXPECT_EQ(text.rfind("Version: 2.4.0\nBuild date: ", 0), 0u);
  EXPECT_NE(text.find("\nGIT SHA: "), std::string::npos);
}

// --- the whole run, in-process ----------------------------------------------------------------

struct MainRun {
  int status;
  std::string out;
  Lines messages;
};

MainRun main_of(const Lines& args, std::int64_t allocations = -1) {
  Argv a(args);
  MainRun r{};
  test::StderrCapture err;
  StdoutCapture out;
  mem_fail_after(allocations);
  r.status = quarn_main(a.argc(), a.argv());
  mem_fail_after(-1);
  r.out = out.text();
  r.messages = test::diagnostics_of(err.text());
  return r;
}

TEST_F(OptionsTest, NoMemoryForTheContextGives133) {
  MainRun r = main_of({data("a.txt")}, 0);
  EXPECT_EQ(r.status, kStatusSetupFailed);
  EXPECT_EQ(r.out, "");
}

TEST_F(OptionsTest, APathThatCannotBeStoredIsAParseError) {
  // The context takes the one allocation allowed; the input list cannot grow. "/" needs no copy
  // of its own to be normalized.
  MainRun r = main_of({"/"}, 1);
  EXPECT_EQ(r.status, kStatusParseError);
  EXPECT_EQ(r.out, "quarn: internal error, could not allocate memory\n");
}

TEST_F(OptionsTest, ARunInTheSameProcessStartsFromThresholdZero) {
  set_log_threshold(6);
  QUARN_SYMLINK("loop", (dir_ / "data/loop").c_str());
  MainRun r = main_of({"--verbosity", "0", data("loop"), data("other/x.txt")});
  EXPECT_EQ(r.status, kStatusNoCommonRoot);
  EXPECT_EQ(r.messages, (Lines{"E: Could not stat path " + data("loop"), "F: No common root detected for all inputs"}));
}

}  // namespace
}  // namespace quarn
