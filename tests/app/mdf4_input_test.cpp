// End-to-end: MDF4 logs as input, beside text logs.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "app/cli_run.h"
#include "asc/asc_trace_writer.h"
#include "support/generated_log.h"
#include "io/file_system.h"
#include "support/blf_files.h"
#include "support/mdf4_files.h"
#include "support/temp_dir.h"

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

// A text log converted to MDF4 and that file converted to ASC gives the very trace the log gives
// directly, in every time format and with CR LF line ends: nothing of a frame is lost on the way.
TEST(Mdf4InputTest, ATextLogThroughMdf4GivesTheSameAscTrace) {
  for (int format = 1; format <= 6; ++format) {
    for (bool crlf : {false, true}) {
      const std::string where = "format " + std::to_string(format) + (crlf ? ", CR LF" : "");
      TempDir dir;
      make_dirs(dir / "direct");
      make_dirs(dir / "via");
      write_file(dir / "trip.txt", test::generated_log(format, crlf, 3000, 7));
      ASSERT_EQ(run_quarn(dir.path(), {"-F", "asc,mf4", "-O", dir / "direct", "trip.txt"}).status, 0) << where;
      CliRun r = run_quarn(dir.path(), {"-O", dir / "via", dir / "direct/trip.mf4"});
      EXPECT_EQ(r.status, 0) << where;
      EXPECT_EQ(r.err, "") << where;
      ASSERT_TRUE(file_exists(dir / "via/trip.asc")) << where;
      EXPECT_TRUE(read_file(dir / "via/trip.asc") == read_file(dir / "direct/trip.asc")) << where;
    }
  }
}

// The ASC traces the ASC writer makes of `records` in `dir`: NAME.asc and NAME_LIN.asc.
void asc_traces_of(const std::vector<BusRecord>& records, const std::string& dir) {
  auto fs = disk_fs_create(sv(dir.c_str()));
  RunOptions options;
  auto sink = asc_only_sink_create();
  const LogContext context{fs.get(), fs.get(), true, &options};
  ASSERT_TRUE(sink);
  RecordSource source;
  source.time_ordered = true;
  ASSERT_TRUE(sink->begin_log(context, sv("trip"), source));
  for (const BusRecord& r : records) ASSERT_TRUE(sink->take_record(r));
  ASSERT_TRUE(sink->end_log(context, sv("trip"), true).ok);
}

// Every kind of frame an MDF4 log holds reaches its traces: CAN data (classic and FD), remote and
// LIN frames the ASC traces, error frames too the MDF4 trace, each with its channel and direction.
TEST(Mdf4InputTest, EveryKindOfFrameReachesTheTraces) {
  TempDir dir;
  make_dirs(dir / "out");
  make_dirs(dir / "want");
  const std::vector<BusRecord> records = test::in_read_order(test::generated_frames(9, 3000, true));
  write_file(dir / "trip.mf4", test::write_mdf4(records));
  CliRun r = run_quarn(dir.path(), {"-F", "asc,mf4", "-O", dir / "out", "trip.mf4"});
  EXPECT_EQ(r.status, 0) << r.err;
  asc_traces_of(records, dir / "want");
  EXPECT_EQ(test::files_below(dir / "out"), (Lines{"trip.asc", "trip.mf4", "trip_LIN.asc"}));
  EXPECT_TRUE(read_file(dir / "out/trip.asc") == read_file(dir / "want/trip.asc"));
  EXPECT_TRUE(read_file(dir / "out/trip_LIN.asc") == read_file(dir / "want/trip_LIN.asc"));
  test::Mdf4Read again = test::read_mdf4_file(dir / "out/trip.mf4");
  EXPECT_EQ(again.error, "");
  EXPECT_EQ(test::describe(again.records), test::describe(records));
}

// -I chooses what a walk converts; a file named on the command line converts by its suffix, in any
// letter case, whatever -I says.
TEST(Mdf4InputTest, AWalkTakesTheChosenFormatsAndANamedFileItsOwn) {
  TempDir dir;
  make_dirs(dir / "mf4s");
  make_dirs(dir / "logs/day1");
  write_file(dir / "logs/day1/a.txt", test::generated_log(3, false, 200, 1));
  write_file(dir / "logs/day1/b.txt", test::generated_log(3, false, 200, 2));
  ASSERT_EQ(run_quarn(dir.path(), {"-F", "mf4", "-X", "-O", dir / "mf4s", "logs"}).status, 0);
  std::filesystem::rename(dir / "mf4s/logs/day1/b.mf4", dir / "logs/day1/b.MF4");
  std::filesystem::remove(dir / "logs/day1/b.txt");
  std::filesystem::rename(dir / "mf4s/logs/day1/a.mf4", dir / "logs/c.mf4");

  CliRun r = run_quarn(dir.path(), {"logs"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(test::files_below(dir / "logs_out"), Lines{"day1/a.asc"});
  std::filesystem::remove_all(dir / "logs_out");

  r = run_quarn(dir.path(), {"-I", "mf4", "logs"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(test::files_below(dir / "logs_out"), (Lines{"c.asc", "day1/b.asc"}));
  std::filesystem::remove_all(dir / "logs_out");

  r = run_quarn(dir / "logs", {"-I", "txt", "day1/b.MF4"});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(file_exists(dir / "logs/day1/b.asc"));

  // The same order of names whatever the formats: the walk goes by name, not by kind.
  r = run_quarn(dir.path(), {"-I", "mf4,txt", "--verbosity", "3", "logs"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(diagnostics_of(r.err), Lines{"I: Converted 3 of 3 logs, 600 frames, 0 failed"});
  EXPECT_EQ(test::files_below(dir / "logs_out"), (Lines{"c.asc", "day1/a.asc", "day1/b.asc"}));

  for (const char* bad : {"asc", "txt,txt", "", "TXT", "txt,"}) {
    r = run_quarn(dir.path(), {"-I", bad, "logs"});
    EXPECT_EQ(r.status, 134) << bad;
    EXPECT_EQ(r.out, std::string("quarn: invalid input format \"") + bad +
                         "\", expected txt, mf4, blf or a comma-separated list of them\n")
        << bad;
  }
}

// A trace never takes its own log's name; a text log and an MDF4 log of one name make one trace,
// which the first in walk order keeps; -d removes a converted MDF4 log as it does a text log; a
// file the reader refuses fails with the reader's reason and stays.
TEST(Mdf4InputTest, WhatAnMdf4LogCanFailOf) {
  TempDir dir;
  make_dirs(dir / "logs");
  write_file(dir / "src.txt", test::generated_log(3, false, 500, 7));
  ASSERT_EQ(run_quarn(dir.path(), {"-F", "mf4", "src.txt"}).status, 0);
  const std::string mf4 = read_file(dir / "src.mf4");
  write_file(dir / "logs/trip.mf4", mf4);

  CliRun r = run_quarn(dir / "logs", {"-F", "mf4", "trip.mf4"});
  EXPECT_EQ(r.status, 8);
  EXPECT_EQ(diagnostics_of(r.err),
            (Lines{"E: Output file would replace its input: trip.mf4", "E: Error during conversion of trip.mf4"}));
  EXPECT_TRUE(read_file(dir / "logs/trip.mf4") == mf4);
  EXPECT_EQ(test::files_below(dir / "logs"), Lines{"trip.mf4"});

  write_file(dir / "logs/trip.txt", test::generated_log(3, false, 500, 7));
  r = run_quarn(dir.path(), {"-I", "txt,mf4", "-d", "logs"});
  EXPECT_EQ(r.status, 8);
  EXPECT_EQ(diagnostics_of(r.err),
            (Lines{"E: Output file already written in this run: logs_out/trip.asc", "E: Error during end file callback",
                   "E: Error during conversion of logs/trip.txt"}));
  EXPECT_FALSE(file_exists(dir / "logs/trip.mf4"));  // converted first, and removed
  EXPECT_TRUE(file_exists(dir / "logs/trip.txt"));

  // A file with the suffix that is no MDF4 file, and one cut short.
  write_file(dir / "logs/notes.mf4", "these are notes\n");
  write_file(dir / "logs/cut.mf4", mf4.substr(0, mf4.size() / 2));
  std::filesystem::remove(dir / "logs/trip.txt");
  std::filesystem::remove_all(dir / "logs_out");
  r = run_quarn(dir.path(), {"-I", "mf4", "-d", "logs"});
  EXPECT_EQ(r.status, 8);
  const Lines lines = diagnostics_of(r.err);
  ASSERT_EQ(lines.size(), 4u) << r.err;
  EXPECT_EQ(lines[0].rfind("E: Could not read log logs/cut.mf4: ", 0), 0u) << lines[0];
  EXPECT_EQ(lines[1], "E: Error during conversion of logs/cut.mf4");
  EXPECT_EQ(lines[2], "E: Could not read log logs/notes.mf4: not an MDF file");
  EXPECT_EQ(lines[3], "E: Error during conversion of logs/notes.mf4");
  EXPECT_EQ(test::files_below(dir / "logs"), (Lines{"cut.mf4", "notes.mf4"}));
  EXPECT_EQ(test::files_below(dir / "logs_out"), Lines{});
}

// No trace replaces a log: not its own, under any spelling of the output folder; not a recording of
// its name beside it, walked or not; not one the command line names; and no walk converts the
// traces it writes into its own input folder. Every log that would be replaced stays as it was.
TEST(Mdf4InputTest, ATraceNeverReplacesALog) {
  const std::string recording = test::mdf4_sample("can_plain.mf4");
  ASSERT_FALSE(recording.empty());
  const std::string log = test::generated_log(3, false, 200, 7);
  // A BLF recording, not written by quarn.
  const std::string blf_recording = test::blf_file_of(test::generated_frames(3, 50, false));
  const Lines self = {"E: Output file would replace its input: rec.mf4", "E: Error during conversion of rec.mf4"};
  const Lines over_recording = {"E: Output file would replace a log: logs/trip.mf4",
                                "E: Error during end file callback", "E: Error during conversion of logs/trip.txt"};
  struct Case {
    const char* what;
    const char* cwd;  // below the test's folder
    std::vector<std::string> args;
    int status;
    Lines diagnostics;
  } cases[] = {
      {"-O .", "logs", {"-F", "mf4", "-O", ".", "rec.mf4"}, 8, self},
      {"-O ./", "logs", {"-F", "mf4", "-O", "./", "rec.mf4"}, 8, self},
      {"-O sub/..", "logs", {"-F", "mf4", "-O", "sub/..", "rec.mf4"}, 8, self},
      {"-O ../logs", "logs", {"-F", "mf4", "-O", "../logs", "rec.mf4"}, 8, self},
      {"-X into the walked folder",
       "",
       {"-F", "mf4", "-X", "-I", "mf4", "-O", ".", "logs"},
       8,
       {"E: Output file would replace its input: logs/rec.mf4", "E: Error during conversion of logs/rec.mf4",
        "E: Output file would replace its input: logs/trip.mf4", "E: Error during conversion of logs/trip.mf4"}},
      {"a recording beside its log", "", {"-F", "mf4", "-X", "logs"}, 8, over_recording},
      {"-O . over a BLF log",
       "logs",
       {"-F", "blf", "-O", ".", "rec.blf"},
       8,
       {"E: Output file would replace its input: rec.blf", "E: Error during conversion of rec.blf"}},
      {"a BLF recording beside its log",
       "",
       {"-F", "asc,blf", "-X", "logs"},
       8,
       {"E: Output file would replace a log: logs/trip.blf", "E: Error during end file callback",
        "E: Error during conversion of logs/trip.txt"}},
      {"a recording beside its log, walked",
       "",
       {"-F", "mf4", "-X", "-I", "txt,mf4", "-d", "logs"},
       8,
       {"E: Output file would replace its input: logs/rec.mf4", "E: Error during conversion of logs/rec.mf4",
        "E: Output file would replace its input: logs/trip.mf4", "E: Error during conversion of logs/trip.mf4",
        "E: Output file would replace a log: logs/trip.mf4", "E: Error during conversion of logs/trip.txt"}},
  };
  for (const Case& c : cases) {
    TempDir dir;
    make_dirs(dir / "logs/sub");
    write_file(dir / "logs/trip.txt", log);
    write_file(dir / "logs/rec.mf4", recording);
    write_file(dir / "logs/trip.mf4", recording);
    write_file(dir / "logs/rec.blf", blf_recording);
    write_file(dir / "logs/trip.blf", blf_recording);
    const CliRun r = run_quarn(std::string(c.cwd).empty() ? dir.path() : dir / c.cwd, c.args);
    EXPECT_EQ(r.status, c.status) << c.what;
    EXPECT_EQ(diagnostics_of(r.err), c.diagnostics) << c.what;
    EXPECT_TRUE(read_file(dir / "logs/rec.mf4") == recording) << c.what;
    EXPECT_TRUE(read_file(dir / "logs/trip.mf4") == recording) << c.what;
    EXPECT_TRUE(read_file(dir / "logs/rec.blf") == blf_recording) << c.what;
    EXPECT_TRUE(read_file(dir / "logs/trip.blf") == blf_recording) << c.what;
    EXPECT_TRUE(file_exists(dir / "logs/trip.txt")) << c.what;
  }

  // A rerun replaces the traces of the run before, which are quarn's own of the same logs; and a
  // walk whose output lies inside it passes over that folder, where its traces are, even under -d.
  TempDir dir;
  make_dirs(dir / "logs/sub");
  write_file(dir / "logs/trip.txt", log);
  ASSERT_EQ(run_quarn(dir.path(), {"-F", "mf4", "-X", "logs"}).status, 0);
  const std::string trace = read_file(dir / "logs/trip.mf4");
  write_file(dir / "logs/trip.mf4", trace.substr(0, trace.size() - 1) + "\x01");
  CliRun r = run_quarn(dir.path(), {"-F", "mf4", "-X", "logs"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(read_file(dir / "logs/trip.mf4") == trace);
  // So does a BLF trace of quarn's.
  ASSERT_EQ(run_quarn(dir.path(), {"-F", "blf", "-X", "logs"}).status, 0);
  const std::string blf_trace = read_file(dir / "logs/trip.blf");
  write_file(dir / "logs/trip.blf", blf_trace.substr(0, blf_trace.size() - 1) + "\x01");
  r = run_quarn(dir.path(), {"-F", "blf", "-X", "logs"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(read_file(dir / "logs/trip.blf") == blf_trace);
  std::filesystem::remove(dir / "logs/trip.blf");
  // Named on the command line, that same trace is a log of the run: nothing may replace it.
  r = run_quarn(dir / "logs", {"-F", "mf4", "trip.txt", "trip.mf4"});
  EXPECT_EQ(r.status, 8);
  EXPECT_EQ(diagnostics_of(r.err),
            (Lines{"E: Output file would replace a log: trip.mf4", "E: Error during conversion of trip.txt",
                   "E: Output file would replace its input: trip.mf4", "E: Error during conversion of trip.mf4"}));
  EXPECT_TRUE(read_file(dir / "logs/trip.mf4") == trace);
  std::filesystem::remove(dir / "logs/trip.mf4");
  r = run_quarn(dir.path(), {"-I", "txt,mf4", "-F", "mf4", "-d", "--verbosity", "3", "-O", "logs/sub", "logs"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(diagnostics_of(r.err), Lines{"I: Converted 1 of 1 logs, 200 frames, 0 failed"});
  EXPECT_EQ(test::files_below(dir / "logs"), Lines{"sub/logs_out/trip.mf4"});
}

#ifndef _WIN32
// Links name the same file under another path: a hard link to a log is that log, and so is the
// log reached through a link to its folder.
TEST(Mdf4InputTest, ALinkToALogIsThatLog) {
  TempDir dir;
  make_dirs(dir / "logs");
  make_dirs(dir / "out");
  const std::string recording = test::mdf4_sample("can_plain.mf4");
  write_file(dir / "logs/rec.mf4", recording);
  std::filesystem::create_hard_link(dir / "logs/rec.mf4", dir / "out/rec.mf4");
  std::filesystem::create_directory_symlink(".", dir / "logs/here");
  for (const char* out : {"../out", "here"}) {
    const CliRun r = run_quarn(dir / "logs", {"-F", "mf4", "-d", "-O", out, "rec.mf4"});
    EXPECT_EQ(r.status, 8) << out;
    EXPECT_EQ(diagnostics_of(r.err),
              (Lines{"E: Output file would replace its input: rec.mf4", "E: Error during conversion of rec.mf4"}))
        << out;
    EXPECT_TRUE(read_file(dir / "logs/rec.mf4") == recording) << out;
  }
}
#endif

// A tree of text, MDF4 and BLF logs converted with every job count, with and without -d: the
// traces and the diagnostics are those of one log after another.
TEST(Mdf4InputTest, MixedTreesGiveTheSameResultsWithAnyJobs) {
  TempDir source;
  make_dirs(source / "m");
  for (int k = 0; k < 6; ++k) {
    write_file(source / ("m/l" + std::to_string(k) + ".txt"),
               test::generated_log(1 + k % 6, k % 2 == 1, 300 + 500 * k, 10 + static_cast<std::uint64_t>(k)));
  }
  ASSERT_EQ(run_quarn(source.path(), {"-F", "mf4", "m"}).status, 0);
  // Every second log only as MDF4, the last of them as BLF.
  for (int k = 1; k < 6; k += 2) {
    const std::string name = "l" + std::to_string(k);
    std::filesystem::remove(source / ("m/" + name + ".txt"));
    std::filesystem::rename(source / ("m_out/" + name + ".mf4"), source / ("m/" + name + ".mf4"));
  }
  write_file(source / "m/l5.blf", test::blf_file_of(test::read_mdf4_file(source / "m/l5.mf4").records));
  std::filesystem::remove(source / "m/l5.mf4");
  std::string reference_err;
  std::vector<std::string> reference_names;
  std::vector<std::string> reference_traces;
  for (bool remove : {false, true}) {
    for (const char* jobs : {"1", "2", "4"}) {
      const std::string where = std::string("-j ") + jobs + (remove ? " -d" : "");
      TempDir dir;
      std::filesystem::copy(source / "m", dir / "logs", std::filesystem::copy_options::recursive);
      std::vector<std::string> args = {"-I", "txt,mf4,blf", "-j", jobs, "--verbosity", "3", "logs"};
      if (remove) args.insert(args.begin(), "-d");
      CliRun r = run_quarn(dir.path(), args);
      EXPECT_EQ(r.status, 0) << where;
      std::vector<std::string> traces;
      for (const std::string& name : test::files_below(dir / "logs_out"))
        traces.push_back(read_file(dir / ("logs_out/" + name)));
      if (reference_names.empty()) {
        reference_err = test::diagnostics_of(r.err).back();
        reference_names = test::files_below(dir / "logs_out");
        reference_traces = traces;
        EXPECT_EQ(reference_names.size(), 6u);
      }
      EXPECT_EQ(test::files_below(dir / "logs_out"), reference_names) << where;
      EXPECT_TRUE(traces == reference_traces) << where;
      EXPECT_EQ(diagnostics_of(r.err), Lines{reference_err}) << where;
      EXPECT_EQ(test::files_below(dir / "logs").size(), remove ? 0u : 6u) << where;
    }
  }
}

// Dates past what an MDF4 header can hold (2554) still make an ASC trace, which runs to 3000; the
// MDF4 trace fails with a line that names the log and the limit.
TEST(Mdf4InputTest, TimesPastTheLastMdf4StartNameTheLogAndTheLimit) {
  TempDir dir;
  tools::GenLogOptions o;
  o.time_format = TimeFormat::FullDate;
  o.start = "26000131T120000";
  o.frames = 20;
  std::string text;
  ASSERT_TRUE(tools::gen_log_text(o, text));
  write_file(dir / "far.txt", text);
  CliRun r = run_quarn(dir.path(), {"-F", "asc,mf4", "far.txt"});
  EXPECT_EQ(r.status, 8);
  EXPECT_EQ(diagnostics_of(r.err),
            (Lines{"E: Could not convert MDF4 time of far.txt: MDF4 files start from 1970 to 2554-07-21 23:34:33 UTC",
                   "E: Error during end file callback", "E: Error during conversion of far.txt"}));
  EXPECT_TRUE(file_exists(dir / "far.asc"));
  EXPECT_FALSE(file_exists(dir / "far.mf4"));
}

// A damaged MDF4 log fails with the reason, whatever the traces asked for, and with -d it stays:
// frames its traces would lack must not go with it.
TEST(Mdf4InputTest, DamagedLogsFailAndStay) {
  using test::data_groups;
  using test::data_of;
  using test::file_u64;
  using test::link_at;
  Mdf4WriterOptions stored;  // DT blocks, whose records the rows change
  stored.compression = Mdf4Compression::None;
  const std::string original = test::write_mdf4(test::generated_frames(4, 300, false), stored);
  auto cg0 = [](const std::string& f) { return test::channel_group_of(f, data_groups(f)[0]); };
  auto cycles0 = [&](const std::string& f) { return data_of(f, cg0(f)) + 8; };
  auto record0 = [](const std::string& f, std::uint64_t k) {
    return file_u64(f, link_at(data_groups(f)[0], 2)) + 24 + k * 84;  // 84-byte data frames
  };
  auto set_time = [&](std::string& f, std::uint64_t k, double t) { std::memcpy(f.data() + record0(f, k) + 76, &t, 8); };
  struct Row {
    const char* what;
    std::function<std::string(std::string&)> damage;  // returns the line that says why
    bool at_open = false;
  };
  const std::vector<Row> rows = {
      {"records past the channel group's count",
       [&](std::string& f) {
         const std::uint64_t counted = file_u64(f, cycles0(f)) - 100;
         test::set_file_u64(f, cycles0(f), counted);
         return "E: Could not read input file to its end: x.mf4: data group 0 (CAN_DataFrame): the data holds "
                "records past the " +
                std::to_string(counted) + " its channel group counts";
       }},
      {"a CAN data-frame group whose channels end after its time",
       [&](std::string& f) {
         test::set_file_u64(f, link_at(file_u64(f, link_at(cg0(f), 1)), 0), 0);
         return "E: Could not read log x.mf4: data group 0: a CAN bus channel group of " +
                std::to_string(file_u64(f, cycles0(f))) + " records has no channels but its time";
       },
       true},
      // The last frame's, which no later frame shows out of time order.
      {"an infinite time",
       [&](std::string& f) {
         const std::uint64_t last = file_u64(f, cycles0(f)) - 1;
         set_time(f, last, std::numeric_limits<double>::infinity());
         return "E: Could not read log x.mf4: data group 0 (CAN_DataFrame): the time of record " +
                std::to_string(last) + ", inf s, lies outside 1970 to 3000";
       }},
      {"a time of 1e300 s",
       [&](std::string& f) {
         const std::uint64_t last = file_u64(f, cycles0(f)) - 1;
         set_time(f, last, 1e300);
         return "E: Could not read log x.mf4: data group 0 (CAN_DataFrame): the time of record " +
                std::to_string(last) + ", 1e+300 s, lies outside 1970 to 3000";
       }},
      {"a BusChannel of 16 bits",
       [&](std::string& f) {
         f[data_of(f, test::channel_named(f, "CAN_DataFrame.BusChannel")) + 8] = 16;
         f[record0(f, 0) + 1] = 2;  // the identifier's low byte, now the channel's high one
         return "E: Could not read log x.mf4: data group 0 (CAN_DataFrame): BusChannel of record 0 is " +
                std::to_string(512 + static_cast<unsigned char>(f[record0(f, 0)])) + ", more than 255";
       }},
  };
  for (const Row& row : rows) {
    std::string damaged = original;
    const std::string why = row.damage(damaged);
    for (const char* format : {"asc", "mf4", "asc,mf4", "blf"}) {
      SCOPED_TRACE(std::string(row.what) + ", -F " + format);
      TempDir dir;
      make_dirs(dir / "logs");
      make_dirs(dir / "out");
      write_file(dir / "logs/x.mf4", damaged);
      CliRun r = run_quarn(dir.path(), {"-F", format, "-d", "-O", "out", "logs/x.mf4"});
      EXPECT_EQ(r.status, 8);
      // A file refused as it opens has no traces begun to end.
      Lines want = {why, "E: Error during end file callback", "E: Error during conversion of x.mf4"};
      if (row.at_open) want.erase(want.begin() + 1);
      EXPECT_EQ(diagnostics_of(r.err), want);
      EXPECT_TRUE(read_file(dir / "logs/x.mf4") == damaged);
    }
  }
}

}  // namespace
}  // namespace quarn
