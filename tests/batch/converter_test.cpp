#include "batch/converter.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "asc/asc_converter.h"
#include "base/memory.h"
#include "support/capture.h"
#include "support/faulty_fs.h"
#include "support/temp_dir.h"
#include "textlog/text_log_reader.h"

namespace quarn {
namespace {

using test::file_exists;
using test::messages_of;
using test::read_file;
using test::StderrCapture;
using test::TempDir;
using test::write_file;
using Messages = std::vector<std::string>;

std::string fixture(const std::string& name) { return test::read_fixture(name); }

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
class ScriptedConverter final : public Converter {
 public:
  ~ScriptedConverter() override {
    if (destroyed != nullptr) *destroyed = true;
  }
  bool init() override {
    calls.push_back("init");
    return init_result;
  }
  bool new_file(StrView output_base, TextLogReader& reader) override {
    calls.push_back("new_file " + std::string(output_base.data, static_cast<std::size_t>(output_base.length)));
    // Leave the reader anywhere but at the first record: the loop rewinds it whatever happens here.
    stream_seek(*reader.stream, 0, kSeekEnd);
    return !fail_new_file;
  }
  bool handle_record(const BusRecord& record) override {
    calls.push_back("record " + std::to_string(record.ID));
    return static_cast<int>(++records) != fail_record;
  }
  bool end_file(StrView output_base) override {
    calls.push_back("end_file " + std::string(output_base.data, static_cast<std::size_t>(output_base.length)));
    return !fail_end_file;
  }

  bool init_result = true;
  bool fail_new_file = false;
  int fail_record = 0;  // 1-based; 0: never
  bool fail_end_file = false;
  std::size_t records = 0;
  std::vector<std::string> calls;
  bool* destroyed = nullptr;
};

std::vector<std::string> calls_for(int records, bool with_end = true) {
  std::vector<std::string> calls = {"new_file out/log"};
  for (int i = 1; i <= records; ++i) calls.push_back("record " + std::to_string(i));
  if (with_end) calls.push_back("end_file out/log");
  return calls;
}

// Inputs under in/, outputs under out/, each through its own file system as in a run with an
// output folder.
class ConvertFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::make_dirs(dir_ / "in");
    test::make_dirs(dir_ / "out/out");
    in_ = test::faulty_fs_create(dir_ / "in");
    out_ = disk_fs_create(sv((dir_ / "out").c_str()));
    ASSERT_TRUE(in_ && out_);
    scripted_.reset(new (std::nothrow) ScriptedConverter);
    ASSERT_TRUE(converter_init(scripted_.get(), in_.get(), out_.get(), false, &options_));
    scripted_->calls.clear();
  }

  int convert(Converter* converter, const char* input = "log.txt", const char* base = "out/log") {
    return converter_convert_file(converter, sv(input), sv(base));
  }

  bool input_exists(const char* name = "log.txt") { return file_exists(dir_ / (std::string("in/") + name)); }

  TempDir dir_;
  RunOptions options_;
  std::unique_ptr<test::FaultyFileSystem> in_;
  std::unique_ptr<FileSystem> out_;
  std::unique_ptr<ScriptedConverter> scripted_;
};

TEST_F(ConvertFileTest, EveryRecordReachesTheConverterInOrder) {
  write_file(dir_ / "in/log.txt", numbered_log(5));
  StderrCapture capture;
  EXPECT_EQ(convert(scripted_.get()), 0);
  EXPECT_EQ(scripted_->calls, calls_for(5));
  EXPECT_TRUE(messages_of(capture.text()).empty());
  EXPECT_TRUE(input_exists());
}

TEST_F(ConvertFileTest, AConverterWithoutOperationsConvertsEveryReadableLog) {
  std::unique_ptr<Converter> bare(new (std::nothrow) Converter);
  ASSERT_TRUE(converter_init(bare.get(), in_.get(), out_.get(), false, &options_));
  write_file(dir_ / "in/log.txt", numbered_log(3));
  options_.delete_converted = true;
  EXPECT_EQ(convert(bare.get()), 0);
  EXPECT_FALSE(input_exists());
}

TEST_F(ConvertFileTest, AFailedNewFileSkipsTheRecordsButNotEndFile) {
  write_file(dir_ / "in/log.txt", numbered_log(4));
  options_.delete_converted = true;
  scripted_->fail_new_file = true;
  StderrCapture capture;
  EXPECT_EQ(convert(scripted_.get()), 8);
  EXPECT_EQ(scripted_->calls, (std::vector<std::string>{"new_file out/log", "end_file out/log"}));
  EXPECT_EQ(messages_of(capture.text()), (Messages{"Error during new file callback", "Error during end file callback"}));
  EXPECT_TRUE(input_exists());
}

TEST_F(ConvertFileTest, AFailedRecordEndsTheRecordsAfterOneMoreIsReadAndDropped) {
  // The fifth line lies 0.5 s before the fourth and is skipped with a warning when it is read.
  // The warning appears only if the loop reads a record after the failed third call.
  write_file(dir_ / "in/log.txt", numbered_log(4, "12:00:01.500;0;5;0;\n12:00:09.000;0;6;0;\n"));
  options_.delete_converted = true;
  scripted_->fail_record = 3;
  StderrCapture capture;
  EXPECT_EQ(convert(scripted_.get()), 8);
  EXPECT_EQ(scripted_->calls, calls_for(3));
  EXPECT_EQ(messages_of(capture.text()), (Messages{"Error during handle record callback",
                                                   "Error during end file callback"}));
  EXPECT_TRUE(input_exists());

  scripted_->calls.clear();
  scripted_->records = 0;
  scripted_->fail_record = 4;
  StderrCapture second;
  EXPECT_EQ(convert(scripted_.get()), 8);
  EXPECT_EQ(scripted_->calls, calls_for(4));
  EXPECT_EQ(messages_of(second.text()),
            (Messages{"Error during handle record callback", "Skipping non-increasing timestamp: 1706702402.000000",
                      "Error during end file callback"}));
}

TEST_F(ConvertFileTest, AFailedEndFileFailsTheFile) {
  write_file(dir_ / "in/log.txt", numbered_log(2));
  options_.delete_converted = true;
  scripted_->fail_end_file = true;
  StderrCapture capture;
  EXPECT_EQ(convert(scripted_.get()), 8);
  EXPECT_EQ(scripted_->calls, calls_for(2));
  EXPECT_EQ(messages_of(capture.text()), Messages{"Error during end file callback"});
  EXPECT_TRUE(input_exists());
}

TEST_F(ConvertFileTest, InputsThatCannotBeOpenedReachNoOperation) {
  write_file(dir_ / "in/log.txt", "");
  write_file(dir_ / "in/plain.txt", "12:00:00.000;0;1;0;\n");  // no "#" header block
  const std::pair<const char*, const char*> cases[] = {
      {"gone.txt", "Could not open input file gone.txt"},
      {"log.txt", "Could not open log"},
      {"plain.txt", "Could not open log"},
  };
  for (std::int64_t buffer : {-1, 0}) {
    options_.buffer_size = buffer;
    for (auto [input, message] : cases) {
      StderrCapture capture;
      EXPECT_EQ(convert(scripted_.get(), input), 8) << input;
      EXPECT_EQ(messages_of(capture.text()), Messages{message}) << input;
    }
  }
  EXPECT_TRUE(scripted_->calls.empty());
  EXPECT_EQ(converter_convert_file(nullptr, sv("log.txt"), sv("out/log")), 8);
}

TEST_F(ConvertFileTest, DeleteConvertedRemovesOnlyAfterSuccess) {
  write_file(dir_ / "in/log.txt", numbered_log(2));
  options_.delete_converted = true;
  in_->refuse_remove = true;
  {
    StderrCapture capture;
    EXPECT_EQ(convert(scripted_.get()), 0);
    EXPECT_EQ(messages_of(capture.text()), Messages{"Could not remove input file after conversion: log.txt"});
    EXPECT_TRUE(input_exists());
  }
  in_->refuse_remove = false;
  EXPECT_EQ(convert(scripted_.get()), 0);
  EXPECT_FALSE(input_exists());
  options_.delete_converted = false;
  write_file(dir_ / "in/log.txt", numbered_log(2));
  EXPECT_EQ(convert(scripted_.get()), 0);
  EXPECT_TRUE(input_exists());
}

TEST_F(ConvertFileTest, AFailingCloseOfTheInputFailsTheFileAndKeepsIt) {
  write_file(dir_ / "in/log.txt", numbered_log(3));
  options_.delete_converted = true;
  in_->read_faults.fail_close = true;
  // Unbuffered the failing stream is closed directly; otherwise through the buffer that owns it.
  for (std::int64_t buffer : {0, 16, -1}) {
    options_.buffer_size = buffer;
    StderrCapture capture;
    EXPECT_EQ(convert(scripted_.get()), 8) << buffer;
    EXPECT_EQ(messages_of(capture.text()), Messages{"Could not close input file after conversion: log.txt"});
    EXPECT_TRUE(input_exists());
  }
}

TEST_F(ConvertFileTest, ALogReadShortOfItsEndIsNotConverted) {
  const std::string log = numbered_log(6);
  write_file(dir_ / "in/log.txt", log);
  options_.delete_converted = true;
  in_->read_faults.read_limit = static_cast<std::int64_t>(log.size()) - 30;
  for (std::int64_t buffer : {0, 8, -1}) {
    options_.buffer_size = buffer;
    scripted_->calls.clear();
    StderrCapture capture;
    EXPECT_EQ(convert(scripted_.get()), 8) << buffer;
    EXPECT_EQ(messages_of(capture.text()),
              (Messages{"Could not read input file to its end: log.txt", "Error during end file callback"}));
    EXPECT_EQ(scripted_->calls.empty() ? "" : scripted_->calls.back(), "end_file out/log");
    EXPECT_TRUE(input_exists());
  }

  // A zero byte at the start of a line reads as the end of the data; the frames after it must
  // not be given up silently either.
  in_->read_faults.read_limit = -1;
  write_file(dir_ / "in/log.txt", numbered_log(2) + std::string(1, '\0') + "junk\n12:00:05.000;0;9;1;09\n");
  StderrCapture capture;
  EXPECT_EQ(convert(scripted_.get()), 8);
  EXPECT_EQ(messages_of(capture.text()),
            (Messages{"Could not read input file to its end: log.txt", "Error during end file callback"}));
  EXPECT_TRUE(input_exists());
}

TEST_F(ConvertFileTest, EveryAllocationFailureFailsTheFileCleanly) {
  std::unique_ptr<Converter> bare(new (std::nothrow) Converter);
  ASSERT_TRUE(converter_init(bare.get(), in_.get(), out_.get(), false, &options_));
  const std::string log = numbered_log(3);
  write_file(dir_ / "in/log.txt", log);
  bool saw_buffer_failure = false;
  int status = 8;
  for (std::int64_t budget = 0; budget < 100 && status != 0; ++budget) {
    StderrCapture capture;
    mem_fail_after(budget);
    status = convert(bare.get());
    mem_fail_after(-1);
    Messages messages = messages_of(capture.text());
    if (status == 8) {
      ASSERT_EQ(messages.size(), 1u) << "budget " << budget;
      EXPECT_TRUE(messages[0] == "Could not open input file log.txt" || messages[0] == "Could not open log" ||
                  messages[0] == "Could not allocate buffer of size " + std::to_string(log.size()))
          << messages[0];
      saw_buffer_failure |= messages[0].starts_with("Could not allocate buffer");
    }
  }
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(saw_buffer_failure);
  EXPECT_TRUE(input_exists());
}

TEST(ConverterInitTest, StoresTheCommonFieldsAndRunsInit) {
  TempDir dir;
  auto fs = disk_fs_create(sv(dir.path().c_str()));
  ASSERT_TRUE(fs);
  RunOptions options;
  std::unique_ptr<Converter> converter(new (std::nothrow) ScriptedConverter);
  auto* scripted = static_cast<ScriptedConverter*>(converter.get());

  EXPECT_FALSE(converter_init(nullptr, fs.get(), fs.get(), true, &options));
  EXPECT_FALSE(converter_init(converter.get(), nullptr, fs.get(), true, &options));
  EXPECT_FALSE(converter_init(converter.get(), fs.get(), nullptr, true, &options));
  EXPECT_FALSE(converter_init(converter.get(), fs.get(), fs.get(), true, nullptr));
  EXPECT_EQ(converter->input_fs, nullptr);
  EXPECT_EQ(converter->options, nullptr);
  EXPECT_TRUE(scripted->calls.empty());
  // Never initialised: nothing to convert with.
  EXPECT_EQ(converter_convert_file(converter.get(), sv("x.txt"), sv("x")), 8);

  scripted->init_result = false;
  EXPECT_FALSE(converter_init(converter.get(), fs.get(), fs.get(), true, &options));
  scripted->init_result = true;
  ASSERT_TRUE(converter_init(converter.get(), fs.get(), fs.get(), true, &options));
  EXPECT_EQ(scripted->calls, (std::vector<std::string>{"init", "init"}));
  EXPECT_EQ(converter->input_fs, fs.get());
  EXPECT_EQ(converter->output_fs, fs.get());
  EXPECT_TRUE(converter->create_output_dirs);
  EXPECT_EQ(converter->options, &options);

  bool destroyed = false;
  scripted->destroyed = &destroyed;
  converter_release(converter);
  EXPECT_EQ(converter, nullptr);
  EXPECT_TRUE(destroyed);
  converter_release(converter);  // null: nothing happens
  // The file systems belong to the caller and outlive the converter.
  PathInfo info;
  EXPECT_TRUE(fs_stat(fs.get(), sv(""), &info));
}

// The whole road of a log through the ASC converter, against traces written out by hand.
class AscConversionTest : public ConvertFileTest {
 protected:
  void SetUp() override {
    ConvertFileTest::SetUp();
    asc_ = asc_converter_create(in_.get(), out_.get(), &options_);
    ASSERT_TRUE(asc_);
    write_file(dir_ / "in/classic.txt", fixture("classic.txt"));
    write_file(dir_ / "in/midnight.txt", fixture("midnight.txt"));
  }
  std::string output(const char* name) { return read_file(dir_ / (std::string("out/out/") + name)); }

  std::unique_ptr<Converter> asc_;
};

TEST_F(AscConversionTest, FixtureLogsBecomeTheirExpectedTraces) {
  StderrCapture capture;
  EXPECT_EQ(convert(asc_.get(), "classic.txt", "out/classic"), 0);
  // The same converter again: the second trace holds only the second log's frames.
  EXPECT_EQ(convert(asc_.get(), "midnight.txt", "out/midnight"), 0);
  EXPECT_TRUE(messages_of(capture.text()).empty());
  EXPECT_EQ(output("classic.asc"), fixture("classic.asc"));
  EXPECT_EQ(output("midnight.asc"), fixture("midnight.asc"));
  EXPECT_FALSE(file_exists(dir_ / "out/out/classic_LIN.asc"));
}

TEST_F(AscConversionTest, EveryBufferSizeGivesTheSameTrace) {
  for (std::int64_t buffer : {0, 1, 7, 8, 64, 4096, -1, -7}) {
    options_.buffer_size = buffer;
    ASSERT_EQ(convert(asc_.get(), "classic.txt", "out/classic"), 0) << buffer;
    EXPECT_EQ(output("classic.asc"), fixture("classic.asc")) << "buffer " << buffer;
  }
}

TEST_F(AscConversionTest, AFailedTraceKeepsTheInputAndLeavesNoPartialOutput) {
  auto faulty_out = test::faulty_fs_create(dir_ / "out");
  ASSERT_TRUE(faulty_out);
  auto asc = asc_converter_create(in_.get(), faulty_out.get(), &options_);
  ASSERT_TRUE(asc);
  options_.delete_converted = true;
  const std::int64_t header = static_cast<std::int64_t>(fixture("classic.asc").find("   0.789"));
  const std::pair<std::int64_t, Messages> cases[] = {
      {10, {"Could not write CAN header"}},
      {header + 200, {"Could not write CAN data", "Could not write CAN footer"}},
      {static_cast<std::int64_t>(fixture("classic.asc").size()) - 5, {"Could not write CAN footer"}},
  };
  for (const auto& [limit, messages] : cases) {
    faulty_out->write_faults.write_limit = limit;
    StderrCapture capture;
    EXPECT_EQ(convert(asc.get(), "classic.txt", "out/classic"), 8);
    Messages expected = messages;
    expected.push_back("Error during end file callback");
    EXPECT_EQ(messages_of(capture.text()), expected) << "limit " << limit;
    EXPECT_FALSE(file_exists(dir_ / "out/out/classic.asc")) << "limit " << limit;
    EXPECT_TRUE(input_exists("classic.txt"));
  }

  faulty_out->write_faults.write_limit = -1;
  faulty_out->write_faults.fail_close = true;
  {
    StderrCapture capture;
    EXPECT_EQ(convert(asc.get(), "classic.txt", "out/classic"), 8);
    EXPECT_EQ(messages_of(capture.text()), Messages{"Error during end file callback"});
    EXPECT_FALSE(file_exists(dir_ / "out/out/classic.asc"));
    EXPECT_TRUE(input_exists("classic.txt"));
  }

  faulty_out->write_faults.fail_close = false;
  faulty_out->refuse_open_suffix = ".asc";
  {
    StderrCapture capture;
    EXPECT_EQ(convert(asc.get(), "classic.txt", "out/classic"), 8);
    EXPECT_EQ(messages_of(capture.text()),
              (Messages{"Could not open output file for CAN: out/classic.asc", "Error during end file callback"}));
    EXPECT_TRUE(input_exists("classic.txt"));
  }

  // Once the trace is written (and on disk), the input goes.
  faulty_out->refuse_open_suffix.clear();
  EXPECT_EQ(convert(asc.get(), "classic.txt", "out/classic"), 0);
  EXPECT_EQ(output("classic.asc"), fixture("classic.asc"));
  EXPECT_FALSE(input_exists("classic.txt"));
}

}  // namespace
}  // namespace quarn
