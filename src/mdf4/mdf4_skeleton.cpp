#include "mdf4/mdf4_skeleton.h"

#include <cstdio>

namespace quarn::mdf4 {
namespace {

// A member's full name, "CAN_DataFrame.ID"; the longest is well inside.
constexpr std::size_t kNameMax = 64;

// A CN block with its fixed fields; linked into place by the caller.
std::uint64_t add_channel(BlockBuffer& b, std::uint8_t type, std::uint8_t sync, std::uint8_t data_type,
                          std::uint32_t byte_offset, std::uint32_t bit_count, std::uint32_t flags, std::uint64_t name) {
  std::uint64_t block = b.add(kTagCn, cn::kLinks, cn::kDataSize);
  if (block == 0) return 0;
  std::uint8_t* d = b.data(block);
  put_u8(d + cn::kType, type);
  put_u8(d + cn::kSyncType, sync);
  put_u8(d + cn::kDataType, data_type);
  put_u32(d + cn::kByteOffset, byte_offset);
  put_u32(d + cn::kBitCount, bit_count);
  put_u32(d + cn::kFlags, flags);
  b.set_link(block, cn::kName, name);
  return block;
}

}  // namespace

bool add_source(BlockBuffer& b, std::uint8_t bus_type, const char* acq_name, std::uint64_t path, SharedBlocks& shared) {
  shared.source = b.add(kTagSi, si::kLinks, si::kDataSize);
  shared.acq_name = b.add_text(kTagTx, sv(acq_name));
  if (!b.ok()) return false;
  b.set_link(shared.source, si::kPath, path);
  put_u8(b.data(shared.source) + si::kSourceType, si::kSourceBus);
  put_u8(b.data(shared.source) + si::kBusType, bus_type);
  return true;
}

void source_name(char (&out)[16], const char* bus, int channel) {
  if (channel < 0) {
    std::snprintf(out, sizeof out, "%s", bus);
  } else {
    std::snprintf(out, sizeof out, "%s%d", bus, channel);
  }
}

bool add_group(BlockBuffer& b, const GroupLayout& layout, const SharedBlocks& shared, std::uint64_t& dg_out,
               std::uint64_t& cg_out) {
  std::uint64_t dg = b.add(kTagDg, dg::kLinks, dg::kDataSize);
  std::uint64_t cg = b.add(kTagCg, cg::kLinks, cg::kDataSize);
  std::uint64_t time = add_channel(b, cn::kTypeMaster, cn::kSyncTime, cn::kDataFloatLe, layout.record_size - kTimeBytes,
                                   64, 0, shared.time_name);
  std::uint64_t composed =
      add_channel(b, cn::kTypeValue, cn::kSyncNone, cn::kDataBytes, 0, (layout.record_size - kTimeBytes) * 8,
                  cn::kFlagBusEvent, b.add_text(kTagTx, sv(layout.name)));
  if (!b.ok()) return false;
  b.set_link(dg, dg::kFirstCg, cg);
  b.set_link(cg, cg::kFirstCn, time);
  b.set_link(cg, cg::kAcqName, shared.acq_name);
  b.set_link(cg, cg::kAcqSource, shared.source);
  std::uint8_t* d = b.data(cg);
  put_u64(d + cg::kRecordId, 1);
  put_u16(d + cg::kFlags, static_cast<std::uint16_t>(cg::kFlagBusEvent | cg::kFlagPlainBusEvent));
  put_u16(d + cg::kPathSeparator, static_cast<std::uint16_t>('.'));
  put_u32(d + cg::kDataBytes, layout.record_size);
  b.set_link(time, cn::kUnit, shared.time_unit);
  b.set_link(time, cn::kNextCn, composed);
  b.set_link(composed, cn::kSource, shared.source);
  std::uint64_t previous = 0;
  for (int i = 0; i < layout.member_count; ++i) {
    const MemberPlace& m = layout.members[i];
    char name[kNameMax];
    std::snprintf(name, sizeof name, "%s.%s", layout.name, kMemberNames[m.member]);
    std::uint64_t member = add_channel(b, cn::kTypeValue, cn::kSyncNone, m.data_type, m.byte_offset, m.bit_count,
                                       cn::kFlagBusEvent, b.add_text(kTagTx, sv(name)));
    if (member == 0) return false;
    b.set_link(previous == 0 ? composed : previous, previous == 0 ? cn::kComposition : cn::kNextCn, member);
    previous = member;
  }
  dg_out = dg;
  cg_out = cg;
  return b.ok();
}

}  // namespace quarn::mdf4
