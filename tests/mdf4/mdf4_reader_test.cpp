#include "mdf4/mdf4_reader.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "support/bus_records.h"
#include "support/mdf4_files.h"
#include "support/memory_stream.h"
#include "support/temp_dir.h"

namespace quarn {
namespace {

using test::channel_group_of;
using test::channel_named;
using test::data_groups;
using test::data_of;
using test::describe;
using test::file_u64;
using test::link_at;
using test::Mdf4Read;
using test::set_file_u64;

constexpr double kStart = 1715675400.0;

void set_u8(std::string& bytes, std::uint64_t offset, std::uint8_t v) { bytes[offset] = static_cast<char>(v); }
void set_u32(std::string& bytes, std::uint64_t offset, std::uint32_t v) { std::memcpy(bytes.data() + offset, &v, 4); }

std::string u64_bytes(std::uint64_t v) { return std::string(reinterpret_cast<const char*>(&v), 8); }
std::string u32_bytes(std::uint32_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); }

// A block: header, links, data section; padded to 8 when `pad`.
std::string block(const char* id, const std::vector<std::uint64_t>& links, const std::string& data) {
  std::string b = std::string(id, 4) + std::string(4, '\0') + u64_bytes(24 + 8 * links.size() + data.size()) +
                  u64_bytes(links.size());
  for (std::uint64_t l : links) b += u64_bytes(l);
  return b + data;
}

// Appends a block at the next offset divisible by 8 and returns that offset.
std::uint64_t append(std::string& file, const std::string& b) {
  file.resize((file.size() + 7) / 8 * 8, '\0');
  const std::uint64_t at = file.size();
  file += b;
  return at;
}

std::string deflate(const std::string& raw) {
  uLongf n = compressBound(static_cast<uLong>(raw.size()));
  std::string out(n, '\0');
  EXPECT_EQ(compress2(reinterpret_cast<Bytef*>(out.data()), &n, reinterpret_cast<const Bytef*>(raw.data()),
                      static_cast<uLong>(raw.size()), 6),
            Z_OK);
  out.resize(n);
  return out;
}

// The DZ block of `raw`: deflated, or (with `columns`) transposed as records of that many bytes
// and deflated, the bytes past the last whole record left in place.
std::string dz_block(const std::string& raw, std::uint32_t columns, std::uint8_t zip_type_override = 0xFF) {
  std::string data = raw;
  if (columns != 0) {
    const std::size_t lines = raw.size() / columns;
    for (std::size_t r = 0; r < lines; ++r) {
      for (std::size_t c = 0; c < columns; ++c) data[c * lines + r] = raw[r * columns + c];
    }
  }
  const std::string z = deflate(data);
  std::string head = "DT";
  head += static_cast<char>(zip_type_override != 0xFF ? zip_type_override : columns != 0 ? 1 : 0);
  head += '\0';
  head += u32_bytes(columns) + u64_bytes(raw.size()) + u64_bytes(z.size());
  return block("##DZ", {}, head + z);
}

// The record bytes of data group `k` of a file quarn wrote (its DT blocks, through lists).
std::string group_data(const std::string& file, std::size_t k) {
  std::string out;
  std::uint64_t at = file_u64(file, link_at(data_groups(file)[k], 2));
  auto take = [&](std::uint64_t dt) { out += file.substr(dt + 24, file_u64(file, dt + 8) - 24); };
  if (at != 0 && file.compare(at, 4, "##DT") == 0) take(at);
  for (; at != 0 && file.compare(at, 4, "##DL") == 0; at = file_u64(file, link_at(at, 0))) {
    const std::uint64_t count = file_u64(file, data_of(file, at) + 4) & 0xFFFFFFFFu;
    for (std::uint64_t i = 0; i < count; ++i) take(file_u64(file, link_at(at, 1 + i)));
  }
  return out;
}

enum class Store { Plain, Deflate, Transposed, Alternate };

// Stores data group `k` anew at the end of the file, cut into pieces of the given sizes (the
// last takes the rest; records may straddle them), under a variable-length data list, or an HL
// over it, or (one piece, no list) linked directly.
void restore_group(std::string& file, std::size_t k, const std::vector<std::size_t>& cuts, Store store, bool hl,
                   std::uint32_t record_size) {
  const std::string data = group_data(file, k);
  std::vector<std::uint64_t> blocks;
  std::vector<std::uint64_t> offsets;
  std::size_t at = 0;
  for (std::size_t i = 0; i <= cuts.size(); ++i) {
    const std::size_t n = i < cuts.size() ? std::min(cuts[i], data.size() - at) : data.size() - at;
    const std::string piece = data.substr(at, n);
    const Store s = store == Store::Alternate ? (i % 2 == 0 ? Store::Plain : Store::Transposed) : store;
    offsets.push_back(at);
    blocks.push_back(append(file, s == Store::Plain        ? block("##DT", {}, piece)
                                  : s == Store::Deflate    ? dz_block(piece, 0)
                                                           : dz_block(piece, record_size)));
    at += n;
  }
  std::uint64_t target = blocks[0];
  if (blocks.size() > 1 || hl) {
    std::string list_data = std::string(1, '\0') + std::string(3, '\0') + u32_bytes(static_cast<std::uint32_t>(blocks.size()));
    for (std::uint64_t o : offsets) list_data += u64_bytes(o);
    std::vector<std::uint64_t> links = {0};
    links.insert(links.end(), blocks.begin(), blocks.end());
    target = append(file, block("##DL", links, list_data));
    if (hl) target = append(file, block("##HL", {target}, std::string("\x01\x00\x00", 3) + std::string(5, '\0')));
  }
  set_file_u64(file, link_at(data_groups(file)[k], 2), target);
}

// Where the first record of data group 0 starts, in a file quarn wrote with one block for it.
std::uint64_t group_data_offset(const std::string& file) { return file_u64(file, link_at(data_groups(file)[0], 2)) + 24; }

// ---------------------------------------------------------------------------------------------
// Round trips

TEST(Mdf4ReaderTest, GivesBackWhatTheWriterTookToTheMicrosecond) {
  Mdf4WriterOptions small;
  small.block_bytes = 700;  // a few records a block: many list boundaries
  small.list_links = 5;
  const std::vector<BusRecord> records = test::generated_frames(21, 5000);
  for (const Mdf4WriterOptions& options : {Mdf4WriterOptions{}, small}) {
    Mdf4Read read = test::read_mdf4(test::write_mdf4(records, options));
    ASSERT_TRUE(read.opened) << read.error;
    EXPECT_EQ(read.error, "");
    EXPECT_EQ(read.broken, std::vector<std::string>{});
    const std::vector<BusRecord> want = test::in_group_order(records);
    ASSERT_EQ(describe(read.records), describe(want));  // exact times, as hex floats
    for (std::size_t i = 0; i < want.size(); ++i) {
      ASSERT_EQ(test::micros_of(read.records[i].Timestamp), test::micros_of(want[i].Timestamp));
    }
  }
}

TEST(Mdf4ReaderTest, EveryKindAndEveryCode) {
  std::vector<BusRecord> records;
  double t = kStart + 0.000001;
  for (std::uint8_t dlc = 0; dlc <= 15; ++dlc) {
    for (int fd = 0; fd < 2; ++fd) {
      BusRecord r = test::can_frame(t, fd != 0 ? 0x1FFFFFFF : 0x7FF, {});
      r.Can.IDE = static_cast<std::uint8_t>(fd);
      r.Can.Dir = static_cast<std::uint8_t>(dlc % 2);
      r.Can.EDL = static_cast<std::uint8_t>(fd);
      r.Can.BRS = static_cast<std::uint8_t>(fd != 0 && dlc % 3 == 0);
      r.Can.ESI = static_cast<std::uint8_t>(fd != 0 && dlc % 4 == 0);
      r.Can.DLC = dlc;
      static constexpr std::uint8_t kFd[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 48, 64};
      r.DataLength = fd != 0 ? kFd[dlc] : std::min<std::uint8_t>(dlc, 8);
      for (std::uint64_t i = 0; i < r.DataLength; ++i) r.Can.DataBytes[i] = static_cast<std::uint8_t>(dlc * 16 + i);
      records.push_back(r);
      BusRecord remote = test::can_frame(t, dlc, {});
      remote.Kind = CAN_RemoteFrame;
      remote.Can.Remote = 1;
      remote.Can.DLC = dlc;
      remote.Can.BusChannel = 255;
      records.push_back(remote);  // at the same time
    }
    t += 0.25;
  }
  BusRecord error{};
  error.Kind = CAN_ErrorFrame;
  error.Timestamp = t;
  error.Error.BusChannel = 2;
  records.push_back(error);
  records.push_back(test::lin_frame(t, 0x3F, {1, 2, 3, 4, 5, 6, 7, 8}));
  records.push_back(test::lin_frame(t + 1, 0, {}));
  Mdf4Read read = test::read_mdf4(test::write_mdf4(records));
  EXPECT_EQ(read.error, "");
  EXPECT_EQ(describe(read.records), describe(test::in_group_order(records)));
}

// Data blocks of other writers: compressed, transposed, cut across records, listed by HL.
TEST(Mdf4ReaderTest, ReadsEveryWayOfStoringTheData) {
  struct Case {
    const char* what;
    std::vector<std::size_t> cuts;
    Store store;
    bool hl;
  };
  const std::vector<Case> cases = {
      {"deflated whole", {}, Store::Deflate, false},
      {"transposed whole", {}, Store::Transposed, false},
      {"plain blocks cutting records", {1, 83, 85, 500, 7}, Store::Plain, false},
      {"deflated pieces under an HL", {1000, 1000}, Store::Deflate, true},
      {"transposed pieces with leftover bytes", {130, 1000, 41}, Store::Transposed, true},
      {"plain and transposed pieces", {300, 301, 302, 303}, Store::Alternate, false},
      {"an empty piece", {0, 168}, Store::Plain, false},
      {"a lone plain block under an HL", {}, Store::Plain, true},
  };
  const std::vector<BusRecord> records = test::generated_frames(8, 600);
  Mdf4WriterOptions stored;  // DT blocks, whose records restore_group takes apart
  stored.compression = Mdf4Compression::None;
  const std::string original = test::write_mdf4(records, stored);
  const std::vector<std::string> want = describe(test::in_group_order(records));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string file = original;
    const std::uint32_t sizes[] = {84, 84, 17, 21};
    for (std::size_t k = 0; k < 4; ++k) restore_group(file, k, c.cuts, c.store, c.hl, sizes[k]);
    Mdf4Read read = test::read_mdf4(file);
    EXPECT_EQ(read.error, "");
    EXPECT_EQ(describe(read.records), want);
  }
}

// Channels are found by name at the places their blocks give, not at quarn's places.
TEST(Mdf4ReaderTest, TakesMembersWhereTheirChannelsSay) {
  BusRecord r = test::can_frame(kStart + 0.5, 0x123, {1, 2, 3});
  r.Can.Dir = 1;
  const std::string original = test::write_mdf4({r});

  std::string swapped = original;  // Dir at byte 81 and EDL at 80
  set_u32(swapped, data_of(swapped, channel_named(swapped, "CAN_DataFrame.Dir")) + 4, 81);
  set_u32(swapped, data_of(swapped, channel_named(swapped, "CAN_DataFrame.EDL")) + 4, 80);
  Mdf4Read read = test::read_mdf4(swapped);
  ASSERT_EQ(read.records.size(), 1u) << read.error;
  EXPECT_EQ(read.records[0].Can.Dir, 0);
  EXPECT_EQ(read.records[0].Can.EDL, 1);

  std::string narrow = original;  // the identifier's low 4 bits, from bit 4 of byte 9
  const std::uint64_t id = data_of(narrow, channel_named(narrow, "CAN_DataFrame.ID"));
  set_u8(narrow, id + 3, 4);
  set_u32(narrow, id + 8, 4);
  read = test::read_mdf4(narrow);
  ASSERT_EQ(read.records.size(), 1u) << read.error;
  EXPECT_EQ(read.records[0].ID, 0x2u);

  std::string few = original;  // data bytes 2 wide: DataLength 3 is cut to them
  set_u32(few, data_of(few, channel_named(few, "CAN_DataFrame.DataBytes")) + 8, 16);
  read = test::read_mdf4(few);
  ASSERT_EQ(read.records.size(), 1u) << read.error;
  EXPECT_EQ(read.records[0].DataLength, 2u);

  std::string renamed = original;  // a member the reader does not know is passed over
  const std::uint64_t name = file_u64(renamed, link_at(channel_named(renamed, "CAN_DataFrame.IDE"), 2));
  renamed.replace(data_of(renamed, name), 17, "CAN_DataFrame.XYZ");
  read = test::read_mdf4(renamed);
  ASSERT_EQ(read.records.size(), 1u) << read.error;
  EXPECT_EQ(describe(read.records[0]), describe(r));

  std::string no_length = original;  // without DataLength, the length follows the code
  const std::uint64_t length_name = file_u64(no_length, link_at(channel_named(no_length, "CAN_DataFrame.DataLength"), 2));
  no_length.replace(data_of(no_length, length_name), 24, "CAN_DataFrame.DataXXXXXX");
  set_u8(no_length, group_data_offset(no_length) + 14, 9);  // DLC 9 of a classic frame: 8 bytes
  read = test::read_mdf4(no_length);
  ASSERT_EQ(read.records.size(), 1u) << read.error;
  EXPECT_EQ(read.records[0].DataLength, 8u);
}

// The time channel's conversion to seconds, and a start time with a fraction.
TEST(Mdf4ReaderTest, TimesFollowTheStartAndTheConversion) {
  const std::string original = test::write_mdf4({test::can_frame(kStart + 0.5, 1, {})});
  std::string converted = original;
  const std::uint64_t cc = append(converted, block("##CC", {0, 0, 0, 0},
                                                    std::string("\x01\x00\x00\x00\x00\x00\x02\x00", 8) + u64_bytes(0) +
                                                        u64_bytes(0) + std::string("\0\0\0\0\0\0\x24\x40", 8) +
                                                        std::string("\0\0\0\0\0\0\0\x40", 8)));  // 10 + 2 x
  set_file_u64(converted, link_at(channel_named(converted, "time"), 4), cc);
  Mdf4Read read = test::read_mdf4(converted);
  ASSERT_FALSE(read.records.empty()) << read.error;
  EXPECT_EQ(read.records[0].Timestamp, kStart + 11.0);

  std::string fraction = original;
  set_file_u64(fraction, data_of(fraction, 64), 1715675400250000000u);
  read = test::read_mdf4(fraction);
  ASSERT_FALSE(read.records.empty()) << read.error;
  EXPECT_EQ(test::micros_of(read.records[0].Timestamp), 1715675400750000);
}

// The reader asks the stream for small pieces only, whatever the file's size.
TEST(Mdf4ReaderTest, ReadsInPieces) {
  class LargestRead final : public Stream {
   public:
    explicit LargestRead(std::string data) : inner(std::move(data)) {}
    std::int64_t read(void* dst, std::uint64_t n) override {
      largest = std::max(largest, n);
      return inner.read(dst, n);
    }
    std::int64_t tell() override { return inner.tell(); }
    std::int64_t seek(std::int64_t offset, int origin) override { return inner.seek(offset, origin); }
    test::MemoryStream inner;
    std::uint64_t largest = 0;
  };
  LargestRead stream(test::read_file(test::mdf4_sample("can_large.mf4")));
  auto reader = mdf4_reader_create();
  ASSERT_TRUE(reader->open(&stream)) << reader->error();
  BusRecord r;
  std::uint64_t n = 0;
  while (reader->next(r)) ++n;
  EXPECT_STREQ(reader->error(), "");
  EXPECT_EQ(n, 60003u);
  EXPECT_LE(stream.largest, 64u * 1024);
}

// ---------------------------------------------------------------------------------------------
// What the reader refuses, each with its message

std::string at(std::uint64_t offset) { return std::to_string(offset); }

struct Reject {
  const char* what;
  // Breaks the file; returns the message the reader must give.
  std::function<std::string(std::string& file)> apply;
};

TEST(Mdf4ReaderTest, RefusesWhatItCannotRead) {
  Mdf4WriterOptions stored;  // DT blocks, which the cases below take apart
  stored.compression = Mdf4Compression::None;
  Mdf4WriterOptions small = stored;
  small.block_bytes = 1000;  // data group 0 under a chain of lists
  small.list_links = 2;
  const std::vector<BusRecord> records = test::generated_frames(9, 300, false);
  const std::string listed = test::write_mdf4(records, small);
  std::string zipped = test::write_mdf4(records, stored);
  restore_group(zipped, 0, {}, Store::Deflate, false, 84);
  const std::string last = test::write_mdf4(records, stored);  // one block a group, the remote group's last

  auto dg = [](const std::string& f, int k) { return data_groups(f)[static_cast<std::size_t>(k)]; };
  auto cg0 = [&](const std::string& f) { return channel_group_of(f, dg(f, 0)); };
  auto time0 = [&](const std::string& f) { return file_u64(f, link_at(cg0(f), 1)); };
  auto dl0 = [&](const std::string& f) { return file_u64(f, link_at(dg(f, 0), 2)); };
  auto dz0 = [&](const std::string& f) { return file_u64(f, link_at(dg(f, 0), 2)); };
  auto id0 = [&](const std::string& f) { return channel_named(f, "CAN_DataFrame.ID"); };
  auto cycles0 = [&](const std::string& f) { return data_of(f, cg0(f)) + 8; };

  const std::vector<std::pair<const std::string*, Reject>> cases = {
      {&listed, {"an empty file", [](std::string& f) { f.clear(); return "not an MDF file"; }}},
      {&listed, {"a file shorter than the identification", [](std::string& f) { f.resize(63); return "not an MDF file"; }}},
      {&listed, {"another format", [](std::string& f) { f.replace(0, 8, "MDX     "); return "not an MDF file"; }}},
      {&listed, {"version 3.30", [](std::string& f) {
         f.replace(8, 4, "3.30");
         set_u8(f, 28, 330 & 0xFF);
         set_u8(f, 29, 330 >> 8);
         return "MDF version 3.30 is not supported";
       }}},
      {&listed, {"version 5.00", [](std::string& f) {
         set_u8(f, 28, 500 & 0xFF);
         set_u8(f, 29, 500 >> 8);
         return "MDF version 5.00 is not supported";
       }}},
      {&listed, {"an unfinalized identification", [](std::string& f) {
         f.replace(0, 8, "UnFinMF ");
         return "unfinalized MDF file is not supported";
       }}},
      {&listed, {"unfinalized flags", [](std::string& f) {
         set_u8(f, 60, 1);
         return "unfinalized MDF file is not supported";
       }}},
      {&listed, {"a file cut in the header block", [](std::string& f) {
         f.resize(100);
         return "the ##HD block at offset 64 reaches past the end of the file";
       }}},
      {&listed, {"a file cut in a data group block", [&](std::string& f) {
         const std::uint64_t d = dg(f, 0);
         f.resize(d + 30);
         return "the ##DG block at offset " + at(d) + " reaches past the end of the file";
       }}},
      {&last, {"a file cut in the data", [&](std::string& f) {
         const std::uint64_t dt = file_u64(f, link_at(dg(f, 2), 2));
         f.resize(dt + 24 + 40);
         return "the ##DT block at offset " + at(dt) + " reaches past the end of the file";
       }}},
      {&listed, {"a link past the end of the file", [&](std::string& f) {
         set_file_u64(f, link_at(64, 0), f.size() + 64);
         return "bad link to offset " + at(f.size() + 64) + " where a ##DG block belongs";
       }}},
      {&listed, {"a link into the identification", [&](std::string& f) {
         set_file_u64(f, link_at(64, 0), 8);
         return "bad link to offset 8 where a ##DG block belongs";
       }}},
      {&listed, {"a link into a block's middle", [&](std::string& f) {
         const std::uint64_t c = cg0(f) + 8;
         set_file_u64(f, link_at(dg(f, 0), 1), c);
         return "bad block id at offset " + at(c) + ": expected ##CG";
       }}},
      {&listed, {"a link to the wrong kind of block", [&](std::string& f) {
         const std::uint64_t t = time0(f);
         set_file_u64(f, link_at(dg(f, 0), 1), t);
         return "bad block id at offset " + at(t) + ": expected ##CG, found ##CN";
       }}},
      {&listed, {"a block shorter than its links and data", [&](std::string& f) {
         const std::uint64_t t = time0(f);
         set_file_u64(f, t + 8, 100);
         return "bad length of the ##CN block at offset " + at(t);
       }}},
      {&listed, {"a length past the end of the file", [&](std::string& f) {
         const std::uint64_t name = file_u64(f, link_at(time0(f), 2));
         set_file_u64(f, name + 8, 1000000000000);
         return "the ##TX block at offset " + at(name) + " reaches past the end of the file";
       }}},
      {&listed, {"too few links", [&](std::string& f) {
         const std::uint64_t c = cg0(f);
         set_file_u64(f, c + 16, 3);
         return "too few links in the ##CG block at offset " + at(c);
       }}},
      {&listed, {"record ids", [&](std::string& f) {
         set_u8(f, data_of(f, dg(f, 0)), 1);
         return "data group 0: unsorted data group is not supported";
       }}},
      {&listed, {"two channel groups in a data group", [&](std::string& f) {
         set_file_u64(f, link_at(channel_group_of(f, dg(f, 1)), 0), cg0(f));
         return "data group 1: unsorted data group is not supported";
       }}},
      {&listed, {"a variable-length channel group", [&](std::string& f) {
         set_u8(f, data_of(f, cg0(f)) + 16, 7);
         return "data group 0: variable-length channel group is not supported";
       }}},
      {&listed, {"no time channel", [&](std::string& f) {
         set_u8(f, data_of(f, time0(f)), 0);
         return "data group 0 (CAN_DataFrame): no time channel";
       }}},
      {&listed, {"a virtual time channel", [&](std::string& f) {
         set_u8(f, data_of(f, time0(f)), 3);
         return "data group 0 (CAN_DataFrame): virtual time channel is not supported";
       }}},
      {&listed, {"a time conversion by table", [&](std::string& f) {
         const std::uint64_t cc = append(f, block("##CC", {0, 0, 0, 0}, std::string("\x03", 1) + std::string(23, '\0')));
         set_file_u64(f, link_at(time0(f), 4), cc);
         return "data group 0 (CAN_DataFrame): time conversion type 3 is not supported";
       }}},
      {&listed, {"a time in text", [&](std::string& f) {
         set_u8(f, data_of(f, time0(f)) + 2, 7);
         return "data group 0: channel time has data type 7";
       }}},
      {&listed, {"an identifier as a float", [&](std::string& f) {
         set_u8(f, data_of(f, id0(f)) + 2, 4);
         return "data group 0: channel ID has data type 4";
       }}},
      {&listed, {"a channel outside its record", [&](std::string& f) {
         set_u32(f, data_of(f, id0(f)) + 4, 81);
         return "data group 0: channel ID lies outside its 84-byte records";
       }}},
      {&listed, {"a channel of 65 bits", [&](std::string& f) {
         set_u32(f, data_of(f, channel_named(f, "CAN_DataFrame.DLC")) + 8, 65);
         return "data group 0: channel DLC has 65 bits at bit 0";
       }}},
      {&listed, {"data bytes not in whole bytes", [&](std::string& f) {
         set_u8(f, data_of(f, channel_named(f, "CAN_DataFrame.DataBytes")) + 3, 1);
         return "data group 0: channel DataBytes has 512 bits at bit 1";
       }}},
      {&listed, {"huge records", [&](std::string& f) {
         set_u32(f, data_of(f, cg0(f)) + 24, 100000);
         return "data group 0 (CAN_DataFrame): records of 100000 bytes are not supported";
       }}},
      {&listed, {"channels of two kinds", [&](std::string& f) {
         const std::uint64_t name = file_u64(f, link_at(id0(f), 2));
         f.replace(data_of(f, name), 16, std::string("LIN_Frame.ID\0\0\0\0", 16));
         return "data group 0 mixes CAN_DataFrame and LIN_Frame channels";
       }}},
      {&listed, {"channels in a loop", [&](std::string& f) {
         const std::uint64_t esi = channel_named(f, "CAN_DataFrame.ESI");
         set_file_u64(f, link_at(esi, 0), channel_named(f, "CAN_DataFrame.BusChannel"));
         return "data group 0: its channels loop";
       }}},
      {&listed, {"data groups in a loop", [&](std::string& f) {
         set_file_u64(f, link_at(dg(f, 2), 0), dg(f, 1));
         return "the data groups loop";
       }}},
      {&listed, {"data blocks shared by two groups", [&](std::string& f) {
         set_file_u64(f, link_at(dg(f, 1), 2), file_u64(f, link_at(dg(f, 0), 2)));
         set_file_u64(f, cycles0(f) + (channel_group_of(f, dg(f, 1)) - cg0(f)), file_u64(f, cycles0(f)));
         return "data group 1: its data blocks loop or are shared";
       }}},
      {&listed, {"no data group", [&](std::string& f) {
         set_file_u64(f, link_at(64, 0), 0);
         return "no bus-logging data group";
       }}},
      {&listed, {"more records declared than stored", [&](std::string& f) {
         const std::uint64_t n = file_u64(f, cycles0(f));
         set_file_u64(f, cycles0(f), n + 1);
         return "data group 0 (CAN_DataFrame): the data ends after " + at(n) + " of " + at(n + 1) + " records";
       }}},
      {&listed, {"a list that counts more than it links", [&](std::string& f) {
         const std::uint64_t l = dl0(f);
         set_u32(f, data_of(f, l) + 4, 3);
         return "the data list at offset " + at(l) + " counts 3 blocks but links 2";
       }}},
      {&listed, {"lists in a loop", [&](std::string& f) {
         const std::uint64_t l = dl0(f);
         set_file_u64(f, link_at(l, 0), l);
         return "data group 0: its data lists loop";
       }}},
      {&listed, {"a chain of lists leading back to its first", [&](std::string& f) {
         const std::uint64_t second = file_u64(f, link_at(dl0(f), 0));
         set_file_u64(f, link_at(second, 0), dl0(f));
         return "data group 0: its data lists loop";
       }}},
      {&listed, {"a list that lists a list", [&](std::string& f) {
         const std::uint64_t l = dl0(f);
         set_file_u64(f, link_at(l, 1), l);
         return "bad block id at offset " + at(l) + ": expected ##DT or ##DZ, found ##DL";
       }}},
      {&listed, {"data in a text block", [&](std::string& f) {
         set_file_u64(f, link_at(dg(f, 0), 2), file_u64(f, link_at(time0(f), 2)));
         return "data group 0: data in a ##TX block is not supported";
       }}},
      {&zipped, {"compression type 2", [&](std::string& f) {
         set_u8(f, data_of(f, dz0(f)) + 2, 2);
         return "data group 0: compression type 2 is not supported";
       }}},
      {&zipped, {"compressed data of another kind", [&](std::string& f) {
         f.replace(data_of(f, dz0(f)), 2, "SD");
         return "data group 0: the DZ block at offset " + at(dz0(f)) + " does not hold record data";
       }}},
      {&zipped, {"a block that inflates past the limit", [&](std::string& f) {
         set_file_u64(f, data_of(f, dz0(f)) + 8, kMdf4MaxInflated + 1);
         return "the DZ block at offset " + at(dz0(f)) + " inflates to 67108865 bytes, more than 67108864";
       }}},
      {&zipped, {"a block that claims more than deflate can give", [&](std::string& f) {
         const std::uint64_t claim = file_u64(f, data_of(f, dz0(f)) + 16) * 1040;
         set_file_u64(f, data_of(f, dz0(f)) + 8, claim);
         return "the DZ block at offset " + at(dz0(f)) + " cannot inflate to " + at(claim) + " bytes";
       }}},
      {&zipped, {"compressed bytes longer than the block", [&](std::string& f) {
         set_file_u64(f, data_of(f, dz0(f)) + 16, file_u64(f, dz0(f) + 8));
         return "bad length of the ##DZ block at offset " + at(dz0(f));
       }}},
      {&zipped, {"corrupt compressed bytes", [&](std::string& f) {
         const std::uint64_t z = data_of(f, dz0(f)) + 24;
         for (std::uint64_t i = 10; i < 60; ++i) f[z + i] = static_cast<char>(f[z + i] ^ 0x5A);
         return "the DZ block at offset " + at(dz0(f)) + " does not inflate to its " +
                at(file_u64(f, data_of(f, dz0(f)) + 8)) + " bytes";
       }}},
      {&zipped, {"a block that inflates to more than it says", [&](std::string& f) {
         const std::uint64_t n = file_u64(f, data_of(f, dz0(f)) + 8) - 1;
         set_file_u64(f, data_of(f, dz0(f)) + 8, n);
         return "the DZ block at offset " + at(dz0(f)) + " does not inflate to its " + at(n) + " bytes";
       }}},
      {&zipped, {"a transposition of 0-byte records", [&](std::string& f) {
         set_u8(f, data_of(f, dz0(f)) + 2, 1);
         return "the DZ block at offset " + at(dz0(f)) + " transposes records of 0 bytes";
       }}},
  };
  for (const auto& [base, c] : cases) {
    SCOPED_TRACE(c.what);
    std::string file = *base;
    const std::string want = c.apply(file);
    Mdf4Read read = test::read_mdf4(file);
    EXPECT_EQ(read.error, want);
    EXPECT_EQ(read.broken, std::vector<std::string>{});
  }
}

TEST(Mdf4ReaderTest, ReadErrorsAreReported) {
  const std::string file = test::write_mdf4(test::generated_frames(2, 50));
  for (int from = 1; from < 300; ++from) {
    test::MemoryStream stream(file);
    stream.fail_read_from = from;
    auto reader = mdf4_reader_create();
    bool ok = reader->open(&stream);
    BusRecord r;
    std::size_t n = 0;
    while (ok && reader->next(r)) ++n;
    if (stream.reads < from) {
      EXPECT_STREQ(reader->error(), "");  // every read done before the failure would have come
      EXPECT_EQ(n, 50u);
      break;
    }
    EXPECT_EQ(std::string(reader->error()).rfind("could not read at offset ", 0), 0u) << reader->error();
  }
}

TEST(Mdf4ReaderTest, OpensOnceAndNeedsAStream) {
  auto reader = mdf4_reader_create();
  EXPECT_FALSE(reader->open(nullptr));
  EXPECT_STREQ(reader->error(), "no input");
  BusRecord r;
  EXPECT_FALSE(reader->next(r));
  test::MemoryStream stream(test::write_mdf4(test::generated_frames(2, 5)));
  auto second = mdf4_reader_create();
  ASSERT_TRUE(second->open(&stream));
  EXPECT_FALSE(second->open(&stream));
  EXPECT_STREQ(second->error(), "the reader has opened a file already");
}

}  // namespace
}  // namespace quarn
