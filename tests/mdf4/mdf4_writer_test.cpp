#include "mdf4/mdf4_writer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "base/memory.h"
#include "support/bus_records.h"
#include "support/mdf4_files.h"
#include "support/memory_sink.h"
#include "support/sink_failures.h"

namespace quarn {
namespace {

using test::channel_group_of;
using test::data_groups;
using test::data_of;
using test::file_u64;
using test::link_at;
using test::MemorySink;
using test::text_at;

constexpr double kStart = 1715675400.0;  // 2024-05-14 08:30:00 UTC

std::uint8_t byte_at(const std::string& bytes, std::uint64_t offset) { return static_cast<std::uint8_t>(bytes[offset]); }
std::uint16_t u16_at(const std::string& bytes, std::uint64_t offset) {
  return static_cast<std::uint16_t>(byte_at(bytes, offset) | byte_at(bytes, offset + 1) << 8);
}
std::uint32_t u32_at(const std::string& bytes, std::uint64_t offset) {
  return static_cast<std::uint32_t>(file_u64(bytes, offset) & 0xFFFFFFFFu);
}

// `n` received classic data frames a millisecond apart.
std::vector<BusRecord> data_frames(std::size_t n, double start = kStart + 0.5) {
  std::vector<BusRecord> out;
  for (std::size_t i = 0; i < n; ++i) {
    out.push_back(test::can_frame(start + static_cast<double>(i) / 1000, static_cast<std::uint32_t>(0x100 + i % 0x600),
                                  {static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(i >> 8)}));
  }
  return out;
}

Mdf4WriterOptions stored() {
  Mdf4WriterOptions o;
  o.compression = Mdf4Compression::None;
  return o;
}

// The data blocks a data group's data link leads to, in order, through lists (empty: no data).
std::vector<std::uint64_t> data_blocks_of(const std::string& bytes, std::uint64_t dg, int* lists = nullptr) {
  std::vector<std::uint64_t> out;
  std::uint64_t at = file_u64(bytes, link_at(dg, 2));
  if (lists != nullptr) *lists = 0;
  if (at == 0) return out;
  if (bytes.compare(at, 4, "##DT") == 0 || bytes.compare(at, 4, "##DZ") == 0) return {at};
  while (at != 0 && bytes.compare(at, 4, "##DL") == 0) {
    if (lists != nullptr) ++*lists;
    std::uint32_t count = u32_at(bytes, data_of(bytes, at) + 4);
    for (std::uint32_t i = 0; i < count; ++i) out.push_back(file_u64(bytes, link_at(at, 1 + i)));
    at = file_u64(bytes, link_at(at, 0));
  }
  return out;
}

TEST(Mdf4WriterTest, EveryBlockIsAlignedInsideTheFileAndLinkedWhole) {
  Mdf4WriterOptions small;
  small.block_bytes = 2000;  // 23 data frames, 117 remote frames, 95 LIN frames a block
  small.list_links = 3;      // chains of lists
  const std::string file = test::write_mdf4(test::generated_frames(11, 3000), small);
  ASSERT_FALSE(file.empty());
  EXPECT_EQ(file.size() % 8, 0u);
  std::vector<std::string> problems;
  auto blocks = test::walk_blocks(file, problems);
  EXPECT_EQ(problems, std::vector<std::string>{});
  // Every byte after the identification block belongs to a reachable block or to the padding
  // after one: nothing is written that nothing links.
  std::uint64_t covered = 64;
  int dts = 0, dls = 0;
  for (const auto& [at, b] : blocks) {
    EXPECT_EQ(at, covered) << "a gap before " << b.id << " at " << at;
    covered = at + (b.length + 7) / 8 * 8;
    dts += b.id == "##DT" || b.id == "##DZ";
    dls += b.id == "##DL";
  }
  EXPECT_EQ(covered, file.size());
  EXPECT_GT(dts, 20);
  EXPECT_GT(dls, 4);
}

TEST(Mdf4WriterTest, HeaderFileHistoryAndIdentification) {
  const std::string file = test::write_mdf4(data_frames(3, kStart + 0.75), {}, "2.4.0");
  ASSERT_FALSE(file.empty());
  EXPECT_EQ(file.substr(0, 16), "MDF     4.10    ");
  EXPECT_EQ(u16_at(file, 28), 410);
  EXPECT_EQ(u16_at(file, 60), 0);  // finalized
  EXPECT_EQ(file.compare(64, 4, "##HD"), 0);
  const std::uint64_t hd_data = data_of(file, 64);
  EXPECT_EQ(file_u64(file, hd_data), 1715675400000000000u);  // the first frame's whole second
  EXPECT_EQ(u16_at(file, hd_data + 8), 0);                   // UTC offsets valid and zero
  EXPECT_EQ(u16_at(file, hd_data + 10), 0);
  EXPECT_EQ(byte_at(file, hd_data + 12), 2);
  const std::uint64_t fh = file_u64(file, link_at(64, 1));
  ASSERT_EQ(file.compare(fh, 4, "##FH"), 0);
  EXPECT_EQ(file_u64(file, data_of(file, fh)), 1715675400000000000u);  // the start time, not the clock
  EXPECT_EQ(byte_at(file, data_of(file, fh) + 12), 2);
  const std::string comment = text_at(file, file_u64(file, link_at(fh, 1)));
  EXPECT_NE(comment.find("<tool_id>quarn</tool_id>"), std::string::npos) << comment;
  EXPECT_NE(comment.find("<tool_vendor>The quarn developers</tool_vendor>"), std::string::npos) << comment;
  EXPECT_NE(comment.find("<tool_version>2.4.0</tool_version>"), std::string::npos) << comment;
}

TEST(Mdf4WriterTest, GroupsChannelsAndSources) {
  std::vector<BusRecord> records = data_frames(2);
  records.push_back(test::lin_frame(kStart + 0.9, 0x3C, {1, 2}));
  const std::string file = test::write_mdf4(records);
  const std::vector<std::uint64_t> dgs = data_groups(file);
  ASSERT_EQ(dgs.size(), 4u);

  struct Expected {
    const char* name;
    const char* acq_name;
    std::uint8_t bus_type;
    std::uint32_t record_size;
    std::vector<std::pair<const char*, std::vector<std::uint32_t>>> members;  // data type, byte offset, bits
  };
  const std::vector<std::pair<const char*, std::vector<std::uint32_t>>> can = {
      {"BusChannel", {0, 0, 8}}, {"ID", {0, 1, 32}},          {"IDE", {0, 5, 8}},  {"DLC", {0, 6, 8}},
      {"DataLength", {0, 7, 8}}, {"DataBytes", {10, 8, 512}}, {"Dir", {0, 72, 8}}, {"EDL", {0, 73, 8}},
      {"BRS", {0, 74, 8}},       {"ESI", {0, 75, 8}}};
  auto error = can;
  error.push_back({"ErrorType", {2, 76, 32}});  // signed
  const std::vector<Expected> expected = {
      {"CAN_DataFrame", "CAN", 2, 84, can},
      {"CAN_ErrorFrame", "CAN", 2, 88, error},
      {"CAN_RemoteFrame",
       "CAN",
       2,
       17,
       {{"BusChannel", {0, 0, 8}},
        {"ID", {0, 1, 32}},
        {"IDE", {0, 5, 8}},
        {"DLC", {0, 6, 8}},
        {"DataLength", {0, 7, 8}},
        {"Dir", {0, 8, 8}}}},
      {"LIN_Frame",
       "LIN",
       3,
       21,
       {{"BusChannel", {0, 0, 8}},
        {"ID", {0, 1, 8}},
        {"DataLength", {0, 2, 8}},
        {"DataBytes", {10, 3, 64}},
        {"Dir", {0, 11, 8}},
        {"ReceivedDataByteCount", {0, 12, 8}}}},
  };
  for (std::size_t k = 0; k < expected.size(); ++k) {
    const Expected& e = expected[k];
    SCOPED_TRACE(e.name);
    const std::uint64_t dg = dgs[k];
    EXPECT_EQ(byte_at(file, data_of(file, dg)), 0);  // no record ids: sorted
    const std::uint64_t cg = channel_group_of(file, dg);
    ASSERT_EQ(file.compare(cg, 4, "##CG"), 0);
    EXPECT_EQ(file_u64(file, link_at(cg, 0)), 0u);  // one channel group
    EXPECT_EQ(text_at(file, file_u64(file, link_at(cg, 2))), e.acq_name);
    const std::uint64_t source = file_u64(file, link_at(cg, 3));
    ASSERT_EQ(file.compare(source, 4, "##SI"), 0);
    EXPECT_EQ(byte_at(file, data_of(file, source)), 2);  // a bus
    EXPECT_EQ(byte_at(file, data_of(file, source) + 1), e.bus_type);
    const std::uint64_t cg_data = data_of(file, cg);
    EXPECT_EQ(u16_at(file, cg_data + 16), 6);    // bus event, plain bus event
    EXPECT_EQ(u16_at(file, cg_data + 18), '.');  // path separator
    EXPECT_EQ(u32_at(file, cg_data + 24), e.record_size);
    EXPECT_EQ(u32_at(file, cg_data + 28), 0u);   // no invalidation bytes

    const std::uint64_t time = file_u64(file, link_at(cg, 1));
    EXPECT_EQ(text_at(file, file_u64(file, link_at(time, 2))), "time");
    EXPECT_EQ(text_at(file, file_u64(file, link_at(time, 6))), "s");
    const std::uint64_t time_data = data_of(file, time);
    EXPECT_EQ(byte_at(file, time_data), 2);      // master
    EXPECT_EQ(byte_at(file, time_data + 1), 1);  // synchronised by time
    EXPECT_EQ(byte_at(file, time_data + 2), 4);  // little-endian float
    EXPECT_EQ(u32_at(file, time_data + 4), e.record_size - 8);  // the last 8 bytes
    EXPECT_EQ(u32_at(file, time_data + 8), 64u);

    const std::uint64_t composed = file_u64(file, link_at(time, 0));
    EXPECT_EQ(text_at(file, file_u64(file, link_at(composed, 2))), e.name);
    EXPECT_EQ(file_u64(file, link_at(composed, 3)), source);
    EXPECT_EQ(file_u64(file, link_at(composed, 0)), 0u);  // the last top-level channel
    EXPECT_EQ(byte_at(file, data_of(file, composed) + 2), 10);
    EXPECT_EQ(u32_at(file, data_of(file, composed) + 4), 0u);
    EXPECT_EQ(u32_at(file, data_of(file, composed) + 8), (e.record_size - 8) * 8);
    std::uint64_t member = file_u64(file, link_at(composed, 1));
    for (const auto& [name, place] : e.members) {
      ASSERT_NE(member, 0u) << name;
      EXPECT_EQ(text_at(file, file_u64(file, link_at(member, 2))), std::string(e.name) + "." + name);
      const std::uint64_t d = data_of(file, member);
      EXPECT_EQ(byte_at(file, d + 2), place[0]) << name;
      EXPECT_EQ(u32_at(file, d + 4), place[1]) << name;
      EXPECT_EQ(u32_at(file, d + 8), place[2]) << name;
      EXPECT_EQ(u32_at(file, d + 12), 0x400u) << name;  // a bus event channel
      member = file_u64(file, link_at(member, 0));
    }
    EXPECT_EQ(member, 0u);
  }
}

TEST(Mdf4WriterTest, EmptyGroupsStayAndLinFollowsOnlyWithLinFrames) {
  const std::string file = test::write_mdf4(data_frames(5));
  const std::vector<std::uint64_t> dgs = data_groups(file);
  ASSERT_EQ(dgs.size(), 3u);
  const std::uint64_t counts[] = {5, 0, 0};
  for (std::size_t k = 0; k < 3; ++k) {
    EXPECT_EQ(file_u64(file, data_of(file, channel_group_of(file, dgs[k])) + 8), counts[k]) << k;
    EXPECT_EQ(file_u64(file, link_at(dgs[k], 2)) == 0, counts[k] == 0) << k;
  }
}

TEST(Mdf4WriterTest, KindsGoToTheirGroupsAndOthersAreSkipped) {
  std::vector<BusRecord> records = data_frames(3);
  records[1].Can.Remote = 1;  // a data frame marked remote is a remote frame
  BusRecord error = test::can_frame(kStart + 0.6, 0x18FEF100, {0xAA, 0xBB, 0xCC});
  error.Kind = CAN_ErrorFrame;
  error.Can.IDE = 1;
  error.Can.Dir = 1;
  error.Can.EDL = 1;
  error.Can.BRS = 1;
  error.Can.BusChannel = 4;
  error.Can.ErrorType = -2;
  records.push_back(error);
  BusRecord odd = error;
  odd.Kind = 99;
  records.push_back(odd);
  records.push_back(test::lin_frame(kStart + 0.7, 0x21, {9}));
  MemorySink sink;
  auto writer = mdf4_writer_create(stored());
  ASSERT_TRUE(writer);
  ASSERT_TRUE(writer->begin(sink, records[0].Timestamp, sv("2.4.0")));
  for (const BusRecord& r : records) ASSERT_TRUE(writer->add(r)) << writer->error();
  EXPECT_EQ(writer->records(), 5u);
  ASSERT_TRUE(writer->finish()) << writer->error();
  const std::vector<std::uint64_t> dgs = data_groups(sink.bytes);
  ASSERT_EQ(dgs.size(), 4u);
  const std::uint64_t counts[] = {2, 1, 1, 1};
  for (std::size_t k = 0; k < 4; ++k) EXPECT_EQ(file_u64(sink.bytes, data_of(sink.bytes, channel_group_of(sink.bytes, dgs[k])) + 8), counts[k]);
  // The error frame's record: every field of a data frame's, then its type.
  const std::uint64_t dt = data_blocks_of(sink.bytes, dgs[1]).at(0);
  const std::string record = sink.bytes.substr(dt + 24, 88);
  EXPECT_EQ(byte_at(record, 0), 4);
  EXPECT_EQ(u32_at(record, 1), 0x18FEF100u);
  EXPECT_EQ(byte_at(record, 5), 1);  // IDE
  EXPECT_EQ(byte_at(record, 6), 3);  // DLC
  EXPECT_EQ(byte_at(record, 7), 3);  // DataLength
  EXPECT_EQ(record.substr(8, 4), std::string("\xAA\xBB\xCC\0", 4));
  EXPECT_EQ(record.substr(12, 60), std::string(60, '\0'));
  EXPECT_EQ(record.substr(72, 4), std::string("\1\1\1\0", 4));  // Dir, EDL, BRS, ESI
  EXPECT_EQ(u32_at(record, 76), 0xFFFFFFFEu);
  double time;
  std::memcpy(&time, record.data() + 80, 8);
  EXPECT_EQ(time, 0.6);
}

TEST(Mdf4WriterTest, RecordsAreLaidOutByteForByte) {
  BusRecord fd = test::can_frame(kStart + 0.25, 0x1ABCDEF0, {});
  fd.Can.IDE = 1;
  fd.Can.Dir = 1;
  fd.Can.EDL = 1;
  fd.Can.BRS = 1;
  fd.Can.ESI = 1;
  fd.Can.BusChannel = 2;
  fd.Can.DLC = 9;
  fd.DataLength = 12;
  for (int i = 0; i < 12; ++i) fd.Can.DataBytes[i] = static_cast<std::uint8_t>(0xA0 + i);
  fd.Can.DataBytes[12] = 0xEE;  // past DataLength: not written
  const std::string file = test::write_mdf4({fd}, stored());
  const std::uint64_t dt = data_blocks_of(file, data_groups(file)[0]).at(0);
  EXPECT_EQ(file_u64(file, dt + 8), 24u + 84u);
  std::string want(84, '\0');
  const unsigned char head[] = {2, 0xF0, 0xDE, 0xBC, 0x1A, 1, 9, 12};
  std::memcpy(want.data(), head, sizeof head);
  for (int i = 0; i < 12; ++i) want[8 + static_cast<std::size_t>(i)] = static_cast<char>(0xA0 + i);
  want[72] = 1;
  want[73] = 1;
  want[74] = 1;
  want[75] = 1;
  const double t = 0.25;
  std::memcpy(want.data() + 76, &t, 8);
  EXPECT_EQ(file.substr(dt + 24, 84), want);
}

// Where the blocks and lists fall: data link straight to a lone block, an equal-length list for
// several, a chain of lists beyond list_links.
TEST(Mdf4WriterTest, BlocksAndListsAtTheirBoundaries) {
  struct Case {
    std::size_t records;
    std::uint64_t block_bytes;
    std::uint64_t list_links;
    std::size_t blocks;
    int lists;
  };
  const std::vector<Case> cases = {
      {1, 336, 4, 1, 0},     {4, 336, 4, 1, 0},      {5, 336, 4, 2, 1},   {16, 336, 4, 4, 1},
      {17, 336, 4, 5, 2},    {32, 336, 4, 8, 2},     {33, 336, 4, 9, 3},  {9, 100, 1, 9, 9},
      {3, 50, 2, 3, 2},  // a block smaller than a record still holds one
      {2, 100, ~std::uint64_t{0}, 2, 1},  // lowered to kMdf4MaxListLinks
      {12484, 0, 0, 2, 1},   // the default: 12483 data frames a block
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.records << " records, " << c.block_bytes << " bytes, " << c.list_links << " links");
    Mdf4WriterOptions options = stored();
    options.block_bytes = c.block_bytes;
    options.list_links = c.list_links;
    const std::vector<BusRecord> records = data_frames(c.records);
    const std::string file = test::write_mdf4(records, options);
    ASSERT_FALSE(file.empty());
    int lists = 0;
    const std::vector<std::uint64_t> blocks = data_blocks_of(file, data_groups(file)[0], &lists);
    EXPECT_EQ(blocks.size(), c.blocks);
    EXPECT_EQ(lists, c.lists);
    const std::uint64_t per_block = std::max<std::uint64_t>(1, (c.block_bytes == 0 ? 1 << 20 : c.block_bytes) / 84) * 84;
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < blocks.size(); ++i) {
      const std::uint64_t length = file_u64(file, blocks[i] + 8) - 24;
      if (i + 1 < blocks.size()) {
        EXPECT_EQ(length, per_block) << "block " << i;
      }
      total += length;
    }
    EXPECT_EQ(total, 84u * c.records);
    for (std::uint64_t at = file_u64(file, link_at(data_groups(file)[0], 2)); at != 0 && file.compare(at, 4, "##DL") == 0;
         at = file_u64(file, link_at(at, 0))) {
      EXPECT_EQ(byte_at(file, data_of(file, at)), 1);  // equal lengths
      EXPECT_EQ(file_u64(file, data_of(file, at) + 8), per_block);
    }
    test::Mdf4Read read = test::read_mdf4(file);
    EXPECT_EQ(read.error, "");
    EXPECT_EQ(test::describe(read.records), test::describe(records));
  }
}

TEST(Mdf4WriterTest, SameRecordsSameBytes) {
  const std::vector<BusRecord> records = test::generated_frames(5, 500);
  const std::string a = test::write_mdf4(records);
  EXPECT_EQ(test::write_mdf4(records), a);
  // A byte past DataLength is no part of the frame and changes nothing.
  std::vector<BusRecord> dirty = records;
  for (BusRecord& r : dirty) {
    if (r.Kind == CAN_DataFrame && r.DataLength < 64) r.Can.DataBytes[r.DataLength] = 0x5A;
    if (r.Kind == LIN_Frame && r.DataLength < 8) r.Lin.DataBytes[r.DataLength] = 0x5A;
  }
  EXPECT_EQ(test::write_mdf4(dirty), a);
  const std::string other = test::write_mdf4(records, {}, "2.5.0");
  ASSERT_EQ(other.size(), a.size());
  std::size_t differ = 0;
  for (std::size_t i = 0; i < a.size(); ++i) differ += a[i] != other[i];
  EXPECT_EQ(differ, 1u);  // the version's last digit
}

TEST(Mdf4WriterTest, VersionIsEscapedInTheComment) {
  const std::string file = test::write_mdf4(data_frames(1), {}, "2<&>");
  const std::uint64_t fh = file_u64(file, link_at(64, 1));
  EXPECT_NE(text_at(file, file_u64(file, link_at(fh, 1))).find("<tool_version>2&lt;&amp;&gt;</tool_version>"),
            std::string::npos);
}

// The sink is written a block at a time, never once per record.
TEST(Mdf4WriterTest, WritesPerBlockNotPerRecord) {
  MemorySink sink;
  auto writer = mdf4_writer_create();
  ASSERT_TRUE(writer);
  const std::vector<BusRecord> records = data_frames(50000);
  ASSERT_TRUE(writer->begin(sink, records[0].Timestamp, sv("2.4.0")));
  for (const BusRecord& r : records) ASSERT_TRUE(writer->add(r));
  ASSERT_TRUE(writer->finish());
  EXPECT_LE(sink.writes, 10);  // head, 5 blocks of 1 MiB, the list
  EXPECT_LE(sink.rewrites, 8);
}

TEST(Mdf4WriterTest, RefusesWhatCannotBeWritten) {
  struct Case {
    const char* what;
    double first;
    std::vector<double> times;
    bool begins;
    std::size_t added;  // records accepted before the failure
    const char* error;
  };
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const std::vector<Case> cases = {
      {"a time that goes back", kStart, {kStart + 1, kStart + 2, kStart + 1.5}, true, 2,
       "a record is earlier than the one before it"},
      {"a time before the start's second", kStart + 0.5, {kStart - 0.001}, true, 0,
       "a record is earlier than the one before it"},
      {"a time that is not a number", kStart, {kStart, nan}, true, 1, "a record's time is not a number"},
      {"an infinite time", kStart, {inf}, true, 0, "a record's time is not a number"},
      {"a start before 1970", -0.5, {}, false, 0, "the first time lies outside 1970 to 2554"},
      {"a start that is not a number", nan, {}, false, 0, "the first time lies outside 1970 to 2554"},
      {"a start past 2554", 18446744074.0, {}, false, 0, "the first time lies outside 1970 to 2554"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    MemorySink sink;
    auto writer = mdf4_writer_create();
    ASSERT_TRUE(writer);
    ASSERT_EQ(writer->begin(sink, c.first, sv("2.4.0")), c.begins);
    std::size_t added = 0;
    for (double t : c.times) {
      if (!writer->add(test::can_frame(t, 1, {}))) break;
      ++added;
    }
    EXPECT_EQ(added, c.added);
    EXPECT_STREQ(writer->error(), c.error);
    EXPECT_FALSE(writer->finish());
    EXPECT_STREQ(writer->error(), c.error);  // the first failure is the one told
  }
}

enum class Threads { Worker, None, Helper };

// The records written while another thread calls help() all along, as the reading thread does.
std::string write_helped(const std::vector<BusRecord>& records, const Mdf4WriterOptions& options) {
  MemorySink sink;
  auto writer = mdf4_writer_create(options);
  if (!writer) return {};
  writer->expect_help();
  std::atomic<bool> done{false};
  std::thread helper([&] {
    while (!done.load()) {
      if (!writer->help()) std::this_thread::yield();
    }
  });
  bool ok = writer->begin(sink, records[0].Timestamp, sv("2.4.0"));
  for (std::size_t i = 0; ok && i < records.size(); ++i) ok = writer->add(records[i]);
  done = true;
  helper.join();
  return ok && writer->finish() ? sink.bytes : std::string();
}

// Every way of storing the blocks, compressed on the writer's own thread, on the caller's alone,
// or with another thread helping, with blocks and lists at their smallest: quarn's reader gets
// every record back, the compressed files hold DZ blocks of the kind asked for, and the threads
// change no byte.
TEST(Mdf4WriterTest, CompressionNames) {
  Mdf4Compression c = Mdf4Compression::None;
  EXPECT_TRUE(mdf4_compression_parse("transposed", c));
  EXPECT_EQ(c, Mdf4Compression::Transposed);
  EXPECT_FALSE(mdf4_compression_parse("Transposed", c));
  EXPECT_EQ(c, Mdf4Compression::Transposed);
  EXPECT_STREQ(mdf4_compression_name(Mdf4Compression::Deflate), "deflate");
}

TEST(Mdf4WriterTest, EveryCompressionReadsBackAsWritten) {
  const std::vector<BusRecord> records = test::generated_frames(21, 6000);
  const std::vector<std::string> want = test::describe(test::in_read_order(records));
  struct Case {
    Mdf4Compression compression;
    std::uint64_t block_bytes;
    int zip_type;  // of every DZ block; -1: no DZ block
  };
  const Case cases[] = {
      {Mdf4Compression::None, 0, -1},         {Mdf4Compression::Deflate, 0, 0},    {Mdf4Compression::Transposed, 0, 1},
      {Mdf4Compression::Transposed, 3000, 1}, {Mdf4Compression::Deflate, 3000, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << mdf4_compression_name(c.compression) << ", " << c.block_bytes << " bytes");
    std::string first;
    for (Threads threads : {Threads::Worker, Threads::None, Threads::Helper}) {
      Mdf4WriterOptions options;
      options.compression = c.compression;
      options.block_bytes = c.block_bytes;
      options.list_links = 4;
      options.compress_thread = threads == Threads::Worker;
      const std::string file =
          threads == Threads::Helper ? write_helped(records, options) : test::write_mdf4(records, options);
      ASSERT_FALSE(file.empty());
      test::Mdf4Read read = test::read_mdf4(file);
      EXPECT_EQ(read.error, "");
      EXPECT_EQ(test::describe(read.records), want);
      if (first.empty()) first = file;
      EXPECT_TRUE(file == first) << "the threads changed the file";
    }
    std::vector<std::string> problems;
    int dz = 0;
    for (const auto& [at, b] : test::walk_blocks(first, problems)) {
      if (b.id != "##DZ") continue;
      ++dz;
      const std::uint64_t d = data_of(first, at);
      EXPECT_EQ(first.substr(d, 2), "DT");
      EXPECT_EQ(byte_at(first, d + 2), c.zip_type);
      // Transposed over the records of the block's group: 84, 88, 17 or 21 bytes; otherwise 0.
      const std::uint32_t param = u32_at(first, d + 4);
      if (c.compression == Mdf4Compression::Transposed) {
        EXPECT_TRUE(param == 84 || param == 88 || param == 17 || param == 21) << param;
        EXPECT_EQ(file_u64(first, d + 8) % std::max(param, 1u), 0u);
      } else {
        EXPECT_EQ(param, 0u);
      }
    }
    EXPECT_EQ(problems, std::vector<std::string>{});
    if (c.zip_type < 0) {
      EXPECT_EQ(dz, 0);
    } else {
      EXPECT_GT(dz, c.block_bytes == 0 ? 1 : 10);
    }
  }
}

// Transposed blocks skip the columns their records never wrote, and buffers go from group to
// group: short frames after long ones, and error frames after both, must read back without a
// byte of the frames before them, even past their lengths, where a reader told to take the
// bytes the code gives (every frame here says 64) looks.
TEST(Mdf4WriterTest, TransposedBlocksCarryNothingOfTheBlocksBefore) {
  std::vector<BusRecord> records;
  std::size_t ms = 0;
  auto next_time = [&ms] { return kStart + static_cast<double>(++ms) / 1000; };
  for (int round = 0; round < 6; ++round) {
    for (int i = 0; i < 25; ++i) {
      // Long frames; long and short ones taking turns; frames without data.
      const std::size_t length = round % 3 == 0 || (round % 3 == 1 && i % 2 == 0) ? 64 : round % 3 == 1 ? 1 : 0;
      BusRecord r = test::can_frame(next_time(), 0x100u + static_cast<std::uint32_t>(i), {});
      r.DataLength = length;
      r.Can.DLC = 15;
      r.Can.EDL = 1;
      for (std::size_t k = 0; k < length && k < sizeof r.Can.DataBytes; ++k)
        r.Can.DataBytes[k] = static_cast<std::uint8_t>(0xC0 + k);
      records.push_back(r);
      if (i % 2 == 0) {
        BusRecord error{};
        error.Timestamp = next_time();
        error.Kind = CAN_ErrorFrame;
        error.ID = 0x7FF;
        error.Can.BusChannel = 1;
        records.push_back(error);
      }
    }
  }
  auto by_code = [](std::string file) {
    const std::uint64_t name = file_u64(file, link_at(test::channel_named(file, "CAN_DataFrame.DataLength"), 2));
    file.replace(data_of(file, name), 24, "CAN_DataFrame.DataXXXXXX");
    return file;
  };
  Mdf4WriterOptions options;
  options.block_bytes = 84 * 10;
  options.compression = Mdf4Compression::Deflate;  // record by record, nothing to carry over
  const test::Mdf4Read plain = test::read_mdf4(by_code(test::write_mdf4(records, options)));
  ASSERT_EQ(plain.error, "");
  ASSERT_EQ(plain.records.size(), records.size());
  EXPECT_EQ(test::describe(test::read_mdf4(test::write_mdf4(records, options)).records),
            test::describe(test::in_read_order(records)));
  for (bool thread : {true, false}) {
    options.compression = Mdf4Compression::Transposed;
    options.compress_thread = thread;
    const std::string file = test::write_mdf4(records, options);
    ASSERT_NE(file.find("##DZ"), std::string::npos);
    EXPECT_EQ(test::describe(test::read_mdf4(file).records), test::describe(test::in_read_order(records)));
    EXPECT_EQ(test::describe(test::read_mdf4(by_code(file)).records), test::describe(plain.records)) << thread;
  }
}

// A block that would not shrink stays DT: a compressed file is never larger than a stored one.
TEST(Mdf4WriterTest, ABlockThatDoesNotShrinkIsStored) {
  for (std::size_t n : {std::size_t{1}, std::size_t{2}, std::size_t{1000}}) {
    SCOPED_TRACE(n);
    const std::vector<BusRecord> records = test::generated_frames(8, n);
    const std::string plain = test::write_mdf4(records, stored());
    const std::string packed = test::write_mdf4(records);
    ASSERT_FALSE(packed.empty());
    EXPECT_LE(packed.size(), plain.size());
    EXPECT_EQ(test::describe(test::read_mdf4(packed).records), test::describe(test::in_read_order(records)));
  }
  // A remote frame's 17 bytes cannot shrink by the 24 that a DZ block adds: stored as they are.
  std::vector<BusRecord> remote = data_frames(1);
  remote[0].Kind = CAN_RemoteFrame;
  remote[0].Can.Remote = 1;
  const std::string one = test::write_mdf4(remote);
  EXPECT_EQ(one.compare(data_blocks_of(one, data_groups(one)[2]).at(0), 4, "##DT"), 0);
  EXPECT_EQ(one, test::write_mdf4(remote, stored()));
}

// A deflater that fails, or none at all, fails the file; one whose output never fits leaves every
// block stored, and the file whole.
TEST(Mdf4WriterTest, ACompressorThatFailsFailsTheFile) {
  struct Failing final : ColumnDeflater {
    std::size_t deflate(const std::uint8_t*, std::size_t, std::uint8_t*, std::size_t) override {
      return kDeflateFailed;
    }
  };
  struct NeverFits final : ColumnDeflater {
    std::size_t deflate(const std::uint8_t*, std::size_t, std::uint8_t*, std::size_t) override { return 0; }
  };
  struct Case {
    ColumnDeflaterFactory factory;
    const char* error;  // "" when the file is written
  };
  const Case cases[] = {
      {[]() -> std::unique_ptr<ColumnDeflater> { return std::unique_ptr<ColumnDeflater>(new (std::nothrow) Failing); },
       "could not compress a data block"},
      {[]() -> std::unique_ptr<ColumnDeflater> { return nullptr; }, "out of memory"},
      {[]() -> std::unique_ptr<ColumnDeflater> {
         return std::unique_ptr<ColumnDeflater>(new (std::nothrow) NeverFits);
       },
       ""},
  };
  const std::vector<BusRecord> records = test::generated_frames(6, 3000);
  for (const Case& c : cases) {
    for (bool thread : {true, false}) {
      SCOPED_TRACE(testing::Message() << c.error << (thread ? ", thread" : ""));
      Mdf4WriterOptions options;
      options.block_bytes = 2000;
      options.compress_thread = thread;
      options.deflater = c.factory;
      MemorySink sink;
      auto writer = mdf4_writer_create(options);
      ASSERT_TRUE(writer);
      bool ok = writer->begin(sink, records[0].Timestamp, sv("2.4.0"));
      for (std::size_t i = 0; ok && i < records.size(); ++i) ok = writer->add(records[i]);
      if (ok) ok = writer->finish();
      EXPECT_EQ(ok, c.error[0] == '\0');
      EXPECT_STREQ(writer->error(), c.error);
      if (ok) {
        EXPECT_EQ(sink.bytes.find("##DZ"), std::string::npos);
        EXPECT_EQ(test::describe(test::read_mdf4(sink.bytes).records), test::describe(test::in_read_order(records)));
      }
    }
  }
}

// help() compresses a block that waits, and only one: a block is compressed once, by whoever
// takes it first, and the file is the one written without help.
TEST(Mdf4WriterTest, HelpTakesAWaitingBlock) {
  const std::vector<BusRecord> records = test::generated_frames(8, 400);
  Mdf4WriterOptions options;
  options.block_bytes = 2000;
  options.compress_thread = false;
  MemorySink sink;
  auto writer = mdf4_writer_create(options);
  ASSERT_TRUE(writer);
  EXPECT_FALSE(writer->help());  // nothing to compress before the file begins
  ASSERT_TRUE(writer->begin(sink, records[0].Timestamp, sv("2.4.0")));
  int helped = 0;
  for (const BusRecord& r : records) {
    ASSERT_TRUE(writer->add(r));
    if (writer->help()) {
      ++helped;
      EXPECT_FALSE(writer->help());  // the one block waiting is taken
    }
  }
  ASSERT_TRUE(writer->finish());
  EXPECT_GT(helped, 3);
  EXPECT_TRUE(sink.bytes == test::write_mdf4(records, options));
}

// Seconds since the start, rounded to the microsecond: 0.466 is the double 0.466, not what the
// subtraction of two times near 1.7e9 leaves.
TEST(Mdf4WriterTest, MasterTimesAreRoundedToTheMicrosecond) {
  const std::vector<double> offsets = {0.0, 0.466, 0.4661, 1.000001, 59.999999, 3599.25};
  std::vector<BusRecord> records;
  for (double at : offsets) records.push_back(test::can_frame(kStart + at, 1, {1}));
  const std::string file = test::write_mdf4(records, stored());
  const std::uint64_t dt = data_blocks_of(file, data_groups(file)[0]).at(0);
  for (std::size_t i = 0; i < offsets.size(); ++i) {
    double stored_time;
    std::memcpy(&stored_time, file.data() + dt + 24 + 84 * i + 76, 8);
    EXPECT_EQ(stored_time, offsets[i]) << i;
  }
}

// The header's comment names the log and lists its header lines in their order, escaped for XML,
// with whatever is not UTF-8 (or not allowed in XML) replaced.
TEST(Mdf4WriterTest, HeaderCommentCarriesWhatTheLogSays) {
  const LogProperty properties[] = {
      {sv("Logger type"), sv("TarvikTwo")},
      {sv("Value separator"), sv("\";\"")},
      {sv("Note <a&b>"), sv("caf\xC3\xA9 \xFF\xC3 \x01 \xE2\x82\xAC \xED\xA0\x80")},
      {sv("Empty"), sv("")},
  };
  LogInfo info;
  info.source_name = sv("trip<1>.txt");
  info.properties = properties;
  info.property_count = 4;
  const std::string file = test::write_mdf4(data_frames(2), {}, "2.4.0", info);
  EXPECT_EQ(text_at(file, file_u64(file, link_at(64, 5))),
            "<HDcomment>\n<TX>Converted by quarn from trip&lt;1&gt;.txt</TX>\n<common_properties>\n"
            "<e name=\"Logger type\">TarvikTwo</e>\n"
            "<e name=\"Value separator\">&quot;;&quot;</e>\n"
            "<e name=\"Note &lt;a&amp;b&gt;\">caf\xC3\xA9 \xEF\xBF\xBD\xEF\xBF\xBD \xEF\xBF\xBD \xE2\x82\xAC "
            "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD</e>\n"
            "<e name=\"Empty\"></e>\n"
            "</common_properties>\n</HDcomment>\n");
  // Without anything known of the log the comment is still well-formed.
  const std::string bare = test::write_mdf4(data_frames(2));
  EXPECT_EQ(text_at(bare, file_u64(bare, link_at(64, 5))),
            "<HDcomment>\n<TX></TX>\n<common_properties>\n</common_properties>\n</HDcomment>\n");
}

// The sources are named after the bus channel of their frames, or after the bus alone when the
// frames come from several; both have the path "quarn".
TEST(Mdf4WriterTest, SourcesAreNamedAfterTheirChannel) {
  struct Case {
    std::vector<int> can_channels;
    std::vector<int> lin_channels;
    const char* can_name;
    const char* lin_name;  // "" when there is no LIN group
  };
  const Case cases[] = {
      {{1, 1, 1}, {}, "CAN1", ""},
      {{2, 3}, {5}, "CAN", "LIN5"},
      {{}, {1, 2}, "", "LIN"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.can_name);
    std::vector<BusRecord> records;
    double t = kStart;
    for (int ch : c.can_channels) {
      records.push_back(test::can_frame(t += 0.001, 7, {1}));
      records.back().Can.BusChannel = static_cast<std::uint8_t>(ch);
    }
    for (int ch : c.lin_channels) {
      records.push_back(test::lin_frame(t += 0.001, 7, {1}));
      records.back().Lin.BusChannel = static_cast<std::uint8_t>(ch);
    }
    const std::string file = test::write_mdf4(records);
    const std::vector<std::uint64_t> dgs = data_groups(file);
    ASSERT_EQ(dgs.size(), c.lin_name[0] != '\0' ? 4u : 3u);
    for (std::size_t k = 0; k < dgs.size(); ++k) {
      const std::uint64_t source = file_u64(file, link_at(channel_group_of(file, dgs[k]), 3));
      EXPECT_EQ(text_at(file, file_u64(file, link_at(source, 0))), k == 3 ? c.lin_name : c.can_name) << k;
      EXPECT_EQ(text_at(file, file_u64(file, link_at(source, 1))), "quarn") << k;
    }
  }
}

// A writer reset after a file writes the next one byte for byte as a new writer would, whatever
// the first one left in its buffers; it cannot be reset in the middle of a file or after a failure.
TEST(Mdf4WriterTest, AResetWriterWritesWhatANewOneWrites) {
  const std::vector<BusRecord> first = test::generated_frames(41, 5000);
  const std::vector<BusRecord> second = test::generated_frames(42, 3000, false);
  for (Mdf4Compression compression : {Mdf4Compression::None, Mdf4Compression::Deflate, Mdf4Compression::Transposed}) {
    SCOPED_TRACE(mdf4_compression_name(compression));
    Mdf4WriterOptions options;
    options.compression = compression;
    options.block_bytes = 5000;
    auto writer = mdf4_writer_create(options);
    ASSERT_TRUE(writer);
    MemorySink a;
    ASSERT_TRUE(writer->begin(a, first[0].Timestamp, sv("2.4.0")));
    EXPECT_FALSE(writer->reset());
    for (const BusRecord& r : first) ASSERT_TRUE(writer->add(r));
    ASSERT_TRUE(writer->finish());
    ASSERT_TRUE(writer->reset());
    MemorySink b;
    ASSERT_TRUE(writer->begin(b, second[0].Timestamp, sv("2.4.0")));
    for (const BusRecord& r : second) ASSERT_TRUE(writer->add(r));
    ASSERT_TRUE(writer->finish());
    EXPECT_TRUE(b.bytes == test::write_mdf4(second, options));
    EXPECT_TRUE(a.bytes == test::write_mdf4(first, options));
    // A failed file leaves a writer that cannot be reset.
    ASSERT_TRUE(writer->reset());
    MemorySink c;
    ASSERT_TRUE(writer->begin(c, second[0].Timestamp, sv("2.4.0")));
    EXPECT_FALSE(writer->add(test::can_frame(second[0].Timestamp - 1, 1, {})));
    EXPECT_FALSE(writer->finish());
    EXPECT_FALSE(writer->reset());
  }
}

TEST(Mdf4WriterTest, TheLastStartSecondStillFits) {
  const std::string file = test::write_mdf4(data_frames(1, 18446744073.5));
  ASSERT_FALSE(file.empty());
  EXPECT_EQ(file_u64(file, data_of(file, 64)), 18446744073000000000u);
}

TEST(Mdf4WriterTest, CallsOutOfOrderFail) {
  MemorySink sink;
  auto writer = mdf4_writer_create();
  ASSERT_TRUE(writer);
  EXPECT_FALSE(writer->add(test::can_frame(kStart, 1, {})));
  EXPECT_STREQ(writer->error(), "the writer is not open");
  auto again = mdf4_writer_create();
  ASSERT_TRUE(again->begin(sink, kStart, sv("2.4.0")));
  EXPECT_FALSE(again->begin(sink, kStart, sv("2.4.0")));
  auto finished = mdf4_writer_create();
  MemorySink other;
  ASSERT_TRUE(finished->begin(other, kStart, sv("2.4.0")));
  ASSERT_TRUE(finished->finish());
  EXPECT_FALSE(finished->add(test::can_frame(kStart, 1, {})));
  EXPECT_FALSE(finished->finish());
  MemorySink used;
  used.bytes = "x";
  auto late = mdf4_writer_create();
  EXPECT_FALSE(late->begin(used, kStart, sv("2.4.0")));
}

// A sink that fails at its k-th write, or its k-th rewrite: whichever call meets the failure and
// every call after it report it, and nothing else goes wrong.
TEST(Mdf4WriterTest, EverySinkFailureIsReported) {
  for (Mdf4Compression compression : {Mdf4Compression::None, Mdf4Compression::Transposed}) {
    SCOPED_TRACE(mdf4_compression_name(compression));
    Mdf4WriterOptions small;
    small.block_bytes = 1000;
    small.list_links = 2;
    small.compression = compression;
    const std::vector<BusRecord> records = test::generated_frames(3, 400);
    const MemorySink counting = test::each_sink_failure(
        [&](MemorySink& sink, bool& ok) {
          auto writer = mdf4_writer_create(small);
          ok = writer->begin(sink, records[0].Timestamp, sv("2.4.0"));
          for (std::size_t i = 0; ok && i < records.size(); ++i) ok = writer->add(records[i]);
          if (ok) ok = writer->finish();
          return writer;
        },
        [&](Mdf4Writer& writer) {
          EXPECT_STREQ(writer.error(), "could not write the file");
          EXPECT_FALSE(writer.add(records.back()));
          EXPECT_FALSE(writer.finish());
        });
    EXPECT_GT(counting.writes, 10);
    EXPECT_GT(counting.rewrites, 10);
  }
}

TEST(Mdf4WriterTest, RunningOutOfMemoryIsReported) {
  Mdf4WriterOptions small;
  small.block_bytes = 1000;
  small.list_links = 2;
  const std::vector<BusRecord> records = test::generated_frames(4, 300);
  bool completed = false;
  for (std::int64_t k = 0; !completed && k < 200; ++k) {
    SCOPED_TRACE(k);
    MemorySink sink;
    mem_fail_after(k);
    auto writer = mdf4_writer_create(small);
    bool ok = writer != nullptr && writer->begin(sink, records[0].Timestamp, sv("2.4.0"));
    for (std::size_t i = 0; ok && i < records.size(); ++i) ok = writer->add(records[i]);
    if (ok) ok = writer->finish();
    mem_fail_after(-1);
    if (ok) {
      completed = true;
      EXPECT_EQ(test::describe(test::read_mdf4(sink.bytes).records), test::describe(test::in_read_order(records)));
    } else if (writer) {
      EXPECT_STREQ(writer->error(), "out of memory");
    }
  }
  EXPECT_TRUE(completed);
}

}  // namespace
}  // namespace quarn
