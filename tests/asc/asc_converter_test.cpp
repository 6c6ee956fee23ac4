#include "asc/asc_converter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "base/memory.h"
#include "support/bus_records.h"
#include "support/capture.h"
#include "support/faulty_fs.h"
#include "support/temp_dir.h"
#include "textlog/text_log_reader.h"

namespace quarn {
namespace {

using test::can_frame;
using test::file_exists;
using test::lin_frame;
using test::messages_of;
using test::read_file;
using test::StderrCapture;
using test::TempDir;

// 2024-01-31 12:34:56 UTC.
constexpr double kBase = 1706704496.0;

const std::string kHeader = "date Wed Jan 31 12:34:56 2024\nbase hex  timestamps absolute\nBegin Triggerblock\n";
const std::string kLinHeader = "date Wed Jan 31 12:34:56  2024\nbase hex  timestamps absolute\nBegin Triggerblock\n";
const std::string kFooter = "End Triggerblock\n";

// The end of every CAN frame line, with the flags word right-aligned in eight columns.
std::string tail(const std::string& flags = "0") {
  return "       0    0 " + std::string(8 - flags.size(), ' ') + flags +
         "        0        0        0        0        0\n";
}

const std::string kLine123 = "   0.789000 CANFD   1 Rx        123" + std::string(35, ' ') +
                             "0 0 8  8 01 02 03 04 05 06 07 08 " + tail();

// A converter writing into a fresh folder, fed with records directly.
class AscConverterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs_ = test::faulty_fs_create(dir_.path());
    ASSERT_TRUE(fs_);
    converter_ = asc_converter_create(fs_.get(), fs_.get(), &options_);
    ASSERT_TRUE(converter_);
  }

  bool convert(const std::vector<BusRecord>& records, const char* base = "trace") {
    TextLogReader reader;
    EXPECT_TRUE(converter_->new_file(sv(base), reader));
    for (const BusRecord& r : records) EXPECT_TRUE(converter_->handle_record(r));
    return converter_->end_file(sv(base));
  }

  std::string trace(const char* name = "trace.asc") { return read_file(dir_ / name); }
  bool exists(const char* name) { return file_exists(dir_ / name); }

  TempDir dir_;
  RunOptions options_;
  std::unique_ptr<test::FaultyFileSystem> fs_;
  std::unique_ptr<Converter> converter_;
};

TEST(AscFormatTest, AppendFormatGrowsOnlyWhenTheTextDoesNotFit) {
  DynString line;
  dynstr_from(line, "abc");
  ASSERT_TRUE(asc_append_format(line, "%s|%5d|%-3X|", "x", 42, 0xAu));
  EXPECT_STREQ(dynstr_data(line), "abcx|   42|A  |");
  EXPECT_FALSE(dynstr_is_long(line));

  // 15 + 7 = 22 characters: exactly the inline room, so no heap block yet.
  ASSERT_TRUE(asc_append_format(line, "%07d", 1234567));
  EXPECT_EQ(dynstr_length(line), 22);
  EXPECT_FALSE(dynstr_is_long(line));

  // One more character: the capacity grows by what the text needs.
  ASSERT_TRUE(asc_append_format(line, "%c", 'z'));
  EXPECT_EQ(dynstr_capacity(line), 23);
  EXPECT_STREQ(dynstr_data(line), "abcx|   42|A  |1234567z");

  std::string long_text(300, 'q');
  ASSERT_TRUE(asc_append_format(line, "<%s>", long_text.c_str()));
  EXPECT_EQ(std::string(dynstr_data(line)), "abcx|   42|A  |1234567z<" + long_text + ">");
}

TEST(AscFormatTest, AppendFormatLeavesTheLineIntactWhenItCannotGrow) {
  DynString line;
  dynstr_from(line, "keep");
  mem_fail_after(0);
  EXPECT_FALSE(asc_append_format(line, "%s", std::string(100, 'x').c_str()));
  EXPECT_FALSE(asc_append_hex_bytes(line, reinterpret_cast<const std::uint8_t*>("0123456789"), 10));
  mem_fail_after(-1);
  EXPECT_STREQ(dynstr_data(line), "keep");
}

// The frame lines go through stb_sprintf, the rest of the program through the C library. For
// the times a log can hold (milliseconds, however far from the base) both spell them alike.
TEST(AscFormatTest, StbSpellsLogTimesAsTheCLibraryDoes) {
  std::vector<double> times = {0.0, 0.789, 59.999999, 86399.5, 1234567.123456, 32535215999.999, -0.25};
  for (std::int64_t ms = 0; ms < 200000; ms += 7) times.push_back((kBase + 0.001 * static_cast<double>(ms)) - kBase);
  for (std::int64_t ms = 0; ms < 200000; ms += 997) times.push_back(0.001 * static_cast<double>(ms) * 86400.0);
  for (double t : times) {
    DynString line;
    ASSERT_TRUE(asc_append_format(line, "% 11.6f|% 12.6f", t, t));
    char expected[64];
    std::snprintf(expected, sizeof expected, "% 11.6f|% 12.6f", t, t);
    ASSERT_STREQ(dynstr_data(line), expected) << "time " << t;
  }
}

// Where they part: stb rounds a time that lies a hair below half a microsecond as if it were
// exactly half (3.15e-05 is stored as 3.1499999999999999e-05), the C library rounds it down.
// No time from a log comes near such a tie; the test records the difference for whoever might
// swap one formatter for the other.
TEST(AscFormatTest, StbRoundsNearHalfMicrosecondTiesUp) {
  DynString line;
  ASSERT_TRUE(asc_append_format(line, "% 11.6f", 3.15e-05));
  EXPECT_STREQ(dynstr_data(line), "   0.000032");
  char libc[32];
  std::snprintf(libc, sizeof libc, "% 11.6f", 3.15e-05);
  EXPECT_STREQ(libc, "   0.000031");
}

TEST(AscFormatTest, HexBytesAreUpperCasePairsSeparatedByOneBlank) {
  DynString line;
  dynstr_from(line, ">");
  ASSERT_TRUE(asc_append_hex_bytes(line, nullptr, 0));
  EXPECT_STREQ(dynstr_data(line), ">");
  const std::uint8_t bytes[] = {0x01, 0xAB, 0xFF, 0x00, 0x5c};
  ASSERT_TRUE(asc_append_hex_bytes(line, bytes, 5));
  EXPECT_STREQ(dynstr_data(line), ">01 AB FF 00 5C");

  std::uint8_t many[64];
  for (int i = 0; i < 64; ++i) many[i] = static_cast<std::uint8_t>(i * 4);
  DynString big;
  ASSERT_TRUE(asc_append_hex_bytes(big, many, 64));
  EXPECT_EQ(dynstr_length(big), 64 * 3 - 1);
  EXPECT_EQ(std::string(dynstr_data(big)).substr(0, 12), "00 04 08 0C ");
  EXPECT_EQ(std::string(dynstr_data(big)).substr(64 * 3 - 3), "FC");
}

TEST_F(AscConverterTest, StandardFrameLineAndDateLine) {
  ASSERT_TRUE(convert({can_frame(1706704496.789, 0x123, {1, 2, 3, 4, 5, 6, 7, 8})}));
  EXPECT_EQ(trace(), kHeader + kLine123 + kFooter);
  EXPECT_FALSE(exists("trace_LIN.asc"));
}

TEST_F(AscConverterTest, IdentifierDirectionChannelAndFlagsColumns) {
  BusRecord extended = can_frame(kBase + 0.789, 0x123, {1, 2, 3, 4, 5, 6, 7, 8});
  extended.Can.IDE = 1;
  BusRecord sent = can_frame(kBase + 1, 0x7FF, {0xDE, 0xAD});
  sent.Can.Dir = 1;
  sent.Can.BusChannel = 12;
  BusRecord remote = can_frame(kBase + 2, 0x1ABCDEF0, {});
  remote.Kind = CAN_RemoteFrame;
  remote.Can.IDE = 1;
  remote.Can.Remote = 1;
  remote.Can.DLC = 8;
  BusRecord fd = can_frame(kBase + 3, 0x10, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11});
  fd.Can.EDL = 1;
  fd.Can.BRS = 1;
  fd.Can.DLC = 9;
  BusRecord fd_esi = can_frame(kBase + 4, 0x11, {0xAA});
  fd_esi.Can.EDL = 1;
  fd_esi.Can.ESI = 1;
  // DLC 0 writes no data bytes even when some are held.
  BusRecord dlc0 = can_frame(kBase + 5, 0x12, {0x55, 0x66, 0x77});
  dlc0.Can.DLC = 0;

  ASSERT_TRUE(convert({extended, sent, remote, fd, fd_esi, dlc0}));
  EXPECT_EQ(trace(), kHeader +
                         "   0.789000 CANFD   1 Rx   00000123x" + std::string(34, ' ') +
                         "0 0 8  8 01 02 03 04 05 06 07 08 " + tail() +
                         "   1.000000 CANFD  12 Tx        7FF" + std::string(35, ' ') + "0 0 2  2 DE AD " + tail() +
                         "   2.000000 CANFD   1 Rx   1ABCDEF0x" + std::string(34, ' ') + "0 0 8  0 " + tail("10") +
                         "   3.000000 CANFD   1 Rx        010" + std::string(35, ' ') +
                         "1 0 9 12 00 01 02 03 04 05 06 07 08 09 0A 0B " + tail("3000") +
                         "   4.000000 CANFD   1 Rx        011" + std::string(35, ' ') + "0 1 1  1 AA " + tail("5000") +
                         "   5.000000 CANFD   1 Rx        012" + std::string(35, ' ') + "0 0 0  3 " + tail() + kFooter);
}

TEST_F(AscConverterTest, FramesComeOutSortedAndEqualTimesKeepArrivalOrder) {
  ASSERT_TRUE(convert({can_frame(kBase + 3.5, 0x3, {}), can_frame(kBase + 0.25, 0x1, {}),
                       can_frame(kBase + 2, 0xA, {}), can_frame(kBase + 2, 0xB, {}), can_frame(kBase + 2, 0xC, {}),
                       can_frame(kBase + 1, 0x2, {})}));
  std::string body;
  for (auto [time, id] : std::vector<std::pair<const char*, const char*>>{
           {"0.250000", "001"}, {"1.000000", "002"}, {"2.000000", "00A"}, {"2.000000", "00B"},
           {"2.000000", "00C"}, {"3.500000", "003"}}) {
    body += std::string("   ") + time + " CANFD   1 Rx        " + id + std::string(35, ' ') + "0 0 0  0 " + tail();
  }
  // The base is the earliest frame's whole second, not the first one handed in.
  EXPECT_EQ(trace(), kHeader + body + kFooter);
}

TEST_F(AscConverterTest, ASecondLogStartsFromEmptyLists) {
  ASSERT_TRUE(convert({can_frame(kBase + 0.789, 0x123, {1, 2, 3, 4, 5, 6, 7, 8}), lin_frame(kBase + 1, 0x3c, {1})},
                      "first"));
  ASSERT_TRUE(convert({can_frame(kBase + 86400.5, 0x456, {0x42})}, "second"));
  EXPECT_EQ(trace("first.asc"), kHeader + kLine123 + kFooter);
  EXPECT_TRUE(exists("first_LIN.asc"));
  EXPECT_EQ(trace("second.asc"), "date Thu Feb 01 12:34:56 2024\nbase hex  timestamps absolute\nBegin Triggerblock\n"
                                 "   0.500000 CANFD   1 Rx        456" +
                                     std::string(35, ' ') + "0 0 1  1 42 " + tail() + kFooter);
  EXPECT_FALSE(exists("second_LIN.asc"));
}

TEST_F(AscConverterTest, CopiesOwnTheirBytesAndNeverReadPastTheRecord) {
  BusRecord source = can_frame(kBase + 0.789, 0x123, {1, 2, 3, 4, 5, 6, 7, 8});
  // Claims far more bytes than a record holds, and points elsewhere: only the record's own 64
  // bytes may be read.
  BusRecord oversized = can_frame(kBase + 1, 0x1, {});
  for (int i = 0; i < 64; ++i) oversized.Can.DataBytes[i] = static_cast<std::uint8_t>(i);
  oversized.DataLength = 1000;
  oversized.Can.DLC = 15;
  oversized.DataPointer = nullptr;
  BusRecord lin = lin_frame(kBase + 0.25, 0x3c, {});
  lin.DataLength = 200;
  for (int i = 0; i < 8; ++i) lin.Lin.DataBytes[i] = static_cast<std::uint8_t>(0xA0 + i);

  TextLogReader reader;
  ASSERT_TRUE(converter_->new_file(sv("trace"), reader));
  ASSERT_TRUE(converter_->handle_record(source));
  ASSERT_TRUE(converter_->handle_record(oversized));
  ASSERT_TRUE(converter_->handle_record(lin));
  // The producer refills its record; the kept copy must not change with it.
  std::memset(source.Can.DataBytes, 0xEE, sizeof source.Can.DataBytes);
  source.ID = 0x555;
  ASSERT_TRUE(converter_->end_file(sv("trace")));

  std::string all64;
  for (int i = 0; i < 64; ++i) {
    char pair[4];
    std::snprintf(pair, sizeof pair, "%02X ", i);
    all64 += pair;
  }
  EXPECT_EQ(trace(), kHeader + kLine123 + "   1.000000 CANFD   1 Rx        001" + std::string(35, ' ') + "0 0 F 64 " +
                         all64 + tail() + kFooter);
  EXPECT_EQ(trace("trace_LIN.asc"), kLinHeader + "    0.000000 1 3c  Rx d 8 A0 A1 A2 A3 A4 A5 A6 A7\n" + kFooter);
}

TEST_F(AscConverterTest, LinTraceTakesTheFirstFramesOwnTimeAsBase) {
  BusRecord sent = lin_frame(kBase + 1.789, 0x3c, {0xFF});
  sent.Lin.Dir = 1;
  sent.Lin.BusChannel = 2;
  ASSERT_TRUE(convert({sent, lin_frame(kBase + 0.789, 0x21, {1, 2}), lin_frame(kBase + 12.039, 0x5, {})}));
  EXPECT_FALSE(exists("trace.asc"));
  EXPECT_EQ(trace("trace_LIN.asc"), kLinHeader +
                                        "    0.000000 1 21  Rx d 2 01 02\n"
                                        "    1.000000 2 3c  Tx d 1 FF\n"
                                        "   11.250000 1 5  Rx d 0 \n" +
                                        kFooter);
}

TEST_F(AscConverterTest, OnlyCanAndLinFramesAreKept) {
  BusRecord error = can_frame(kBase, 0x1, {});
  error.Kind = CAN_ErrorFrame;
  BusRecord unknown = can_frame(kBase, 0x2, {});
  unknown.Kind = 77;
  ASSERT_TRUE(convert({error, unknown}));
  ASSERT_TRUE(convert({}));
  EXPECT_FALSE(exists("trace.asc"));
  EXPECT_FALSE(exists("trace_LIN.asc"));
  EXPECT_TRUE(fs_->opened.empty());
}

TEST_F(AscConverterTest, TimesOutsideTheCalendarFailWithoutATrace) {
  const double bad_times[] = {-1.5, 32535216000.0, std::nan(""), INFINITY};
  for (double t : bad_times) {
    StderrCapture capture;
    EXPECT_FALSE(convert({can_frame(t, 0x1, {}), lin_frame(t, 0x2, {})}));
    EXPECT_EQ(messages_of(capture.text()),
              (std::vector<std::string>{"Could not convert CAN time", "Could not convert LIN time"}))
        << "time " << t;
    EXPECT_FALSE(exists("trace.asc"));
    EXPECT_FALSE(exists("trace_LIN.asc"));
  }
}

TEST_F(AscConverterTest, AnUnopenableCanTraceStillLetsTheLinTraceBeWritten) {
  fs_->refuse_open_suffix = "trace.asc";
  StderrCapture capture;
  EXPECT_FALSE(convert({can_frame(kBase + 0.789, 0x123, {}), lin_frame(kBase + 0.789, 0x3c, {})}));
  EXPECT_EQ(messages_of(capture.text()),
            std::vector<std::string>{"Could not open output file for CAN: trace.asc"});
  EXPECT_FALSE(exists("trace.asc"));
  EXPECT_EQ(trace("trace_LIN.asc"), kLinHeader + "    0.000000 1 3c  Rx d 0 \n" + kFooter);
}

TEST_F(AscConverterTest, AnUnopenableLinTraceIsReportedAndTheCanTraceStays) {
  fs_->refuse_open_suffix = "_LIN.asc";
  StderrCapture capture;
  EXPECT_FALSE(convert({can_frame(kBase + 0.789, 0x123, {1, 2, 3, 4, 5, 6, 7, 8}), lin_frame(kBase, 0x3c, {})}));
  EXPECT_EQ(messages_of(capture.text()),
            std::vector<std::string>{"Could not open output file for LIN: trace_LIN.asc"});
  EXPECT_EQ(trace(), kHeader + kLine123 + kFooter);
}

// A write that comes up short anywhere in a trace fails it, reports where, and removes the file.
TEST_F(AscConverterTest, AShortWriteLeavesNoPartialTrace) {
  const std::vector<BusRecord> can = {can_frame(kBase + 0.789, 0x123, {1, 2, 3, 4, 5, 6, 7, 8}),
                                      can_frame(kBase + 1.5, 0x124, {9})};
  ASSERT_TRUE(convert(can));
  const std::int64_t total = static_cast<std::int64_t>(trace().size());
  const std::int64_t header = static_cast<std::int64_t>(kHeader.size());
  const std::int64_t first = static_cast<std::int64_t>(kLine123.size());
  using Messages = std::vector<std::string>;
  // After a failed frame line the footer is still attempted, and fails as well here.
  const Messages data_failed = {"Could not write CAN data", "Could not write CAN footer"};
  const std::pair<std::int64_t, Messages> cases[] = {
      {0, {"Could not write CAN header"}},
      {header - 1, {"Could not write CAN header"}},
      {header, data_failed},
      {header + first + 10, data_failed},
      {total - 1, {"Could not write CAN footer"}},
  };
  for (const auto& [limit, messages] : cases) {
    fs_->write_faults.write_limit = limit;
    StderrCapture capture;
    EXPECT_FALSE(convert(can));
    EXPECT_EQ(messages_of(capture.text()), messages) << "limit " << limit;
    EXPECT_FALSE(exists("trace.asc")) << "limit " << limit;
  }
}

TEST_F(AscConverterTest, AShortLinWriteLeavesNoPartialLinTrace) {
  const std::vector<BusRecord> lin = {lin_frame(kBase, 0x3c, {1, 2}), lin_frame(kBase + 1, 0x3d, {3})};
  const std::int64_t header = static_cast<std::int64_t>(kLinHeader.size());
  const std::int64_t line = static_cast<std::int64_t>(std::string("    0.000000 1 3c  Rx d 2 01 02\n").size());
  using Messages = std::vector<std::string>;
  const Messages data_failed = {"Could not write LIN data", "Could not write LIN footer"};
  const std::pair<std::int64_t, Messages> cases[] = {
      {5, {"Could not write LIN header"}},
      {header + 3, data_failed},
      {header + line + 3, data_failed},
      {header + 2 * line + 3, {"Could not write LIN footer"}},
  };
  for (const auto& [limit, messages] : cases) {
    fs_->write_faults.write_limit = limit;
    StderrCapture capture;
    EXPECT_FALSE(convert(lin));
    EXPECT_EQ(messages_of(capture.text()), messages) << "limit " << limit;
    EXPECT_FALSE(exists("trace_LIN.asc")) << "limit " << limit;
  }
}

TEST_F(AscConverterTest, AFailingCloseFailsAndRemovesBothTraces) {
  fs_->write_faults.fail_close = true;
  StderrCapture capture;
  EXPECT_FALSE(convert({can_frame(kBase, 0x1, {}), lin_frame(kBase, 0x2, {})}));
  EXPECT_TRUE(messages_of(capture.text()).empty());
  EXPECT_FALSE(exists("trace.asc"));
  EXPECT_FALSE(exists("trace_LIN.asc"));
  EXPECT_EQ(fs_->removed.size(), 2u);

  // A removal that is refused as well still fails the log (the partial file is then left).
  fs_->refuse_remove = true;
  EXPECT_FALSE(convert({can_frame(kBase, 0x1, {})}));
}

TEST_F(AscConverterTest, WithDeleteConvertedTracesAreMadeDurableFirst) {
  options_.delete_converted = true;
  ASSERT_TRUE(convert({can_frame(kBase + 0.789, 0x123, {1, 2, 3, 4, 5, 6, 7, 8}), lin_frame(kBase, 0x3c, {})}));
  EXPECT_EQ(fs_->syncs, 2);
  EXPECT_EQ(fs_->folder_syncs, 2);
  EXPECT_EQ(trace(), kHeader + kLine123 + kFooter);

  fs_->write_faults.fail_sync = true;
  {
    StderrCapture capture;
    EXPECT_FALSE(convert({can_frame(kBase, 0x1, {})}));
    EXPECT_EQ(messages_of(capture.text()),
              std::vector<std::string>{"Could not flush CAN trace to disk: trace.asc"});
    EXPECT_FALSE(exists("trace.asc"));
  }
  fs_->write_faults.fail_sync = false;
  fs_->fail_sync_folder = true;
  {
    StderrCapture capture;
    EXPECT_FALSE(convert({lin_frame(kBase, 0x1, {})}));
    EXPECT_EQ(messages_of(capture.text()),
              std::vector<std::string>{"Could not flush LIN trace to disk: trace_LIN.asc"});
  }

  // Without delete_converted the input stays, so nothing is forced to disk.
  options_.delete_converted = false;
  fs_->syncs = fs_->folder_syncs = 0;
  ASSERT_TRUE(convert({can_frame(kBase, 0x1, {})}));
  EXPECT_EQ(fs_->syncs + fs_->folder_syncs, 0);
}

TEST_F(AscConverterTest, AFrameThatCannotBeKeptFailsTheLogInsteadOfVanishing) {
  TextLogReader reader;
  ASSERT_TRUE(converter_->new_file(sv("trace"), reader));
  ASSERT_TRUE(converter_->handle_record(can_frame(kBase, 0x1, {})));
  mem_fail_after(0);
  EXPECT_FALSE(converter_->handle_record(can_frame(kBase, 0x2, {})));
  EXPECT_FALSE(converter_->handle_record(lin_frame(kBase, 0x3, {})));
  mem_fail_after(-1);
  StderrCapture capture;
  EXPECT_FALSE(converter_->end_file(sv("trace")));
  EXPECT_EQ(messages_of(capture.text()),
            std::vector<std::string>{"Could not keep every frame in memory, no trace written for trace"});
  EXPECT_FALSE(exists("trace.asc"));
  // The next log is whole again.
  EXPECT_TRUE(convert({can_frame(kBase, 0x1, {})}));
}

TEST_F(AscConverterTest, WritingAllocatesNothingPerFrame) {
  std::vector<BusRecord> one = {can_frame(kBase, 0x1, {1, 2, 3})};
  std::vector<BusRecord> many;
  for (int i = 0; i < 2000; ++i) {
    BusRecord r = can_frame(kBase + i * 0.001, static_cast<std::uint32_t>(i), {});
    r.Can.EDL = 1;
    r.Can.DLC = 15;
    r.DataLength = 64;
    many.push_back(r);
  }
  // Room for the few allocations of opening a trace, far from one per frame.
  constexpr std::int64_t kBudget = 12;
  for (const auto* records : {&one, &many}) {
    TextLogReader reader;
    ASSERT_TRUE(converter_->new_file(sv("trace"), reader));
    for (const BusRecord& r : *records) ASSERT_TRUE(converter_->handle_record(r));
    mem_fail_after(kBudget);
    bool written = converter_->end_file(sv("trace"));
    mem_fail_after(-1);
    EXPECT_TRUE(written) << records->size() << " frames";
  }
  EXPECT_EQ(trace().size(), kHeader.size() + kFooter.size() + 2000 * (kLine123.size() + 56 * 3));

  // Without any memory at all the log fails cleanly.
  TextLogReader reader;
  ASSERT_TRUE(converter_->new_file(sv("trace"), reader));
  ASSERT_TRUE(converter_->handle_record(one[0]));
  StderrCapture capture;
  mem_fail_after(0);
  bool written = converter_->end_file(sv("trace"));
  mem_fail_after(-1);
  EXPECT_FALSE(written);
  EXPECT_EQ(messages_of(capture.text()), std::vector<std::string>{"Could not allocate line buffer for trace"});
}

TEST(AscConverterCreateTest, NeedsBothFileSystemsAndOptions) {
  TempDir dir;
  auto fs = disk_fs_create(sv(dir.path().c_str()));
  ASSERT_TRUE(fs);
  RunOptions options;
  EXPECT_EQ(asc_converter_create(nullptr, fs.get(), &options), nullptr);
  EXPECT_EQ(asc_converter_create(fs.get(), nullptr, &options), nullptr);
  EXPECT_EQ(asc_converter_create(fs.get(), fs.get(), nullptr), nullptr);
  mem_fail_after(0);
  EXPECT_EQ(asc_converter_create(fs.get(), fs.get(), &options), nullptr);
  mem_fail_after(-1);
  auto converter = asc_converter_create(fs.get(), fs.get(), &options);
  ASSERT_TRUE(converter);
  EXPECT_TRUE(converter->create_output_dirs);
  EXPECT_EQ(converter->options, &options);
  EXPECT_EQ(converter->input_fs, fs.get());
}

}  // namespace
}  // namespace quarn
