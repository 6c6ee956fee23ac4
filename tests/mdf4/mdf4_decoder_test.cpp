#include "mdf4/mdf4_decoder.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "base/platform.h"
#include "mdf4/mdf4_data.h"
#include "support/bus_records.h"
#include "support/mdf4_files.h"
#include "support/mdf4_logger_files.h"
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
    blocks.push_back(append(file, s == Store::Plain     ? block("##DT", {}, piece)
                                  : s == Store::Deflate ? dz_block(piece, 0)
                                                        : dz_block(piece, record_size)));
    at += n;
  }
  std::uint64_t target = blocks[0];
  if (blocks.size() > 1 || hl) {
    std::string list_data =
        std::string(1, '\0') + std::string(3, '\0') + u32_bytes(static_cast<std::uint32_t>(blocks.size()));
    for (std::uint64_t o : offsets) list_data += u64_bytes(o);
    std::vector<std::uint64_t> links = {0};
    links.insert(links.end(), blocks.begin(), blocks.end());
    target = append(file, block("##DL", links, list_data));
    if (hl) target = append(file, block("##HL", {target}, std::string("\x01\x00\x00", 3) + std::string(5, '\0')));
  }
  set_file_u64(file, link_at(data_groups(file)[k], 2), target);
}

// Data group `k` of a file with one data block for it stored anew at the end of the file, `tail`
// after its records.
void add_tail(std::string& file, std::size_t k, const std::string& tail) {
  const std::uint64_t link = link_at(data_groups(file)[k], 2);
  const std::uint64_t dt = file_u64(file, link);
  const std::string data = file.substr(dt + 24, file_u64(file, dt + 8) - 24);
  set_file_u64(file, link, append(file, block("##DT", {}, data + tail)));
}

// Where the first record of data group 0 starts, in a file quarn wrote with one block for it.
std::uint64_t group_data_offset(const std::string& file) {
  return file_u64(file, link_at(data_groups(file)[0], 2)) + 24;
}

// The channel groups of a data group, in their chain's order.
std::vector<std::uint64_t> channel_groups(const std::string& file, std::uint64_t dg) {
  std::vector<std::uint64_t> out;
  for (std::uint64_t cg = channel_group_of(file, dg); cg != 0 && out.size() < 100;
       cg = file_u64(file, link_at(cg, 0))) {
    out.push_back(cg);
  }
  return out;
}

// The records of the first data group of a file with 1-byte record ids and one data block: each
// one's id and where it starts after the id.
struct RunRecord {
  std::uint64_t id;
  std::uint64_t at;
};
std::vector<RunRecord> run_records(const std::string& file) {
  const std::uint64_t dg = data_groups(file)[0];
  std::vector<std::pair<std::uint64_t, std::uint64_t>> sizes;  // id, size (0: a variable-length value)
  for (std::uint64_t cg : channel_groups(file, dg)) {
    const std::uint64_t d = data_of(file, cg);
    const bool variable = (static_cast<unsigned char>(file[d + 16]) & 1) != 0;
    sizes.emplace_back(file_u64(file, d), variable ? 0 : (file_u64(file, d + 24) & 0xFFFFFFFFu));
  }
  const std::uint64_t dt = file_u64(file, link_at(dg, 2));
  std::vector<RunRecord> out;
  for (std::uint64_t at = dt + 24; at < dt + file_u64(file, dt + 8);) {
    const std::uint64_t id = static_cast<unsigned char>(file[at++]);
    out.push_back({id, at});
    std::uint64_t size = 0;
    for (const auto& [known, n] : sizes) {
      if (known == id) size = n != 0 ? n : 4 + (file_u64(file, at) & 0xFFFFFFFFu);
    }
    at += size;
  }
  return out;
}

// Where the `n`-th record of the given id starts after its id.
std::uint64_t nth_record(const std::string& file, std::uint64_t id, std::size_t n) {
  for (const RunRecord& r : run_records(file)) {
    if (r.id == id && n-- == 0) return r.at;
  }
  return 0;
}

// Renames the channel `name` so that the reader no longer knows it: its member part turns to X.
void hide(std::string& file, const std::string& name) {
  const std::uint64_t text = data_of(file, file_u64(file, link_at(channel_named(file, name), 2)));
  for (std::size_t i = name.find('.') + 1; i < name.size(); ++i) file[text + i] = 'X';
}

// ---------------------------------------------------------------------------------------------
// Round trips

TEST(Mdf4DecoderTest, GivesBackWhatTheWriterTookToTheMicrosecond) {
  Mdf4WriterOptions small;
  small.block_bytes = 700;  // a few records a block: many list boundaries
  small.list_links = 5;
  Mdf4WriterOptions long_lists = small;  // lists of more links than the reader takes at once
  long_lists.list_links = 100;
  const std::vector<BusRecord> records = test::generated_frames(21, 5000);
  for (const Mdf4WriterOptions& options : {Mdf4WriterOptions{}, small, long_lists}) {
    Mdf4Read read = test::read_mdf4(test::write_mdf4(records, options));
    ASSERT_TRUE(read.opened) << read.error;
    EXPECT_EQ(read.error, "");
    EXPECT_EQ(read.broken, std::vector<std::string>{});
    const std::vector<BusRecord> want = test::in_read_order(records);
    ASSERT_EQ(describe(read.records), describe(want));  // exact times, as hex floats
    for (std::size_t i = 0; i < want.size(); ++i) {
      ASSERT_EQ(test::micros_of(read.records[i].Timestamp), test::micros_of(want[i].Timestamp));
    }
  }
}

TEST(Mdf4DecoderTest, EveryKindAndEveryCode) {
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
  error.Can.BusChannel = 2;
  records.push_back(error);
  // What a logger saw of the broken frame: every field comes back, the error type too.
  BusRecord seen = test::can_frame(t, 0x18FEF100, {0xAA, 0xBB, 0xCC});
  seen.Kind = CAN_ErrorFrame;
  seen.Can.IDE = seen.Can.Dir = 1;
  seen.Can.BusChannel = 5;
  seen.Can.ErrorType = -3;
  records.push_back(seen);
  BusRecord seen_fd = test::can_frame(t, 0x7F0, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});
  seen_fd.Kind = CAN_ErrorFrame;
  seen_fd.Can.EDL = seen_fd.Can.BRS = seen_fd.Can.ESI = 1;
  seen_fd.Can.DLC = 9;
  seen_fd.Can.ErrorType = 6;
  records.push_back(seen_fd);
  records.push_back(test::lin_frame(t, 0x3F, {1, 2, 3, 4, 5, 6, 7, 8}));
  records.push_back(test::lin_frame(t + 1, 0, {}));
  Mdf4Read read = test::read_mdf4(test::write_mdf4(records));
  EXPECT_EQ(read.error, "");
  EXPECT_EQ(describe(read.records), describe(test::in_read_order(records)));
}

// Data blocks of other writers: compressed, transposed, cut across records, listed by HL.
TEST(Mdf4DecoderTest, ReadsEveryWayOfStoringTheData) {
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
  const std::vector<std::string> want = describe(test::in_read_order(records));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string file = original;
    const std::uint32_t sizes[] = {84, 88, 17, 21};
    for (std::size_t k = 0; k < 4; ++k) restore_group(file, k, c.cuts, c.store, c.hl, sizes[k]);
    Mdf4Read read = test::read_mdf4(file);
    EXPECT_EQ(read.error, "");
    EXPECT_EQ(describe(read.records), want);
  }
}

// Channels are found by name at the places their blocks give, not at quarn's places.
TEST(Mdf4DecoderTest, TakesMembersWhereTheirChannelsSay) {
  BusRecord r = test::can_frame(kStart + 0.5, 0x123, {1, 2, 3});
  r.Can.Dir = 1;
  const std::string original = test::write_mdf4({r});

  std::string swapped = original;  // Dir at byte 73 and EDL at 72
  set_u32(swapped, data_of(swapped, channel_named(swapped, "CAN_DataFrame.Dir")) + 4, 73);
  set_u32(swapped, data_of(swapped, channel_named(swapped, "CAN_DataFrame.EDL")) + 4, 72);
  Mdf4Read read = test::read_mdf4(swapped);
  ASSERT_EQ(read.records.size(), 1u) << read.error;
  EXPECT_EQ(read.records[0].Can.Dir, 0);
  EXPECT_EQ(read.records[0].Can.EDL, 1);

  std::string narrow = original;  // the identifier's low 4 bits, from bit 4 of byte 1
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
  const std::uint64_t name = file_u64(renamed, link_at(channel_named(renamed, "CAN_DataFrame.ESI"), 2));
  renamed.replace(data_of(renamed, name), 17, "CAN_DataFrame.XYZ");
  read = test::read_mdf4(renamed);
  ASSERT_EQ(read.records.size(), 1u) << read.error;
  EXPECT_EQ(describe(read.records[0]), describe(r));

  std::string no_length = original;  // without DataLength, the length follows the code
  const std::uint64_t length_name =
      file_u64(no_length, link_at(channel_named(no_length, "CAN_DataFrame.DataLength"), 2));
  no_length.replace(data_of(no_length, length_name), 24, "CAN_DataFrame.DataXXXXXX");
  set_u8(no_length, group_data_offset(no_length) + 6, 9);  // DLC 9 of a classic frame: 8 bytes
  read = test::read_mdf4(no_length);
  ASSERT_EQ(read.records.size(), 1u) << read.error;
  EXPECT_EQ(read.records[0].DataLength, 8u);
}

// The time channel's conversion to seconds, and a start time with a fraction.
TEST(Mdf4DecoderTest, TimesFollowTheStartAndTheConversion) {
  const std::string original = test::write_mdf4({test::can_frame(kStart + 0.5, 1, {})});
  std::string converted = original;
  const std::uint64_t cc = append(
      converted, block("##CC", {0, 0, 0, 0},
                       std::string("\x01\x00\x00\x00\x00\x00\x02\x00", 8) + u64_bytes(0) + u64_bytes(0) +
                           std::string("\0\0\0\0\0\0\x24\x40", 8) + std::string("\0\0\0\0\0\0\0\x40", 8)));  // 10 + 2 x
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

// What a group lacks besides the members its frames need reads as documented: channel 1, Rx, the
// code from the length, no FD flags.
TEST(Mdf4DecoderTest, MembersAFileLacksTakeTheirDefaults) {
  const std::vector<BusRecord> records = test::generated_frames(12, 400, false);
  std::string file = test::write_mdf4(records);
  for (const char* name : {"CAN_DataFrame.BusChannel", "CAN_DataFrame.Dir", "CAN_DataFrame.DLC", "CAN_DataFrame.EDL",
                           "CAN_DataFrame.BRS", "CAN_DataFrame.ESI", "CAN_ErrorFrame.BusChannel"}) {
    hide(file, name);
  }
  std::vector<BusRecord> want = test::in_read_order(records);
  for (BusRecord& r : want) {
    if (r.Kind == CAN_ErrorFrame) r.Can.BusChannel = 1;
    if (r.Kind != CAN_DataFrame) continue;
    CanTail& c = r.Can;
    c.BusChannel = 1;
    c.Dir = c.EDL = c.BRS = c.ESI = 0;
    // The length stays; as a classic frame's, it makes a code of at most 8.
    c.DLC = static_cast<std::uint8_t>(std::min<std::uint64_t>(r.DataLength, 8));
  }
  Mdf4Read read = test::read_mdf4(file);
  EXPECT_EQ(read.error, "");
  EXPECT_EQ(describe(read.records), describe(want));

  // Of an FD frame the code follows from the length by the FD table.
  BusRecord fd = test::can_frame(kStart, 0x123, {});
  fd.Can.EDL = 1;
  fd.Can.DLC = 13;
  fd.DataLength = 32;
  std::string fd_file = test::write_mdf4({fd});
  hide(fd_file, "CAN_DataFrame.DLC");
  read = test::read_mdf4(fd_file);
  ASSERT_EQ(read.records.size(), 1u) << read.error;
  EXPECT_EQ(read.records[0].Can.DLC, 13);
  EXPECT_EQ(read.records[0].DataLength, 32u);
}

// A group is known by its channels' names, and a bus named by its source must be the frames' bus:
// a CAN group acquired from a LIN bus, or from FlexRay, holds none of its frames; "other" and no
// source at all are taken at their names' word.
TEST(Mdf4DecoderTest, GroupsOfAnotherBusArePassedOver) {
  const std::vector<BusRecord> records = test::generated_frames(13, 500);
  const std::string original = test::write_mdf4(records);
  auto source_of = [](const std::string& f, std::size_t k) {
    return file_u64(f, link_at(channel_group_of(f, data_groups(f)[k]), 3));
  };
  auto without = [&](std::uint32_t kind) {
    std::vector<BusRecord> out;
    for (const BusRecord& r : test::in_read_order(records)) {
      if (r.Kind != kind) out.push_back(r);
    }
    return out;
  };
  struct Case {
    const char* what;
    std::size_t group;  // whose source changes: 3 is the LIN group's own
    std::uint8_t bus_type;
    std::uint32_t lost_kind;  // the frames no longer read, 0 for none
  };
  const Case cases[] = {
      {"LIN frames from a CAN bus", 3, 2, LIN_Frame},
      {"LIN frames from FlexRay", 3, 4, LIN_Frame},
      {"LIN frames from an other bus", 3, 1, 0},
      {"LIN frames from no bus named", 3, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string file = original;
    set_u8(file, data_of(file, source_of(file, c.group)) + 1, c.bus_type);
    Mdf4Read read = test::read_mdf4(file);
    EXPECT_EQ(read.error, "");
    EXPECT_EQ(describe(read.records), describe(c.lost_kind == 0 ? test::in_read_order(records) : without(c.lost_kind)));
  }
  std::string no_source = original;
  set_file_u64(no_source, link_at(channel_group_of(no_source, data_groups(no_source)[3]), 3), 0);
  EXPECT_EQ(describe(test::read_mdf4(no_source).records), describe(test::in_read_order(records)));
  // The three CAN groups share one source: named FlexRay, no group of the file is left.
  std::string flexray = original;
  set_u8(flexray, data_of(flexray, source_of(flexray, 0)) + 1, 4);
  set_u8(flexray, data_of(flexray, source_of(flexray, 3)) + 1, 4);
  EXPECT_EQ(test::read_mdf4(flexray).error, "no bus-logging data group");
}

// With windows far below what the groups need at once, windows go from group to group and are
// loaded again: the frames stay the same, and so does the memory bound. The files take in record
// ids of every width the decoder reads, each read whole.
TEST(Mdf4DecoderTest, TightLimitsChangeNoFrame) {
  const std::vector<BusRecord> records = test::generated_frames(14, 2500);
  test::LoggerLayout unsorted;
  unsorted.block_bytes = 3000;
  unsorted.store = test::Store::kMixed;
  test::LoggerLayout transposed;
  transposed.id_size = 0;
  transposed.signal_data = false;
  transposed.block_bytes = 3000;
  transposed.store = test::Store::kTransposed;
  test::LoggerLayout signal;
  signal.id_size = 0;
  signal.block_bytes = 3000;
  signal.store = test::Store::kDeflate;
  // Record ids of every width, read as little-endian numbers of their whole width.
  test::LoggerLayout ids2 = unsorted;
  ids2.id_size = 2;
  ids2.id_base = 0x1100;
  ids2.signal_data = false;
  ids2.packed = false;
  test::LoggerLayout ids4 = unsorted;
  ids4.id_size = 4;
  ids4.id_base = 0x11223300;
  ids4.hl = true;
  test::LoggerLayout ids8 = unsorted;
  ids8.id_size = 8;
  ids8.id_base = 0x1122334455667700;
  ids8.equal_lengths = true;
  ids8.store = test::Store::kDeflate;
  Mdf4WriterOptions stored;  // DT blocks, whose records restore_group takes apart
  stored.compression = Mdf4Compression::None;
  std::string quarn = test::write_mdf4(records, stored);
  const std::uint32_t sizes[] = {84, 84, 17, 21};
  const std::vector<std::size_t> cuts(100, 3000);  // more than enough pieces: none is left larger
  for (std::size_t k = 0; k < 4; ++k) restore_group(quarn, k, cuts, Store::Alternate, true, sizes[k]);
  const std::vector<BusRecord> logger_order = test::in_logger_order(records);
  const std::vector<BusRecord> quarn_order = test::in_read_order(records);
  struct File {
    const char* what;
    std::string bytes;
    const std::vector<BusRecord>* want;
  };
  const File files[] = {
      {"unsorted, signal data in value groups", test::write_logger_mdf4(records, unsorted), &logger_order},
      {"sorted, transposed", test::write_logger_mdf4(records, transposed), &logger_order},
      {"sorted, signal data in SD blocks", test::write_logger_mdf4(records, signal), &logger_order},
      {"unsorted, 2-byte record ids, fixed data bytes", test::write_logger_mdf4(records, ids2), &logger_order},
      {"unsorted, 4-byte record ids, under an HL", test::write_logger_mdf4(records, ids4), &logger_order},
      {"unsorted, 8-byte record ids beyond 32 bits", test::write_logger_mdf4(records, ids8), &logger_order},
      {"quarn's, plain and transposed blocks under HLs", quarn, &quarn_order},
  };
  Mdf4DecoderLimits tight;
  tight.window_bytes = 1;
  tight.inflated_bytes = 1;
  for (const File& f : files) {
    SCOPED_TRACE(f.what);
    const std::string& file = f.bytes;
    Mdf4Read roomy = test::read_mdf4(file);
    ASSERT_EQ(roomy.error, "");
    EXPECT_EQ(test::describe_us(roomy.records), test::describe_us(*f.want));
    Mdf4Read narrow = test::read_mdf4(file, tight);
    EXPECT_EQ(narrow.error, "");
    EXPECT_EQ(describe(narrow.records), describe(roomy.records));
    // One chunk or tile at the smallest size and one inflated block (of at most 3000 bytes), each
    // with its slack, at any moment.
    EXPECT_LE(narrow.window_peak, mdf4::DataWindows::kMinChunk + 3000 + 2 * mdf4::DataWindows::kSlack);
    EXPECT_GT(roomy.window_peak, narrow.window_peak);
  }
}

// The next DZ block inflates on a thread while the records of one are read: the frames, their
// order and every message are those of reading without it, a block the thread could not inflate
// included.
TEST(Mdf4DecoderTest, InflatingAheadChangesNoFrameAndNoMessage) {
  struct Read {
    std::vector<std::string> records;
    std::string error;
    std::uint64_t ahead = 0;
  };
  auto read = [](const std::string& file, bool ahead) {
    Mdf4DecoderLimits limits;
    limits.inflate_ahead = ahead;
    test::MemoryStream stream(file);
    auto reader = mdf4_decoder_create(limits);
    Read out;
    BusRecord r;
    bool ok = reader->open(&stream);
    while (ok && reader->next(r)) out.records.push_back(test::describe(r));
    out.error = reader->error();
    out.ahead = reader->inflated_ahead();
    return out;
  };
  const std::vector<BusRecord> records = test::generated_frames(31, 6000);
  Mdf4WriterOptions small;
  small.block_bytes = 5000;
  small.list_links = 40;  // lists of more links than the reader takes at once, and chains of them
  Mdf4WriterOptions deflated = small;
  deflated.compression = Mdf4Compression::Deflate;
  for (const Mdf4WriterOptions& options : {small, deflated}) {
    const std::string file = test::write_mdf4(records, options);
    std::vector<std::uint64_t> dz;  // the DZ blocks, in the file's order
    for (std::size_t at = file.find("##DZ"); at != std::string::npos; at = file.find("##DZ", at + 1)) dz.push_back(at);
    ASSERT_GT(dz.size(), 20u);

    const Read alone = read(file, false);
    const Read ahead = read(file, true);
    ASSERT_EQ(alone.error, "");
    EXPECT_EQ(ahead.error, "");
    EXPECT_EQ(ahead.records, alone.records);
    EXPECT_EQ(ahead.records, describe(test::in_read_order(records)));
    EXPECT_EQ(alone.ahead, 0u);
    // Only a machine of one core has no core to spare for the thread.
    const bool spare = platform_online_cores() > 1;
    EXPECT_EQ(ahead.ahead > dz.size() / 2, spare) << ahead.ahead;

    // A byte of the deflated data of a block in the middle, never the first one read, changed.
    const std::uint64_t bad = dz[dz.size() / 2];
    std::string broken = file;
    const std::uint64_t data = bad + 24 + 8 * file_u64(broken, bad + 16);
    broken[data + 24 + 40] = static_cast<char>(broken[data + 24 + 40] ^ 0x55);
    const Read alone_broken = read(broken, false);
    const Read ahead_broken = read(broken, true);
    EXPECT_EQ(alone_broken.error, "the DZ block at offset " + std::to_string(bad) + " does not inflate to its " +
                                      std::to_string(file_u64(broken, data + 8)) + " bytes");
    EXPECT_EQ(ahead_broken.error, alone_broken.error);
    EXPECT_EQ(ahead_broken.records, alone_broken.records);
    EXPECT_EQ(ahead_broken.ahead > 0, spare);

    // A block the thread would not take, for a compression type no reader knows: found where
    // the block is opened, as before.
    std::string unknown = file;
    set_u8(unknown, data + 2, 7);
    const Read alone_unknown = read(unknown, false);
    const Read ahead_unknown = read(unknown, true);
    EXPECT_NE(alone_unknown.error, "");
    EXPECT_EQ(ahead_unknown.error, alone_unknown.error);
    EXPECT_EQ(ahead_unknown.records, alone_unknown.records);
  }
}

// The reader asks the stream for pieces of bounded size only, whatever the file's size.
TEST(Mdf4DecoderTest, ReadsInPieces) {
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
  auto reader = mdf4_decoder_create();
  ASSERT_TRUE(reader->open(&stream)) << reader->error();
  BusRecord r;
  std::uint64_t n = 0;
  while (reader->next(r)) ++n;
  EXPECT_STREQ(reader->error(), "");
  EXPECT_EQ(n, 60003u);
  EXPECT_LE(stream.largest, mdf4::DataWindows::kMaxChunk);
}

// ---------------------------------------------------------------------------------------------
// What the reader refuses, each with its message

std::string at(std::uint64_t offset) { return std::to_string(offset); }

struct Reject {
  const char* what;
  // Breaks the file; returns the message the reader must give.
  std::function<std::string(std::string& file)> apply;
};

TEST(Mdf4DecoderTest, RefusesWhatItCannotRead) {
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
  const std::string with_lin = test::write_mdf4(test::generated_frames(9, 300), stored);
  const std::string logger = test::write_logger_mdf4(records, test::LoggerLayout{});  // 1-byte ids, signal data
  test::LoggerLayout sorted_layout;
  sorted_layout.id_size = 0;
  const std::string sorted = test::write_logger_mdf4(records, sorted_layout);  // signal data in SD blocks

  auto dg = [](const std::string& f, int k) { return data_groups(f)[static_cast<std::size_t>(k)]; };
  auto cg0 = [&](const std::string& f) { return channel_group_of(f, dg(f, 0)); };
  auto time0 = [&](const std::string& f) { return file_u64(f, link_at(cg0(f), 1)); };
  auto dl0 = [&](const std::string& f) { return file_u64(f, link_at(dg(f, 0), 2)); };
  auto dz0 = [&](const std::string& f) { return file_u64(f, link_at(dg(f, 0), 2)); };
  auto id0 = [&](const std::string& f) { return channel_named(f, "CAN_DataFrame.ID"); };
  auto cycles0 = [&](const std::string& f) { return data_of(f, cg0(f)) + 8; };

  const std::vector<std::pair<const std::string*, Reject>> cases = {
      {&listed,
       {"an empty file",
        [](std::string& f) {
          f.clear();
          return "not an MDF file";
        }}},
      {&listed,
       {"a file shorter than the identification",
        [](std::string& f) {
          f.resize(63);
          return "not an MDF file";
        }}},
      {&listed,
       {"another format",
        [](std::string& f) {
          f.replace(0, 8, "MDX     ");
          return "not an MDF file";
        }}},
      {&listed,
       {"version 3.30",
        [](std::string& f) {
          f.replace(8, 4, "3.30");
          set_u8(f, 28, 330 & 0xFF);
          set_u8(f, 29, 330 >> 8);
          return "MDF version 3.30 is not supported";
        }}},
      {&listed,
       {"version 5.00",
        [](std::string& f) {
          set_u8(f, 28, 500 & 0xFF);
          set_u8(f, 29, 500 >> 8);
          return "MDF version 5.00 is not supported";
        }}},
      {&listed,
       {"an unfinalized identification",
        [](std::string& f) {
          f.replace(0, 8, "UnFinMF ");
          return "unfinalized MDF file is not supported";
        }}},
      {&listed,
       {"unfinalized flags",
        [](std::string& f) {
          set_u8(f, 60, 1);
          return "unfinalized MDF file is not supported";
        }}},
      {&listed,
       {"a file cut in the header block",
        [](std::string& f) {
          f.resize(100);
          return "the ##HD block at offset 64 reaches past the end of the file";
        }}},
      {&listed,
       {"a file cut in a data group block",
        [&](std::string& f) {
          const std::uint64_t d = dg(f, 0);
          f.resize(d + 30);
          return "the ##DG block at offset " + at(d) + " reaches past the end of the file";
        }}},
      {&last,
       {"a file cut in the data",
        [&](std::string& f) {
          const std::uint64_t dt = file_u64(f, link_at(dg(f, 2), 2));
          f.resize(dt + 24 + 40);
          return "the ##DT block at offset " + at(dt) + " reaches past the end of the file";
        }}},
      {&listed,
       {"a link past the end of the file",
        [&](std::string& f) {
          set_file_u64(f, link_at(64, 0), f.size() + 64);
          return "bad link to offset " + at(f.size() + 64) + " where a ##DG block belongs";
        }}},
      {&listed,
       {"a link into the identification",
        [&](std::string& f) {
          set_file_u64(f, link_at(64, 0), 8);
          return "bad link to offset 8 where a ##DG block belongs";
        }}},
      {&listed,
       {"a link into a block's middle",
        [&](std::string& f) {
          const std::uint64_t c = cg0(f) + 8;
          set_file_u64(f, link_at(dg(f, 0), 1), c);
          return "bad block id at offset " + at(c) + ": expected ##CG";
        }}},
      {&listed,
       {"a link to the wrong kind of block",
        [&](std::string& f) {
          const std::uint64_t t = time0(f);
          set_file_u64(f, link_at(dg(f, 0), 1), t);
          return "bad block id at offset " + at(t) + ": expected ##CG, found ##CN";
        }}},
      {&listed,
       {"a block shorter than its links and data",
        [&](std::string& f) {
          const std::uint64_t t = time0(f);
          set_file_u64(f, t + 8, 100);
          return "bad length of the ##CN block at offset " + at(t);
        }}},
      {&listed,
       {"a length past the end of the file",
        [&](std::string& f) {
          const std::uint64_t name = file_u64(f, link_at(time0(f), 2));
          set_file_u64(f, name + 8, 1000000000000);
          return "the ##TX block at offset " + at(name) + " reaches past the end of the file";
        }}},
      {&listed,
       {"too few links",
        [&](std::string& f) {
          const std::uint64_t c = cg0(f);
          set_file_u64(f, c + 16, 3);
          return "too few links in the ##CG block at offset " + at(c);
        }}},
      {&listed,
       {"record ids the records do not have",
        [&](std::string& f) {
          set_u8(f, data_of(f, dg(f, 0)), 1);  // the first byte of the first record's time is taken for one
          const std::uint64_t first = dl0(f);
          const std::uint64_t dt = file_u64(f, link_at(first, 1));
          return "data group 0: a record has the unknown record id " + at(static_cast<unsigned char>(f[dt + 24]));
        }}},
      {&listed,
       {"two channel groups without record ids",
        [&](std::string& f) {
          set_file_u64(f, link_at(channel_group_of(f, dg(f, 1)), 0), cg0(f));
          return "data group 1: several channel groups without record ids";
        }}},
      {&listed,
       {"a variable-length channel group with channels",
        [&](std::string& f) {
          set_u8(f, data_of(f, cg0(f)) + 16, 7);
          return "data group 0: a variable-length channel group has channels";
        }}},
      {&listed,
       {"no time channel",
        [&](std::string& f) {
          set_u8(f, data_of(f, time0(f)), 0);
          return "data group 0 (CAN_DataFrame): no time channel";
        }}},
      {&listed,
       {"a virtual time channel",
        [&](std::string& f) {
          set_u8(f, data_of(f, time0(f)), 3);
          return "data group 0 (CAN_DataFrame): virtual time channel is not supported";
        }}},
      {&listed,
       {"a time conversion by table",
        [&](std::string& f) {
          const std::uint64_t cc =
              append(f, block("##CC", {0, 0, 0, 0}, std::string("\x03", 1) + std::string(23, '\0')));
          set_file_u64(f, link_at(time0(f), 4), cc);
          return "data group 0 (CAN_DataFrame): time conversion type 3 is not supported";
        }}},
      {&listed,
       {"a time in text",
        [&](std::string& f) {
          set_u8(f, data_of(f, time0(f)) + 2, 7);
          return "data group 0: channel time has data type 7";
        }}},
      {&listed,
       {"an identifier as a float",
        [&](std::string& f) {
          set_u8(f, data_of(f, id0(f)) + 2, 4);
          return "data group 0: channel ID has data type 4";
        }}},
      {&listed,
       {"a channel outside its record",
        [&](std::string& f) {
          set_u32(f, data_of(f, id0(f)) + 4, 81);
          return "data group 0: channel ID lies outside its 84-byte records";
        }}},
      {&listed,
       {"a channel of 65 bits",
        [&](std::string& f) {
          set_u32(f, data_of(f, channel_named(f, "CAN_DataFrame.DLC")) + 8, 65);
          return "data group 0: channel DLC has 65 bits at bit 0";
        }}},
      {&listed,
       {"data bytes not in whole bytes",
        [&](std::string& f) {
          set_u8(f, data_of(f, channel_named(f, "CAN_DataFrame.DataBytes")) + 3, 1);
          return "data group 0: channel DataBytes has 512 bits at bit 1";
        }}},
      {&listed,
       {"huge records",
        [&](std::string& f) {
          set_u32(f, data_of(f, cg0(f)) + 24, 100000);
          return "data group 0 (CAN_DataFrame): records of 100000 bytes are not supported";
        }}},
      {&listed,
       {"channels of two kinds",
        [&](std::string& f) {
          const std::uint64_t name = file_u64(f, link_at(id0(f), 2));
          f.replace(data_of(f, name), 16, std::string("LIN_Frame.ID\0\0\0\0", 16));
          return "data group 0 mixes CAN_DataFrame and LIN_Frame channels";
        }}},
      {&listed,
       {"channels in a loop",
        [&](std::string& f) {
          const std::uint64_t esi = channel_named(f, "CAN_DataFrame.ESI");
          set_file_u64(f, link_at(esi, 0), channel_named(f, "CAN_DataFrame.BusChannel"));
          return "data group 0: its channels loop";
        }}},
      {&listed,
       {"data groups in a loop",
        [&](std::string& f) {
          set_file_u64(f, link_at(dg(f, 2), 0), dg(f, 1));
          return "the data groups loop";
        }}},
      {&listed,
       {"data blocks shared by two groups",
        [&](std::string& f) {
          set_file_u64(f, link_at(dg(f, 1), 2), file_u64(f, link_at(dg(f, 0), 2)));
          set_file_u64(f, cycles0(f) + (channel_group_of(f, dg(f, 1)) - cg0(f)), file_u64(f, cycles0(f)));
          // The error group's records as long as the data frames', its time where theirs lies, so
          // that it reads their records as well-formed ones of its own.
          const std::uint64_t cg1 = channel_group_of(f, dg(f, 1));
          set_u32(f, data_of(f, cg1) + 24, 84);
          set_u32(f, data_of(f, file_u64(f, link_at(cg1, 1))) + 4, 76);
          // Both are read side by side; the one reading when the blocks add up to more than the
          // file is named.
          return "data group 1: its data blocks loop or are shared";
        }}},
      {&listed,
       {"no data group",
        [&](std::string& f) {
          set_file_u64(f, link_at(64, 0), 0);
          return "no bus-logging data group";
        }}},
      {&listed,
       {"more records declared than stored",
        [&](std::string& f) {
          const std::uint64_t n = file_u64(f, cycles0(f));
          set_file_u64(f, cycles0(f), n + 1);
          return "data group 0 (CAN_DataFrame): the data ends after " + at(n) + " of " + at(n + 1) + " records";
        }}},
      {&listed,
       {"a list that counts more than it links",
        [&](std::string& f) {
          const std::uint64_t l = dl0(f);
          set_u32(f, data_of(f, l) + 4, 3);
          return "the data list at offset " + at(l) + " counts 3 blocks but links 2";
        }}},
      {&listed,
       {"lists in a loop",
        [&](std::string& f) {
          const std::uint64_t l = dl0(f);
          set_file_u64(f, link_at(l, 0), l);
          return "data group 0: its data lists loop";
        }}},
      {&listed,
       {"a chain of lists leading back to its first",
        [&](std::string& f) {
          const std::uint64_t second = file_u64(f, link_at(dl0(f), 0));
          set_file_u64(f, link_at(second, 0), dl0(f));
          return "data group 0: its data lists loop";
        }}},
      {&listed,
       {"a list that lists a list",
        [&](std::string& f) {
          const std::uint64_t l = dl0(f);
          set_file_u64(f, link_at(l, 1), l);
          return "bad block id at offset " + at(l) + ": expected ##DT or ##DZ, found ##DL";
        }}},
      {&listed,
       {"data in a text block",
        [&](std::string& f) {
          set_file_u64(f, link_at(dg(f, 0), 2), file_u64(f, link_at(time0(f), 2)));
          return "data group 0: data in a ##TX block is not supported";
        }}},
      {&zipped,
       {"compression type 2",
        [&](std::string& f) {
          set_u8(f, data_of(f, dz0(f)) + 2, 2);
          return "data group 0: compression type 2 is not supported";
        }}},
      {&zipped,
       {"compressed data of another kind",
        [&](std::string& f) {
          f.replace(data_of(f, dz0(f)), 2, "SD");
          return "data group 0: the DZ block at offset " + at(dz0(f)) + " does not hold record data";
        }}},
      {&zipped,
       {"a block that inflates past the limit",
        [&](std::string& f) {
          set_file_u64(f, data_of(f, dz0(f)) + 8, kMdf4MaxInflated + 1);
          return "the DZ block at offset " + at(dz0(f)) + " inflates to 67108865 bytes, more than 67108864";
        }}},
      {&zipped,
       {"a block that claims more than deflate can give",
        [&](std::string& f) {
          const std::uint64_t claim = file_u64(f, data_of(f, dz0(f)) + 16) * 1040;
          set_file_u64(f, data_of(f, dz0(f)) + 8, claim);
          return "the DZ block at offset " + at(dz0(f)) + " cannot inflate to " + at(claim) + " bytes";
        }}},
      {&zipped,
       {"compressed bytes longer than the block",
        [&](std::string& f) {
          set_file_u64(f, data_of(f, dz0(f)) + 16, file_u64(f, dz0(f) + 8));
          return "bad length of the ##DZ block at offset " + at(dz0(f));
        }}},
      {&zipped,
       {"corrupt compressed bytes",
        [&](std::string& f) {
          const std::uint64_t z = data_of(f, dz0(f)) + 24;
          for (std::uint64_t i = 10; i < 60; ++i) f[z + i] = static_cast<char>(f[z + i] ^ 0x5A);
          return "the DZ block at offset " + at(dz0(f)) + " does not inflate to its " +
                 at(file_u64(f, data_of(f, dz0(f)) + 8)) + " bytes";
        }}},
      {&zipped,
       {"a block that inflates to more than it says",
        [&](std::string& f) {
          const std::uint64_t n = file_u64(f, data_of(f, dz0(f)) + 8) - 1;
          set_file_u64(f, data_of(f, dz0(f)) + 8, n);
          return "the DZ block at offset " + at(dz0(f)) + " does not inflate to its " + at(n) + " bytes";
        }}},
      {&zipped,
       {"a transposition of 0-byte records",
        [&](std::string& f) {
          set_u8(f, data_of(f, dz0(f)) + 2, 1);
          return "the DZ block at offset " + at(dz0(f)) + " transposes records of 0 bytes";
        }}},
      {&listed,
       {"data frames without IDE",
        [&](std::string& f) {
          hide(f, "CAN_DataFrame.IDE");
          return "data group 0 (CAN_DataFrame): missing channel CAN_DataFrame.IDE";
        }}},
      {&listed,
       {"remote frames without a length",
        [&](std::string& f) {
          hide(f, "CAN_RemoteFrame.DLC");
          hide(f, "CAN_RemoteFrame.DataLength");
          return "data group 2 (CAN_RemoteFrame): missing channel CAN_RemoteFrame.DataLength (or DLC)";
        }}},
      {&with_lin,
       {"LIN frames without an identifier or data bytes",
        [&](std::string& f) {
          hide(f, "LIN_Frame.ID");
          hide(f, "LIN_Frame.DataBytes");
          return "data group 3 (LIN_Frame): missing channels LIN_Frame.ID, LIN_Frame.DataBytes";
        }}},
      {&listed,
       {"an identifier of a virtual channel",
        [&](std::string& f) {
          set_u8(f, data_of(f, id0(f)), 6);
          return "data group 0: channel ID of type 6 is not supported";
        }}},
      {&last,
       {"frames out of time order",
        [&](std::string& f) {
          const std::uint64_t records0 = file_u64(f, link_at(dg(f, 0), 2)) + 24;
          double t;
          std::memcpy(&t, f.data() + records0 + 3 * 84 + 76, 8);
          t -= 0.5;
          std::memcpy(f.data() + records0 + 4 * 84 + 76, &t, 8);
          return "data group 0 (CAN_DataFrame): frames out of time order at record 4";
        }}},
      {&last,
       {"records past the channel group's count",
        [&](std::string& f) {
          const std::uint64_t n = file_u64(f, cycles0(f)) - 1;
          set_file_u64(f, cycles0(f), n);
          return "unread: data group 0 (CAN_DataFrame): the data holds records past the " + at(n) +
                 " its channel group counts";
        }}},
      {&last,
       {"records where the channel group counts none",
        [&](std::string& f) {
          set_file_u64(f, data_of(f, channel_group_of(f, dg(f, 1))) + 8, 0);
          return std::string(
              "unread: data group 1 (CAN_ErrorFrame): the data holds records past the 0 its channel group counts");
        }}},
      {&last,
       {"a record cut short past the count",
        [&](std::string& f) {
          add_tail(f, 0, std::string("\0\0\0\0\0\0\x01", 7));
          return "unread: data group 0 (CAN_DataFrame): the data ends inside the record after the " +
                 at(file_u64(f, cycles0(f))) + " its channel group counts";
        }}},
      {&logger,
       {"records of an id past its channel group's count",
        [&](std::string& f) {
          const std::uint64_t cycles = data_of(f, channel_groups(f, dg(f, 0))[1]) + 8;  // the data frames'
          const std::uint64_t n = file_u64(f, cycles);
          set_file_u64(f, cycles, n - 2);
          return "unread: data group 0 (CAN_DataFrame): the data holds " + at(n) + " records of id 1, its channel " +
                 "group counts " + at(n - 2);
        }}},
      {&logger,
       {"a record cut short at the end of unsorted data",
        [&](std::string& f) {
          add_tail(f, 0, std::string("\x02\x05\0\0", 4));  // 4 of a remote frame's 16 bytes
          return "unread: data group 0: the data ends inside its last record";
        }}},
      {&last,
       {"a bus group whose channels end after its time",
        [&](std::string& f) {
          set_file_u64(f, link_at(time0(f), 0), 0);
          return "data group 0: a CAN bus channel group of " + at(file_u64(f, cycles0(f))) +
                 " records has no channels but its time";
        }}},
      {&last,
       {"an infinite time",
        [&](std::string& f) {
          const double inf = std::numeric_limits<double>::infinity();
          std::memcpy(f.data() + file_u64(f, link_at(dg(f, 0), 2)) + 24 + 2 * 84 + 76, &inf, 8);
          return "data group 0 (CAN_DataFrame): the time of record 2, inf s, lies outside 1970 to 3000";
        }}},
      {&last,
       {"a time past 3000",
        [&](std::string& f) {
          const double far = 1e300;
          std::memcpy(f.data() + file_u64(f, link_at(dg(f, 0), 2)) + 24 + 5 * 84 + 76, &far, 8);
          return "data group 0 (CAN_DataFrame): the time of record 5, 1e+300 s, lies outside 1970 to 3000";
        }}},
      {&last,
       {"a time before 1970",
        [&](std::string& f) {
          const double early = -1e300;
          std::memcpy(f.data() + file_u64(f, link_at(dg(f, 0), 2)) + 24 + 76, &early, 8);
          return "data group 0 (CAN_DataFrame): the time of record 0, -1e+300 s, lies outside 1970 to 3000";
        }}},
      {&last,
       {"a bus channel wider than a byte",
        [&](std::string& f) {
          set_u32(f, data_of(f, channel_named(f, "CAN_DataFrame.BusChannel")) + 8, 16);
          set_u8(f, file_u64(f, link_at(dg(f, 0), 2)) + 24 + 1, 1);  // the identifier's low byte
          const std::uint64_t channel = static_cast<unsigned char>(f[file_u64(f, link_at(dg(f, 0), 2)) + 24]);
          return "data group 0 (CAN_DataFrame): BusChannel of record 0 is " + at(256 + channel) + ", more than 255";
        }}},
      {&last,
       {"a time that is not a number",
        [&](std::string& f) {
          const double nan = std::nan("");
          std::memcpy(f.data() + file_u64(f, link_at(dg(f, 0), 2)) + 24 + 2 * 84 + 76, &nan, 8);
          return "data group 0 (CAN_DataFrame): the time of record 2 is not a number";
        }}},
      {&listed,
       {"a 4.20 group whose time lies in another group",
        [&](std::string& f) {
          f.replace(8, 4, "4.20");
          set_u8(f, 28, 420 & 0xFF);
          set_u8(f, 29, 420 >> 8);
          set_u8(f, data_of(f, cg0(f)) + 16, 6 | 8);
          return "data group 0 (CAN_DataFrame): column-oriented data groups are not supported";
        }}},
      {&listed,
       {"values in a list of 4.20 columns",
        [&](std::string& f) {
          set_file_u64(f, link_at(dg(f, 0), 2), append(f, block("##LD", {0, 0}, std::string(8, '\0'))));
          return "data group 0: column-oriented data groups are not supported";
        }}},
      {&logger,
       {"record ids of 3 bytes",
        [&](std::string& f) {
          set_u8(f, data_of(f, dg(f, 0)), 3);
          return "data group 0: record ids of 3 bytes are not supported";
        }}},
      {&logger,
       {"two channel groups with one record id",
        [&](std::string& f) {
          set_file_u64(f, data_of(f, channel_groups(f, dg(f, 0))[3]), 1);  // the remote frames'
          return "data group 0: two channel groups have the record id 1";
        }}},
      {&logger,
       {"channel groups in a loop",
        [&](std::string& f) {
          const std::vector<std::uint64_t> cgs = channel_groups(f, dg(f, 0));
          set_file_u64(f, link_at(cgs.back(), 0), cgs[0]);
          return "data group 0: its channel groups loop";
        }}},
      {&logger,
       {"data bytes without signal data",
        [&](std::string& f) {
          set_file_u64(f, link_at(channel_named(f, "CAN_DataFrame.DataBytes"), 5), 0);
          return "data group 0 (CAN_DataFrame): DataBytes has no signal data";
        }}},
      {&logger,
       {"signal data in a group of fixed records",
        [&](std::string& f) {
          const std::uint64_t remote = channel_groups(f, dg(f, 0))[3];
          set_file_u64(f, link_at(channel_named(f, "CAN_DataFrame.DataBytes"), 5), remote);
          return "data group 0 (CAN_DataFrame): the channel group at offset " + at(remote) +
                 " holds no variable-length data";
        }}},
      {&logger,
       {"a signal offset inside a value",
        [&](std::string& f) {
          const std::uint64_t field = nth_record(f, 1, 1) + 15;
          const std::uint64_t offset = file_u64(f, field) + 1;
          set_file_u64(f, field, offset);
          return "data group 0 (CAN_DataFrame): signal data offset " + at(offset) + " is inside a value";
        }}},
      {&logger,
       {"a signal offset that goes back",
        [&](std::string& f) {
          set_file_u64(f, nth_record(f, 1, 2) + 15, 0);
          return "data group 0 (CAN_DataFrame): signal data referenced out of order";
        }}},
      {&logger,
       {"a signal offset past the signal data",
        [&](std::string& f) {
          set_file_u64(f, nth_record(f, 1, 0) + 15, 1000000000);
          return "data group 0 (CAN_DataFrame): the signal data ends before offset 1000000000";
        }}},
      {&sorted,
       {"signal data in a channel group of a sorted data group",
        [&](std::string& f) {
          set_file_u64(f, link_at(channel_named(f, "CAN_DataFrame.DataBytes"), 5), channel_group_of(f, dg(f, 1)));
          return "data group 1 (CAN_DataFrame): signal data in a channel group of a sorted data group";
        }}},
      {&sorted,
       {"signal data in a DT block",
        [&](std::string& f) {
          set_file_u64(f, link_at(channel_named(f, "CAN_DataFrame.DataBytes"), 5), file_u64(f, link_at(dg(f, 1), 2)));
          return "data group 1: signal data in a ##DT block is not supported";
        }}},
      {&sorted,
       {"compressed records where signal data belongs",
        [&](std::string& f) {
          const std::uint64_t z = append(f, dz_block(std::string(100, 'x'), 0));
          set_file_u64(f, link_at(channel_named(f, "CAN_DataFrame.DataBytes"), 5), z);
          return "data group 1: the DZ block at offset " + at(z) + " does not hold signal data";
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

// Zeros where the next record would start, to the end of the data, are room a writer left, as long
// as they cannot be a record: fewer bytes than one, or no record id any group has. A record's worth
// of zeros reads as a frame (identifier 0 at the start time), and is one the traces would lack.
TEST(Mdf4DecoderTest, ZerosPastTheLastRecordAreRoomLeftUnlessTheyMakeARecord) {
  Mdf4WriterOptions stored;
  stored.compression = Mdf4Compression::None;
  const std::vector<BusRecord> records = test::generated_frames(9, 300, false);
  const std::string sorted = test::write_mdf4(records, stored);
  const std::string logger = test::write_logger_mdf4(records, test::LoggerLayout{});
  const auto data_frames =
      std::count_if(records.begin(), records.end(), [](const BusRecord& r) { return r.Kind == CAN_DataFrame; });
  struct Case {
    const char* what;
    const std::string* base;
    std::string tail;
    std::string error;
  };
  const std::vector<Case> cases = {
      {"no room left", &sorted, "", ""},
      {"padding to the next 8 bytes", &sorted, std::string(4, '\0'), ""},
      {"all but a record", &sorted, std::string(83, '\0'), ""},
      {"a whole record of zeros", &sorted, std::string(84, '\0'),
       "unread: data group 0 (CAN_DataFrame): the data holds records past the " + std::to_string(data_frames) +
           " its channel group counts"},
      {"room after unsorted records", &logger, std::string(5000, '\0'), ""},
      {"less than a record id", &logger, std::string(1, '\0'), ""},
      {"zeros, then something", &logger, std::string(300, '\0') + "\x01",
       "data group 0: a record has the unknown record id 0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string file = *c.base;
    add_tail(file, 0, c.tail);
    Mdf4Read read = test::read_mdf4(file);
    EXPECT_EQ(read.error, c.error);
    // The frames before are read all the same; the error fails the conversion.
    EXPECT_EQ(describe(read.records),
              describe(c.base == &sorted ? test::in_read_order(records) : test::in_logger_order(records)));
  }
}

TEST(Mdf4DecoderTest, ReadErrorsAreReported) {
  const std::string file = test::write_mdf4(test::generated_frames(2, 50));
  for (int from = 1; from < 300; ++from) {
    test::MemoryStream stream(file);
    stream.fail_read_from = from;
    auto reader = mdf4_decoder_create();
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

TEST(Mdf4DecoderTest, OpensOnceAndNeedsAStream) {
  auto reader = mdf4_decoder_create();
  EXPECT_FALSE(reader->open(nullptr));
  EXPECT_STREQ(reader->error(), "no input");
  BusRecord r;
  EXPECT_FALSE(reader->next(r));
  test::MemoryStream stream(test::write_mdf4(test::generated_frames(2, 5)));
  auto second = mdf4_decoder_create();
  ASSERT_TRUE(second->open(&stream));
  EXPECT_FALSE(second->open(&stream));
  EXPECT_STREQ(second->error(), "the reader has opened a file already");
}

}  // namespace
}  // namespace quarn
