#include "mdf4/mdf4_reader.h"

#include <zlib.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

#include "mdf4/mdf4_blocks.h"
#include "mdf4/mdf4_internal.h"

namespace quarn {

using namespace mdf4;

namespace {

// Bounds on what a file can make the reader walk or keep. Each list walk also stops at its
// bound, so a list that loops back on itself ends in an error rather than in a hang.
constexpr std::int64_t kMaxDataGroups = 65536;
constexpr std::int64_t kMaxBusGroups = 4096;
constexpr std::int64_t kMaxChannels = 4096;  // per channel group, compositions included
constexpr int kMaxNesting = 4;               // compositions within compositions
constexpr std::uint64_t kMaxRecord = 65536;  // bus-logging records are below 100 bytes
constexpr std::uint64_t kChunk = 64 * 1024;  // the window of data and compressed bytes read at once
constexpr std::size_t kNameRoom = 64;        // longer names cannot be any the reader looks for
// Deflate cannot shrink data by more than 1032 to 1, so a DZ block that claims more is broken and
// is refused before anything is allocated for it.
constexpr std::uint64_t kMaxDeflateRatio = 1032;

constexpr std::uint64_t kMaxLinksRead = 8;
constexpr std::uint64_t kMaxDataRead = 48;

constexpr std::uint64_t kCanMaxData = 64;
constexpr std::uint64_t kLinMaxData = 8;

// Data lengths of the CAN FD codes 9 to 15.
constexpr std::uint8_t kFdLengths[7] = {12, 16, 20, 24, 32, 48, 64};

unsigned long long ull(std::uint64_t v) { return static_cast<unsigned long long>(v); }
long long ll(std::int64_t v) { return static_cast<long long>(v); }

voidpf zlib_alloc(voidpf /*opaque*/, uInt items, uInt size) {
  return mem_alloc(static_cast<std::size_t>(items) * static_cast<std::size_t>(size));
}
void zlib_free(voidpf /*opaque*/, voidpf p) { mem_free(p); }

// The kind of group a channel name belongs to ("CAN_DataFrame" or "CAN_DataFrame.ID"), with the
// member part after the separator; -1 when it names none.
int kind_of(const char* name, const char** member) {
  for (int k = 0; k < kGroupKinds; ++k) {
    const char* group = kGroupLayouts[k].name;
    std::size_t n = std::strlen(group);
    if (std::strncmp(name, group, n) != 0) continue;
    if (name[n] == '\0') {
      *member = nullptr;
      return k;
    }
    if (name[n] == '.') {
      *member = name + n + 1;
      return k;
    }
  }
  return -1;
}

// Without a DataLength channel the length follows from the data length code.
std::uint64_t length_of_dlc(std::uint8_t dlc, bool fd) {
  if (dlc <= 8) return dlc;
  return fd ? kFdLengths[std::min<int>(dlc, 15) - 9] : 8;
}

// Brent's cycle finding over a chain of links, fed each offset in turn: true when an offset comes
// back. The first one is the mark at once, so a chain that leads back to its start is caught on
// its first return; any other loop within twice its length.
struct LoopCheck {
  std::uint64_t mark = 0;
  std::uint64_t power = 1;
  std::uint64_t steps = 1;

  bool returns(std::uint64_t at) {
    if (at == mark) return true;
    if (steps == power) {
      mark = at;
      power *= 2;
      steps = 0;
    }
    ++steps;
    return false;
  }
};

int member_of(const char* name) {
  for (int m = 0; m < kMembers; ++m) {
    if (std::strcmp(name, kMemberNames[m]) == 0) return m;
  }
  return -1;
}

}  // namespace

// The start of one block as the reader needs it: its header, its first links and the first
// bytes of its data section.
struct Mdf4Reader::Block {
  std::uint64_t offset = 0;
  BlockHeader h;
  std::uint64_t links[kMaxLinksRead] = {};
  std::uint8_t data[kMaxDataRead] = {};
};

// Where a channel's value lies in a record.
struct Mdf4Reader::Field {
  bool present = false;
  std::uint8_t data_type = 0;
  std::uint8_t bit_offset = 0;
  std::uint32_t byte_offset = 0;
  std::uint32_t bit_count = 0;
};

struct Mdf4Reader::Group {
  int kind = -1;               // a GroupKind, -1 while no channel has named one
  std::int64_t index = 0;      // the data group's place in the file, for messages
  std::uint64_t data = 0;      // the data group's data link
  std::uint64_t cycles = 0;    // records declared by the channel group
  std::uint64_t record_size = 0;
  Field time;
  bool time_virtual = false;
  std::uint64_t time_conversion = 0;
  double time_offset = 0;      // a linear conversion of the master channel's raw value
  double time_factor = 1;
  Field members[kMembers];
};

// Where the records of the group being read come from: its data blocks in order, and the bytes
// of the current one.
struct Mdf4Reader::Cursor {
  enum Source { kNone, kFile, kInflated, kTransposed };

  std::int64_t group = -1;     // index into groups_
  std::uint64_t done = 0;      // records of it handed out
  std::uint64_t single = 0;    // a data block still to take that no list holds
  std::uint64_t list = 0;      // the data list being walked
  std::uint64_t list_count = 0;
  std::uint64_t list_index = 0;
  std::uint64_t list_next = 0;
  // Bytes of lists and data blocks visited, over all groups: distinct blocks never add up to
  // more than the file, so more means blocks visited twice, by a loop or by sharing.
  std::uint64_t spent = 0;
  LoopCheck lists;             // over the chain of lists of the group being read

  Source source = kNone;
  std::uint64_t pos = 0;       // kFile: file offsets; otherwise offsets into `inflated`
  std::uint64_t end = 0;
  std::uint64_t columns = 0;   // kTransposed: the matrix that was transposed
  std::uint64_t lines = 0;

  std::uint8_t* chunk = nullptr;  // kChunk bytes of the file, from chunk_at on
  std::uint64_t chunk_at = 0;
  std::uint64_t chunk_length = 0;
  std::uint8_t* inflated = nullptr;
  std::uint64_t inflated_capacity = 0;
  std::uint8_t* record = nullptr;  // kMaxRecord bytes
  z_stream zs{};
  bool zs_ready = false;
};

std::unique_ptr<Mdf4Reader> mdf4_reader_create() {
  std::unique_ptr<Mdf4Reader> reader(new (std::nothrow) Mdf4Reader);
  if (!reader) return nullptr;
  void* cursor = mem_alloc(sizeof(Mdf4Reader::Cursor));
  if (cursor == nullptr) return nullptr;
  reader->cursor_ = new (cursor) Mdf4Reader::Cursor;
  reader->cursor_->chunk = static_cast<std::uint8_t*>(mem_alloc(kChunk));
  reader->cursor_->record = static_cast<std::uint8_t*>(mem_alloc(kMaxRecord));
  if (reader->cursor_->chunk == nullptr || reader->cursor_->record == nullptr) return nullptr;
  return reader;
}

Mdf4Reader::~Mdf4Reader() {
  if (cursor_ != nullptr) {
    if (cursor_->zs_ready) inflateEnd(&cursor_->zs);
    mem_free(cursor_->chunk);
    mem_free(cursor_->inflated);
    mem_free(cursor_->record);
    mem_free(cursor_);
  }
  mem_free(groups_);
}

std::uint64_t Mdf4Reader::declared_records() const {
  std::uint64_t n = 0;
  for (std::int64_t i = 0; i < group_count_; ++i) n += groups_[i].cycles;
  return n;
}

bool Mdf4Reader::fail(const char* format, ...) {
  if (!failed_) {
    std::va_list args;
    va_start(args, format);
    std::vsnprintf(error_, sizeof error_, format, args);
    va_end(args);
  }
  failed_ = true;
  return false;
}

bool Mdf4Reader::read_at(std::uint64_t offset, void* dst, std::uint64_t n) {
  if (offset > file_size_ || n > file_size_ - offset) {
    return fail("the file ends before offset %llu", ull(offset + n));
  }
  if (stream_seek(*stream_, static_cast<std::int64_t>(offset), kSeekSet) != static_cast<std::int64_t>(offset)) {
    return fail("could not read at offset %llu", ull(offset));
  }
  std::uint8_t* p = static_cast<std::uint8_t*>(dst);
  while (n > 0) {
    std::int64_t got = stream_read(*stream_, p, n);
    if (got <= 0) return fail("could not read at offset %llu", ull(offset));
    p += got;
    n -= static_cast<std::uint64_t>(got);
    offset += static_cast<std::uint64_t>(got);
  }
  return true;
}

bool Mdf4Reader::load(std::uint64_t offset, std::uint32_t want, std::uint64_t min_links, std::uint64_t min_data,
                      Block& out) {
  char expected[5];
  tag_text(want, expected);
  if (min_links > kMaxLinksRead || min_data > kMaxDataRead) return fail("the reader asked too much of a %s block", expected);
  if (offset < kIdBlockSize || offset > file_size_ || file_size_ - offset < kHeaderSize) {
    return fail("bad link to offset %llu where a %s block belongs", ull(offset), expected);
  }
  std::uint8_t head[kHeaderSize];
  if (!read_at(offset, head, sizeof head)) return false;
  out.offset = offset;
  char found[5];
  if (!decode_header(head, out.h)) return fail("bad block id at offset %llu: expected %s", ull(offset), expected);
  tag_text(out.h.tag, found);
  switch (check_block(out.h, offset, file_size_, want, min_links, min_data)) {
    case BlockProblem::None: break;
    case BlockProblem::BadId: return fail("bad block id at offset %llu: expected %s, found %s", ull(offset), expected, found);
    case BlockProblem::OutsideFile: return fail("the %s block at offset %llu reaches past the end of the file", found, ull(offset));
    case BlockProblem::BadLength: return fail("bad length of the %s block at offset %llu", found, ull(offset));
    case BlockProblem::TooFewLinks: return fail("too few links in the %s block at offset %llu", found, ull(offset));
  }
  return read_at(offset + kHeaderSize, out.links, min_links * kLinkSize) &&
         read_at(offset + data_start(out.h.links), out.data, min_data);
}

bool Mdf4Reader::read_name(std::uint64_t offset, char* out, std::size_t room) {
  out[0] = '\0';
  if (offset == 0) return true;
  Block tx;
  if (!load(offset, kTagTx, 0, 0, tx)) return false;
  std::uint64_t n = std::min<std::uint64_t>(tx.h.length - data_start(tx.h.links), room - 1);
  if (!read_at(offset + data_start(tx.h.links), out, n)) return false;
  out[n] = '\0';
  return true;
}

bool Mdf4Reader::open(Stream* stream) {
  if (opened_) return fail("the reader has opened a file already");
  opened_ = true;
  if (stream == nullptr) return fail("no input");
  stream_ = stream;
  std::int64_t size = stream_size(stream);
  if (size < 0) return fail("cannot tell the size of the file");
  file_size_ = static_cast<std::uint64_t>(size);
  if (file_size_ < kIdBlockSize) return fail("not an MDF file");
  std::uint8_t id[kIdBlockSize];
  if (!read_at(0, id, sizeof id)) return false;
  if (std::memcmp(id, "UnFinMF ", 8) == 0) return fail("unfinalized MDF file is not supported");
  if (std::memcmp(id, "MDF     ", 8) != 0) return fail("not an MDF file");
  version_ = get_u16(id + id_block::kVersion);
  if (version_ < 400 || version_ >= 500) {
    return fail("MDF version %u.%02u is not supported", static_cast<unsigned>(version_ / 100),
                static_cast<unsigned>(version_ % 100));
  }
  if (get_u16(id + id_block::kUnfinalizedStandard) != 0 || get_u16(id + id_block::kUnfinalizedCustom) != 0) {
    return fail("unfinalized MDF file is not supported");
  }

  Block hd;
  if (!load(kIdBlockSize, kTagHd, hd::kLinks, hd::kTimeFlags + 1, hd)) return false;
  start_ns_ = get_u64(hd.data + hd::kStartTimeNs);
  start_seconds_ = static_cast<double>(start_ns_ / 1000000000u);
  start_fraction_ = static_cast<double>(start_ns_ % 1000000000u) / 1e9;

  std::int64_t index = 0;
  LoopCheck chain;
  for (std::uint64_t at = hd.links[hd::kFirstDg]; at != 0; ++index) {
    if (chain.returns(at)) return fail("the data groups loop");
    if (index == kMaxDataGroups) return fail("more than %lld data groups", ll(kMaxDataGroups));
    Block dg;
    if (!load(at, kTagDg, dg::kLinks, dg::kRecordIdSize + 1, dg) || !read_group(index, dg)) return false;
    at = dg.links[dg::kNextDg];
  }
  if (group_count_ == 0) return fail("no bus-logging data group");
  // Data frames first, then error, remote and LIN frames; file order within a kind.
  for (std::int64_t i = 1; i < group_count_; ++i) {
    Group g = groups_[i];
    std::int64_t j = i;
    for (; j > 0 && groups_[j - 1].kind > g.kind; --j) groups_[j] = groups_[j - 1];
    groups_[j] = g;
  }
  return true;
}

bool Mdf4Reader::read_group(std::int64_t index, const Block& dg) {
  if (dg.data[dg::kRecordIdSize] != 0) return fail("data group %lld: unsorted data group is not supported", ll(index));
  if (dg.links[dg::kFirstCg] == 0) return true;  // no channels: nothing to read
  Block cg;
  if (!load(dg.links[dg::kFirstCg], kTagCg, cg::kLinks, cg::kDataSize, cg)) return false;
  if (cg.links[cg::kNextCg] != 0) return fail("data group %lld: unsorted data group is not supported", ll(index));
  if ((get_u16(cg.data + cg::kFlags) & cg::kFlagVlsd) != 0) {
    return fail("data group %lld: variable-length channel group is not supported", ll(index));
  }
  Group g;
  g.index = index;
  g.data = dg.links[dg::kData];
  g.cycles = get_u64(cg.data + cg::kCycleCount);
  g.record_size = static_cast<std::uint64_t>(get_u32(cg.data + cg::kDataBytes)) + get_u32(cg.data + cg::kInvalBytes);
  std::int64_t budget = kMaxChannels;
  if (!collect_channels(g, index, cg.links[cg::kFirstCn], -1, 0, budget)) return false;
  if (g.kind < 0) return true;  // not a bus-logging group: no frames in it
  const char* name = kGroupLayouts[g.kind].name;
  if (!check_time(g, index)) return false;
  if (g.record_size > kMaxRecord) {
    return fail("data group %lld (%s): records of %llu bytes are not supported", ll(index), name, ull(g.record_size));
  }
  if (g.record_size == 0 && g.cycles > 0) return fail("data group %lld (%s): records of 0 bytes", ll(index), name);
  if (group_count_ == kMaxBusGroups) return fail("more than %lld bus-logging data groups", ll(kMaxBusGroups));
  if (group_count_ == group_capacity_) {
    std::int64_t want = group_capacity_ == 0 ? 4 : group_capacity_ * 2;
    void* grown = mem_realloc(groups_, static_cast<std::size_t>(want) * sizeof(Group));
    if (grown == nullptr) return fail("out of memory");
    groups_ = static_cast<Group*>(grown);
    group_capacity_ = want;
  }
  groups_[group_count_++] = g;
  return true;
}

bool Mdf4Reader::collect_channels(Group& g, std::int64_t index, std::uint64_t first, int parent_kind, int depth,
                                  std::int64_t& budget) {
  LoopCheck chain;
  for (std::uint64_t at = first; at != 0;) {
    if (chain.returns(at)) return fail("data group %lld: its channels loop", ll(index));
    if (--budget < 0) return fail("data group %lld: more than %lld channels", ll(index), ll(kMaxChannels));
    Block cn;
    char name[kNameRoom];
    if (!load(at, kTagCn, cn::kLinks, cn::kFlags + 4, cn) || !read_name(cn.links[cn::kName], name, sizeof name)) {
      return false;
    }
    const char* member = nullptr;
    int kind = kind_of(name, &member);
    if (kind < 0 && parent_kind >= 0) {
      kind = parent_kind;
      member = name;
    }
    if (!take_channel(g, index, cn, kind, member)) return false;
    std::uint64_t composition = cn.links[cn::kComposition];
    if (composition != 0) {
      // Members hang off a composed channel; an array (CA) composition holds none of them.
      std::uint8_t head[kHeaderSize];
      BlockHeader h;
      if (composition < kIdBlockSize) return fail("bad link to offset %llu where a composition belongs", ull(composition));
      if (!read_at(composition, head, sizeof head)) return false;
      if (decode_header(head, h) && h.tag == kTagCn) {
        if (depth == kMaxNesting) return fail("data group %lld: compositions nest too deep", ll(index));
        if (!collect_channels(g, index, composition, kind, depth + 1, budget)) return false;
      }
    }
    at = cn.links[cn::kNextCn];
  }
  return true;
}

bool Mdf4Reader::check_field(const Group& g, std::int64_t index, const Field& f, const char* what, bool bytes,
                             bool may_be_float) {
  const bool type_ok = bytes ? f.data_type == cn::kDataBytes
                             : f.data_type == cn::kDataUnsignedLe || f.data_type == cn::kDataSignedLe ||
                                   (may_be_float && f.data_type == cn::kDataFloatLe);
  if (!type_ok) return fail("data group %lld: channel %s has data type %u", ll(index), what, static_cast<unsigned>(f.data_type));
  // Whole bytes for the data bytes, floats of 32 or 64 bits, integers of 1 to 64 bits.
  const bool shape_ok =
      f.bit_offset <= 7 && f.bit_count >= 1 &&
      (bytes ? f.bit_offset == 0 && f.bit_count % 8 == 0
             : f.data_type == cn::kDataFloatLe ? f.bit_offset == 0 && (f.bit_count == 32 || f.bit_count == 64)
                                               : f.bit_count <= 64);
  if (!shape_ok) {
    return fail("data group %lld: channel %s has %u bits at bit %u", ll(index), what, static_cast<unsigned>(f.bit_count),
                static_cast<unsigned>(f.bit_offset));
  }
  if (f.byte_offset + bytes_touched(f.bit_offset, f.bit_count) > g.record_size) {
    return fail("data group %lld: channel %s lies outside its %llu-byte records", ll(index), what, ull(g.record_size));
  }
  return true;
}

bool Mdf4Reader::take_channel(Group& g, std::int64_t index, const Block& cn, int kind, const char* member) {
  const std::uint8_t type = cn.data[cn::kType];
  Field f;
  f.present = true;
  f.data_type = cn.data[cn::kDataType];
  f.bit_offset = cn.data[cn::kBitOffset];
  f.byte_offset = get_u32(cn.data + cn::kByteOffset);
  f.bit_count = get_u32(cn.data + cn::kBitCount);
  if ((type == cn::kTypeMaster || type == cn::kTypeVirtualMaster) && cn.data[cn::kSyncType] == cn::kSyncTime) {
    // Checked once the group shows itself a bus-logging one: other groups may time themselves
    // in ways this reader has no use for.
    if (!g.time.present) {
      g.time = f;
      g.time_virtual = type == cn::kTypeVirtualMaster;
      g.time_conversion = cn.links[cn::kConversion];
    }
    return true;
  }
  if (kind < 0) return true;
  if (g.kind >= 0 && g.kind != kind) {
    return fail("data group %lld mixes %s and %s channels", ll(index), kGroupLayouts[g.kind].name, kGroupLayouts[kind].name);
  }
  g.kind = kind;
  const int m = member != nullptr ? member_of(member) : -1;
  if (m < 0 || g.members[m].present) return true;
  if (!check_field(g, index, f, member, m == kMemberDataBytes, false)) return false;
  g.members[m] = f;
  return true;
}

bool Mdf4Reader::check_time(Group& g, std::int64_t index) {
  const char* name = kGroupLayouts[g.kind].name;
  if (!g.time.present) return fail("data group %lld (%s): no time channel", ll(index), name);
  if (g.time_virtual) return fail("data group %lld (%s): virtual time channel is not supported", ll(index), name);
  if (!check_field(g, index, g.time, "time", false, true)) return false;
  if (g.time_conversion == 0) return true;
  Block cc;
  if (!load(g.time_conversion, kTagCc, cc::kLinks, cc::kValueCount + 2, cc)) return false;
  const std::uint8_t type = cc.data[cc::kType];
  if (type == cc::kTypeIdentity) return true;
  if (type != cc::kTypeLinear) {
    return fail("data group %lld (%s): time conversion type %u is not supported", ll(index), name, static_cast<unsigned>(type));
  }
  if (get_u16(cc.data + cc::kValueCount) < 2) return fail("data group %lld (%s): the time conversion lacks its values", ll(index), name);
  if (!load(g.time_conversion, kTagCc, cc::kLinks, cc::kValues + 16, cc)) return false;
  g.time_offset = get_f64(cc.data + cc::kValues);
  g.time_factor = get_f64(cc.data + cc::kValues + 8);
  return true;
}

bool Mdf4Reader::start_group() {
  Cursor& c = *cursor_;
  const Group& g = groups_[c.group];
  c.done = 0;
  c.single = c.list = c.list_count = c.list_index = c.list_next = 0;
  c.lists = LoopCheck{};
  c.source = Cursor::kNone;
  c.pos = c.end = 0;
  if (g.data == 0) return true;
  std::uint8_t head[kHeaderSize];
  BlockHeader h;
  if (g.data < kIdBlockSize || !read_at(g.data, head, sizeof head)) {
    return failed_ ? false : fail("bad link to offset %llu where data belongs", ull(g.data));
  }
  if (!decode_header(head, h)) return fail("bad block id at offset %llu: expected data", ull(g.data));
  if (h.tag == kTagDt || h.tag == kTagDz) {
    c.single = g.data;
    return true;
  }
  if (h.tag == kTagDl) return open_list(g.data);
  if (h.tag == kTagHl) {
    Block hl;
    if (!load(g.data, kTagHl, hl::kLinks, 0, hl)) return false;
    c.spent += hl.h.length;
    return hl.links[hl::kFirstDl] == 0 || open_list(hl.links[hl::kFirstDl]);
  }
  char found[5];
  tag_text(h.tag, found);
  return fail("data group %lld: data in a %s block is not supported", ll(g.index), found);
}

bool Mdf4Reader::open_list(std::uint64_t offset) {
  Cursor& c = *cursor_;
  Block b;
  if (!load(offset, kTagDl, 1, dl::kCount + 4, b)) return false;
  c.spent += b.h.length;
  if (c.lists.returns(offset)) return fail("data group %lld: its data lists loop", ll(groups_[c.group].index));
  if (c.spent > file_size_) return fail("data group %lld: its data blocks loop or are shared", ll(groups_[c.group].index));
  std::uint64_t count = get_u32(b.data + dl::kCount);
  if (count > b.h.links - 1) {
    return fail("the data list at offset %llu counts %llu blocks but links %llu", ull(offset), ull(count),
                ull(b.h.links - 1));
  }
  c.list = offset;
  c.list_count = count;
  c.list_index = 0;
  c.list_next = b.links[dl::kNextDl];
  return true;
}

bool Mdf4Reader::next_block() {
  Cursor& c = *cursor_;
  for (;;) {
    std::uint64_t block = 0;
    if (c.single != 0) {
      block = c.single;
      c.single = 0;
    } else if (c.list != 0 && c.list_index < c.list_count) {
      std::uint8_t link[kLinkSize];
      if (!read_at(c.list + kHeaderSize + (1 + c.list_index) * kLinkSize, link, sizeof link)) return false;
      ++c.list_index;
      block = get_u64(link);
      if (block == 0) continue;
    } else if (c.list_next != 0) {
      if (!open_list(c.list_next)) return false;
      continue;
    } else {
      return false;  // no more data: the caller tells whether records are missing
    }
    return open_data_block(block);
  }
}

bool Mdf4Reader::open_data_block(std::uint64_t offset) {
  Cursor& c = *cursor_;
  const std::int64_t index = groups_[c.group].index;
  std::uint8_t head[kHeaderSize];
  BlockHeader h;
  if (offset < kIdBlockSize || !read_at(offset, head, sizeof head)) {
    return failed_ ? false : fail("bad link to offset %llu where data belongs", ull(offset));
  }
  if (!decode_header(head, h) || (h.tag != kTagDt && h.tag != kTagDz)) {
    char found[5];
    tag_text(h.tag, found);
    return fail("bad block id at offset %llu: expected ##DT or ##DZ, found %s", ull(offset), found);
  }
  Block b;
  if (!load(offset, h.tag, 0, h.tag == kTagDz ? dz::kDataSize : 0, b)) return false;
  c.spent += b.h.length;
  if (c.spent > file_size_) return fail("data group %lld: its data blocks loop or are shared", ll(index));
  const std::uint64_t start = offset + data_start(b.h.links);
  if (h.tag == kTagDt) {
    c.source = Cursor::kFile;
    c.pos = start;
    c.end = offset + b.h.length;
    return true;
  }
  const std::uint8_t* d = b.data;
  const std::uint8_t zip_type = d[dz::kZipType];
  const std::uint64_t param = get_u32(d + dz::kZipParam);
  const std::uint64_t original = get_u64(d + dz::kOriginalSize);
  const std::uint64_t zip_size = get_u64(d + dz::kZipSize);
  if (d[dz::kOriginalTag] != 'D' || d[dz::kOriginalTag + 1] != 'T') {
    return fail("data group %lld: the DZ block at offset %llu does not hold record data", ll(index), ull(offset));
  }
  if (zip_type != dz::kDeflate && zip_type != dz::kTransposedDeflate) {
    return fail("data group %lld: compression type %u is not supported", ll(index), static_cast<unsigned>(zip_type));
  }
  if (zip_size > b.h.length - data_start(b.h.links) - dz::kDataSize) {
    return fail("bad length of the ##DZ block at offset %llu", ull(offset));
  }
  if (original > kMdf4MaxInflated) {
    return fail("the DZ block at offset %llu inflates to %llu bytes, more than %llu", ull(offset), ull(original),
                ull(kMdf4MaxInflated));
  }
  if (original / kMaxDeflateRatio > zip_size) {
    return fail("the DZ block at offset %llu cannot inflate to %llu bytes", ull(offset), ull(original));
  }
  if (zip_type == dz::kTransposedDeflate && param == 0) {
    return fail("the DZ block at offset %llu transposes records of 0 bytes", ull(offset));
  }
  if (!inflate_block(start + dz::kDataSize, zip_size, original, offset)) return false;
  c.source = zip_type == dz::kDeflate ? Cursor::kInflated : Cursor::kTransposed;
  c.pos = 0;
  c.end = original;
  c.columns = param;
  c.lines = param == 0 ? 0 : original / param;
  return true;
}

bool Mdf4Reader::inflate_block(std::uint64_t from, std::uint64_t zip_size, std::uint64_t original_size,
                               std::uint64_t at) {
  Cursor& c = *cursor_;
  if (original_size == 0) return true;
  if (original_size > c.inflated_capacity) {
    mem_free(c.inflated);
    c.inflated_capacity = 0;
    c.inflated = static_cast<std::uint8_t*>(mem_alloc(static_cast<std::size_t>(original_size)));
    if (c.inflated == nullptr) return fail("out of memory");
    c.inflated_capacity = original_size;
  }
  z_stream& zs = c.zs;
  if (!c.zs_ready) {
    zs.zalloc = zlib_alloc;
    zs.zfree = zlib_free;
    zs.opaque = nullptr;
    zs.next_in = nullptr;
    zs.avail_in = 0;
    if (inflateInit(&zs) != Z_OK) return fail("out of memory");
    c.zs_ready = true;
  } else if (inflateReset(&zs) != Z_OK) {
    return fail("out of memory");
  }
  zs.next_in = nullptr;
  zs.avail_in = 0;
  zs.next_out = c.inflated;
  zs.avail_out = static_cast<uInt>(original_size);
  std::uint64_t next = from;
  std::uint64_t left = zip_size;
  int status = Z_OK;
  for (;;) {
    if (zs.avail_in == 0) {
      if (left == 0) break;
      const std::uint64_t n = std::min(kChunk, left);
      if (!read_at(next, c.chunk, n)) return false;
      c.chunk_at = next;
      c.chunk_length = n;
      zs.next_in = c.chunk;
      zs.avail_in = static_cast<uInt>(n);
      next += n;
      left -= n;
    }
    status = inflate(&zs, Z_NO_FLUSH);
    if (status != Z_OK) break;
  }
  if (status != Z_STREAM_END || zs.total_out != original_size) {
    return fail("the DZ block at offset %llu does not inflate to its %llu bytes", ull(at), ull(original_size));
  }
  return true;
}

bool Mdf4Reader::read_record() {
  Cursor& c = *cursor_;
  const std::uint64_t need = groups_[c.group].record_size;
  std::uint64_t got = 0;
  while (got < need) {
    if (c.pos == c.end) {
      if (!next_block()) return false;
      continue;
    }
    std::uint64_t n = std::min(need - got, c.end - c.pos);
    std::uint8_t* dst = c.record + got;
    if (c.source == Cursor::kFile) {
      if (c.pos < c.chunk_at || c.pos >= c.chunk_at + c.chunk_length) {
        const std::uint64_t want = std::min(kChunk, c.end - c.pos);
        c.chunk_length = 0;
        if (!read_at(c.pos, c.chunk, want)) return false;
        c.chunk_at = c.pos;
        c.chunk_length = want;
      }
      n = std::min(n, c.chunk_at + c.chunk_length - c.pos);
      std::memcpy(dst, c.chunk + (c.pos - c.chunk_at), static_cast<std::size_t>(n));
    } else if (c.source == Cursor::kInflated) {
      std::memcpy(dst, c.inflated + c.pos, static_cast<std::size_t>(n));
    } else {
      // Transposed: the first lines x columns bytes hold byte 0 of every record, then byte 1, and
      // so on; whatever follows them was left as it was.
      const std::uint64_t matrix = c.lines * c.columns;
      for (std::uint64_t i = 0; i < n; ++i) {
        const std::uint64_t p = c.pos + i;
        dst[i] = p < matrix ? c.inflated[(p % c.columns) * c.lines + p / c.columns] : c.inflated[p];
      }
    }
    c.pos += n;
    got += n;
  }
  return true;
}

bool Mdf4Reader::next(BusRecord& record) {
  if (failed_ || group_count_ == 0) return false;
  Cursor& c = *cursor_;
  for (;;) {
    if (c.group < 0 || c.done == groups_[c.group].cycles) {
      if (c.group + 1 >= group_count_) return false;
      ++c.group;
      if (groups_[c.group].cycles > 0 && !start_group()) return false;
      c.done = 0;
      continue;
    }
    if (!read_record()) {
      const Group& g = groups_[c.group];
      if (!failed_) {
        fail("data group %lld (%s): the data ends after %llu of %llu records", ll(g.index), kGroupLayouts[g.kind].name,
             ull(c.done), ull(g.cycles));
      }
      return false;
    }
    ++c.done;
    decode(groups_[c.group], record);
    return true;
  }
}

void Mdf4Reader::decode(const Group& g, BusRecord& record) const {
  const std::uint8_t* rec = cursor_->record;
  auto value = [&](int m) -> std::uint64_t {
    const Field& f = g.members[m];
    return f.present ? get_bits(rec + f.byte_offset, f.bit_offset, f.bit_count) : 0;
  };
  auto byte = [&](int m) { return static_cast<std::uint8_t>(value(m)); };

  std::memset(&record, 0, sizeof record);
  const Field& t = g.time;
  double raw;
  if (t.data_type == cn::kDataFloatLe) {
    raw = t.bit_count == 64 ? get_f64(rec + t.byte_offset) : static_cast<double>(get_f32(rec + t.byte_offset));
  } else {
    std::uint64_t v = get_bits(rec + t.byte_offset, t.bit_offset, t.bit_count);
    if (t.data_type == cn::kDataSignedLe && t.bit_count < 64 && ((v >> (t.bit_count - 1)) & 1) != 0) {
      v |= ~std::uint64_t{0} << t.bit_count;
    }
    raw = t.data_type == cn::kDataSignedLe ? static_cast<double>(static_cast<std::int64_t>(v)) : static_cast<double>(v);
  }
  // Whole seconds apart, so that a start time of whole seconds adds exactly what python-can adds.
  record.Timestamp = start_seconds_ + (start_fraction_ + (g.time_offset + g.time_factor * raw));
  record.ID = static_cast<std::uint32_t>(value(kMemberId));

  const Field& bytes = g.members[kMemberDataBytes];
  const std::uint64_t available = bytes.present ? bytes.bit_count / 8 : 0;
  switch (g.kind) {
    case kGroupData:
    case kGroupRemote: {
      CanTail& can = record.Can;
      can.BusChannel = byte(kMemberBusChannel);
      can.IDE = byte(kMemberIde);
      can.Dir = byte(kMemberDir);
      can.DLC = byte(kMemberDlc);
      record.DataPointer = can.DataBytes;
      if (g.kind == kGroupRemote) {
        record.Kind = CAN_RemoteFrame;
        can.Remote = 1;
        record.DataLength = std::min(value(kMemberDataLength), kCanMaxData);
        break;
      }
      record.Kind = CAN_DataFrame;
      can.EDL = byte(kMemberEdl);
      can.BRS = byte(kMemberBrs);
      can.ESI = byte(kMemberEsi);
      const std::uint64_t declared =
          g.members[kMemberDataLength].present ? value(kMemberDataLength) : length_of_dlc(can.DLC, can.EDL != 0);
      const std::uint64_t n = std::min({declared, available, kCanMaxData});
      std::memcpy(can.DataBytes, rec + bytes.byte_offset, static_cast<std::size_t>(n));
      record.DataLength = n;
      break;
    }
    case kGroupError:
      record.Kind = CAN_ErrorFrame;
      record.Error.BusChannel = byte(kMemberBusChannel);
      record.Error.ErrorType = static_cast<std::int32_t>(value(kMemberErrorType));
      break;
    default: {
      LinTail& lin = record.Lin;
      record.Kind = LIN_Frame;
      lin.BusChannel = byte(kMemberBusChannel);
      lin.Dir = byte(kMemberDir);
      lin.ReceivedDataByteCount = byte(kMemberReceivedDataByteCount);
      const std::uint64_t n = std::min({value(kMemberDataLength), available, kLinMaxData});
      std::memcpy(lin.DataBytes, rec + bytes.byte_offset, static_cast<std::size_t>(n));
      record.DataLength = n;
      record.DataPointer = lin.DataBytes;
      break;
    }
  }
}

}  // namespace quarn
