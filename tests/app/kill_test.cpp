// quarn killed (SIGKILL) in the middle of converting a large folder with --delete-converted, as
// when a machine loses power: whatever moment it strikes, every trace under its real name is
// complete, every log without its trace is still there as it was, and a second run completes
// the work.

#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "app/cli_run.h"
#include "gen_log.h"
#include "support/generated_log.h"
#include "support/temp_dir.h"

namespace quarn {
namespace {

using test::file_exists;
using test::read_file;
using test::TempDir;

bool ends_with(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

std::vector<std::string> names_in(const std::string& folder) {
  std::vector<std::string> names;
  if (DIR* d = opendir(folder.c_str())) {
    while (dirent* e = readdir(d)) {
      std::string name = e->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(d);
  }
  return names;
}

int traces_in(const std::string& folder) {
  std::vector<std::string> names = names_in(folder);
  return static_cast<int>(std::count_if(names.begin(), names.end(), [](const std::string& n) { return ends_with(n, ".asc"); }));
}

// Whether `asc` is a whole trace of `frames` frames: the three header lines, one CANFD line per
// frame, the footer. A trace cut anywhere fails one of these.
std::string why_incomplete(const std::string& asc, std::int64_t frames) {
  if (asc.rfind("date ", 0) != 0) return "no date line";
  std::size_t first = asc.find('\n');
  if (first == std::string::npos || asc.compare(first + 1, 49, "base hex  timestamps absolute\nBegin Triggerblock\n") != 0) {
    return "no header";
  }
  if (!ends_with(asc, "\nEnd Triggerblock\n")) return "no footer";
  std::int64_t lines = std::count(asc.begin(), asc.end(), '\n');
  if (lines != frames + 4) return std::to_string(lines - 4) + " frame lines for " + std::to_string(frames) + " frames";
  return "";
}

class KillTest : public ::testing::Test {
 protected:
  void SetUp() override { test::make_dirs(logs_); }

  tools::GenLogOptions options_of(int k) const {
    tools::GenLogOptions o;
    o.seed = static_cast<std::uint64_t>(k) + 1;
    o.frames = frames_ + 7 * k;
    return o;
  }
  std::string name_of(int k) const { return "log" + std::to_string(1000 + k); }
  std::string text_of(int k) const {
    std::string text;
    EXPECT_TRUE(tools::gen_log_text(options_of(k), text));
    return text;
  }

  void make_logs(int count, std::int64_t frames) {
    count_ = count;
    frames_ = frames;
    for (int k = 0; k < count_; ++k) test::write_file(logs_ + "/" + name_of(k) + ".txt", text_of(k));
  }

  // Runs quarn and kills it once `traces` traces exist. False when it finished first.
  bool run_and_kill_after(int traces) {
    int pid = test::start_quarn(dir_.path(), {"--delete-converted", "logs"});
    if (pid <= 0) {
      ADD_FAILURE() << "quarn did not start";
      return false;
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    int wstatus = 0;
    bool finished = false;
    while (traces_in(out_) < traces && std::chrono::steady_clock::now() < deadline) {
      if (waitpid(pid, &wstatus, WNOHANG) == pid) {
        finished = true;
        break;
      }
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    if (!finished) {
      kill(pid, SIGKILL);
      waitpid(pid, &wstatus, 0);
      // It may have ended on its own just before the signal.
      finished = WIFEXITED(wstatus);
    }
    return !finished;
  }

  // What must hold at any moment: traces are complete, only temporary files beside them, and a
  // log is gone only when its trace is there; the logs still there are as they were written.
  // Returns how many logs are still to be converted.
  int check(const std::string& when) {
    for (const std::string& name : names_in(out_)) {
      if (ends_with(name, ".part")) continue;  // the killed run's unfinished trace, under its own name
      EXPECT_TRUE(ends_with(name, ".asc")) << when << ": " << name;
    }
    int left = 0;
    for (int k = 0; k < count_; ++k) {
      const std::string log = logs_ + "/" + name_of(k) + ".txt";
      const std::string trace = out_ + "/" + name_of(k) + ".asc";
      bool traced = file_exists(trace);
      if (traced) {
        EXPECT_EQ(why_incomplete(read_file(trace), options_of(k).frames), "") << when << ": " << trace;
      }
      if (file_exists(log)) {
        EXPECT_TRUE(read_file(log) == text_of(k)) << when << ": " << log << " changed";
        if (!traced) ++left;
      } else {
        EXPECT_TRUE(traced) << when << ": " << log << " is gone without its trace";
      }
    }
    return left;
  }

  TempDir dir_;
  const std::string logs_ = dir_ / "logs";
  const std::string out_ = dir_ / "logs_out";
  int count_ = 0;
  std::int64_t frames_ = 0;
};

TEST_F(KillTest, AKilledRunLeavesOnlyCompleteTracesAndARerunFinishes) {
  // Large enough that quarn is still at work when the first traces show; a machine fast enough
  // to finish first gets more work.
  int count = 60;
  std::int64_t frames = 2000;
  bool killed = false;
  for (int attempt = 0; attempt < 3 && !killed; ++attempt, count *= 2, frames *= 2) {
    std::filesystem::remove_all(logs_);
    std::filesystem::remove_all(out_);
    test::make_dirs(logs_);
    make_logs(count, frames);
    killed = run_and_kill_after(1);
  }
  ASSERT_TRUE(killed) << "quarn always finished before it could be killed";
  EXPECT_GT(check("after the first kill"), 0);

  // Killed again further on, from a folder that holds the first run's leftovers.
  if (run_and_kill_after(traces_in(out_) + 3)) check("after the second kill");

  test::CliRun rerun = test::run_quarn(dir_.path(), {"--delete-converted", "logs"});
  EXPECT_EQ(rerun.status, 0) << rerun.err;
  EXPECT_EQ(check("after the rerun"), 0);
  EXPECT_EQ(traces_in(out_), count_);
  for (int k = 0; k < count_; ++k) EXPECT_FALSE(file_exists(logs_ + "/" + name_of(k) + ".txt")) << k;
}

// Waits until a file named `prefix`...".part" shows in `folder` and returns true, or returns
// false when quarn `pid` ends first (its status in `wstatus`) or a minute passes.
bool wait_for_temporary(int pid, const std::string& folder, const std::string& prefix, int& wstatus) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (std::chrono::steady_clock::now() < deadline) {
    for (const std::string& name : names_in(folder)) {
      if (name.rfind(prefix, 0) == 0 && ends_with(name, ".part")) return true;
    }
    if (waitpid(pid, &wstatus, WNOHANG) == pid) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return false;
}

// Ctrl-C, a kill or a hang-up while a big trace is being written, or a diagnostic line written to
// a pipe nobody reads any more (`quarn ... 2>&1 | head`): the process ends as killed by that
// signal (a shell sees 130, 143, 129, 141), the temporary trace is gone, and the log is
// untouched, with and without --delete-converted.
TEST(SignalTest, ATerminatingSignalRemovesTheTemporaryTraceAndKeepsTheLog) {
  TempDir dir;
  const std::string logs = dir / "logs";
  const std::string out = dir / "logs_out";
  test::make_dirs(logs);
  tools::GenLogOptions options;
  options.seed = 5;
  options.frames = 1500000;
  std::string text;
  ASSERT_TRUE(tools::gen_log_text(options, text));
  // Some 200,000 frames in, long after its trace was opened, the frame ten lines back once more:
  // a step back in time, and the first diagnostic line at --verbosity 2.
  std::vector<std::size_t> starts;
  std::size_t at = text.find("\n12:00:0") + 1;
  for (int line = 0; line < 200000; ++line, at = text.find('\n', at) + 1) starts.push_back(at);
  const std::size_t earlier = starts[starts.size() - 10];
  text.insert(at, text.substr(earlier, text.find('\n', earlier) + 1 - earlier));
  test::write_file(logs + "/big.txt", text);
  struct Case {
    int signal_number;
    bool remove;
    bool from_closed_pipe;  // raised by quarn's own write of that line, not sent
  };
  const Case cases[] = {{SIGINT, false, false}, {SIGTERM, true, false}, {SIGHUP, false, false},
                        {SIGINT, true, false},  {SIGPIPE, false, true}, {SIGPIPE, true, true}};
  for (const Case& c : cases) {
    const std::string where = std::string(strsignal(c.signal_number)) + (c.remove ? " with -d" : "");
    std::filesystem::remove_all(out);
    std::vector<std::string> args = {"logs"};
    if (c.remove) args.insert(args.begin(), "-d");
    int wstatus = 0;
    if (c.from_closed_pipe) {
      int fds[2];
      ASSERT_EQ(pipe(fds), 0);
      close(fds[0]);
      args.insert(args.begin(), {"--verbosity", "2"});
      int pid = test::start_quarn(dir.path(), args, fds[1]);
      close(fds[1]);
      ASSERT_GT(pid, 0) << where;
      waitpid(pid, &wstatus, 0);
    } else {
      int pid = test::start_quarn(dir.path(), args);
      ASSERT_GT(pid, 0) << where;
      // Sent once the temporary trace exists.
      ASSERT_TRUE(wait_for_temporary(pid, out, "big.asc.", wstatus)) << where << ": quarn ended before the signal";
      kill(pid, c.signal_number);
      waitpid(pid, &wstatus, 0);
    }
    ASSERT_TRUE(WIFSIGNALED(wstatus)) << where << ": it exited with " << WEXITSTATUS(wstatus);
    EXPECT_EQ(WTERMSIG(wstatus), c.signal_number) << where;
    EXPECT_EQ(names_in(out), std::vector<std::string>{}) << where;
    EXPECT_TRUE(read_file(logs + "/big.txt") == text) << where << ": the log changed";
  }
}

// Each trace put in place gives back its place among the temporary files a signal removes: after
// more traces than there are places, the temporary trace in hand is still removed. The run report,
// hundreds of lines long by then, goes with it: neither a half report under its name nor its
// temporary file is left.
TEST(SignalTest, TheTemporaryTraceAfterHundredsOfCommittedOnesIsRemovedToo) {
  TempDir dir;
  const std::string logs = dir / "logs";
  const std::string out = dir / "logs_out";
  const std::string reports = dir / "reports";
  test::make_dirs(logs);
  test::make_dirs(reports);
  constexpr int kSmall = 300;
  for (int k = 0; k < kSmall; ++k) {
    std::string name = std::to_string(1000 + k);
    test::write_file(logs + "/a" + name + ".txt", test::generated_log(static_cast<std::uint64_t>(k) + 1, 3));
  }
  test::write_file(logs + "/zbig.txt", test::generated_log(7, 500000));
  int pid = test::start_quarn(dir.path(), {"--report=" + reports + "/run.jsonl", "logs"});
  ASSERT_GT(pid, 0);
  int wstatus = 0;
  ASSERT_TRUE(wait_for_temporary(pid, out, "zbig.asc.", wstatus)) << "quarn ended before the signal";
  // The report was begun before the first log, under its temporary name.
  const std::vector<std::string> begun = names_in(reports);
  EXPECT_TRUE(begun.size() == 1 && begun[0].rfind("run.jsonl.", 0) == 0 && ends_with(begun[0], ".part"))
      << (begun.empty() ? "no report being written" : begun[0]);
  kill(pid, SIGTERM);
  waitpid(pid, &wstatus, 0);
  ASSERT_TRUE(WIFSIGNALED(wstatus)) << "it exited with " << WEXITSTATUS(wstatus);
  EXPECT_EQ(WTERMSIG(wstatus), SIGTERM);
  std::vector<std::string> names = names_in(out);
  EXPECT_EQ(static_cast<int>(names.size()), kSmall);
  for (const std::string& name : names) EXPECT_TRUE(ends_with(name, ".asc")) << name;
  EXPECT_EQ(names_in(reports), std::vector<std::string>{});
}

}  // namespace
}  // namespace quarn
