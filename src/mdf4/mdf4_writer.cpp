#include "mdf4/mdf4_writer.h"

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <utility>

#include "base/dyn_string.h"
#include "base/platform.h"
#include "mdf4/mdf4_blocks.h"
#include "mdf4/mdf4_internal.h"
#include "mdf4/mdf4_origin.h"

namespace quarn {

using namespace mdf4;

namespace {

constexpr const char* kCompressionNames[] = {"none", "deflate", "transposed"};

// The last whole second whose nanoseconds fit the header's u64 start time (2554-07-21).
constexpr double kLastStartSecond = 18446744073.0;

// A member's full name, "CAN_DataFrame.ID"; the longest is well inside.
constexpr std::size_t kNameMax = 64;

bool history_comment(DynString& s, StrView version) {
  return dynstr_append(s,
                       "<FHcomment>\n<TX>created</TX>\n<tool_id>quarn</tool_id>\n"
                       "<tool_vendor>The quarn developers</tool_vendor>\n<tool_version>") != nullptr &&
         mdf4_append_xml(s, version) && dynstr_append(s, "</tool_version>\n</FHcomment>\n") != nullptr;
}

// The header's comment: the log's file name as its description, and each "Key: value" line of
// the log's header as a property, in the log's order.
bool header_comment(DynString& s, const LogInfo& info) {
  if (dynstr_append(s, "<HDcomment>\n<TX>") == nullptr) return false;
  if (info.source_name.length > 0) {
    if (!mdf4_append_origin(s, info.source_name)) return false;
  }
  if (dynstr_append(s, "</TX>\n<common_properties>\n") == nullptr) return false;
  for (std::size_t i = 0; i < info.property_count; ++i) {
    const LogProperty& p = info.properties[i];
    if (dynstr_append(s, "<e name=\"") == nullptr || !mdf4_append_xml(s, p.key) || dynstr_append(s, "\">") == nullptr ||
        !mdf4_append_xml(s, p.value) || dynstr_append(s, "</e>\n") == nullptr) {
      return false;
    }
  }
  return dynstr_append(s, "</common_properties>\n</HDcomment>\n") != nullptr;
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

bool add_source(BlockBuffer& b, std::uint8_t bus_type, const char* acq_name, std::uint64_t path, SharedBlocks& shared) {
  shared.source = b.add(kTagSi, si::kLinks, si::kDataSize);
  shared.acq_name = b.add_text(kTagTx, sv(acq_name));
  if (!b.ok()) return false;
  b.set_link(shared.source, si::kPath, path);
  put_u8(b.data(shared.source) + si::kSourceType, si::kSourceBus);
  put_u8(b.data(shared.source) + si::kBusType, bus_type);
  return true;
}

// A source's name: the bus and its channel ("CAN1"), or the bus alone when the frames came from
// several channels.
void source_name(char (&out)[16], const char* bus, int channel) {
  if (channel < 0) {
    std::snprintf(out, sizeof out, "%s", bus);
  } else {
    std::snprintf(out, sizeof out, "%s%d", bus, channel);
  }
}

// The master time: seconds since the start, rounded to the microsecond. The log's times have no
// finer resolution, and the rounded value is the double closest to it (0.466, not the
// 0.4660000801 that the subtraction of two large times leaves), which every export shows as is.
double master_time(double time, double base) {
  // std::round, without the library call: the difference is never negative, and below 2^52
  // the fraction is exact.
  const double us = (time - base) * 1e6;
  double whole = us;
  if (us < 4503599627370496.0) {
    whole = static_cast<double>(static_cast<std::int64_t>(us));
    if (us - whole >= 0.5) whole += 1;
  }
  return whole / 1e6;
}

// Hands the record's fields to `put(column, value, count)`, the `count` bytes of `value` from the
// lowest up for columns `column` on, and its data bytes to `put_data(column, bytes, n)`, in the
// layout of mdf4_internal.h; the frame's bus channel. Neighbouring fields go together, so that a
// put is one store in a record and a walk down the columns in a transposed block. The data bytes
// past the frame's length are left out (the caller's record starts zeroed); every other byte of
// the layout is handed over whatever its value, so the columns a block's records leave untouched
// follow from their kinds and data lengths alone.
template <typename Put, typename PutData>
int lay_out(const BusRecord& record, int kind, double base, Put&& put, PutData&& put_data) {
  auto u64 = [](std::uint64_t v, int byte) { return v << (8 * byte); };
  int channel;
  if (kind == kGroupLin) {
    const LinTail& lin = record.Lin;
    const auto n = static_cast<std::uint32_t>(std::min(record.DataLength, kLinMaxData));
    put(0, lin.BusChannel | u64(record.ID & 0xFF, 1) | u64(n, 2), 3);
    put_data(3, lin.DataBytes, n);
    put(11, lin.Dir | u64(lin.ReceivedDataByteCount, 1), 2);
    channel = lin.BusChannel;
  } else {
    const CanTail& can = record.Can;
    const auto n = static_cast<std::uint32_t>(std::min(record.DataLength, kCanMaxData));
    put(0, can.BusChannel | u64(record.ID, 1) | u64(can.IDE, 5) | u64(can.DLC, 6) | u64(n, 7), 8);
    if (kind == kGroupRemote) {
      put(8, can.Dir, 1);
    } else {
      put_data(8, can.DataBytes, n);
      put(72, can.Dir | u64(can.EDL, 1) | u64(can.BRS, 2) | u64(can.ESI, 3), 4);
      // An error frame's type behind the fields it shares with a data frame.
      if (kind == kGroupError) put(76, static_cast<std::uint32_t>(can.ErrorType), 4);
    }
    channel = can.BusChannel;
  }
  std::uint64_t time;
  const double t = master_time(record.Timestamp, base);
  std::memcpy(&time, &t, 8);
  put(kGroupLayouts[kind].record_size - kTimeBytes, time, kTimeBytes);
  return channel;
}

// The columns lay_out writes for a record of group `kind` with `length` data bytes, found by
// laying one out: the bytes of a block in the others stay zero without anybody looking.
LiveColumns columns_written(int kind, std::uint32_t length) {
  BusRecord probe{};
  probe.DataLength = length;
  LiveColumns live;
  live.bits[0] = live.bits[1] = 0;
  auto mark = [&live](std::uint32_t c, std::uint32_t n) {
    for (std::uint32_t k = c; k < c + n; ++k) live.bits[k / 64] |= std::uint64_t{1} << (k % 64);
  };
  lay_out(
      probe, kind, 0, [&mark](std::uint32_t c, std::uint64_t, std::uint32_t n) { mark(c, n); },
      [&mark](std::uint32_t c, const std::uint8_t*, std::uint32_t n) { mark(c, n); });
  return live;
}

// One group's DG, CG and channels, with the data link and the cycle count left 0 for later.
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

}  // namespace

const char* mdf4_compression_name(Mdf4Compression compression) {
  const auto i = static_cast<std::size_t>(compression);
  return i < sizeof kCompressionNames / sizeof kCompressionNames[0] ? kCompressionNames[i] : nullptr;
}

bool mdf4_compression_parse(const char* text, Mdf4Compression& out) {
  if (text == nullptr) return false;
  for (std::size_t i = 0; i < sizeof kCompressionNames / sizeof kCompressionNames[0]; ++i) {
    if (std::strcmp(text, kCompressionNames[i]) == 0) {
      out = static_cast<Mdf4Compression>(i);
      return true;
    }
  }
  return false;
}

// One group's block in the making and the blocks it has written.
struct Mdf4Writer::Group {
  const GroupLayout* layout = nullptr;
  std::uint64_t block_capacity = 0;  // record bytes per data block: whole records
  std::uint64_t rows = 0;            // records per data block
  // The data block being filled: its header's room, the records, and room to pad to 8, so that
  // a full block leaves in one write. Transposed, column c of record r lies at c * rows + r.
  std::uint8_t* block = nullptr;
  std::uint64_t fill = 0;            // record bytes in the block
  std::uint64_t row = 0;             // records in the block
  std::uint32_t data_high = 0;       // the most data bytes a record in the block has
  std::uint64_t records = 0;
  std::uint64_t* pending = nullptr;  // data blocks written and not yet listed
  std::uint64_t pending_count = 0;
  std::uint64_t first_list = 0;      // the first data list written, 0 while none
  std::uint64_t last_list = 0;       // the last one, whose next link the following one patches
  std::uint64_t dg = 0;              // file offsets of its DG and CG; 0 until written
  std::uint64_t cg = 0;
};

// A full block on its way to the file: compressed by whichever thread gets to it first, and
// written by the caller's thread in the order the blocks were handed over, so that the file's
// bytes do not depend on the threads.
struct Mdf4Writer::Slot {
  enum State { kFree, kQueued, kWorking, kDone };
  State state = kFree;  // guarded by the compressor's mutex while the thread runs
  int group = 0;
  std::uint8_t* records = nullptr;    // a block buffer, as a group fills it
  std::uint64_t bytes = 0;            // record bytes in it
  LiveColumns live;                   // the columns its records wrote (transposed only)
  std::uint8_t* packed = nullptr;     // the DZ block, or the records untransposed when they stay DT
  const std::uint8_t* out = nullptr;  // the block to write: header, data, padding
  std::uint64_t out_length = 0;
  const char* failure = nullptr;  // why it could not be compressed; null when it was
};

struct Mdf4Writer::Compressor {
  Slot slots[kMdf4BlocksInFlight];
  int head = 0;                          // the oldest slot in use
  int count = 0;                         // slots in use, from head on
  std::unique_ptr<ColumnDeflater> own;   // the caller's thread's
  std::unique_ptr<ColumnDeflater> thread;  // the worker's
  std::unique_ptr<ColumnDeflater> helper;  // help()'s caller's
  bool thread_tried = false;
  bool stop = false;
  std::mutex mutex;
  std::condition_variable queued;  // the worker waits for work
  std::condition_variable done;    // the caller waits for a block
  std::thread worker;

  // The oldest block nobody compresses yet; null when none. With the mutex held.
  Slot* first_queued() {
    for (int i = 0; i < count; ++i) {
      Slot& s = slots[(head + i) % kMdf4BlocksInFlight];
      if (s.state == Slot::kQueued) return &s;
    }
    return nullptr;
  }
};

Mdf4Writer::Mdf4Writer(const Mdf4WriterOptions& options) : options_(options) {
  const Mdf4WriterOptions defaults;
  if (options_.block_bytes == 0) options_.block_bytes = defaults.block_bytes;
  if (options_.list_links == 0) options_.list_links = defaults.list_links;
  if (options_.deflater == nullptr) options_.deflater = column_deflater_create;
  options_.block_bytes = std::min(options_.block_bytes, kMdf4MaxBlockBytes);
  options_.list_links = std::min(options_.list_links, kMdf4MaxListLinks);
}

Mdf4Writer::~Mdf4Writer() {
  if (compressor_ != nullptr) {
    stop_thread();
    for (Slot& s : compressor_->slots) {
      mem_free(s.records);
      mem_free(s.packed);
    }
    compressor_->~Compressor();
    mem_free(compressor_);
  }
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
  std::uint64_t largest = 0;
  for (int k = 0; k < kGroupKinds; ++k) {
    Mdf4Writer::Group* g = new (writer->groups_ + k) Mdf4Writer::Group;
    g->layout = &kGroupLayouts[k];
    std::uint64_t size = g->layout->record_size;
    g->rows = std::max<std::uint64_t>(1, writer->options_.block_bytes / size);
    g->block_capacity = g->rows * size;
    largest = std::max(largest, g->block_capacity);
  }
  // A DZ block's data section precedes the compressed bytes, which are fewer than the records.
  writer->buffer_bytes_ = kHeaderSize + dz::kDataSize + largest + 8;
  if (writer->options_.compression != Mdf4Compression::None) {
    void* c = mem_alloc(sizeof(Mdf4Writer::Compressor));
    if (c == nullptr) return nullptr;
    writer->compressor_ = new (c) Mdf4Writer::Compressor;
  }
  return writer;
}

std::uint64_t Mdf4Writer::records() const {
  std::uint64_t n = 0;
  for (int k = 0; k < kGroupKinds; ++k) n += groups_[k].records;
  return n;
}

// One array, so that its address tells this failure apart from the others.
constexpr char kCompressionFailed[] = "could not compress a data block";

bool Mdf4Writer::compression_failed() const { return error_ == kCompressionFailed; }

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

bool Mdf4Writer::begin(ByteSink& sink, double first_time, StrView tool_version, const LogInfo& info) {
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
  DynString history;
  DynString header;
  std::uint64_t hd = b.add(kTagHd, hd::kLinks, hd::kDataSize);
  std::uint64_t hd_comment = header_comment(header, info) ? b.add_text(kTagMd, dynstr_view(header)) : 0;
  std::uint64_t fh = b.add(kTagFh, fh::kLinks, fh::kDataSize);
  std::uint64_t fh_comment = history_comment(history, tool_version) ? b.add_text(kTagMd, dynstr_view(history)) : 0;
  source_path_ = b.add_text(kTagTx, sv("quarn"));
  SharedBlocks can{};
  bool ok = hd_comment != 0 && fh_comment != 0 &&
            add_source(b, si::kBusCan, kGroupLayouts[kGroupData].acq_name, source_path_, can);
  can_source_ = can.source;
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
  b.set_link(hd, hd::kComment, hd_comment);
  put_u64(b.data(hd) + hd::kStartTimeNs, start_ns);
  put_u8(b.data(hd) + hd::kTimeFlags, hd::kTimeFlagOffsetsValid);
  // The history entry carries the start time, not the clock's: the same records make the same file.
  b.set_link(fh, fh::kComment, fh_comment);
  put_u64(b.data(fh) + fh::kTimeNs, start_ns);
  put_u8(b.data(fh) + fh::kTimeFlags, hd::kTimeFlagOffsetsValid);
  return write(id, sizeof id) && write(b.bytes(), b.size());
}

bool Mdf4Writer::open_group(Group& g) {
  // A transposed block is filled column by column, skipping the bytes that stay zero: its
  // buffers start zeroed, and compressing a block zeroes what it used (which costs what the
  // records cost, where clearing whole buffers made many small logs slow).
  const bool zeroed = options_.compression == Mdf4Compression::Transposed;
  const auto bytes = static_cast<std::size_t>(buffer_bytes_);
  if (g.block == nullptr) g.block = static_cast<std::uint8_t*>(zeroed ? mem_calloc(bytes) : mem_alloc(bytes));
  if (g.pending == nullptr) {
    g.pending =
        static_cast<std::uint64_t*>(mem_alloc(static_cast<std::size_t>(options_.list_links * sizeof(std::uint64_t))));
  }
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
  if ((g.block == nullptr || g.pending == nullptr) && !open_group(g)) return false;
  if (g.fill == g.block_capacity && !(compressor_ != nullptr ? submit(g, true) : flush_block(g))) return false;

  int channel;
  if (options_.compression == Mdf4Compression::Transposed) {
    // Straight into the columns: byte c of the record lies at c * rows. The buffer is zeroed, so
    // the bytes that stay zero (unused data bytes, an error frame's tail) need no writing.
    std::uint8_t* at = g.block + kHeaderSize + g.row;
    const std::uint64_t rows = g.rows;
    channel = lay_out(
        record, kind, base_,
        [at, rows](std::uint32_t c, std::uint64_t v, std::uint32_t n) {
          std::uint8_t* p = at + c * rows;
          for (std::uint32_t k = 0; k < n; ++k, p += rows, v >>= 8) *p = static_cast<std::uint8_t>(v);
        },
        [at, rows, &g](std::uint32_t c, const std::uint8_t* bytes, std::uint32_t n) {
          std::uint8_t* p = at + c * rows;
          for (std::uint32_t k = 0; k < n; ++k, p += rows) *p = bytes[k];
          g.data_high = std::max(g.data_high, n);
        });
  } else {
    // Each field goes to its place in the layout of mdf4_internal.h; unused bytes are zeroed so
    // that a file depends on nothing but the records.
    std::uint8_t rec[kMaxRecordSize] = {};
    channel = lay_out(
        record, kind, base_, [&rec](std::uint32_t c, std::uint64_t v, std::uint32_t n) { std::memcpy(rec + c, &v, n); },
        [&rec](std::uint32_t c, const std::uint8_t* bytes, std::uint32_t n) { std::memcpy(rec + c, bytes, n); });
    std::memcpy(g.block + kHeaderSize + g.fill, rec, g.layout->record_size);
  }
  int& seen = kind == kGroupLin ? lin_channel_ : can_channel_;
  if (seen == kNoChannel) seen = channel;
  if (seen != channel) seen = kMixedChannels;
  g.fill += g.layout->record_size;
  ++g.row;
  ++g.records;
  last_ = time;
  return true;
}

// Writes a data block of group `g` and lists it, starting a new list when the current one is full.
bool Mdf4Writer::place_block(Group& g, const std::uint8_t* block, std::uint64_t length) {
  if (g.pending_count == options_.list_links && !flush_list(g)) return false;
  const std::uint64_t offset = sink_->size();
  if (!write(block, length)) return false;
  g.pending[g.pending_count++] = offset;
  return true;
}

bool Mdf4Writer::flush_block(Group& g) {
  if (g.fill == 0) return true;
  const std::uint64_t length = kHeaderSize + g.fill;
  encode_header(g.block, BlockHeader{kTagDt, length, 0});
  std::memset(g.block + length, 0, static_cast<std::size_t>(align8(length) - length));
  if (!place_block(g, g.block, align8(length))) return false;
  g.fill = g.row = 0;
  return true;
}

// Runs on either thread; touches nothing but the slot and what never changes after creation.
void Mdf4Writer::compress(Slot& s, ColumnDeflater* deflater) const {
  const Group& g = groups_[s.group];
  const std::uint64_t size = g.layout->record_size;
  const std::uint64_t n = s.bytes;
  const std::uint64_t rows = n / size;
  const bool transposed = options_.compression == Mdf4Compression::Transposed;
  std::uint8_t* records = s.records + kHeaderSize;
  // A block of fewer records than it has room for closes the gaps between its columns.
  const bool compacted = transposed && rows < g.rows;
  if (compacted) {
    for (std::uint64_t c = 1; c < size; ++c) std::memmove(records + c * rows, records + c * g.rows, rows);
  }
  // Once compressed, the records leave the buffer zeroed for the next block to fill. The columns
  // no record wrote are zero still; not touching them spares the pages under them, most of a
  // block's (unused data bytes), ever being mapped.
  auto clean = [&] {
    if (!transposed) return;
    if (compacted) std::memset(records, 0, static_cast<std::size_t>(rows * size));
    for (std::uint64_t c = 0; c < size; ++c) {
      if (s.live.may_be_nonzero(c)) std::memset(records + c * g.rows, 0, static_cast<std::size_t>(rows));
    }
  };
  std::uint8_t* dz_data = s.packed + kHeaderSize;
  std::size_t zipped = 0;
  // Worth it only when the DZ block, with its 24 more bytes of header, comes out shorter.
  if (deflater != nullptr && n > dz::kDataSize) {
    const auto room = static_cast<std::size_t>(n - dz::kDataSize);
    zipped = transposed ? deflater->deflate_columns(records, static_cast<std::size_t>(n), size, s.live,
                                                    dz_data + dz::kDataSize, room)
                        : deflater->deflate(records, static_cast<std::size_t>(n), dz_data + dz::kDataSize, room);
  }
  s.failure = deflater == nullptr ? "out of memory" : zipped == kDeflateFailed ? kCompressionFailed : nullptr;
  if (s.failure != nullptr) return;
  if (zipped > 0) {
    const std::uint64_t length = kHeaderSize + dz::kDataSize + zipped;
    encode_header(s.packed, BlockHeader{kTagDz, length, 0});
    dz_data[dz::kOriginalTag] = 'D';
    dz_data[dz::kOriginalTag + 1] = 'T';
    put_u8(dz_data + dz::kZipType, transposed ? dz::kTransposedDeflate : dz::kDeflate);
    put_u8(dz_data + dz::kZipType + 1, 0);
    put_u32(dz_data + dz::kZipParam, transposed ? static_cast<std::uint32_t>(size) : 0);
    put_u64(dz_data + dz::kOriginalSize, n);
    put_u64(dz_data + dz::kZipSize, zipped);
    std::memset(s.packed + length, 0, static_cast<std::size_t>(align8(length) - length));
    s.out = s.packed;
    s.out_length = align8(length);
    clean();
    return;
  }
  // Stored as the records are, in their own order.
  std::uint8_t* plain = records;
  if (transposed) {
    plain = s.packed + kHeaderSize;
    for (std::uint64_t r = 0; r < rows; ++r) {
      for (std::uint64_t c = 0; c < size; ++c) plain[r * size + c] = records[c * rows + r];
    }
  }
  std::uint8_t* block = plain - kHeaderSize;
  const std::uint64_t length = kHeaderSize + n;
  encode_header(block, BlockHeader{kTagDt, length, 0});
  std::memset(block + length, 0, static_cast<std::size_t>(align8(length) - length));
  s.out = block;
  s.out_length = align8(length);
  clean();
}

// Hands the group's block to the compressor and gives the group a fresh buffer. `full`: the block
// filled up, so more are coming and the worker thread is worth starting.
bool Mdf4Writer::submit(Group& g, bool full) {
  Compressor& c = *compressor_;
  if (c.count == kMdf4BlocksInFlight && !retire_oldest()) return false;
  Slot& s = c.slots[(c.head + c.count) % kMdf4BlocksInFlight];
  if (s.records == nullptr) {
    const auto bytes = static_cast<std::size_t>(buffer_bytes_);
    const bool zeroed = options_.compression == Mdf4Compression::Transposed;
    s.records = static_cast<std::uint8_t*>(zeroed ? mem_calloc(bytes) : mem_alloc(bytes));
    s.packed = static_cast<std::uint8_t*>(mem_alloc(static_cast<std::size_t>(buffer_bytes_)));
    if (s.records == nullptr || s.packed == nullptr) return fail("out of memory");
  }
  std::swap(s.records, g.block);
  s.group = static_cast<int>(&g - groups_);
  s.bytes = g.fill;
  s.live = columns_written(s.group, g.data_high);
  g.data_high = 0;
  s.failure = nullptr;
  {
    std::lock_guard<std::mutex> lock(c.mutex);
    s.state = Slot::kQueued;
    ++c.count;
  }
  c.queued.notify_one();
  g.fill = g.row = 0;
  if (full && !c.thread_tried) start_thread();
  retire_done();
  return !failed_;
}

void Mdf4Writer::start_thread() {
  Compressor& c = *compressor_;
  c.thread_tried = true;
  if (!options_.compress_thread || worker_spared_) return;
  // Kept from file to file, as the caller's own deflater is: making one costs more than a small
  // log's compressing does.
  if (!c.thread) c.thread = options_.deflater();
  // Without a deflater or a thread the caller's thread compresses everything.
  if (!c.thread) return;
  try {
    c.worker = std::thread([this] {
      Compressor& w = *compressor_;
      std::unique_lock<std::mutex> lock(w.mutex);
      for (;;) {
        Slot* s = nullptr;
        w.queued.wait(lock, [&] { return w.stop || (s = w.first_queued()) != nullptr; });
        if (w.stop) return;
        compress_queued(*s, w.thread, lock);
      }
    });
  } catch (const std::system_error&) {
    c.thread.reset();
  }
}

void Mdf4Writer::expect_help() { worker_spared_ = platform_online_cores() <= 2; }

bool Mdf4Writer::help() {
  if (compressor_ == nullptr) return false;
  Compressor& c = *compressor_;
  std::unique_lock<std::mutex> lock(c.mutex);
  Slot* s = c.first_queued();
  if (s == nullptr) return false;
  compress_queued(*s, c.helper, lock);
  return true;
}

void Mdf4Writer::compress_queued(Slot& s, std::unique_ptr<ColumnDeflater>& deflater,
                                 std::unique_lock<std::mutex>& lock) {
  s.state = Slot::kWorking;
  lock.unlock();
  if (!deflater) deflater = options_.deflater();
  compress(s, deflater.get());
  lock.lock();
  s.state = Slot::kDone;
  compressor_->done.notify_one();
}

void Mdf4Writer::stop_thread() {
  Compressor& c = *compressor_;
  if (!c.worker.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(c.mutex);
    c.stop = true;
  }
  c.queued.notify_one();
  c.worker.join();
}

// Writes the oldest block once it is compressed, compressing blocks that wait meanwhile.
bool Mdf4Writer::retire_oldest() {
  Compressor& c = *compressor_;
  Slot& s = c.slots[c.head];
  std::unique_lock<std::mutex> lock(c.mutex);
  while (s.state != Slot::kDone) {
    Slot* q = c.first_queued();
    if (q == nullptr) {
      c.done.wait(lock);
      continue;
    }
    compress_queued(*q, c.own, lock);
  }
  lock.unlock();
  bool ok = !failed_;
  if (ok && s.failure != nullptr) ok = fail(s.failure);
  if (ok) ok = place_block(groups_[s.group], s.out, s.out_length);
  lock.lock();
  s.state = Slot::kFree;
  c.head = (c.head + 1) % kMdf4BlocksInFlight;
  --c.count;
  return ok;
}

// Writes the blocks at the front that are compressed already, without waiting.
void Mdf4Writer::retire_done() {
  Compressor& c = *compressor_;
  while (!failed_ && c.count > 0) {
    {
      std::lock_guard<std::mutex> lock(c.mutex);
      if (c.slots[c.head].state != Slot::kDone) return;
    }
    if (!retire_oldest()) return;
  }
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
  char name[16];
  source_name(name, "LIN", lin_channel_ == kMixedChannels ? -1 : lin_channel_);
  if (!add_source(b, si::kBusLin, g.layout->acq_name, source_path_, lin) || !add_group(b, *g.layout, lin, g.dg, g.cg)) {
    return fail("out of memory");
  }
  b.set_link(lin.source, si::kName, b.add_text(kTagTx, sv(name)));
  if (!b.ok()) return fail("out of memory");
  return write(b.bytes(), b.size()) &&
         rewrite_u64(groups_[kGroupRemote].dg + data_start(0) + dg::kNextDg * kLinkSize, g.dg);
}

// The CAN source takes its name once the frames have shown their channels.
bool Mdf4Writer::name_sources() {
  if (can_channel_ == kNoChannel) return true;  // no CAN frames: the source stays unnamed
  char name[16];
  source_name(name, "CAN", can_channel_ == kMixedChannels ? -1 : can_channel_);
  BlockBuffer b(sink_->size());
  const std::uint64_t text = b.add_text(kTagTx, sv(name));
  if (text == 0) return fail("out of memory");
  return write(b.bytes(), b.size()) && rewrite_u64(can_source_ + data_start(0) + si::kName * kLinkSize, text);
}

bool Mdf4Writer::reset() {
  if (!finished_ || failed_) return false;
  for (int k = 0; k < kGroupKinds; ++k) {
    Group& g = groups_[k];
    g.fill = g.row = g.records = g.pending_count = g.first_list = g.last_list = g.dg = g.cg = 0;
    g.data_high = 0;
  }
  if (compressor_ != nullptr) {
    compressor_->thread_tried = false;
    compressor_->stop = false;
  }
  sink_ = nullptr;
  base_ = last_ = 0;
  time_name_ = time_unit_ = can_source_ = source_path_ = 0;
  can_channel_ = lin_channel_ = kNoChannel;
  error_ = "";
  begun_ = finished_ = false;
  return true;
}

bool Mdf4Writer::finish() {
  if (failed_) return false;
  if (!begun_ || finished_) return fail("the writer is not open");
  finished_ = true;
  if (compressor_ != nullptr) {
    for (int k = 0; k < kGroupKinds; ++k) {
      if (groups_[k].fill > 0 && !submit(groups_[k], false)) return false;
    }
    while (compressor_->count > 0) {
      if (!retire_oldest()) return false;
    }
    stop_thread();
  }
  for (int k = 0; k < kGroupKinds; ++k) {
    Group& g = groups_[k];
    if (!flush_block(g)) return false;
    // A lone block needs no list; otherwise the last list takes what is left.
    if (g.pending_count > 1 || (g.pending_count == 1 && g.first_list != 0)) {
      if (!flush_list(g)) return false;
    }
  }
  if (groups_[kGroupLin].records > 0 && !write_lin_head()) return false;
  if (!name_sources()) return false;
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
