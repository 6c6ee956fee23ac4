// The MDF4 samples that python-can's MF4 writer (over asammdf) made from known frames: the reader
// must find those frames, and the ASC writer must make of them the very trace beside each sample.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "asc/asc_trace_writer.h"
#include "io/file_system.h"
#include "mdf4/mdf4_decoder.h"
#include "support/mdf4_files.h"
#include "support/memory_stream.h"
#include "support/temp_dir.h"

namespace quarn {
namespace {

using test::describe;
using test::Mdf4Read;
using test::TempDir;

struct Sample {
  const char* mf4;
  const char* asc;
  std::size_t data_frames;
  std::size_t error_frames;
  std::size_t remote_frames;
};

const Sample kSamples[] = {
    {"can_plain.mf4", "can.asc", 384, 3, 16},
    {"can_deflate.mf4", "can.asc", 384, 3, 16},
    {"can_transposed.mf4", "can.asc", 384, 3, 16},
    {"can_large.mf4", "can_large.asc", 57033, 3, 2967},
};

std::size_t count_kind(const std::vector<BusRecord>& records, std::uint32_t kind) {
  return static_cast<std::size_t>(
      std::count_if(records.begin(), records.end(), [kind](const BusRecord& r) { return r.Kind == kind; }));
}

// The trace the ASC sink writes of `records`, handed over in the reader's order.
std::string asc_trace_of(const std::vector<BusRecord>& records) {
  TempDir dir;
  auto fs = disk_fs_create(sv(dir.path().c_str()));
  RunOptions options;
  auto sink = asc_only_sink_create();
  const LogContext context{fs.get(), fs.get(), true, &options};
  EXPECT_TRUE(sink);
  if (!sink) return {};
  EXPECT_TRUE(sink->begin_log(context, sv("trace"), RecordSource{}));
  for (const BusRecord& r : records) EXPECT_TRUE(sink->take_record(r));
  EXPECT_TRUE(sink->end_log(context, sv("trace"), true).ok);
  return test::read_file(dir / "trace.asc");
}

// The trace without its error frame lines, which the samples' traces were made without; those
// lines go to `error_lines` when given.
std::string without_error_frames(const std::string& trace, std::vector<std::string>* error_lines = nullptr) {
  std::string out;
  std::size_t at = 0;
  while (at < trace.size()) {
    std::size_t end = trace.find('\n', at);
    end = end == std::string::npos ? trace.size() : end + 1;
    const std::string line = trace.substr(at, end - at);
    if (line.find("ErrorFrame") == std::string::npos) {
      out += line;
    } else if (error_lines != nullptr) {
      error_lines->push_back(line);
    }
    at = end;
  }
  return out;
}

// The first differing line, so that a mismatch in a 10 MB trace stays readable.
std::string first_difference(const std::string& got, const std::string& want) {
  std::size_t at = 0;
  while (at < got.size() && at < want.size() && got[at] == want[at]) ++at;
  std::size_t line_start = want.rfind('\n', at == 0 ? 0 : at - 1);
  line_start = line_start == std::string::npos ? 0 : line_start + 1;
  return "at byte " + std::to_string(at) + "\n got: " + got.substr(line_start, got.find('\n', at) - line_start) +
         "\nwant: " + want.substr(line_start, want.find('\n', at) - line_start);
}

class Mdf4SamplesTest : public ::testing::TestWithParam<Sample> {};

TEST_P(Mdf4SamplesTest, ReaderFindsEveryFrame) {
  const Sample& s = GetParam();
  Mdf4Read read = test::read_mdf4_file(test::mdf4_sample(s.mf4));
  ASSERT_TRUE(read.opened) << read.error;
  EXPECT_EQ(read.error, "");
  EXPECT_EQ(count_kind(read.records, CAN_DataFrame), s.data_frames);
  EXPECT_EQ(count_kind(read.records, CAN_ErrorFrame), s.error_frames);
  EXPECT_EQ(count_kind(read.records, CAN_RemoteFrame), s.remote_frames);
  EXPECT_EQ(read.records.size(), s.data_frames + s.error_frames + s.remote_frames);
  // In time order, and at equal times in the order of the groups: data, error, remote frames.
  EXPECT_TRUE(std::is_sorted(read.records.begin(), read.records.end(), [](const BusRecord& a, const BusRecord& b) {
    auto rank = [](std::uint32_t k) { return k == CAN_DataFrame ? 0 : k == CAN_ErrorFrame ? 1 : 2; };
    return a.Timestamp < b.Timestamp || (a.Timestamp == b.Timestamp && rank(a.Kind) < rank(b.Kind));
  }));
  ASSERT_FALSE(read.records.empty());
  const double first = std::floor(
      std::min_element(read.records.begin(), read.records.end(), [](const BusRecord& a, const BusRecord& b) {
        return a.Timestamp < b.Timestamp;
      })->Timestamp);
  for (const BusRecord& r : read.records) {
    ASSERT_GE(r.Timestamp, 1715675400.0);  // the morning of 2024-05-14, or a few days later
    ASSERT_LT(r.Timestamp, first + 600);
    if (r.Kind == CAN_DataFrame) {
      ASSERT_TRUE(r.Can.BusChannel == 1 || r.Can.BusChannel == 2) << describe(r);
    }
    if (r.Kind == CAN_RemoteFrame) {
      ASSERT_EQ(r.Can.Remote, 1) << describe(r);
    }
    if (r.Kind == CAN_ErrorFrame) {
      ASSERT_EQ(r.DataLength, 0u);
    }
  }
  EXPECT_EQ(read.broken, std::vector<std::string>{});
}

TEST_P(Mdf4SamplesTest, AscTraceOfTheFramesEqualsTheSamplesTrace) {
  const Sample& s = GetParam();
  Mdf4Read read = test::read_mdf4_file(test::mdf4_sample(s.mf4));
  ASSERT_TRUE(read.opened) << read.error;
  const std::string want = test::read_file(test::mdf4_sample(s.asc));
  ASSERT_FALSE(want.empty());
  std::vector<std::string> error_lines;
  const std::string got = without_error_frames(asc_trace_of(read.records), &error_lines);
  EXPECT_TRUE(got == want) << first_difference(got, want);
  // Each error frame has its line: channel 1, classic.
  EXPECT_EQ(error_lines.size(), count_kind(read.records, CAN_ErrorFrame));
  for (const std::string& line : error_lines) EXPECT_NE(line.find(" 1  ErrorFrame\n"), std::string::npos) << line;
}

// Read, sorted by time, written by quarn and read again: the same frames, and the same trace.
TEST_P(Mdf4SamplesTest, QuarnRewritesTheFramesFaithfully) {
  const Sample& s = GetParam();
  Mdf4Read read = test::read_mdf4_file(test::mdf4_sample(s.mf4));
  ASSERT_TRUE(read.opened) << read.error;
  std::vector<BusRecord> ordered = read.records;
  std::stable_sort(ordered.begin(), ordered.end(),
                   [](const BusRecord& a, const BusRecord& b) { return a.Timestamp < b.Timestamp; });
  const std::string file = test::write_mdf4(ordered);
  ASSERT_FALSE(file.empty());
  Mdf4Read again = test::read_mdf4(file);
  ASSERT_TRUE(again.opened) << again.error;
  EXPECT_EQ(again.error, "");
  // quarn keeps times to the microsecond from the first frame's whole second.
  std::vector<BusRecord> kept = test::in_read_order(ordered);
  const double base = std::floor(ordered[0].Timestamp);
  for (BusRecord& r : kept) r.Timestamp = base + std::round((r.Timestamp - base) * 1e6) / 1e6;
  EXPECT_EQ(describe(again.records), describe(kept));
  EXPECT_TRUE(without_error_frames(asc_trace_of(again.records)) == test::read_file(test::mdf4_sample(s.asc)));
}

INSTANTIATE_TEST_SUITE_P(Samples, Mdf4SamplesTest, ::testing::ValuesIn(kSamples),
                         [](const ::testing::TestParamInfo<Sample>& param) {
                           std::string name = param.param.mf4;
                           name = name.substr(0, name.find('.'));
                           name.erase(std::remove(name.begin(), name.end(), '_'), name.end());
                           return name;
                         });

TEST(Mdf4SampleFilesTest, ArePresent) {
  for (const Sample& s : kSamples) {
    EXPECT_TRUE(test::file_exists(test::mdf4_sample(s.mf4))) << test::mdf4_sample(s.mf4) << " (set QUARN_SHARED)";
    EXPECT_TRUE(test::file_exists(test::mdf4_sample(s.asc))) << test::mdf4_sample(s.asc);
  }
}

// The three small samples hold the same frames however their data blocks are stored.
TEST(Mdf4SampleFilesTest, CompressionChangesNoFrame) {
  Mdf4Read plain = test::read_mdf4_file(test::mdf4_sample("can_plain.mf4"));
  ASSERT_TRUE(plain.opened) << plain.error;
  for (const char* name : {"can_deflate.mf4", "can_transposed.mf4"}) {
    Mdf4Read other = test::read_mdf4_file(test::mdf4_sample(name));
    ASSERT_TRUE(other.opened) << other.error;
    EXPECT_EQ(describe(other.records), describe(plain.records)) << name;
  }
}

TEST(Mdf4SampleFilesTest, HeaderFacts) {
  test::MemoryStream stream(test::read_file(test::mdf4_sample("can_plain.mf4")));
  auto reader = mdf4_decoder_create();
  ASSERT_TRUE(reader);
  ASSERT_TRUE(reader->open(&stream)) << reader->error();
  EXPECT_EQ(reader->version(), 410);
  EXPECT_EQ(reader->start_time_ns(), 1715675400000000000u);  // 2024-05-14 08:30:00 UTC
  EXPECT_EQ(reader->group_count(), 3);
  EXPECT_EQ(reader->declared_records(), 403u);
}

}  // namespace
}  // namespace quarn
