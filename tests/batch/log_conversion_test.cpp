#include "app/input_formats.h"
#include "batch/log_conversion.h"
#include "batch/trace_sink.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "asc/asc_trace_writer.h"
#include "base/memory.h"
#include "support/capture.h"
#include "support/faulty_fs.h"
#include "support/temp_dir.h"
#include "textlog/text_log_decoder.h"

namespace quarn {
namespace {

using test::messages_of;
using test::read_fixture;
using test::StderrCapture;
using test::write_file;
using Messages = std::vector<std::string>;

// A log of `count` frames, 0.5 s apart, with the identifiers 1, 2, 3...; `extra` lines follow.
std::string numbered_log(int count, const std::string& extra = "") {
  std::string log =
      "# Time: 20240131T120000\n# Value separator: \";\"\n# Time format: 3\n# Time separator: \":\"\n"
      "# Time separator ms: \".\"\nTimestamp;Type;ID;Length;Data\n";
  for (int i = 1; i <= count; ++i) {
    char line[64];
    std::snprintf(line, sizeof line, "12:00:%02d.%s;0;%X;1;%02X\n", i / 2, i % 2 ? "500" : "000", i, i);
    log += line;
  }
  return log + extra;
}

// Records what the loop asks of it, and fails where it is told to.
class ScriptedSink final : public TraceSink {
 public:
  bool begin_log(const LogContext& /*run*/, StrView output_base, const RecordSource& source) override {
    calls += "new_file:" + std::string(output_base.data, static_cast<std::size_t>(output_base.length)) + " ";
    EXPECT_TRUE(source.time_ordered);  // a text log's records come in time order
    return !fail_new_file;
  }
  bool take_record(const BusRecord& record) override {
    calls += std::to_string(record.ID) + " ";
    if (on_record) on_record();
    return ++records != fail_record;
  }
  TracesEnded end_log(const LogContext& /*run*/, StrView /*output_base*/, bool /*complete*/) override {
    calls += "end";
    TracesEnded ended;
    ended.ok = !fail_end_file;
    return ended;
  }

  bool fail_new_file = false;
  int fail_record = 0;  // 1-based; 0: never
  int records = 0;
  bool fail_end_file = false;
  std::string calls;
  std::function<void()> on_record;  // what else happens while a record is handled
};

// A sink that takes every record and writes nothing.
class BareSink final : public TraceSink {
 public:
  bool begin_log(const LogContext& /*run*/, StrView /*output_base*/, const RecordSource& /*source*/) override {
    return true;
  }
  bool take_record(const BusRecord& /*record*/) override { return true; }
  TracesEnded end_log(const LogContext& /*run*/, StrView /*output_base*/, bool /*complete*/) override {
    return TracesEnded{true, nullptr};
  }
};

// Inputs under in/, outputs under out/, each through its own file system, as in a run with an
// output folder.
class ConvertLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::make_dirs(dir_ / "in");
    test::make_dirs(dir_ / "out/out");
    in_ = test::faulty_fs_create(dir_ / "in");
    out_ = test::faulty_fs_create(dir_ / "out");
    ASSERT_TRUE(in_ && out_);
    run_.input_fs = in_.get();
    run_.output_fs = out_.get();
    run_.options = &options_;
  }

  int convert(TraceSink& sink, const char* input = "log.txt", const char* base = "out/log") {
    return convert_log(run_, sink, *input_format_named("txt"), sv(input), sv(base));
  }
  bool input_exists(const char* name = "log.txt") { return test::file_exists(dir_ / (std::string("in/") + name)); }
  std::string output(const char* name) { return test::read_file(dir_ / (std::string("out/out/") + name)); }

  test::TempDir dir_;
  RunOptions options_;
  std::unique_ptr<test::FaultyFileSystem> in_;
  std::unique_ptr<test::FaultyFileSystem> out_;
  LogContext run_;
  ScriptedSink scripted_;
};

TEST_F(ConvertLogTest, OperationsRunInOrderAndAFailureKeepsTheInput) {
  // The fifth line lies 0.5 s before the fourth and is skipped with a warning when read: it shows
  // that one more record is read (and dropped) after a failed handle_record.
  write_file(dir_ / "in/log.txt", numbered_log(4, "12:00:01.500;0;5;0;\n12:00:09.000;0;6;0;\n"));
  options_.delete_converted = true;
  const std::string skipped = "Skipping non-increasing timestamp: 1706702402.000000";
  const std::string stepped_back = "Skipped frames stepping back in time in log.txt: 1";
  struct Case {
    const char* name;
    void (*arrange)(ScriptedSink&);
    const char* calls;
    Messages messages;
  } cases[] = {
      {"new_file fails",
       [](ScriptedSink& c) { c.fail_new_file = true; },
       "new_file:out/log end",
       {"Error during new file callback", "Error during end file callback"}},
      {"third record fails",
       [](ScriptedSink& c) { c.fail_record = 3; },
       "new_file:out/log 1 2 3 end",
       {"Error during handle record callback", "Error during end file callback"}},
      {"fourth record fails",
       [](ScriptedSink& c) { c.fail_record = 4; },
       "new_file:out/log 1 2 3 4 end",
       {"Error during handle record callback", skipped, "Error during end file callback"}},
      {"end_file fails",
       [](ScriptedSink& c) { c.fail_end_file = true; },
       "new_file:out/log 1 2 3 4 6 end",
       {skipped, stepped_back, "Error during end file callback"}},
  };
  for (const Case& c : cases) {
    ScriptedSink sink;
    c.arrange(sink);
    StderrCapture capture;
    EXPECT_EQ(convert(sink), 8) << c.name;
    EXPECT_EQ(sink.calls, c.calls) << c.name;
    EXPECT_EQ(messages_of(capture.text()), c.messages) << c.name;
    EXPECT_TRUE(input_exists()) << c.name;
  }

  // All well, but a frame was skipped: the traces lack it, so the log stays even with -d.
  StderrCapture capture;
  EXPECT_EQ(convert(scripted_), 0);
  EXPECT_EQ(scripted_.calls, "new_file:out/log 1 2 3 4 6 end");
  EXPECT_TRUE(input_exists());
  // All well: the input goes; a refused removal is reported but the log still counts as converted.
  write_file(dir_ / "in/log.txt", numbered_log(4));
  in_->refuse_remove = true;
  EXPECT_EQ(convert(scripted_), 0);
  in_->refuse_remove = false;
  EXPECT_EQ(convert(scripted_), 0);
  EXPECT_FALSE(input_exists());
  EXPECT_EQ(messages_of(capture.text()),
            (Messages{skipped, stepped_back, "Could not remove input file after conversion: log.txt"}));

  // A sink that writes nothing reads and drops every record.
  BareSink bare;
  write_file(dir_ / "in/log.txt", numbered_log(3));
  EXPECT_EQ(convert(bare), 0);
  EXPECT_FALSE(input_exists());
}

// A logger or a copy still writing the log while it converts: what it adds after the reading ended
// is in no trace, so -d keeps the log, whatever the writer changed.
TEST_F(ConvertLogTest, ALogThatChangesWhileItConvertsIsKept) {
  const std::string path = dir_ / "in/log.txt";
  struct Case {
    const char* writer;
    std::function<void()> act;
    bool kept;
  } cases[] = {
      {"appends a frame", [&] { std::ofstream(path, std::ios::app) << "12:00:09.000;0;7;1;07\n"; }, true},
      {"rewrites it in place",
       [&] {
         namespace fs = std::filesystem;
         fs::last_write_time(path, fs::last_write_time(path) + std::chrono::seconds(2));
       },
       true},
      {"is done", [] {}, false},
  };
  options_.delete_converted = true;
  for (const Case& c : cases) {
    write_file(path, numbered_log(4));
    ScriptedSink sink;
    bool acted = false;
    sink.on_record = [&] {
      if (!acted) c.act();
      acted = true;
    };
    StderrCapture capture;
    EXPECT_EQ(convert(sink), 0) << c.writer;
    EXPECT_EQ(input_exists(), c.kept) << c.writer;
    EXPECT_EQ(messages_of(capture.text()),
              c.kept ? Messages{"Input file changed during conversion, not removed: log.txt"} : Messages{})
        << c.writer;
  }
}

TEST_F(ConvertLogTest, InputsThatCannotBeReadReachNoOperation) {
  write_file(dir_ / "in/empty.txt", "");
  write_file(dir_ / "in/plain.txt", "12:00:00.000;0;1;0;\n");  // no "#" header block
  for (std::int64_t buffer : {-1, 0}) {
    options_.buffer_size = buffer;
    StderrCapture capture;
    EXPECT_EQ(convert(scripted_, "gone.txt"), 8);
    EXPECT_EQ(convert(scripted_, "empty.txt"), 8);
    EXPECT_EQ(convert(scripted_, "plain.txt"), 8);
    EXPECT_EQ(messages_of(capture.text()),
              (Messages{"Could not open input file gone.txt", "Could not open log", "Could not open log"}));
  }
  EXPECT_EQ(scripted_.calls, "");
  EXPECT_EQ(convert_log(LogContext{}, scripted_, *input_format_named("txt"), sv("log.txt"), sv("out/log")), 8);
}

TEST_F(ConvertLogTest, AnInputNotReadToItsEndOrNotClosedIsKept) {
  const std::string log = numbered_log(6);
  write_file(dir_ / "in/log.txt", log);
  write_file(dir_ / "in/zero.txt", numbered_log(2) + '\0' + "junk\n12:00:05.000;0;9;1;09\n");
  options_.delete_converted = true;
  // The read stops inside a line, which is skipped as a line cut short is.
  const Messages short_read = {"Skipped stray lines in log.txt: 1", "Could not read input file to its end: log.txt",
                               "Error during end file callback"};
  // Unbuffered the faulty stream is read and closed directly; otherwise through the buffer.
  for (std::int64_t buffer : {0, 8, -1}) {
    options_.buffer_size = buffer;
    in_->read_faults = test::StreamFaults{};
    in_->read_faults.read_limit = static_cast<std::int64_t>(log.size()) - 30;  // a bad sector
    StderrCapture capture;
    EXPECT_EQ(convert(scripted_), 8);
    // A zero byte at the start of a line reads as the end of the data.
    EXPECT_EQ(convert(scripted_, "zero.txt"), 8);
    in_->read_faults = test::StreamFaults{};
    in_->read_faults.fail_close = true;
    EXPECT_EQ(convert(scripted_), 8);
    EXPECT_EQ(messages_of(capture.text()),
              (Messages{short_read[0], short_read[1], short_read[2], "Could not read input file to its end: zero.txt",
                        short_read[2], "Could not close input file after conversion: log.txt"}))
        << "buffer " << buffer;
    EXPECT_TRUE(input_exists() && input_exists("zero.txt"));
  }
}

TEST_F(ConvertLogTest, EveryAllocationFailureFailsTheFileCleanly) {
  BareSink bare;
  const std::string log = numbered_log(3);
  write_file(dir_ / "in/log.txt", log);
  const Messages expected[] = {{"Could not open input file log.txt"},
                               {"Could not allocate buffer of size " + std::to_string(log.size())},
                               {"Could not open log"}};
  bool seen[3] = {};
  int status = 8;
  for (std::int64_t budget = 0; budget < 100 && status != 0; ++budget) {
    StderrCapture capture;
    mem_fail_after(budget);
    status = convert(bare);
    mem_fail_after(-1);
    Messages messages = messages_of(capture.text());
    if (status == 0) break;
    int which = 0;
    while (which < 3 && messages != expected[which]) ++which;
    ASSERT_LT(which, 3) << "budget " << budget << ": " << (messages.empty() ? "" : messages[0]);
    seen[which] = true;
  }
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(seen[1] && seen[2]);
}

TEST_F(ConvertLogTest, AContextWithoutFileSystemsOrOptionsConvertsNothing) {
  write_file(dir_ / "in/log.txt", numbered_log(2));
  const InputFormat& txt = *input_format_named("txt");
  for (int missing = 0; missing < 3; ++missing) {
    LogContext run = run_;
    if (missing == 0) run.input_fs = nullptr;
    if (missing == 1) run.output_fs = nullptr;
    if (missing == 2) run.options = nullptr;
    EXPECT_EQ(convert_log(run, scripted_, txt, sv("log.txt"), sv("x")), 8) << missing;
  }
  EXPECT_EQ(scripted_.calls, "");
  EXPECT_TRUE(input_exists());
}

// The whole road of the fixture logs through the reader and the ASC writer, against traces
// written out by hand.
TEST_F(ConvertLogTest, FixtureLogsBecomeTheirExpectedTraces) {
  write_file(dir_ / "in/classic.txt", read_fixture("classic.txt"));
  write_file(dir_ / "in/midnight.txt", read_fixture("midnight.txt"));
  auto asc = asc_only_sink_create();
  ASSERT_TRUE(asc);
  for (std::int64_t buffer : {0, 1, 7, 8, 4096, -1}) {
    options_.buffer_size = buffer;
    StderrCapture capture;
    EXPECT_EQ(convert(*asc, "classic.txt", "out/classic"), 0);
    // The same sink again: the second trace holds only the second log's frames.
    EXPECT_EQ(convert(*asc, "midnight.txt", "out/midnight"), 0);
    EXPECT_TRUE(messages_of(capture.text()).empty());
    EXPECT_EQ(output("classic.asc"), read_fixture("classic.asc")) << "buffer " << buffer;
    EXPECT_EQ(output("midnight.asc"), read_fixture("midnight.asc")) << "buffer " << buffer;
  }
  EXPECT_FALSE(test::file_exists(dir_ / "out/out/classic_LIN.asc"));
}

TEST_F(ConvertLogTest, AFailedTraceKeepsTheInputAndLeavesNoOutput) {
  write_file(dir_ / "in/classic.txt", read_fixture("classic.txt"));
  auto asc = asc_only_sink_create();
  ASSERT_TRUE(asc);
  options_.delete_converted = true;
  const std::int64_t size = static_cast<std::int64_t>(read_fixture("classic.asc").size());
  const std::string end = "Error during end file callback";
  struct Case {
    std::int64_t write_limit;
    bool fail_close;
    const char* refuse_open;
    Messages messages;
  } cases[] = {
      {10, false, "", {"Could not write CAN header", end}},
      {200, false, "", {"Could not write CAN data", "Could not write CAN footer", end}},
      {size - 5, false, "", {"Could not write CAN footer", end}},
      {-1, true, "", {end}},
      {-1, false, ".asc", {"Could not open output file for CAN: out/classic.asc", end}},
  };
  for (const Case& c : cases) {
    out_->write_faults.write_limit = c.write_limit;
    out_->write_faults.fail_close = c.fail_close;
    out_->refuse_open_containing = c.refuse_open;
    StderrCapture capture;
    EXPECT_EQ(convert(*asc, "classic.txt", "out/classic"), 8);
    EXPECT_EQ(messages_of(capture.text()), c.messages);
    EXPECT_FALSE(test::file_exists(dir_ / "out/out/classic.asc"));
    EXPECT_TRUE(input_exists("classic.txt"));
  }
  out_->write_faults = test::StreamFaults{};
  out_->refuse_open_containing.clear();
  EXPECT_EQ(convert(*asc, "classic.txt", "out/classic"), 0);
  EXPECT_EQ(output("classic.asc"), read_fixture("classic.asc"));
  EXPECT_FALSE(input_exists("classic.txt"));
}

// Writes down every call of the loop, with the file's name while it is in hand.
class RecordingProgress final : public ProgressObserver {
 public:
  void file_started(StrView input_path) override {
    file = std::string(input_path.data, static_cast<std::size_t>(input_path.length));
    calls.push_back("start " + file);
  }
  void file_advanced(std::int64_t records, std::int64_t bytes) override {
    calls.push_back("at " + std::to_string(records));
    advanced_bytes.push_back(bytes);
  }
  void file_finished(bool converted, std::int64_t records, std::int64_t bytes) override {
    calls.push_back(std::string(converted ? "done " : "failed ") + file + " " + std::to_string(records));
    finished_bytes.push_back(bytes);
  }
  std::string file;
  std::vector<std::string> calls;
  std::vector<std::int64_t> advanced_bytes;
  std::vector<std::int64_t> finished_bytes;
};

TEST_F(ConvertLogTest, AProgressObserverHearsOfEveryFileAndEveryStrideOfRecords) {
  const int frames = 2 * static_cast<int>(kProgressStride) + 100;
  // One frame a millisecond from 12:00:00.000 on.
  std::string log = numbered_log(0);
  for (int i = 0; i < frames; ++i) {
    char line[64];
    std::snprintf(line, sizeof line, "12:%02d:%02d.%03d;0;%X;1;%02X\n", i / 60000, i / 1000 % 60, i % 1000, i & 0x7ff,
                  i & 0xff);
    log += line;
  }
  write_file(dir_ / "in/log.txt", log);
  write_file(dir_ / "in/plain.txt", "not a log\n");
  for (std::int64_t buffer : {-1, 0, 4096}) {
    options_.buffer_size = buffer;
    RecordingProgress progress;
    BareSink bare;
    run_.progress = &progress;
    StderrCapture capture;
    EXPECT_EQ(convert(bare), 0);
    EXPECT_EQ(convert(bare, "plain.txt"), 8);
    EXPECT_EQ(convert(bare, "gone.txt"), 8);
    const std::string stride = std::to_string(kProgressStride);
    EXPECT_EQ(progress.calls, (Messages{"start log.txt", "at " + stride, "at " + std::to_string(2 * kProgressStride),
                                        "done log.txt " + std::to_string(frames), "start plain.txt",
                                        "failed plain.txt 0", "start gone.txt", "failed gone.txt 0"}))
        << "buffer " << buffer;
    // The bytes read grow with the records and end at the whole file.
    ASSERT_EQ(progress.advanced_bytes.size(), 2u);
    EXPECT_GT(progress.advanced_bytes[0], 0);
    EXPECT_LT(progress.advanced_bytes[0], progress.advanced_bytes[1]);
    EXPECT_LT(progress.advanced_bytes[1], static_cast<std::int64_t>(log.size()));
    EXPECT_EQ(progress.finished_bytes[0], static_cast<std::int64_t>(log.size()));
    EXPECT_EQ(messages_of(capture.text()), (Messages{"Could not open log", "Could not open input file gone.txt"}));
  }
}

TEST_F(ConvertLogTest, AFailedRecordEndsTheCountOfAFileThatFailed) {
  write_file(dir_ / "in/log.txt", numbered_log(10));
  RecordingProgress progress;
  run_.progress = &progress;
  scripted_.fail_record = 4;
  StderrCapture capture;
  EXPECT_EQ(convert(scripted_), 8);
  // The fourth record was handed over and failed; the fifth was read and dropped.
  EXPECT_EQ(progress.calls, (Messages{"start log.txt", "failed log.txt 4"}));
}

}  // namespace
}  // namespace quarn
