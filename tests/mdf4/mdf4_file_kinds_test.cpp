// Every kind of MDF4 file the reader is to read, each made from known frames by software that
// makes such files: quarn's writer; the layouts data loggers write (made here with the block
// helpers, and read alike by asammdf); and asammdf's save, cut, concatenate and filter and
// python-can's MF4Writer over quarn's files. Each must give back exactly its frames, in time
// order; what it cannot read it refuses with the reason.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "mdf4/mdf4_decoder.h"
#include "support/mdf4_files.h"
#include "support/mdf4_logger_files.h"
#include "support/temp_dir.h"

namespace quarn {
namespace {

using test::LoggerLayout;
using test::Store;

// The frames, later by `seconds` (a whole number, so that each stays at its microsecond).
std::vector<BusRecord> shifted(std::vector<BusRecord> records, std::int64_t seconds) {
  for (BusRecord& r : records)
    r.Timestamp = static_cast<double>(test::micros_of(r.Timestamp) + seconds * 1000000) / 1e6;
  return records;
}

std::vector<BusRecord> only(const std::vector<BusRecord>& records, bool (*keep)(const BusRecord&)) {
  std::vector<BusRecord> out;
  for (const BusRecord& r : records) {
    if (keep(r)) out.push_back(r);
  }
  return out;
}

struct LoggerKind {
  const char* name;
  LoggerLayout layout;
  // asammdf reads it too; it cannot when the groups of one data group share short member names.
  // (Record ids of 8 bytes beyond 31 bits, which it cannot read either, are the decoder test's.)
  bool external_check;
};

std::vector<LoggerKind> logger_kinds() {
  std::vector<LoggerKind> kinds;
  auto add = [&](const char* name, bool check, auto change) {
    LoggerLayout l;
    change(l);
    kinds.push_back({name, l, check});
  };
  add("logger-ids1-signal-packed", true, [](LoggerLayout&) {});
  add("logger-ids2-fixed-bytes", true, [](LoggerLayout& l) {
    l.id_size = 2;
    l.id_base = 0x1100;
    l.signal_data = false;
    l.packed = false;
  });
  add("logger-ids4-lists-hl-mixed", true, [](LoggerLayout& l) {
    l.id_size = 4;
    l.id_base = 0x11223300;
    l.block_bytes = 777;
    l.hl = true;
    l.store = Store::kMixed;
  });
  add("logger-ids8-equal-lists-deflate", true, [](LoggerLayout& l) {
    l.id_size = 8;
    l.block_bytes = 4096;
    l.equal_lengths = true;
    l.store = Store::kDeflate;
  });
  add("logger-shared-values", true, [](LoggerLayout& l) { l.share_values = true; });
  add("logger-short-member-names", false, [](LoggerLayout& l) { l.short_names = true; });
  add("logger-version-4.00", true, [](LoggerLayout& l) { l.version = 400; });
  add("sorted-signal-data-sd", true, [](LoggerLayout& l) { l.id_size = 0; });
  add("sorted-signal-data-lists-mixed", true, [](LoggerLayout& l) {
    l.id_size = 0;
    l.block_bytes = 1000;
    l.equal_lengths = true;
    l.store = Store::kMixed;
  });
  add("sorted-fixed-transposed-hl", true, [](LoggerLayout& l) {
    l.id_size = 0;
    l.signal_data = false;
    l.block_bytes = 5000;
    l.hl = true;
    l.store = Store::kTransposed;
  });
  add("sorted-version-4.20", true, [](LoggerLayout& l) {
    l.id_size = 0;
    l.version = 420;
    l.packed = false;
  });
  return kinds;
}

struct Row {
  std::string file;             // in the test's folder
  std::vector<BusRecord> want;  // in the order the reader gives them
  bool exact;                   // times compared exactly, else to the microsecond
  std::string error;            // the reason, for a file the reader refuses
};

TEST(Mdf4FileKindsTest, EveryKindGivesBackItsFramesInTimeOrder) {
  test::TempDir dir;
  const std::vector<BusRecord> frames = test::generated_frames(41, 3000);
  const std::vector<BusRecord> later = shifted(test::generated_frames(42, 1000), 30);
  Mdf4WriterOptions lists;
  lists.block_bytes = 1000;
  lists.list_links = 3;
  test::write_file(dir / "quarn.mf4", test::write_mdf4(frames));
  test::write_file(dir / "quarn-lists.mf4", test::write_mdf4(frames, lists));
  test::write_file(dir / "later.mf4", test::write_mdf4(later));
  test::write_file(dir / "quarn.json", test::frames_json(test::in_read_order(frames)));

  std::vector<Row> rows;
  rows.push_back({"quarn.mf4", test::in_read_order(frames), true, ""});
  rows.push_back({"quarn-lists.mf4", test::in_read_order(frames), true, ""});
  std::string checked;
  for (const LoggerKind& k : logger_kinds()) {
    const std::string name = std::string(k.name) + ".mf4";
    test::write_file(dir / name, test::write_logger_mdf4(frames, k.layout));
    test::write_file(dir / (std::string(k.name) + ".json"), test::frames_json(test::in_logger_order(frames)));
    if (k.external_check) checked += std::string(checked.empty() ? "" : ", ") + "\"" + name + "\"";
    rows.push_back({name, test::in_logger_order(frames), false, ""});
  }
  // A data group of one channel group whose records still carry ids.
  LoggerLayout one;
  one.signal_data = false;
  one.other_signals = false;
  one.empty_groups = false;
  const std::vector<BusRecord> data_frames = only(frames, [](const BusRecord& r) { return r.Kind == CAN_DataFrame; });
  test::write_file(dir / "logger-one-group-with-ids.mf4", test::write_logger_mdf4(data_frames, one));
  test::write_file(dir / "logger-one-group-with-ids.json", test::frames_json(data_frames));
  checked += ", \"logger-one-group-with-ids.mf4\"";
  rows.push_back({"logger-one-group-with-ids.mf4", data_frames, false, ""});

  // asammdf cuts between frames, so that where it puts the ends does not matter.
  const double start = std::floor(frames[0].Timestamp);
  const double from = (frames[500].Timestamp + frames[501].Timestamp) / 2 - start;
  // The cut's last frame: one from about 2200 on whose successor comes later.
  std::size_t last = 2200;
  while (last + 2 < frames.size() && !(frames[last].Timestamp < frames[last + 1].Timestamp)) ++last;
  const double to = (frames[last].Timestamp + frames[last + 1].Timestamp) / 2 - start;
  ASSERT_LT(frames[500].Timestamp, frames[501].Timestamp);
  ASSERT_LT(frames[last].Timestamp, frames[last + 1].Timestamp);
  char request[4096];
  std::snprintf(request, sizeof request, "{\"cut\": [%.9f, %.9f], \"check\": [%s]}", from, to, checked.c_str());
  test::write_file(dir / "request.json", request);
  const std::string command = "/usr/bin/python3 '" + std::string(QUARN_OTHER_WRITERS) + "' '" + test::shared_dir() +
                              "' '" + std::string(QUARN_READERS_BUILD) + "' '" + dir.path() + "' > '" +
                              (dir / "other_writers.txt") + "' 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0) << test::read_file(dir / "other_writers.txt");

  const std::vector<BusRecord> cut(frames.begin() + 501, frames.begin() + static_cast<std::ptrdiff_t>(last) + 1);
  std::vector<BusRecord> both = frames;
  both.insert(both.end(), later.begin(), later.end());
  for (int c = 0; c < 3; ++c)
    rows.push_back({"save" + std::to_string(c) + ".mf4", test::in_read_order(frames), true, ""});
  rows.push_back({"cut.mf4", test::in_read_order(cut), true, ""});
  rows.push_back({"concatenate.mf4", test::in_read_order(both), false, ""});
  rows.push_back(
      {"filter_all.mf4", only(frames, [](const BusRecord& r) { return r.Kind == CAN_DataFrame; }), true, ""});
  // python-can's messages have no error type: its error frames keep every other field.
  std::vector<BusRecord> python_can =
      test::in_read_order(only(frames, [](const BusRecord& r) { return r.Kind != LIN_Frame; }));
  for (BusRecord& r : python_can) {
    if (r.Kind == CAN_ErrorFrame) r.Can.ErrorType = 0;
  }
  rows.push_back({"python_can.mf4", python_can, false, ""});
  rows.push_back(
      {"filter_lacking.mf4",
       {},
       true,
       "data group 0 (CAN_DataFrame): missing channels CAN_DataFrame.IDE, CAN_DataFrame.DataLength (or DLC)"});
  rows.push_back(
      {"columns.mf4", {}, true, "data group 1 (CAN_DataFrame): column-oriented data groups are not supported"});

  for (const Row& row : rows) {
    SCOPED_TRACE(row.file);
    test::Mdf4Read read = test::read_mdf4_file(dir / row.file);
    EXPECT_EQ(read.error, row.error);
    EXPECT_EQ(read.broken, std::vector<std::string>{});
    if (row.exact) {
      EXPECT_EQ(test::describe(read.records), test::describe(row.want));
    } else {
      EXPECT_EQ(test::describe_us(read.records), test::describe_us(row.want));
    }
  }
}

}  // namespace
}  // namespace quarn
