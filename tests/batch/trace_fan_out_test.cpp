#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <limits>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "batch/trace_writer.h"
#include "support/bus_records.h"
#include "support/capture.h"
#include "support/temp_dir.h"

namespace quarn {
namespace {

using test::can_frame;
using test::lin_frame;

// A writer that notes what it is asked to do into a log shared with the other writers.
class NotingWriter final : public TraceWriter {
 public:
  NotingWriter(std::string name, std::string* log, bool succeed) : name_(std::move(name)), log_(log), ok_(succeed) {}
  void begin_file(FileSystem& /*fs*/, StrView base, WrittenFiles* /*written*/, const LogInfo& /*info*/) override {
    *log_ += name_ + ":begin(" + std::string(base.data, static_cast<std::size_t>(base.length)) + ") ";
  }
  void write_record(const BusRecord& r) override { *log_ += name_ + std::to_string(r.ID) + " "; }
  bool end_file(bool complete, bool durable, FinishedTraces& /*finished*/) override {
    *log_ += name_ + ":end(" + (complete ? "complete" : "partial") + (durable ? ",durable" : "") + ") ";
    return ok_;
  }

 private:
  std::string name_;
  std::string* log_;
  bool ok_;
};

struct Scenario {
  const char* name;
  bool ordered;
  bool file_failed;
  bool b_succeeds;
  bool delete_converted;
  bool result;
  std::string log;
};

// Records reach every writer in writer order; a source out of time order is handed over sorted
// when the log ends; every writer ends, the first first, even after another failed.
TEST(TraceFanOutTest, FeedsEveryWriterInOrder) {
  const std::vector<BusRecord> records = {can_frame(3, 3, {}), lin_frame(1, 1, {}), can_frame(2, 2, {})};
  const Scenario scenarios[] = {
      {"in time order", true, false, true, false, true,
       "A:begin(out/log) B:begin(out/log) A3 B3 A1 B1 A2 B2 A:end(complete) B:end(complete) "},
      {"out of order", false, false, true, false, true,
       "A:begin(out/log) B:begin(out/log) A1 B1 A2 B2 A3 B3 A:end(complete) B:end(complete) "},
      {"durable", false, false, true, true, true,
       "A:begin(out/log) B:begin(out/log) A1 B1 A2 B2 A3 B3 A:end(complete,durable) B:end(complete,durable) "},
      {"the second writer fails", true, false, false, false, false,
       "A:begin(out/log) B:begin(out/log) A3 B3 A1 B1 A2 B2 A:end(complete) B:end(complete) "},
      {"the log failed, in order", true, true, true, false, false,
       "A:begin(out/log) B:begin(out/log) A3 B3 A1 B1 A2 B2 A:end(partial) B:end(partial) "},
      {"the log failed, out of order", false, true, true, false, false,
       "A:begin(out/log) B:begin(out/log) A:end(partial) B:end(partial) "},
  };
  for (const Scenario& s : scenarios) {
    test::TempDir dir;
    std::unique_ptr<FileSystem> fs = disk_fs_create(sv(dir.path().c_str()));
    RunOptions options;
    options.delete_converted = s.delete_converted;
    std::string log;
    std::unique_ptr<TraceWriter> writers[3];
    writers[0].reset(new (std::nothrow) NotingWriter("A", &log, true));
    // writers[1] stays empty: passed over
    writers[2].reset(new (std::nothrow) NotingWriter("B", &log, s.b_succeeds));
    std::unique_ptr<TraceSink> sink = trace_fan_out_create(writers, 3);
    const LogContext context{fs.get(), fs.get(), true, &options};
    ASSERT_TRUE(sink) << s.name;
    RecordSource source;
    source.time_ordered = s.ordered;
    ASSERT_TRUE(sink->begin_log(context, sv("out/log"), source)) << s.name;
    for (const BusRecord& r : records) ASSERT_TRUE(sink->take_record(r)) << s.name;
    EXPECT_EQ(sink->end_log(context, sv("out/log"), !s.file_failed).ok, s.result) << s.name;
    EXPECT_EQ(log, s.log) << s.name;
  }
}

// A writer that notes on which threads it was fed and helped. Fed off the reading thread, it holds
// its first record until it has been helped, which only a reading thread that helps while it
// waits can do.
class ThreadNotingWriter final : public TraceWriter {
 public:
  void begin_file(FileSystem& /*fs*/, StrView /*base*/, WrittenFiles* /*written*/, const LogInfo& /*info*/) override {}
  void write_record(const BusRecord& /*r*/) override {
    if (std::this_thread::get_id() != reader) off_reader = true;
    if (++records == 1 && off_reader) {
      for (int ms = 0; ms < 10000 && helps.load() == 0; ++ms) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  bool end_file(bool /*complete*/, bool /*durable*/, FinishedTraces& /*finished*/) override { return true; }
  void expect_help() override { told_to_expect_help = true; }
  bool help() override {
    if (std::this_thread::get_id() != reader) helped_off_reader = true;
    ++helps;
    return false;
  }

  std::thread::id reader = std::this_thread::get_id();
  std::size_t records = 0;
  bool off_reader = false;
  bool told_to_expect_help = false;
  std::atomic<int> helps{0};
  bool helped_off_reader = false;
};

// A log in time order goes to a thread of its own, where every writer is fed, and the reading
// thread helps the writers while it waits; a log out of order is sorted at its end and fed on the
// reading thread.
TEST(TraceFanOutTest, LogsInOrderGoToAThreadThatTheReaderHelps) {
  // More than a batch, so that one is handed over before the log ends.
  const std::size_t frames = 40000;
  for (bool ordered : {true, false}) {
    SCOPED_TRACE(ordered ? "in time order" : "out of order");
    test::TempDir dir;
    std::unique_ptr<FileSystem> fs = disk_fs_create(sv(dir.path().c_str()));
    RunOptions options;
    std::unique_ptr<TraceWriter> writers[2];
    auto* first = new (std::nothrow) ThreadNotingWriter;
    auto* second = new (std::nothrow) ThreadNotingWriter;
    writers[0].reset(first);
    writers[1].reset(second);
    std::unique_ptr<TraceSink> sink = trace_fan_out_create(writers, 2);
    const LogContext context{fs.get(), fs.get(), true, &options};
    ASSERT_TRUE(sink);
    RecordSource source;
    source.time_ordered = ordered;
    ASSERT_TRUE(sink->begin_log(context, sv("out/log"), source));
    for (std::size_t i = 0; i < frames; ++i) ASSERT_TRUE(sink->take_record(can_frame(static_cast<double>(i), 1, {})));
    EXPECT_TRUE(sink->end_log(context, sv("out/log"), true).ok);
    for (const ThreadNotingWriter* w : {first, second}) {
      EXPECT_EQ(w->records, frames);
      EXPECT_EQ(w->off_reader, ordered);
      EXPECT_EQ(w->told_to_expect_help, ordered);
      EXPECT_EQ(w->helps.load() > 0, ordered);
      EXPECT_FALSE(w->helped_off_reader);
    }
  }
}

TEST(TraceFanOutTest, TooManyWritersOrNoneGivenMakeNoSink) {
  std::unique_ptr<TraceWriter> writers[kMaxTraceWriters + 1];
  EXPECT_FALSE(trace_fan_out_create(writers, kMaxTraceWriters + 1));
  EXPECT_FALSE(trace_fan_out_create(nullptr, 1));
  EXPECT_TRUE(trace_fan_out_create(writers, 0));
}

}  // namespace
}  // namespace quarn
