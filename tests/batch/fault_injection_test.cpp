// A whole folder conversion with "delete-converted" (the run that can lose data), failing at one
// chosen point after another: each file-system operation, the k-th read, a short write at byte
// k, and every allocation. Whatever fails, the run must end with the right status and messages,
// leave no part of a trace (under its own name or a temporary one), never destroy an earlier
// complete trace, and keep the input unless its trace is complete and in place. Leaks are
// AddressSanitizer's to find.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "app/input_formats.h"
#include "asc/asc_trace_writer.h"
#include "blf/blf_trace_writer.h"
#include "base/memory.h"
#include "batch/input_walk.h"
#include "gen_log.h"
#include "support/capture.h"
#include "support/faulty_fs.h"
#include "support/temp_dir.h"

namespace quarn {
namespace {

using test::file_exists;
using test::messages_of;
using test::read_file;
using test::StderrCapture;
using test::TempDir;
using test::write_file;
using Messages = std::vector<std::string>;

// Names longer than a string holds without the heap, so that every path costs allocations.
constexpr char kFolder[] = "recordings-of-truck-0412/";
constexpr char kOutFolder[] = "recordings-of-truck-0412_out";
constexpr char kInput[] = "recordings-of-truck-0412/session-0001-of-the-day.txt";
constexpr char kTrace[] = "recordings-of-truck-0412_out/session-0001-of-the-day.asc";
constexpr char kEarlier[] = "an earlier, complete trace\n";
// Reads go through a window smaller than the log, so that it takes several reads.
constexpr std::int64_t kWindow = 4096;

std::string generated_log(std::int64_t frames = 400) {
  tools::GenLogOptions o;
  o.seed = 31;
  o.frames = frames;
  std::string text;
  EXPECT_TRUE(tools::gen_log_text(o, text));
  return text;
}

// Every file below `folder` whose name ends in ".part".
std::vector<std::string> leftovers(const std::string& folder) {
  std::vector<std::string> found;
  for (const auto& e : std::filesystem::recursive_directory_iterator(folder)) {
    std::string name = e.path().filename().string();
    if (name.size() > 5 && name.compare(name.size() - 5, 5, ".part") == 0) found.push_back(e.path().string());
  }
  return found;
}

struct Outcome {
  int status = -1;
  Messages messages;  // without the run's closing count...
  std::string closing;  // ...which is here
};

// One run over a fresh folder holding kInput (and, when asked, an earlier trace as kTrace), with
// the faults that `arrange` sets, as quarn runs it: one file system for inputs and outputs.
class FaultRun {
 public:
  // `earlier` is what the earlier trace holds; `format` "asc" or "blf" the trace written.
  FaultRun(const std::string& log, bool earlier_trace, const std::string& earlier = kEarlier,
           const std::string& format = "asc")
      : format_(format), trace_(std::string(kTrace, sizeof kTrace - 4) + format) {
    test::make_dirs(dir_ / kFolder);
    write_file(dir_ / kInput, log);
    if (earlier_trace) {
      test::make_dirs(dir_ / kOutFolder);
      write_file(dir_ / trace_, earlier);
    }
    fs_ = test::faulty_fs_create(dir_.path());
    options_.delete_converted = true;
    options_.buffer_size = kWindow;
    input_formats_use(options_);
  }

  // `allocations` succeed, then memory runs out: for good, or (`once`) for one allocation only.
  Outcome run(const std::function<void(test::FaultyFileSystem&)>& arrange, std::int64_t allocations = -1,
              bool once = false) {
    Outcome outcome;
    if (!fs_) {
      ADD_FAILURE() << "no file system";
      return outcome;
    }
    arrange(*fs_);
    std::unique_ptr<TraceSink> sink;
    if (format_ == "blf") {
      std::unique_ptr<TraceWriter> writer = blf_trace_writer_create();
      if (writer) sink = trace_fan_out_create(&writer, 1);
    } else {
      sink = asc_only_sink_create();
    }
    const LogContext context{fs_.get(), fs_.get(), true, &options_};
    if (!sink) {
      ADD_FAILURE() << "no sink";
      return outcome;
    }
    DynStringList inputs;
    DynString input;
    dynstr_from(input, kFolder);
    dynstr_list_push(inputs, input);
    StderrCapture capture;
    if (once) {
      mem_fail_once_after(allocations);
    } else {
      mem_fail_after(allocations);
    }
    outcome.status = convert_inputs(context, *sink, inputs);
    mem_fail_after(-1);
    outcome.messages = messages_of(capture.text());
    if (!outcome.messages.empty() && outcome.messages.back().rfind("Converted ", 0) == 0) {
      outcome.closing = outcome.messages.back();
      outcome.messages.pop_back();
    }
    EXPECT_NE(outcome.closing, "") << "every run ends with its count";
    return outcome;
  }

  std::string path(const std::string& relative) const { return dir_ / relative; }
  // The trace, relative to the run's folder.
  const std::string& trace() const { return trace_; }
  const TempDir& dir() const { return dir_; }
  // What the run read of its inputs.
  std::int64_t bytes_read() const { return fs_ ? fs_->bytes_read : -1; }

 private:
  std::string format_;
  std::string trace_;
  TempDir dir_;
  std::unique_ptr<test::FaultyFileSystem> fs_;
  RunOptions options_;
};

// What must hold after any run, whatever failed: a trace under its real name is the earlier one
// or complete; the input is gone only when its complete trace is in place; temporary files are
// gone unless removing them was what failed.
void expect_nothing_lost(const FaultRun& run, const std::string& log, const std::string& reference, bool earlier,
                         bool parts_allowed, const std::string& where) {
  bool traced = file_exists(run.path(run.trace()));
  std::string trace = traced ? read_file(run.path(run.trace())) : "";
  if (traced) {
    EXPECT_TRUE(trace == reference || (earlier && trace == kEarlier)) << where << ": a trace that is not complete";
  }
  EXPECT_TRUE(traced || !earlier) << where << ": the earlier trace was destroyed";
  if (file_exists(run.path(kInput))) {
    EXPECT_TRUE(read_file(run.path(kInput)) == log) << where << ": the input changed";
  } else {
    EXPECT_TRUE(trace == reference) << where << ": the input went without its trace";
  }
  if (!parts_allowed) {
    EXPECT_EQ(leftovers(run.dir().path()), std::vector<std::string>{}) << where;
  }
}

class FaultInjectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    log_ = generated_log();
    ASSERT_GT(log_.size(), 3 * static_cast<std::size_t>(kWindow));
    FaultRun clean(log_, false);
    Outcome o = clean.run([](test::FaultyFileSystem&) {});
    ASSERT_EQ(o.status, 0);
    ASSERT_EQ(o.messages, Messages{});
    reference_ = read_file(clean.path(kTrace));
    ASSERT_EQ(std::count(reference_.begin(), reference_.end(), '\n'), 400 + 4);
  }

  // What lies under the trace's real name, in words (a whole trace in a failure message helps nobody).
  std::string describe(const FaultRun& run) const {
    if (!file_exists(run.path(kTrace))) return "none";
    std::string trace = read_file(run.path(kTrace));
    if (trace == reference_) return "the new trace";
    if (trace == kEarlier) return "the earlier trace";
    return "another text of " + std::to_string(trace.size()) + " bytes";
  }

  std::string log_;
  std::string reference_;
};

// Where the run ends up.
enum class Result {
  Converted,          // status 0, the new trace in place, the input removed
  ConvertedKept,      // status 0, the new trace in place, the input still there
  Failed,             // no new trace (the earlier one, if any, untouched), the input kept
  FailedTraceInPlace  // the new, complete trace in place, but the log failed: the input kept
};

TEST_F(FaultInjectionTest, EveryFailingOperationKeepsTheLogAndLeavesNoPartialTrace) {
  const std::string in = kInput;
  const std::string trace = kTrace;
  const std::string conversion = "Error during conversion of " + in;
  // A read that stops inside a line leaves that line incomplete: it is skipped, as a line cut short is.
  const std::string cut_line = "Skipped stray lines in " + in + ": 1";
  const std::string end = "Error during end file callback";
  const std::int64_t trace_size = static_cast<std::int64_t>(reference_.size());
  const std::int64_t log_size = static_cast<std::int64_t>(log_.size());
  struct Case {
    const char* point;
    std::function<void(test::FaultyFileSystem&)> arrange;
    int status;
    Messages messages;
    Result result;
    bool parts_allowed = false;
    bool only_for_a_new_folder = false;  // the earlier trace's folder exists already: nothing fails
  };
  const Case cases[] = {
      {"nothing", [](test::FaultyFileSystem&) {}, 0, {}, Result::Converted},
      {"open of the input",
       [](test::FaultyFileSystem& fs) { fs.refuse_open_containing = kInput; },
       8,
       {"Could not open input file " + in, conversion},
       Result::Failed},
      {"first read",
       [](test::FaultyFileSystem& fs) { fs.read_faults.fail_read_from_call = 1; },
       8,
       {"Could not open log", conversion},
       Result::Failed},
      {"second read",
       [](test::FaultyFileSystem& fs) { fs.read_faults.fail_read_from_call = 2; },
       8,
       {cut_line, "Could not read input file to its end: " + in, end, conversion},
       Result::Failed},
      {"third read",
       [](test::FaultyFileSystem& fs) { fs.read_faults.fail_read_from_call = 3; },
       8,
       {cut_line, "Could not read input file to its end: " + in, end, conversion},
       Result::Failed},
      {"read at a bad sector",
       [&](test::FaultyFileSystem& fs) { fs.read_faults.read_limit = log_size / 3; },
       8,
       {cut_line, "Could not read input file to its end: " + in, end, conversion},
       Result::Failed},
      {"close of the input",
       [](test::FaultyFileSystem& fs) { fs.read_faults.fail_close = true; },
       8,
       {"Could not close input file after conversion: " + in, conversion},
       Result::FailedTraceInPlace},
      {"stat of the input folder",
       [](test::FaultyFileSystem& fs) { fs.fail_stat_ending = std::string("/") + kFolder; },
       129,
       {std::string("Could not query ") + kFolder + " for information"},
       Result::Failed},
      {"list of the input folder",
       [](test::FaultyFileSystem& fs) { fs.refuse_list = true; },
       8,
       {std::string("Could not list folder ") + kFolder},
       Result::Failed},
      {"stat of the input",
       [](test::FaultyFileSystem& fs) { fs.fail_stat_ending = std::string("/") + kInput; },
       129,
       {"Error during stat of " + in + ", exiting"},
       Result::Failed},
      {"stat of the output folder",
       [](test::FaultyFileSystem& fs) { fs.fail_stat_ending = std::string("/") + kOutFolder; },
       8,
       {"Could not open output file for CAN: " + trace, end, conversion},
       Result::Failed,
       false,
       true},
      {"make_dir of the output folder",
       [](test::FaultyFileSystem& fs) { fs.refuse_make_dir = true; },
       8,
       {"Could not open output file for CAN: " + trace, end, conversion},
       Result::Failed,
       false,
       true},
      {"open of the trace",
       [](test::FaultyFileSystem& fs) { fs.refuse_open_containing = ".part"; },
       8,
       {"Could not open output file for CAN: " + trace, end, conversion},
       Result::Failed},
      {"short write at byte 10",
       [](test::FaultyFileSystem& fs) { fs.write_faults.write_limit = 10; },
       8,
       {"Could not write CAN header", end, conversion},
       Result::Failed},
      {"short write at byte 300",
       [](test::FaultyFileSystem& fs) { fs.write_faults.write_limit = 300; },
       8,
       {"Could not write CAN data", "Could not write CAN footer", end, conversion},
       Result::Failed},
      {"short write in the footer",
       [&](test::FaultyFileSystem& fs) { fs.write_faults.write_limit = trace_size - 5; },
       8,
       {"Could not write CAN footer", end, conversion},
       Result::Failed},
      {"sync of the trace",
       [](test::FaultyFileSystem& fs) { fs.write_faults.fail_sync = true; },
       8,
       {"Could not flush CAN trace to disk: " + trace, end, conversion},
       Result::Failed},
      {"close of the trace",
       [](test::FaultyFileSystem& fs) { fs.write_faults.fail_close = true; },
       8,
       {end, conversion},
       Result::Failed},
      {"rename of the trace",
       [](test::FaultyFileSystem& fs) { fs.refuse_rename = true; },
       8,
       {"Could not move CAN trace into place: " + trace, end, conversion},
       Result::Failed},
      {"sync of the output folder",
       [](test::FaultyFileSystem& fs) { fs.fail_sync_folder = true; },
       8,
       {"Could not flush CAN trace to disk: " + trace, end, conversion},
       Result::FailedTraceInPlace},
      {"remove of the input",
       [](test::FaultyFileSystem& fs) { fs.refuse_remove_containing = kInput; },
       0,
       {"Could not remove input file after conversion: " + in},
       Result::ConvertedKept},
      {"remove of a failed trace",
       [](test::FaultyFileSystem& fs) {
         fs.write_faults.write_limit = 300;
         fs.refuse_remove_containing = ".part";
       },
       8,
       {"Could not write CAN data", "Could not write CAN footer", end, conversion},
       Result::Failed,
       true},
  };
  // The earlier trace holds the bytes the log gives: under -d an earlier trace of other bytes is
  // kept and fails the log before any of these faults could strike (see the test below).
  for (bool earlier : {false, true}) {
    for (const Case& c : cases) {
      const std::string where = std::string(c.point) + (earlier ? ", over an earlier trace" : "");
      FaultRun run(log_, earlier, reference_);
      Outcome o = run.run(c.arrange);
      bool harmless = earlier && c.only_for_a_new_folder;
      EXPECT_EQ(o.status, harmless ? 0 : c.status) << where;
      EXPECT_EQ(o.messages, harmless ? Messages{} : c.messages) << where;
      expect_nothing_lost(run, log_, reference_, earlier, c.parts_allowed, where);
      bool input_kept = file_exists(run.path(kInput));
      std::string found = describe(run);
      switch (harmless ? Result::Converted : c.result) {
        case Result::Converted:
          EXPECT_FALSE(input_kept) << where;
          EXPECT_EQ(found, "the new trace") << where;
          break;
        case Result::ConvertedKept:
        case Result::FailedTraceInPlace:
          EXPECT_TRUE(input_kept) << where;
          EXPECT_EQ(found, "the new trace") << where;
          break;
        case Result::Failed:
          EXPECT_TRUE(input_kept) << where;
          EXPECT_EQ(found, earlier ? "the new trace" : "none") << where;  // the earlier one, of the same bytes
          break;
      }
      if (c.parts_allowed) {
        EXPECT_EQ(leftovers(run.dir().path()).size(), 1u) << where;
      }
    }
  }
}

// Under -d the log goes once its traces are in place, so an earlier trace that a later log would
// replace may be the only copy of an earlier log: the same bytes are replaced, other bytes are kept
// and the later log fails, and so does a trace that cannot be compared.
TEST_F(FaultInjectionTest, UnderDeleteAnEarlierTraceOfOtherBytesIsKept) {
  const std::string in = kInput;
  const std::string trace = kTrace;
  const std::string failed[] = {"Error during end file callback", "Error during conversion of " + in};
  const struct {
    const char* earlier;
    std::string content;
    std::function<void(test::FaultyFileSystem&)> arrange;
    int status;
    Messages messages;
  } cases[] = {
      {"of the same bytes", reference_, [](test::FaultyFileSystem&) {}, 0, {}},
      {"of other bytes",
       kEarlier,
       [](test::FaultyFileSystem&) {},
       8,
       {"Output file exists with other contents: " + trace, failed[0], failed[1]}},
      {"of other bytes, as long",
       std::string(reference_.size(), 'x'),
       [](test::FaultyFileSystem&) {},
       8,
       {"Output file exists with other contents: " + trace, failed[0], failed[1]}},
      {"that cannot be examined",
       reference_,
       [](test::FaultyFileSystem& fs) { fs.fail_stat_ending = ".asc"; },
       8,
       {"Could not compare with the existing output file: " + trace, failed[0], failed[1]}},
  };
  for (const auto& c : cases) {
    FaultRun run(log_, true, c.content);
    Outcome o = run.run(c.arrange);
    EXPECT_EQ(o.status, c.status) << c.earlier;
    EXPECT_EQ(o.messages, c.messages) << c.earlier;
    EXPECT_EQ(read_file(run.path(kTrace)), c.status == 0 ? reference_ : c.content) << c.earlier;
    EXPECT_EQ(file_exists(run.path(kInput)), c.status != 0) << c.earlier;
    EXPECT_EQ(leftovers(run.dir().path()), std::vector<std::string>{}) << c.earlier;
  }
}

// At Debug each reported refusal is followed by the call that failed, and a refusal the run
// tolerates (removing a broken trace) attaches to nothing reported after it.
TEST_F(FaultInjectionTest, AtDebugEachReportedFailedCallIsNamedAndNoOtherIs) {
  test::ThresholdGuard debug(1);
  const std::string in = kInput;
  const std::string trace = kTrace;
  const std::string end = "Error during end file callback";
  const std::string conversion = "Error during conversion of " + in;
  const std::string denied = ": Permission denied";
  const std::string full = ": No space left on device";
  const struct {
    const char* point;
    std::function<void(test::FaultyFileSystem&)> arrange;
    std::vector<std::string> messages;  // the root shows as ROOT, the process id as PID
    std::string closing;
  } cases[] = {
      {"open of the input",
       [](test::FaultyFileSystem& fs) { fs.refuse_open_containing = kInput; },
       {"Could not open input file " + in, "open ROOT/" + in + denied, conversion},
       "Converted 0 of 1 logs, 0 frames, 1 failed"},
      // The folder the trace goes in could not be made: the call named is the mkdir, not the open
      // that failed for want of the folder.
      {"make_dir of the output folder",
       [](test::FaultyFileSystem& fs) { fs.refuse_make_dir = true; },
       {"Could not open output file for CAN: " + trace, "mkdir ROOT/" + std::string(kOutFolder) + denied, end,
        conversion},
       "Converted 0 of 1 logs, 400 frames, 1 failed"},
      {"rename of the trace",
       [](test::FaultyFileSystem& fs) { fs.refuse_rename = true; },
       {"Could not move CAN trace into place: " + trace, "rename ROOT/" + trace + ".PID.part ROOT/" + trace + denied,
        end, conversion},
       "Converted 0 of 1 logs, 400 frames, 1 failed"},
      // A full disk: the write that failed is named once, with the first message it causes.
      {"short write in the header",
       [](test::FaultyFileSystem& fs) { fs.write_faults.write_limit = 10; },
       {"Could not write CAN header", "write ROOT/" + trace + ".PID.part" + full, end, conversion},
       "Converted 0 of 1 logs, 400 frames, 1 failed"},
      {"short write in the data",
       [](test::FaultyFileSystem& fs) { fs.write_faults.write_limit = 300; },
       {"Could not write CAN data", "write ROOT/" + trace + ".PID.part" + full, "Could not write CAN footer", end,
        conversion},
       "Converted 0 of 1 logs, 400 frames, 1 failed"},
      {"short write in the footer",
       [&](test::FaultyFileSystem& fs) {
         fs.write_faults.write_limit = static_cast<std::int64_t>(reference_.size()) - 5;
       },
       {"Could not write CAN footer", "write ROOT/" + trace + ".PID.part" + full, end, conversion},
       "Converted 0 of 1 logs, 400 frames, 1 failed"},
      // The remove that failed after it is tolerated: nothing names it.
      {"remove of a failed trace",
       [](test::FaultyFileSystem& fs) {
         fs.write_faults.write_limit = 300;
         fs.refuse_remove_containing = ".part";
       },
       {"Could not write CAN data", "write ROOT/" + trace + ".PID.part" + full, "Could not write CAN footer", end,
        conversion},
       "Converted 0 of 1 logs, 400 frames, 1 failed"},
  };
  for (const auto& c : cases) {
    FaultRun run(log_, false);
    Outcome o = run.run(c.arrange);
    const std::string root = run.dir().path();
    for (std::string& m : o.messages) {
      for (std::size_t at = m.find(root); at != std::string::npos; at = m.find(root)) m.replace(at, root.size(), "ROOT");
      m = std::regex_replace(m, std::regex(R"(\.asc\.[0-9]+\.[0-9]+\.part)"), ".asc.PID.part");
    }
    EXPECT_EQ(o.messages, c.messages) << c.point;
    EXPECT_EQ(o.closing, c.closing) << c.point;
  }
}

// Memory runs out at every allocation of a run that writes `format` in turn, and stays out or
// comes back at once. Nothing of the log may be lost and no trace part may remain; the messages
// are those of the steps that can fail so, `writer_memory` among them (the writer's own
// allocations, which must fail in some run).
void expect_memory_failures_lose_nothing(const std::string& log, const std::string& reference, const std::string& format,
                                         const std::string& what, const std::string& writer_memory) {
  const std::string in = kInput;
  const std::string folder = kFolder;
  const std::string trace = FaultRun(log, false, reference, format).trace();
  const std::string base = trace.substr(0, trace.size() - 4);
  const Messages known = {"Could not open input file " + in,
                          "Could not allocate buffer of size 4096",
                          "Could not open log",
                          "Error during handle record callback",
                          "Could not keep every frame in memory, no trace written for " + base,
                          writer_memory + base,
                          "Could not write " + what + " data",
                          "Could not move " + what + " trace into place: " + trace,
                          "Could not flush " + what + " trace to disk: " + trace,
                          "Could not compare with the existing output file: " + trace,
                          "Error during end file callback",
                          "Could not remove input file after conversion: " + in,
                          "Error during conversion of " + in,
                          "Error during stat of " + folder + ", exiting",
                          "Error during stat of " + in + ", exiting",
                          "Could not query " + folder + " for information",
                          "Could not allocate memory for the output path of " + folder,
                          "Could not list folder " + folder,
                          "Could not allocate memory for the inputs of the run",
                          "Could not allocate memory for the path of session-0001-of-the-day.txt in " + folder};
  // The trace's name itself may be what could not be made.
  const std::string open_failed = "Could not open output file for " + what + ": ";
  bool writer_failed = false;
  for (bool once : {false, true}) {
    int failures = 0;
    int clean_runs = 0;
    bool done = false;
    for (std::int64_t budget = 0; budget < 1000 && !done; ++budget) {
      for (bool earlier : {false, true}) {
        const std::string where = std::string(once ? "only " : "from ") + "allocation " + std::to_string(budget) +
                                  (earlier ? ", over an earlier trace" : "");
        FaultRun run(log, earlier, reference, format);
        Outcome o = run.run([](test::FaultyFileSystem&) {}, budget, once);
        EXPECT_TRUE(o.status == 0 || o.status == 8 || o.status == 129) << where << ": status " << o.status;
        for (const std::string& m : o.messages) {
          bool listed = std::find(known.begin(), known.end(), m) != known.end() || m.rfind(open_failed, 0) == 0;
          EXPECT_TRUE(listed) << where << ": " << m;
          if (m == known[5]) writer_failed = true;
        }
        if (o.status != 0) {
          EXPECT_FALSE(o.messages.empty()) << where << ": a failure without a message";
          ++failures;
        } else if (o.messages.empty()) {
          EXPECT_EQ(read_file(run.path(run.trace())), reference) << where << ": success without the trace";
          EXPECT_FALSE(file_exists(run.path(kInput))) << where << ": success without removing the input";
        }
        expect_nothing_lost(run, log, reference, earlier, false, where);
        // Persistent: done once the run had all it needs. Once: done when the failing allocation
        // lies beyond the last one the run makes, so that it strikes nothing.
        clean_runs = o.status == 0 && o.messages.empty() ? clean_runs + 1 : 0;
        done = once ? clean_runs > 20 : clean_runs > 0;
      }
    }
    EXPECT_TRUE(done) << "the run never got enough memory";
    EXPECT_GT(failures, 20) << (once ? "once" : "for good");
  }
  EXPECT_TRUE(writer_failed) << "no allocation of the " << what << " writer failed";
}

TEST_F(FaultInjectionTest, MemoryRunningOutAtAnyPointLosesNothing) {
  expect_memory_failures_lose_nothing(log_, reference_, "asc", "CAN", "Could not allocate line buffer for ");
}

// A trace of several blocks, failing at its first, a middle and its last block, and a log cut
// short while it is read: the failure is reported when the log ends, the log is still read to its
// end, and nothing of the trace is left.
TEST(FaultInjectionManyBlocksTest, FailuresAnywhereInALongTraceAreReportedWhenTheLogEnds) {
  const std::string log = generated_log(30000);
  FaultRun clean(log, false);
  ASSERT_EQ(clean.run([](test::FaultyFileSystem&) {}).status, 0);
  const std::string reference = read_file(clean.path(kTrace));
  const std::int64_t trace_size = static_cast<std::int64_t>(reference.size());
  const std::int64_t log_size = static_cast<std::int64_t>(log.size());
  ASSERT_GT(trace_size, 3 << 20);  // blocks of 1 MiB
  const std::string in = kInput;
  const std::string end = "Error during end file callback";
  const std::string conversion = "Error during conversion of " + in;
  struct Case {
    const char* point;
    std::int64_t write_limit;
    std::int64_t truncate_at;
    Messages messages;
  };
  const Case cases[] = {
      {"first block", 200, -1, {"Could not write CAN data", "Could not write CAN footer", end, conversion}},
      {"a middle block",
       trace_size / 2,
       -1,
       {"Could not write CAN data", "Could not write CAN footer", end, conversion}},
      {"last block",
       trace_size - 1000,
       -1,
       {"Could not write CAN data", "Could not write CAN footer", end, conversion}},
      {"footer", trace_size - 5, -1, {"Could not write CAN footer", end, conversion}},
      // The line the reading stopped inside is not whole: it is skipped, as a line cut short is.
      {"log cut short",
       -1,
       log_size / 2,
       {"Skipped stray lines in " + in + ": 1", "Could not read input file to its end: " + in, end, conversion}},
  };
  for (const Case& c : cases) {
    FaultRun run(log, true);
    Outcome o = run.run([&](test::FaultyFileSystem& fs) {
      fs.write_faults.write_limit = c.write_limit;
      fs.read_faults.truncate_at = c.truncate_at;
    });
    EXPECT_EQ(o.status, 8) << c.point;
    EXPECT_EQ(o.messages, c.messages) << c.point;
    expect_nothing_lost(run, log, reference, true, false, c.point);
    EXPECT_EQ(read_file(run.path(kTrace)), kEarlier) << c.point;
    EXPECT_TRUE(file_exists(run.path(kInput))) << c.point;
    EXPECT_EQ(run.bytes_read(), c.truncate_at >= 0 ? c.truncate_at : log_size) << c.point << ": not read to its end";
  }
}

// The BLF trace meets the same faults: its file's writes (the header, a container, the header
// rewritten at the end), its sync, close and rename, and every allocation, its writer's buffers
// and compressors included. Whatever fails, the log is kept and no part of the trace is left.
TEST(FaultInjectionBlfTest, EveryFailingOperationKeepsTheLogAndLeavesNoPartialTrace) {
  const std::string log = generated_log(3000);
  FaultRun clean(log, false, kEarlier, "blf");
  ASSERT_EQ(clean.run([](test::FaultyFileSystem&) {}).status, 0);
  const std::string reference = read_file(clean.path(clean.trace()));
  // Several containers, so that a write may fail at the first, in the middle and at the last.
  ASSERT_GT(reference.size(), std::size_t{3} << 10);
  const std::string in = kInput;
  const std::string trace = clean.trace();
  const std::string conversion = "Error during conversion of " + in;
  const std::string end = "Error during end file callback";
  const auto size = static_cast<std::int64_t>(reference.size());
  struct Case {
    const char* point;
    std::function<void(test::FaultyFileSystem&)> arrange;
    int status;
    Messages messages;
  };
  const Case cases[] = {
      {"nothing", [](test::FaultyFileSystem&) {}, 0, {}},
      {"open of the trace",
       [](test::FaultyFileSystem& fs) { fs.refuse_open_containing = ".part"; },
       8,
       {"Could not open output file for BLF: " + trace, end, conversion}},
      {"short write in the header",
       [](test::FaultyFileSystem& fs) { fs.write_faults.write_limit = 10; },
       8,
       {"Could not write BLF data", end, conversion}},
      {"short write in the first container",
       [](test::FaultyFileSystem& fs) { fs.write_faults.write_limit = 300; },
       8,
       {"Could not write BLF data", end, conversion}},
      {"short write in the last container",
       [&](test::FaultyFileSystem& fs) { fs.write_faults.write_limit = size - 5; },
       8,
       {"Could not write BLF data", end, conversion}},
      {"sync of the trace",
       [](test::FaultyFileSystem& fs) { fs.write_faults.fail_sync = true; },
       8,
       {"Could not flush BLF trace to disk: " + trace, end, conversion}},
      {"close of the trace",
       [](test::FaultyFileSystem& fs) { fs.write_faults.fail_close = true; },
       8,
       {end, conversion}},
      {"rename of the trace",
       [](test::FaultyFileSystem& fs) { fs.refuse_rename = true; },
       8,
       {"Could not move BLF trace into place: " + trace, end, conversion}},
  };
  for (bool earlier : {false, true}) {
    for (const Case& c : cases) {
      const std::string where = std::string(c.point) + (earlier ? ", over an earlier trace" : "");
      FaultRun run(log, earlier, reference, "blf");
      Outcome o = run.run(c.arrange);
      EXPECT_EQ(o.status, c.status) << where;
      EXPECT_EQ(o.messages, c.messages) << where;
      expect_nothing_lost(run, log, reference, earlier, false, where);
      EXPECT_EQ(file_exists(run.path(kInput)), c.status != 0) << where;
    }
  }
}

TEST(FaultInjectionBlfTest, MemoryRunningOutAtAnyPointLosesNothing) {
  const std::string log = generated_log(3000);
  FaultRun clean(log, false, kEarlier, "blf");
  ASSERT_EQ(clean.run([](test::FaultyFileSystem&) {}).status, 0);
  expect_memory_failures_lose_nothing(log, read_file(clean.path(clean.trace())), "blf", "BLF",
                                      "Could not allocate memory for the BLF trace of ");
}

}  // namespace
}  // namespace quarn
