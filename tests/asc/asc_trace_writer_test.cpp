#include "asc/asc_trace_writer.h"
#include "asc/asc_lines.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include "base/memory.h"
#include "support/bus_records.h"
#include "support/capture.h"
#include "support/faulty_fs.h"
#include "support/temp_dir.h"
#include "textlog/text_log_decoder.h"

namespace quarn {
namespace {

using test::can_frame;
using test::lin_frame;
using test::messages_of;
using test::StderrCapture;
using Messages = std::vector<std::string>;

constexpr double kBase = 1706704496.0;  // 2024-01-31 12:34:56 UTC

const std::string kHeader = "date Wed Jan 31 12:34:56 2024\nbase hex  timestamps absolute\nBegin Triggerblock\n";
const std::string kLinHeader = "date Wed Jan 31 12:34:56  2024\nbase hex  timestamps absolute\nBegin Triggerblock\n";
const std::string kFooter = "End Triggerblock\n";

// The end of every CAN line, with the flags word right-aligned in eight columns.
std::string tail(const std::string& flags = "0") {
  return "       0    0 " + std::string(8 - flags.size(), ' ') + flags +
         "        0        0        0        0        0\n";
}

// A received standard-identifier line on channel 1; `rest` runs from BRS to the data bytes.
std::string can_line(const char* time, const char* id, const std::string& rest, const std::string& flags = "0") {
  return std::string(time) + " CANFD   1 Rx        " + id + std::string(35, ' ') + rest + tail(flags);
}

const std::string kLine123 = can_line("   0.789000", "123", "0 0 8  8 01 02 03 04 05 06 07 08 ");

class AscTraceWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs_ = test::faulty_fs_create(dir_.path());
    ASSERT_TRUE(fs_);
    sink_ = asc_only_sink_create();
    ASSERT_TRUE(sink_);
    run_.input_fs = run_.output_fs = fs_.get();
    run_.options = &options_;
  }

  // One log, handed over record by record as the conversion loop would.
  bool convert(const std::vector<BusRecord>& records) {
    RecordSource source;
    EXPECT_TRUE(sink_->begin_log(run_, sv("trace"), source));
    for (const BusRecord& r : records) EXPECT_TRUE(sink_->take_record(r));
    ended_ = sink_->end_log(run_, sv("trace"), true);
    return ended_.ok;
  }

  std::string trace(const char* name = "trace.asc") { return test::read_file(dir_ / name); }
  bool exists(const char* name) { return test::file_exists(dir_ / name); }

  test::TempDir dir_;
  RunOptions options_;
  std::unique_ptr<test::FaultyFileSystem> fs_;
  LogContext run_;
  std::unique_ptr<TraceSink> sink_;
  TracesEnded ended_;  // the last log's, as convert ended it
};

TEST(AscFormatTest, AppendingGrowsTheLineOnlyWhenNeededAndKeepsItWhenItCannot) {
  DynString line;
  dynstr_from(line, "abc");
  ASSERT_TRUE(asc_append_format(line, "%s|%5d|%-3X|%07d", "x", 42, 0xAu, 1234567));
  EXPECT_STREQ(dynstr_data(line), "abcx|   42|A  |1234567");  // 22: exactly the inline room
  EXPECT_FALSE(dynstr_is_long(line));
  ASSERT_TRUE(asc_append_format(line, "%c", 'z'));
  EXPECT_EQ(dynstr_capacity(line), 23);  // grown by what the text needed
  const std::uint8_t bytes[] = {0x01, 0xAB, 0xFF, 0x00, 0x5c};
  ASSERT_TRUE(asc_append_hex_bytes(line, bytes, 0));
  ASSERT_TRUE(asc_append_hex_bytes(line, bytes, 5));
  EXPECT_STREQ(dynstr_data(line), "abcx|   42|A  |1234567z01 AB FF 00 5C");

  mem_fail_after(0);
  EXPECT_FALSE(asc_append_format(line, "%s", std::string(100, 'x').c_str()));
  EXPECT_FALSE(asc_append_hex_bytes(line, bytes, 5));
  mem_fail_after(-1);
  EXPECT_STREQ(dynstr_data(line), "abcx|   42|A  |1234567z01 AB FF 00 5C");
}

// Frame lines go through stb_sprintf, everything else through the C library. On the times a log
// can hold (milliseconds, however far from the base) both agree. They part on a time a hair
// below a half-microsecond tie (3.15e-05 is stored as 3.1499999999999999e-05): stb rounds it up,
// the C library down. No log time comes near such a tie; this records it for whoever swaps one
// formatter for the other.
TEST(AscFormatTest, StbAndTheCLibrarySpellTimes) {
  std::vector<double> times = {0.0, 0.789, 59.999999, 1234567.123456, 32535215999.999, -0.25};
  for (std::int64_t ms = 0; ms < 200000; ms += 7) times.push_back((kBase + 0.001 * static_cast<double>(ms)) - kBase);
  for (double t : times) {
    DynString line;
    ASSERT_TRUE(asc_append_format(line, "% 11.6f|% 12.6f", t, t));
    char expected[64];
    std::snprintf(expected, sizeof expected, "% 11.6f|% 12.6f", t, t);
    ASSERT_STREQ(dynstr_data(line), expected) << "time " << t;
  }
  DynString tie;
  ASSERT_TRUE(asc_append_format(tie, "% 11.6f", 3.15e-05));
  char libc[32];
  std::snprintf(libc, sizeof libc, "% 11.6f", 3.15e-05);
  EXPECT_EQ(std::string(dynstr_data(tie)) + libc, "   0.000032   0.000031");
}

TEST_F(AscTraceWriterTest, EveryColumnOfTheFrameLines) {
  BusRecord extended = can_frame(kBase + 0.789, 0x123, {1, 2, 3, 4, 5, 6, 7, 8});
  extended.Can.IDE = 1;
  BusRecord sent = can_frame(kBase + 1, 0x7FF, {0xDE, 0xAD});
  sent.Can.Dir = 1;
  sent.Can.BusChannel = 12;
  BusRecord remote = can_frame(kBase + 2, 0x1ABCDEF0, {});
  remote.Kind = CAN_RemoteFrame;
  remote.Can.IDE = remote.Can.Remote = 1;
  remote.Can.DLC = 8;
  BusRecord fd = can_frame(kBase + 3, 0x10, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11});
  fd.Can.EDL = fd.Can.BRS = 1;
  fd.Can.DLC = 9;
  BusRecord fd_esi = can_frame(kBase + 4, 0x11, {0xAA});
  fd_esi.Can.EDL = fd_esi.Can.ESI = 1;
  BusRecord dlc0 = can_frame(kBase + 5, 0x12, {0x55, 0x66, 0x77});  // DLC 0 beside data: the bytes are kept
  dlc0.Can.DLC = 0;

  ASSERT_TRUE(
      convert({can_frame(kBase + 0.789, 0x123, {1, 2, 3, 4, 5, 6, 7, 8}), extended, sent, remote, fd, fd_esi, dlc0}));
  EXPECT_EQ(trace(), kHeader + kLine123 + "   0.789000 CANFD   1 Rx   00000123x" + std::string(34, ' ') +
                         "0 0 8  8 01 02 03 04 05 06 07 08 " + tail() + "   1.000000 CANFD  12 Tx        7FF" +
                         std::string(35, ' ') + "0 0 2  2 DE AD " + tail() + "   2.000000 CANFD   1 Rx   1ABCDEF0x" +
                         std::string(34, ' ') + "0 0 8  0 " + tail("10") +
                         can_line("   3.000000", "010", "1 0 9 12 00 01 02 03 04 05 06 07 08 09 0A 0B ", "3000") +
                         can_line("   4.000000", "011", "0 1 1  1 AA ", "5000") +
                         can_line("   5.000000", "012", "0 0 0  3 55 66 77 ") + kFooter);
  EXPECT_FALSE(exists("trace_LIN.asc"));
}

TEST_F(AscTraceWriterTest, FramesAreSortedStablyAndEachLogStartsEmpty) {
  ASSERT_TRUE(convert({can_frame(kBase + 3.5, 0x3, {}), can_frame(kBase + 0.25, 0x1, {}), can_frame(kBase + 2, 0xA, {}),
                       can_frame(kBase + 2, 0xB, {}), can_frame(kBase + 1, 0x2, {}), lin_frame(kBase, 0x3c, {})}));
  // The base is the earliest frame's whole second, not the first one handed in.
  EXPECT_EQ(trace(), kHeader + can_line("   0.250000", "001", "0 0 0  0 ") +
                         can_line("   1.000000", "002", "0 0 0  0 ") + can_line("   2.000000", "00A", "0 0 0  0 ") +
                         can_line("   2.000000", "00B", "0 0 0  0 ") + can_line("   3.500000", "003", "0 0 0  0 ") +
                         kFooter);
  ASSERT_TRUE(convert({can_frame(kBase + 86400.5, 0x456, {0x42})}));
  EXPECT_EQ(trace(), "date Thu Feb 01 12:34:56 2024\nbase hex  timestamps absolute\nBegin Triggerblock\n" +
                         can_line("   0.500000", "456", "0 0 1  1 42 ") + kFooter);
}

// The date line names the first frame's whole second; lines count from it, not from the frame's
// own time, so that a LIN line shows the same time as a CAN line of the same moment.
TEST_F(AscTraceWriterTest, LinTraceCountsFromTheDateLinesWholeSecond) {
  BusRecord sent = lin_frame(kBase + 1.789, 0x3c, {0xFF});
  sent.Lin.Dir = 1;
  sent.Lin.BusChannel = 2;
  ASSERT_TRUE(convert({sent, lin_frame(kBase + 0.789, 0x21, {1, 2}), lin_frame(kBase + 12.039, 0x5, {})}));
  EXPECT_FALSE(exists("trace.asc"));
  EXPECT_EQ(trace("trace_LIN.asc"), kLinHeader +
                                        "    0.789000 1 21  Rx d 2 01 02\n"
                                        "    1.789000 2 3c  Tx d 1 FF\n"
                                        "   12.039000 1 5  Rx d 0 \n" +
                                        kFooter);
}

// A time of hundreds of digits makes a line longer than any usual one: it still goes in whole,
// in a source in time order too, where lines are written as they come.
TEST_F(AscTraceWriterTest, AnOverlongLineGoesInWhole) {
  const double far = 9.8e250;
  std::string seconds(251, '0');
  std::string far_line = " " + std::string("98") + seconds.substr(2) + ".000000 CANFD   1 Rx        123" +
                         std::string(35, ' ') + "0 0 0  0 " + tail();
  for (bool ordered : {false, true}) {
    RecordSource source;
    source.time_ordered = ordered;
    ASSERT_TRUE(sink_->begin_log(run_, sv("trace"), source));
    ASSERT_TRUE(sink_->take_record(can_frame(kBase + 0.789, 0x123, {1, 2, 3, 4, 5, 6, 7, 8})));
    ASSERT_TRUE(sink_->take_record(can_frame(kBase + far, 0x123, {})));
    ASSERT_TRUE(sink_->end_log(run_, sv("trace"), true).ok);
    std::string got = trace();
    ASSERT_GT(far_line.size(), 384u);
    EXPECT_EQ(got.substr(0, kHeader.size() + kLine123.size()), kHeader + kLine123) << ordered;
    std::string last = got.substr(kHeader.size() + kLine123.size());
    EXPECT_EQ(last.size(), far_line.size() + kFooter.size()) << ordered;
    EXPECT_EQ(last.substr(last.size() - kFooter.size()), kFooter) << ordered;
    EXPECT_EQ(last.find(".000000 CANFD   1 Rx        123"), 252u) << ordered;
  }
}

TEST_F(AscTraceWriterTest, CopiesOwnTheirBytesAndNeverReadPastTheRecord) {
  BusRecord source = can_frame(kBase + 0.789, 0x123, {1, 2, 3, 4, 5, 6, 7, 8});
  BusRecord oversized = can_frame(kBase + 1, 0x1, {});  // claims 1000 bytes, points nowhere
  for (int i = 0; i < 64; ++i) oversized.Can.DataBytes[i] = static_cast<std::uint8_t>(i);
  oversized.DataLength = 1000;
  oversized.Can.DLC = 15;
  oversized.DataPointer = nullptr;
  BusRecord lin = lin_frame(kBase + 0.25, 0x3c, {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7});
  lin.DataLength = 200;
  BusRecord error = can_frame(kBase, 0x9, {});
  error.Kind = CAN_ErrorFrame;

  ASSERT_TRUE(sink_->begin_log(run_, sv("trace"), RecordSource{}));
  for (const BusRecord* r : {&source, &oversized, &lin, &error}) ASSERT_TRUE(sink_->take_record(*r));
  std::memset(source.Can.DataBytes, 0xEE, sizeof source.Can.DataBytes);  // the producer refills
  ASSERT_TRUE(sink_->end_log(run_, sv("trace"), true).ok);

  std::string all64;
  for (int i = 0; i < 64; ++i) {
    char pair[4];
    std::snprintf(pair, sizeof pair, "%02X ", i);
    all64 += pair;
  }
  EXPECT_EQ(trace(), kHeader + "   0.000000 1  ErrorFrame\n" + kLine123 +
                         can_line("   1.000000", "001", "0 0 F 64 " + all64) + kFooter);
  EXPECT_EQ(trace("trace_LIN.asc"), kLinHeader + "    0.250000 1 3c  Rx d 8 A0 A1 A2 A3 A4 A5 A6 A7\n" + kFooter);
}

// An error frame's line holds its time and channel, and in the CAN FD form its direction; the
// writer tells when a frame held more, so that -d keeps the log.
TEST_F(AscTraceWriterTest, ErrorFrameLinesAndWhatTheyCannotHold) {
  struct Case {
    const char* name;
    void (*make)(BusRecord&);
    const char* line;
    bool loses;
  };
  const Case cases[] = {
      {"bare", [](BusRecord&) {}, "   0.250000 1  ErrorFrame\n", false},
      {"on channel 3", [](BusRecord& r) { r.Can.BusChannel = 3; }, "   0.250000 3  ErrorFrame\n", false},
      {"extended identifier 0", [](BusRecord& r) { r.Can.IDE = 1; }, "   0.250000 1  ErrorFrame\n", false},
      {"FD, sent", [](BusRecord& r) { r.Can.EDL = r.Can.Dir = 1; }, "   0.250000 CANFD   1 Tx ErrorFrame\n", false},
      {"FD, received, channel 12",
       [](BusRecord& r) {
         r.Can.EDL = 1;
         r.Can.BusChannel = 12;
       },
       "   0.250000 CANFD  12 Rx ErrorFrame\n", false},
      {"with an identifier", [](BusRecord& r) { r.ID = 0x18FEF100; }, "   0.250000 1  ErrorFrame\n", true},
      {"with data",
       [](BusRecord& r) {
         r.DataLength = r.Can.DLC = 3;
         r.Can.DataBytes[0] = 0xAA;
       },
       "   0.250000 1  ErrorFrame\n", true},
      {"with a code alone", [](BusRecord& r) { r.Can.DLC = 8; }, "   0.250000 1  ErrorFrame\n", true},
      {"with an error type", [](BusRecord& r) { r.Can.ErrorType = 4; }, "   0.250000 1  ErrorFrame\n", true},
      {"sent, classic", [](BusRecord& r) { r.Can.Dir = 1; }, "   0.250000 1  ErrorFrame\n", true},
      {"FD with BRS", [](BusRecord& r) { r.Can.EDL = r.Can.BRS = 1; }, "   0.250000 CANFD   1 Rx ErrorFrame\n", true},
      {"FD with ESI", [](BusRecord& r) { r.Can.EDL = r.Can.ESI = 1; }, "   0.250000 CANFD   1 Rx ErrorFrame\n", true},
  };
  for (const Case& c : cases) {
    BusRecord error = can_frame(kBase + 0.25, 0, {});
    error.Kind = CAN_ErrorFrame;
    c.make(error);
    ASSERT_TRUE(convert({error, can_frame(kBase + 1, 0x123, {1, 2, 3, 4, 5, 6, 7, 8})})) << c.name;
    EXPECT_EQ(trace(), kHeader + c.line + can_line("   1.000000", "123", "0 0 8  8 01 02 03 04 05 06 07 08 ") + kFooter)
        << c.name;
    EXPECT_EQ(ended_.lack != nullptr, c.loses) << c.name;
  }
  // Each log is judged on its own frames.
  ASSERT_TRUE(convert({can_frame(kBase + 1, 0x123, {})}));
  EXPECT_EQ(ended_.lack, nullptr);
}

TEST_F(AscTraceWriterTest, FailuresLeaveNoPartialTrace) {
  const std::vector<BusRecord> frames = {can_frame(kBase + 0.789, 0x123, {1, 2, 3, 4, 5, 6, 7, 8}),
                                         can_frame(kBase + 1.5, 0x124, {9}), lin_frame(kBase, 0x3c, {1, 2}),
                                         lin_frame(kBase + 1, 0x3d, {3})};
  ASSERT_TRUE(convert(frames));
  const std::int64_t can_total = static_cast<std::int64_t>(trace().size());
  std::filesystem::remove(dir_ / "trace.asc");
  std::filesystem::remove(dir_ / "trace_LIN.asc");
  const std::int64_t can_header = static_cast<std::int64_t>(kHeader.size());
  const std::int64_t lin_header = static_cast<std::int64_t>(kLinHeader.size());
  const std::string can_data = "Could not write CAN data", can_footer = "Could not write CAN footer";
  const std::string lin_data = "Could not write LIN data", lin_footer = "Could not write LIN footer";
  // Each trace's stream comes up short after `limit` bytes; after a failed frame line the footer
  // is still tried, and fails too.
  struct Case {
    std::int64_t limit;
    Messages messages;
  } cases[] = {
      {0, {"Could not write CAN header", "Could not write LIN header"}},
      {can_header - 1, {"Could not write CAN header", "Could not write LIN header"}},
      {can_header, {can_data, can_footer, "Could not write LIN header"}},
      {lin_header + 5, {can_data, can_footer, lin_data, lin_footer}},
      {can_total - 1, {can_footer}},  // the shorter LIN trace fits
  };
  for (const Case& c : cases) {
    fs_->write_faults.write_limit = c.limit;
    StderrCapture capture;
    EXPECT_FALSE(convert(frames));
    EXPECT_EQ(messages_of(capture.text()), c.messages) << "limit " << c.limit;
    EXPECT_FALSE(exists("trace.asc")) << "limit " << c.limit;
    EXPECT_EQ(exists("trace_LIN.asc"), c.limit == can_total - 1) << "limit " << c.limit;
  }
  // At Debug the write that failed (a full disk, as the test stream says) follows the first
  // message of each trace, the LIN trace's too.
  {
    test::ThresholdGuard debug(1);
    fs_->write_faults.write_limit = lin_header + 5;
    StderrCapture capture;
    EXPECT_FALSE(convert(frames));
    Messages got = messages_of(capture.text());
    for (std::string& m : got) m = std::regex_replace(m, std::regex(R"(\.[0-9]+\.[0-9]+\.part)"), ".PID.part");
    const std::string full = ".PID.part: No space left on device";
    EXPECT_EQ(got, (Messages{can_data, "write " + (dir_ / "trace.asc") + full, can_footer, lin_data,
                             "write " + (dir_ / "trace_LIN.asc") + full, lin_footer}));
  }
  fs_->write_faults.write_limit = -1;
  std::filesystem::remove(dir_ / "trace_LIN.asc");  // the complete one of the last case

  // A failed close says nothing itself; the loop reports the failed log.
  fs_->write_faults.fail_close = true;
  StderrCapture quiet;
  EXPECT_FALSE(convert(frames));
  EXPECT_TRUE(messages_of(quiet.text()).empty());
  EXPECT_FALSE(exists("trace.asc") || exists("trace_LIN.asc"));
  fs_->refuse_remove = true;
  EXPECT_FALSE(convert(frames));
  fs_->write_faults.fail_close = fs_->refuse_remove = false;

  for (double bad : {-1.5, 32535216000.0, std::nan(""), static_cast<double>(INFINITY)}) {
    StderrCapture capture;
    EXPECT_FALSE(convert({can_frame(bad, 0x1, {}), lin_frame(bad, 0x2, {})}));
    EXPECT_EQ(messages_of(capture.text()), (Messages{"Could not convert CAN time", "Could not convert LIN time"}));
    EXPECT_FALSE(exists("trace.asc") || exists("trace_LIN.asc"));
  }
}

// The names in the output folder, sorted.
std::vector<std::string> folder_names(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(folder)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

TEST_F(AscTraceWriterTest, TracesAppearWholeUnderTheirNamesOrNotAtAll) {
  const std::vector<BusRecord> frames = {can_frame(kBase + 0.789, 0x123, {1, 2, 3, 4, 5, 6, 7, 8}),
                                         lin_frame(kBase, 0x3c, {1, 2})};
  test::write_file(dir_ / "trace.asc", "an earlier complete trace\n");
  // While the trace is written only a temporary file exists; the real name is never truncated.
  fs_->write_faults.write_limit = static_cast<std::int64_t>(kHeader.size()) + 10;
  {
    StderrCapture quiet;
    EXPECT_FALSE(convert(frames));
  }
  EXPECT_EQ(trace(), "an earlier complete trace\n");
  EXPECT_EQ(folder_names(dir_.path()), (std::vector<std::string>{"trace.asc"}));  // no temporary left
  for (const std::string& opened : fs_->opened) EXPECT_NE(opened.find(".part"), std::string::npos) << opened;

  // A trace that cannot be moved into place is dropped, and the earlier one stays.
  fs_->write_faults.write_limit = -1;
  fs_->refuse_rename = true;
  {
    StderrCapture capture;
    EXPECT_FALSE(convert(frames));
    EXPECT_EQ(messages_of(capture.text()), (Messages{"Could not move CAN trace into place: trace.asc",
                                                     "Could not move LIN trace into place: trace_LIN.asc"}));
  }
  EXPECT_EQ(folder_names(dir_.path()), (std::vector<std::string>{"trace.asc"}));

  fs_->refuse_rename = false;
  ASSERT_TRUE(convert(frames));
  EXPECT_EQ(trace(), kHeader + kLine123 + kFooter);
  EXPECT_EQ(folder_names(dir_.path()), (std::vector<std::string>{"trace.asc", "trace_LIN.asc"}));
}

TEST_F(AscTraceWriterTest, OneTraceThatCannotBeOpenedDoesNotStopTheOther) {
  fs_->refuse_open_containing = "trace.asc";
  StderrCapture capture;
  EXPECT_FALSE(convert({can_frame(kBase + 0.789, 0x123, {}), lin_frame(kBase + 0.789, 0x3c, {})}));
  EXPECT_FALSE(exists("trace.asc"));
  EXPECT_EQ(trace("trace_LIN.asc"), kLinHeader + "    0.789000 1 3c  Rx d 0 \n" + kFooter);
  fs_->refuse_open_containing = "_LIN.asc";
  EXPECT_FALSE(convert({can_frame(kBase + 0.789, 0x123, {1, 2, 3, 4, 5, 6, 7, 8}), lin_frame(kBase, 0x3c, {})}));
  EXPECT_EQ(trace(), kHeader + kLine123 + kFooter);
  EXPECT_EQ(messages_of(capture.text()), (Messages{"Could not open output file for CAN: trace.asc",
                                                   "Could not open output file for LIN: trace_LIN.asc"}));
}

TEST_F(AscTraceWriterTest, WithDeleteConvertedTracesReachTheDiskFirst) {
  options_.delete_converted = true;
  ASSERT_TRUE(convert({can_frame(kBase, 0x1, {}), lin_frame(kBase, 0x3c, {})}));
  EXPECT_EQ(fs_->syncs + fs_->folder_syncs, 4);
  // Under -d an earlier trace of other bytes would be kept: these are not what this test is about.
  std::filesystem::remove(dir_ / "trace.asc");
  std::filesystem::remove(dir_ / "trace_LIN.asc");

  fs_->write_faults.fail_sync = true;
  fs_->fail_sync_folder = true;
  StderrCapture capture;
  EXPECT_FALSE(convert({can_frame(kBase, 0x1, {})}));
  EXPECT_FALSE(exists("trace.asc"));
  fs_->write_faults.fail_sync = false;
  EXPECT_FALSE(convert({lin_frame(kBase, 0x1, {})}));  // written and closed, but its folder entry is not safe
  EXPECT_EQ(messages_of(capture.text()), (Messages{"Could not flush CAN trace to disk: trace.asc",
                                                   "Could not flush LIN trace to disk: trace_LIN.asc"}));

  options_.delete_converted = false;  // the input stays, so nothing is forced to disk
  fs_->syncs = fs_->folder_syncs = 0;
  ASSERT_TRUE(convert({can_frame(kBase, 0x1, {})}));
  EXPECT_EQ(fs_->syncs + fs_->folder_syncs, 0);
}

TEST_F(AscTraceWriterTest, MemoryRunningOutFailsTheLogRatherThanDroppingFrames) {
  RecordSource source;
  ASSERT_TRUE(sink_->begin_log(run_, sv("trace"), source));
  ASSERT_TRUE(sink_->take_record(can_frame(kBase, 0x1, {})));
  mem_fail_after(0);
  // Copies come from blocks taken ahead, so the failure shows once the frame list must grow.
  int kept = 0;
  while (kept < 100 && sink_->take_record(can_frame(kBase, 0x2, {}))) ++kept;
  EXPECT_LT(kept, 100);
  EXPECT_FALSE(sink_->take_record(lin_frame(kBase, 0x3, {})));
  mem_fail_after(-1);
  StderrCapture capture;
  EXPECT_FALSE(sink_->end_log(run_, sv("trace"), true).ok);
  EXPECT_FALSE(exists("trace.asc"));
  EXPECT_TRUE(convert({can_frame(kBase, 0x1, {})}));  // the next log is whole again

  ASSERT_TRUE(sink_->begin_log(run_, sv("trace"), source));
  ASSERT_TRUE(sink_->take_record(can_frame(kBase, 0x1, {})));
  mem_fail_after(0);
  EXPECT_FALSE(sink_->end_log(run_, sv("trace"), true).ok);
  mem_fail_after(-1);
  EXPECT_EQ(messages_of(capture.text()), (Messages{"Could not keep every frame in memory, no trace written for trace",
                                                   "Could not allocate line buffer for trace"}));
}

TEST_F(AscTraceWriterTest, WritingAllocatesNothingPerFrame) {
  std::vector<BusRecord> many;
  for (int i = 0; i < 2000; ++i) {
    many.push_back(can_frame(kBase + i * 0.001, static_cast<std::uint32_t>(i), {}));
    many.back().DataLength = 64;
    many.back().Can.DLC = 15;
  }
  RecordSource source;
  ASSERT_TRUE(sink_->begin_log(run_, sv("trace"), source));
  for (const BusRecord& r : many) ASSERT_TRUE(sink_->take_record(r));
  mem_fail_after(12);  // enough to open a trace, far from one allocation per frame
  bool written = sink_->end_log(run_, sv("trace"), true).ok;
  mem_fail_after(-1);
  EXPECT_TRUE(written);
  EXPECT_EQ(trace().size(), kHeader.size() + kFooter.size() + 2000 * (kLine123.size() + 56 * 3));
}

TEST(AscSinkCreateTest, NoneWhenMemoryRunsOut) {
  mem_fail_after(0);
  EXPECT_EQ(asc_only_sink_create(), nullptr);
  mem_fail_after(-1);
  EXPECT_TRUE(asc_only_sink_create());
}

}  // namespace
}  // namespace quarn
