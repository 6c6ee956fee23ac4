// The MDF4 trace format over a file system that fails on purpose, as the ASC writer is tested:
// whatever fails, the log fails with the format's message, nothing of the trace is left, an
// earlier trace of that name stays, and the input is kept.

#include "app/input_formats.h"
#include "mdf4/mdf4_trace_writer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "base/memory.h"
#include "batch/input_walk.h"
#include "gen_log.h"
#include "logging/report.h"
#include "support/capture.h"
#include "support/faulty_fs.h"
#include "support/mdf4_files.h"
#include "support/temp_dir.h"

namespace quarn {
namespace {

using test::file_exists;
using test::read_file;
using test::TempDir;
using Lines = std::vector<std::string>;

constexpr char kEarlier[] = "an earlier trace";

struct Outcome {
  int status = -1;
  Lines messages;     // without the Info and Debug lines
  Lines debug;        // the Debug lines, the folder shown as ROOT and the process id as PID
  std::string trace;  // what lies under logs_out/a.mf4 afterwards ("" when nothing)
  Lines leftovers;    // files in logs_out other than a.mf4
  bool input_kept = false;
};

// `earlier_content` is what the earlier trace holds, when there is one.
Outcome convert(const std::string& log, bool earlier, const std::function<void(test::FaultyFileSystem&)>& arrange,
                std::int64_t allocations = -1, const std::string& earlier_content = kEarlier,
                const Mdf4WriterOptions& options = {}, bool delete_converted = true) {
  TempDir dir;
  test::make_dirs(dir / "logs");
  test::write_file(dir / "logs/a.txt", log);
  test::make_dirs(dir / "logs_out");
  if (earlier) test::write_file(dir / "logs_out/a.mf4", earlier_content);
  Outcome run;
  std::unique_ptr<test::FaultyFileSystem> fs = test::faulty_fs_create(dir.path());
  if (!fs) return run;
  arrange(*fs);
  RunOptions run_options;
  run_options.delete_converted = delete_converted;
  run_options.buffer_size = 4096;
  input_formats_use(run_options);
  std::unique_ptr<TraceWriter> writer = mdf4_trace_writer_create(sv("2.4.0"), options);
  std::unique_ptr<TraceSink> sink = trace_fan_out_create(&writer, 1);
  const LogContext context{fs.get(), fs.get(), true, &run_options};
  if (!sink) return run;
  DynStringList inputs;
  DynString input;
  dynstr_from(input, "logs/");
  dynstr_list_push(inputs, input);
  {
    // The run's closing Info line is not what is tested here; the Debug lines are kept apart.
    test::ThresholdGuard threshold(static_cast<std::int32_t>(LogLevel::Debug));
    test::StderrCapture capture;
    mem_fail_after(allocations);
    run.status = convert_inputs(context, *sink, inputs);
    mem_fail_after(-1);
    for (std::string line : test::diagnostics_of(capture.text())) {
      if (line.rfind("D: ", 0) == 0) {
        line = std::regex_replace(line.substr(3), std::regex(R"(\.mf4\.[0-9]+\.[0-9]+\.part)"), ".mf4.PID.part");
        for (std::size_t at = line.find(dir.path()); at != std::string::npos; at = line.find(dir.path())) {
          line.replace(at, dir.path().size(), "ROOT");
        }
        run.debug.push_back(line);
      } else if (line.rfind("I: ", 0) != 0) {
        run.messages.push_back(line.size() > 3 ? line.substr(3) : line);
      }
    }
  }
  std::string trace = dir / "logs_out/a.mf4";
  if (file_exists(trace)) run.trace = read_file(trace);
  for (const auto& e : std::filesystem::directory_iterator(dir / "logs_out")) {
    if (e.path().filename() != "a.mf4") run.leftovers.push_back(e.path().filename().string());
  }
  run.input_kept = file_exists(dir / "logs/a.txt");
  return run;
}

class Mdf4TraceWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tools::GenLogOptions o;
    o.frames = 30000;  // a trace of several compressed data blocks, written by the compressing thread
    ASSERT_TRUE(tools::gen_log_text(o, log_));
    Outcome clean = convert(log_, false, [](test::FaultyFileSystem&) {});
    ASSERT_EQ(clean.status, 0);
    ASSERT_EQ(clean.messages, Lines{});
    reference_ = clean.trace;
    std::vector<std::string> problems;
    std::size_t compressed = 0;
    for (const auto& [at, b] : test::walk_blocks(reference_, problems)) compressed += b.id == "##DZ";
    ASSERT_GE(compressed, 3u);
    test::Mdf4Read read = test::read_mdf4(reference_);
    ASSERT_EQ(read.error, "");
    ASSERT_EQ(read.records.size(), 30000u);
  }
  std::string log_;
  std::string reference_;
};

TEST_F(Mdf4TraceWriterTest, EveryFailingOperationFailsTheLogAndLeavesNoTrace) {
  const std::string end = "Error during end file callback";
  const std::string conversion = "Error during conversion of logs/a.txt";
  const std::int64_t size = static_cast<std::int64_t>(reference_.size());
  // The Debug line names the failed call: a short write is a full disk, as the test stream says.
  const std::string part = "ROOT/logs_out/a.mf4.PID.part";
  const std::string full = "write " + part + ": No space left on device";
  struct Case {
    const char* point;
    std::function<void(test::FaultyFileSystem&)> arrange;
    Lines messages;
    Lines debug;
  };
  const Case cases[] = {
      {"open",
       [](test::FaultyFileSystem& fs) { fs.refuse_open_containing = ".part"; },
       {"Could not open output file for MDF4: logs_out/a.mf4", end, conversion},
       {"open " + part + ": Permission denied"}},
      {"a short write in the head",
       [](test::FaultyFileSystem& fs) { fs.write_faults.write_limit = 100; },
       {"Could not write MDF4 data", end, conversion},
       {full}},
      {"a short write in the data",
       [&](test::FaultyFileSystem& fs) { fs.write_faults.write_limit = size / 2; },
       {"Could not write MDF4 data", end, conversion},
       {full}},
      {"a short write at the end",
       [&](test::FaultyFileSystem& fs) { fs.write_faults.write_limit = size - 8; },
       {"Could not write MDF4 data", end, conversion},
       {full}},
      {"sync",
       [](test::FaultyFileSystem& fs) { fs.write_faults.fail_sync = true; },
       {"Could not flush MDF4 trace to disk: logs_out/a.mf4", end, conversion},
       {}},
      {"close", [](test::FaultyFileSystem& fs) { fs.write_faults.fail_close = true; }, {end, conversion}, {}},
      {"rename",
       [](test::FaultyFileSystem& fs) { fs.refuse_rename = true; },
       {"Could not move MDF4 trace into place: logs_out/a.mf4", end, conversion},
       {"rename " + part + " ROOT/logs_out/a.mf4: Permission denied"}},
  };
  // The earlier trace holds the bytes the log gives: under -d one of other bytes is kept and fails
  // the log before any of these faults could strike (checked last).
  for (bool earlier : {false, true}) {
    for (const Case& c : cases) {
      const std::string where = std::string(c.point) + (earlier ? ", over an earlier trace" : "");
      Outcome run = convert(log_, earlier, c.arrange, -1, reference_);
      EXPECT_EQ(run.status, 8) << where;
      EXPECT_EQ(run.messages, c.messages) << where;
      EXPECT_EQ(run.debug, c.debug) << where;
      EXPECT_EQ(run.trace, earlier ? reference_ : "") << where;
      EXPECT_EQ(run.leftovers, Lines{}) << where;
      EXPECT_TRUE(run.input_kept) << where;
    }
  }
}

// What lies under the trace's name gives way only when it holds the trace's bytes, or, without -d,
// when it is quarn's own earlier trace of the same log. Any other file of an MDF4 log's suffix
// may be a recording: it stays, and the log fails.
TEST_F(Mdf4TraceWriterTest, OnlyTheSameBytesOrItsOwnEarlierTraceGiveWay) {
  tools::GenLogOptions o;
  o.frames = 100;
  o.seed = 99;
  std::string other_log;
  ASSERT_TRUE(tools::gen_log_text(o, other_log));
  const std::string older = convert(other_log, false, [](test::FaultyFileSystem&) {}).trace;
  ASSERT_NE(older, "");
  std::string of_b = older;
  const std::size_t name_at = of_b.find("Converted by quarn from a.txt");
  ASSERT_NE(name_at, std::string::npos);
  of_b[name_at + std::strlen("Converted by quarn from ")] = 'b';
  const std::string end = "Error during end file callback";
  const std::string conversion = "Error during conversion of logs/a.txt";
  const Lines a_log = {"Output file would replace a log: logs_out/a.mf4", end, conversion};
  struct Case {
    const char* earlier;
    std::string content;
    bool delete_converted;
    int status;
    Lines messages;
    std::string trace;
  } cases[] = {
      {"no MDF4 file", kEarlier, true, 8, a_log, kEarlier},
      {"no MDF4 file", kEarlier, false, 8, a_log, kEarlier},
      {"its own older trace",
       older,
       true,
       8,
       {"Output file exists with other contents: logs_out/a.mf4", end, conversion},
       older},
      {"its own older trace", older, false, 0, {}, reference_},
      {"another log's trace", of_b, false, 8, a_log, of_b},
      {"the same bytes", reference_, true, 0, {}, reference_},
  };
  for (const Case& c : cases) {
    const std::string where = std::string(c.earlier) + (c.delete_converted ? ", with -d" : "");
    Outcome run = convert(
        log_, true, [](test::FaultyFileSystem&) {}, -1, c.content, {}, c.delete_converted);
    EXPECT_EQ(run.status, c.status) << where;
    EXPECT_EQ(run.messages, c.messages) << where;
    EXPECT_TRUE(run.trace == c.trace) << where;
    EXPECT_EQ(run.leftovers, Lines{}) << where;
    EXPECT_EQ(run.input_kept, c.status != 0 || !c.delete_converted) << where;
  }
}

// A compressor that fails fails the log with a message of its own, on whichever thread it ran.
TEST_F(Mdf4TraceWriterTest, AFailingCompressorFailsTheLogAndLeavesNoTrace) {
  struct Failing final : ColumnDeflater {
    std::size_t deflate(const std::uint8_t*, std::size_t, std::uint8_t*, std::size_t) override {
      return kDeflateFailed;
    }
  };
  for (bool thread : {true, false}) {
    Mdf4WriterOptions options;
    options.compress_thread = thread;
    options.deflater = []() -> std::unique_ptr<ColumnDeflater> {
      return std::unique_ptr<ColumnDeflater>(new (std::nothrow) Failing);
    };
    Outcome run = convert(
        log_, true, [](test::FaultyFileSystem&) {}, -1, kEarlier, options);
    EXPECT_EQ(run.status, 8) << thread;
    EXPECT_EQ(run.messages, (Lines{"Could not compress MDF4 data", "Error during end file callback",
                                   "Error during conversion of logs/a.txt"}))
        << thread;
    EXPECT_EQ(run.trace, kEarlier) << thread;
    EXPECT_EQ(run.leftovers, Lines{}) << thread;
    EXPECT_TRUE(run.input_kept) << thread;
  }
}

// Memory running out anywhere: the log fails or converts whole, never half.
TEST_F(Mdf4TraceWriterTest, MemoryRunningOutNeverLeavesAPartialTrace) {
  int failures = 0;
  for (std::int64_t budget = 0; budget < 400; budget += 3) {
    Outcome run = convert(
        log_, false, [](test::FaultyFileSystem&) {}, budget);
    const std::string where = "allocation " + std::to_string(budget);
    EXPECT_TRUE(run.status == 0 || run.status == 8 || run.status == 129) << where << ": " << run.status;
    EXPECT_TRUE(run.trace.empty() || run.trace == reference_) << where;
    EXPECT_EQ(run.leftovers, Lines{}) << where;
    // The input goes only once its whole trace is in place (removing it may fail too).
    EXPECT_TRUE(run.input_kept || !run.trace.empty()) << where;
    if (run.status != 0) {
      EXPECT_FALSE(run.messages.empty()) << where;
      ++failures;
    }
  }
  EXPECT_GT(failures, 5);
}

}  // namespace
}  // namespace quarn
