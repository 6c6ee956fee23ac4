#include "batch/record_store.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <type_traits>

namespace quarn {
namespace {

// Bits of a copy. CAN: the kind in the top two bits, then the flags; LIN uses kTx only.
constexpr std::uint8_t kExtended = 1;  // IDE == 1
constexpr std::uint8_t kTx = 2;        // Dir == 1
constexpr std::uint8_t kEdl = 4;       // EDL != 0
constexpr std::uint8_t kRemote = 8;    // Remote != 0
constexpr std::uint8_t kBrs = 16;      // BRS == 1
constexpr std::uint8_t kEsi = 32;      // ESI == 1
constexpr std::uint8_t kKindShift = 6;
constexpr std::uint8_t kLengthMask = 0x7F;
constexpr std::uint8_t kWide = 0x80;  // in Length: BRS and ESI are above 1 (no logger writes that) and follow as bytes

static_assert(sizeof(RecordStore::Copy) == 16 && std::is_trivially_copyable_v<RecordStore::Copy>);

std::uint8_t kind_code(std::uint32_t kind) { return kind == CAN_RemoteFrame ? 1 : kind == CAN_ErrorFrame ? 2 : 0; }

std::uint32_t kind_of(std::uint8_t bits) {
  switch (bits >> kKindShift) {
    case 1: return CAN_RemoteFrame;
    case 2: return CAN_ErrorFrame;
    default: return CAN_DataFrame;
  }
}

// One block holding the copy, `extra` bytes and `n` data bytes from `bytes`; null when memory runs out.
RecordStore::Copy* allocate_copy(Arena& arena, std::size_t extra, const std::uint8_t* bytes, std::uint64_t n) {
  void* block = arena.allocate(sizeof(RecordStore::Copy) + extra + n);
  if (block == nullptr) return nullptr;
  auto* copy = new (block) RecordStore::Copy{};
  copy->Length = static_cast<std::uint8_t>(n);
  if (n > 0) std::memcpy(static_cast<std::uint8_t*>(block) + sizeof(RecordStore::Copy) + extra, bytes, n);
  return copy;
}

const std::uint8_t* after(const RecordStore::Copy& copy) { return reinterpret_cast<const std::uint8_t*>(&copy + 1); }

}  // namespace

bool RecordStore::keep(const BusRecord& record) {
  switch (record.Kind) {
    case CAN_DataFrame:
    case CAN_RemoteFrame:
    case CAN_ErrorFrame: {
      // The bytes come from the record's own DataBytes, never through DataPointer, and at most as
      // many as it holds: a malformed record cannot make the copy read foreign memory.
      const CanTail& can = record.Can;
      std::uint64_t n = std::min(record.DataLength, kCanMaxData);
      bool wide = can.BRS > 1 || can.ESI > 1;
      // An error frame's type follows in four bytes, before anything else behind the copy.
      std::size_t typed = record.Kind == CAN_ErrorFrame ? sizeof(std::int32_t) : 0;
      Copy* copy = allocate_copy(copies_, typed + (wide ? 2 : 0), can.DataBytes, n);
      if (copy == nullptr) return false;
      copy->Timestamp = record.Timestamp;
      copy->ID = record.ID;
      copy->Bits = static_cast<std::uint8_t>((can.IDE == 1 ? kExtended : 0) | (can.Dir == 1 ? kTx : 0) |
                                             (can.EDL != 0 ? kEdl : 0) | (can.Remote != 0 ? kRemote : 0) |
                                             (can.BRS == 1 ? kBrs : 0) | (can.ESI == 1 ? kEsi : 0) |
                                             (kind_code(record.Kind) << kKindShift));
      std::uint8_t* extra = reinterpret_cast<std::uint8_t*>(copy + 1);
      if (typed > 0) std::memcpy(extra, &can.ErrorType, typed);
      if (wide) {
        copy->Length = static_cast<std::uint8_t>(copy->Length | kWide);
        extra[typed] = can.BRS;
        extra[typed + 1] = can.ESI;
      }
      copy->BusChannel = can.BusChannel;
      copy->Code = can.DLC;
      return can_.push(copy);  // a copy that could not be listed goes back with the arena
    }
    case LIN_Frame: {
      std::uint64_t n = std::min(record.DataLength, kLinMaxData);
      Copy* copy = allocate_copy(copies_, 0, record.Lin.DataBytes, n);
      if (copy == nullptr) return false;
      copy->Timestamp = record.Timestamp;
      copy->ID = record.ID;
      copy->Bits = record.Lin.Dir == 1 ? kTx : 0;
      copy->BusChannel = record.Lin.BusChannel;
      copy->Code = record.Lin.ReceivedDataByteCount;
      return lin_.push(copy);
    }
    default: return true;
  }
}

void RecordStore::clear() {
  can_.clear();
  lin_.clear();
  copies_.reset();
}

bool RecordStore::earlier(const Copy& a, const Copy& b) {
  if (std::isnan(a.Timestamp)) return false;
  if (std::isnan(b.Timestamp)) return true;
  return a.Timestamp < b.Timestamp;
}

void RecordStore::sort() {
  auto by_time = [](const Copy* a, const Copy* b) { return earlier(*a, *b); };
  for (BorrowedList<Copy>* list : {&can_, &lin_}) {
    // Sources that are mostly in order are common; a linear check spares the sort.
    if (std::is_sorted(list->begin(), list->end(), by_time)) continue;
    std::stable_sort(list->begin(), list->end(), by_time);
  }
}

void RecordStore::rebuild_can(const Copy& copy, BusRecord& out) {
  std::memset(&out, 0, sizeof out);
  out.Timestamp = copy.Timestamp;
  out.ID = copy.ID;
  out.Kind = kind_of(copy.Bits);
  const std::uint8_t* tail = after(copy);
  CanTail& can = out.Can;
  if (out.Kind == CAN_ErrorFrame) {
    std::memcpy(&can.ErrorType, tail, sizeof(std::int32_t));
    tail += sizeof(std::int32_t);
  }
  bool wide = (copy.Length & kWide) != 0;
  can.IDE = (copy.Bits & kExtended) != 0 ? 1 : 0;
  can.Dir = (copy.Bits & kTx) != 0 ? 1 : 0;
  can.EDL = (copy.Bits & kEdl) != 0 ? 1 : 0;
  can.Remote = (copy.Bits & kRemote) != 0 ? 1 : 0;
  can.BRS = wide ? tail[0] : ((copy.Bits & kBrs) != 0 ? 1 : 0);
  can.ESI = wide ? tail[1] : ((copy.Bits & kEsi) != 0 ? 1 : 0);
  can.BusChannel = copy.BusChannel;
  can.DLC = copy.Code;
  std::uint8_t n = copy.Length & kLengthMask;
  out.DataLength = n;
  if (n > 0) {
    std::memcpy(can.DataBytes, tail + (wide ? 2 : 0), n);
    out.DataPointer = can.DataBytes;
  }
}

void RecordStore::rebuild_lin(const Copy& copy, BusRecord& out) {
  std::memset(&out, 0, sizeof out);
  out.Timestamp = copy.Timestamp;
  out.ID = copy.ID;
  out.Kind = LIN_Frame;
  LinTail& lin = out.Lin;
  lin.Dir = (copy.Bits & kTx) != 0 ? 1 : 0;
  lin.BusChannel = copy.BusChannel;
  lin.ReceivedDataByteCount = copy.Code;
  out.DataLength = copy.Length;
  if (copy.Length > 0) {
    std::memcpy(lin.DataBytes, after(copy), copy.Length);
    out.DataPointer = lin.DataBytes;
  }
}

}  // namespace quarn
