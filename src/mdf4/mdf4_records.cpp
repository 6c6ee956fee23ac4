#include "mdf4/mdf4_records.h"

#include <algorithm>
#include <cmath>

#include "base/memory.h"

namespace quarn::mdf4 {
namespace {

constexpr std::uint32_t kCanIdMask = 0x1FFFFFFF;
// Frames come from 1970 (the header's start time cannot lie before it) to 3000: a time beyond
// is a broken clock or a broken file, and no trace holds it as the frame's time.
constexpr double kLatestTime = 32503680000.0;  // 3000-01-01 00:00:00 UTC
// A frame's bus channel is one byte wide.
constexpr std::uint64_t kMaxBusChannel = 255;

// Data lengths of the CAN FD codes 9 to 15.
constexpr std::uint8_t kFdLengths[7] = {12, 16, 20, 24, 32, 48, 64};

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

}  // namespace

RecordReader::~RecordReader() { mem_free(stitch_); }

bool RecordReader::allocate() {
  stitch_ = static_cast<std::uint8_t*>(mem_alloc(kMaxRecord + DataWindows::kSlack));
  return stitch_ != nullptr;
}

void RecordReader::set_start(std::uint64_t start_ns) {
  start_seconds_ = static_cast<double>(start_ns / 1000000000u);
  start_fraction_ = static_cast<double>(start_ns % 1000000000u) / 1e9;
}

bool RecordReader::start(Cursor* cursors) {
  const BusGroup* groups = catalog_.groups();
  std::int64_t streams = 0;
  for (std::int64_t i = 0; i < catalog_.count(); ++i) streams += groups[i].variable ? 2 : 1;
  windows_.plan(streams);
  for (std::int64_t i = 0; i < catalog_.count(); ++i) {
    const BusGroup& g = groups[i];
    Cursor& c = cursors[i];
    if (!windows_.start(c.records, g.data, kTagDt, g.dg, g.counts ? &tally_ : nullptr)) return false;
    if (g.variable && !windows_.start(c.signal, g.signal_in_group ? g.data : g.signal,
                                      g.signal_in_group ? kTagDt : kTagSd, g.dg, nullptr)) {
      return false;
    }
  }
  return true;
}

void RecordReader::release(Cursor& c) {
  windows_.release(c.records);
  windows_.release(c.signal);
}

bool RecordReader::advance(Cursor& c, const BusGroup& g) {
  c.live = false;
  if (c.done == g.cycles) return true;
  const std::uint8_t* record = nullptr;
  const bool got = g.id_size == 0 ? windows_.take(c.records, g.record_size, record, stitch_) : own_record(c, g, record);
  if (!got) {
    if (error_.failed()) return false;
    return error_.fail("data group %lld (%s): the data ends after %llu of %llu records", ll(g.dg),
                       kGroupLayouts[g.kind].name, ull(c.done), ull(g.cycles));
  }
  if (g.members[kMemberBusChannel].present) {
    const std::uint64_t channel = value_of(record, g.members[kMemberBusChannel]);
    if (channel > kMaxBusChannel) {
      return error_.fail("data group %lld (%s): BusChannel of record %llu is %llu, more than %llu", ll(g.dg),
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
    return error_.fail("data group %lld (%s): the time of record %llu is not a number", ll(g.dg),
                       kGroupLayouts[g.kind].name, ull(c.done));
  }
  if (!(r.Timestamp >= 0 && r.Timestamp < kLatestTime)) {
    return error_.fail("data group %lld (%s): the time of record %llu, %g s, lies outside 1970 to 3000", ll(g.dg),
                       kGroupLayouts[g.kind].name, ull(c.done), r.Timestamp);
  }
  if (!(r.Timestamp >= c.last)) {
    return error_.fail("data group %lld (%s): frames out of time order at record %llu", ll(g.dg),
                       kGroupLayouts[g.kind].name, ull(c.done));
  }
  c.last = r.Timestamp;
  ++c.done;
  c.live = true;
  return true;
}

bool RecordReader::own_record(Cursor& c, const BusGroup& g, const std::uint8_t*& record) {
  for (;;) {
    const std::uint8_t* p;
    if (!windows_.take(c.records, g.id_size, p, stitch_)) return false;
    std::uint64_t id = 0;
    std::memcpy(&id, p, g.id_size);
    if (id == g.record_id) {
      if (g.counts) ++catalog_.seen(g);
      return windows_.take(c.records, g.record_size, record, stitch_);
    }
    if (!pass_record(c.records, g, id, g.counts)) return false;
  }
}

bool RecordReader::pass_record(DataStream& s, const BusGroup& g, std::uint64_t id, bool count) {
  RecordKind* k = catalog_.kind_of_id(g, id);
  if (k == nullptr) {
    return error_.fail("data group %lld: a record has the unknown record id %llu", ll(g.dg), ull(id));
  }
  if (count) ++k->seen;
  if (!k->variable) return windows_.skip(s, k->size);
  const std::uint8_t* p;
  std::uint8_t room[4 + DataWindows::kSlack];
  if (!windows_.take(s, 4, p, room)) return false;
  return windows_.skip(s, get_u32(p));
}

bool RecordReader::check_ends(Cursor* cursors) {
  const BusGroup* groups = catalog_.groups();
  for (std::int64_t i = 0; i < catalog_.count() && !unread_.failed(); ++i) {
    if (groups[i].counts &&
        !(groups[i].id_size == 0 ? end_sorted(cursors[i], groups[i]) : end_unsorted(cursors[i], i))) {
      return false;
    }
  }
  return true;
}

bool RecordReader::end_sorted(Cursor& c, const BusGroup& g) {
  const std::uint8_t* p = nullptr;
  std::uint64_t got = 0;
  if (!windows_.take_rest(c.records, g.record_size, p, stitch_, got)) return false;
  if (got == 0) return true;
  if (got == g.record_size) {
    return unread_.fail("data group %lld (%s): the data holds records past the %llu its channel group counts", ll(g.dg),
                        kGroupLayouts[g.kind].name, ull(g.cycles));
  }
  // Less than a record: zeros are room a writer left after the last one (padding to 8 bytes, say),
  // which no frame can be. A whole record of zeros, though, reads as a frame at the start time.
  if (std::all_of(p, p + got, [](std::uint8_t b) { return b == 0; })) return true;
  return unread_.fail("data group %lld (%s): the data ends inside the record after the %llu its channel group counts",
                      ll(g.dg), kGroupLayouts[g.kind].name, ull(g.cycles));
}

bool RecordReader::end_unsorted(Cursor& c, std::int64_t i) {
  const BusGroup* groups = catalog_.groups();
  const BusGroup& g = groups[i];
  DataStream& s = c.records;
  // This cursor counted the records of every id up to its last one; the rest are counted here.
  for (;;) {
    const std::uint8_t* p = nullptr;
    std::uint64_t got = 0;
    if (!windows_.take_rest(s, g.id_size, p, stitch_, got)) return false;
    if (got == 0) break;
    std::uint64_t id = 0;
    std::memcpy(&id, p, static_cast<std::size_t>(got));
    const bool known = catalog_.kind_of_id(g, id) != nullptr;
    if (id == 0 && (got < g.id_size || !known)) {
      // No record starts with an id no group has: zeros from here to the end are room a writer
      // reserved and left unused.
      bool zeros = false;
      if (!zeros_to_end(s, zeros)) return false;
      if (zeros) break;
      return error_.fail("data group %lld: a record has the unknown record id 0", ll(g.dg));
    }
    if (got < g.id_size || !pass_record(s, g, id, true)) {
      if (error_.failed()) return false;
      return unread_.fail("data group %lld: the data ends inside its last record", ll(g.dg));
    }
  }
  for (std::int64_t k = i; k < catalog_.count() && groups[k].dg == g.dg; ++k) {
    const BusGroup& h = groups[k];
    const std::uint64_t stored = catalog_.seen(h);
    if (stored > h.cycles) {
      return unread_.fail("data group %lld (%s): the data holds %llu records of id %llu, its channel group counts %llu",
                          ll(h.dg), kGroupLayouts[h.kind].name, ull(stored), ull(h.record_id), ull(h.cycles));
    }
  }
  return true;
}

bool RecordReader::zeros_to_end(DataStream& s, bool& zeros) {
  constexpr std::uint64_t kPiece = 4096;  // within the stitch buffer
  zeros = true;
  for (;;) {
    const std::uint8_t* p = nullptr;
    std::uint64_t got = 0;
    if (!windows_.take_rest(s, kPiece, p, stitch_, got)) return false;
    if (!std::all_of(p, p + got, [](std::uint8_t b) { return b == 0; })) {
      zeros = false;
      return true;
    }
    if (got < kPiece) return true;
  }
}

bool RecordReader::signal_value(Cursor& c, const BusGroup& g, std::uint64_t offset, std::uint8_t* out,
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
  if (offset < at) return error_.fail("data group %lld (%s): signal data referenced out of order", index, name);
  DataStream& s = c.signal;
  std::uint8_t piece[kCanMaxData + DataWindows::kSlack];
  const std::uint8_t* p = nullptr;
  bool ok = true;
  if (g.signal_in_group) {
    // The values are the records of another channel group, each its length and its bytes; the
    // offset counts both over the values before it.
    for (;;) {
      if (!(ok = windows_.take(s, g.id_size, p, piece))) break;
      std::uint64_t id = 0;
      std::memcpy(&id, p, g.id_size);
      if (id != g.signal_id) {
        if (!(ok = pass_record(s, g, id, false))) break;
        continue;
      }
      if (!(ok = windows_.take(s, 4, p, piece))) break;
      const std::uint64_t n = get_u32(p);
      const std::uint64_t value_at = c.signal_at;
      c.signal_at += 4 + n;
      if (value_at == offset) {
        length = n;
        break;
      }
      if (!(ok = windows_.skip(s, n))) break;
      if (c.signal_at > offset) {
        return error_.fail("data group %lld (%s): signal data offset %llu is inside a value", index, name, ull(offset));
      }
    }
  } else {
    ok = windows_.skip(s, offset - at) && windows_.take(s, 4, p, piece);
    if (ok) length = get_u32(p);
  }
  const std::uint64_t n = std::min(length, room);
  ok = ok && windows_.take(s, n, p, piece);
  if (ok) std::memcpy(out, p, static_cast<std::size_t>(n));
  ok = ok && windows_.skip(s, length - n);
  if (!ok) {
    if (error_.failed()) return false;
    return error_.fail("data group %lld (%s): the signal data ends before offset %llu", index, name, ull(offset));
  }
  c.cached = true;
  c.cached_offset = offset;
  c.cached_length = length;
  std::memcpy(c.cached_bytes, out, static_cast<std::size_t>(n));
  return true;
}

void RecordReader::decode(const BusGroup& g, const std::uint8_t* record, BusRecord& r) const {
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
  r.Timestamp = start_seconds_ + (start_fraction_ + (g.time_offset + g.time_factor * raw));

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

}  // namespace quarn::mdf4
