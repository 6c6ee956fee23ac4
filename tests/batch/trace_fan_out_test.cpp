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
    std::unique_ptr<Converter> converter = trace_fan_out_create(writers, 3, fs.get(), fs.get(), &options);
    ASSERT_TRUE(converter) << s.name;
    RecordSource source;
    source.time_ordered = s.ordered;
    ASSERT_TRUE(converter->new_file(sv("out/log"), source)) << s.name;
    for (const BusRecord& r : records) ASSERT_TRUE(converter->handle_record(r)) << s.name;
    converter->file_failed = s.file_failed;
    EXPECT_EQ(converter->end_file(sv("out/log")), s.result) << s.name;
    EXPECT_EQ(log, s.log) << s.name;
  }
}

// A writer that notes on which threads it was fed and helped, and says whether it wants a thread.
// Fed off the reading thread, it holds its first record until it has been helped, which only a
// reading thread that helps while it waits can do.
class ThreadNotingWriter final : public TraceWriter {
 public:
  explicit ThreadNotingWriter(bool wants) : wants_(wants) {}
  void begin_file(FileSystem& /*fs*/, StrView /*base*/, WrittenFiles* /*written*/, const LogInfo& /*info*/) override {}
  void write_record(const BusRecord& /*r*/) override {
    if (std::this_thread::get_id() != reader) off_reader = true;
    if (++records == 1 && off_reader) {
      for (int ms = 0; ms < 10000 && helps.load() == 0; ++ms) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  bool end_file(bool /*complete*/, bool /*durable*/, FinishedTraces& /*finished*/) override { return true; }
  bool wants_own_thread() const override { return wants_; }
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

 private:
  bool wants_;
};

// A log in time order goes to a thread of its own only when a writer wants one, and then every
// writer is fed there and helped from the reading thread while it waits; writers that all do
// without are fed as the log is read.
TEST(TraceFanOutTest, ThreadOnlyWhenAWriterWantsOne) {
  const struct {
    bool first_wants, second_wants, fed_off_reader;
  } cases[] = {{false, false, false}, {true, false, true}, {false, true, true}};
  // More than a batch, so that one is handed over before the log ends.
  const std::size_t frames = 40000;
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.first_wants << c.second_wants);
    test::TempDir dir;
    std::unique_ptr<FileSystem> fs = disk_fs_create(sv(dir.path().c_str()));
    RunOptions options;
    std::unique_ptr<TraceWriter> writers[2];
    auto* first = new (std::nothrow) ThreadNotingWriter(c.first_wants);
    auto* second = new (std::nothrow) ThreadNotingWriter(c.second_wants);
    writers[0].reset(first);
    writers[1].reset(second);
    std::unique_ptr<Converter> converter = trace_fan_out_create(writers, 2, fs.get(), fs.get(), &options);
    ASSERT_TRUE(converter);
    RecordSource source;
    source.time_ordered = true;
    ASSERT_TRUE(converter->new_file(sv("out/log"), source));
    for (std::size_t i = 0; i < frames; ++i)
      ASSERT_TRUE(converter->handle_record(can_frame(static_cast<double>(i), 1, {})));
    EXPECT_TRUE(converter->end_file(sv("out/log")));
    for (const ThreadNotingWriter* w : {first, second}) {
      EXPECT_EQ(w->records, frames);
      EXPECT_EQ(w->off_reader, c.fed_off_reader);
      EXPECT_EQ(w->told_to_expect_help, c.fed_off_reader);
      EXPECT_EQ(w->helps.load() > 0, c.fed_off_reader);
      EXPECT_FALSE(w->helped_off_reader);
    }
  }
}

TEST(TraceFanOutTest, TooManyWritersOrNoOptionsMakeNoConverter) {
  test::TempDir dir;
  std::unique_ptr<FileSystem> fs = disk_fs_create(sv(dir.path().c_str()));
  RunOptions options;
  std::unique_ptr<TraceWriter> writers[kMaxTraceWriters + 1];
  EXPECT_FALSE(trace_fan_out_create(writers, kMaxTraceWriters + 1, fs.get(), fs.get(), &options));
  EXPECT_FALSE(trace_fan_out_create(writers, 1, fs.get(), fs.get(), nullptr));
  EXPECT_TRUE(trace_fan_out_create(writers, 0, fs.get(), fs.get(), &options));
}

}  // namespace
}  // namespace quarn
