#include "mdf4/mdf4_decoder.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>

#include "mdf4/mdf4_blocks.h"
#include "mdf4/mdf4_data.h"
#include "mdf4/mdf4_internal.h"

namespace quarn {

using namespace mdf4;

namespace {

// Bounds on what a file can make the reader walk or keep. Each list walk also stops at its
// bound, so a list that loops back on itself ends in an error rather than in a hang.
constexpr std::int64_t kMaxDataGroups = 65536;
constexpr std::int64_t kMaxBusGroups = 4096;
constexpr std::int64_t kMaxChannelGroups = 4096;  // per data group
constexpr std::int64_t kMaxChannels = 4096;       // per channel group, compositions included
constexpr int kMaxNesting = 4;                    // compositions within compositions
constexpr std::uint64_t kMaxRecord = 65536;       // bus-logging records are below 100 bytes
constexpr std::size_t kNameRoom = 64;             // longer names cannot be any the reader looks for

constexpr std::uint32_t kCanIdMask = 0x1FFFFFFF;
// Frames come from 1970 (the header's start time cannot lie before it) to 3000: a time beyond
// is a broken clock or a broken file, and no trace holds it as the frame's time.
constexpr double kLatestTime = 32503680000.0;  // 3000-01-01 00:00:00 UTC
// A frame's bus channel is one byte wide.
constexpr std::uint64_t kMaxBusChannel = 255;

// Data lengths of the CAN FD codes 9 to 15.
constexpr std::uint8_t kFdLengths[7] = {12, 16, 20, 24, 32, 48, 64};

unsigned long long ull(std::uint64_t v) { return static_cast<unsigned long long>(v); }
long long ll(std::int64_t v) { return static_cast<long long>(v); }

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

int member_of(const char* name) {
  for (int m = 0; m < kMembers; ++m) {
    if (std::strcmp(name, kMemberNames[m]) == 0) return m;
  }
  return -1;
}

// Without a DataLength channel the length follows from the data length code.
std::uint64_t length_of_dlc(std::uint64_t dlc, bool fd) {
  if (dlc <= 8) return dlc;
  return fd ? kFdLengths[std::min<std::uint64_t>(dlc, 15) - 9] : 8;
}

// Without a DLC channel the code follows from the length: the smallest that holds it.
std::uint8_t dlc_of_length(std::uint64_t length, bool fd) {
  if (length <= 8) return static_cast<std::uint8_t>(length);
  if (!fd) return 8;
  std::uint8_t code = 9;
  while (code < 15 && kFdLengths[code - 9] < length) ++code;
  return code;
}

// A channel as its block describes it, before it is checked.
struct Channel {
  bool present = false;
  std::uint8_t type = 0;
  std::uint8_t data_type = 0;
  std::uint8_t bit_offset = 0;
  std::uint32_t byte_offset = 0;
  std::uint32_t bit_count = 0;
  std::uint64_t conversion = 0;
  std::uint64_t signal = 0;  // a variable-length channel's signal data
};

// What one channel group's channels say, gathered before the group is judged.
struct Layout {
  int kind = -1;   // a GroupKind, -1 while no channel has named one
  int others = 0;  // channels besides the time channel, whatever their names
  Channel time;
  Channel members[kMembers];
};

// Where an unsigned value lies in a record, ready to be read with one 8-byte load: `shift` bits
// into the 8 bytes at `byte_offset`, `mask` wide; `wide` values reach into a ninth byte.
struct Field {
  std::uint32_t byte_offset = 0;
  std::uint8_t shift = 0;
  bool wide = false;
  bool present = false;
  std::uint64_t mask = 0;
};

Field field_of(const Channel& c) {
  Field f;
  f.present = c.present;
  if (!c.present) return f;  // reads 0 from the record's first bytes
  f.byte_offset = c.byte_offset;
  f.shift = c.bit_offset;
  f.wide = c.bit_offset + c.bit_count > 64;
  f.mask = c.bit_count >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << c.bit_count) - 1;
  return f;
}

// The record holds at least 8 bytes past any field's first byte (DataWindows::kSlack).
inline std::uint64_t value_of(const std::uint8_t* record, const Field& f) {
  std::uint64_t v;
  std::memcpy(&v, record + f.byte_offset, sizeof v);
  v >>= f.shift;
  if (f.wide) v |= static_cast<std::uint64_t>(record[f.byte_offset + 8]) << (64 - f.shift);
  return v & f.mask;
}

enum class TimeType : std::uint8_t { kF64, kF32, kUnsigned, kSigned };

// A channel group of an unsorted data group as the records' ids tell it.
struct RecordKind {
  std::uint64_t id = 0;
  std::uint64_t size = 0;   // bytes after the id; variable-length records say theirs
  std::uint64_t group = 0;  // the channel group block, to find variable-length data by
  bool variable = false;
  std::uint64_t seen = 0;  // records of this id read so far by the data group's counting cursor
};

}  // namespace

// What open finds and next reads with: the bus-logging groups, a cursor in each, and the merge of
// their frames by time.
struct Mdf4Decoder::Impl {
  // A bus-logging channel group: where its records are and how to decode them.
  struct Group {
    int kind = -1;
    std::int64_t dg = 0;       // the data group's place in the file, for messages
    std::uint64_t data = 0;    // the data group's data link
    std::uint8_t id_size = 0;  // record id bytes, 0 in a sorted data group
    std::uint64_t record_id = 0;
    std::uint64_t record_size = 0;  // after the id, invalidation bytes included
    std::uint64_t cycles = 0;
    std::int64_t ids_first = 0;  // its data group's record ids in `ids`
    std::int64_t ids_count = 0;
    // The first bus group of its data group: the one whose blocks are tallied, and whose cursor
    // counts every record of the data group by its id.
    bool counts = false;
    std::int64_t own = -1;  // its record id in `ids`; -1 in a sorted data group

    TimeType time_type = TimeType::kF64;
    Field time;
    std::uint32_t time_bits = 64;
    double time_offset = 0;  // a linear conversion of the time channel's raw value
    double time_factor = 1;

    Field members[kMembers];
    std::uint32_t bytes_offset = 0;  // fixed data bytes: where and how many
    std::uint64_t bytes_room = 0;
    bool variable = false;         // data bytes in signal data, at the offset members[kMemberDataBytes] holds
    bool signal_in_group = false;  // in the records of a channel group of the same data group
    std::uint64_t signal = 0;      // the link to the signal data
    std::uint64_t signal_id = 0;   // the record id of that channel group
  };

  // One group's place in its records, and the frame it reads next.
  struct Cursor {
    DataStream records;
    DataStream signal;
    std::uint64_t signal_at = 0;  // signal data in a channel group: the offset of the next value
    std::uint64_t done = 0;       // records decoded
    double last = -std::numeric_limits<double>::infinity();
    bool live = false;  // `head` holds a frame not yet handed out
    // The last signal value read, which several records may share.
    bool cached = false;
    std::uint64_t cached_offset = 0;
    std::uint64_t cached_length = 0;
    std::uint8_t cached_bytes[kCanMaxData] = {};
    BusRecord head{};
  };

  explicit Impl(const Mdf4DecoderLimits& limits)
      : file(error), windows(file, limits.window_bytes, limits.inflated_bytes) {}
  ~Impl() {
    for (std::int64_t i = 0; cursors != nullptr && i < group_count; ++i) {
      windows.release(cursors[i].records);
      windows.release(cursors[i].signal);
    }
    mem_free(groups);
    mem_free(cursors);
    mem_free(ids);
    mem_free(heap);
    mem_free(stitch);
  }

  bool open(Mdf4Decoder& reader, Stream* stream);
  bool read_group(std::int64_t index, const Block& dg);
  bool read_channel_group(std::int64_t index, const Block& cg, std::uint8_t id_size);
  bool add_id(std::int64_t index, std::int64_t first, const RecordKind& k);
  bool collect_channels(Layout& lay, std::int64_t index, std::uint64_t first, int parent_kind, int depth,
                        std::int64_t& budget);
  bool read_name(std::uint64_t offset, char* out, std::size_t room);
  bool take_channel(Layout& lay, std::int64_t index, const Block& cn, int kind, const char* member);
  bool check_field(const Group& g, const Channel& c, const char* what, bool bytes, bool may_be_float);
  bool check_time(Group& g, const Channel& c);
  bool compile(Group& g, const Layout& lay, const Block& cg);
  bool push_group(const Group& g);

  bool next(BusRecord& record);
  bool begin();
  bool advance(std::int64_t i);
  bool own_record(Cursor& c, const Group& g, const std::uint8_t*& record);
  bool pass_record(DataStream& s, const Group& g, std::uint64_t id, bool count);
  bool finish();
  bool finish_sorted(std::int64_t i);
  bool finish_unsorted(std::int64_t i);
  bool zeros_to_end(DataStream& s, bool& zeros);
  bool signal_value(Cursor& c, const Group& g, std::uint64_t offset, std::uint8_t* out, std::uint64_t room,
                    std::uint64_t& length);
  void decode(const Group& g, const std::uint8_t* record, BusRecord& r) const;
  void sift_down(std::int64_t at);
  bool before(std::int64_t a, std::int64_t b) const {
    const double ta = cursors[a].head.Timestamp;
    const double tb = cursors[b].head.Timestamp;
    return ta < tb || (ta == tb && a < b);
  }

  ErrorText error;
  ErrorText unread;  // why the data goes on past the records read, once they all were
  FileAccess file;
  DataWindows windows;
  std::uint16_t version = 0;
  double start_seconds = 0;   // whole seconds of the start time
  double start_fraction = 0;  // and the rest, in seconds
  Group* groups = nullptr;
  std::int64_t group_count = 0;
  std::int64_t group_capacity = 0;
  RecordKind* ids = nullptr;
  std::int64_t id_count = 0;
  std::int64_t id_capacity = 0;
  Cursor* cursors = nullptr;
  std::int64_t* heap = nullptr;  // cursors with a frame, the earliest first
  std::int64_t heap_size = 0;
  std::int64_t pending = -1;       // the cursor whose frame was handed out last, to move on
  std::uint8_t* stitch = nullptr;  // a record that straddles blocks, put together
  std::uint64_t tally = 0;         // bytes of data blocks visited, over all data groups
  bool opened = false;
  bool started = false;
  bool finished = false;
};

std::unique_ptr<Mdf4Decoder> mdf4_decoder_create(const Mdf4DecoderLimits& limits) {
  std::unique_ptr<Mdf4Decoder> reader(new (std::nothrow) Mdf4Decoder);
  if (!reader) return nullptr;
  void* impl = mem_alloc(sizeof(Mdf4Decoder::Impl));
  if (impl == nullptr) return nullptr;
  reader->impl_ = new (impl) Mdf4Decoder::Impl(limits);
  return reader;
}

Mdf4Decoder::~Mdf4Decoder() {
  if (impl_ != nullptr) {
    impl_->~Impl();
    mem_free(impl_);
  }
}

const char* Mdf4Decoder::error() const { return impl_->error.text(); }

const char* Mdf4Decoder::unread() const { return impl_->unread.text(); }

std::uint64_t Mdf4Decoder::window_peak() const { return impl_->windows.peak(); }

bool Mdf4Decoder::open(Stream* stream) {
  if (impl_->opened) return impl_->error.fail("the reader has opened a file already");
  impl_->opened = true;
  return impl_->open(*this, stream);
}

bool Mdf4Decoder::next(BusRecord& record) { return impl_->next(record); }

bool Mdf4Decoder::Impl::open(Mdf4Decoder& reader, Stream* stream) {
  if (stream == nullptr) return error.fail("no input");
  std::int64_t size = stream_size(stream);
  if (size < 0) return error.fail("cannot tell the size of the file");
  file.attach(*stream, static_cast<std::uint64_t>(size));
  if (file.size() < kIdBlockSize) return error.fail("not an MDF file");
  std::uint8_t id[kIdBlockSize];
  if (!file.read_at(0, id, sizeof id)) return false;
  if (std::memcmp(id, "UnFinMF ", 8) == 0) return error.fail("unfinalized MDF file is not supported");
  if (std::memcmp(id, "MDF     ", 8) != 0) return error.fail("not an MDF file");
  version = get_u16(id + id_block::kVersion);
  reader.version_ = version;
  if (version < 400 || version >= 500) {
    return error.fail("MDF version %u.%02u is not supported", static_cast<unsigned>(version / 100),
                      static_cast<unsigned>(version % 100));
  }
  if (get_u16(id + id_block::kUnfinalizedStandard) != 0 || get_u16(id + id_block::kUnfinalizedCustom) != 0) {
    return error.fail("unfinalized MDF file is not supported");
  }
  stitch = static_cast<std::uint8_t*>(mem_alloc(kMaxRecord + DataWindows::kSlack));
  if (stitch == nullptr) return error.fail("out of memory");

  Block hd;
  if (!file.load(kIdBlockSize, kTagHd, hd::kLinks, hd::kTimeFlags + 1, hd)) return false;
  const std::uint64_t start_ns = get_u64(hd.data + hd::kStartTimeNs);
  reader.start_ns_ = start_ns;
  start_seconds = static_cast<double>(start_ns / 1000000000u);
  start_fraction = static_cast<double>(start_ns % 1000000000u) / 1e9;

  std::int64_t index = 0;
  LoopCheck chain;
  for (std::uint64_t at = hd.links[hd::kFirstDg]; at != 0; ++index) {
    if (chain.returns(at)) return error.fail("the data groups loop");
    if (index == kMaxDataGroups) return error.fail("more than %lld data groups", ll(kMaxDataGroups));
    Block dg;
    if (!file.load(at, kTagDg, dg::kLinks, dg::kRecordIdSize + 1, dg) || !read_group(index, dg)) return false;
    at = dg.links[dg::kNextDg];
  }
  if (group_count == 0) return error.fail("no bus-logging data group");
  cursors = static_cast<Cursor*>(mem_alloc(static_cast<std::size_t>(group_count) * sizeof(Cursor)));
  heap = static_cast<std::int64_t*>(mem_alloc(static_cast<std::size_t>(group_count) * sizeof(std::int64_t)));
  if (cursors == nullptr || heap == nullptr) {
    group_count = 0;  // no cursor to release
    return error.fail("out of memory");
  }
  for (std::int64_t i = 0; i < group_count; ++i) new (cursors + i) Cursor;
  reader.group_count_ = group_count;
  for (std::int64_t i = 0; i < group_count; ++i) reader.declared_ += groups[i].cycles;
  return true;
}

bool Mdf4Decoder::Impl::read_group(std::int64_t index, const Block& dg) {
  const std::uint8_t id_size = dg.data[dg::kRecordIdSize];
  if (id_size != 0 && id_size != 1 && id_size != 2 && id_size != 4 && id_size != 8) {
    return error.fail("data group %lld: record ids of %u bytes are not supported", ll(index),
                      static_cast<unsigned>(id_size));
  }
  const std::int64_t ids_first = id_count;
  const std::int64_t groups_first = group_count;
  LoopCheck chain;
  std::int64_t n = 0;
  for (std::uint64_t at = dg.links[dg::kFirstCg]; at != 0; ++n) {
    if (chain.returns(at)) return error.fail("data group %lld: its channel groups loop", ll(index));
    if (n == kMaxChannelGroups) {
      return error.fail("data group %lld: more than %lld channel groups", ll(index), ll(kMaxChannelGroups));
    }
    // Without record ids nothing tells whose a record is.
    if (n == 1 && id_size == 0)
      return error.fail("data group %lld: several channel groups without record ids", ll(index));
    Block cg;
    if (!file.load(at, kTagCg, cg::kLinks, cg::kDataSize, cg)) return false;
    RecordKind k;
    k.id = get_u64(cg.data + cg::kRecordId);
    k.variable = (get_u16(cg.data + cg::kFlags) & cg::kFlagVlsd) != 0;
    k.size = static_cast<std::uint64_t>(get_u32(cg.data + cg::kDataBytes)) + get_u32(cg.data + cg::kInvalBytes);
    k.group = at;
    // Such a group's records are values that other groups' records point at: it has no channels
    // of its own, and channels there would be frames nobody reads.
    if (k.variable && cg.links[cg::kFirstCn] != 0) {
      return error.fail("data group %lld: a variable-length channel group has channels", ll(index));
    }
    if (!add_id(index, ids_first, k)) return false;
    if (!k.variable && !read_channel_group(index, cg, id_size)) return false;
    at = cg.links[cg::kNextCg];
  }
  if (group_count == groups_first) {
    id_count = ids_first;  // nothing of this data group is read
    return true;
  }
  groups[groups_first].counts = true;
  for (std::int64_t i = groups_first; i < group_count; ++i) {
    Group& g = groups[i];
    g.data = dg.links[dg::kData];
    g.ids_first = ids_first;
    g.ids_count = id_count - ids_first;
    for (std::int64_t j = ids_first; id_size != 0 && j < id_count; ++j) {
      if (ids[j].id == g.record_id) g.own = j;
    }
    if (!g.signal_in_group) continue;
    const RecordKind* k = nullptr;
    for (std::int64_t j = ids_first; j < id_count; ++j) {
      if (ids[j].group == g.signal) k = &ids[j];
    }
    if (k == nullptr || !k->variable) {
      return error.fail("data group %lld (%s): the channel group at offset %llu holds no variable-length data",
                        ll(index), kGroupLayouts[g.kind].name, ull(g.signal));
    }
    g.signal_id = k->id;
  }
  return true;
}

bool Mdf4Decoder::Impl::add_id(std::int64_t index, std::int64_t first, const RecordKind& k) {
  for (std::int64_t j = first; j < id_count; ++j) {
    if (ids[j].group == k.group) return error.fail("data group %lld: its channel groups loop", ll(index));
    if (ids[j].id == k.id) {
      return error.fail("data group %lld: two channel groups have the record id %llu", ll(index), ull(k.id));
    }
  }
  if (id_count == id_capacity) {
    const std::int64_t want = id_capacity == 0 ? 8 : id_capacity * 2;
    void* grown = mem_realloc(ids, static_cast<std::size_t>(want) * sizeof(RecordKind));
    if (grown == nullptr) return error.fail("out of memory");
    ids = static_cast<RecordKind*>(grown);
    id_capacity = want;
  }
  ids[id_count++] = k;
  return true;
}

bool Mdf4Decoder::Impl::read_channel_group(std::int64_t index, const Block& cg, std::uint8_t id_size) {
  Layout lay;
  std::int64_t budget = kMaxChannels;
  if (!collect_channels(lay, index, cg.links[cg::kFirstCn], -1, 0, budget)) return false;
  const std::uint64_t source = cg.links[cg::kAcqSource];
  if (lay.kind < 0) {
    // Not a bus-logging group: no frames in it. Unless it says it holds the events of a CAN or
    // LIN bus and has records but no channel to read them by (a writer's channel list cut off
    // after the time): passing over it would pass over its frames.
    const std::uint64_t records = get_u64(cg.data + cg::kCycleCount);
    if (lay.others > 0 || records == 0 || (get_u16(cg.data + cg::kFlags) & cg::kFlagBusEvent) == 0 || source == 0) {
      return true;
    }
    Block si;
    if (!file.load(source, kTagSi, si::kLinks, si::kBusType + 1, si)) return false;
    const std::uint8_t bus = si.data[si::kBusType];
    if (si.data[si::kSourceType] != si::kSourceBus || (bus != si::kBusCan && bus != si::kBusLin)) return true;
    return error.fail("data group %lld: a %s bus channel group of %llu records has no channels but its time", ll(index),
                      bus == si::kBusCan ? "CAN" : "LIN", ull(records));
  }
  const char* name = kGroupLayouts[lay.kind].name;
  if (version >= 420 && (get_u16(cg.data + cg::kFlags) & cg::kFlagRemoteMaster) != 0) {
    return error.fail("data group %lld (%s): column-oriented data groups are not supported", ll(index), name);
  }
  if (source != 0) {
    Block si;
    if (!file.load(source, kTagSi, si::kLinks, si::kBusType + 1, si)) return false;
    // A group named for one bus but acquired from another (any bus type but "none" and "other")
    // holds none of its frames.
    const std::uint8_t bus = si.data[si::kBusType];
    if (si.data[si::kSourceType] == si::kSourceBus && bus >= si::kBusCan && bus != kGroupLayouts[lay.kind].bus_type) {
      return true;
    }
  }
  Group g;
  g.kind = lay.kind;
  g.dg = index;
  g.id_size = id_size;
  return compile(g, lay, cg) && push_group(g);
}

bool Mdf4Decoder::Impl::push_group(const Group& g) {
  if (group_count == kMaxBusGroups) return error.fail("more than %lld bus-logging groups", ll(kMaxBusGroups));
  if (group_count == group_capacity) {
    const std::int64_t want = group_capacity == 0 ? 4 : group_capacity * 2;
    void* grown = mem_realloc(groups, static_cast<std::size_t>(want) * sizeof(Group));
    if (grown == nullptr) return error.fail("out of memory");
    groups = static_cast<Group*>(grown);
    group_capacity = want;
  }
  groups[group_count++] = g;
  return true;
}

bool Mdf4Decoder::Impl::read_name(std::uint64_t offset, char* out, std::size_t room) {
  out[0] = '\0';
  if (offset == 0) return true;
  Block tx;
  if (!file.load(offset, kTagTx, 0, 0, tx)) return false;
  std::uint64_t n = std::min<std::uint64_t>(tx.h.length - data_start(tx.h.links), room - 1);
  if (!file.read_at(offset + data_start(tx.h.links), out, n)) return false;
  out[n] = '\0';
  return true;
}

bool Mdf4Decoder::Impl::collect_channels(Layout& lay, std::int64_t index, std::uint64_t first, int parent_kind,
                                         int depth, std::int64_t& budget) {
  LoopCheck chain;
  for (std::uint64_t at = first; at != 0;) {
    if (chain.returns(at)) return error.fail("data group %lld: its channels loop", ll(index));
    if (--budget < 0) return error.fail("data group %lld: more than %lld channels", ll(index), ll(kMaxChannels));
    Block cn;
    char name[kNameRoom];
    if (!file.load(at, kTagCn, cn::kLinks, cn::kFlags + 4, cn) || !read_name(cn.links[cn::kName], name, sizeof name)) {
      return false;
    }
    const char* member = nullptr;
    int kind = kind_of(name, &member);
    if (kind < 0 && parent_kind >= 0) {
      kind = parent_kind;
      member = name;
    }
    if (!take_channel(lay, index, cn, kind, member)) return false;
    std::uint64_t composition = cn.links[cn::kComposition];
    if (composition != 0) {
      // Members hang off a composed channel; an array (CA) composition holds none of them.
      BlockHeader h;
      if (!file.header_at(composition, "a composition", h)) return false;
      if (h.tag == kTagCn) {
        if (depth == kMaxNesting) return error.fail("data group %lld: compositions nest too deep", ll(index));
        if (!collect_channels(lay, index, composition, kind, depth + 1, budget)) return false;
      }
    }
    at = cn.links[cn::kNextCn];
  }
  return true;
}

bool Mdf4Decoder::Impl::take_channel(Layout& lay, std::int64_t index, const Block& cn, int kind, const char* member) {
  const std::uint8_t type = cn.data[cn::kType];
  Channel c;
  c.present = true;
  c.type = type;
  c.data_type = cn.data[cn::kDataType];
  c.bit_offset = cn.data[cn::kBitOffset];
  c.byte_offset = get_u32(cn.data + cn::kByteOffset);
  c.bit_count = get_u32(cn.data + cn::kBitCount);
  c.conversion = cn.links[cn::kConversion];
  c.signal = cn.links[cn::kSignalData];
  if ((type == cn::kTypeMaster || type == cn::kTypeVirtualMaster) && cn.data[cn::kSyncType] == cn::kSyncTime) {
    // Checked once the group shows itself a bus-logging one: other groups may time themselves
    // in ways this reader has no use for.
    if (!lay.time.present) lay.time = c;
    return true;
  }
  ++lay.others;
  if (kind < 0) return true;
  if (lay.kind >= 0 && lay.kind != kind) {
    return error.fail("data group %lld mixes %s and %s channels", ll(index), kGroupLayouts[lay.kind].name,
                      kGroupLayouts[kind].name);
  }
  lay.kind = kind;
  const int m = member != nullptr ? member_of(member) : -1;
  if (m >= 0 && !lay.members[m].present) lay.members[m] = c;
  return true;
}

bool Mdf4Decoder::Impl::check_field(const Group& g, const Channel& c, const char* what, bool bytes, bool may_be_float) {
  const long long index = ll(g.dg);
  const bool variable = bytes && c.type == cn::kTypeVlsd;
  if (c.type != cn::kTypeValue && c.type != cn::kTypeMaxLength && !variable && c.type != cn::kTypeMaster) {
    return error.fail("data group %lld: channel %s of type %u is not supported", index, what,
                      static_cast<unsigned>(c.type));
  }
  const bool type_ok = bytes ? c.data_type == cn::kDataBytes
                             : c.data_type == cn::kDataUnsignedLe || c.data_type == cn::kDataSignedLe ||
                                   (may_be_float && c.data_type == cn::kDataFloatLe);
  if (!type_ok) {
    return error.fail("data group %lld: channel %s has data type %u", index, what, static_cast<unsigned>(c.data_type));
  }
  // Whole bytes for the data bytes (an offset of 64 bits for variable-length ones), floats of 32
  // or 64 bits, integers of 1 to 64 bits.
  const bool shape_ok =
      c.bit_offset <= 7 && c.bit_count >= 1 &&
      (variable                          ? c.bit_offset == 0 && c.bit_count == 64
       : bytes                           ? c.bit_offset == 0 && c.bit_count % 8 == 0
       : c.data_type == cn::kDataFloatLe ? c.bit_offset == 0 && (c.bit_count == 32 || c.bit_count == 64)
                                         : c.bit_count <= 64);
  if (!shape_ok) {
    return error.fail("data group %lld: channel %s has %u bits at bit %u", index, what,
                      static_cast<unsigned>(c.bit_count), static_cast<unsigned>(c.bit_offset));
  }
  if (c.byte_offset + bytes_touched(c.bit_offset, c.bit_count) > g.record_size) {
    return error.fail("data group %lld: channel %s lies outside its %llu-byte records", index, what,
                      ull(g.record_size));
  }
  return true;
}

bool Mdf4Decoder::Impl::check_time(Group& g, const Channel& c) {
  const long long index = ll(g.dg);
  const char* name = kGroupLayouts[g.kind].name;
  if (!c.present) return error.fail("data group %lld (%s): no time channel", index, name);
  if (c.type == cn::kTypeVirtualMaster) {
    return error.fail("data group %lld (%s): virtual time channel is not supported", index, name);
  }
  if (!check_field(g, c, "time", false, true)) return false;
  g.time = field_of(c);
  g.time_bits = c.bit_count;
  g.time_type = c.data_type == cn::kDataFloatLe    ? (c.bit_count == 64 ? TimeType::kF64 : TimeType::kF32)
                : c.data_type == cn::kDataSignedLe ? TimeType::kSigned
                                                   : TimeType::kUnsigned;
  if (c.conversion == 0) return true;
  Block cc;
  if (!file.load(c.conversion, kTagCc, cc::kLinks, cc::kValueCount + 2, cc)) return false;
  const std::uint8_t type = cc.data[cc::kType];
  if (type == cc::kTypeIdentity) return true;
  if (type != cc::kTypeLinear) {
    return error.fail("data group %lld (%s): time conversion type %u is not supported", index, name,
                      static_cast<unsigned>(type));
  }
  if (get_u16(cc.data + cc::kValueCount) < 2) {
    return error.fail("data group %lld (%s): the time conversion lacks its values", index, name);
  }
  if (!file.load(c.conversion, kTagCc, cc::kLinks, cc::kValues + 16, cc)) return false;
  g.time_offset = get_f64(cc.data + cc::kValues);
  g.time_factor = get_f64(cc.data + cc::kValues + 8);
  return true;
}

bool Mdf4Decoder::Impl::compile(Group& g, const Layout& lay, const Block& cg) {
  const long long index = ll(g.dg);
  const char* name = kGroupLayouts[g.kind].name;
  g.record_id = get_u64(cg.data + cg::kRecordId);
  g.cycles = get_u64(cg.data + cg::kCycleCount);
  g.record_size = static_cast<std::uint64_t>(get_u32(cg.data + cg::kDataBytes)) + get_u32(cg.data + cg::kInvalBytes);
  if (!check_time(g, lay.time)) return false;
  const bool with_data = g.kind != kGroupRemote;
  for (int m = 0; m < kMembers; ++m) {
    const Channel& c = lay.members[m];
    // Remote frames carry no data, whatever a group keeps for them.
    if (!c.present || (m == kMemberDataBytes && !with_data)) continue;
    if (!check_field(g, c, kMemberNames[m], m == kMemberDataBytes, false)) return false;
    g.members[m] = field_of(c);
  }

  // What each kind of frame cannot do without.
  const Channel* members = lay.members;
  const bool length = members[kMemberDataLength].present;
  const bool code = members[kMemberDlc].present;
  char missing[160] = "";
  int count = 0;
  auto need = [&](bool present, const char* what) {
    if (present) return;
    const std::size_t used = std::strlen(missing);
    std::snprintf(missing + used, sizeof missing - used, "%s%s.%s", count > 0 ? ", " : "", name, what);
    ++count;
  };
  switch (g.kind) {
    case kGroupData:
    case kGroupRemote:
      need(members[kMemberId].present, "ID");
      need(members[kMemberIde].present, "IDE");
      need(length || code, "DataLength (or DLC)");
      if (g.kind == kGroupData) need(members[kMemberDataBytes].present, "DataBytes");
      break;
    case kGroupLin:
      need(members[kMemberId].present, "ID");
      need(length, "DataLength");
      need(members[kMemberDataBytes].present, "DataBytes");
      break;
    default: break;
  }
  if (count > 0) {
    return error.fail("data group %lld (%s): missing channel%s %s", index, name, count > 1 ? "s" : "", missing);
  }

  const Channel& bytes = members[kMemberDataBytes];
  if (with_data && bytes.type == cn::kTypeVlsd) {
    if (bytes.signal == 0) return error.fail("data group %lld (%s): DataBytes has no signal data", index, name);
    BlockHeader h;
    if (!file.header_at(bytes.signal, "signal data", h)) return false;
    g.variable = true;
    g.signal = bytes.signal;
    g.signal_in_group = h.tag == kTagCg;
    if (g.signal_in_group && g.id_size == 0) {
      return error.fail("data group %lld (%s): signal data in a channel group of a sorted data group", index, name);
    }
  } else if (with_data) {
    g.bytes_offset = bytes.byte_offset;
    g.bytes_room = bytes.bit_count / 8;
  }
  if (g.record_size > kMaxRecord) {
    return error.fail("data group %lld (%s): records of %llu bytes are not supported", index, name, ull(g.record_size));
  }
  if (g.record_size == 0 && g.cycles > 0) return error.fail("data group %lld (%s): records of 0 bytes", index, name);
  return true;
}

bool Mdf4Decoder::Impl::next(BusRecord& record) {
  if (error.failed() || group_count == 0) return false;
  if (!started) {
    started = true;
    if (!begin()) return false;
  } else if (pending >= 0) {
    const std::int64_t i = pending;
    pending = -1;
    if (!advance(i)) return false;
    if (!cursors[i].live) heap[0] = heap[--heap_size];
    sift_down(0);
  }
  if (heap_size == 0) {
    finish();
    return false;
  }
  const std::int64_t top = heap[0];
  std::memcpy(&record, &cursors[top].head, sizeof record);
  switch (record.Kind) {
    case LIN_Frame: record.DataPointer = record.Lin.DataBytes; break;
    default: record.DataPointer = record.Can.DataBytes; break;
  }
  pending = top;
  return true;
}

bool Mdf4Decoder::Impl::begin() {
  std::int64_t streams = 0;
  for (std::int64_t i = 0; i < group_count; ++i) streams += groups[i].variable ? 2 : 1;
  windows.plan(streams);
  for (std::int64_t i = 0; i < group_count; ++i) {
    const Group& g = groups[i];
    Cursor& c = cursors[i];
    if (!windows.start(c.records, g.data, kTagDt, g.dg, g.counts ? &tally : nullptr)) return false;
    if (g.variable && !windows.start(c.signal, g.signal_in_group ? g.data : g.signal,
                                     g.signal_in_group ? kTagDt : kTagSd, g.dg, nullptr)) {
      return false;
    }
  }
  for (std::int64_t i = 0; i < group_count; ++i) {
    if (!advance(i)) return false;
    if (cursors[i].live) heap[heap_size++] = i;
  }
  for (std::int64_t at = heap_size / 2 - 1; at >= 0; --at) sift_down(at);
  return true;
}

void Mdf4Decoder::Impl::sift_down(std::int64_t at) {
  for (;;) {
    std::int64_t least = at;
    const std::int64_t left = 2 * at + 1;
    const std::int64_t right = left + 1;
    if (left < heap_size && before(heap[left], heap[least])) least = left;
    if (right < heap_size && before(heap[right], heap[least])) least = right;
    if (least == at) return;
    std::swap(heap[at], heap[least]);
    at = least;
  }
}

bool Mdf4Decoder::Impl::advance(std::int64_t i) {
  const Group& g = groups[i];
  Cursor& c = cursors[i];
  c.live = false;
  if (c.done == g.cycles) return true;
  const std::uint8_t* record = nullptr;
  const bool got = g.id_size == 0 ? windows.take(c.records, g.record_size, record, stitch) : own_record(c, g, record);
  if (!got) {
    if (error.failed()) return false;
    return error.fail("data group %lld (%s): the data ends after %llu of %llu records", ll(g.dg),
                      kGroupLayouts[g.kind].name, ull(c.done), ull(g.cycles));
  }
  if (g.members[kMemberBusChannel].present) {
    const std::uint64_t channel = value_of(record, g.members[kMemberBusChannel]);
    if (channel > kMaxBusChannel) {
      return error.fail("data group %lld (%s): BusChannel of record %llu is %llu, more than %llu", ll(g.dg),
                        kGroupLayouts[g.kind].name, ull(c.done), ull(channel), ull(kMaxBusChannel));
    }
  }
  BusRecord& r = c.head;
  decode(g, record, r);
  if (g.variable) {
    // The record's bytes may go when the signal data is read: what it holds is decoded first.
    const std::uint64_t offset = value_of(record, g.members[kMemberDataBytes]);
    const bool lin = g.kind == kGroupLin;
    std::uint8_t* out = lin ? r.Lin.DataBytes : r.Can.DataBytes;
    const std::uint64_t room = lin ? kLinMaxData : kCanMaxData;
    std::uint64_t length = 0;
    if (!signal_value(c, g, offset, out, room, length)) return false;
    if (g.kind != kGroupRemote) {
      r.DataLength = std::min(r.DataLength, length);
      std::memset(out + r.DataLength, 0, static_cast<std::size_t>(room - r.DataLength));
    }
  }
  if (std::isnan(r.Timestamp)) {
    return error.fail("data group %lld (%s): the time of record %llu is not a number", ll(g.dg),
                      kGroupLayouts[g.kind].name, ull(c.done));
  }
  if (!(r.Timestamp >= 0 && r.Timestamp < kLatestTime)) {
    return error.fail("data group %lld (%s): the time of record %llu, %g s, lies outside 1970 to 3000", ll(g.dg),
                      kGroupLayouts[g.kind].name, ull(c.done), r.Timestamp);
  }
  if (!(r.Timestamp >= c.last)) {
    return error.fail("data group %lld (%s): frames out of time order at record %llu", ll(g.dg),
                      kGroupLayouts[g.kind].name, ull(c.done));
  }
  c.last = r.Timestamp;
  ++c.done;
  c.live = true;
  return true;
}

bool Mdf4Decoder::Impl::own_record(Cursor& c, const Group& g, const std::uint8_t*& record) {
  for (;;) {
    const std::uint8_t* p;
    if (!windows.take(c.records, g.id_size, p, stitch)) return false;
    std::uint64_t id = 0;
    std::memcpy(&id, p, g.id_size);
    if (id == g.record_id) {
      if (g.counts) ++ids[g.own].seen;
      return windows.take(c.records, g.record_size, record, stitch);
    }
    if (!pass_record(c.records, g, id, g.counts)) return false;
  }
}

bool Mdf4Decoder::Impl::pass_record(DataStream& s, const Group& g, std::uint64_t id, bool count) {
  RecordKind* k = nullptr;
  for (std::int64_t j = g.ids_first; j < g.ids_first + g.ids_count; ++j) {
    if (ids[j].id == id) {
      k = &ids[j];
      break;
    }
  }
  if (k == nullptr) {
    return error.fail("data group %lld: a record has the unknown record id %llu", ll(g.dg), ull(id));
  }
  if (count) ++k->seen;
  if (!k->variable) return windows.skip(s, k->size);
  const std::uint8_t* p;
  std::uint8_t room[4 + DataWindows::kSlack];
  if (!windows.take(s, 4, p, room)) return false;
  return windows.skip(s, get_u32(p));
}

// Once every group has handed out its records: whether the data ends where they do. Records past
// a channel group's count, or one cut short at the end, are frames no trace would get: the file
// was not read to its end (`unread`), although nothing in it is broken (`error`).
bool Mdf4Decoder::Impl::finish() {
  if (finished) return true;
  finished = true;
  for (std::int64_t i = 0; i < group_count && !unread.failed(); ++i) {
    if (groups[i].counts && !(groups[i].id_size == 0 ? finish_sorted(i) : finish_unsorted(i))) return false;
  }
  return true;
}

bool Mdf4Decoder::Impl::finish_sorted(std::int64_t i) {
  const Group& g = groups[i];
  const std::uint8_t* p = nullptr;
  std::uint64_t got = 0;
  if (!windows.take_rest(cursors[i].records, g.record_size, p, stitch, got)) return false;
  if (got == 0) return true;
  if (got == g.record_size) {
    return unread.fail("data group %lld (%s): the data holds records past the %llu its channel group counts", ll(g.dg),
                       kGroupLayouts[g.kind].name, ull(g.cycles));
  }
  // Less than a record: zeros are room a writer left after the last one (padding to 8 bytes, say),
  // which no frame can be. A whole record of zeros, though, reads as a frame at the start time.
  if (std::all_of(p, p + got, [](std::uint8_t b) { return b == 0; })) return true;
  return unread.fail("data group %lld (%s): the data ends inside the record after the %llu its channel group counts",
                     ll(g.dg), kGroupLayouts[g.kind].name, ull(g.cycles));
}

bool Mdf4Decoder::Impl::finish_unsorted(std::int64_t i) {
  const Group& g = groups[i];
  DataStream& s = cursors[i].records;
  // This cursor counted the records of every id up to its last one; the rest are counted here.
  for (;;) {
    const std::uint8_t* p = nullptr;
    std::uint64_t got = 0;
    if (!windows.take_rest(s, g.id_size, p, stitch, got)) return false;
    if (got == 0) break;
    std::uint64_t id = 0;
    std::memcpy(&id, p, static_cast<std::size_t>(got));
    bool known = false;
    for (std::int64_t j = g.ids_first; j < g.ids_first + g.ids_count; ++j) known = known || ids[j].id == id;
    if (id == 0 && (got < g.id_size || !known)) {
      // No record starts with an id no group has: zeros from here to the end are room a writer
      // reserved and left unused.
      bool zeros = false;
      if (!zeros_to_end(s, zeros)) return false;
      if (zeros) break;
      return error.fail("data group %lld: a record has the unknown record id 0", ll(g.dg));
    }
    if (got < g.id_size || !pass_record(s, g, id, true)) {
      if (error.failed()) return false;
      return unread.fail("data group %lld: the data ends inside its last record", ll(g.dg));
    }
  }
  for (std::int64_t k = i; k < group_count && groups[k].dg == g.dg; ++k) {
    const Group& h = groups[k];
    const std::uint64_t stored = ids[h.own].seen;
    if (stored > h.cycles) {
      return unread.fail("data group %lld (%s): the data holds %llu records of id %llu, its channel group counts %llu",
                         ll(h.dg), kGroupLayouts[h.kind].name, ull(stored), ull(h.record_id), ull(h.cycles));
    }
  }
  return true;
}

bool Mdf4Decoder::Impl::zeros_to_end(DataStream& s, bool& zeros) {
  constexpr std::uint64_t kPiece = 4096;  // within the stitch buffer
  zeros = true;
  for (;;) {
    const std::uint8_t* p = nullptr;
    std::uint64_t got = 0;
    if (!windows.take_rest(s, kPiece, p, stitch, got)) return false;
    if (!std::all_of(p, p + got, [](std::uint8_t b) { return b == 0; })) {
      zeros = false;
      return true;
    }
    if (got < kPiece) return true;
  }
}

bool Mdf4Decoder::Impl::signal_value(Cursor& c, const Group& g, std::uint64_t offset, std::uint8_t* out,
                                     std::uint64_t room, std::uint64_t& length) {
  const long long index = ll(g.dg);
  const char* name = kGroupLayouts[g.kind].name;
  if (c.cached && offset == c.cached_offset) {
    length = c.cached_length;
    std::memcpy(out, c.cached_bytes, static_cast<std::size_t>(std::min(length, room)));
    return true;
  }
  // Writers put values in the order of the records that point at them; going back would mean
  // reading the signal data again from its start for every such record.
  const std::uint64_t at = g.signal_in_group ? c.signal_at : c.signal.position();
  if (offset < at) return error.fail("data group %lld (%s): signal data referenced out of order", index, name);
  DataStream& s = c.signal;
  std::uint8_t piece[kCanMaxData + DataWindows::kSlack];
  const std::uint8_t* p = nullptr;
  bool ok = true;
  if (g.signal_in_group) {
    // The values are the records of another channel group, each its length and its bytes; the
    // offset counts both over the values before it.
    for (;;) {
      if (!(ok = windows.take(s, g.id_size, p, piece))) break;
      std::uint64_t id = 0;
      std::memcpy(&id, p, g.id_size);
      if (id != g.signal_id) {
        if (!(ok = pass_record(s, g, id, false))) break;
        continue;
      }
      if (!(ok = windows.take(s, 4, p, piece))) break;
      const std::uint64_t n = get_u32(p);
      const std::uint64_t value_at = c.signal_at;
      c.signal_at += 4 + n;
      if (value_at == offset) {
        length = n;
        break;
      }
      if (!(ok = windows.skip(s, n))) break;
      if (c.signal_at > offset) {
        return error.fail("data group %lld (%s): signal data offset %llu is inside a value", index, name, ull(offset));
      }
    }
  } else {
    ok = windows.skip(s, offset - at) && windows.take(s, 4, p, piece);
    if (ok) length = get_u32(p);
  }
  const std::uint64_t n = std::min(length, room);
  ok = ok && windows.take(s, n, p, piece);
  if (ok) std::memcpy(out, p, static_cast<std::size_t>(n));
  ok = ok && windows.skip(s, length - n);
  if (!ok) {
    if (error.failed()) return false;
    return error.fail("data group %lld (%s): the signal data ends before offset %llu", index, name, ull(offset));
  }
  c.cached = true;
  c.cached_offset = offset;
  c.cached_length = length;
  std::memcpy(c.cached_bytes, out, static_cast<std::size_t>(n));
  return true;
}

void Mdf4Decoder::Impl::decode(const Group& g, const std::uint8_t* record, BusRecord& r) const {
  std::memset(&r, 0, sizeof r);
  double raw;
  switch (g.time_type) {
    case TimeType::kF64: raw = get_f64(record + g.time.byte_offset); break;
    case TimeType::kF32: raw = static_cast<double>(get_f32(record + g.time.byte_offset)); break;
    case TimeType::kUnsigned: raw = static_cast<double>(value_of(record, g.time)); break;
    default: {
      std::uint64_t v = value_of(record, g.time);
      if (g.time_bits < 64 && ((v >> (g.time_bits - 1)) & 1) != 0) v |= ~std::uint64_t{0} << g.time_bits;
      raw = static_cast<double>(static_cast<std::int64_t>(v));
      break;
    }
  }
  // Whole seconds apart, so that a start time of whole seconds adds exactly what python-can adds.
  r.Timestamp = start_seconds + (start_fraction + (g.time_offset + g.time_factor * raw));

  const Field* m = g.members;
  auto value = [&](int member) { return value_of(record, m[member]); };
  auto flag = [&](int member) -> std::uint8_t { return value(member) != 0 ? 1 : 0; };
  const std::uint8_t channel = m[kMemberBusChannel].present ? static_cast<std::uint8_t>(value(kMemberBusChannel)) : 1;
  switch (g.kind) {
    case kGroupData:
    case kGroupError:
    case kGroupRemote: {
      // A logger records what it saw of an error frame in the members of a data frame.
      CanTail& can = r.Can;
      const bool remote = g.kind == kGroupRemote;
      r.Kind = remote ? CAN_RemoteFrame : g.kind == kGroupError ? CAN_ErrorFrame : CAN_DataFrame;
      r.ID = static_cast<std::uint32_t>(value(kMemberId)) & kCanIdMask;
      can.BusChannel = channel;
      can.IDE = flag(kMemberIde);
      can.Dir = flag(kMemberDir);
      if (!remote) {
        can.EDL = flag(kMemberEdl);
        can.BRS = flag(kMemberBrs);
        can.ESI = flag(kMemberEsi);
      }
      const bool fd = can.EDL != 0;
      const std::uint64_t stated = value(kMemberDataLength);
      can.DLC = m[kMemberDlc].present ? static_cast<std::uint8_t>(value(kMemberDlc)) : dlc_of_length(stated, fd);
      const std::uint64_t declared = m[kMemberDataLength].present ? stated : length_of_dlc(can.DLC, fd);
      if (remote) {
        can.Remote = 1;
        r.DataLength = std::min(declared, kCanMaxData);
        break;
      }
      if (g.kind == kGroupError) can.ErrorType = static_cast<std::int32_t>(value(kMemberErrorType));
      // Signal data tells its own length; fixed bytes are as many as the channel holds.
      const std::uint64_t n = std::min({declared, g.variable ? kCanMaxData : g.bytes_room, kCanMaxData});
      if (!g.variable) std::memcpy(can.DataBytes, record + g.bytes_offset, static_cast<std::size_t>(n));
      r.DataLength = n;
      break;
    }
    default: {
      LinTail& lin = r.Lin;
      r.Kind = LIN_Frame;
      r.ID = static_cast<std::uint32_t>(value(kMemberId));
      lin.BusChannel = channel;
      lin.Dir = flag(kMemberDir);
      lin.ReceivedDataByteCount = static_cast<std::uint8_t>(value(kMemberReceivedDataByteCount));
      const std::uint64_t n =
          std::min({value(kMemberDataLength), g.variable ? kLinMaxData : g.bytes_room, kLinMaxData});
      if (!g.variable) std::memcpy(lin.DataBytes, record + g.bytes_offset, static_cast<std::size_t>(n));
      r.DataLength = n;
      break;
    }
  }
}

}  // namespace quarn
