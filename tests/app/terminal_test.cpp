// End-to-end: what the built quarn shows at a terminal (a pseudo-terminal here), and that
// standard error on a file or a pipe gets the diagnostic lines and nothing else.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include "app/cli_run.h"
#include "gen_log.h"
#include "support/temp_dir.h"

namespace quarn {
namespace {

using test::CliRun;
using test::diagnostics_of;
using test::file_exists;
using test::make_dirs;
using test::TempDir;
using test::write_file;
using Lines = std::vector<std::string>;

// What a terminal shows after it received `bytes`: the lines of the screen, top to bottom (the
// last one is where the cursor ended), each as if the screen were wide enough (diagnostic lines
// may wrap; whether the status line fits is checked on its own). It knows what quarn may send:
// printable bytes, carriage return, line feed and "clear to end of line"; anything else fails.
Lines screen_of(const std::string& bytes) {
  Lines screen(1);
  std::size_t row = 0;
  std::size_t column = 0;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    char c = bytes[i];
    if (c == '\r') {
      column = 0;
    } else if (c == '\n') {
      if (++row == screen.size()) screen.emplace_back();
    } else if (c == '\x1b' && bytes.compare(i, 3, "\x1b[K") == 0) {
      if (screen[row].size() > column) screen[row].resize(column);
      i += 2;
    } else if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
      ADD_FAILURE() << "unexpected control byte " << static_cast<int>(c) << " at " << i;
    } else {
      if (screen[row].size() < column) screen[row].resize(column, ' ');
      if (column < screen[row].size()) {
        screen[row][column] = c;
      } else {
        screen[row] += c;
      }
      ++column;
    }
  }
  return screen;
}

// The status lines drawn: the text of each "\r...\x1b[K" that is not just an erase.
Lines status_lines_of(const std::string& bytes) {
  Lines drawn;
  std::size_t pos = 0;
  while ((pos = bytes.find("\x1b[K", pos)) != std::string::npos) {
    std::size_t start = bytes.rfind('\r', pos);
    if (start != std::string::npos && pos > start + 1) drawn.push_back(bytes.substr(start + 1, pos - start - 1));
    pos += 3;
  }
  return drawn;
}

// Each line of standard error is a whole diagnostic line, and nothing else is there.
void expect_only_diagnostic_lines(const std::string& err) {
  static const std::regex kLine(R"(\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} +-?\d+ +-?\d+ [WEF] [^\r\x1b]*)");
  ASSERT_TRUE(err.empty() || err.back() == '\n') << err;
  std::size_t pos = 0;
  while (pos < err.size()) {
    std::size_t nl = err.find('\n', pos);
    std::string line = err.substr(pos, nl - pos);
    EXPECT_TRUE(std::regex_match(line, kLine)) << line;
    pos = nl + 1;
  }
}

// A log with `frames` frames, made by the generator the examples come from.
std::string generated_log(std::int64_t frames, std::uint64_t seed) {
  tools::GenLogOptions options;
  options.frames = frames;
  options.seed = seed;
  std::string text;
  EXPECT_TRUE(tools::gen_log_text(options, text));
  return text;
}

class TerminalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    data_ = dir_ / "data";
    make_dirs(data_);
  }
  std::string at(const std::string& relative) const { return data_ + "/" + relative; }

  // good.txt converts, missing.txt is not there (a warning), bad.txt is no log (two errors).
  Lines make_mixed_inputs() {
    write_file(at("good.txt"), generated_log(50, 1));
    write_file(at("bad.txt"), "# a header and nothing else\n");
    return {"--verbosity", "2", at("good.txt"), at("missing.txt"), at("bad.txt")};
  }
  const Lines mixed_diagnostics_{"W: Could not find input file/folder missing.txt", "E: Could not open log",
                                 "E: Error during conversion of bad.txt"};

  TempDir dir_;
  std::string data_;
};

TEST_F(TerminalTest, OffATerminalStandardErrorHoldsOnlyTheDiagnosticLines) {
  const Lines args = make_mixed_inputs();
  for (bool pipe : {false, true}) {
    for (bool non_interactive : {false, true}) {
      Lines with = args;
      if (non_interactive) with.insert(with.begin(), "--non-interactive");
      CliRun r = pipe ? test::run_quarn_stderr_to_pipe(data_, with) : test::run_quarn(data_, with);
      SCOPED_TRACE(std::string(pipe ? "pipe" : "file") + (non_interactive ? ", --non-interactive" : ""));
      EXPECT_EQ(r.status, 9);
      EXPECT_EQ(r.out, "");
      EXPECT_EQ(diagnostics_of(r.err), mixed_diagnostics_);
      expect_only_diagnostic_lines(r.err);
    }
  }
  EXPECT_TRUE(file_exists(at("good.asc")));
}

TEST_F(TerminalTest, ATerminalSeesAStatusLineThatMakesWayForEveryDiagnostic) {
  const Lines args = make_mixed_inputs();
  const int columns = 60;
  CliRun r = test::run_quarn_in_terminal(data_, args, columns);
  EXPECT_EQ(r.status, 9);
  EXPECT_EQ(r.out, "");
  EXPECT_TRUE(file_exists(at("good.asc")));

  // The first file draws the line at once, so the run shows it whatever the machine's speed.
  const Lines drawn = status_lines_of(r.err);
  ASSERT_FALSE(drawn.empty()) << r.err;
  EXPECT_EQ(drawn[0].rfind("0 converted, 0 frames, 0.0 MB, ", 0), 0u) << drawn[0];
  EXPECT_NE(drawn[0].find("good.txt"), std::string::npos) << drawn[0];
  for (const std::string& line : drawn) EXPECT_LT(line.size(), static_cast<std::size_t>(columns)) << line;

  // It was still there when the warning came, and the screen ends up with exactly the
  // diagnostic lines, each whole on its own line, and an empty line for the prompt.
  Lines screen = screen_of(r.err);
  ASSERT_FALSE(screen.empty());
  EXPECT_EQ(screen.back(), "");
  screen.pop_back();
  EXPECT_EQ(diagnostics_of([&] {
              std::string joined;
              for (const std::string& line : screen) joined += line + "\n";
              return joined;
            }()),
            mixed_diagnostics_);
}

TEST_F(TerminalTest, NonInteractiveOrADumbTerminalGetsNoStatusLine) {
  const Lines args = make_mixed_inputs();
  struct Case {
    const char* name;
    bool non_interactive;
    const char* term;
  } cases[] = {{"--non-interactive", true, "xterm"}, {"TERM=dumb", false, "dumb"}};
  for (const Case& c : cases) {
    Lines with = args;
    if (c.non_interactive) with.insert(with.begin(), "--non-interactive");
    CliRun r = test::run_quarn_in_terminal(data_, with, 80, c.term);
    EXPECT_EQ(r.status, 9) << c.name;
    EXPECT_EQ(r.err.find_first_of(std::string("\x1b")), std::string::npos) << c.name;
    // The terminal turns each line feed into carriage return and line feed; nothing else.
    std::string plain;
    for (std::size_t i = 0; i < r.err.size(); ++i) {
      if (!(r.err[i] == '\r' && i + 1 < r.err.size() && r.err[i + 1] == '\n')) plain += r.err[i];
    }
    EXPECT_EQ(diagnostics_of(plain), mixed_diagnostics_) << c.name;
    expect_only_diagnostic_lines(plain);
  }
}

TEST_F(TerminalTest, ALongRunRedrawsAFewTimesASecondAndCountsUp) {
  // Enough logs and frames to keep quarn busy for a while even in an optimised build; the
  // sanitizer build takes longer still.
  make_dirs(at("logs"));
  const int logs = 12;
  const std::int64_t frames = 60000;
  for (int i = 0; i < logs; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "logs/log%02d.txt", i);
    write_file(at(name), generated_log(frames, static_cast<std::uint64_t>(i + 1)));
  }
  const int columns = 100;
  const auto start = std::chrono::steady_clock::now();
  CliRun r = test::run_quarn_in_terminal(data_, {at("logs")}, columns, "xterm", 300);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(screen_of(r.err), Lines{""});  // erased at the end, nothing else left

  const Lines drawn = status_lines_of(r.err);
  ASSERT_FALSE(drawn.empty());
  // The first draw, then one per quarter second at most (the run's own time is shorter than
  // what was measured here).
  EXPECT_LE(static_cast<double>(drawn.size()), 1 + seconds * 4 + 1) << drawn.size() << " draws in " << seconds << " s";
  // Counts never go back.
  static const std::regex kCounts(R"((\d+) converted, (\d+) frames, (\d+\.\d) MB, \d+\.\d MB/s  logs/log\d\d\.txt)");
  long long last_files = 0;
  long long last_frames = 0;
  double last_mb = 0;
  for (const std::string& line : drawn) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, kCounts)) << line;
    long long files = std::stoll(m[1]);
    long long frames_so_far = std::stoll(m[2]);
    double mb = std::stod(m[3]);
    EXPECT_GE(files, last_files);
    EXPECT_GE(frames_so_far, last_frames);
    EXPECT_GE(mb, last_mb);
    EXPECT_LT(files, logs);
    EXPECT_LT(frames_so_far, logs * frames);
    last_files = files;
    last_frames = frames_so_far;
    last_mb = mb;
  }
  if (seconds > 1.5) {
    EXPECT_GE(drawn.size(), 2u) << "a run of " << seconds << " s drew once only";
  }
}

}  // namespace
}  // namespace quarn
