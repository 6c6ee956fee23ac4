#include "app/progress.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/platform.h"
#include "logging/report.h"
#include "support/capture.h"

namespace quarn {
namespace {

using Lines = std::vector<std::string>;

// A terminal whose clock, width and screen the test holds. The progress object takes plain
// function pointers, so the state lives here.
struct FakeTerminal {
  static std::int64_t now;
  static int columns;
  static std::vector<std::string> writes;
  static std::int64_t read_now() { return now; }
  static int read_columns() { return columns; }
  static void write(const char* bytes, std::size_t n) { writes.emplace_back(bytes, n); }
  static TerminalProgress::Terminal terminal() { return {read_now, read_columns, write}; }
};
std::int64_t FakeTerminal::now = 0;
int FakeTerminal::columns = 80;
std::vector<std::string> FakeTerminal::writes;

constexpr std::int64_t kMs = 1'000'000;
const std::string kErase = "\r\x1b[K";

// The text of a draw: what lies between the carriage return and the clear to the end of line.
std::string text_of_draw(const std::string& write) {
  if (write.size() < 4 || write[0] != '\r' || write.compare(write.size() - 3, 3, "\x1b[K") != 0) {
    ADD_FAILURE() << "not a draw: " << write;
    return {};
  }
  return write.substr(1, write.size() - 4);
}

class TerminalProgressTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FakeTerminal::now = 1000 * kMs;  // any start: only differences count
    FakeTerminal::columns = 80;
    FakeTerminal::writes.clear();
  }
  std::string line(const TerminalProgress& progress, int columns) {
    char out[600];
    std::size_t n = progress.format_line(out, sizeof out, columns);
    EXPECT_LT(n, static_cast<std::size_t>(columns > 0 ? columns : 80));
    return std::string(out, n);
  }
  std::vector<std::string>& writes() { return FakeTerminal::writes; }
};

TEST_F(TerminalProgressTest, TheFirstFileDrawsAtOnceThenAtMostFourTimesASecond) {
  TerminalProgress progress(FakeTerminal::terminal());
  EXPECT_FALSE(progress.visible());
  progress.file_started(sv("a.txt"));
  ASSERT_EQ(writes().size(), 1u);
  EXPECT_EQ(text_of_draw(writes()[0]), "0 converted, 0 frames, 0.0 MB, 0.0 MB/s  a.txt");
  EXPECT_TRUE(progress.visible());

  FakeTerminal::now += 249 * kMs;
  progress.file_advanced(4096, 100'000);
  progress.file_finished(true, 5000, 120'000);
  progress.file_started(sv("b.txt"));
  EXPECT_EQ(writes().size(), 1u);  // nothing before a quarter of a second has passed

  FakeTerminal::now += 1 * kMs;
  progress.file_advanced(4096, 380'000);
  ASSERT_EQ(writes().size(), 2u);
  // 0.5 MB read in the quarter second since the start.
  EXPECT_EQ(text_of_draw(writes()[1]), "1 converted, 9096 frames, 0.5 MB, 2.0 MB/s  b.txt");

  // Finishing a file never draws: the name it would show belongs to the caller.
  FakeTerminal::now += 1000 * kMs;
  progress.file_finished(false, 4100, 400'000);
  EXPECT_EQ(writes().size(), 2u);
  progress.file_started(sv("c.txt"));
  ASSERT_EQ(writes().size(), 3u);
  EXPECT_EQ(text_of_draw(writes()[2]), "1 converted, 1 failed, 9100 frames, 0.5 MB, 0.4 MB/s  c.txt");
}

TEST_F(TerminalProgressTest, EraseTakesTheLineAwayOnceAndOnlyWhenShown) {
  TerminalProgress progress(FakeTerminal::terminal());
  progress.erase();
  EXPECT_TRUE(writes().empty());
  progress.file_started(sv("a.txt"));
  progress.erase();
  progress.erase();
  EXPECT_EQ(writes().size(), 2u);
  EXPECT_EQ(writes().back(), kErase);
  EXPECT_FALSE(progress.visible());
}

TEST_F(TerminalProgressTest, TheLineIsAlwaysNarrowerThanTheTerminal) {
  TerminalProgress progress(FakeTerminal::terminal());
  const std::string path = "recordings/2024/fleet/truck_0412/day_31/LOG00001.TXT";
  progress.file_started(sv(path.c_str()));
  const std::string head = "0 converted, 0 frames, 0.0 MB, 0.0 MB/s";
  for (int columns = 1; columns <= 130; ++columns) {
    std::string text = line(progress, columns);  // checks the width itself
    const std::size_t limit = static_cast<std::size_t>(columns) - 1;
    if (limit <= head.size()) {
      EXPECT_EQ(text, head.substr(0, limit)) << columns;
    } else if (limit >= head.size() + 2 + path.size()) {
      EXPECT_EQ(text, head + "  " + path) << columns;
    } else if (limit > head.size() + 5) {
      // The end of the path stays, behind "...", and the line uses the whole width.
      EXPECT_EQ(text.size(), limit) << columns;
      EXPECT_EQ(text.substr(0, head.size() + 5), head + "  ...") << columns;
      EXPECT_EQ(path.substr(path.size() - (limit - head.size() - 5)), text.substr(head.size() + 5)) << columns;
    } else {
      EXPECT_EQ(text, head) << columns;  // no room for a useful piece of the name
    }
  }
}

TEST_F(TerminalProgressTest, AnUnknownWidthCountsAsEightyColumns) {
  TerminalProgress progress(FakeTerminal::terminal());
  const std::string path(200, 'x');
  progress.file_started(sv(path.c_str()));
  EXPECT_EQ(line(progress, 0).size(), 79u);
  FakeTerminal::columns = 0;
  FakeTerminal::now += 300 * kMs;
  progress.file_advanced(1, 1);
  EXPECT_EQ(text_of_draw(writes().back()).size(), 79u);

  // A terminal too narrow for anything gets no line at all, and the old one goes.
  FakeTerminal::columns = 1;
  FakeTerminal::now += 300 * kMs;
  progress.file_advanced(2, 2);
  EXPECT_EQ(writes().back(), kErase);
  EXPECT_FALSE(progress.visible());
}

TEST_F(TerminalProgressTest, NamesCannotMoveTheCursorOrSplitACharacter) {
  TerminalProgress progress(FakeTerminal::terminal());
  progress.file_started(sv("a\nb\r\x1b[2Jc\x7f\t.txt"));
  const std::string text = line(progress, 200);
  const std::string shown = "  a?b??[2Jc??.txt";
  ASSERT_GT(text.size(), shown.size());
  EXPECT_EQ(text.substr(text.size() - shown.size()), shown);
  progress.file_finished(true, 0, 0);

  // "ü" is two bytes: a cut through it must not leave half of it at the front.
  const std::string umlauts = "\xc3\xbc\xc3\xbc\xc3\xbc\xc3\xbc\xc3\xbc.txt";
  progress.file_started(sv(umlauts.c_str()));
  const std::string head = "1 converted, 0 frames, 0.0 MB, 0.0 MB/s  ...";
  // From the narrowest line that shows a piece of the name to the widest that still cuts it.
  for (int columns = static_cast<int>(head.size()) + 2; columns < static_cast<int>(head.size()) + 12; ++columns) {
    std::string tail = line(progress, columns).substr(head.size());
    EXPECT_TRUE(tail.empty() || (static_cast<unsigned char>(tail[0]) & 0xc0) != 0x80) << columns;
    EXPECT_EQ(umlauts.substr(umlauts.size() - tail.size()), tail) << columns;
  }
}

TEST_F(TerminalProgressTest, ADiagnosticLineTakesTheStatusLineAwayFirstAndTheStopForGood) {
  std::unique_ptr<TerminalProgress> progress = progress_attach(FakeTerminal::terminal());
  ASSERT_TRUE(progress);
  progress->file_started(sv("a.txt"));
  ASSERT_TRUE(progress->visible());
  test::StderrCapture capture;
  report_line(LogLevel::Error, "Could not open log");
  EXPECT_EQ(writes(), (Lines{writes()[0], kErase}));
  EXPECT_FALSE(progress->visible());

  // Drawn again, then stopped: the line goes, and later diagnostics no longer reach the object
  // (AddressSanitizer would see the released one used).
  FakeTerminal::now += 300 * kMs;
  progress->file_advanced(4096, 1000);
  ASSERT_TRUE(progress->visible());
  progress_stop(progress);
  EXPECT_EQ(progress, nullptr);
  EXPECT_EQ(writes().size(), 4u);
  EXPECT_EQ(writes().back(), kErase);
  report_line(LogLevel::Error, "Could not open log");
  EXPECT_EQ(writes().size(), 4u);
  EXPECT_EQ(test::messages_of(capture.text()), (Lines{"Could not open log", "Could not open log"}));
}

TEST(ProgressStartTest, OnlyATerminalWithoutNonInteractiveGetsAStatusLine) {
  RunOptions options;
  options.non_interactive = true;
  std::unique_ptr<TerminalProgress> progress = progress_start(options);
  EXPECT_EQ(progress, nullptr);
  options.non_interactive = false;
  progress = progress_start(options);
  EXPECT_EQ(progress != nullptr, platform_stderr_is_terminal());

  progress_stop(progress);
  EXPECT_EQ(progress, nullptr);
  progress_stop(progress);  // null: nothing happens
}

}  // namespace
}  // namespace quarn
