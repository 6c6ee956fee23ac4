#include "textlog/text_log_decoder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "gen_log.h"
#include "io/buffered_stream.h"
#include "logging/report.h"
#include "support/capture.h"
#include "support/memory_stream.h"
#include "support/test_os.h"

namespace quarn {
namespace {

// A log held in memory and read the way the converter reads files: through a buffered stream.
class Log {
 public:
  explicit Log(std::string text, std::int64_t buffer = 4096) : inner_(std::move(text)) {
    stream_ = bufstream_create(&inner_, false, buffer);
    decoder_ = textlog_open(stream_.get());
    if (decoder_) textlog_rewind(*decoder_);
  }
  bool opened() const { return decoder_ != nullptr; }
  TextLogDecoder& decoder() { return *decoder_; }
  const LogHeader& header() { return decoder_->header; }

  std::vector<BusRecord> records() {
    std::vector<BusRecord> out;
    BusRecord r;
    while (decoder_ && textlog_next_record(*decoder_, r)) out.push_back(r);
    return out;
  }
  std::vector<double> timestamps() {
    std::vector<double> out;
    for (const BusRecord& r : records()) out.push_back(r.Timestamp);
    return out;
  }

 private:
  test::MemoryStream inner_;
  std::unique_ptr<Stream> stream_;
  std::unique_ptr<TextLogDecoder> decoder_;
};

std::string header(const std::string& time, int format, const std::string& extra = "") {
  return "# Logger type: TarvikTwo\n"
         "# Time: " +
         time +
         "\n"
         "# Value separator: \";\"\n"
         "# Time format: " +
         std::to_string(format) +
         "\n"
         "# Time separator: \":\"\n"
         "# Time separator ms: \".\"\n"
         "# Date separator: \"-\"\n"
         "# Time and date separator: \"T\"\n" +
         extra + "Timestamp;Type;ID;Length;Data\n";
}

std::int64_t utc(int y, int mo, int d, int h, int mi, int s) {
  std::tm t{};
  t.tm_year = y - 1900;
  t.tm_mon = mo - 1;
  t.tm_mday = d;
  t.tm_hour = h;
  t.tm_min = mi;
  t.tm_sec = s;
  return test::utc_seconds(t);
}

using test::ThresholdGuard;

TEST(TextLogTimestampTest, HeaderDigitsFromTheLeftRecordDigitsFromTheRight) {
  Log log(header("20240131T120000", 3) +
          "12:34:56.789;0;123;8;0102030405060708\n"
          "2024-02-01T01:02:03.004;0;1;0;\n");
  ASSERT_TRUE(log.opened());
  auto ts = log.timestamps();
  ASSERT_EQ(ts.size(), 2u);
  EXPECT_DOUBLE_EQ(ts[0], 1706704496.789);
  EXPECT_DOUBLE_EQ(ts[0], static_cast<double>(utc(2024, 1, 31, 12, 34, 56)) + 0.789);
  // All 17 digits in the record: the header's time plays no part.
  EXPECT_DOUBLE_EQ(ts[1], static_cast<double>(utc(2024, 2, 1, 1, 2, 3)) + 0.004);

  // An empty timestamp field holds no time: the line is stray, not a frame at the header's time.
  Log empty_field(header("20240131T120000", 3) + ";0;1;0;\n");
  EXPECT_TRUE(empty_field.timestamps().empty());
  EXPECT_EQ(empty_field.decoder().stray_lines, 1);
}

// A line that repeats the one before up to its milliseconds takes that line's second: each
// line reads as it does alone, whatever the line before held.
TEST(TextLogTimestampTest, ALineReadsAsItDoesAloneWhateverTheLineBefore) {
  const char* fields[] = {"12:34:56.789",
                          "12:34:56.790",
                          "12:34:57.000",
                          "12:34:57.001",
                          "2024-01-31T12:34:58.000",
                          "2024-01-31T12:34:58.001",
                          "2024-01-31T12:34:59.000123",
                          "2024-01-31T12:34:59.001456",
                          "12:35:00.002"};
  std::string lines;
  for (const char* f : fields) lines += std::string(f) + ";0;1;0;\n";
  Log log(header("20240131T120000", 3) + lines);
  auto ts = log.timestamps();
  ASSERT_EQ(ts.size(), std::size(fields));
  for (std::size_t i = 0; i < ts.size(); ++i) {
    Log alone(header("20240131T120000", 3) + fields[i] + ";0;1;0;\n");
    auto one = alone.timestamps();
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(ts[i], one[0]) << fields[i];
  }
}

TEST(TextLogTimestampTest, UndeclaredSeparatorsStopTheReadingOfTheTemplate) {
  // No time separators declared: the colons stay. The template becomes "2024012:34:56.789";
  // the C library reads year 2024, month 01, day 2 and stops at the colon, so the rest is 0.
  Log log("# Time: 20240131T120000\n# Value separator: \";\"\nTimestamp;ID\n12:34:56.789;1\n");
  auto ts = log.timestamps();
  ASSERT_EQ(ts.size(), 1u);
  EXPECT_DOUBLE_EQ(ts[0], static_cast<double>(utc(2024, 1, 2, 0, 0, 0)));
}

TEST(TextLogTimestampTest, OutOfRangeFieldsCarryAndOutOfRangeYearsGiveMinusOne) {
  Log log(header("20240131T120000", 0) +
          "23:59:60.000;0;1;0;\n"               // second 60 is the next minute
          "1969-12-31T23:59:59.000;0;1;0;\n"    // before 1970: -1, below the last: skipped
          "3001-01-01T00:00:00.500;0;1;0;\n");  // after 3000: -1 + 0.5
  ThresholdGuard quiet(6);
  auto ts = log.timestamps();
  ASSERT_EQ(ts.size(), 1u);
  EXPECT_DOUBLE_EQ(ts[0], static_cast<double>(utc(2024, 2, 1, 0, 0, 0)));

  Log alone("# Time: 30010101T000000\n# Value separator: \";\"\nTimestamp\n.500\n");
  auto late = alone.timestamps();
  ASSERT_EQ(late.size(), 0u);  // -0.5 lies below the initial 0: skipped, and nothing reported
}

TEST(TextLogTimestampTest, LongTimestampFieldsKeepTheirLeadingTwentyThreeCharacters) {
  // Microseconds appended: the leading date, time and milliseconds still hold.
  Log log(header("20240131T120000", 3) + "2024-03-05T06:07:08.123456;0;1;0;\n");
  auto ts = log.timestamps();
  ASSERT_EQ(ts.size(), 1u);
  EXPECT_DOUBLE_EQ(ts[0], static_cast<double>(utc(2024, 3, 5, 6, 7, 8)) + 0.123);
}

TEST(TextLogWrapTest, MidnightWrapMovesThisAndEveryLaterLineOneDayOn) {
  Log log(header("20240131T000000", 3) +
          "23:59:59.900;0;1;0;\n"
          "00:00:00.100;0;1;0;\n"
          "12:00:00.000;0;1;0;\n"
          "23:59:59.000;0;1;0;\n"
          "00:00:01.000;0;1;0;\n");
  auto ts = log.timestamps();
  double day = static_cast<double>(utc(2024, 1, 31, 0, 0, 0));
  ASSERT_EQ(ts.size(), 5u);
  EXPECT_DOUBLE_EQ(ts[0], day + 86399.9);
  EXPECT_DOUBLE_EQ(ts[1], day + 86400 + 0.1);
  EXPECT_DOUBLE_EQ(ts[2], day + 86400 + 43200);
  EXPECT_DOUBLE_EQ(ts[3], day + 86400 + 86399);
  EXPECT_DOUBLE_EQ(ts[4], day + 2 * 86400 + 1);
  EXPECT_EQ(log.decoder().WrapOffset, 2u * 86400u);
}

TEST(TextLogWrapTest, MinuteAndHourWraps) {
  Log minutes(header("20240131T120000", 1) + "59.000;0;1;0;\n01.000;0;1;0;\n");
  auto m = minutes.timestamps();
  ASSERT_EQ(m.size(), 2u);
  EXPECT_DOUBLE_EQ(m[1] - m[0], 2.0);
  Log hours(header("20240131T120000", 2) + "59:59.000;0;1;0;\n00:01.000;0;1;0;\n");
  auto h = hours.timestamps();
  ASSERT_EQ(h.size(), 2u);
  EXPECT_DOUBLE_EQ(h[1] - h[0], 2.0);
}

TEST(TextLogWrapTest, FramesOfOneSecondKeepTheirWrapOffset) {
  // Within one second only the milliseconds are worked out anew; the offsets still apply.
  Log minutes(header("20240131T120000", 1) + "59.100;0;1;0;\n59.200;0;1;0;\n00.100;0;1;0;\n00.200;0;1;0;\n");
  auto m = minutes.timestamps();
  double base = static_cast<double>(utc(2024, 1, 31, 12, 0, 0));
  ASSERT_EQ(m.size(), 4u);
  EXPECT_DOUBLE_EQ(m[1], base + 59.2);
  EXPECT_DOUBLE_EQ(m[2], base + 60.1);
  EXPECT_DOUBLE_EQ(m[3], base + 60.2);

  std::string text = header("20241201T000000", 5);
  for (const char* l : {"12-31T10:00:00.100", "01-01T10:00:00.100", "01-01T10:00:00.200"})
    text += std::string(l) + ";0;1;0;\n";
  Log years(text);
  auto y = years.timestamps();
  ASSERT_EQ(y.size(), 3u);
  EXPECT_DOUBLE_EQ(y[2], static_cast<double>(utc(2025, 1, 1, 10, 0, 0)) + 0.2);
}

TEST(TextLogWrapTest, SmallStepsBackAreSkippedWithOneReportPerCall) {
  ThresholdGuard all(0);
  test::StderrCapture cap;
  Log log(header("20240131T000000", 3) +
          "10:00:00.000;0;1;0;\n"
          "09:59:59.500;0;2;0;\n"  // 0.5 s back: not a wrap, skipped
          "09:59:59.600;0;3;0;\n"  // still below: skipped in the same call
          "10:00:00.000;0;4;0;\n"  // equal: accepted
          "10:00:00.000;0;5;0;\n");
  auto recs = log.records();
  auto messages = test::messages_of(cap.text());
  ASSERT_EQ(recs.size(), 3u);
  EXPECT_EQ(recs[0].ID, 1u);
  EXPECT_EQ(recs[1].ID, 4u);
  EXPECT_EQ(recs[2].ID, 5u);
  double accepted = static_cast<double>(utc(2024, 1, 31, 10, 0, 0));
  char expected[64];
  std::snprintf(expected, sizeof expected, "Skipping non-increasing timestamp: %f", accepted);
  EXPECT_EQ(messages, std::vector<std::string>{expected});
}

// A frame a little earlier than the one before is skipped and counted in every time format; the
// frames after it keep their times.
TEST(TextLogWrapTest, AStepBackIsSkippedAndCountedInEveryTimeFormat) {
  ThresholdGuard quiet(5);
  const char* prefixes[] = {"", "00:", "12:00:", "31T12:00:", "01-31T12:00:", "2024-01-31T12:00:"};
  for (int format = 1; format <= 6; ++format) {
    const std::string p = prefixes[format - 1];
    Log log(header("20240131T120000", format) + p + "00.100;0;1;0;\n" + p + "00.300;0;2;0;\n" + p + "00.200;0;3;0;\n" +
            p + "00.300;0;4;0;\n" + p + "00.250;0;5;0;\n" + p + "00.400;0;6;0;\n");
    std::vector<std::uint32_t> ids;
    for (const BusRecord& r : log.records()) ids.push_back(r.ID);
    EXPECT_EQ(ids, (std::vector<std::uint32_t>{1, 2, 4, 6})) << "format " << format;
    EXPECT_EQ(log.decoder().stepped_back, 2) << "format " << format;
  }
}

TEST(TextLogWrapTest, TheReportAlsoComesWhenTheDataEndsAfterSkippedLines) {
  ThresholdGuard all(0);
  test::StderrCapture cap;
  Log log(header("20240131T000000", 0) + "10:00:00.000;0;1;0;\n08:00:00.000;0;1;0;\n");
  EXPECT_EQ(log.records().size(), 1u);
  EXPECT_EQ(test::messages_of(cap.text()).size(), 1u);
}

TEST(TextLogWrapTest, TimeFormatZeroNeverWraps) {
  ThresholdGuard quiet(6);
  Log log(header("20240131T000000", 0) + "23:59:59.900;0;1;0;\n00:00:00.100;0;2;0;\n23:59:59.950;0;3;0;\n");
  auto recs = log.records();
  ASSERT_EQ(recs.size(), 2u);
  EXPECT_EQ(recs[1].ID, 3u);
  EXPECT_EQ(log.decoder().WrapOffset, 0u);
}

TEST(TextLogWrapTest, MonthWrapsAddTheLengthOfTheMonthJustEnded) {
  // Format 4: records hold day to milliseconds; the header gives year and month.
  Log log(header("20240101T000000", 4) +
          "31T12:00:00.000;0;1;0;\n"
          "01T12:00:00.000;0;1;0;\n"  // into February
          "29T12:00:00.000;0;1;0;\n"  // a leap day
          "01T12:00:00.000;0;1;0;\n"  // into March
          "31T12:00:00.000;0;1;0;\n"
          "01T00:00:00.000;0;1;0;\n");  // into April
  auto ts = log.timestamps();
  ASSERT_EQ(ts.size(), 6u);
  EXPECT_DOUBLE_EQ(ts[0], static_cast<double>(utc(2024, 1, 31, 12, 0, 0)));
  EXPECT_DOUBLE_EQ(ts[1], static_cast<double>(utc(2024, 2, 1, 12, 0, 0)));
  EXPECT_DOUBLE_EQ(ts[2], static_cast<double>(utc(2024, 2, 29, 12, 0, 0)));
  EXPECT_DOUBLE_EQ(ts[3], static_cast<double>(utc(2024, 3, 1, 12, 0, 0)));
  EXPECT_DOUBLE_EQ(ts[4], static_cast<double>(utc(2024, 3, 31, 12, 0, 0)));
  EXPECT_DOUBLE_EQ(ts[5], static_cast<double>(utc(2024, 4, 1, 0, 0, 0)));
}

std::vector<double> year_wrap_log(const std::string& header_time, const std::vector<std::string>& lines) {
  std::string text = header(header_time, 5);
  for (const auto& l : lines) text += l + ";0;1;0;\n";
  Log log(text);
  return log.timestamps();
}

TEST(TextLogWrapTest, YearWrapsMoveLaterFramesByWholeCalendarYears) {
  std::vector<std::string> lines = {"12-31T23:59:59.000", "01-01T00:00:01.000", "03-01T12:00:00.000",
                                    "12-31T12:00:00.000", "01-01T00:00:02.000", "03-01T00:00:02.000"};
  auto ts = year_wrap_log("20230101T000000", lines);
  ASSERT_EQ(ts.size(), 6u);
  EXPECT_DOUBLE_EQ(ts[0], static_cast<double>(utc(2023, 12, 31, 23, 59, 59)));
  EXPECT_DOUBLE_EQ(ts[1], static_cast<double>(utc(2024, 1, 1, 0, 0, 1)));
  EXPECT_DOUBLE_EQ(ts[2], static_cast<double>(utc(2024, 3, 1, 12, 0, 0)));
  EXPECT_DOUBLE_EQ(ts[3], static_cast<double>(utc(2024, 12, 31, 12, 0, 0)));
  EXPECT_DOUBLE_EQ(ts[4], static_cast<double>(utc(2025, 1, 1, 0, 0, 2)));
  EXPECT_DOUBLE_EQ(ts[5], static_cast<double>(utc(2025, 3, 1, 0, 0, 2)));

  // Out of a leap year: 2024 into 2025.
  auto leap = year_wrap_log("20240101T000000", {"12-31T23:00:00.000", "01-01T01:00:00.000", "03-01T00:00:00.000"});
  ASSERT_EQ(leap.size(), 3u);
  EXPECT_DOUBLE_EQ(leap[1], static_cast<double>(utc(2025, 1, 1, 1, 0, 0)));
  EXPECT_DOUBLE_EQ(leap[2], static_cast<double>(utc(2025, 3, 1, 0, 0, 0)));

  // A February 29 after a wrap into a leap year.
  auto into_leap = year_wrap_log(
      "20231201T000000", {"12-31T10:00:00.000", "01-15T10:00:00.000", "02-29T10:00:00.000", "03-01T10:00:00.000"});
  ASSERT_EQ(into_leap.size(), 4u);
  EXPECT_DOUBLE_EQ(into_leap[2], static_cast<double>(utc(2024, 2, 29, 10, 0, 0)));
  EXPECT_DOUBLE_EQ(into_leap[3], static_cast<double>(utc(2024, 3, 1, 10, 0, 0)));
}

TEST(TextLogLineTest, CarriageReturnsAreDroppedAndLastLinesNeedNoLineFeed) {
  std::string lf = header("20240131T120000", 3) + "12:00:00.001;0;7FF;2;A1B2\n12:00:00.002;1;1ABCDEF;1;FF";
  std::string crlf;
  for (char c : lf) {
    if (c == '\n') crlf += '\r';
    crlf += c;
  }
  Log a(lf);
  Log b(crlf);
  auto ra = a.records();
  auto rb = b.records();
  ASSERT_EQ(ra.size(), 2u);
  ASSERT_EQ(rb.size(), 2u);
  for (std::size_t i = 0; i < 2; ++i) {
    EXPECT_DOUBLE_EQ(ra[i].Timestamp, rb[i].Timestamp);
    EXPECT_EQ(ra[i].ID, rb[i].ID);
    EXPECT_EQ(ra[i].DataLength, rb[i].DataLength);
    EXPECT_EQ(ra[i].Can.DataBytes[0], rb[i].Can.DataBytes[0]);
  }
  EXPECT_EQ(ra[1].ID, 0x1ABCDEFu);
  EXPECT_EQ(ra[1].Can.DataBytes[0], 0xFF);
}

TEST(TextLogLineTest, LongLinesAreSplitAfterOneHundredNinetyNineBytes) {
  // The 250-byte line becomes a 199-byte line without a line feed and a 51-byte line with it:
  // two records, each read from what it holds.
  std::string first = "111;" + std::string(195, 'x');
  std::string second = "222;AB" + std::string(45, 'y');
  ASSERT_EQ(first.size() + second.size(), 250u);
  Log log("# Value separator: \";\"\nID;Data\n" + first + second + "\n");
  auto recs = log.records();
  ASSERT_EQ(recs.size(), 2u);
  EXPECT_EQ(recs[0].ID, 0x111u);
  EXPECT_EQ(recs[0].DataLength, 8u);
  EXPECT_EQ(recs[0].Can.DataBytes[0], 0);
  EXPECT_EQ(recs[1].ID, 0x222u);
  EXPECT_EQ(recs[1].Can.DataBytes[0], 0xAB);
}

TEST(TextLogHeaderTest, FieldsFromTheHeaderBlock) {
  Log log(
      "# Logger type: TarvikThree\n"
      "# HW rev: 0123456789\n"
      "# FW rev: 7.1 beta\n"
      "# Logger ID: ABCDEFGHIJKLMNOPQRSTUVWXYZ\n"
      "# Session No.: 0x1F\n"
      "# Split No.: 010\n"
      "# Time: 20240131T120000\n"
      "# Value separator: \";\"\n"
      "# Time format: 3\n"
      "# Bit-rate: 500000\n"
      "# Silent mode: true\n"
      "# Cyclic mode: false\n"
      "# Something else: ignored\n"
      "Timestamp;Lost;Type;ID;Length;Data\n");
  ASSERT_TRUE(log.opened());
  const LogHeader& h = log.header();
  EXPECT_EQ(h.LoggerType, 2);
  EXPECT_STREQ(h.HwRev, "0123");  // cut to fit, always terminated
  EXPECT_STREQ(h.FwRev, "7.1");
  EXPECT_STREQ(h.LoggerId, "ABCDEFGHIJKLMNOPQRSTU");
  EXPECT_EQ(h.SessionNo, 31);
  EXPECT_EQ(h.SplitNo, 8);
  EXPECT_STREQ(h.TimeText, "20240131T120000");
  EXPECT_EQ(h.ValueSeparator, ';');
  EXPECT_EQ(h.TimeFormat, 3);
  EXPECT_EQ(h.BitRate, 500000);
  EXPECT_EQ(h.SilentMode, 1);
  EXPECT_EQ(h.CyclicMode, 0);
  EXPECT_EQ(log.records().size(), 0u);  // an empty record section opens and has no records
}

TEST(TextLogHeaderTest, OddValues) {
  Log log(
      "# Logger type: TarvikOne \n"  // trailing blank: no model matches
      "# Session No.: 5\n"
      "# Session No.: many\n"  // not a number: keeps 5
      "# Time format: 7\n"
      "# Time format: soon\n"                             // not a number: 0
      "# Time: 20240131T120000 Value separator: \";\"\n"  // two keys, one value each
      "# Time separator: \"\"\n"                          // nothing between the quotes: none
      "# Date separator: \" \"\n"                         // a blank is a separator
      "# Time separator ms: \".\" \n"                     // four characters: none
      "# Time: 2023\n"                                    // a shorter later time replaces all of it
      "# Value separator: \",\"\n"
      "Timestamp,ID\n");
  ASSERT_TRUE(log.opened());
  const LogHeader& h = log.header();
  EXPECT_EQ(h.LoggerType, 0);
  EXPECT_EQ(h.SessionNo, 5);
  EXPECT_EQ(h.TimeFormat, 0);
  EXPECT_EQ(h.TimeSeparator, 0);
  EXPECT_EQ(h.DateSeparator, ' ');
  EXPECT_EQ(h.TimeSeparatorMs, 0);
  EXPECT_STREQ(h.TimeText, "2023");
  EXPECT_EQ(h.ValueSeparator, ',');

  // The line holding two keys gave both the same value: the text after its first ": ".
  Log both("# Time: 20240131T120000 Value separator: \";\"\nTimestamp;ID\n");
  EXPECT_FALSE(both.opened());  // that value is no separator, so no column is found
}

// Each time format leaves some numbers to the header's time; those must be there as digits and in
// range, or every frame would be dated from numbers read as 0 (month 0 and day 0 roll back).
TEST(TextLogHeaderTest, TheStartTimeMustHoldWhatTheFramesTakeFromIt) {
  using Use = StartTimeUse;
  const struct {
    const char* time;  // null: no "Time: " line
    int format;
    Use use;
  } cases[] = {
      {"20240131T120000", 3, Use::Fine},
      {"2024-01-31T12:00:00", 3, Use::Fine},  // the separators the header declares are taken out
      {"2024/01/31 12:00:00", 3, Use::Unreadable},
      {nullptr, 3, Use::Unreadable},
      {"", 1, Use::Unreadable},
      {"20240229T120000", 3, Use::Fine},
      {"20240230T120000", 3, Use::Unreadable},
      {"20230229T120000", 3, Use::Unreadable},
      {"20240431T120000", 3, Use::Unreadable},
      {"20240100T120000", 3, Use::Unreadable},
      {"19691231T235959", 3, Use::Unreadable},
      {"30001231T235959", 3, Use::Fine},
      {"30010101T000000", 5, Use::Unreadable},
      {"20241301T120000", 4, Use::Unreadable},
      {"20241301T120000", 5, Use::Fine},  // the frames carry the month
      {"2024", 5, Use::Fine},
      {"2024", 4, Use::Unreadable},
      {"202401", 4, Use::Fine},
      {"20240131T240000", 2, Use::Unreadable},
      {"20240131T240000", 3, Use::Fine},
      {"20240131T126000", 1, Use::Unreadable},
      {"20240131T125960", 1, Use::Fine},  // the frames carry the seconds
      {"2024013112", 2, Use::Fine},
      {"2024013112", 1, Use::Unreadable},
      // A format no logger defines may leave all of it to the header.
      {"20240131T120000", 0, Use::Fine},
      {"20240131T120060", 0, Use::Unreadable},
      {"20240131", 7, Use::Unreadable},
      // Frames with their full date need nothing of it; a time that is not whole is passed over.
      {"20240131T120000", 6, Use::Fine},
      {"2024/01/31 12:00:00", 6, Use::PassedOver},
      {"20240131T120060", 6, Use::PassedOver},
      {nullptr, 6, Use::PassedOver},
  };
  for (const auto& c : cases) {
    std::string text = header(c.time != nullptr ? c.time : "", c.format);
    if (c.time == nullptr)
      text.erase(text.find("# Time: "), text.find('\n', text.find("# Time: ")) + 1 - text.find("# Time: "));
    Log log(text);
    ASSERT_TRUE(log.opened()) << (c.time ? c.time : "none");
    EXPECT_EQ(log.decoder().start_time, c.use) << (c.time ? c.time : "none") << " format " << c.format;
  }
  // Without a Timestamp column no frame takes a time from the header.
  Log untimed("# Value separator: \";\"\n# Time format: 3\nType;ID\n0;123\n");
  ASSERT_TRUE(untimed.opened());
  EXPECT_EQ(untimed.decoder().start_time, Use::Fine);
}

TEST(TextLogHeaderTest, LogsThatCannotBeOpened) {
  EXPECT_FALSE(Log("Timestamp;ID\n1;2\n").opened());                          // no "#" line
  EXPECT_FALSE(Log("# Value separator: ;\nTimestamp;ID\n").opened());         // bare separator
  EXPECT_FALSE(Log("# Value separator: \";\"\n").opened());                   // no column line
  EXPECT_FALSE(Log("# Value separator: \";\"\nTime;Identifier\n").opened());  // no known name
  EXPECT_FALSE(Log("").opened());
  EXPECT_TRUE(Log("# Value separator: \";\"\nLost\n").opened());  // "Lost" is known
  EXPECT_EQ(textlog_open(nullptr), nullptr);
}

TEST(TextLogColumnTest, TypeIdAndLength) {
  Log log(
      "# Value separator: \";\"\nType;ID;Length\n"
      "0;123;8\n1;1abcdef;8\n8;7FF;3\n9;0x1F;2\n7;  10;-1\nX;zz;abc\n");
  auto r = log.records();
  ASSERT_EQ(r.size(), 6u);
  EXPECT_EQ(r[0].Can.IDE, 0);
  EXPECT_EQ(r[0].Can.Dir, 0);
  EXPECT_EQ(r[0].ID, 0x123u);
  EXPECT_EQ(r[1].Can.IDE, 1);
  EXPECT_EQ(r[1].ID, 0x1ABCDEFu);
  EXPECT_EQ(r[2].Can.IDE, 0);
  EXPECT_EQ(r[2].Can.Dir, 1);
  EXPECT_EQ(r[3].Can.IDE, 1);
  EXPECT_EQ(r[3].Can.Dir, 1);
  EXPECT_EQ(r[3].ID, 0x1Fu);     // "%x" takes a 0x prefix
  EXPECT_EQ(r[4].ID, 0x10u);     // and leading blanks
  EXPECT_EQ(r[4].Can.DLC, 255);  // "%hhu" keeps the low 8 bits of -1
  EXPECT_EQ(r[5].ID, 0u);        // nothing parses: 0
  EXPECT_EQ(r[5].Can.DLC, 0);
  for (const BusRecord& rec : r) {
    EXPECT_EQ(rec.Kind, CAN_DataFrame);
    EXPECT_EQ(rec.Can.BusChannel, 1);
    EXPECT_EQ(rec.DataLength, 0u);
  }
}

TEST(TextLogColumnTest, DataBytes) {
  Log log(
      "# Value separator: \";\"\nData\n"
      "0102030405060708090A\n"  // ten pairs: eight bytes
      "ABC\n"                   // odd: a lone last digit is a byte
      "0G12\n"                  // a non-hex pair still counts, as 0
      "\n");
  BusRecord in_place;
  ASSERT_TRUE(textlog_next_record(log.decoder(), in_place));
  EXPECT_EQ(in_place.DataPointer, in_place.Can.DataBytes);  // its own bytes, never elsewhere
  ASSERT_TRUE(textlog_rewind(log.decoder()));
  auto r = log.records();
  ASSERT_EQ(r.size(), 4u);
  EXPECT_EQ(r[0].DataLength, 8u);
  EXPECT_EQ(r[0].Can.DLC, 8);
  EXPECT_EQ(r[0].Can.DataBytes[7], 0x08);
  EXPECT_EQ(r[1].DataLength, 2u);
  EXPECT_EQ(r[1].Can.DataBytes[0], 0xAB);
  EXPECT_EQ(r[1].Can.DataBytes[1], 0x0C);
  EXPECT_EQ(r[2].DataLength, 2u);
  EXPECT_EQ(r[2].Can.DataBytes[0], 0x00);  // "%2hhx" reads the 0 before the G
  EXPECT_EQ(r[2].Can.DataBytes[1], 0x12);
  EXPECT_EQ(r[3].DataLength, 0u);
}

TEST(TextLogColumnTest, LengthLeftOfDataIsOverriddenRightOfDataOverrides) {
  Log left("# Value separator: \";\"\nLength;Data\n8;0102\n");
  auto l = left.records();
  ASSERT_EQ(l.size(), 1u);
  EXPECT_EQ(l[0].Can.DLC, 2);
  Log right("# Value separator: \";\"\nData;Length\n0102;8\n");
  auto r = right.records();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].Can.DLC, 8);
  EXPECT_EQ(r[0].DataLength, 2u);
}

TEST(TextLogColumnTest, OnlySevenColumnsTakePart) {
  Log log("# Value separator: \",\"\na,b,c,d,e,f,g,ID\n1,2,3,4,5,6,7,FF\n");
  EXPECT_FALSE(log.opened());  // "ID" is the eighth column: no known name among the seven
  Log seventh("# Value separator: \",\"\na,b,c,d,e,f,ID\n1,2,3,4,5,6,FF,9\n1,2\n");
  auto r = seventh.records();
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0].ID, 0xFFu);
  EXPECT_EQ(r[1].ID, 0u);  // the line does not reach the column
}

TEST(TextLogRewindTest, RewindKeepsTheWrapState) {
  Log log(header("20240131T000000", 3) + "23:00:00.000;0;1;0;\n01:00:00.000;0;1;0;\n");
  auto first = log.timestamps();
  ASSERT_EQ(first.size(), 2u);
  EXPECT_EQ(log.decoder().WrapOffset, 86400u);
  ASSERT_TRUE(textlog_rewind(log.decoder()));
  // A second pass starts from the kept offset: every line lands one more day on.
  auto again = log.timestamps();
  ASSERT_EQ(again.size(), 2u);
  EXPECT_DOUBLE_EQ(again[0], first[0] + 86400);
  EXPECT_DOUBLE_EQ(again[1], first[1] + 86400);
}

TEST(TextLogHeaderTest, AByteOrderMarkIsSkippedAtTheStartAndNowhereElse) {
  const std::string mark = "\xEF\xBB\xBF";
  const std::string lf = header("20240131T120000", 3) + "12:00:00.001;0;7FF;1;01\n12:00:00.002;1;1F;0;\n";
  std::string crlf;
  for (char c : lf) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  for (const std::string& text : {lf, crlf}) {
    Log marked(mark + text);
    ASSERT_TRUE(marked.opened());
    EXPECT_EQ(marked.header().LoggerType, 1);  // the first header line was read
    EXPECT_EQ(marked.decoder().RecordStart, Log(text).decoder().RecordStart + 3);
    auto ts = marked.timestamps();
    EXPECT_EQ(ts.size(), 2u);
    EXPECT_EQ(ts, Log(text).timestamps());
  }
  EXPECT_FALSE(Log(mark + mark + lf).opened());
  // Before a later line the mark is text: this line is no "#" line and no column header either.
  EXPECT_FALSE(Log("# Logger type: TarvikTwo\n" + mark + "# Value separator: \";\"\nTimestamp\n").opened());
}

TEST(TextLogEndTest, ZeroPaddingEndsTheDataCleanlyAndAnythingAfterAZeroByteDoesNot) {
  const std::string log = header("20240131T120000", 3) + "12:00:00.001;0;1;1;01\n12:00:00.002;0;2;1;02\n";
  const struct {
    std::string tail;
    bool clean;
  } cases[] = {
      {"", true},
      {std::string(199, '\0'), true},
      {std::string(200, '\0'), true},
      {std::string(4096, '\0'), true},
      {std::string(1 << 20, '\0'), true},
      {std::string(1, '\0') + "12:00:00.003;0;3;1;03\n", false},  // a frame behind the zero byte
      {std::string(5000, '\0') + "\n", false},                    // a line feed is data too
      {std::string(1, '\0') + "\n", false},
  };
  for (const auto& c : cases) {
    const std::int64_t size = static_cast<std::int64_t>(log.size() + c.tail.size());
    for (std::int64_t buffer : {std::int64_t{0}, std::int64_t{64}, size}) {
      test::MemoryStream inner(log + c.tail);
      std::unique_ptr<Stream> window = buffer > 0 ? bufstream_create(&inner, false, buffer) : nullptr;
      auto decoder = textlog_open(buffer > 0 ? window.get() : &inner);
      ASSERT_TRUE(decoder && textlog_rewind(*decoder));
      BusRecord r;
      int records = 0;
      while (textlog_next_record(*decoder, r)) ++records;
      const std::string where = std::to_string(c.tail.size()) + " bytes, buffer " + std::to_string(buffer);
      EXPECT_EQ(records, 2) << where;
      EXPECT_EQ(textlog_ended_cleanly(*decoder, size), c.clean) << where;
      EXPECT_EQ(textlog_ended_cleanly(*decoder, -1), c.clean) << where << ", size unknown";
    }
  }
}

// What one read of a whole log gives, through every kind of stream the converter uses: no
// window, a small one, and one as large as the log.
struct Reading {
  std::vector<std::uint32_t> ids;
  std::int64_t stray_lines = 0;
  bool clean = false;
};

std::vector<Reading> read_every_way(const std::string& text) {
  std::vector<Reading> out;
  const std::int64_t size = static_cast<std::int64_t>(text.size());
  for (std::int64_t buffer : {std::int64_t{0}, std::int64_t{7}, size}) {
    test::MemoryStream inner(text);
    std::unique_ptr<Stream> window = buffer > 0 ? bufstream_create(&inner, false, buffer) : nullptr;
    auto decoder = textlog_open(buffer > 0 ? window.get() : &inner);
    Reading r;
    if (decoder && textlog_rewind(*decoder)) {
      BusRecord record;
      while (textlog_next_record(*decoder, record)) r.ids.push_back(record.ID);
      r.stray_lines = decoder->stray_lines;
      r.clean = textlog_ended_cleanly(*decoder, size);
    }
    out.push_back(r);
  }
  return out;
}

// The data ends at the first zero byte, wherever it lies in a line. What comes before it on its
// line is the last line, a frame only when complete; anything but zeros after it fails the log.
TEST(TextLogEndTest, AZeroByteInsideALineEndsTheDataThere) {
  const std::string log = header("20240131T120000", 3) + "12:00:00.100;0;100;2;0101\n";
  const std::string padding(300, '\0');
  const struct {
    std::string tail;
    std::vector<std::uint32_t> ids;
    int strays;
    bool clean;
  } cases[] = {
      // The frame after the zero would be lost: the log must fail.
      {std::string("12:00:00.200;0;200;2;0202\0", 26) + "12:00:00.300;0;300;3;030303\n", {0x100, 0x200}, 0, false},
      {std::string("12:00:00.200;0;200;2;0202\0", 26) + padding, {0x100, 0x200}, 0, true},
      // Inside a data digit: the five announced bytes are not all there.
      {std::string("12:00:00.200;0;200;5;01020\0", 27) + "304\n", {0x100}, 1, false},
      {std::string("12:00:00.200;0;200;5;01020\0", 27) + padding, {0x100}, 1, true},
      {std::string("12:00\0", 6) + padding, {0x100}, 1, true},
      {std::string("12:00:00.200;0;200;2;0202\n\0", 27) + padding, {0x100, 0x200}, 0, true},
      {std::string("\0", 1) + padding, {0x100}, 0, true},
      {std::string("\0", 1) + "\n" + padding, {0x100}, 0, false},
  };
  for (const auto& c : cases) {
    for (const Reading& r : read_every_way(log + c.tail)) {
      EXPECT_EQ(r.ids, c.ids) << c.tail.substr(0, 30);
      EXPECT_EQ(r.stray_lines, c.strays) << c.tail.substr(0, 30);
      EXPECT_EQ(r.clean, c.clean) << c.tail.substr(0, 30);
    }
  }
}

// A log cut inside its last line (a power loss) must not gain a frame that never existed: cut
// anywhere short of its last data digit, the line is stray, in LF and CR LF logs, at the end of
// the file or before zero padding. Whole, it is a frame.
TEST(TextLogEndTest, ALastLineCutShortIsStrayAtEveryColumnAndInsideTheData) {
  const std::string first = "12:00:00.100;0;100;2;0101";
  const struct {
    const char* line;
    std::uint32_t id;
  } lines[] = {{"12:00:00.200;1;1ABCDEF;5;0102030405", 0x1ABCDEF},
               {"12:00:00.200;0;2FE;0;", 0x2FE},
               {"12:00:00.200;0;2FE;12;0102030405060708", 0x2FE}};
  for (const auto& l : lines) {
    const std::string whole = l.line;
    for (const char* eol : {"\n", "\r\n"}) {
      for (const std::string& after : {std::string(), std::string(64, '\0')}) {
        for (std::size_t cut = 1; cut <= whole.size(); ++cut) {
          std::string text = header("20240131T120000", 3) + first + eol + whole.substr(0, cut);
          if (std::string(eol) == "\r\n" && cut == whole.size()) text += "\r";  // cut between CR and LF
          text += after;
          std::string with_crs;
          for (char ch : text) {
            if (ch == '\n' && std::string(eol) == "\r\n" && (with_crs.empty() || with_crs.back() != '\r')) {
              with_crs += '\r';
            }
            with_crs += ch;
          }
          const bool complete = cut == whole.size();
          const std::vector<std::uint32_t> expected =
              complete ? std::vector<std::uint32_t>{0x100, l.id} : std::vector<std::uint32_t>{0x100};
          for (const Reading& r : read_every_way(with_crs)) {
            const std::string where = whole.substr(0, cut) + (after.empty() ? "" : " + padding") + " eol " +
                                      std::to_string(std::string(eol).size());
            EXPECT_EQ(r.ids, expected) << where;
            EXPECT_EQ(r.stray_lines, complete ? 0 : 1) << where;
            EXPECT_TRUE(r.clean) << where;
          }
        }
      }
    }
  }
}

std::string generated(int time_format, std::int64_t frames) {
  tools::GenLogOptions o;
  o.time_format = static_cast<TimeFormat>(time_format);
  o.frames = frames;
  std::string text;
  EXPECT_TRUE(tools::gen_log_text(o, text));
  return text;
}

// Lines the logger never wrote as frames, put into a generated log of every time format some
// 1.6 s in: read as frames at the header's time, they would lie far enough back to count as a
// wrap and move every later frame on by a minute, an hour, a day...
TEST(TextLogStrayTest, StrayLinesOfEveryKindMoveNoFrameInAnyTimeFormat) {
  ThresholdGuard quiet(5);
  for (int format = 1; format <= 6; ++format) {
    const std::string clean = generated(format, 1000);
    const std::vector<double> expected = Log(clean).timestamps();
    ASSERT_EQ(expected.size(), 1000u);
    std::size_t at = clean.find("Timestamp;");
    for (int line = 0; line <= 800; ++line) at = clean.find('\n', at) + 1;
    const std::size_t end = clean.find('\n', at);
    const std::string frame = clean.substr(at, end - at);
    // Cut after 199 bytes, the line stays the frame it begins with; its rest, with digits where a
    // time would be, is stray.
    const std::string overlong = frame + std::string(199 - frame.size(), 'Z') + "01:00:00.000;0;0;1;0;";
    // An identifier wider than 29 bits is no frame's either, whatever its time.
    const std::string strays =
        "\nERROR: SD card write failure\n# Time: 20240131T120000\n01:00:00.000;0;0;FFFFFFFF;0;\n";
    Log log(clean.substr(0, at) + strays + overlong + clean.substr(end));
    EXPECT_EQ(log.timestamps(), expected) << "format " << format;
    EXPECT_EQ(log.decoder().stray_lines, 5) << "format " << format;
  }
}

TEST(TextLogStrayTest, LinesWithoutATimeOrWithoutACanIdentifierAreStray) {
  const struct {
    const char* columns;
    const char* line;
    bool stray;
  } cases[] = {
      {"Timestamp;Type;ID;Length;Data", "12:00:01.000;0;XYZ;8;ZZZZ\n", false},  // lenient as ever
      {"Timestamp;ID", "#12:00:01.000;1\n", true},
      {"ID;Timestamp", "7FF\n", true},       // does not reach the column
      {"ID;Timestamp", "7FF;: .\n", true},   // no digit in it
      {"ID;Timestamp", "7FF;ab1\n", false},  // one is enough
      // Every digit counts, the first and the last of them too; the characters either side of
      // them in ASCII are none.
      {"Timestamp;ID", "99.999;1\n", false},
      {"Timestamp;ID", "00.000;1\n", false},
      {"Timestamp;ID", "//:/;1\n", true},
      {"ID;Data;Timestamp;Timestamp", "1;2;x;9\n", true},  // the first column so named counts
      {"ID;Data", "\n", false},                            // without a Timestamp column nothing is stray
      {"ID;Data", "# 1\n", false},
      // A last line that stops short of the columns was cut: it is no frame of identifier 0.
      {"Timestamp;Type;ID", "12:34:57.001;0", true},
      // A CAN identifier has 29 bits at most, in a log with a Timestamp column or without.
      {"Timestamp;Type;ID", "12:00:01.000;0;1FFFFFFF\n", false},
      {"Timestamp;Type;ID", "12:00:01.000;0;FFFFFFFF\n", true},
      {"Timestamp;Type;ID", "12:00:01.000;1;20000000\n", true},
      {"ID;Data", "20000000;01\n", true},
  };
  for (const auto& c : cases) {
    Log log(std::string("# Value separator: \";\"\n") + c.columns + "\n" + c.line);
    ASSERT_TRUE(log.opened()) << c.line;
    EXPECT_EQ(log.records().size(), c.stray ? 0u : 1u) << c.line;
    EXPECT_EQ(log.decoder().stray_lines, c.stray ? 1 : 0) << c.line;
  }
}

}  // namespace
}  // namespace quarn
