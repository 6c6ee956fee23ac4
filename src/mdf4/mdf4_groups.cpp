#include "mdf4/mdf4_groups.h"

#include <algorithm>
#include <cstdio>

#include "base/memory.h"

namespace quarn::mdf4 {

// A channel as its block describes it, before it is checked.
struct GroupCatalog::Channel {
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
struct GroupCatalog::Layout {
  int kind = -1;   // a GroupKind, -1 while no channel has named one
  int others = 0;  // channels besides the time channel, whatever their names
  Channel time;
  Channel members[kMembers];
};

namespace {

// Bounds on what a file can make the decoder walk or keep. Each list walk also stops at its
// bound, so a list that loops back on itself ends in an error rather than in a hang.
constexpr std::int64_t kMaxDataGroups = 65536;
constexpr std::int64_t kMaxBusGroups = 4096;
constexpr std::int64_t kMaxChannelGroups = 4096;  // per data group
constexpr std::int64_t kMaxChannels = 4096;       // per channel group, compositions included
constexpr int kMaxNesting = 4;                    // compositions within compositions
constexpr std::size_t kNameRoom = 64;             // longer names cannot be any the decoder looks for

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

// Appends `item` to `items`, which hold `count` of room for `capacity`, growing them (to
// `first`, then twice as many) when full. False, changing nothing, when memory runs out.
template <typename T>
bool append(T*& items, std::int64_t& count, std::int64_t& capacity, std::int64_t first, const T& item) {
  if (count == capacity) {
    const std::int64_t want = capacity == 0 ? first : capacity * 2;
    void* grown = mem_realloc(items, static_cast<std::size_t>(want) * sizeof(T));
    if (grown == nullptr) return false;
    items = static_cast<T*>(grown);
    capacity = want;
  }
  items[count++] = item;
  return true;
}

Field field_of(const GroupCatalog::Channel& c) {
  Field f;
  f.present = c.present;
  if (!c.present) return f;  // reads 0 from the record's first bytes
  f.byte_offset = c.byte_offset;
  f.shift = c.bit_offset;
  f.wide = c.bit_offset + c.bit_count > 64;
  f.mask = c.bit_count >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << c.bit_count) - 1;
  return f;
}

}  // namespace

GroupCatalog::~GroupCatalog() {
  mem_free(groups_);
  mem_free(ids_);
}

bool GroupCatalog::read(std::uint16_t version, std::uint64_t first_dg) {
  version_ = version;
  std::int64_t index = 0;
  LoopCheck chain;
  for (std::uint64_t at = first_dg; at != 0; ++index) {
    if (chain.returns(at)) return error_.fail("the data groups loop");
    if (index == kMaxDataGroups) return error_.fail("more than %lld data groups", ll(kMaxDataGroups));
    Block dg;
    if (!file_.load(at, kTagDg, dg::kLinks, dg::kRecordIdSize + 1, dg) || !read_group(index, dg)) return false;
    at = dg.links[dg::kNextDg];
  }
  return true;
}

bool GroupCatalog::read_group(std::int64_t index, const Block& dg) {
  const std::uint8_t id_size = dg.data[dg::kRecordIdSize];
  if (id_size != 0 && id_size != 1 && id_size != 2 && id_size != 4 && id_size != 8) {
    return error_.fail("data group %lld: record ids of %u bytes are not supported", ll(index),
                       static_cast<unsigned>(id_size));
  }
  const std::int64_t ids_first = id_count_;
  const std::int64_t groups_first = count_;
  LoopCheck chain;
  std::int64_t n = 0;
  for (std::uint64_t at = dg.links[dg::kFirstCg]; at != 0; ++n) {
    if (chain.returns(at)) return error_.fail("data group %lld: its channel groups loop", ll(index));
    if (n == kMaxChannelGroups) {
      return error_.fail("data group %lld: more than %lld channel groups", ll(index), ll(kMaxChannelGroups));
    }
    // Without record ids nothing tells whose a record is.
    if (n == 1 && id_size == 0)
      return error_.fail("data group %lld: several channel groups without record ids", ll(index));
    Block cg;
    if (!file_.load(at, kTagCg, cg::kLinks, cg::kDataSize, cg)) return false;
    RecordKind k;
    k.id = get_u64(cg.data + cg::kRecordId);
    k.variable = (get_u16(cg.data + cg::kFlags) & cg::kFlagVlsd) != 0;
    k.size = static_cast<std::uint64_t>(get_u32(cg.data + cg::kDataBytes)) + get_u32(cg.data + cg::kInvalBytes);
    k.group = at;
    // Such a group's records are values that other groups' records point at: it has no channels
    // of its own, and channels there would be frames nobody reads.
    if (k.variable && cg.links[cg::kFirstCn] != 0) {
      return error_.fail("data group %lld: a variable-length channel group has channels", ll(index));
    }
    if (!add_id(index, ids_first, k)) return false;
    if (!k.variable && !read_channel_group(index, cg, id_size)) return false;
    at = cg.links[cg::kNextCg];
  }
  if (count_ == groups_first) {
    id_count_ = ids_first;  // nothing of this data group is read
    return true;
  }
  groups_[groups_first].counts = true;
  for (std::int64_t i = groups_first; i < count_; ++i) {
    BusGroup& g = groups_[i];
    g.data = dg.links[dg::kData];
    g.ids_first = ids_first;
    g.ids_count = id_count_ - ids_first;
    for (std::int64_t j = ids_first; id_size != 0 && j < id_count_; ++j) {
      if (ids_[j].id == g.record_id) g.own = j;
    }
    if (!g.signal_in_group) continue;
    const RecordKind* k = nullptr;
    for (std::int64_t j = ids_first; j < id_count_; ++j) {
      if (ids_[j].group == g.signal) k = &ids_[j];
    }
    if (k == nullptr || !k->variable) {
      return error_.fail("data group %lld (%s): the channel group at offset %llu holds no variable-length data",
                         ll(index), kGroupLayouts[g.kind].name, ull(g.signal));
    }
    g.signal_id = k->id;
  }
  return true;
}

bool GroupCatalog::add_id(std::int64_t index, std::int64_t first, const RecordKind& k) {
  for (std::int64_t j = first; j < id_count_; ++j) {
    if (ids_[j].group == k.group) return error_.fail("data group %lld: its channel groups loop", ll(index));
    if (ids_[j].id == k.id) {
      return error_.fail("data group %lld: two channel groups have the record id %llu", ll(index), ull(k.id));
    }
  }
  return append(ids_, id_count_, id_capacity_, 8, k) || error_.fail("out of memory");
}

bool GroupCatalog::read_channel_group(std::int64_t index, const Block& cg, std::uint8_t id_size) {
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
    if (!file_.load(source, kTagSi, si::kLinks, si::kBusType + 1, si)) return false;
    const std::uint8_t bus = si.data[si::kBusType];
    if (si.data[si::kSourceType] != si::kSourceBus || (bus != si::kBusCan && bus != si::kBusLin)) return true;
    return error_.fail("data group %lld: a %s bus channel group of %llu records has no channels but its time",
                       ll(index), bus == si::kBusCan ? "CAN" : "LIN", ull(records));
  }
  const char* name = kGroupLayouts[lay.kind].name;
  if (version_ >= 420 && (get_u16(cg.data + cg::kFlags) & cg::kFlagRemoteMaster) != 0) {
    return error_.fail("data group %lld (%s): column-oriented data groups are not supported", ll(index), name);
  }
  if (source != 0) {
    Block si;
    if (!file_.load(source, kTagSi, si::kLinks, si::kBusType + 1, si)) return false;
    // A group named for one bus but acquired from another (any bus type but "none" and "other")
    // holds none of its frames.
    const std::uint8_t bus = si.data[si::kBusType];
    if (si.data[si::kSourceType] == si::kSourceBus && bus >= si::kBusCan && bus != kGroupLayouts[lay.kind].bus_type) {
      return true;
    }
  }
  BusGroup g;
  g.kind = lay.kind;
  g.dg = index;
  g.id_size = id_size;
  return compile(g, lay, cg) && push_group(g);
}

bool GroupCatalog::push_group(const BusGroup& g) {
  if (count_ == kMaxBusGroups) return error_.fail("more than %lld bus-logging groups", ll(kMaxBusGroups));
  return append(groups_, count_, capacity_, 4, g) || error_.fail("out of memory");
}

bool GroupCatalog::read_name(std::uint64_t offset, char* out, std::size_t room) {
  out[0] = '\0';
  if (offset == 0) return true;
  Block tx;
  if (!file_.load(offset, kTagTx, 0, 0, tx)) return false;
  std::uint64_t n = std::min<std::uint64_t>(tx.h.length - data_start(tx.h.links), room - 1);
  if (!file_.read_at(offset + data_start(tx.h.links), out, n)) return false;
  out[n] = '\0';
  return true;
}

bool GroupCatalog::collect_channels(Layout& lay, std::int64_t index, std::uint64_t first, int parent_kind, int depth,
                                    std::int64_t& budget) {
  LoopCheck chain;
  for (std::uint64_t at = first; at != 0;) {
    if (chain.returns(at)) return error_.fail("data group %lld: its channels loop", ll(index));
    if (--budget < 0) return error_.fail("data group %lld: more than %lld channels", ll(index), ll(kMaxChannels));
    Block cn;
    char name[kNameRoom];
    if (!file_.load(at, kTagCn, cn::kLinks, cn::kFlags + 4, cn) || !read_name(cn.links[cn::kName], name, sizeof name)) {
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
      if (!file_.header_at(composition, "a composition", h)) return false;
      if (h.tag == kTagCn) {
        if (depth == kMaxNesting) return error_.fail("data group %lld: compositions nest too deep", ll(index));
        if (!collect_channels(lay, index, composition, kind, depth + 1, budget)) return false;
      }
    }
    at = cn.links[cn::kNextCn];
  }
  return true;
}

bool GroupCatalog::take_channel(Layout& lay, std::int64_t index, const Block& cn, int kind, const char* member) {
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
    // in ways this decoder has no use for.
    if (!lay.time.present) lay.time = c;
    return true;
  }
  ++lay.others;
  if (kind < 0) return true;
  if (lay.kind >= 0 && lay.kind != kind) {
    return error_.fail("data group %lld mixes %s and %s channels", ll(index), kGroupLayouts[lay.kind].name,
                       kGroupLayouts[kind].name);
  }
  lay.kind = kind;
  const int m = member != nullptr ? member_of(member) : -1;
  if (m >= 0 && !lay.members[m].present) lay.members[m] = c;
  return true;
}

bool GroupCatalog::check_field(const BusGroup& g, const Channel& c, const char* what, bool bytes, bool may_be_float) {
  const long long index = ll(g.dg);
  const bool variable = bytes && c.type == cn::kTypeVlsd;
  if (c.type != cn::kTypeValue && c.type != cn::kTypeMaxLength && !variable && c.type != cn::kTypeMaster) {
    return error_.fail("data group %lld: channel %s of type %u is not supported", index, what,
                       static_cast<unsigned>(c.type));
  }
  const bool type_ok = bytes ? c.data_type == cn::kDataBytes
                             : c.data_type == cn::kDataUnsignedLe || c.data_type == cn::kDataSignedLe ||
                                   (may_be_float && c.data_type == cn::kDataFloatLe);
  if (!type_ok) {
    return error_.fail("data group %lld: channel %s has data type %u", index, what, static_cast<unsigned>(c.data_type));
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
    return error_.fail("data group %lld: channel %s has %u bits at bit %u", index, what,
                       static_cast<unsigned>(c.bit_count), static_cast<unsigned>(c.bit_offset));
  }
  if (c.byte_offset + bytes_touched(c.bit_offset, c.bit_count) > g.record_size) {
    return error_.fail("data group %lld: channel %s lies outside its %llu-byte records", index, what,
                       ull(g.record_size));
  }
  return true;
}

bool GroupCatalog::check_time(BusGroup& g, const Channel& c) {
  const long long index = ll(g.dg);
  const char* name = kGroupLayouts[g.kind].name;
  if (!c.present) return error_.fail("data group %lld (%s): no time channel", index, name);
  if (c.type == cn::kTypeVirtualMaster) {
    return error_.fail("data group %lld (%s): virtual time channel is not supported", index, name);
  }
  if (!check_field(g, c, "time", false, true)) return false;
  g.time = field_of(c);
  g.time_bits = c.bit_count;
  g.time_type = c.data_type == cn::kDataFloatLe    ? (c.bit_count == 64 ? TimeType::kF64 : TimeType::kF32)
                : c.data_type == cn::kDataSignedLe ? TimeType::kSigned
                                                   : TimeType::kUnsigned;
  if (c.conversion == 0) return true;
  Block cc;
  if (!file_.load(c.conversion, kTagCc, cc::kLinks, cc::kValueCount + 2, cc)) return false;
  const std::uint8_t type = cc.data[cc::kType];
  if (type == cc::kTypeIdentity) return true;
  if (type != cc::kTypeLinear) {
    return error_.fail("data group %lld (%s): time conversion type %u is not supported", index, name,
                       static_cast<unsigned>(type));
  }
  if (get_u16(cc.data + cc::kValueCount) < 2) {
    return error_.fail("data group %lld (%s): the time conversion lacks its values", index, name);
  }
  if (!file_.load(c.conversion, kTagCc, cc::kLinks, cc::kValues + 16, cc)) return false;
  g.time_offset = get_f64(cc.data + cc::kValues);
  g.time_factor = get_f64(cc.data + cc::kValues + 8);
  return true;
}

bool GroupCatalog::compile(BusGroup& g, const Layout& lay, const Block& cg) {
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
    return error_.fail("data group %lld (%s): missing channel%s %s", index, name, count > 1 ? "s" : "", missing);
  }

  const Channel& bytes = members[kMemberDataBytes];
  if (with_data && bytes.type == cn::kTypeVlsd) {
    if (bytes.signal == 0) return error_.fail("data group %lld (%s): DataBytes has no signal data", index, name);
    BlockHeader h;
    if (!file_.header_at(bytes.signal, "signal data", h)) return false;
    g.variable = true;
    g.signal = bytes.signal;
    g.signal_in_group = h.tag == kTagCg;
    if (g.signal_in_group && g.id_size == 0) {
      return error_.fail("data group %lld (%s): signal data in a channel group of a sorted data group", index, name);
    }
  } else if (with_data) {
    g.bytes_offset = bytes.byte_offset;
    g.bytes_room = bytes.bit_count / 8;
  }
  if (g.record_size > kMaxRecord) {
    return error_.fail("data group %lld (%s): records of %llu bytes are not supported", index, name,
                       ull(g.record_size));
  }
  if (g.record_size == 0 && g.cycles > 0) return error_.fail("data group %lld (%s): records of 0 bytes", index, name);
  return true;
}

}  // namespace quarn::mdf4
