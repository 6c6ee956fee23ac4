// Two widely used readers of ASC traces must decode what quarn writes into the frames of the log:
// python-can's ASCReader and can-utils' asc2log.

#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "app/input_formats.h"
#include "batch/log_conversion.h"
#include "asc/asc_trace_writer.h"
#include "support/temp_dir.h"

namespace quarn {
namespace {

using test::TempDir;

struct Frame {
  double time;  // seconds after the first frame
  unsigned id;
  bool extended;
  bool sent;  // Tx
  std::string data;  // lower-case hex
};

// tests/data/classic.txt, frame by frame (first frame at 12:34:56.789).
const std::vector<Frame> kClassicFrames = {
    {0.0, 0x123, false, false, "0102030405060708"},
    {0.212, 0x1ABCDEF0, true, false, "deadbeef"},
    {0.461, 0x7FF, false, true, ""},
    {0.461, 0x000, false, false, "ff"},
    {1.711, 0x123, true, true, "a0b1"},
};

struct Outcome {
  int status = -1;
  std::string out;
};

Outcome run(const std::string& command) {
  Outcome r;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return r;
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) r.out.append(buffer, n);
  r.status = pclose(pipe);
  return r;
}

// Each decoded frame against the log; times count from the first frame.
void expect_frames_of_the_log(const std::vector<Frame>& frames, const std::string& decoded) {
  ASSERT_EQ(frames.size(), kClassicFrames.size()) << decoded;
  for (std::size_t i = 0; i < frames.size(); ++i) {
    const Frame& want = kClassicFrames[i];
    EXPECT_NEAR(frames[i].time - frames[0].time, want.time, 2e-6) << "frame " << i;
    EXPECT_EQ(frames[i].id, want.id) << "frame " << i;
    EXPECT_EQ(frames[i].extended, want.extended) << "frame " << i;
    EXPECT_EQ(frames[i].sent, want.sent) << "frame " << i;
    EXPECT_EQ(frames[i].data, want.data) << "frame " << i;
  }
}

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// Converts the classic fixture log into `dir`/classic.asc with the real reader and writer.
std::string convert_classic(const TempDir& dir) {
  test::write_file(dir / "classic.txt", test::read_fixture("classic.txt"));
  auto fs = disk_fs_create(sv(dir.path().c_str()));
  RunOptions options;
  auto sink = asc_only_sink_create();
  const LogContext context{fs.get(), fs.get(), true, &options};
  EXPECT_TRUE(sink);
  if (!sink) return {};
  EXPECT_EQ(convert_log(context, *sink, *input_format_named("txt"), sv("classic.txt"), sv("classic")), 0);
  return dir / "classic.asc";
}

// Debian's python3-can lives with the system interpreter, which a user's PATH may hide.
std::string python_with_can() {
  for (const char* python : {"/usr/bin/python3", "python3"}) {
    if (run(std::string(python) + " -c 'import can' 2>/dev/null").status == 0) return python;
  }
  return {};
}

TEST(AscClientsTest, PythonCanReadsTheFramesOfTheLog) {
  std::string python = python_with_can();
  if (python.empty()) GTEST_SKIP() << "python3 with the can module (python3-can) is not installed";
  TempDir dir;
  std::string trace = convert_classic(dir);
  test::write_file(dir / "read.py",
                   "import sys, can\n"
                   "for m in can.ASCReader(sys.argv[1]):\n"
                   "    print(repr(m.timestamp), m.arbitration_id, int(m.is_extended_id), int(m.is_rx),\n"
                   "          int(m.is_remote_frame), m.channel, m.data.hex() or '-')\n");
  Outcome r = run(python + " " + (dir / "read.py") + " " + trace);
  ASSERT_EQ(r.status, 0) << r.out;

  std::istringstream lines(r.out);
  std::vector<Frame> frames;
  std::vector<int> remote;
  std::vector<int> channels;
  double time;
  unsigned id;
  int extended, rx, is_remote, channel;
  std::string data;
  while (lines >> time >> id >> extended >> rx >> is_remote >> channel >> data) {
    frames.push_back(Frame{time, id, extended != 0, rx == 0, data == "-" ? "" : data});
    remote.push_back(is_remote);
    channels.push_back(channel);
  }
  expect_frames_of_the_log(frames, r.out);
  ASSERT_FALSE(frames.empty());
  // Times are relative to the whole second of the first frame, so it reads its own fraction.
  EXPECT_NEAR(frames[0].time, 0.789, 1e-9);
  for (std::size_t i = 0; i < frames.size(); ++i) {
    // python-can numbers channels from 0: the trace's channel 1.
    EXPECT_EQ(channels[i], 0) << "frame " << i;
    // python-can 4.1 takes a CANFD line with data length 0 for a remote frame although the flags
    // word says it is none; every other frame must decode as a data frame.
    if (!kClassicFrames[i].data.empty()) {
      EXPECT_EQ(remote[i], 0) << "frame " << i;
    }
  }
}

TEST(AscClientsTest, Asc2logReadsTheFramesOfTheLog) {
  if (run("command -v asc2log >/dev/null 2>&1").status != 0) GTEST_SKIP() << "asc2log (can-utils) is not installed";
  TempDir dir;
  std::string trace = convert_classic(dir);
  Outcome r = run("asc2log -I " + trace + " -O " + (dir / "classic.log") + " 2>/dev/null");
  ASSERT_EQ(r.status, 0);
  std::string log = test::read_file(dir / "classic.log");

  // Lines such as "(1706704496.789000) can0 123#0102030405060708 R". asc2log 2020.11 reads a
  // 24-hour date line only under a de_DE locale and otherwise starts from the current time, so
  // only the times relative to the first frame are compared.
  std::istringstream lines(log);
  std::string line;
  std::vector<Frame> frames;
  while (std::getline(lines, line)) {
    unsigned long seconds = 0, micros = 0;
    char device[16] = {0};
    char frame[160] = {0};
    char dir_char = 0;
    int fields = std::sscanf(line.c_str(), "(%lu.%lu) %15s %159s %c", &seconds, &micros, device, frame, &dir_char);
    ASSERT_GE(fields, 4) << line;
    EXPECT_STREQ(device, "can0") << line;
    std::string text(frame);
    std::size_t hash = text.find('#');
    ASSERT_NE(hash, std::string::npos) << line;
    std::string id = text.substr(0, hash);
    frames.push_back(Frame{static_cast<double>(seconds) + static_cast<double>(micros) * 1e-6,
                           static_cast<unsigned>(std::stoul(id, nullptr, 16)), id.size() == 8, dir_char == 'T',
                           lower(text.substr(hash + 1))});
  }
  expect_frames_of_the_log(frames, log);
}

}  // namespace
}  // namespace quarn
