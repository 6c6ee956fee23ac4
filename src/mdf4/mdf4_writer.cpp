#include "mdf4/mdf4_writer.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>

#include "base/dyn_string.h"
#include "mdf4/mdf4_blocks.h"
#include "mdf4/mdf4_internal.h"

namespace quarn {

using namespace mdf4;

namespace {

// The last whole second whose nanoseconds fit the header's u64 start time (2554-07-21).
constexpr double kLastStartSecond = 18446744073.0;

constexpr std::uint64_t kCanMaxData = 64;
constexpr std::uint64_t kLinMaxData = 8;

// A member's full name, "CAN_DataFrame.ID"; the longest is well inside.
constexpr std::size_t kNameMax = 64;

// The file history comment. Only the version comes from outside, so only it is escaped.
bool append_escaped(DynString& s, StrView text) {
  for (std::int64_t i = 0; i < text.length; ++i) {
    const char c = text.data[i];
    const char* entity = c == '<' ? "&lt;" : c == '>' ? "&gt;" : c == '&' ? "&amp;" : nullptr;
    if ((entity != nullptr ? dynstr_append(s, entity) : dynstr_append(s, &c, 1)) == nullptr) return false;
  }
  return true;
}

bool history_comment(DynString& s, StrView version) {
  return dynstr_append(s,
                       "<FHcomment>\n<TX>created</TX>\n<tool_id>quarn</tool_id>\n"
                       "<tool_vendor>The quarn developers</tool_vendor>\n<tool_version>") != nullptr &&
         append_escaped(s, version) && dynstr_append(s, "</tool_version>\n</FHcomment>\n") != nullptr;
}

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

// The blocks shared by the groups of one bus: the source, the acquisition name, "time", "s".
struct SharedBlocks {
  std::uint64_t source;
  std::uint64_t acq_name;
  std::uint64_t time_name;
  std::uint64_t time_unit;
};

bool add_source(BlockBuffer& b, std::uint8_t bus_type, const char* acq_name, SharedBlocks& shared) {
  shared.source = b.add(kTagSi, si::kLinks, si::kDataSize);
  shared.acq_name = b.add_text(kTagTx, sv(acq_name));
  if (!b.ok()) return false;
  put_u8(b.data(shared.source) + si::kSourceType, si::kSourceBus);
  put_u8(b.data(shared.source) + si::kBusType, bus_type);
  return true;
}

// One group's DG, CG and channels, with the data link and the cycle count left 0 for later.
bool add_group(BlockBuffer& b, const GroupLayout& layout, const SharedBlocks& shared, std::uint64_t& dg_out,
               std::uint64_t& cg_out) {
  std::uint64_t dg = b.add(kTagDg, dg::kLinks, dg::kDataSize);
  std::uint64_t cg = b.add(kTagCg, cg::kLinks, cg::kDataSize);
  std::uint64_t time = add_channel(b, cn::kTypeMaster, cn::kSyncTime, cn::kDataFloatLe, 0, 64, 0, shared.time_name);
  std::uint64_t composed = add_channel(b, cn::kTypeValue, cn::kSyncNone, cn::kDataBytes, 8,
                                       (layout.record_size - 8) * 8, cn::kFlagBusEvent, b.add_text(kTagTx, sv(layout.name)));
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

}  // namespace

// One group's block in the making and the blocks it has written.
struct Mdf4Writer::Group {
  const GroupLayout* layout = nullptr;
  std::uint64_t block_capacity = 0;  // record bytes per data block: whole records
  // The data block being filled: its header's room, the records, and room to pad to 8, so that
  // a full block leaves in one write.
  std::uint8_t* block = nullptr;
  std::uint64_t fill = 0;            // record bytes in the block
  std::uint64_t records = 0;
  std::uint64_t* pending = nullptr;  // data blocks written and not yet listed
  std::uint64_t pending_count = 0;
  std::uint64_t first_list = 0;      // the first data list written, 0 while none
  std::uint64_t last_list = 0;       // the last one, whose next link the following one patches
  std::uint64_t dg = 0;              // file offsets of its DG and CG; 0 until written
  std::uint64_t cg = 0;
};

Mdf4Writer::Mdf4Writer(const Mdf4WriterOptions& options) : options_(options) {
  const Mdf4WriterOptions defaults;
  if (options_.block_bytes == 0) options_.block_bytes = defaults.block_bytes;
  if (options_.list_links == 0) options_.list_links = defaults.list_links;
  options_.block_bytes = std::min(options_.block_bytes, kMdf4MaxBlockBytes);
  options_.list_links = std::min(options_.list_links, kMdf4MaxListLinks);
}

Mdf4Writer::~Mdf4Writer() {
  if (groups_ == nullptr) return;
  for (int k = 0; k < kGroupKinds; ++k) {
    mem_free(groups_[k].block);
    mem_free(groups_[k].pending);
  }
  mem_free(groups_);
}

std::unique_ptr<Mdf4Writer> mdf4_writer_create(const Mdf4WriterOptions& options) {
  std::unique_ptr<Mdf4Writer> writer(new (std::nothrow) Mdf4Writer(options));
  if (!writer) return nullptr;
  void* groups = mem_calloc(sizeof(Mdf4Writer::Group) * kGroupKinds);
  if (groups == nullptr) return nullptr;
  writer->groups_ = static_cast<Mdf4Writer::Group*>(groups);
  for (int k = 0; k < kGroupKinds; ++k) {
    Mdf4Writer::Group* g = new (writer->groups_ + k) Mdf4Writer::Group;
    g->layout = &kGroupLayouts[k];
    std::uint64_t size = g->layout->record_size;
    g->block_capacity = std::max<std::uint64_t>(1, writer->options_.block_bytes / size) * size;
  }
  return writer;
}

std::uint64_t Mdf4Writer::records() const {
  std::uint64_t n = 0;
  for (int k = 0; k < kGroupKinds; ++k) n += groups_[k].records;
  return n;
}

bool Mdf4Writer::fail(const char* why) {
  if (!failed_) error_ = why;
  failed_ = true;
  return false;
}

bool Mdf4Writer::write(const void* data, std::uint64_t n) {
  if (!sink_->write(data, static_cast<std::size_t>(n))) return fail("could not write the file");
  return true;
}

bool Mdf4Writer::rewrite_u64(std::uint64_t offset, std::uint64_t value) {
  std::uint8_t bytes[8];
  put_u64(bytes, value);
  if (!sink_->rewrite(offset, bytes, sizeof bytes)) return fail("could not write the file");
  return true;
}

bool Mdf4Writer::begin(ByteSink& sink, double first_time, StrView tool_version) {
  if (failed_) return false;
  if (begun_) return fail("the writer has begun already");
  begun_ = true;
  sink_ = &sink;
  base_ = std::floor(first_time);
  if (!(base_ >= 0.0 && base_ <= kLastStartSecond)) return fail("the first time lies outside 1970 to 2554");
  last_ = base_;
  if (sink.size() != 0) return fail("the file is not empty");
  const std::uint64_t start_ns = static_cast<std::uint64_t>(base_) * 1000000000u;

  std::uint8_t id[kIdBlockSize] = {};
  std::memcpy(id, "MDF     4.10    quarn   ", 24);
  put_u16(id + id_block::kVersion, 410);

  BlockBuffer b(kIdBlockSize);
  DynString comment;
  std::uint64_t hd = b.add(kTagHd, hd::kLinks, hd::kDataSize);
  std::uint64_t fh = b.add(kTagFh, fh::kLinks, fh::kDataSize);
  std::uint64_t fh_comment = history_comment(comment, tool_version) ? b.add_text(kTagMd, dynstr_view(comment)) : 0;
  SharedBlocks can{};
  bool ok = fh_comment != 0 && add_source(b, si::kBusCan, kGroupLayouts[kGroupData].acq_name, can);
  time_name_ = b.add_text(kTagTx, sv("time"));
  time_unit_ = b.add_text(kTagTx, sv("s"));
  can.time_name = time_name_;
  can.time_unit = time_unit_;
  for (int k = kGroupData; ok && k <= kGroupRemote; ++k) {
    ok = add_group(b, kGroupLayouts[k], can, groups_[k].dg, groups_[k].cg);
    if (ok && k > kGroupData) b.set_link(groups_[k - 1].dg, dg::kNextDg, groups_[k].dg);
  }
  if (!ok || !b.ok()) return fail("out of memory");

  b.set_link(hd, hd::kFirstDg, groups_[kGroupData].dg);
  b.set_link(hd, hd::kFirstFh, fh);
  put_u64(b.data(hd) + hd::kStartTimeNs, start_ns);
  put_u8(b.data(hd) + hd::kTimeFlags, hd::kTimeFlagOffsetsValid);
  // The history entry carries the start time, not the clock's: the same records make the same file.
  b.set_link(fh, fh::kComment, fh_comment);
  put_u64(b.data(fh) + fh::kTimeNs, start_ns);
  put_u8(b.data(fh) + fh::kTimeFlags, hd::kTimeFlagOffsetsValid);
  return write(id, sizeof id) && write(b.bytes(), b.size());
}

bool Mdf4Writer::open_group(Group& g) {
  g.block = static_cast<std::uint8_t*>(mem_alloc(static_cast<std::size_t>(kHeaderSize + g.block_capacity + 8)));
  g.pending = static_cast<std::uint64_t*>(mem_alloc(static_cast<std::size_t>(options_.list_links * sizeof(std::uint64_t))));
  if (g.block == nullptr || g.pending == nullptr) return fail("out of memory");
  return true;
}

bool Mdf4Writer::add(const BusRecord& record) {
  if (failed_) return false;
  if (!begun_ || finished_) return fail("the writer is not open");
  int kind;
  switch (record.Kind) {
    case CAN_DataFrame: kind = record.Can.Remote != 0 ? kGroupRemote : kGroupData; break;
    case CAN_RemoteFrame: kind = kGroupRemote; break;
    case CAN_ErrorFrame: kind = kGroupError; break;
    case LIN_Frame: kind = kGroupLin; break;
    default: return true;
  }
  const double time = record.Timestamp;
  if (!std::isfinite(time)) return fail("a record's time is not a number");
  if (time < last_) return fail("a record is earlier than the one before it");
  Group& g = groups_[kind];
  if (g.block == nullptr && !open_group(g)) return false;
  if (g.fill == g.block_capacity && !flush_block(g)) return false;

  // Each field goes to its place in the layout of mdf4_internal.h; unused bytes are zeroed so
  // that a file depends on nothing but the records.
  std::uint8_t* p = g.block + kHeaderSize + g.fill;
  put_f64(p, time - base_);
  if (kind == kGroupLin) {
    const LinTail& lin = record.Lin;
    const std::uint64_t n = std::min(record.DataLength, kLinMaxData);
    put_u8(p + 8, lin.BusChannel);
    put_u8(p + 9, static_cast<std::uint8_t>(record.ID));
    put_u8(p + 10, static_cast<std::uint8_t>(n));
    std::memcpy(p + 11, lin.DataBytes, kLinMaxData);
    std::memset(p + 11 + n, 0, kLinMaxData - n);
    put_u8(p + 19, lin.Dir);
    put_u8(p + 20, lin.ReceivedDataByteCount);
  } else if (kind == kGroupError) {
    std::memset(p + 8, 0, kCanRecordSize - 8);
    put_u8(p + 8, record.Error.BusChannel);
    put_u32(p + 9, record.ID);
  } else {
    const CanTail& can = record.Can;
    const std::uint64_t n = std::min(record.DataLength, kCanMaxData);
    put_u8(p + 8, can.BusChannel);
    put_u32(p + 9, record.ID);
    put_u8(p + 13, can.IDE);
    put_u8(p + 14, can.DLC);
    put_u8(p + 15, static_cast<std::uint8_t>(n));
    if (kind == kGroupRemote) {
      put_u8(p + 16, can.Dir);
    } else {
      // A whole-array copy then a clear of the tail beats a copy of variable length.
      std::memcpy(p + 16, can.DataBytes, kCanMaxData);
      std::memset(p + 16 + n, 0, kCanMaxData - n);
      put_u8(p + 80, can.Dir);
      put_u8(p + 81, can.EDL);
      put_u8(p + 82, can.BRS);
      put_u8(p + 83, can.ESI);
    }
  }
  g.fill += g.layout->record_size;
  ++g.records;
  last_ = time;
  return true;
}

bool Mdf4Writer::flush_block(Group& g) {
  if (g.fill == 0) return true;
  if (g.pending_count == options_.list_links && !flush_list(g)) return false;
  const std::uint64_t offset = sink_->size();
  const std::uint64_t length = kHeaderSize + g.fill;
  encode_header(g.block, BlockHeader{kTagDt, length, 0});
  std::memset(g.block + length, 0, static_cast<std::size_t>(align8(length) - length));
  if (!write(g.block, align8(length))) return false;
  g.pending[g.pending_count++] = offset;
  g.fill = 0;
  return true;
}

bool Mdf4Writer::flush_list(Group& g) {
  BlockBuffer b(sink_->size());
  const std::uint64_t list = b.add(kTagDl, 1 + g.pending_count, dl::kDataSize);
  if (list == 0) return fail("out of memory");
  for (std::uint64_t i = 0; i < g.pending_count; ++i) b.set_link(list, 1 + i, g.pending[i]);
  std::uint8_t* d = b.data(list);
  put_u8(d + dl::kFlags, dl::kFlagEqualLength);
  put_u32(d + dl::kCount, static_cast<std::uint32_t>(g.pending_count));
  put_u64(d + dl::kEqualLength, g.block_capacity);
  if (!write(b.bytes(), b.size())) return false;
  if (g.last_list != 0 && !rewrite_u64(g.last_list + data_start(0) + dl::kNextDl * kLinkSize, list)) return false;
  if (g.first_list == 0) g.first_list = list;
  g.last_list = list;
  g.pending_count = 0;
  return true;
}

bool Mdf4Writer::write_lin_head() {
  BlockBuffer b(sink_->size());
  SharedBlocks lin{};
  lin.time_name = time_name_;
  lin.time_unit = time_unit_;
  Group& g = groups_[kGroupLin];
  if (!add_source(b, si::kBusLin, g.layout->acq_name, lin) || !add_group(b, *g.layout, lin, g.dg, g.cg)) {
    return fail("out of memory");
  }
  return write(b.bytes(), b.size()) &&
         rewrite_u64(groups_[kGroupRemote].dg + data_start(0) + dg::kNextDg * kLinkSize, g.dg);
}

bool Mdf4Writer::finish() {
  if (failed_) return false;
  if (!begun_ || finished_) return fail("the writer is not open");
  finished_ = true;
  for (int k = 0; k < kGroupKinds; ++k) {
    Group& g = groups_[k];
    if (!flush_block(g)) return false;
    // A lone block needs no list; otherwise the last list takes what is left.
    if (g.pending_count > 1 || (g.pending_count == 1 && g.first_list != 0)) {
      if (!flush_list(g)) return false;
    }
  }
  if (groups_[kGroupLin].records > 0 && !write_lin_head()) return false;
  for (int k = 0; k < kGroupKinds; ++k) {
    Group& g = groups_[k];
    if (g.dg == 0) continue;
    const std::uint64_t data = g.first_list != 0 ? g.first_list : g.pending_count == 1 ? g.pending[0] : 0;
    if (!rewrite_u64(g.dg + data_start(0) + dg::kData * kLinkSize, data) ||
        !rewrite_u64(g.cg + data_start(cg::kLinks) + cg::kCycleCount, g.records)) {
      return false;
    }
  }
  return true;
}

}  // namespace quarn
