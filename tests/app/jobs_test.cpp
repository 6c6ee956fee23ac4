// --jobs gives the results of one log after another: the same traces, statuses, diagnostic lines
// (after their time and ids) and remaining inputs, on a tree where logs of all sizes convert and
// fail side by side. The parallel runs repeat, to give races a chance to show.

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "app/cli_run.h"
#include "gen_log.h"
#include "support/generated_log.h"
#include "support/json_reader.h"
#include "support/temp_dir.h"

namespace quarn {
namespace {

using test::CliRun;
using test::diagnostics_of;
using test::make_dirs;
using test::read_file;
using test::TempDir;
using test::write_file;
using Lines = std::vector<std::string>;

// Every file below `folder` with its bytes, and every empty folder.
std::map<std::string, std::string> contents(const std::string& folder) {
  std::map<std::string, std::string> files;
  if (!std::filesystem::exists(folder)) return files;
  for (const auto& e : std::filesystem::recursive_directory_iterator(
           folder, std::filesystem::directory_options::skip_permission_denied)) {
    std::string name = std::filesystem::relative(e.path(), folder).string();
    if (e.is_regular_file()) {
      files[name] = read_file(e.path().string());
    } else if (e.is_directory() && std::filesystem::is_empty(e.path())) {
      files[name + "/"] = "";
    }
  }
  return files;
}

// "" when the lines are equal, else where they first differ: a log with thousands of warnings
// makes a whole list unreadable.
std::string first_difference(const Lines& got, const Lines& want) {
  for (std::size_t i = 0; i < std::max(got.size(), want.size()); ++i) {
    const std::string g = i < got.size() ? got[i] : "(none)";
    const std::string w = i < want.size() ? want[i] : "(none)";
    if (g != w) return "line " + std::to_string(i + 1) + " is \"" + g + "\" instead of \"" + w + "\"";
  }
  return "";
}

struct Outcome {
  int status = -1;
  Lines diagnostics;
  std::map<std::string, std::string> traces;
  std::map<std::string, std::string> inputs;
  std::string report;             // the run report, but for its time
  Lines report_diagnostics;       // its logs' lines, as the diagnostics show them
  std::int64_t report_logs = -1;  // the logs its summary counts
};

class JobsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The logs: small and large ones, so that several are in hand at once and finish out of order.
    for (int i = 0; i < 14; ++i)
      logs_.push_back(test::generated_log(100 + static_cast<std::uint64_t>(i), i % 4 == 0 ? 20000 : 40 * (i + 1)));
    // Stray lines and a step back in time, for warnings in the middle of a log's lines.
    strays_ = test::generated_log(7, 300);
    strays_.insert(strays_.find("\n12:00:0") + 1, "ERROR: SD card write failure\n\n");
    // The second-to-last frame once more at the end: a step back in time, skipped with a warning.
    back_ = test::generated_log(8, 50);
    std::size_t last = back_.rfind('\n', back_.size() - 2);
    std::size_t before = back_.rfind('\n', last - 1);
    back_ += back_.substr(before + 1, last - before);
    // The trees go where the user quarn runs as can enter them.
    work_root_ = std::filesystem::temp_directory_path().string();
    if (geteuid() == 0) {
      const passwd* nobody = getpwnam("nobody");
      if (nobody == nullptr) {
        cannot_run_as_other_ = "running as root and there is no user \"nobody\" to run quarn as";
        return;
      }
      as_ = test::RunAs{nobody->pw_uid, nobody->pw_gid};
      as_root_ = true;
      work_root_ = test::folder_reachable_by(as_);
      if (work_root_.empty()) {
        cannot_run_as_other_ = "the user \"nobody\" cannot be switched to, or can enter no temporary folder";
      }
    }
  }

  // A fresh tree in `dir`: logs that convert, and each kind of failure among them.
  void make_tree(const std::string& dir) {
    const std::string logs = dir + "/logs";
    make_dirs(logs + "/a/deep");
    make_dirs(logs + "/b");
    make_dirs(logs + "/keep");
    for (std::size_t i = 0; i < logs_.size(); ++i) {
      write_file(logs +
                     (i % 3 == 0   ? "/a/deep/"
                      : i % 3 == 1 ? "/a/"
                                   : "/b/") +
                     "log" + std::to_string(10 + i) + ".txt",
                 logs_[i]);
    }
    write_file(logs + "/a/strays.txt", strays_);
    write_file(logs + "/a/back.txt", back_);
    write_file(logs + "/a/empty.txt", "");
    write_file(logs + "/a/unreadable.txt", logs_[1]);
    // Two logs, one trace: the first in walk order keeps it.
    write_file(logs + "/b/Same.TXT", logs_[2]);
    write_file(logs + "/b/Same.txt", logs_[3]);
    // A trace blocked by a folder of its name.
    write_file(logs + "/b/blocked.txt", logs_[5]);
    make_dirs(dir + "/logs_out/b/blocked.asc/in-the-way");
    make_dirs(dir + "/logs_out/b/blocked.mf4/in-the-way");
    make_dirs(dir + "/logs_out/b/blocked.blf/in-the-way");
    // Logs that -d cannot remove: their folder is not the converting user's.
    write_file(logs + "/keep/k1.txt", logs_[6]);
    write_file(logs + "/keep/k2.txt", logs_[7]);
    if (as_root_) {
      // The other user writes everywhere but in keep/ and cannot read unreadable.txt.
      for (const auto& e : std::filesystem::recursive_directory_iterator(dir)) {
        if (e.path().filename() == "unreadable.txt" || e.path().string().find("/keep") != std::string::npos) continue;
        ASSERT_EQ(chown(e.path().c_str(), as_.uid, as_.gid), 0);
      }
      ASSERT_EQ(chown(dir.c_str(), as_.uid, as_.gid), 0);
      ASSERT_EQ(chmod((logs + "/keep").c_str(), 0755), 0);
    }
    ASSERT_EQ(chmod((logs + "/a/unreadable.txt").c_str(), 0), 0);
  }

  Outcome run(const std::string& dir, const Lines& args) {
    Outcome o;
    CliRun r = test::run_quarn(dir, args, 120, as_root_ ? &as_ : nullptr);
    if (r.status == test::kCouldNotSwitchUser || r.status == test::kOtherUserCannotReach) {
      skipped_ = r.status == test::kCouldNotSwitchUser ? "could not switch to the user \"nobody\""
                                                       : "the user \"nobody\" can reach no copy of quarn";
      return o;
    }
    o.status = r.status;
    // The Debug lines name full paths, with the run's folder and temporary names in them.
    static const std::regex temporary_name(R"(\.(asc|mf4|blf)\.[0-9]+\.[0-9]+\.part)");
    auto tidy = [&dir](std::string line) {
      for (std::size_t at = line.find(dir); at != std::string::npos; at = line.find(dir))
        line.replace(at, dir.size(), "DIR");
      // A regular expression is slow in an unoptimised build, and most lines name no such file.
      if (line.find(".part") != std::string::npos) line = std::regex_replace(line, temporary_name, ".$1.PID.N.part");
      return line;
    };
    for (const std::string& line : diagnostics_of(r.err)) o.diagnostics.push_back(tidy(line));
    o.traces = contents(dir + "/logs_out");
    o.inputs = contents(dir + "/logs");
    // Only the runs that ask for one have a report.
    if (!test::file_exists(dir + "/report.jsonl")) return o;
    const std::string report = read_file(dir + "/report.jsonl");
    o.report = tidy(std::regex_replace(report, std::regex(R"("seconds":[0-9.]+)"), ""));
    std::vector<test::Json> lines;
    EXPECT_TRUE(test::read_json_lines(report, lines)) << "no JSON Lines: " << report;
    for (const test::Json& log : lines) {
      if (log.has("summary")) o.report_logs = log["summary"]["logs"].integer();
      for (const test::Json& d : log["diagnostics"].items) {
        const std::string& level = d["level"].text;
        const char* letter = level == "debug" ? "D: " : level == "warning" ? "W: " : level == "error" ? "E: " : "?: ";
        o.report_diagnostics.push_back(tidy(letter + d["text"].text));
      }
    }
    return o;
  }

  std::vector<std::string> logs_;
  std::string strays_;
  std::string back_;
  test::RunAs as_{};
  bool as_root_ = false;
  std::string work_root_;
  std::string cannot_run_as_other_;  // why the tests that need another user cannot run
  std::string skipped_;              // why a run as the other user did not happen
};

TEST_F(JobsTest, ManyJobsGiveTheResultsOfOne) {
  if (!cannot_run_as_other_.empty()) GTEST_SKIP() << cannot_run_as_other_;
  const char* rounds_text = std::getenv("QUARN_JOBS_ROUNDS");
  const int rounds = rounds_text != nullptr ? std::max(1, std::atoi(rounds_text)) : 6;
  for (const std::string format : {"asc", "mf4", "asc,mf4", "blf"}) {
    for (bool remove : {false, true}) {
      const std::string where = "--format " + format + (remove ? " -d" : "");
      Lines args = {"--verbosity", "4", "--format", format, "--report=report.jsonl", "logs"};
      if (remove) args.insert(args.begin(), "-d");
      TempDir one(work_root_);
      make_tree(one.path());
      Lines sequential = args;
      sequential.insert(sequential.begin(), {"--jobs", "1"});
      Outcome want = run(one.path(), sequential);
      if (!skipped_.empty()) GTEST_SKIP() << skipped_;
      ASSERT_EQ(want.status, 8) << where;
      // Every line but the closing count belongs to a log, and the report has them in that order.
      ASSERT_FALSE(want.diagnostics.empty()) << where;
      EXPECT_EQ(want.report_diagnostics, Lines(want.diagnostics.begin(), want.diagnostics.end() - 1)) << where;
      EXPECT_EQ(want.report_logs, std::count(want.report.begin(), want.report.end(), '\n') - 1) << where;
      // The failures are all there, each once.
      // The first format's trace meets each failure first.
      const std::string first = format.substr(0, format.find(','));
      const std::string what = first == "asc" ? "CAN" : first == "mf4" ? "MDF4" : "BLF";
      const std::string same = "E: Output file already written in this run: logs_out/b/Same." + first;
      const std::string blocked = "E: Could not move " + what + " trace into place: logs_out/b/blocked." + first;
      for (const std::string& expected :
           {std::string("E: Could not open input file logs/a/unreadable.txt"), std::string("E: Could not open log"),
            std::string("W: Skipping non-increasing timestamp"), same, blocked}) {
        auto starts = [&](const std::string& line) { return line.rfind(expected, 0) == 0; };
        EXPECT_EQ(std::count_if(want.diagnostics.begin(), want.diagnostics.end(), starts), 1)
            << where << ": " << expected;
      }
      const std::string ext = "." + first;
      EXPECT_TRUE(want.traces.count("b/Same" + ext) == 1 && want.traces.count("a/deep/log10" + ext) == 1) << where;
      if (remove) {
        EXPECT_EQ(want.inputs.count("keep/k1.txt"), 1u) << where;
        EXPECT_EQ(want.inputs.count("a/log11.txt"), 0u) << where;
      }
      for (int round = 0; round < rounds; ++round) {
        TempDir many(work_root_);
        make_tree(many.path());
        Lines parallel = args;
        parallel.insert(parallel.begin(), {"--jobs", round % 2 == 0 ? "4" : "3"});
        Outcome got = run(many.path(), parallel);
        const std::string at = where + ", round " + std::to_string(round);
        EXPECT_EQ(got.status, want.status) << at;
        EXPECT_EQ(got.diagnostics, want.diagnostics) << at;
        // The report follows the diagnostics: its lines in walk order, each log's own lines in it.
        EXPECT_EQ(got.report, want.report) << at;
        EXPECT_TRUE(got.traces == want.traces) << at << ": the traces differ";
        EXPECT_TRUE(got.inputs == want.inputs) << at << ": the remaining inputs differ";
        for (const auto& [name, bytes] : got.traces) {
          EXPECT_EQ(name.find(".part"), std::string::npos) << at << ": " << name;
        }
      }
    }
  }
}

// The walk's own lines (folders it cannot list, inputs that are missing) come out where one job
// puts them, also before a log whose lines overflow what a job may hold, and after the last log.
TEST_F(JobsTest, TheWalksOwnLinesKeepTheirPlace) {
  if (!cannot_run_as_other_.empty()) GTEST_SKIP() << cannot_run_as_other_;
  // Each frame line followed by the one before it, a step back in time: a warning for nearly
  // every frame, far more than a log may hold back.
  const std::string clean = test::generated_log(9, 3000);
  std::size_t at = clean.find("\n12:00:0") + 1;
  std::string noisy = clean.substr(0, at);
  std::string previous;
  while (at < clean.size()) {
    const std::size_t end = clean.find('\n', at) + 1;
    const std::string line = clean.substr(at, end - at);
    noisy += line + previous;
    previous = line;
    at = end;
  }
  const Lines locked = {"logs/0locked", "logs/a/m_locked", "logs/zlocked"};
  auto make = [&](const std::string& dir) {
    for (const std::string& folder : locked) {
      make_dirs(dir + "/" + folder);
      write_file(dir + "/" + folder + "/hidden.txt", logs_[1]);
    }
    make_dirs(dir + "/logs/b");
    for (std::size_t i = 0; i < 6; ++i) write_file(dir + "/logs/a/log" + std::to_string(i) + ".txt", logs_[1 + i]);
    write_file(dir + "/logs/a/m_noisy.txt", noisy);
    for (std::size_t i = 0; i < 4; ++i) write_file(dir + "/logs/b/log" + std::to_string(i) + ".txt", logs_[7 + i]);
    if (as_root_) {
      for (const auto& e : std::filesystem::recursive_directory_iterator(dir))
        ASSERT_EQ(chown(e.path().c_str(), as_.uid, as_.gid), 0);
      ASSERT_EQ(chown(dir.c_str(), as_.uid, as_.gid), 0);
    }
    for (const std::string& folder : locked) ASSERT_EQ(chmod((dir + "/" + folder).c_str(), 0), 0);
  };
  const Lines args = {"--verbosity", "4", "absent_first.txt", "logs", "absent_last.txt"};
  TempDir one(work_root_);
  make(one.path());
  Lines sequential = args;
  sequential.insert(sequential.begin(), {"--jobs", "1"});
  Outcome want = run(one.path(), sequential);
  if (!skipped_.empty()) GTEST_SKIP() << skipped_;
  ASSERT_EQ(want.status, 9);
  auto count = [&](const std::string& start) {
    return std::count_if(want.diagnostics.begin(), want.diagnostics.end(),
                         [&](const std::string& line) { return line.rfind(start, 0) == 0; });
  };
  for (const std::string& folder : locked) EXPECT_EQ(count("E: Could not list folder " + folder), 1) << folder;
  EXPECT_EQ(count("W: Could not find input file/folder absent_"), 2);
  EXPECT_GT(count("W: Skipping non-increasing timestamp"), 1000);

  const char* rounds_text = std::getenv("QUARN_JOBS_ROUNDS");
  const int rounds = rounds_text != nullptr ? std::max(1, std::atoi(rounds_text)) : 6;
  for (int round = 0; round < rounds; ++round) {
    TempDir many(work_root_);
    make(many.path());
    Lines parallel = args;
    parallel.insert(parallel.begin(), {"--jobs", round % 2 == 0 ? "2" : "4"});
    Outcome got = run(many.path(), parallel);
    EXPECT_EQ(got.status, want.status) << "round " << round;
    EXPECT_EQ(first_difference(got.diagnostics, want.diagnostics), "") << "round " << round;
    EXPECT_TRUE(got.traces == want.traces) << "round " << round << ": the traces differ";
  }
}

// Two large logs of one trace name, converted at once: the later one has opened its temporary
// trace long before the earlier one is done, so only the check at the moment of the rename can
// keep it from replacing the earlier one's trace.
TEST_F(JobsTest, OfTwoLargeLogsOfOneTraceTheFirstKeepsIt) {
  TempDir dir;
  make_dirs(dir / "logs");
  write_file(dir / "logs/B.TXT", test::generated_log(21, 90000));
  write_file(dir / "logs/B.txt", test::generated_log(22, 40000));
  write_file(dir / "logs/C.txt", logs_[1]);
  for (const std::string format : {"asc", "mf4", "blf"}) {
    const std::string trace = "logs_out/B." + format;
    std::map<std::string, std::string> want;
    for (const std::string jobs : {"1", "4", "4", "4"}) {
      const std::string where = "--format " + format + " --jobs " + jobs;
      std::filesystem::remove_all(dir / "logs_out");
      CliRun r = test::run_quarn(dir.path(), {"--jobs", jobs, "--format", format, "logs"}, 120);
      EXPECT_EQ(r.status, 8) << where;
      const Lines lines = diagnostics_of(r.err);
      EXPECT_EQ(lines.empty() ? "" : lines.front(), "E: Output file already written in this run: " + trace) << where;
      EXPECT_EQ(lines.empty() ? "" : lines.back(), "E: Error during conversion of logs/B.txt") << where;
      // One job after another, the second log finds its trace taken when it opens it; the
      // parallel runs must come to the same.
      if (want.empty()) {
        want = contents(dir / "logs_out");
        ASSERT_EQ(want.count("B." + format), 1u) << where;
        ASSERT_EQ(want.count("C." + format), 1u) << where;
      } else {
        EXPECT_TRUE(contents(dir / "logs_out") == want) << where << ": the traces differ from one job's";
      }
    }
  }
}

TEST_F(JobsTest, ANegativeCountIsAnIntegerError) {
  TempDir dir;
  make_dirs(dir / "logs");
  for (const char* value : {"-1", "-20"}) {
    CliRun r = test::run_quarn(dir.path(), {"--jobs", value, "logs"});
    EXPECT_EQ(r.status, 131) << value;
    EXPECT_EQ(r.err, "") << value;
  }
  // 0 takes one per core, whatever their number.
  write_file(dir / "logs/a.txt", logs_[0]);
  CliRun r = test::run_quarn(dir.path(), {"--jobs", "0", "logs"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(test::file_exists(dir / "logs_out/a.asc"));
}

}  // namespace
}  // namespace quarn
