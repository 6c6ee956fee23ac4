// End-to-end: the built quarn executable, run in temporary folders.

#include <gtest/gtest.h>
#include <sys/stat.h>
#ifndef _WIN32
#include <sys/wait.h>
#endif
#include <unistd.h>
#ifdef _WIN32
#include <direct.h>
#endif

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "app/cli_run.h"
#include "support/json_reader.h"
#include "support/temp_dir.h"
#include "support/test_os.h"

namespace quarn {
namespace {

using test::CliRun;
using test::diagnostics_of;
using test::file_exists;
using test::make_dirs;
using test::read_file;
using test::run_quarn;
using test::TempDir;
using test::write_file;
using Lines = std::vector<std::string>;

// A log with two frames, out of time order, in the logger's text format.
constexpr char kLog[] =
    "# Logger type: TarvikTwo\r\n"
    "# HW rev: 3.1\r\n"
    "# Logger ID: 00A1B2C3\r\n"
    "# Time: 20240131T120000\r\n"
    "# Value separator: \";\"\r\n"
    "# Time format: 3\r\n"
    "# Time separator: \":\"\r\n"
    "# Time separator ms: \".\"\r\n"
    "# Bit-rate: 500000\r\n"
    "Timestamp;Lost;Type;ID;Length;Data\r\n"
    "12:34:56.789;0;0;123;8;0102030405060708\r\n"
    "12:34:57.001;0;1;18FF0102;2;A0B1\r\n";

// The trace of kLog: the first line carries the date of the first frame; times are relative.
bool looks_like_trace_of_log(const std::string& asc) {
  return asc.rfind("date Wed Jan 31 12:34:56 2024\nbase hex  timestamps absolute\nBegin Triggerblock\n", 0) == 0 &&
         asc.find("0.789000 CANFD   1 Rx        123 ") != std::string::npos &&
         asc.find("1.001000 CANFD   1 Rx   18FF0102x") != std::string::npos &&
         asc.size() > 17 && asc.compare(asc.size() - 17, 17, "End Triggerblock\n") == 0;
}

constexpr char kUsageHead[] =
    "Usage: quarn [--help] [-v|--version] [--verbosity=<n>] [--non-interactive] [-d|--delete-converted] "
    "[-X|--no-append-root] [-b|--buffer=<n>] [-O|--output-directory=<file>] [-F|--format=<asc|mf4|blf|asc,mf4,blf>] "
    "[--mf4-compression=<kind>] [-I|--input-format=<txt|mf4|blf|txt,mf4,blf>] [-j|--jobs=<n>] "
    "[--files-from=<file>] [--shard=<K/N|auto|auto/N>] [--report=<file>] "
    "[-i|--input-files=<file(s)/folder(s)>] file(s)/folder(s)";

std::string glossary_line(const std::string& option, const std::string& text) {
  // An option too long for the column of 40 has its text behind one blank.
  std::string line = "  " + option;
  if (line.size() < 2 + 40) line.resize(2 + 40, ' ');
  return line + " " + text + "\n";
}

// The usage text: the syntax line ending in `tail`, a blank line, then the glossary.
std::string usage_with_tail(const std::string& tail) {
  return std::string(kUsageHead) + tail + "\n\n" + glossary_line("--help", "display this help and exit") +
         glossary_line("-v, --version", "display tool version and exit") +
         glossary_line("--verbosity=<n>",
                       "verbosity of logging messages from 0 to 4, with 0 being fatal messages only 4 being all "
                       "messages including debug information. defaults to 1") +
         glossary_line("--non-interactive", "does not print any progress output") +
         glossary_line("-d, --delete-converted", "deletes files after conversion if specified") +
         glossary_line("-X, --no-append-root", "do not add \"_out\" when converting folders") +
         glossary_line("-b, --buffer=<n>", "buffer size in bytes. 0 disables and -1 takes entire file") +
         glossary_line("-O, --output-directory=<file>", "where to place the converted files") +
         glossary_line("-F, --format=<asc|mf4|blf|asc,mf4,blf>",
                       "trace formats to write, comma-separated; all come from one reading. defaults to asc") +
         glossary_line("--mf4-compression=<kind>",
                       "how MDF4 data blocks are compressed: none, deflate or transposed. defaults to transposed") +
         glossary_line("-I, --input-format=<txt|mf4|blf|txt,mf4,blf>",
                       "log formats a folder walk converts, comma-separated; a file named here converts by its "
                       "suffix. defaults to txt") +
         glossary_line("-j, --jobs=<n>", "logs converted at once. 0 takes one per core. defaults to 1") +
         glossary_line("--files-from=<file>",
                       "also convert the paths listed in <file>, one a line; - reads standard input") +
         glossary_line("--shard=<K/N|auto|auto/N>",
                       "convert only the logs of shard K of N; auto takes K and N from the job scheduler") +
         glossary_line("--report=<file>", "write a JSON Lines record of the run to this file") +
         glossary_line("-i, --input-files=<file(s)/folder(s)>", "list of input files/folders, must have common root");
}

// False where names that differ only by case are one file (Windows' file systems).
bool names_differ_by_case(const std::string& folder) {
  write_file(folder + "/CASE-PROBE", "");
  bool differ = !file_exists(folder + "/case-probe");
  std::filesystem::remove(folder + "/CASE-PROBE");
  return differ;
}

class CliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    data_ = dir_ / "data";
    make_dirs(data_);
  }
  std::string at(const std::string& relative) const { return data_ + "/" + relative; }
  void log(const std::string& relative) { write_file(at(relative), kLog); }
  CliRun run(const std::vector<std::string>& args) { return run_quarn(data_, args); }
  // Every file below `folder`, relative to it, sorted.
  Lines tree(const std::string& folder) const {
    Lines files;
    for (const auto& e : std::filesystem::recursive_directory_iterator(folder)) {
      if (e.is_regular_file()) files.push_back(std::filesystem::relative(e.path(), folder).generic_string());
    }
    std::sort(files.begin(), files.end());
    return files;
  }

  // logs/ holding B.TXT, a.txt, notes.csv and x/c.txt.
  void make_example_folder() {
    make_dirs(at("logs/x"));
    log("logs/B.TXT");
    log("logs/a.txt");
    log("logs/x/c.txt");
    write_file(at("logs/notes.csv"), "not;a;log\n");
  }

  TempDir dir_;
  std::string data_;
};

// --- usage, version, parse errors --------------------------------------------------------------

TEST_F(CliTest, NoArgumentsOrHelpPrintTheUsage) {
  for (const Lines& args : {Lines{}, Lines{"--help"}}) {
    CliRun r = run(args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, usage_with_tail(""));
    EXPECT_EQ(r.err, "");
  }
}

TEST_F(CliTest, TheUsageTailGrowsWithTheArgumentCount) {
  EXPECT_EQ(run({"--help", "a"}).out, usage_with_tail(" [file(s)/folder(s)]"));
  EXPECT_EQ(run({"--help", "a", "b"}).out, usage_with_tail(" [file(s)/folder(s)] [file(s)/folder(s)]"));
  EXPECT_EQ(run({"--help", "a", "b", "c"}).out, usage_with_tail(" [file(s)/folder(s)]..."));
  EXPECT_EQ(run({"--help", "a", "b", "c", "d", "e"}).out, usage_with_tail(" [file(s)/folder(s)]..."));
}

TEST_F(CliTest, HelpWinsOverVersionAndParseErrors) {
  log("a.txt");
  for (const Lines& args : {Lines{"--version", "--help"}, Lines{"--help", "--bogus"}, Lines{"-Z", "--help", "a.txt"},
                            Lines{"--help", "--verbosity", "abc"}, Lines{"--help", "-b"}}) {
    CliRun r = run(args);
    EXPECT_EQ(r.status, 0) << args[0];
    EXPECT_EQ(r.out.rfind(kUsageHead, 0), 0u) << args[0];
  }
  EXPECT_FALSE(file_exists(at("a.asc")));
}

TEST_F(CliTest, VersionPrintsThreeLinesAndConvertsNothing) {
  log("a.txt");
  for (const Lines& args : {Lines{"--version"}, Lines{"-v", at("a.txt")}, Lines{"-v", "--bogus"},
                            Lines{"--verbosity", "abc", "-v"}}) {
    CliRun r = run(args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(r.out, m,
                                 std::regex("Version: 2\\.4\\.0\n"
                                            "Build date: (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
                                            "[ 1-3][0-9] [0-9]{4} [0-2][0-9]:[0-5][0-9]:[0-6][0-9]\n"
                                            "GIT SHA: ([0-9a-f]{40})\\*?\n")))
        << r.out;
  }
  EXPECT_FALSE(file_exists(at("a.asc")));
}

TEST_F(CliTest, VersionNamesTheCommitBuilt) {
  const char* source = std::getenv("QUARN_SOURCE_DIR");
  if (source == nullptr) GTEST_SKIP() << "QUARN_SOURCE_DIR is not set";
  std::string command = std::string("git -C '") + source + "' rev-parse HEAD 2>/dev/null";
  FILE* git = popen(command.c_str(), "r");
  ASSERT_NE(git, nullptr);
  char head[64] = {};
  bool have_head = std::fgets(head, sizeof head, git) != nullptr;
  int git_status = pclose(git);
  if (!have_head || git_status != 0) GTEST_SKIP() << "the source is not a git checkout";
  std::string sha(head, 40);
  EXPECT_NE(run({"--version"}).out.find("GIT SHA: " + sha), std::string::npos) << "rebuilt since the last commit?";
}

TEST_F(CliTest, AnOptionValueThatIsNoIntegerGives131Silently) {
  log("a.txt");
  for (const Lines& args : {Lines{"--verbosity", "abc", "a.txt"}, Lines{"-b", "12x", "a.txt"},
                            Lines{"--verbosity", "abc", "--bogus", "a.txt"}}) {
    CliRun r = run(args);
    EXPECT_EQ(r.status, 131) << args[1];
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
  }
  EXPECT_FALSE(file_exists(at("a.asc")));
}

TEST_F(CliTest, AnOptionWithoutItsValueGives130Silently) {
  for (const Lines& args : {Lines{"a.txt", "-b"}, Lines{"a.txt", "--verbosity"}, Lines{"a.txt", "-O"},
                            Lines{"--buffer=", "a.txt"}, Lines{"-b"}}) {
    CliRun r = run(args);
    EXPECT_EQ(r.status, 130) << args.back();
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
  }
}

TEST_F(CliTest, OtherParseErrorsArePrintedAndGive134) {
  struct Case {
    Lines args;
    std::string out;
  };
  const Case cases[] = {
      {{"--bogus", "a.txt"}, "quarn: invalid option \"--bogus\"\n"},
      {{"-Z", "a.txt"}, "quarn: invalid option \"-Z\"\n"},
      {{"-d", "-d", "a.txt"}, "quarn: extraneous option -d|--delete-converted\n"},
      {{"-O", "a", "-O", "b", "a.txt"}, "quarn: excess option -O|--output-directory=b\n"},
      {{"-d"}, "quarn: missing option file(s)/folder(s)\n"},
      {{"-b", "3GB", "a.txt"}, "quarn: integer overflow at option -b|--buffer=<n> (3GB is too large)\n"},
      // Past 32 bits, where Windows' long ends too.
      {{"-b", "3000000000", "a.txt"}, "quarn: integer overflow at option -b|--buffer=<n> (3000000000 is too large)\n"},
      {{"-b", "-0x80000001", "a.txt"},
       "quarn: integer overflow at option -b|--buffer=<n> (-0x80000001 is too large)\n"},
      // A flag given a value, the way the usage text spells -i among them.
      {{"--input-files=logs"},
       "quarn: option \"--input-files\" takes no value, but was given one in \"--input-files=logs\"\n"},
      {{"--delete-conv=1", "a.txt", "-Z"},
       "quarn: option \"--delete-converted\" takes no value, but was given one in \"--delete-conv=1\"\n"
       "quarn: invalid option \"-Z\"\n"},
      {{"--shard=3/2", "a.txt"}, "quarn: invalid shard \"3/2\", expected K/N with 0 <= K < N, auto or auto/N\n"},
      {{"--shard=0/0", "a.txt"}, "quarn: invalid shard \"0/0\", expected K/N with 0 <= K < N, auto or auto/N\n"},
      {{"--shard=a/b", "a.txt"}, "quarn: invalid shard \"a/b\", expected K/N with 0 <= K < N, auto or auto/N\n"},
      {{"--shard=-1/4", "a.txt"}, "quarn: invalid shard \"-1/4\", expected K/N with 0 <= K < N, auto or auto/N\n"},
      {{"--shard=1/4/2", "a.txt"}, "quarn: invalid shard \"1/4/2\", expected K/N with 0 <= K < N, auto or auto/N\n"},
      // The first error decides the status; then every error is printed.
      {{"--bogus", "--verbosity", "abc", "a.txt"},
       "quarn: invalid option \"--bogus\"\nquarn: invalid argument \"abc\" to option --verbosity=<n>\n"},
  };
  for (const Case& c : cases) {
    CliRun r = run(c.args);
    EXPECT_EQ(r.status, 134) << c.args[0];
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, "");
  }
}

// --- verbosity ---------------------------------------------------------------------------------

TEST_F(CliTest, VerbositySetsWhichLevelsAreWritten) {
  write_file(at("bad.txt"), "no log at all\n");
  const Lines errors{"E: Could not open log", "E: Error during conversion of bad.txt"};
  Lines warned{"W: Could not find input file/folder missing.txt"};
  warned.insert(warned.end(), errors.begin(), errors.end());
  // From 3 on, the run's closing count as well.
  Lines all = warned;
  all.push_back("I: Converted 0 of 1 logs, 0 frames, 1 failed");
  const struct {
    Lines options;
    Lines expected;
  } cases[] = {
      {{}, errors},
      {{"--verbosity", "0"}, {}},
      {{"--verbosity", "1"}, errors},
      {{"--verbosity=2"}, warned},
      {{"--verbosity", "3"}, all},
      {{"--verbosity", "4"}, all},
      {{"--verbosity", "5"}, all},
  };
  for (const auto& c : cases) {
    Lines args = c.options;
    args.push_back(at("missing.txt"));
    args.push_back(at("bad.txt"));
    CliRun r = run(args);
    EXPECT_EQ(r.status, 9);
    EXPECT_EQ(diagnostics_of(r.err), c.expected) << (c.options.empty() ? "absent" : c.options.back());
  }
}

TEST_F(CliTest, FatalReportsPassEvenAtVerbosityZero) {
  make_dirs(at("other"));
  log("a.txt");
  log("other/b.txt");
  CliRun r = run({"--verbosity", "0", at("a.txt"), at("other/b.txt")});
  EXPECT_EQ(r.status, 132);
  EXPECT_EQ(diagnostics_of(r.err), Lines{"F: No common root detected for all inputs"});
}

TEST_F(CliTest, AVerbosityOutsideZeroToFiveGives131) {
  log("a.txt");
  for (const char* v : {"-1", "6", "100"}) {
    CliRun r = run({"--verbosity", v, "a.txt"});
    EXPECT_EQ(r.status, 131) << v;
    EXPECT_EQ(r.out + r.err, "");
  }
  EXPECT_FALSE(file_exists(at("a.asc")));
}

// --- conversion of folders ---------------------------------------------------------------------

TEST_F(CliTest, AFolderIsConvertedIntoItsOutFolder) {
  make_example_folder();
  CliRun r = run({at("logs")});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out + r.err, "");
  EXPECT_EQ(tree(at("logs_out")), (Lines{"B.asc", "a.asc", "x/c.asc"}));
  EXPECT_TRUE(looks_like_trace_of_log(read_file(at("logs_out/x/c.asc"))));
  EXPECT_TRUE(file_exists(at("logs/a.txt")));  // kept without --delete-converted
}

TEST_F(CliTest, WithoutAppendingTheTracesLandBesideTheLogs) {
  make_example_folder();
  for (const char* flag : {"--no-append-root", "-X"}) {
    CliRun r = run({flag, at("logs")});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(tree(at("logs")), (Lines{"B.TXT", "B.asc", "a.asc", "a.txt", "notes.csv", "x/c.asc", "x/c.txt"}));
    EXPECT_FALSE(file_exists(at("logs_out")));
  }
}

TEST_F(CliTest, AnOutputDirectoryTakesTheWholeTree) {
  make_example_folder();
  make_dirs(dir_ / "out");
  CliRun r = run({"--output-directory", dir_ / "out", at("logs")});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(tree(dir_ / "out"), (Lines{"logs_out/B.asc", "logs_out/a.asc", "logs_out/x/c.asc"}));
  EXPECT_FALSE(file_exists(at("logs_out")));

  // With -X as well, the folder keeps its name below the output directory.
  make_dirs(dir_ / "out2");
  EXPECT_EQ(run({"-X", "-O", dir_ / "out2/", at("logs/")}).status, 0);
  EXPECT_EQ(tree(dir_ / "out2"), (Lines{"logs/B.asc", "logs/a.asc", "logs/x/c.asc"}));
}

TEST_F(CliTest, AnOutputDirectoryThatIsNoFolderStopsTheRunWith133) {
  make_example_folder();
  write_file(dir_ / "plain", "x");
  // The top folder of the file system ("/", or the drive's "C:/"), which ends in its separator.
  const std::string top = dir_.path().substr(0, dir_.path().find('/') + 1);
  const struct {
    std::string option;
    std::string shown;
    std::string cwd;  // empty: the data folder
  } cases[] = {
      {dir_ / "missing", dir_ / "missing", ""},
      {dir_ / "missing/deeper/", dir_ / "missing/deeper/", ""},
      {dir_ / "plain", dir_ / "plain", ""},
      {dir_ / "plain/", dir_ / "plain/", ""},
      // Named as typed, not as made absolute from the top folder ("//quarn-missing-output").
      {"quarn-missing-output", "quarn-missing-output", top},
  };
  for (const auto& c : cases) {
    CliRun r = run_quarn(c.cwd.empty() ? data_ : c.cwd, {"-O", c.option, at("logs")});
    EXPECT_EQ(r.status, 133) << c.option;
    EXPECT_EQ(diagnostics_of(r.err), Lines{"E: Invalid output path: " + c.shown});
  }
  EXPECT_FALSE(file_exists(dir_ / "missing"));
  EXPECT_FALSE(file_exists(at("logs_out")));
  EXPECT_EQ(tree(dir_.path()), (Lines{"data/logs/B.TXT", "data/logs/a.txt", "data/logs/notes.csv", "data/logs/x/c.txt",
                                      "plain"}));
}

TEST_F(CliTest, InputsInDifferentFoldersGive132AndConvertNothing) {
  make_dirs(at("one"));
  make_dirs(at("two"));
  log("one/a.txt");
  log("two/b.txt");
  CliRun r = run({at("one/a.txt"), at("two/b.txt")});
  EXPECT_EQ(r.status, 132);
  EXPECT_EQ(diagnostics_of(r.err), Lines{"F: No common root detected for all inputs"});
  EXPECT_EQ(tree(data_), (Lines{"one/a.txt", "two/b.txt"}));
}

TEST_F(CliTest, TheTopFolderHasNoRoot) {
  CliRun r = run({"/"});
#ifdef _WIN32
  const std::string top = data_.substr(0, 2) + "/";  // the top folder of the working folder's drive
#else
  const std::string top = "/";
#endif
  EXPECT_EQ(r.status, 132);
  EXPECT_EQ(diagnostics_of(r.err), Lines{"F: Could not find root for " + top});
}

// "/" is the root folder here: a folder directly below it converts into a folder beside it.
TEST_F(CliTest, AFolderDirectlyBelowTheTopConvertsBesideIt) {
#ifdef _WIN32
  // There the top folder is a drive's ("C:/").
  const std::string top = data_.substr(0, 2) + "/quarn-cli-" + std::to_string(getpid());
  if (_mkdir(top.c_str()) != 0) GTEST_SKIP() << "cannot make a folder in " << top << ": " << std::strerror(errno);
#else
  const std::string top = "/quarn-cli-" + std::to_string(getpid());
  if (mkdir(top.c_str(), 0755) != 0) GTEST_SKIP() << "cannot make a folder in /: " << std::strerror(errno);
#endif
  make_dirs(top + "/day1");
  write_file(top + "/day1/a.txt", kLog);
  CliRun r = run({top});
  const bool converted = file_exists(top + "_out/day1/a.asc");
  std::filesystem::remove_all(top);
  std::filesystem::remove_all(top + "_out");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(converted);
}

TEST_F(CliTest, AMissingInputAndAFailingOneGive9) {
  write_file(at("bad.txt"), "# header only, no columns\n");
  log("good.txt");
  CliRun r = run({"--verbosity", "2", at("missing.txt"), at("bad.txt"), at("good.txt")});
  EXPECT_EQ(r.status, 9);
  EXPECT_EQ(diagnostics_of(r.err), (Lines{"W: Could not find input file/folder missing.txt", "E: Could not open log",
                                          "E: Error during conversion of bad.txt"}));
  EXPECT_TRUE(file_exists(at("good.asc")));
  EXPECT_FALSE(file_exists(at("bad.asc")));
}

TEST_F(CliTest, FoldersWithoutLogsMakeNoOutputFolders) {
  make_dirs(at("logs/only_notes"));
  make_dirs(at("logs/empty"));
  write_file(at("logs/only_notes/readme.md"), "x");
  log("logs/a.txt");
  EXPECT_EQ(run({at("logs")}).status, 0);
  EXPECT_EQ(tree(at("logs_out")), Lines{"a.asc"});
  EXPECT_FALSE(file_exists(at("logs_out/only_notes")));
  EXPECT_FALSE(file_exists(at("logs_out/empty")));

  make_dirs(at("nothing"));
  EXPECT_EQ(run({at("nothing")}).status, 0);
  EXPECT_FALSE(file_exists(at("nothing_out")));
}

TEST_F(CliTest, RelativeInputsAndBackslashesAreNormalized) {
  make_dirs(at("logs/x"));
  log("logs/x/c.txt");
  log("top.txt");
  CliRun r = run({"logs\\x\\c.txt"});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(file_exists(at("logs/x/c.asc")));

  r = run({"logs", ".\\top.txt"});
  EXPECT_EQ(r.status, 132);  // data/ and data/./ are different folders

  r = run({"logs\\", "top.txt"});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(file_exists(at("logs_out/x/c.asc")));
  EXPECT_TRUE(file_exists(at("top.asc")));

  // An output folder is named as it was typed.
  r = run({"-O", "no\\where", "top.txt"});
  EXPECT_EQ(r.status, 133);
  EXPECT_EQ(diagnostics_of(r.err), Lines{"E: Invalid output path: no\\where"});
}

TEST_F(CliTest, AFileNamedWithATrailingSlashIsConverted) {
  log("trip.txt");
  CliRun r = run({at("trip.txt/")});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(looks_like_trace_of_log(read_file(at("trip.asc"))));
}

TEST_F(CliTest, DeleteConvertedRemovesOnlyWhatWasConverted) {
  make_dirs(at("logs"));
  log("logs/a.txt");
  write_file(at("logs/bad.txt"), "no log\n");
  write_file(at("logs/notes.csv"), "x");
  EXPECT_EQ(run({"--delete-converted", at("logs")}).status, 8);
  EXPECT_EQ(tree(at("logs")), (Lines{"bad.txt", "notes.csv"}));
  EXPECT_EQ(tree(at("logs_out")), Lines{"a.asc"});

  log("b.txt");
  EXPECT_EQ(run({"-d", at("b.txt")}).status, 0);
  EXPECT_FALSE(file_exists(at("b.txt")));
  EXPECT_TRUE(file_exists(at("b.asc")));
}

// The report names every log the run converts or fails once, in the order of the diagnostics, with
// the lines the run wrote for it, and closes with the run's totals; a rerun gives the same report
// but for its time. A report that cannot be made stops the run before anything converts.
TEST_F(CliTest, TheRunReportHasALinePerLogAndASummary) {
  make_dirs(at("logs/s"));
  log("logs/a.txt");
  write_file(at("logs/bad.txt"), "no log\n");
  write_file(at("logs/notes.csv"), "x");
  write_file(at("logs/s/strays.txt"), std::string(kLog) + "ERROR: SD card write failure\r\n");
  struct Want {
    std::string input;
    bool converted;
    int frames;
    int strays;
  };
  std::vector<Want> want = {
      {"logs/a.txt", true, 2, 0}, {"logs/bad.txt", false, 0, 0}, {"logs/s/strays.txt", true, 2, 1}};
#ifndef _WIN32
  // A name that is no UTF-8 (Latin-1, as an old logger writes it) still gives JSON, and its bytes.
  log("logs/\xe9t\xe9.txt");
  want.push_back({"logs/\xe9t\xe9.txt", true, 2, 0});
#endif
  const std::string report = at("report.jsonl");
  for (bool remove : {false, true}) {
    const std::string where = remove ? "with -d" : "without -d";
    std::vector<std::string> args = {"--verbosity", "2", "--report=" + report, at("logs")};
    if (remove) args.insert(args.begin(), "-d");
    CliRun r = run(args);
    ASSERT_EQ(r.status, 8) << where << r.err;
    const std::string text = read_file(report);
    std::vector<test::Json> lines;
    ASSERT_TRUE(test::read_json_lines(text, lines)) << where << ": no JSON Lines: " << text;
    ASSERT_EQ(lines.size(), want.size() + 1) << where << ": " << text;
    Lines reported;  // the logs' lines, as the diagnostics show them
    for (std::size_t i = 0; i < want.size(); ++i) {
      const test::Json& o = lines[i];
      const std::string at_log = where + ": " + want[i].input;
      EXPECT_EQ(o["input"].text, want[i].input) << where;
      EXPECT_EQ(o["format"].text, "txt") << at_log;
      EXPECT_EQ(o["result"].text, want[i].converted ? "converted" : "failed") << at_log;
      EXPECT_EQ(o["frames"].integer(), want[i].frames) << at_log;
      EXPECT_EQ(o["stray_lines"].integer(), want[i].strays) << at_log;
      EXPECT_EQ(o["stepped_back"].integer(), 0) << at_log;
      EXPECT_EQ(o["deleted"].boolean, remove && want[i].converted) << at_log;
      EXPECT_EQ(file_exists(at(want[i].input)), !o["deleted"].boolean) << at_log;
      if (want[i].converted) {
        const std::string trace = "logs_out/" + want[i].input.substr(5, want[i].input.size() - 9) + ".asc";
        ASSERT_EQ(o["traces"].items.size(), 1u) << at_log;
        EXPECT_EQ(o["traces"][0]["path"].text, trace) << at_log;
        EXPECT_EQ(o["traces"][0]["size"].integer(), static_cast<std::int64_t>(read_file(at(trace)).size())) << at_log;
      } else {
        EXPECT_TRUE(o["traces"].items.empty()) << at_log;
      }
      for (const test::Json& d : o["diagnostics"].items) {
        const std::string level = d["level"].text;
        reported.push_back((level == "warning" ? "W: " : level == "error" ? "E: " : "?: ") + d["text"].text);
      }
    }
    EXPECT_EQ(reported, diagnostics_of(r.err)) << where;
    EXPECT_EQ(lines[1]["diagnostics"].items.size(), 2u) << where << ": the failed log's lines";
    const test::Json& last = lines.back();
    EXPECT_EQ(last["summary"]["logs"].integer(), static_cast<std::int64_t>(want.size())) << where;
    EXPECT_EQ(last["summary"]["converted"].integer(), static_cast<std::int64_t>(want.size()) - 1) << where;
    EXPECT_EQ(last["summary"]["failed"].integer(), 1) << where;
    EXPECT_EQ(last["summary"]["stray_lines"].integer(), 1) << where;
    EXPECT_EQ(last["status"].integer(), 8) << where;
    EXPECT_TRUE(last.has("shard") && last["shard"].kind == test::Json::Kind::Null) << where;
    EXPECT_EQ(last["seconds"].kind, test::Json::Kind::Number) << where;
    if (remove) break;

    // Run again, with every trace there already: the same report, but for the time it took.
    CliRun again = run(args);
    ASSERT_EQ(again.status, 8) << again.err;
    auto timeless = [](std::string t) { return std::regex_replace(t, std::regex(R"("seconds":[0-9.]+)"), ""); };
    EXPECT_EQ(timeless(read_file(report)), timeless(text));
  }
  // Only the report itself is left beside the logs: no temporary file of it.
  for (const auto& e : std::filesystem::directory_iterator(test::fs_path(data_))) {
    const std::string name = e.path().filename().string();
    EXPECT_TRUE(name == "logs" || name == "logs_out" || name == "report.jsonl") << name;
  }

  std::filesystem::remove_all(test::fs_path(at("logs_out")));
  log("logs/c.txt");
  // Put in place at the end, a report of a log's or a trace's name would replace it.
  const struct {
    std::string report;
    std::string line;
  } refused[] = {
      {"no/where/report.jsonl", "E: Could not open run report: "},
      {"logs/c.txt", "E: Run report must not be named as a log or trace: "},
      {"run.TXT", "E: Run report must not be named as a log or trace: "},
      {"logs_out/c.asc", "E: Run report must not be named as a log or trace: "},
  };
  for (const auto& c : refused) {
    CliRun r = run({"-d", "--report=" + at(c.report), at("logs")});
    EXPECT_EQ(r.status, 133) << c.report;
    EXPECT_EQ(diagnostics_of(r.err), Lines{c.line + at(c.report)});
    EXPECT_FALSE(file_exists(at("logs_out"))) << c.report;
    EXPECT_EQ(read_file(at("logs/c.txt")), kLog) << c.report;
  }
}

// --- lists of inputs, shards ------------------------------------------------------------------

TEST_F(CliTest, ListedLogsAtAnyDepthMirrorTheirPathsBelowTheDeepestRoot) {
  make_dirs(at("rec/a/b"));
  make_dirs(at("rec/c"));
  make_dirs(at("out"));
  log("rec/a/b/trip.txt");
  log("rec/c/x.txt");
  log("rec/top.txt");
  log("rec/c/unlisted.txt");
  // A byte order mark, carriage returns before line feeds, empty lines, no line feed at the end.
  write_file(at("list.txt"),
             "\xEF\xBB\xBF"
             "rec/a/b/trip.txt\r\n\r\n" +
                 at("rec/c/x.txt") + "\n\nrec/top.txt");
  CliRun r = run({"--files-from=list.txt", "-O", "out"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(tree(at("out")), (Lines{"a/b/trip.asc", "c/x.asc", "top.asc"}));
  // The command line alone keeps to one folder.
  EXPECT_EQ(run({at("rec/a/b/trip.txt"), at("rec/top.txt")}).status, 132);
#ifndef _WIN32
  // "-" reads the list from standard input.
  make_dirs(at("piped"));
  const std::string command = "cd '" + data_ + "' && '" QUARN_EXE "' --files-from=- -O piped < list.txt";
  EXPECT_EQ(std::system(command.c_str()), 0);
  EXPECT_EQ(tree(at("piped")), (Lines{"a/b/trip.asc", "c/x.asc", "top.asc"}));
#endif
  // A list without a path: nothing to do.
  write_file(at("empty.txt"), "\n\r\n");
  CliRun empty = run({"--files-from=empty.txt", "-O", "out"});
  EXPECT_EQ(empty.status, 0);
  EXPECT_EQ(empty.err, "");
}

TEST_F(CliTest, AListThatCannotBeReadOrIsUtf16Gives134AndConvertsNothing) {
  log("a.txt");
  write_file(at("utf16.txt"), std::string("\xFF\xFE"
                                          "a\0.\0t\0x\0t\0",
                                          12));
  write_file(at("utf16-no-mark.txt"), std::string("a\0.\0t\0x\0t\0", 10));
  struct Case {
    Lines args;
    std::string message;  // its beginning: the system's words follow for a file it cannot open
  };
  const Case cases[] = {
      {{"--files-from=nosuch.txt", "a.txt"}, "F: Could not read the list of inputs nosuch.txt: "},
      {{"--files-from=utf16.txt"}, "F: The list of inputs utf16.txt is UTF-16; save it as UTF-8, one path per line"},
      {{"--files-from", "utf16-no-mark.txt", "a.txt"},
       "F: The list of inputs utf16-no-mark.txt is UTF-16; save it as UTF-8, one path per line"},
  };
  for (const Case& c : cases) {
    CliRun r = run(c.args);
    EXPECT_EQ(r.status, 134) << c.args[0];
    EXPECT_EQ(r.out, "");
    Lines said = diagnostics_of(r.err);
    ASSERT_EQ(said.size(), 1u) << r.err;
    EXPECT_EQ(said[0].rfind(c.message, 0), 0u) << said[0];
    EXPECT_FALSE(file_exists(at("a.asc")));
  }
}

// Every build on every platform puts a log in the same shard, whatever the letter case of its
// name: a retried task on another machine converts the same logs.
TEST_F(CliTest, ALogsShardIsTheSameOnEveryPlatform) {
  for (const char* name : {"a.txt", "A.TXT", "a_LIN.txt"}) {
    TempDir dir;
    write_file(dir / name, kLog);
    const std::string trace = std::string(name, std::strlen(name) - 4) + ".asc";
    CliRun other = run_quarn(dir.path(), {"--verbosity", "4", "--shard=716/1000", name});
    EXPECT_EQ(other.status, 0);
    EXPECT_FALSE(file_exists(dir / trace)) << name;
    // Passed over without a word but one Debug line.
    EXPECT_EQ(diagnostics_of(other.err), (Lines{"D: Passed over 1 logs of other shards than 716/1000",
                                                "I: Converted 0 of 0 logs, 0 frames, 0 failed"}));
    CliRun r = run_quarn(dir.path(), {"--shard=717/1000", name});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(file_exists(dir / trace)) << name;
  }
}

// N tasks over one list: together the traces, statuses and diagnostics of one run, each log in
// one shard however the list is ordered.
TEST_F(CliTest, ShardsTogetherWriteAndSayWhatOneRunDoes) {
  Lines listed;
  for (int i = 0; i < 48; ++i) {
    const std::string folder = "rec/car" + std::to_string(i % 6) + (i % 2 == 1 ? "/day" : "");
    make_dirs(at(folder));
    const std::string path = folder + "/log" + std::to_string(i) + ".txt";
    if (i % 7 == 3) {
      write_file(at(path), "# header only, no columns\n");
    } else {
      log(path);
    }
    listed.push_back(path);
  }
  // A namesake whose trace takes an earlier log's name: the later one fails in a run of its own,
  // and must do so among shards as well.
  if (names_differ_by_case(data_)) {
    std::string other = kLog;
    other.replace(other.find("12:34:56.789"), 12, "12:34:56.500");
    write_file(at("rec/car2/log2.TXT"), other);
    listed.push_back("rec/car2/log2.TXT");
  }
  listed.push_back("rec/car9/never.txt");
  std::string list;
  for (const std::string& p : listed) list += p + "\n";
  write_file(at("list.txt"), list);
  // The same list, its first line moved to the end.
  write_file(at("rotated.txt"), list.substr(list.find('\n') + 1) + listed[0] + "\n");
  for (const char* out : {"one", "all", "fwd", "rot"}) make_dirs(at(out));

  CliRun single = run({"--verbosity", "2", "--files-from=list.txt", "-O", "one"});
  Lines expected = diagnostics_of(single.err);
  std::sort(expected.begin(), expected.end());
  int status = 0;
  Lines said;
  for (int k = 0; k < 3; ++k) {
    CliRun r = run({"--verbosity", "2", "--files-from=list.txt", "--shard=" + std::to_string(k) + "/3", "-O", "all",
                    "--jobs", k == 1 ? "2" : "1"});
    status |= r.status;
    for (const std::string& line : diagnostics_of(r.err)) said.push_back(line);
  }
  std::sort(said.begin(), said.end());
  EXPECT_EQ(status, single.status);
  EXPECT_EQ(single.status, 9);
  EXPECT_EQ(said, expected);
  const Lines traces = tree(at("one"));
  EXPECT_EQ(tree(at("all")), traces);
  for (const std::string& t : traces) EXPECT_EQ(read_file(at("all/" + t)), read_file(at("one/" + t))) << t;

  EXPECT_NE(run({"--files-from=list.txt", "--shard=0/2", "-O", "fwd"}).status, -1);
  EXPECT_NE(run({"--files-from=rotated.txt", "--shard=0/2", "-O", "rot"}).status, -1);
  const Lines part = tree(at("fwd"));
  EXPECT_EQ(tree(at("rot")), part);
  EXPECT_LT(part.size(), traces.size());
  EXPECT_GT(part.size(), 0u);
}

TEST_F(CliTest, ARetriedTaskUnderDeleteTakesListedLogsGoneWithTheirTracesAsDone) {
  make_dirs(at("rec/a"));
  make_dirs(at("out"));
  log("rec/a/one.txt");
  log("rec/two.txt");
  write_file(at("list.txt"), "rec/a/one.txt\nrec/two.txt\n");
  EXPECT_EQ(run({"-d", "--files-from=list.txt", "-O", "out"}).status, 0);
  EXPECT_EQ(tree(at("rec")), Lines{});
  CliRun again = run({"--verbosity", "3", "-d", "--files-from=list.txt", "-O", "out"});
  EXPECT_EQ(again.status, 0);
  EXPECT_EQ(diagnostics_of(again.err),
            (Lines{"I: a/one.txt is gone and its traces are there: converted by an earlier run",
                   "I: two.txt is gone and its traces are there: converted by an earlier run",
                   "I: Converted 0 of 0 logs, 0 frames, 0 failed"}));
  EXPECT_EQ(tree(at("out")), (Lines{"a/one.asc", "two.asc"}));
  // A path that was never there still fails the task; and without -d a gone log is missing as ever.
  write_file(at("list.txt"), "rec/a/one.txt\nrec/never.txt\n");
  CliRun never = run({"--verbosity", "2", "-d", "--files-from=list.txt", "-O", "out"});
  EXPECT_EQ(never.status, 1);
  EXPECT_EQ(diagnostics_of(never.err), Lines{"W: Could not find input file/folder never.txt"});
  CliRun kept = run({"--verbosity", "2", "--files-from=list.txt", "-O", "out"});
  EXPECT_EQ(kept.status, 1);
  EXPECT_EQ(diagnostics_of(kept.err),
            (Lines{"W: Could not find input file/folder a/one.txt", "W: Could not find input file/folder never.txt"}));
}

#ifndef _WIN32
// Shards started at once race to make the same deep folders of a fresh output tree.
TEST_F(CliTest, ShardsStartedAtOnceShareTheFoldersTheyMake) {
  std::string list;
  for (int f = 0; f < 40; ++f) {
    const std::string folder = "rec/f" + std::to_string(f) + "/a/b/c/d/e";
    make_dirs(at(folder));
    for (int i = 0; i < 6; ++i) {
      log(folder + "/log" + std::to_string(i) + ".txt");
      list += folder + "/log" + std::to_string(i) + ".txt\n";
    }
  }
  write_file(at("list.txt"), list);
  make_dirs(at("out"));
  constexpr int kShards = 4;
  int pids[kShards];
  for (int k = 0; k < kShards; ++k) {
    pids[k] = test::start_quarn(data_, {"--files-from=list.txt", "--shard=" + std::to_string(k) + "/4", "-O", "out"});
    ASSERT_GT(pids[k], 0);
  }
  for (int pid : pids) {
    int wstatus = 0;
    ASSERT_EQ(waitpid(pid, &wstatus, 0), pid);
    EXPECT_TRUE(WIFEXITED(wstatus));
    EXPECT_EQ(WEXITSTATUS(wstatus), 0);
  }
  EXPECT_EQ(tree(at("out")).size(), 240u);
}
#endif

// B.TXT and B.txt both make B.asc: the first in walk order keeps it, the later one fails and its
// input stays, whether inputs are deleted or not.
TEST_F(CliTest, ALaterLogOfAnEarlierLogsTraceNameFailsAndIsKept) {
  if (!names_differ_by_case(data_)) GTEST_SKIP() << "this file system does not tell names apart by case";
  for (bool remove : {false, true}) {
    TempDir dir;
    const std::string logs = dir / "logs";
    make_dirs(logs);
    write_file(logs + "/B.TXT", kLog);
    std::string other = kLog;
    other.replace(other.find("12:34:56.789"), 12, "12:34:56.500");
    write_file(logs + "/B.txt", other);
    std::vector<std::string> args = {logs};
    if (remove) args.insert(args.begin(), "-d");
    CliRun r = run_quarn(dir.path(), args);
    EXPECT_EQ(r.status, 8) << remove;
    EXPECT_EQ(test::messages_of(r.err),
              (Lines{"Output file already written in this run: logs_out/B.asc", "Error during end file callback",
                     "Error during conversion of logs/B.txt"}))
        << remove;
    EXPECT_TRUE(looks_like_trace_of_log(read_file(dir / "logs_out/B.asc"))) << remove;
    EXPECT_EQ(tree(dir / "logs_out"), Lines{"B.asc"}) << remove;
    EXPECT_EQ(tree(logs), remove ? Lines{"B.txt"} : (Lines{"B.TXT", "B.txt"})) << remove;
  }
}

// A logger that numbers its logs anew each day, converted each night into one tree with -d: the
// earlier log is gone, so its traces must not be replaced by another log's. Every trace of the log
// is checked before any is put in place; a rerun over the same log stays idempotent; without -d
// the log is still there, and traces are replaced as ever.
TEST_F(CliTest, UnderDeleteAnEarlierTraceOfOtherBytesIsNeverReplaced) {
  make_dirs(at("out"));
  const std::string other = std::string(kLog) + "12:34:58.000;0;0;7FF;1;FF\r\n";
  log("LOG00001.TXT");
  ASSERT_EQ(run({"-d", "-F", "asc,mf4", "-O", at("out"), at("LOG00001.TXT")}).status, 0);
  const std::string asc = read_file(at("out/LOG00001.asc"));
  const std::string mf4 = read_file(at("out/LOG00001.mf4"));

  // The same log again: the same bytes, put in place again, and the log goes.
  log("LOG00001.TXT");
  CliRun r = run({"-d", "-F", "asc,mf4", "-O", at("out"), at("LOG00001.TXT")});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_FALSE(file_exists(at("LOG00001.TXT")));

  // The next day's log of that name: both traces differ, both stay, the log stays.
  write_file(at("LOG00001.TXT"), other);
  r = run({"-d", "-F", "asc,mf4", "-O", at("out"), at("LOG00001.TXT")});
  EXPECT_EQ(r.status, 8);
  EXPECT_EQ(diagnostics_of(r.err),
            (Lines{"E: Output file exists with other contents: LOG00001.asc",
                   "E: Output file exists with other contents: LOG00001.mf4", "E: Error during end file callback",
                   "E: Error during conversion of LOG00001.TXT"}));
  EXPECT_EQ(read_file(at("out/LOG00001.asc")), asc);
  EXPECT_EQ(read_file(at("out/LOG00001.mf4")), mf4);
  EXPECT_TRUE(file_exists(at("LOG00001.TXT")));

  // Only the ASC trace is there: it differs, so the new MDF4 trace is not put in place either.
  std::filesystem::remove(at("out/LOG00001.mf4"));
  r = run({"-d", "-F", "asc,mf4", "-O", at("out"), at("LOG00001.TXT")});
  EXPECT_EQ(r.status, 8);
  EXPECT_EQ(read_file(at("out/LOG00001.asc")), asc);
  EXPECT_FALSE(file_exists(at("out/LOG00001.mf4")));
  Lines names;
  for (const auto& e : std::filesystem::directory_iterator(at("out"))) names.push_back(e.path().filename().string());
  EXPECT_EQ(names, Lines{"LOG00001.asc"});

  // Without -d the log stays anyway: the traces are replaced.
  r = run({"-F", "asc,mf4", "-O", at("out"), at("LOG00001.TXT")});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(read_file(at("out/LOG00001.asc")), asc);
  EXPECT_TRUE(file_exists(at("out/LOG00001.mf4")));
}

TEST_F(CliTest, FilesAreConvertedInByteOrderOfTheirNames) {
  // Files that fail to convert show the order in which they were taken.
  make_dirs(at("logs"));
  for (const char* name : {"b.txt", "log2.txt", "A.txt", "a.txt", "log10.txt"}) write_file(at(std::string("logs/") + name), "x\n");
  CliRun r = run({at("logs")});
  EXPECT_EQ(r.status, 8);
  Lines expected{"logs/A.txt", "logs/a.txt", "logs/b.txt", "logs/log10.txt", "logs/log2.txt"};
  if (!names_differ_by_case(data_)) expected.erase(expected.begin() + 1);  // "a.txt" is "A.txt" again
  Lines order;
  for (const std::string& line : diagnostics_of(r.err)) {
    if (line.rfind("E: Error during conversion of ", 0) == 0) order.push_back(line.substr(30));
  }
  EXPECT_EQ(order, expected);
}

TEST_F(CliTest, ALinkCycleEndsAndEveryLogIsConvertedOnce) {
  make_dirs(at("logs/x"));
  log("logs/a.txt");
  log("logs/x/c.txt");
  QUARN_SYMLINK("..", at("logs/x/back").c_str());
  CliRun r = run_quarn(data_, {at("logs")}, 30);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(tree(at("logs_out")), (Lines{"a.asc", "x/c.asc"}));
}

TEST_F(CliTest, APathThatCannotBeExaminedEndsTheRunWith129) {
  QUARN_SYMLINK("loop", at("loop").c_str());
  log("a.txt");
  log("z.txt");
  CliRun r = run({at("a.txt"), at("loop"), at("z.txt")});
  EXPECT_EQ(r.status, 129);
  EXPECT_EQ(diagnostics_of(r.err), (Lines{"E: Could not stat path " + at("loop"), "F: Could not query loop for information"}));
  EXPECT_TRUE(file_exists(at("a.asc")));
  EXPECT_FALSE(file_exists(at("z.asc")));

  // The report made while parsing passes at every verbosity; the walk's own query fails with -X.
  r = run({"--verbosity", "0", "-X", at("loop"), at("z.txt")});
  EXPECT_EQ(r.status, 129);
  EXPECT_EQ(diagnostics_of(r.err), (Lines{"E: Could not stat path " + at("loop"), "F: Error during stat of loop, exiting"}));
  EXPECT_FALSE(file_exists(at("z.asc")));
}

TEST_F(CliTest, ZeroPaddingAfterTheLastLineConvertsAndDataBehindAZeroByteFailsTheLog) {
  log("plain.txt");
  ASSERT_EQ(run({at("plain.txt")}).status, 0);
  const std::string reference = read_file(at("plain.asc"));
  const struct {
    std::string tail;
    bool clean;
  } cases[] = {
      {std::string(200, '\0'), true},
      {std::string(1 << 20, '\0'), true},
      {std::string(1, '\0') + "12:34:58.000;0;0;7FF;0;\r\n", false},
      {std::string(300, '\0') + "\r\n", false},
  };
  for (const auto& c : cases) {
    for (const Lines& options : {Lines{}, Lines{"-d"}}) {
      const std::string where = std::to_string(c.tail.size()) + " bytes" + (options.empty() ? "" : " with -d");
      std::remove(at("padded.asc").c_str());
      write_file(at("padded.txt"), kLog + c.tail);
      Lines args = options;
      args.push_back(at("padded.txt"));
      CliRun r = run(args);
      if (c.clean) {
        EXPECT_EQ(r.status, 0) << where;
        EXPECT_EQ(r.err, "") << where;
        EXPECT_EQ(read_file(at("padded.asc")), reference) << where;
        EXPECT_EQ(file_exists(at("padded.txt")), options.empty()) << where;
      } else {
        EXPECT_EQ(r.status, 8) << where;
        EXPECT_EQ(diagnostics_of(r.err), (Lines{"E: Could not read input file to its end: padded.txt",
                                                "E: Error during end file callback", "E: Error during conversion of padded.txt"}))
            << where;
        EXPECT_FALSE(file_exists(at("padded.asc"))) << where;
        EXPECT_EQ(read_file(at("padded.txt")), kLog + c.tail) << where;
      }
    }
  }
}

TEST_F(CliTest, LinksThatLeadNowhereAreLeftOutAtEveryDepth) {
  make_dirs(at("logs/d1/d2"));
  for (const std::string folder : {"logs/", "logs/d1/", "logs/d1/d2/"}) {
    log(folder + "a.txt");
    QUARN_SYMLINK("self.txt", at(folder + "self.txt").c_str());
    QUARN_SYMLINK("y", at(folder + "x").c_str());
    QUARN_SYMLINK("x", at(folder + "y").c_str());
    QUARN_SYMLINK("nowhere", at(folder + "gone.txt").c_str());
  }
  CliRun r = run({"--verbosity", "4", at("logs")});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(diagnostics_of(r.err), Lines{"I: Converted 3 of 3 logs, 6 frames, 0 failed"});
  EXPECT_EQ(tree(at("logs_out")), (Lines{"a.asc", "d1/a.asc", "d1/d2/a.asc"}));
}

TEST_F(CliTest, StrayLinesAreSkippedAndCountedBetweenTheSkipWarningAndTheEndCheck) {
  write_file(at("strays.txt"), std::string(kLog) + "\r\nERROR: SD card write failure\r\n");
  CliRun r = run({"--verbosity", "3", at("strays.txt")});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(looks_like_trace_of_log(read_file(at("strays.asc"))));
  EXPECT_EQ(diagnostics_of(r.err), (Lines{"W: Skipped stray lines in strays.txt: 2",
                                          "I: Converted 1 of 1 logs, 2 frames, 0 failed, 2 stray lines"}));

  // A frame half a second back, a blank line, and a frame hidden behind a zero byte.
  write_file(at("order.txt"), std::string(kLog) + "12:34:56.500;0;0;1;0;\r\n\r\n" + std::string(1, '\0') + "junk\n");
  r = run({"--verbosity", "2", at("order.txt")});
  EXPECT_EQ(r.status, 8);
  EXPECT_EQ(diagnostics_of(r.err),
            (Lines{"W: Skipping non-increasing timestamp: 1706704497.001000",
                   "W: Skipped frames stepping back in time in order.txt: 1", "W: Skipped stray lines in order.txt: 1",
                   "E: Could not read input file to its end: order.txt", "E: Error during end file callback",
                   "E: Error during conversion of order.txt"}));
}

// Frames whose time steps back are skipped, as the format defines; the traces then lack them, so
// the log stays even with -d, and a log none of whose frames lies in time order fails.
TEST_F(CliTest, FramesSteppingBackAreCountedAndKeepTheLog) {
  write_file(at("step.txt"), std::string(kLog) + "12:34:56.500;0;0;1;0;\r\n12:34:58.000;0;0;2;0;\r\n");
  CliRun r = run({"-d", "--verbosity", "3", at("step.txt")});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(file_exists(at("step.txt")));
  EXPECT_TRUE(file_exists(at("step.asc")));
  EXPECT_EQ(diagnostics_of(r.err), (Lines{"W: Skipping non-increasing timestamp: 1706704497.001000",
                                          "W: Skipped frames stepping back in time in step.txt: 1",
                                          "I: Converted 1 of 1 logs, 3 frames, 0 failed, 1 frames stepping back"}));

  // A start time the frames need but cannot take fails the log before any frame is dated from
  // it; one the frames need not, since they carry the full date, is passed over with a warning.
  // A log whose only frame steps back (a year after 3000 dates it -1) converts nothing and fails.
  const std::string time_line = "# Time: 20240131T120000\r\n";
  const std::string format_line = "# Time format: 3\r\n";
  const std::string frames = "12:34:56.789;0;0;123;8;0102030405060708\r\n12:34:57.001;0;1;18FF0102;2;A0B1\r\n";
  const std::string dated = "20240131T123456.789;0;0;123;8;0102030405060708\r\n";
  const auto unreadable = [](const std::string& text) {
    return Lines{"E: Could not read the start time of when.txt: " + text, "E: Error during conversion of when.txt",
                 "I: Converted 0 of 1 logs, 0 frames, 1 failed"};
  };
  const struct {
    const char* what;
    std::string time;    // replaces the "# Time: " line
    std::string format;  // replaces the "# Time format: " line
    std::string records;
    int status;
    Lines messages;
  } cases[] = {
      {"another layout", "# Time: 31.01.2024 12:00:00\r\n", format_line, frames, 8, unreadable("31.01.2024 12:00:00")},
      {"slashes", "# Time: 2024/01/31 12:00:00\r\n", format_line, frames, 8, unreadable("2024/01/31 12:00:00")},
      {"after 3000", "# Time: 30240131T120000\r\n", format_line, frames, 8, unreadable("30240131T120000")},
      {"before 1970", "# Time: 19600131T120000\r\n", format_line, frames, 8, unreadable("19600131T120000")},
      {"February 30", "# Time: 20240230T120000\r\n", format_line, frames, 8, unreadable("20240230T120000")},
      {"no time line", "", format_line, frames, 8, unreadable("none given")},
      {"full dates, no time line",
       "",
       "# Time format: 6\r\n",
       dated,
       0,
       {"W: Passed over the start time of when.txt: its frames carry their own",
        "I: Converted 1 of 1 logs, 1 frames, 0 failed"}},
      {"full dates, another layout",
       "# Time: 31.01.2024 12:00:00\r\n",
       "# Time format: 6\r\n",
       dated,
       0,
       {"W: Passed over the start time of when.txt: its frames carry their own",
        "I: Converted 1 of 1 logs, 1 frames, 0 failed"}},
      {"full dates, a whole start time",
       time_line,
       "# Time format: 6\r\n",
       dated,
       0,
       {"I: Converted 1 of 1 logs, 1 frames, 0 failed"}},
      {"one frame stepping back",
       time_line,
       "# Time format: 6\r\n",
       "30010101T000000.000;0;0;123;0;\r\n",
       8,
       {"W: Skipped frames stepping back in time in when.txt: 1", "E: No frame of when.txt lies in time order",
        "E: Error during conversion of when.txt",
        "I: Converted 0 of 1 logs, 0 frames, 1 failed, 1 frames stepping back"}},
  };
  // The frame with its full date, whatever the header says.
  const std::string dated_trace = "date Wed Jan 31 12:34:56 2024\nbase hex  timestamps absolute\nBegin Triggerblock\n" +
                                  std::string("   0.789000 CANFD   1 Rx        123") + std::string(35, ' ') +
                                  "0 0 8  8 01 02 03 04 05 06 07 08        0    0        0        0        0        0 "
                                  "       0        0\nEnd Triggerblock\n";
  for (const auto& c : cases) {
    std::string text = kLog;
    text.replace(text.find(time_line), time_line.size(), c.time);
    text.replace(text.find(format_line), format_line.size(), c.format);
    text.replace(text.find(frames), frames.size(), c.records);
    write_file(at("when.txt"), text);
    std::remove(at("when.asc").c_str());
    r = run({"-d", "--verbosity", "3", at("when.txt")});
    EXPECT_EQ(r.status, c.status) << c.what;
    EXPECT_EQ(file_exists(at("when.txt")), c.status != 0) << c.what;
    EXPECT_EQ(file_exists(at("when.asc")), c.status == 0) << c.what;
    EXPECT_EQ(diagnostics_of(r.err), c.messages) << c.what;
    if (c.status == 0) {
      EXPECT_EQ(read_file(at("when.asc")), dated_trace) << c.what;
    }
  }
}

TEST_F(CliTest, ALogSavedWithAByteOrderMarkConverts) {
  write_file(at("marked.txt"), "\xEF\xBB\xBF" + std::string(kLog));
  CliRun r = run({at("marked.txt")});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(looks_like_trace_of_log(read_file(at("marked.asc"))));
}

// A trace that cannot be opened (its folder is a file) and an input that cannot be examined (a
// link to itself), at each verbosity: Debug lines name the failed call from 4 on, the closing
// count comes from 3 on, and nothing else changes.
TEST_F(CliTest, DebugLinesNameTheFailedCallAndInfoCountsTheRun) {
  make_dirs(at("logs"));
  log("logs/a.txt");
  make_dirs(dir_ / "out");
  write_file(dir_ / "out/logs_out", "a file where a folder must go");
  QUARN_SYMLINK("loop", at("loop").c_str());
  const Lines errors = {"E: Could not stat path " + at("loop"), "E: Could not open output file for CAN: logs_out/a.asc",
                        "E: Error during end file callback", "E: Error during conversion of logs/a.txt",
                        "F: Could not query loop for information"};
  Lines debug = errors;
  debug.insert(debug.begin() + 2, "D: open " + dir_ / "out/logs_out/a.asc.PID.part: Not a directory");
  debug.push_back("D: stat " + at("loop") + ": Too many levels of symbolic links");
  debug.push_back("I: Converted 0 of 1 logs, 2 frames, 1 failed");
  Lines info = errors;
  info.push_back(debug.back());
  const struct {
    const char* verbosity;
    Lines expected;
  } cases[] = {{"1", errors}, {"2", errors}, {"3", info}, {"4", debug}, {"5", debug}};
  for (const auto& c : cases) {
    CliRun r = run({"--verbosity", c.verbosity, "-O", dir_ / "out", at("logs"), at("loop")});
    EXPECT_EQ(r.status, 129) << c.verbosity;  // the failed query ends the run with 129 alone
    Lines got = diagnostics_of(r.err);
    for (std::string& line : got) line = std::regex_replace(line, std::regex(R"(\.asc\.[0-9]+\.[0-9]+\.part)"), ".asc.PID.part");
    EXPECT_EQ(got, c.expected) << "verbosity " << c.verbosity;
  }
  // Without the option, as at 1.
  EXPECT_EQ(diagnostics_of(run({"-O", dir_ / "out", at("logs"), at("loop")}).err), errors);
}

TEST_F(CliTest, OptionsThatChangeNothingVisible) {
  log("a.txt");
  for (const Lines& args : {Lines{"-i", "a.txt"}, Lines{"--input-files", "a.txt"}, Lines{"--non-interactive", "a.txt"},
                            Lines{"-b", "0", "a.txt"}, Lines{"-b", "-1", "a.txt"}, Lines{"--buffer=64KB", "a.txt"},
                            Lines{"-b", "0x10", "a.txt"}}) {
    std::remove(at("a.asc").c_str());
    CliRun r = run(args);
    EXPECT_EQ(r.status, 0) << args[0] << " " << args[1];
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_TRUE(looks_like_trace_of_log(read_file(at("a.asc")))) << args[0] << " " << args[1];
  }
}

TEST_F(CliTest, TheExampleLogsConvert) {
  const char* source = std::getenv("QUARN_SOURCE_DIR");
  if (source == nullptr) GTEST_SKIP() << "QUARN_SOURCE_DIR is not set";
  std::filesystem::copy(std::string(source) + "/examples", at("examples"), std::filesystem::copy_options::recursive);
  Lines logs;
  for (const std::string& f : tree(at("examples"))) {
    std::string ext = f.size() > 4 ? f.substr(f.size() - 4) : "";
    for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (ext == ".txt") logs.push_back(f.substr(0, f.size() - 4) + ".asc");
  }
  std::sort(logs.begin(), logs.end());
  ASSERT_GE(logs.size(), 3u);
  CliRun r = run({"examples"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out + r.err, "");
  EXPECT_EQ(tree(at("examples_out")), logs);
  for (const std::string& asc : logs) {
    std::string text = read_file(at("examples_out/" + asc));
    EXPECT_EQ(text.rfind("date ", 0), 0u) << asc;
    EXPECT_NE(text.find("\nBegin Triggerblock\n"), std::string::npos) << asc;
  }
}

}  // namespace
}  // namespace quarn
