// The BLF writer, read back by a walk of its own that takes each container as readers do: the
// container's object, then exactly `size % 4` bytes, then the next; the inflated data of all
// containers one run of objects.

#include "blf/blf_writer.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <set>
#include <string>
#include <thread>
#include <vector>
#include <atomic>

#include "base/memory.h"
#include "blf/blf_format.h"
#include "blf/blf_origin.h"
#include "support/bus_records.h"
#include "support/mdf4_files.h"
#include "support/memory_sink.h"
#include "support/sink_failures.h"
#include "support/test_os.h"

namespace quarn {
namespace {

using test::MemorySink;

constexpr double kStart = 1706704496.789123;  // 2024-01-31 12:34:56.789123 UTC, a Wednesday

std::uint64_t le(const std::string& b, std::size_t at, int n) {
  std::uint64_t v = 0;
  for (int i = n - 1; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(b.at(at + static_cast<std::size_t>(i)));
  return v;
}

std::string hex(const std::string& b) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (char ch : b) {
    const auto c = static_cast<unsigned char>(ch);
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

struct Object {
  std::uint32_t type = 0;
  std::uint64_t time = 0;
  std::string body;  // after the version 1 header, without padding
};

struct Container {
  std::uint32_t method = 0;
  std::uint64_t size = 0;  // the object's size
  std::uint64_t data = 0;  // its uncompressed bytes
};

struct Parsed {
  std::vector<std::string> problems;
  std::vector<Container> containers;
  std::vector<Object> objects;
  std::uint64_t inflated_total = 0;  // container headers and data, as the file header counts them
};

std::string inflated(const std::string& z, std::size_t n, std::vector<std::string>& problems) {
  std::string out(n, '\0');
  uLongf got = static_cast<uLongf>(n);
  if (uncompress(reinterpret_cast<Bytef*>(out.data()), &got, reinterpret_cast<const Bytef*>(z.data()),
                 static_cast<uLong>(z.size())) != Z_OK ||
      got != n) {
    problems.push_back("a container does not inflate to its size");
  }
  return out;
}

Parsed parse(const std::string& b) {
  Parsed p;
  if (b.size() < blf::kFileHeaderSize || b.compare(0, 4, "LOGG") != 0) {
    p.problems.push_back("no file header");
    return p;
  }
  std::string run;
  std::size_t at = blf::kFileHeaderSize;
  while (at < b.size()) {
    if (b.size() - at < 32 || b.compare(at, 4, "LOBJ") != 0 || le(b, at + 4, 2) != 16 || le(b, at + 6, 2) != 1 ||
        le(b, at + 12, 4) != blf::kLogContainer) {
      p.problems.push_back("no container at " + std::to_string(at));
      return p;
    }
    Container c;
    c.size = le(b, at + 8, 4);
    c.method = static_cast<std::uint32_t>(le(b, at + 16, 2));
    c.data = le(b, at + 24, 4);
    if (c.size < 32 || at + c.size + c.size % 4 > b.size()) {
      p.problems.push_back("a container runs past the end");
      return p;
    }
    const std::string data = b.substr(at + 32, c.size - 32);
    run += c.method == blf::kStored ? data : inflated(data, c.data, p.problems);
    if (c.method == blf::kStored && data.size() != c.data) p.problems.push_back("a stored container's size");
    for (std::uint64_t i = 0; i < c.size % 4; ++i) {
      if (b[at + c.size + i] != 0) p.problems.push_back("padding that is not zero");
    }
    p.inflated_total += 32 + c.data;
    p.containers.push_back(c);
    at += c.size + c.size % 4;
  }
  for (std::size_t o = 0; o < run.size();) {
    if (run.size() - o < 32 || run.compare(o, 4, "LOBJ") != 0 || le(run, o + 4, 2) != 32 || le(run, o + 6, 2) != 1 ||
        le(run, o + 16, 4) != blf::kTimeOneNanos) {
      p.problems.push_back("no object at " + std::to_string(o));
      return p;
    }
    const std::size_t size = le(run, o + 8, 4);
    if (size < 32 || o + size + size % 4 > run.size()) {
      p.problems.push_back("an object runs past the data");
      return p;
    }
    Object x;
    x.type = static_cast<std::uint32_t>(le(run, o + 12, 4));
    x.time = le(run, o + 24, 8);
    x.body = run.substr(o + 32, size - 32);
    p.objects.push_back(x);
    o += size + size % 4;
  }
  return p;
}

std::string write_blf(const std::vector<BusRecord>& records, const BlfWriterOptions& options = {},
                      const char* name = "a.txt") {
  MemorySink sink;
  auto w = blf_writer_create(options);
  if (!w || !w->begin(sink, records.at(0).Timestamp, sv(name))) return "";
  for (const BusRecord& r : records) {
    if (!w->add(r)) return "";
  }
  return w->finish() ? sink.bytes : "";
}

BusRecord frame(std::uint32_t kind, std::uint32_t id, std::uint8_t dlc, std::initializer_list<std::uint8_t> data) {
  BusRecord r = kind == LIN_Frame ? test::lin_frame(kStart, id, data) : test::can_frame(kStart, id, data);
  r.Kind = kind;
  if (kind != LIN_Frame) r.Can.DLC = dlc;
  return r;
}

// Each kind of frame, the object it becomes, byte for byte.
TEST(BlfWriterTest, EveryKindOfFrameBecomesItsObject) {
  struct Row {
    const char* what;
    BusRecord record;
    std::uint32_t type;
    const char* body;  // hex, fields apart
  };
  BusRecord ext_tx = frame(CAN_DataFrame, 0x1ABCDEF0, 2, {0xA0, 0xB1});
  ext_tx.Can.IDE = 1;
  ext_tx.Can.Dir = 1;
  ext_tx.Can.BusChannel = 0;
  BusRecord remote = frame(CAN_RemoteFrame, 0x7FF, 3, {});
  remote.Can.Remote = 1;
  remote.Can.BusChannel = 2;
  BusRecord fd = frame(CAN_DataFrame, 0x123, 9, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});
  fd.Can.EDL = 1;
  fd.Can.BRS = 1;
  fd.Can.ESI = 1;
  fd.Can.Dir = 1;
  fd.Can.BusChannel = 255;
  BusRecord long_dlc = frame(CAN_DataFrame, 0x10, 12, {1, 2, 3, 4, 5, 6, 7, 8});
  BusRecord short_data = frame(CAN_DataFrame, 0x11, 8, {0xAA, 0xBB, 0xCC});
  BusRecord error = frame(CAN_ErrorFrame, 0x321, 2, {0xDE, 0xAD});
  error.Can.IDE = 1;
  // Bytes past a frame's length that a reader left behind from an earlier frame stay out.
  BusRecord stale = frame(CAN_DataFrame, 0x12, 2, {0x11, 0x22});
  BusRecord stale_remote = remote;
  for (int i = 0; i < 8; ++i) stale_remote.Can.DataBytes[i] = 0xEE;
  for (int i = 2; i < 8; ++i) stale.Can.DataBytes[i] = 0xEE;
  BusRecord lin = frame(LIN_Frame, 0x3C, 0, {1, 2, 3});
  lin.Lin.Dir = 1;
  lin.Lin.BusChannel = 4;
  const Row rows[] = {
      {"classic", frame(CAN_DataFrame, 0x123, 8, {1, 2, 3, 4, 5, 6, 7, 8}), blf::kCanMessage2,
       "0100 00 08 23010000 0102030405060708 00000000 00 00 0000"},
      {"extended Tx channel 0", ext_tx, blf::kCanMessage2, "0000 01 02 f0debc9a a0b1000000000000 0000000000000000"},
      {"remote", remote, blf::kCanMessage2, "0200 80 03 ff070000 0000000000000000 0000000000000000"},
      {"stale bytes past the length", stale, blf::kCanMessage2,
       "0100 00 02 12000000 1122000000000000 0000000000000000"},
      {"remote with stale bytes", stale_remote, blf::kCanMessage2,
       "0200 80 03 ff070000 0000000000000000 0000000000000000"},
      {"FD with BRS and ESI", fd, blf::kCanFdMessage64,
       "ff 09 0c 00 23010000 00000000 00700000 00000000 00000000 00000000 00000000 0000 01 00 00000000 "
       "0102030405060708090a0b0c"},
      {"classic with a DLC above 8", long_dlc, blf::kCanFdMessage64,
       "01 0c 08 00 10000000 00000000 00000000 00000000 00000000 00000000 00000000 0000 00 00 00000000 "
       "0102030405060708"},
      {"fewer bytes than the DLC", short_data, blf::kCanFdMessage64,
       "01 08 03 00 11000000 00000000 00000000 00000000 00000000 00000000 00000000 0000 00 00 00000000 aabbcc"},
      {"error frame", error, blf::kCanErrorExt,
       "0100 0000 00000000 00 00 02 00 00000000 21030080 0000 0000 dead000000000000"},
      {"LIN Tx", lin, blf::kLinMessage, "0400 3c 03 0102030000000000 00 00 00 00 0000 01 00"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Parsed p = parse(write_blf({row.record}));
    ASSERT_EQ(p.problems, std::vector<std::string>{});
    ASSERT_EQ(p.objects.size(), 2u);
    EXPECT_EQ(p.objects[1].type, row.type);
    std::string want = row.body;
    want.erase(std::remove(want.begin(), want.end(), ' '), want.end());
    EXPECT_EQ(hex(p.objects[1].body), want);
  }
}

TEST(BlfWriterTest, TheFirstObjectNamesTheLogInAStoredContainer) {
  const std::string b = write_blf({test::can_frame(kStart, 1, {})}, {}, "trip 7.txt");
  Parsed p = parse(b);
  ASSERT_EQ(p.problems, std::vector<std::string>{});
  ASSERT_EQ(p.containers.size(), 2u);
  EXPECT_EQ(p.containers[0].method, blf::kStored);
  EXPECT_EQ(p.containers[1].method, blf::kZlibDeflate);
  ASSERT_EQ(p.objects.size(), 2u);
  EXPECT_EQ(p.objects[0].type, blf::kAppText);
  EXPECT_EQ(p.objects[0].time, 0u);
  const std::string text = "Converted by quarn from trip 7.txt";
  EXPECT_EQ(le(p.objects[0].body, 0, 4), blf::kAppTextComment);
  EXPECT_EQ(le(p.objects[0].body, 8, 4), text.size());
  EXPECT_EQ(p.objects[0].body.substr(blf::kAppTextHeadSize), text);
}

// The SYSTEMTIME as the header holds it: year, month, weekday, day, hour, minute, second, ms.
std::vector<std::uint64_t> system_time(const std::string& b, std::size_t at) {
  std::vector<std::uint64_t> v;
  for (std::size_t i = 0; i < 8; ++i) v.push_back(le(b, at + 2 * i, 2));
  return v;
}

TEST(BlfWriterTest, HeaderCountsTheFileAndDatesItsFirstAndLastFrame) {
  std::vector<BusRecord> records;
  for (std::uint32_t i = 0; i < 3000; ++i)
    records.push_back(test::can_frame(kStart + i * 0.0123457, 0x100 + i % 7, {1, 2}));
  records.push_back(test::lin_frame(kStart + 86400.0 * 40 + 0.0009, 5, {1}));  // 2024-03-11 12:34:56.790
  BlfWriterOptions small;
  small.container_size = 4096;
  const std::string b = write_blf(records, small);
  Parsed p = parse(b);
  ASSERT_EQ(p.problems, std::vector<std::string>{});
  EXPECT_GT(p.containers.size(), 10u);
  EXPECT_EQ(b.compare(0, 4, "LOGG"), 0);
  EXPECT_EQ(le(b, 4, 4), 144u);
  EXPECT_EQ(le(b, 8, 1), 0u);  // the application names nobody
  EXPECT_EQ(le(b, blf::kFileSizeOffset, 8), b.size());
  EXPECT_EQ(le(b, blf::kUncompressedSizeOffset, 8), 144 + p.inflated_total);
  EXPECT_EQ(le(b, blf::kObjectCountOffset, 4), records.size() + 1);
  EXPECT_EQ(system_time(b, blf::kStartTimeOffset), (std::vector<std::uint64_t>{2024, 1, 3, 31, 12, 34, 56, 789}));
  EXPECT_EQ(system_time(b, blf::kStopTimeOffset), (std::vector<std::uint64_t>{2024, 3, 1, 11, 12, 34, 56, 790}));
  for (std::size_t i = 72; i < 144; ++i) EXPECT_EQ(b[i], 0) << i;
}

// A start of whole milliseconds and nanoseconds after it give back every double of the log.
TEST(BlfWriterTest, TimesComeBackExactlyFromTheStartMillisecond) {
  std::vector<BusRecord> records;
  const double times[] = {kStart,
                          kStart,
                          kStart + 0.000001,
                          1706704497.0009999,
                          1706704497.123456789,
                          1706704500.5,
                          1706800000.999999,
                          1900000000.000001};
  for (double t : times) records.push_back(test::can_frame(t, 1, {}));
  const std::string b = write_blf(records);
  Parsed p = parse(b);
  ASSERT_EQ(p.problems, std::vector<std::string>{});
  ASSERT_EQ(p.objects.size(), records.size() + 1);
  // 2024-01-31 12:34:56.789 UTC.
  const std::int64_t start_ms = 1706704496789;
  EXPECT_EQ(le(b, blf::kStartTimeOffset + 14, 2), 789u);
  for (std::size_t i = 0; i < records.size(); ++i) {
    const std::uint64_t ns = p.objects[i + 1].time;
    const std::int64_t whole = start_ms / 1000 + static_cast<std::int64_t>(ns / 1000000000);
    const std::uint64_t rest = static_cast<std::uint64_t>(start_ms % 1000) * 1000000 + ns % 1000000000;
    const double back = static_cast<double>(whole) + static_cast<double>(rest) / 1e9;
    EXPECT_EQ(back, records[i].Timestamp) << i;
  }
}

// Objects run on from one container into the next; each container but the last holds exactly
// the container size; whatever a container's size is modulo 4, exactly that many bytes follow.
TEST(BlfWriterTest, ContainersOfEverySizeModuloFourAndObjectsAcrossThem) {
  const std::vector<BusRecord> records = test::generated_frames(7, 3000);
  for (std::size_t container : {std::size_t{97}, std::size_t{1000}, std::size_t{4096}}) {
    SCOPED_TRACE(container);
    BlfWriterOptions options;
    options.container_size = container;
    Parsed p = parse(write_blf(records, options));
    ASSERT_EQ(p.problems, std::vector<std::string>{});
    ASSERT_EQ(p.objects.size(), records.size() + 1);
    std::set<std::uint64_t> residues;
    for (std::size_t i = 1; i < p.containers.size(); ++i) {
      residues.insert(p.containers[i].size % 4);
      if (i + 1 < p.containers.size()) {
        EXPECT_EQ(p.containers[i].data, container);
      }
      EXPECT_LE(p.containers[i].data, container);
    }
    EXPECT_EQ(residues, (std::set<std::uint64_t>{0, 1, 2, 3}));
    std::size_t crossing = 0;
    std::uint64_t offset = 0;
    for (std::size_t i = 1; i < p.objects.size(); ++i) {
      const std::uint64_t size = 32 + p.objects[i].body.size();
      if (offset / container != (offset + size - 1) / container) ++crossing;
      offset += size + size % 4;
    }
    EXPECT_GT(crossing, 10u);
    // Which frame each object is: kinds and channels in order.
    for (std::size_t i = 0; i < records.size(); ++i) {
      const BusRecord& r = records[i];
      const Object& o = p.objects[i + 1];
      const std::uint64_t channel = o.type == blf::kCanFdMessage64 ? le(o.body, 0, 1) : le(o.body, 0, 2);
      EXPECT_EQ(channel, r.Kind == LIN_Frame ? r.Lin.BusChannel : r.Can.BusChannel) << i;
      EXPECT_EQ(o.type == blf::kLinMessage, r.Kind == LIN_Frame) << i;
      EXPECT_EQ(o.type == blf::kCanErrorExt, r.Kind == CAN_ErrorFrame) << i;
    }
  }
}

TEST(BlfWriterTest, SameFramesSameBytesInEveryTimeZone) {
  const std::vector<BusRecord> records = test::generated_frames(3, 500);
  const char* before = std::getenv("TZ");
  const std::string saved = before != nullptr ? before : "";
  std::string first;
  // UTC, New York with its summer time, and Kathmandu's quarter hour.
  for (const char* tz : {"UTC0", "EST5EDT,M3.2.0,M11.1.0", "NPT-5:45"}) {
    test::set_env("TZ", tz);
    const std::string b = write_blf(records);
    ASSERT_FALSE(b.empty());
    if (first.empty()) first = b;
    EXPECT_EQ(b, first) << tz;
  }
  test::set_env("TZ", before != nullptr ? saved.c_str() : nullptr);
}

TEST(BlfWriterTest, TimesTheFileCannotHoldFailIt) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Row {
    const char* what;
    double first;
    double later;  // NaN: none
    bool begins;
  };
  const Row rows[] = {
      {"before 1970", -0.5, nan, false},
      {"not a number", nan, nan, false},
      {"after 3000", 32535216000.0, nan, false},
      {"585 years after the first frame", 1.0, 1.0 + 585.0 * 365.25 * 86400, true},
      {"earlier than the first frame", kStart, kStart - 0.001, true},
      {"a later frame that is not a number", kStart, nan, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    MemorySink sink;
    auto w = blf_writer_create();
    ASSERT_TRUE(w);
    const bool began = w->begin(sink, row.first, sv("a.txt"));
    EXPECT_EQ(began, row.begins);
    if (!began) {
      EXPECT_EQ(sink.bytes, "");
    } else {
      EXPECT_FALSE(w->add(test::can_frame(row.later, 1, {})));
      EXPECT_FALSE(w->finish());
    }
    EXPECT_EQ(w->failure(), BlfFailure::Time);
  }
  // The last times that fit: 584 years on, and the end of the year 3000.
  EXPECT_FALSE(write_blf({test::can_frame(1.0, 1, {}), test::can_frame(1.0 + 584.0 * 365.25 * 86400, 1, {})}).empty());
  EXPECT_FALSE(write_blf({test::can_frame(32535215999.5, 1, {})}).empty());
}

TEST(BlfWriterTest, EverySinkFailureFailsTheFile) {
  const std::vector<BusRecord> records = test::generated_frames(5, 400);
  BlfWriterOptions small;
  small.container_size = 1000;
  const MemorySink counting = test::each_sink_failure(
      [&](MemorySink& sink, bool& ok) {
        auto w = blf_writer_create(small);
        ok = w->begin(sink, records[0].Timestamp, sv("a.txt"));
        for (std::size_t i = 0; ok && i < records.size(); ++i) ok = w->add(records[i]);
        if (ok) ok = w->finish();
        return w;
      },
      [&](BlfWriter& w) {
        EXPECT_EQ(w.failure(), BlfFailure::Write);
        EXPECT_FALSE(w.add(records.back()));
        EXPECT_FALSE(w.finish());
      });
  EXPECT_GT(counting.writes, 10);
  EXPECT_EQ(counting.rewrites, 1);
}

TEST(BlfWriterTest, RunningOutOfMemoryFailsOnlyTheMaking) {
  const std::vector<BusRecord> records = test::generated_frames(4, 300);
  const std::string whole = write_blf(records);
  bool completed = false;
  for (std::int64_t k = 0; !completed && k < 50; ++k) {
    SCOPED_TRACE(k);
    MemorySink sink;
    mem_fail_after(k);
    auto w = blf_writer_create();
    bool ok = w != nullptr && w->begin(sink, records[0].Timestamp, sv("a.txt"));
    for (std::size_t i = 0; ok && i < records.size(); ++i) ok = w->add(records[i]);
    if (ok) ok = w->finish();
    mem_fail_after(-1);
    // Once made, a writer needs no more memory: compressing allocates nothing.
    EXPECT_EQ(ok, w != nullptr);
    if (ok) {
      completed = true;
      EXPECT_EQ(sink.bytes, whole);
    }
  }
  EXPECT_TRUE(completed);
}

// Containers compressed on a helping thread come out as those compressed at once, in order.
TEST(BlfWriterTest, AHelpingThreadCompressesContainersThatComeOutInOrder) {
  const std::vector<BusRecord> records = test::generated_frames(8, 6000);
  BlfWriterOptions small;
  small.container_size = 2048;
  const std::string alone = write_blf(records, small);
  ASSERT_FALSE(alone.empty());
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    MemorySink sink;
    auto w = blf_writer_create(small);
    w->expect_help();
    std::atomic<bool> stop{false};
    std::thread helper([&] {
      while (!stop.load()) w->help();
    });
    bool ok = w->begin(sink, records[0].Timestamp, sv("a.txt"));
    for (std::size_t i = 0; ok && i < records.size(); ++i) ok = w->add(records[i]);
    stop = true;
    helper.join();
    EXPECT_TRUE(ok && w->finish());
    EXPECT_EQ(sink.bytes, alone);
  }
  // Whether the other thread got to a container is the scheduler's choice; on one thread, help()
  // between frames takes each container that waits, and the file is the same.
  {
    MemorySink sink;
    auto w = blf_writer_create(small);
    w->expect_help();
    int helped = 0;
    bool ok = w->begin(sink, records[0].Timestamp, sv("a.txt"));
    for (std::size_t i = 0; ok && i < records.size(); ++i) {
      ok = w->add(records[i]);
      while (w->help()) ++helped;
    }
    EXPECT_TRUE(ok && w->finish());
    EXPECT_EQ(sink.bytes, alone);
    EXPECT_GT(helped, 10);
  }
  // Without a helping thread nothing waits for one.
  auto w = blf_writer_create(small);
  EXPECT_FALSE(w->help());
}

// A stream over bytes in memory, for the origin test.
class BytesStream final : public Stream {
 public:
  explicit BytesStream(std::string b) : b_(std::move(b)) {}
  std::int64_t read(void* dst, std::uint64_t n) override {
    const std::uint64_t k = std::min<std::uint64_t>(n, b_.size() - at_);
    std::memcpy(dst, b_.data() + at_, k);
    at_ += k;
    return static_cast<std::int64_t>(k);
  }
  std::int64_t seek(std::int64_t offset, int origin) override {
    if (origin != kSeekSet || offset < 0 || static_cast<std::uint64_t>(offset) > b_.size()) return -1;
    at_ = static_cast<std::uint64_t>(offset);
    return offset;
  }
  std::int64_t tell() override { return static_cast<std::int64_t>(at_); }

 private:
  std::string b_;
  std::uint64_t at_ = 0;
};

bool is_trace_of(const std::string& bytes, const char* name) {
  BytesStream s(bytes);
  return blf_is_trace_of(s, sv(name));
}

TEST(BlfWriterTest, AQuarnTraceIsKnownByTheLogItNames) {
  const std::string b = write_blf(test::generated_frames(2, 50), {}, "trip.txt");
  EXPECT_TRUE(is_trace_of(b, "trip.txt"));
  EXPECT_FALSE(is_trace_of(b, "trip.tx"));
  EXPECT_FALSE(is_trace_of(b, "trip.txt2"));
  EXPECT_FALSE(is_trace_of(b, "TRIP.txt"));
  EXPECT_FALSE(is_trace_of(b, ""));
  EXPECT_FALSE(is_trace_of(write_blf(test::generated_frames(2, 50), {}, "other.txt"), "trip.txt"));
  // Cut anywhere before the end of the name, or changed in a byte the test reads, it is no trace.
  const std::size_t text_end = 144 + 32 + 32 + 16 + std::strlen("Converted by quarn from trip.txt");
  for (std::size_t n = 0; n < text_end; ++n) EXPECT_FALSE(is_trace_of(b.substr(0, n), "trip.txt")) << n;
  for (std::size_t i : {std::size_t{0}, std::size_t{4}, std::size_t{144}, std::size_t{152}, std::size_t{160},
                        std::size_t{168}, std::size_t{176}, std::size_t{188}, std::size_t{216}, text_end - 1}) {
    std::string changed = b;
    changed[i] = static_cast<char>(changed[i] ^ 0x40);
    EXPECT_FALSE(is_trace_of(changed, "trip.txt")) << i;
  }
  // A name no file system takes is not looked for.
  EXPECT_FALSE(is_trace_of(b, std::string(800, 'a').c_str()));
}

}  // namespace
}  // namespace quarn
