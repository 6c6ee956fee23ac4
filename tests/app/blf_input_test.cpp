// End-to-end: BLF logs as input, beside text and MDF4 logs.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "app/cli_run.h"
#include "support/generated_log.h"
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

const double kStart = test::blf_seconds_of(test::BlfFileOptions{}.start);

// Frames of every kind but error frames, whose fields an ASC trace lacks: a log of them is one
// that -d removes.
std::vector<BusRecord> frames(std::uint64_t seed, std::size_t count) {
  std::vector<BusRecord> records = test::generated_frames(seed, count, false);
  records.erase(
      std::remove_if(records.begin(), records.end(), [](const BusRecord& r) { return r.Kind == CAN_ErrorFrame; }),
      records.end());
  return records;
}

std::string blf_of(const std::vector<BusRecord>& records, test::BlfFileOptions options = {}) {
  return test::blf_file_of(records, options);
}

// A log through quarn's own BLF trace gives the very ASC trace the log gives directly: text logs
// of every time format and line end, MDF4 logs with LIN frames, frames on channel 0 and 255,
// classic frames of 48 bytes and DLCs past 15; so does a BLF file made apart from the writer.
TEST(BlfInputTest, LogsThroughBlfGiveTheSameAscTrace) {
  TempDir dir;
  make_dirs(dir / "direct");
  make_dirs(dir / "via");
  auto same_through_blf = [&dir](const std::string& log, const std::string& base) {
    SCOPED_TRACE(log);
    ASSERT_EQ(run_quarn(dir.path(), {"-F", "asc,blf", "-O", dir / "direct", log}).status, 0);
    CliRun r = run_quarn(dir.path(), {"-O", dir / "via", dir / ("direct/" + base + ".blf")});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(read_file(dir / ("via/" + base + ".asc")) == read_file(dir / ("direct/" + base + ".asc")));
    EXPECT_EQ(file_exists(dir / ("via/" + base + "_LIN.asc")), file_exists(dir / ("direct/" + base + "_LIN.asc")));
    if (file_exists(dir / ("direct/" + base + "_LIN.asc"))) {
      EXPECT_TRUE(read_file(dir / ("via/" + base + "_LIN.asc")) == read_file(dir / ("direct/" + base + "_LIN.asc")));
    }
  };
  for (int format = 1; format <= 6; ++format) {
    const std::string name = "trip" + std::to_string(format);
    write_file(dir / (name + ".txt"),
               test::generated_log(format, format == 4, 3000, static_cast<std::uint64_t>(format)));
    same_through_blf(name + ".txt", name);
  }

  // Error frames as BLF holds them (no error type, up to 8 data bytes), so that both paths
  // carry the same frames.
  std::vector<BusRecord> records = test::generated_frames(4, 2000, true);
  for (std::size_t i = 0; i < records.size(); ++i) {
    BusRecord& f = records[i];
    const std::uint8_t channel = static_cast<std::uint8_t>(i % 3 == 0 ? 0 : i % 3 == 1 ? 255 : 2);
    if (f.Kind == LIN_Frame) {
      f.Lin.BusChannel = channel;
      f.Lin.ReceivedDataByteCount = static_cast<std::uint8_t>(f.DataLength);
    } else {
      f.Can.BusChannel = channel;
    }
    if (f.Kind == CAN_ErrorFrame) {
      f.Can.ErrorType = 0;
      f.Can.EDL = f.Can.BRS = f.Can.ESI = f.Can.Dir = 0;
      f.DataLength = std::min<std::uint64_t>(f.Can.DLC, 8);
      std::fill(f.Can.DataBytes + f.DataLength, f.Can.DataBytes + 64, std::uint8_t{0});
    }
  }
  records = test::in_read_order(records);
  write_file(dir / "bus.mf4", test::write_mdf4(records));
  same_through_blf("bus.mf4", "bus");
  // Classic frames of more than 8 bytes, which MDF4 logs may hold: FD objects without EDL; and
  // DLCs past 15, which a DLC channel of a byte may hold too.
  std::vector<BusRecord> long_classic = test::generated_frames(5, 50);
  for (std::size_t i = 0; i < long_classic.size(); ++i) {
    BusRecord& f = long_classic[i];
    if (f.Kind != CAN_DataFrame) continue;
    f.Can.EDL = f.Can.BRS = f.Can.ESI = 0;
    f.Can.DLC = i % 2 == 0 ? 14 : 0x6C;
    f.DataLength = 48;
  }
  write_file(dir / "long.mf4", test::write_mdf4(test::in_read_order(long_classic)));
  same_through_blf("long.mf4", "long");
  write_file(dir / "apart.blf", blf_of(records));
  ASSERT_EQ(run_quarn(dir.path(), {"-O", dir / "via", "apart.blf"}).status, 0);
  EXPECT_TRUE(read_file(dir / "via/apart.asc") == read_file(dir / "direct/bus.asc"));
  EXPECT_TRUE(read_file(dir / "via/apart_LIN.asc") == read_file(dir / "direct/bus_LIN.asc"));
}

// -I blf walks BLF logs; a named file converts by its suffix in any letter case.
TEST(BlfInputTest, AWalkTakesBlfLogsWhenAskedAndANamedFileAlways) {
  TempDir dir;
  make_dirs(dir / "logs/day1");
  const std::string blf = blf_of(test::generated_frames(2, 300, false));
  write_file(dir / "logs/day1/a.txt", test::generated_log(3, false, 200, 1));
  write_file(dir / "logs/day1/b.blf", blf);
  write_file(dir / "logs/c.BLF", blf);

  CliRun r = run_quarn(dir.path(), {"logs"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(test::files_below(dir / "logs_out"), Lines{"day1/a.asc"});
  std::filesystem::remove_all(dir / "logs_out");

  r = run_quarn(dir.path(), {"-I", "blf", "logs"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(test::files_below(dir / "logs_out"), (Lines{"c.asc", "day1/b.asc"}));
  std::filesystem::remove_all(dir / "logs_out");

  r = run_quarn(dir.path(), {"-I", "blf,mf4,txt", "--verbosity", "3", "logs"});
  EXPECT_EQ(diagnostics_of(r.err), Lines{"I: Converted 3 of 3 logs, 800 frames, 0 failed"});

  r = run_quarn(dir / "logs", {"-I", "txt", "c.BLF"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(file_exists(dir / "logs/c.asc"));
}

// A BLF log beside a text log of its name: the first in walk order keeps the trace, and -d
// removes a converted BLF log.
TEST(BlfInputTest, NamesakesAndDeletion) {
  TempDir dir;
  make_dirs(dir / "logs");
  write_file(dir / "logs/trip.blf", blf_of(frames(2, 300)));
  write_file(dir / "logs/trip.txt", test::generated_log(3, false, 200, 7));
  CliRun r = run_quarn(dir.path(), {"-I", "txt,blf", "-d", "logs"});
  EXPECT_EQ(r.status, 8);
  EXPECT_EQ(diagnostics_of(r.err),
            (Lines{"E: Output file already written in this run: logs_out/trip.asc", "E: Error during end file callback",
                   "E: Error during conversion of logs/trip.txt"}));
  EXPECT_EQ(test::files_below(dir / "logs"), Lines{"trip.txt"});
}

// A log holding frames of kinds quarn does not convert converts, warns of them and stays with -d;
// objects without frames only show in a debug line; frames stepping back past the window are
// skipped as in a text log.
TEST(BlfInputTest, LogsWithFramesTheTracesLackStay) {
  TempDir dir;
  make_dirs(dir / "logs");
  const std::vector<BusRecord> records = frames(2, 30);
  std::vector<test::BlfObject> objects = test::blf_objects_of(records, kStart);
  test::BlfObject other;
  other.type = blf::kLinMessage2;
  other.body.assign(40, '\0');
  test::BlfObject marker = other;
  marker.type = blf::kGlobalMarker;
  objects.insert(objects.begin() + 3, other);
  objects.insert(objects.begin() + 5, other);
  objects.insert(objects.begin() + 7, marker);
  write_file(dir / "logs/other.blf", test::blf_file(objects));
  write_file(dir / "logs/plain.blf", test::blf_file(test::blf_objects_of(records, kStart)));
  std::vector<test::BlfObject> late = test::blf_objects_of(frames(2, 2000), kStart);
  std::rotate(late.begin() + 1, late.begin() + 2, late.begin() + 1500);  // frame 1 comes 1498 frames late
  write_file(dir / "logs/late.blf", test::blf_file(late));

  CliRun r = run_quarn(dir.path(), {"-I", "blf", "-d", "--verbosity", "4", "logs"});
  EXPECT_EQ(r.status, 0) << r.err;
  const Lines lines = diagnostics_of(r.err);
  EXPECT_NE(std::find(lines.begin(), lines.end(), "W: Skipped BLF frames of other kinds in logs/other.blf: 2"),
            lines.end())
      << r.err;
  EXPECT_NE(std::find(lines.begin(), lines.end(), "D: Passed over BLF objects that hold no frame in logs/other.blf: 1"),
            lines.end())
      << r.err;
  EXPECT_NE(std::find(lines.begin(), lines.end(), "W: Skipped frames stepping back in time in logs/late.blf: 1"),
            lines.end())
      << r.err;
  EXPECT_EQ(test::files_below(dir / "logs"), (Lines{"late.blf", "other.blf"}));
  EXPECT_EQ(test::files_below(dir / "logs_out"), (Lines{"late.asc", "other.asc", "plain.asc"}));
  EXPECT_TRUE(read_file(dir / "logs_out/other.asc") == read_file(dir / "logs_out/plain.asc"));
}

// Damaged logs fail with one line naming the log and the reason, and stay with -d.
TEST(BlfInputTest, DamagedLogsFailAndStay) {
  TempDir dir;
  make_dirs(dir / "logs");
  test::BlfFileOptions small;
  small.container_bytes = 2000;
  const std::string good = blf_of(test::generated_frames(2, 300, false), small);
  test::BlfFileOptions unfinished;
  unfinished.finalised = false;
  const std::size_t c1 = test::kBlfFirstContainer + test::blf_u32(good, test::kBlfFirstContainer + 8);
  std::string bomb = good;
  test::blf_set_u32(bomb, test::kBlfFirstContainer + 24, 0x7FFFFFFFu);
  write_file(dir / "logs/a_notes.blf", "these are notes\n");
  write_file(dir / "logs/b_cut.blf", good.substr(0, good.size() - 10));
  write_file(dir / "logs/c_boundary.blf", good.substr(0, c1 + c1 % 4));
  write_file(dir / "logs/d_unfinished.blf",
             test::blf_file(test::blf_objects_of(test::generated_frames(2, 30), kStart), unfinished));
  write_file(dir / "logs/e_bomb.blf", bomb);
  CliRun r = run_quarn(dir.path(), {"-I", "blf", "-d", "logs"});
  EXPECT_EQ(r.status, 8);
  const Lines lines = diagnostics_of(r.err);
  // A log that fails once its trace has begun removes that trace: "Error during end file callback".
  ASSERT_EQ(lines.size(), 13u) << r.err;
  EXPECT_EQ(lines[0], "E: Could not read log logs/a_notes.blf: no BLF file header");
  EXPECT_EQ(lines[2].rfind("E: Could not read log logs/b_cut.blf: the file ends inside the container at byte ", 0), 0u)
      << lines[2];
  EXPECT_EQ(lines[5].rfind("E: Could not read input file to its end: logs/c_boundary.blf: its header declares ", 0), 0u)
      << lines[5];
  EXPECT_EQ(lines[8],
            "E: Could not read log logs/d_unfinished.blf: the file was never finalised: its header declares "
            "no data");
  EXPECT_EQ(lines[10],
            "E: Could not read log logs/e_bomb.blf: the container at byte 144 declares 2147483647 bytes, "
            "more than 4194304");
  EXPECT_EQ(lines[12], "E: Error during conversion of logs/e_bomb.blf");
  EXPECT_EQ(test::files_below(dir / "logs").size(), 5u);
}

}  // namespace
}  // namespace quarn
