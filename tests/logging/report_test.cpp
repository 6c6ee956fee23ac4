#include "logging/report.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <regex>
#include <string>

#include "support/capture.h"

namespace quarn {
namespace {

std::string prefix(const LocalClock& clock, std::int32_t pid, std::int32_t tid, LogLevel level) {
  char out[64];
  std::size_t n = format_log_prefix(out, clock, pid, tid, level);
  return std::string(out, n);
}

using test::ThresholdGuard;

TEST(ReportTest, PrefixLayout) {
  LocalClock c{1, 2, 3, 4, 5, 6};
  EXPECT_EQ(prefix(c, 123, 4567, LogLevel::Error), "01-02 03:04:05.006   123  4567 E ");
  EXPECT_EQ(prefix(c, 12345, 12345, LogLevel::Fatal).size(), 33u);
  LocalClock late{12, 31, 23, 59, 59, 999};
  EXPECT_EQ(prefix(late, 1, 2, LogLevel::Warning), "12-31 23:59:59.999     1     2 W ");
  // Six digits widen the field rather than being cut; negatives keep their sign in the field.
  EXPECT_EQ(prefix(c, 123456, -42, LogLevel::Verbose), "01-02 03:04:05.006 123456   -42 V ");
  EXPECT_EQ(prefix(c, 1, 1, static_cast<LogLevel>(9)).substr(31), "? ");
  EXPECT_EQ(prefix(c, 1, 1, LogLevel::Debug).substr(31), "D ");
  EXPECT_EQ(prefix(c, 1, 1, LogLevel::Info).substr(31), "I ");
}

TEST(ReportTest, WritesOneLineWithTheRealClockAndIds) {
  ThresholdGuard all(0);
  test::StderrCapture cap;
  report(LogLevel::Error, "Could not open input file %.*s", 3, "abcdef");
  std::string out = cap.text();
  std::regex layout(R"((\d\d)-(\d\d) \d\d:\d\d:\d\d\.\d\d\d ( *\d+) ( *\d+) E Could not open input file abc\n)");
  std::smatch m;
  ASSERT_TRUE(std::regex_match(out, m, layout)) << out;
  int month = std::stoi(m[1]);
  EXPECT_GE(month, 1);
  EXPECT_LE(month, 12);
  EXPECT_EQ(std::stoi(m[3]), static_cast<int>(getpid()));
}

TEST(ReportTest, LongMessagesAreCutAtFiveHundredTenBytesWithTheLineBreakKept) {
  ThresholdGuard all(0);
  test::StderrCapture cap;
  std::string big(1000, 'z');
  report(LogLevel::Fatal, "%s", big.c_str());
  report(LogLevel::Fatal, "%s", std::string(510 - 33, 'y').c_str());  // exactly fits
  report(LogLevel::Fatal, "%s", "");
  std::string out = cap.text();
  std::size_t first = out.find('\n');
  ASSERT_EQ(first, 510u);
  std::size_t second = out.find('\n', first + 1);
  EXPECT_EQ(second - first - 1, 510u);
  EXPECT_EQ(out.substr(second + 1).size(), 34u);  // prefix and line break only
}

TEST(ReportTest, ThresholdFiltersBeforeArgumentsAreEvaluated) {
  test::StderrCapture cap;
  int evaluated = 0;
  auto arg = [&] {
    ++evaluated;
    return "x";
  };
  {
    ThresholdGuard only_fatal(6);
    report(LogLevel::Warning, "%s", arg());
    report(LogLevel::Error, "%s", arg());
    EXPECT_EQ(evaluated, 0);
    report(LogLevel::Fatal, "fatal %s", arg());
  }
  {
    ThresholdGuard errors(5);
    report(LogLevel::Warning, "warning");
    report(LogLevel::Error, "error");
  }
  auto lines = test::diagnostics_of(cap.text());
  EXPECT_EQ(evaluated, 1);
  EXPECT_EQ(lines, (std::vector<std::string>{"F: fatal x", "E: error"}));
}

void fail(const char* call, const char* path, int error, const char* target = "") {
  static PlatformFailure failure;
  failure.call = call;
  failure.error = error;
  std::strcpy(failure.path, path);
  std::strcpy(failure.target, target);
  platform_set_failure(failure);
}

TEST(ReportTest, AFailedCallIsExplainedOnceRightAfterTheErrorThatReportsIt) {
  const std::string open = "D: open /data/out/a.asc: No such file or directory";
  const struct {
    std::int32_t threshold;
    void (*reports)();
    std::vector<std::string> lines;
  } cases[] = {
      {1, [] { report(LogLevel::Error, "e"); report(LogLevel::Error, "again"); }, {"E: e", open, "E: again"}},
      {2, [] { report(LogLevel::Warning, "w"); report(LogLevel::Fatal, "f"); }, {"W: w", "F: f", open}},
      // Not shown at 3, nor before the verbosity is applied, but taken all the same.
      {3, [] { report(LogLevel::Error, "e"); set_log_threshold(1); report(LogLevel::Error, "later"); }, {"E: e", "E: later"}},
      {0, [] { report(LogLevel::Error, "e"); set_log_threshold(1); report(LogLevel::Error, "later"); }, {"E: e", "E: later"}},
  };
  for (const auto& c : cases) {
    ThresholdGuard threshold(c.threshold);
    test::StderrCapture cap;
    fail("open", "/data//out/a.asc", ENOENT);  // a root ending in "/" joined with "/"
    c.reports();
    EXPECT_EQ(test::diagnostics_of(cap.text()), c.lines) << "threshold " << c.threshold;
    EXPECT_EQ(platform_pending_failure(), nullptr);
  }
  ThresholdGuard debug(1);
  test::StderrCapture cap;
  fail("rename", "/out/a.asc.7.part", EACCES, "/out/a.asc");
  report(LogLevel::Error, "e");
  EXPECT_EQ(test::diagnostics_of(cap.text()),
            (std::vector<std::string>{"E: e", "D: rename /out/a.asc.7.part /out/a.asc: Permission denied"}));
}

}  // namespace
}  // namespace quarn
