// --format mf4 and asc,mf4 end to end: quarn's MDF4 trace of a log, read back by quarn's reader
// and written as ASC, is the ASC trace quarn writes directly; and the two independent readers
// (python-can's MF4Reader, asammdf) find in it the frames quarn's reader finds.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "app/cli_run.h"
#include "asc/asc_trace_writer.h"
#include "gen_log.h"
#include "support/capture.h"
#include "support/mdf4_files.h"
#include "support/temp_dir.h"

namespace quarn {
namespace {

using test::CliRun;
using test::file_exists;
using test::make_dirs;
using test::read_file;
using test::TempDir;
using test::write_file;
using Lines = std::vector<std::string>;

// The ASC traces quarn's ASC writer makes of the frames in an MDF4 file (sorted by time, as for
// any source out of order), in `dir` under the name `base`.
std::string asc_of_mdf4(const std::string& mf4_path, const std::string& dir, const std::string& base) {
  test::Mdf4Read read = test::read_mdf4_file(mf4_path);
  EXPECT_TRUE(read.opened && read.error.empty()) << mf4_path << ": " << read.error;
  std::unique_ptr<FileSystem> fs = disk_fs_create(sv(dir.c_str()));
  RunOptions options;
  std::unique_ptr<TraceSink> asc = asc_only_sink_create();
  const LogContext context{fs.get(), fs.get(), true, &options};
  EXPECT_TRUE(asc);
  if (!asc) return "";
  EXPECT_TRUE(asc->begin_log(context, sv(base.c_str()), RecordSource{}));
  for (const BusRecord& r : read.records) EXPECT_TRUE(asc->take_record(r));
  EXPECT_TRUE(asc->end_log(context, sv(base.c_str()), true).ok);
  return read_file(dir + "/" + base + ".asc");
}

// Every file below `folder` with the given ending, relative to it, sorted.
Lines files_ending(const std::string& folder, const std::string& ending) {
  Lines names;
  for (const auto& e : std::filesystem::recursive_directory_iterator(folder)) {
    std::string name = std::filesystem::relative(e.path(), folder).string();
    if (e.is_regular_file() && name.size() > ending.size() &&
        name.compare(name.size() - ending.size(), ending.size(), ending) == 0) {
      names.push_back(name);
    }
  }
  std::sort(names.begin(), names.end());
  return names;
}

constexpr char kDataBeforeLength[] =
    "# Logger type: TarvikTwo\n# Time: 20240131T120000\n# Value separator: \";\"\n# Time format: 3\n"
    "# Time separator: \":\"\n# Time separator ms: \".\"\n# Date separator: \"-\"\n"
    "# Time and date separator: \"T\"\nTimestamp;Lost;Type;ID;Data;Length\n"
    "12:00:00.800;0;0;2FE;1F10;0\n12:00:00.801;0;1;1A98766F;A1B2C3;3\n12:00:00.802;0;0;7DA;;0\n";

// Logs of every time format, plain and with CR LF, and the bundled examples: both formats from
// one reading, each MDF4 trace equal to its ASC trace once read back, and the same MDF4 bytes
// when it is the only format written.
TEST(Mdf4CliTest, EveryLogsMdf4TraceGivesItsAscTrace) {
  TempDir dir;
  const std::string logs = dir / "logs";
  make_dirs(logs + "/gen");
  for (int format = 1; format <= 6; ++format) {
    for (bool crlf : {false, true}) {
      tools::GenLogOptions o;
      o.seed = static_cast<std::uint64_t>(40 + format);
      o.frames = 1500;
      o.time_format = static_cast<TimeFormat>(format);
      o.crlf = crlf;
      std::string text;
      ASSERT_TRUE(tools::gen_log_text(o, text));
      write_file(logs + "/gen/format" + std::to_string(format) + (crlf ? "_crlf" : "") + ".txt", text);
    }
  }
  // A log of several compressed blocks a group, a log of one frame, and one whose Data column comes
  // before its Length column, so that a frame has a data length code of 0 beside two data bytes.
  for (const auto& [name, frames] : {std::pair<const char*, int>{"large", 30000}, {"one", 1}}) {
    tools::GenLogOptions o;
    o.seed = 77;
    o.frames = frames;
    std::string text;
    ASSERT_TRUE(tools::gen_log_text(o, text));
    write_file(logs + "/gen/" + name + ".txt", text);
  }
  write_file(logs + "/gen/data_first.txt", kDataBeforeLength);
  std::filesystem::copy(std::string(QUARN_SOURCE_ROOT) + "/examples", logs + "/examples",
                        std::filesystem::copy_options::recursive);

  CliRun both = test::run_quarn(dir.path(), {"--format", "asc,mf4", "logs"});
  ASSERT_EQ(both.status, 0) << both.err;
  EXPECT_EQ(both.err, "");
  const std::string out = dir / "logs_out";
  const Lines asc = files_ending(out, ".asc");
  const Lines mf4 = files_ending(out, ".mf4");
  ASSERT_GE(mf4.size(), 20u);
  // The large log's data group takes several compressed blocks.
  {
    std::vector<std::string> problems;
    std::size_t compressed = 0;
    for (const auto& [at, b] : test::walk_blocks(read_file(out + "/gen/large.mf4"), problems))
      compressed += b.id == "##DZ";
    EXPECT_GE(compressed, 3u);
  }
  // The bytes beside a data length code of 0 are in the ASC trace, as in the MDF4 one.
  EXPECT_NE(read_file(out + "/gen/data_first.asc").find("0 0 0  2 1F 10 "), std::string::npos)
      << read_file(out + "/gen/data_first.asc");
  ASSERT_EQ(asc.size(), mf4.size());

  make_dirs(dir / "only");
  CliRun only = test::run_quarn(dir.path(), {"--format", "mf4", "-O", dir / "only", "logs"});
  ASSERT_EQ(only.status, 0) << only.err;
  EXPECT_EQ(files_ending(dir / "only/logs_out", ".asc"), Lines{});

  const std::string scratch = dir / "scratch";
  make_dirs(scratch);
  // Beside the files, the frames quarn's reader found in them, for the readers' check below.
  const std::string checked = std::string(QUARN_MDF4_CLI_FILES);
  std::filesystem::remove_all(checked);
  make_dirs(checked);
  Lines to_check;
  for (std::size_t i = 0; i < mf4.size(); ++i) {
    const std::string name = mf4[i];
    const std::string base = name.substr(0, name.size() - 4);
    EXPECT_EQ(asc[i], base + ".asc");
    const std::string path = out + "/" + name;
    EXPECT_TRUE(asc_of_mdf4(path, scratch, "t" + std::to_string(i)) == read_file(out + "/" + base + ".asc"))
        << name << ": read back, it is not the ASC trace";
    EXPECT_TRUE(read_file(dir / "only/logs_out/" + name) == read_file(path)) << name << ": not the same file alone";
    std::vector<std::string> problems;
    test::walk_blocks(read_file(path), problems);
    EXPECT_EQ(problems, std::vector<std::string>{}) << name;

    std::string flat = base;
    std::replace(flat.begin(), flat.end(), '/', '_');
    // python-can takes minutes over a log of several 1 MiB blocks; Mdf4Readers.* gives it
    // several blocks a group in small blocks instead.
    if (flat == "gen_large") continue;
    std::filesystem::copy_file(path, checked + "/" + flat + ".mf4");
    write_file(checked + "/" + flat + ".json", test::frames_json(test::read_mdf4_file(path).records));
    to_check.push_back(checked + "/" + flat + ".mf4");
  }

  // python-can 4.4.2 and asammdf 7.4.2 read the same frames.
  std::string command = "/usr/bin/python3 '" + std::string(QUARN_READERS_CHECK) + "' '" + test::shared_dir() + "' '" +
                        std::string(QUARN_READERS_BUILD) + "'";
  for (const std::string& f : to_check) command += " '" + f + "'";
  command += " > '" + checked + "/check.txt' 2>&1";
  int status = std::system(command.c_str());
  EXPECT_EQ(status, 0) << read_file(checked + "/check.txt");
}

// Each --mf4-compression writes the same frames; "none" writes no compressed block, the default
// compresses, and a value it does not know is refused with the accepted ones.
TEST(Mdf4CliTest, EveryCompressionWritesTheSameFrames) {
  TempDir dir;
  make_dirs(dir / "logs");
  tools::GenLogOptions o;
  o.frames = 30000;
  std::string text;
  ASSERT_TRUE(tools::gen_log_text(o, text));
  write_file(dir / "logs/a.txt", text);
  std::vector<std::string> frames;
  std::size_t stored_size = 0;
  for (const char* compression : {"none", "deflate", "transposed", ""}) {
    SCOPED_TRACE(compression);
    std::vector<std::string> args = {"--format", "mf4", "logs"};
    if (compression[0] != '\0') args.insert(args.begin(), {"--mf4-compression", compression});
    std::filesystem::remove_all(dir / "logs_out");
    CliRun r = test::run_quarn(dir.path(), args);
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string file = read_file(dir / "logs_out/a.mf4");
    test::Mdf4Read read = test::read_mdf4(file);
    EXPECT_EQ(read.error, "");
    if (frames.empty()) frames = test::describe(read.records);
    EXPECT_EQ(test::describe(read.records), frames);
    const bool none = compression == std::string("none");
    EXPECT_EQ(file.find("##DZ") == std::string::npos, none);
    if (none) stored_size = file.size();
    EXPECT_LE(file.size(), stored_size);
  }
  EXPECT_EQ(frames.size(), 30000u);
  CliRun bad = test::run_quarn(dir.path(), {"--mf4-compression", "gzip", "logs"});
  EXPECT_EQ(bad.status, 134);
  EXPECT_EQ(bad.out, "quarn: invalid MDF4 compression \"gzip\", expected none, deflate or transposed\n");
}

TEST(Mdf4CliTest, AnUnknownFormatIsRefusedWithTheAcceptedOnes) {
  TempDir dir;
  make_dirs(dir / "logs");
  for (const char* value : {"mdf", "ASC", "asc,asc", "asc,", ",mf4", "asc;mf4", "asc mf4"}) {
    CliRun r = test::run_quarn(dir.path(), {"--format", value, "logs"});
    EXPECT_EQ(r.status, 134) << value;
    EXPECT_EQ(r.out, std::string("quarn: invalid trace format \"") + value +
                         "\", expected asc, mf4, blf or a comma-separated list of them\n")
        << value;
    EXPECT_EQ(r.err, "") << value;
  }
  // --help wins.
  CliRun r = test::run_quarn(dir.path(), {"--format", "x", "--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind("Usage: quarn", 0), 0u);
  // Any order.
  CliRun both = test::run_quarn(dir.path(), {"--format", "mf4,asc", "logs"});
  EXPECT_EQ(both.status, 0) << both.err;
}

// With both formats, -d removes a log only when both its traces were written, and a failing
// format fails the log whatever the other did; ASC's messages come first.
TEST(Mdf4CliTest, EitherFormatFailingKeepsTheLog) {
  tools::GenLogOptions o;
  o.frames = 200;
  std::string text;
  ASSERT_TRUE(tools::gen_log_text(o, text));
  struct Case {
    const char* blocked;  // a folder in the way of this trace
    Lines messages;
  };
  const Case cases[] = {
      {"a.mf4", {"Could not move MDF4 trace into place: logs_out/a.mf4", "Error during end file callback",
                 "Error during conversion of logs/a.txt"}},
      {"a.asc", {"Could not move CAN trace into place: logs_out/a.asc", "Error during end file callback",
                 "Error during conversion of logs/a.txt"}},
  };
  for (const Case& c : cases) {
    TempDir dir;
    make_dirs(dir / "logs");
    write_file(dir / "logs/a.txt", text);
    make_dirs(dir / "logs_out" + "/" + c.blocked + "/x");
    CliRun r = test::run_quarn(dir.path(), {"-d", "--format", "asc,mf4", "logs"});
    EXPECT_EQ(r.status, 8) << c.blocked;
    EXPECT_EQ(test::messages_of(r.err), c.messages) << c.blocked;
    EXPECT_TRUE(file_exists(dir / "logs/a.txt")) << c.blocked;
  }
}

// An MDF4 log's error frames keep every field in an MDF4 trace; an ASC trace has lines for them
// that hold their time and channel alone, so -d keeps a log whose error frames hold more, unless
// an MDF4 trace is written beside it.
TEST(Mdf4CliTest, ErrorFramesKeepTheirFieldsAndTheLogWhereATraceCannotHoldThem) {
  const std::vector<BusRecord> all = test::in_read_order(test::generated_frames(31, 2000, false));
  std::vector<BusRecord> bare;  // error frames of a channel and a time only
  std::size_t with_fields = 0;
  for (const BusRecord& r : all) {
    const bool fields = r.Kind == CAN_ErrorFrame && (r.ID != 0 || r.DataLength != 0 || r.Can.ErrorType != 0);
    with_fields += fields;
    if (!fields) bare.push_back(r);
  }
  ASSERT_GE(with_fields, 20u);
  const std::string trip = test::write_mdf4(all);
  const std::string plain = test::write_mdf4(bare);
  const std::string kept =
      "W: Kept logs/trip.mf4: its ASC trace cannot hold the identifier, data, direction and error type of its "
      "error frames";
  const std::string kept_blf =
      "W: Kept logs/trip.mf4: its BLF trace cannot hold the direction, FD flags, error type and data past 8 bytes of "
      "its error frames";
  struct Case {
    Lines args;
    Lines left;  // the logs still there afterwards
    Lines warnings;
  };
  const Case cases[] = {
      {{"-d", "-I", "mf4", "--verbosity", "2", "logs"}, {"trip.mf4"}, {kept}},
      {{"-d", "-I", "mf4", "--verbosity", "2", "-F", "mf4", "logs"}, {}, {}},
      {{"-d", "-I", "mf4", "--verbosity", "2", "-F", "asc,mf4", "logs"}, {}, {}},
      {{"-d", "-I", "mf4", "--verbosity", "2", "-F", "blf", "logs"}, {"trip.mf4"}, {kept_blf}},
      {{"-d", "-I", "mf4", "--verbosity", "2", "-F", "mf4,blf", "logs"}, {}, {}},
      {{"-I", "mf4", "--verbosity", "2", "logs"}, {"plain.mf4", "trip.mf4"}, {}},  // nothing to keep without -d
  };
  for (const Case& c : cases) {
    std::string where;
    for (const std::string& a : c.args) where += a + " ";
    TempDir dir;
    make_dirs(dir / "logs");
    write_file(dir / "logs/trip.mf4", trip);
    write_file(dir / "logs/plain.mf4", plain);
    CliRun r = test::run_quarn(dir.path(), c.args);
    EXPECT_EQ(r.status, 0) << where << r.err;
    EXPECT_EQ(test::diagnostics_of(r.err), c.warnings) << where;
    EXPECT_EQ(files_ending(dir / "logs", ".mf4"), c.left) << where;
    const std::string asc = dir / "logs_out/trip.asc";
    if (file_exists(asc)) {
      // One ErrorFrame line for each error frame.
      const std::string text = read_file(asc);
      std::size_t lines = 0;
      for (std::size_t at = text.find("ErrorFrame"); at != std::string::npos; at = text.find("ErrorFrame", at + 1))
        ++lines;
      EXPECT_EQ(lines, static_cast<std::size_t>(std::count_if(
                           all.begin(), all.end(), [](const BusRecord& x) { return x.Kind == CAN_ErrorFrame; })))
          << where;
    }
    const std::string mf4 = dir / "logs_out/trip.mf4";
    if (!file_exists(mf4)) continue;
    test::Mdf4Read again = test::read_mdf4_file(mf4);
    EXPECT_EQ(again.error, "") << where;
    EXPECT_EQ(test::describe(again.records), test::describe(all)) << where;
  }

  // python-can 4.4.2 and asammdf 7.4.2 find every field of the error frames in the MDF4 trace.
  TempDir dir;
  make_dirs(dir / "logs");
  write_file(dir / "logs/trip.mf4", trip);
  ASSERT_EQ(test::run_quarn(dir.path(), {"-I", "mf4", "-F", "mf4", "logs"}).status, 0);
  const std::string checked = std::string(QUARN_MDF4_CLI_FILES) + "_errors";
  std::filesystem::remove_all(checked);
  make_dirs(checked);
  std::filesystem::copy_file(dir / "logs_out/trip.mf4", checked + "/trip.mf4");
  write_file(checked + "/trip.json", test::frames_json(all));
  const std::string command = "/usr/bin/python3 '" + std::string(QUARN_READERS_CHECK) + "' '" + test::shared_dir() +
                              "' '" + std::string(QUARN_READERS_BUILD) + "' '" + checked + "/trip.mf4' > '" + checked +
                              "/check.txt' 2>&1";
  EXPECT_EQ(std::system(command.c_str()), 0) << read_file(checked + "/check.txt");
}

}  // namespace
}  // namespace quarn
