// A log larger than 2^31 bytes, end to end: every frame and the right last frame in the trace,
// peak memory as small as for a small log, and the same trace from a buffer much smaller than
// the default window. It writes about 12 GB and takes minutes, so it runs only when
// QUARN_BIG_TESTS=1 (best with a Release build; see the README).

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "gen_log.h"
#include "support/temp_dir.h"

#ifndef QUARN_EXE
#error "QUARN_EXE must name the built quarn executable"
#endif

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

namespace quarn {
namespace {

using test::TempDir;

constexpr std::int64_t kTwoGiB = std::int64_t{1} << 31;

struct MeasuredRun {
  int status = -1;
  std::int64_t peak_bytes = 0;  // the child's peak resident memory
  std::string err;
};

// Runs quarn and measures its peak resident memory.
MeasuredRun run_measured(const std::string& cwd, const std::vector<std::string>& args, const std::string& err_path) {
  std::vector<std::string> copies = args;
  std::string program = QUARN_EXE;
  std::vector<char*> argv{program.data()};
  for (std::string& a : copies) argv.push_back(a.data());
  argv.push_back(nullptr);
  MeasuredRun run;
  pid_t pid = fork();
  if (pid < 0) return run;
  if (pid == 0) {
    int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int null = open("/dev/null", O_RDWR);
    if (err < 0 || null < 0 || chdir(cwd.c_str()) != 0) _exit(250);
    dup2(null, STDIN_FILENO);
    dup2(null, STDOUT_FILENO);
    dup2(err, STDERR_FILENO);
    execv(argv[0], argv.data());
    _exit(251);
  }
  int wstatus = 0;
  rusage usage{};
  if (wait4(pid, &wstatus, 0, &usage) != pid) return run;
  if (WIFEXITED(wstatus)) run.status = WEXITSTATUS(wstatus);
  run.peak_bytes = static_cast<std::int64_t>(usage.ru_maxrss) * 1024;
  run.err = test::read_file(err_path);
  return run;
}

// What one pass over a trace finds, without holding it.
struct TraceSummary {
  std::int64_t bytes = 0;
  std::int64_t lines = 0;
  std::uint64_t hash = 1469598103934665603ull;  // FNV-1a
  std::string head;       // the first three lines
  std::string last_line;  // the footer
  std::string last_frame;
};

TraceSummary summarize(const std::string& path) {
  TraceSummary s;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return s;
  std::vector<char> buffer(1 << 20);
  std::string line, previous;
  std::size_t n;
  while ((n = std::fread(buffer.data(), 1, buffer.size(), f)) > 0) {
    s.bytes += static_cast<std::int64_t>(n);
    for (std::size_t i = 0; i < n; ++i) {
      char c = buffer[i];
      s.hash = (s.hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
      line += c;
      if (c != '\n') continue;
      if (++s.lines <= 3) s.head += line;
      previous.swap(line);
      line.clear();
      if (s.lines > 1) s.last_frame = s.last_line;
      s.last_line = previous;
    }
  }
  std::fclose(f);
  return s;
}

// The seconds since 1970 of "YYYY-mm-DDThh:MM:SS.mmm", in milliseconds.
std::int64_t milliseconds_of(const std::string& t) {
  int y, mo, d, h, mi, s, ms;
  if (std::sscanf(t.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3d", &y, &mo, &d, &h, &mi, &s, &ms) != 7) return -1;
  y -= mo <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const std::int64_t yoe = y - era * 400;
  const std::int64_t doy = (153 * (mo > 2 ? mo - 3 : mo + 9) + 2) / 5 + d - 1;
  const std::int64_t days = era * 146097 + yoe * 365 + yoe / 4 - yoe / 100 + doy - 719468;
  return ((days * 24 + h) * 60 + mi) * 60000 + s * 1000 + ms;
}

std::vector<std::string> split(const std::string& line, char separator) {
  std::vector<std::string> fields(1);
  for (char c : line) {
    if (c == separator) {
      fields.emplace_back();
    } else if (c != '\n' && c != '\r') {
      fields.back() += c;
    }
  }
  return fields;
}

// The CANFD line of a log's record line, from the trace's column layout: time relative to the
// whole second of the first frame, channel 1, direction, identifier, 34 blanks, BRS, ESI, DLC,
// data length, the data bytes, and the tail with a flags word of 0.
std::string expected_line(const std::string& record, std::int64_t base_ms) {
  std::vector<std::string> f = split(record, ';');  // Timestamp;Lost;Type;ID;Length;Data
  if (f.size() != 6) return "bad record: " + record;
  int type = std::atoi(f[2].c_str());
  bool extended = type == 1 || type == 9;
  unsigned id = static_cast<unsigned>(std::strtoul(f[3].c_str(), nullptr, 16));
  int dlc = std::atoi(f[4].c_str());
  char text[512];
  double time = static_cast<double>(milliseconds_of(f[0]) - base_ms) / 1000.0;
  int n = std::snprintf(text, sizeof text, extended ? "% 11.6f CANFD %3d %s   %08X%c" : "% 11.6f CANFD %3d %s        %03X%c",
                        time, 1, type >= 8 ? "Tx" : "Rx", id, extended ? 'x' : ' ');
  std::string line(text, static_cast<std::size_t>(n));
  line += std::string(34, ' ');
  n = std::snprintf(text, sizeof text, "%d %d %X %2d ", 0, 0, static_cast<unsigned>(dlc), dlc);
  line.append(text, static_cast<std::size_t>(n));
  if (dlc > 0) {
    for (int i = 0; i < dlc; ++i) line += f[5].substr(static_cast<std::size_t>(2 * i), 2) + " ";
  }
  return line + "       0    0        0        0        0        0        0        0\n";
}

// The first and the last record line of a log, read from its two ends.
void first_and_last_records(const std::string& path, std::string& first, std::string& last) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  ASSERT_NE(f, nullptr);
  char line[1024];
  while (std::fgets(line, sizeof line, f) != nullptr) {
    if (line[0] >= '0' && line[0] <= '9') {
      first = line;
      break;
    }
  }
  ASSERT_EQ(fseeko(f, -512, SEEK_END), 0);
  std::string tail(512, '\0');
  tail.resize(std::fread(tail.data(), 1, tail.size(), f));
  std::fclose(f);
  std::size_t end = tail.size() - 1;  // the final line feed
  std::size_t start = tail.rfind('\n', end - 1) + 1;
  last = tail.substr(start);
}

TEST(BigFileTest, ALogBeyondTwoGibibytesConvertsWholeInBoundedMemory) {
  const char* enabled = std::getenv("QUARN_BIG_TESTS");
  if (enabled == nullptr || std::strcmp(enabled, "1") != 0) {
    GTEST_SKIP() << "set QUARN_BIG_TESTS=1 to convert a log of more than 2 GiB (about 12 GB of disk, minutes)";
  }
  TempDir dir;
  struct statvfs fs {};
  ASSERT_EQ(statvfs(dir.path().c_str(), &fs), 0);
  const std::int64_t free_bytes = static_cast<std::int64_t>(fs.f_bavail) * static_cast<std::int64_t>(fs.f_frsize);
  if (free_bytes < 14 * (std::int64_t{1} << 30)) {
    GTEST_SKIP() << "only " << (free_bytes >> 20) << " MiB free below " << dir.path() << "; 14 GiB needed (set TMPDIR)";
  }

  // Full dates in every record, so that the log spans days without any wrap-around to infer.
  tools::GenLogOptions o;
  o.seed = 2031;
  o.time_format = TimeFormat::FullDate;
  std::string sample;
  o.frames = 100000;
  ASSERT_TRUE(tools::gen_log_text(o, sample));
  o.frames = static_cast<std::int64_t>(static_cast<double>(kTwoGiB) * 1.03 / (static_cast<double>(sample.size()) / 1e5));
  const std::string log = dir / "big.txt";
  std::FILE* out = std::fopen(log.c_str(), "wb");
  ASSERT_NE(out, nullptr);
  ASSERT_TRUE(tools::gen_log(o, out));
  ASSERT_EQ(std::fclose(out), 0);
  const std::int64_t size = static_cast<std::int64_t>(std::filesystem::file_size(log));
  ASSERT_GT(size, kTwoGiB);

  std::string first, last;
  first_and_last_records(log, first, last);
  const std::int64_t base_ms = milliseconds_of(split(first, ';')[0]) / 1000 * 1000;
  const std::string last_frame = expected_line(last, base_ms);

  test::make_dirs(dir / "whole");
  MeasuredRun whole = run_measured(dir.path(), {"-O", "whole", "big.txt"}, dir / "err");
  ASSERT_EQ(whole.status, 0) << whole.err;
  EXPECT_EQ(whole.err, "");
  TraceSummary a = summarize(dir / "whole/big.asc");
  EXPECT_EQ(a.head.rfind("date ", 0), 0u);
  EXPECT_NE(a.head.find("\nbase hex  timestamps absolute\nBegin Triggerblock\n"), std::string::npos);
  EXPECT_EQ(a.last_line, "End Triggerblock\n");
  EXPECT_EQ(a.lines - 4, o.frames);
  EXPECT_EQ(a.last_frame, last_frame);
  std::remove((dir / "whole/big.asc").c_str());

  // Memory does not grow with the log: the input window, the blocks of lines being written, the
  // batches of records between the two threads, and the program itself. Under AddressSanitizer
  // its shadow and quarantine would be measured instead, so the bound holds for plain builds only.
  const std::int64_t bound = std::int64_t{16} << 20;
  std::printf("log %" PRId64 " bytes, %" PRId64 " frames; peak %" PRId64 " MiB (bound %" PRId64 " MiB)\n", size,
              o.frames, whole.peak_bytes >> 20, bound >> 20);
  if (!kSanitized) {
    EXPECT_LT(whole.peak_bytes, bound);
  }

  // A window of 64 KiB gives the same trace.
  test::make_dirs(dir / "windowed");
  MeasuredRun windowed = run_measured(dir.path(), {"--buffer", "64KB", "-O", "windowed", "big.txt"}, dir / "err");
  ASSERT_EQ(windowed.status, 0) << windowed.err;
  TraceSummary b = summarize(dir / "windowed/big.asc");
  EXPECT_EQ(b.bytes, a.bytes);
  EXPECT_EQ(b.hash, a.hash);
  std::printf("with --buffer 64KB: peak %" PRId64 " MiB\n", windowed.peak_bytes >> 20);
  if (!kSanitized) {
    EXPECT_LT(windowed.peak_bytes, bound);
  }
}

}  // namespace
}  // namespace quarn
