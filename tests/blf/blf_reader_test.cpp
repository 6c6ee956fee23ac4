// The BLF reader over files the test builder makes: every frame object and flag, both header
// versions and time units, stored and zlib containers, objects that cross containers, the order
// window, and the ways files get damaged.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "blf/blf_decoder.h"
#include "blf/blf_format.h"
#include "blf/blf_log_reader.h"
#include "support/blf_files.h"
#include "support/mdf4_files.h"
#include "support/memory_stream.h"

namespace quarn {
namespace {

using test::blf_file;
using test::blf_objects_of;
using test::BlfFileOptions;
using test::BlfObject;
using test::BlfObjectStyle;
using test::describe_us;

const double kStart = test::blf_seconds_of(BlfFileOptions{}.start);

struct Read {
  bool opened = false;
  std::vector<BusRecord> records;
  std::string failure;
  std::string unread;
  bool start_time_failure = false;
  std::int64_t stepped_back = 0;
  PassedObjects passed;
  std::vector<std::string> broken;  // records that break BusRecord's invariants
};

Read read_blf(const std::string& bytes) {
  Read out;
  test::MemoryStream stream(bytes);
  auto reader = blf_log_reader_create();
  EXPECT_TRUE(reader);
  out.opened = reader->open(stream);
  out.failure = reader->failure();
  out.start_time_failure = reader->failure_kind() == ReadFailure::StartTime;
  if (!out.opened) return out;
  EXPECT_TRUE(reader->time_ordered());
  BusRecord r;
  while (reader->next(r)) {
    const std::uint8_t* own = r.Kind == LIN_Frame ? r.Lin.DataBytes : r.Can.DataBytes;
    if (r.DataPointer != own || r.DataLength > (r.Kind == LIN_Frame ? kLinMaxData : kCanMaxData)) {
      out.broken.push_back(test::describe(r));
    }
    out.records.push_back(r);
  }
  out.failure = reader->failure();
  if (out.failure.empty() && !reader->ended_cleanly(static_cast<std::int64_t>(bytes.size()))) {
    out.unread = reader->unread();
    EXPECT_NE(out.unread, "");
  }
  out.stepped_back = reader->stepped_back();
  out.passed = reader->passed_objects();
  return out;
}

// What a BLF object keeps of a record: CAN_ERROR_EXT has no error type, direction or CAN FD
// flags, and holds up to 8 data bytes (as many as the DLC says); a LIN frame's received count is
// its length.
BusRecord blf_form(const BusRecord& in) {
  BusRecord r = in;
  if (r.Kind == CAN_ErrorFrame) {
    r.Can.ErrorType = 0;
    r.Can.EDL = r.Can.BRS = r.Can.ESI = r.Can.Dir = 0;
    r.DataLength = std::min<std::uint64_t>(r.Can.DLC, 8);
    std::memset(r.Can.DataBytes + r.DataLength, 0, sizeof r.Can.DataBytes - r.DataLength);
  } else if (r.Kind == LIN_Frame) {
    r.Lin.ReceivedDataByteCount = static_cast<std::uint8_t>(r.DataLength);
  }
  return r;
}

std::vector<BusRecord> blf_forms(const std::vector<BusRecord>& records) {
  std::vector<BusRecord> out;
  for (const BusRecord& r : records) out.push_back(blf_form(r));
  return out;
}

// Frames at whole multiples of 10 µs, for files that give times in that unit.
std::vector<BusRecord> frames_at_ten_micros(std::uint64_t seed, std::size_t count) {
  std::vector<BusRecord> records = test::generated_frames(seed, count);
  for (BusRecord& r : records)
    r.Timestamp = kStart + static_cast<double>(test::micros_of(r.Timestamp - kStart) / 10) * 1e-5;
  return records;
}

// Every frame object and flag, in every way a file can hold them, reads back as it was written.
TEST(BlfReaderTest, EveryWayOfHoldingFramesReadsBack) {
  struct Row {
    const char* what;
    BlfObjectStyle style;
    BlfFileOptions options;
  };
  BlfFileOptions stored;
  stored.compression = blf::kStored;
  BlfFileOptions small;  // containers cut every 100 bytes: most objects cross one
  small.container_bytes = 100;
  BlfFileOptions tiny_stored;  // containers smaller than an object's header
  tiny_stored.container_bytes = 7;
  tiny_stored.compression = blf::kStored;
  BlfObjectStyle v2;
  v2.header_version = 2;
  BlfObjectStyle message2;
  message2.message2 = true;
  BlfObjectStyle fd64;
  fd64.fd64 = true;
  BlfObjectStyle all_fd;
  all_fd.fd_for_all = true;
  BlfObjectStyle all_fd64 = all_fd;
  all_fd64.fd64 = true;
  all_fd64.header_version = 2;
  BlfObjectStyle ten;
  ten.ten_micros = true;
  const Row rows[] = {
      {"zlib, header version 1, ns", {}, {}},
      {"stored", {}, stored},
      {"header version 2", v2, {}},
      {"CAN_MESSAGE2", message2, {}},
      {"CAN_FD_MESSAGE_64", fd64, {}},
      {"classic frames as CAN_FD_MESSAGE", all_fd, {}},
      {"classic frames as CAN_FD_MESSAGE_64, version 2", all_fd64, {}},
      {"objects crossing containers", fd64, small},
      {"containers smaller than a header", v2, tiny_stored},
      {"10 us", ten, {}},
  };
  for (const Row& row : rows) {
    const std::vector<BusRecord> records =
        row.style.ten_micros ? frames_at_ten_micros(11, 3000) : test::generated_frames(11, 3000);
    const Read read = read_blf(blf_file(blf_objects_of(records, kStart, row.style), row.options));
    ASSERT_TRUE(read.opened) << row.what << ": " << read.failure;
    EXPECT_EQ(read.failure, "") << row.what;
    EXPECT_EQ(read.unread, "") << row.what;
    EXPECT_EQ(read.broken, std::vector<std::string>{}) << row.what;
    EXPECT_EQ(read.stepped_back, 0) << row.what;
    EXPECT_EQ(describe_us(read.records), describe_us(blf_forms(records))) << row.what;
  }
}

// Times are the header's start, as UTC, plus the object's time in its unit, to the nanosecond.
TEST(BlfReaderTest, TimesAreTheStartPlusTheObjectsTime) {
  BusRecord r{};
  r.Kind = CAN_DataFrame;
  r.DataPointer = r.Can.DataBytes;
  r.Can.BusChannel = 1;
  BlfObject a = test::blf_object_of(r, kStart);
  a.time = 1'234'567'891;  // ns
  BlfObject b = a;
  b.time_flags = blf::kTimeTenMicros;
  b.time = 200'000;  // 2 s
  const Read read = read_blf(blf_file({a, b}));
  ASSERT_EQ(read.records.size(), 2u) << read.failure;
  // 2024-05-14 08:30:00.252 UTC
  EXPECT_DOUBLE_EQ(kStart, 1715675400.252);
  EXPECT_DOUBLE_EQ(read.records[0].Timestamp, 1715675400.252 + 1.234567891);
  EXPECT_DOUBLE_EQ(read.records[1].Timestamp, 1715675400.252 + 2.0);
  // Past the year 3000 no trace can date a frame.
  b.time = std::uint64_t{1} << 60;
  const Read far = read_blf(blf_file({a, b}));
  EXPECT_NE(far.failure.find("object 2: its time, "), std::string::npos) << far.failure;
  EXPECT_NE(far.failure.find(" s, lies past the year 3000"), std::string::npos) << far.failure;
}

// Channels pass as they are, 0 and 255 included.
TEST(BlfReaderTest, ChannelsPassAsTheyAre) {
  std::vector<BusRecord> records = test::generated_frames(3, 40);
  for (std::size_t i = 0; i < records.size(); ++i) {
    const std::uint8_t channel = static_cast<std::uint8_t>(i % 2 == 0 ? 0 : 255);
    if (records[i].Kind == LIN_Frame) {
      records[i].Lin.BusChannel = channel;
    } else {
      records[i].Can.BusChannel = channel;
    }
  }
  for (bool fd64 : {false, true}) {
    BlfObjectStyle style;
    style.fd64 = fd64;
    style.fd_for_all = fd64;
    const Read read = read_blf(blf_file(blf_objects_of(records, kStart, style)));
    EXPECT_EQ(describe_us(read.records), describe_us(blf_forms(records))) << fd64;
  }
}

BlfObject object_of_type(std::uint32_t type, std::uint64_t time, std::size_t body = 24) {
  BlfObject o;
  o.type = type;
  o.time = time;
  o.body.assign(body, '\x11');
  return o;
}

// Objects without frames are passed over and counted apart from frames of other kinds.
TEST(BlfReaderTest, ObjectsOtherThanFramesAreCounted) {
  const std::vector<BusRecord> records = test::generated_frames(5, 10, false);
  std::vector<BlfObject> objects = blf_objects_of(records, kStart);
  const std::uint32_t no_frame[] = {blf::kGlobalMarker, blf::kAppText, blf::kCanStatistic,
                                    blf::kEnvInteger,   blf::kEnvData, blf::kAppTrigger};
  const std::uint32_t other[] = {blf::kLinMessage2, blf::kCanFdError64, 29 /* another bus's */};
  std::size_t at = 1;
  for (std::uint32_t t : no_frame) objects.insert(objects.begin() + static_cast<long>(at++), object_of_type(t, 0, 301));
  for (std::uint32_t t : other) objects.insert(objects.begin() + static_cast<long>(at++), object_of_type(t, 0));
  // A long one, across several small containers.
  objects.push_back(object_of_type(blf::kEnvData, 0, 5000));
  BlfFileOptions options;
  options.container_bytes = 512;
  const Read read = read_blf(blf_file(objects, options));
  EXPECT_EQ(read.failure, "");
  EXPECT_EQ(read.unread, "");
  EXPECT_EQ(describe_us(read.records), describe_us(blf_forms(records)));
  EXPECT_STREQ(read.passed.format, "BLF");
  EXPECT_EQ(read.passed.no_frame, 7);
  EXPECT_EQ(read.passed.other_kinds, 3);
}

// A container may hold up to kBlfMaxContainerBytes, stored or zlib; one byte more is refused.
TEST(BlfReaderTest, ContainersHoldUpToTheirCap) {
  const std::vector<BusRecord> records = test::generated_frames(5, 1, false);
  std::vector<BlfObject> objects = blf_objects_of(records, kStart);
  const std::size_t frame_bytes = test::blf_object_bytes(objects[0]).size();
  // An object of env data that fills the container up to the cap, frame included.
  const std::size_t filler = kBlfMaxContainerBytes - frame_bytes - blf::kHeaderV1Size;
  objects.insert(objects.begin(), object_of_type(blf::kEnvData, 0, filler));
  for (std::uint16_t compression : {blf::kStored, blf::kZlibDeflate}) {
    BlfFileOptions options;
    options.compression = compression;
    options.container_bytes = kBlfMaxContainerBytes;
    Read read = read_blf(blf_file(objects, options));
    EXPECT_EQ(read.failure, "") << compression;
    EXPECT_EQ(describe_us(read.records), describe_us(blf_forms(records))) << compression;
    options.container_bytes = kBlfMaxContainerBytes + 1;
    objects[0].body.push_back('\0');
    read = read_blf(blf_file(objects, options));
    EXPECT_NE(read.failure.find("more than 4194304"), std::string::npos) << compression << ": " << read.failure;
    objects[0].body.pop_back();
  }
}

// Frames a little out of order take their places within the window; one further back than the
// window reaches is skipped and counted.
TEST(BlfReaderTest, TheWindowOrdersFramesAndSkipsThoseBeyondIt) {
  struct Row {
    const char* what;
    std::size_t frames;
    std::size_t late;   // which frame comes late
    std::size_t delay;  // by how many places
    std::int64_t skipped;
  };
  const Row rows[] = {
      {"one place late", 50, 20, 1, 0},
      {"at the window's edge", 3 * kBlfOrderWindow, 10, kBlfOrderWindow - 1, 0},
      {"past the window", 3 * kBlfOrderWindow, 10, kBlfOrderWindow + 5, 1},
      {"late at the end", 60, 40, 19, 0},
  };
  for (const Row& row : rows) {
    std::vector<BusRecord> records = test::generated_frames(17, row.frames);
    for (std::size_t i = 0; i < records.size(); ++i) records[i].Timestamp = kStart + static_cast<double>(i) * 1e-3;
    std::vector<BusRecord> file_order = records;
    std::rotate(file_order.begin() + static_cast<long>(row.late), file_order.begin() + static_cast<long>(row.late) + 1,
                file_order.begin() + static_cast<long>(row.late + row.delay) + 1);
    const Read read = read_blf(blf_file(blf_objects_of(file_order, kStart)));
    EXPECT_EQ(read.failure, "") << row.what;
    EXPECT_EQ(read.stepped_back, row.skipped) << row.what;
    std::vector<BusRecord> expected = blf_forms(records);
    if (row.skipped > 0) expected.erase(expected.begin() + static_cast<long>(row.late));
    EXPECT_EQ(describe_us(read.records), describe_us(expected)) << row.what;
  }
}

// Frames of one time keep their file order.
TEST(BlfReaderTest, FramesOfOneTimeKeepTheirOrder) {
  std::vector<BusRecord> records = test::generated_frames(23, 30, false);
  for (BusRecord& r : records) r.Timestamp = kStart + 1;
  records[29].Timestamp = kStart + 0.5;  // moves before them all, which keep their order
  const Read read = read_blf(blf_file(blf_objects_of(records, kStart)));
  std::vector<BusRecord> expected = blf_forms(records);
  std::rotate(expected.begin(), expected.end() - 1, expected.end());
  EXPECT_EQ(describe_us(read.records), describe_us(expected));
}

std::string good_file(BlfFileOptions options = {}) {
  return blf_file(blf_objects_of(test::generated_frames(9, 200), kStart), options);
}

// Damaged files fail with a reason, or, cut at a container boundary, are found unread; none hangs
// or hands out a frame it should not.
TEST(BlfReaderTest, DamagedFilesFailWithTheirReason) {
  BlfFileOptions small;
  small.container_bytes = 1000;
  const std::string base = good_file(small);
  const std::size_t c0 = test::kBlfFirstContainer;
  const std::size_t first_size = test::blf_u32(base, c0 + 8);
  const std::size_t c1 = c0 + first_size + first_size % 4;
  BlfFileOptions unfinished;
  unfinished.finalised = false;
  struct Row {
    const char* what;
    std::function<std::string()> make;
    const char* failure;  // a part of failure(); "" when it must read without one
    const char* unread;   // a part of unread()
  };
  const Row rows[] = {
      {"not BLF", [&] { return std::string("these are notes\n"); }, "no BLF file header", ""},
      {"empty", [&] { return std::string(); }, "no BLF file header", ""},
      {"header cut", [&] { return base.substr(0, 100); }, "ends inside its header", ""},
      {"never finalised", [&] { return good_file(unfinished); }, "never finalised", ""},
      {"file cut inside a container", [&] { return base.substr(0, c1 + 50); }, "ends inside the container", ""},
      {"file cut inside a container header", [&] { return base.substr(0, c1 + 5); }, "ends inside the object header",
       ""},
      {"file cut at a container boundary", [&] { return base.substr(0, c1); }, "", "its header declares"},
      {"object count off",
       [&] {
         std::string s = base;
         test::blf_set_u32(s, blf::kObjectCountOffset, 201);
         return s;
       },
       "", "200"},
      {"inflated size off",
       [&] {
         std::string s = base;
         test::blf_set_u64(s, blf::kUncompressedSizeOffset, 7);
         return s;
       },
       "", "inflated data"},
      {"container declares more than it inflates to",
       [&] {
         std::string s = base;
         test::blf_set_u32(s, c0 + 24, 1001);
         return s;
       },
       "does not inflate to the 1001 bytes", ""},
      {"container declares less than it inflates to",
       [&] {
         std::string s = base;
         test::blf_set_u32(s, c0 + 24, 999);
         return s;
       },
       "does not inflate to the 999 bytes", ""},
      {"decompression bomb",
       [&] {
         std::string s = base;
         test::blf_set_u32(s, c0 + 24, 0xFFFFFFF0u);
         return s;
       },
       "more than 4194304", ""},
      {"container size past the file",
       [&] {
         std::string s = base;
         test::blf_set_u32(s, c0 + 8, 0x7FFFFFF0u);
         return s;
       },
       "ends inside the container at byte 144", ""},
      {"container size below its header",
       [&] {
         std::string s = base;
         test::blf_set_u32(s, c0 + 8, 20);
         return s;
       },
       "fewer than its header", ""},
      {"unknown compression",
       [&] {
         std::string s = base;
         s[c0 + 16] = 7;
         return s;
       },
       "compression method 7", ""},
      {"garbage between containers",
       [&] {
         std::string s = base;
         s[c1] = 'X';
         return s;
       },
       "no object at byte", ""},
      {"object outside the containers",
       [&] {
         std::string s = base;
         test::blf_set_u32(s, c1 + 12, blf::kCanMessage);
         return s;
       },
       "outside the log containers", ""},
  };
  for (const Row& row : rows) {
    const Read read = read_blf(row.make());
    if (row.failure[0] != '\0') {
      EXPECT_NE(read.failure.find(row.failure), std::string::npos) << row.what << ": " << read.failure;
    } else {
      EXPECT_EQ(read.failure, "") << row.what;
      EXPECT_NE(read.unread.find(row.unread), std::string::npos) << row.what << ": " << read.unread;
    }
    EXPECT_EQ(read.broken, std::vector<std::string>{}) << row.what;
  }
}

// Damage inside the objects, in stored containers so that the bytes can be changed in place.
TEST(BlfReaderTest, DamagedObjectsFailWithTheirReason) {
  const std::vector<BusRecord> records = test::generated_frames(9, 20, false);
  BlfFileOptions stored;
  stored.compression = blf::kStored;
  stored.container_bytes = 1 << 20;
  const std::string base = blf_file(blf_objects_of(records, kStart), stored);
  const std::size_t o0 = test::kBlfFirstContainer + blf::kBaseHeaderSize + blf::kContainerHeaderSize;
  struct Row {
    const char* what;
    std::size_t offset;  // from the first object
    std::uint32_t value;
    int width;  // 2 or 4 bytes
    const char* failure;
  };
  const Row rows[] = {
      {"zero object size", 8, 0, 4, "declares 0 bytes"},
      {"object size below its header", 8, 20, 4, "declares 20 bytes with a header of 32"},
      {"header size below the base header", 4, 8, 2, "with a header of 8"},
      {"object runs past the data", 8, 0x100000, 4, "runs past the data of the last container"},
      {"unknown header version", 6, 3, 2, "header of version 3"},
      {"unknown time unit", 16, 4, 4, "no unit quarn knows"},
      {"no signature", 0, 0x4A424F4D, 4, "no object where object 1 should begin"},
      {"channel past 255", 32, 256, 2, "channel 256"},
  };
  for (const Row& row : rows) {
    std::string s = base;
    for (int i = 0; i < row.width; ++i)
      s[o0 + row.offset + static_cast<std::size_t>(i)] = static_cast<char>(row.value >> (8 * i));
    const Read read = read_blf(s);
    EXPECT_NE(read.failure.find(row.failure), std::string::npos) << row.what << ": " << read.failure;
  }
}

// A frame object too short for its kind fails rather than reading past it.
TEST(BlfReaderTest, ShortFrameObjectsFail) {
  for (std::uint32_t type :
       {blf::kCanMessage, blf::kCanFdMessage, blf::kCanFdMessage64, blf::kCanErrorExt, blf::kLinMessage}) {
    const Read read = read_blf(blf_file({object_of_type(type, 0, 12)}));
    EXPECT_NE(read.failure.find("fewer than the"), std::string::npos) << type << ": " << read.failure;
  }
  // CAN_FD_MESSAGE_64 whose valid data bytes run past the object.
  BusRecord r = test::generated_frames(1, 1, false)[0];
  r.Kind = CAN_DataFrame;
  r.DataLength = 64;
  r.Can.EDL = 1;
  r.Can.DLC = 15;
  BlfObjectStyle fd64;
  fd64.fd64 = true;
  fd64.fd_for_all = true;
  BlfObject o = test::blf_object_of(r, kStart, fd64);
  o.body.resize(o.body.size() - 1);
  const Read read = read_blf(blf_file({o}));
  EXPECT_NE(read.failure.find("data bytes need"), std::string::npos) << read.failure;
}

// A start time that is no date fails as the start time; a file without objects needs none.
TEST(BlfReaderTest, TheStartTimeMustBeADate) {
  BlfFileOptions bad;
  bad.start[1] = 13;
  Read read = read_blf(good_file(bad));
  EXPECT_FALSE(read.opened);
  EXPECT_TRUE(read.start_time_failure);
  EXPECT_EQ(read.failure, "2024-13-14 08:30:00.252");
  BlfFileOptions empty;
  empty.start = {};
  read = read_blf(blf_file({}, empty));
  EXPECT_TRUE(read.opened) << read.failure;
  EXPECT_EQ(read.records.size(), 0u);
  EXPECT_EQ(read.unread, "");
}

}  // namespace
}  // namespace quarn
