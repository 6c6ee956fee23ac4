#pragma once

// The discovery of an MDF4 file's bus-logging groups: the walk of its data groups, channel groups
// and channels, which finds the groups that hold frames by their channels' names, checks what
// their channels say, and compiles each into a BusGroup, the plan by which its records are
// decoded. Nothing here reads a record: that is mdf4_records'.
//
// Only the MDF4 decoder, its parts and their tests include this.

#include <cstdint>
#include <cstring>

#include "mdf4/mdf4_data.h"
#include "mdf4/mdf4_internal.h"

namespace quarn::mdf4 {

// The longest record read: bus-logging records are below 100 bytes.
inline constexpr std::uint64_t kMaxRecord = 65536;

// Where an unsigned value lies in a record, ready to be read with one 8-byte load: `shift` bits
// into the 8 bytes at `byte_offset`, `mask` wide; `wide` values reach into a ninth byte.
struct Field {
  std::uint32_t byte_offset = 0;
  std::uint8_t shift = 0;
  bool wide = false;
  bool present = false;
  std::uint64_t mask = 0;
};

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

// A bus-logging channel group: where its records are and how to decode them.
struct BusGroup {
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

// The bus-logging groups of one file, in file order (data group, then channel group), and the
// record ids of their unsorted data groups.
class GroupCatalog {
 public:
  GroupCatalog(FileAccess& file, ErrorText& error) : file_(file), error_(error) {}
  ~GroupCatalog();
  GroupCatalog(const GroupCatalog&) = delete;
  GroupCatalog& operator=(const GroupCatalog&) = delete;

  // Walks the data groups from the header's link `first_dg` in a file of MDF `version`. False,
  // with the error set, when a block is broken or a group cannot be read.
  bool read(std::uint16_t version, std::uint64_t first_dg);

  BusGroup* groups() const { return groups_; }
  std::int64_t count() const { return count_; }
  // The channel group of record id `id` in `g`'s data group; null when none has it.
  RecordKind* kind_of_id(const BusGroup& g, std::uint64_t id) const {
    for (std::int64_t j = g.ids_first; j < g.ids_first + g.ids_count; ++j) {
      if (ids_[j].id == id) return &ids_[j];
    }
    return nullptr;
  }
  // The records of `g`'s own id counted so far.
  std::uint64_t& seen(const BusGroup& g) const { return ids_[g.own].seen; }

  // What the walk gathers of a channel and of a channel group's channels, before it judges them.
  struct Channel;
  struct Layout;

 private:
  bool read_group(std::int64_t index, const Block& dg);
  bool read_channel_group(std::int64_t index, const Block& cg, std::uint8_t id_size);
  bool add_id(std::int64_t index, std::int64_t first, const RecordKind& k);
  bool collect_channels(Layout& lay, std::int64_t index, std::uint64_t first, int parent_kind, int depth,
                        std::int64_t& budget);
  bool read_name(std::uint64_t offset, char* out, std::size_t room);
  bool take_channel(Layout& lay, std::int64_t index, const Block& cn, int kind, const char* member);
  bool check_field(const BusGroup& g, const Channel& c, const char* what, bool bytes, bool may_be_float);
  bool check_time(BusGroup& g, const Channel& c);
  bool compile(BusGroup& g, const Layout& lay, const Block& cg);
  bool push_group(const BusGroup& g);

  FileAccess& file_;
  ErrorText& error_;
  std::uint16_t version_ = 0;
  BusGroup* groups_ = nullptr;
  std::int64_t count_ = 0;
  std::int64_t capacity_ = 0;
  RecordKind* ids_ = nullptr;
  std::int64_t id_count_ = 0;
  std::int64_t id_capacity_ = 0;
};

}  // namespace quarn::mdf4
