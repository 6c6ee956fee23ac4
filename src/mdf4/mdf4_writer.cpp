#include "mdf4/mdf4_writer.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

#include "base/dyn_string.h"
#include "base/platform.h"
#include "codec/transpose.h"
#include "mdf4/mdf4_block_compressor.h"
#include "mdf4/mdf4_blocks.h"
#include "mdf4/mdf4_header_xml.h"
#include "mdf4/mdf4_internal.h"
#include "mdf4/mdf4_record_layout.h"
#include "mdf4/mdf4_skeleton.h"

namespace quarn {

using namespace mdf4;

namespace {

constexpr const char* kCompressionNames[] = {"none", "deflate", "transposed"};

// The last whole second whose nanoseconds fit the header's u64 start time (2554-07-21).
constexpr double kLastStartSecond = 18446744073.0;

// A transposed block takes its records through a stage of this many, laid out as records: a
// record stored straight into the columns costs a store a column, each in a line of its own,
// where the stage's columns go into the block eight bytes at a time.
constexpr std::uint32_t kStageRows = 64;
// Room for a record and the eight bytes a column's square reads, past the widest record.
constexpr std::size_t kStageStride = 96;
static_assert(kStageStride >= kMaxRecordSize + 7, "a square read stays inside a staged record");

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
  // Transposed: the block's last records, not yet in its columns (the last `staged` of its
  // `row`), and the most data bytes one of them has.
  std::uint8_t* stage = nullptr;
  std::uint32_t staged = 0;
  std::uint32_t stage_high = 0;
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
  if (options_.deflater == nullptr) options_.deflater = column_deflater_create;
  options_.block_bytes = std::min(options_.block_bytes, kMdf4MaxBlockBytes);
  options_.list_links = std::min(options_.list_links, kMdf4MaxListLinks);
}

Mdf4Writer::~Mdf4Writer() {
  if (compressor_ != nullptr) {
    compressor_->~BlockCompressor();
    mem_free(compressor_);
  }
  if (groups_ == nullptr) return;
  for (int k = 0; k < kGroupKinds; ++k) {
    mem_free(groups_[k].block);
    mem_free(groups_[k].pending);
    mem_free(groups_[k].stage);
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
    void* c = mem_alloc(sizeof(BlockCompressor));
    if (c == nullptr) return nullptr;
    const Mdf4WriterOptions& o = writer->options_;
    writer->compressor_ = new (c) BlockCompressor(o.deflater, o.compression == Mdf4Compression::Transposed,
                                                  o.compress_thread, writer->buffer_bytes_);
  }
  return writer;
}

std::uint64_t Mdf4Writer::records() const {
  std::uint64_t n = 0;
  for (int k = 0; k < kGroupKinds; ++k) n += groups_[k].records;
  return n;
}

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
  if (zeroed && g.stage == nullptr) g.stage = static_cast<std::uint8_t*>(mem_alloc(kStageRows * kStageStride));
  if (zeroed && g.stage == nullptr) return fail("out of memory");
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
    // Into the stage, as a record whose unused data bytes are zeros.
    std::uint8_t* rec = g.stage + std::size_t{g.staged} * kStageStride;
    std::memset(rec, 0, kStageStride);
    channel = lay_out(
        record, kind, base_, [rec](std::uint32_t c, std::uint64_t v, std::uint32_t n) { std::memcpy(rec + c, &v, n); },
        [rec, &g](std::uint32_t c, const std::uint8_t* bytes, std::uint32_t n) {
          std::memcpy(rec + c, bytes, n);
          g.stage_high = std::max(g.stage_high, n);
        });
    ++g.staged;
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
  if (g.staged == kStageRows) unstage(g);
  return true;
}

// Moves the staged records into the block's columns: only the columns their kind and data
// lengths write, since the block is zeroed and the others stay so.
void Mdf4Writer::unstage(Group& g) {
  if (g.staged == 0) return;
  const int kind = static_cast<int>(&g - groups_);
  const LiveColumns live = columns_written(kind, g.stage_high);
  const std::uint32_t size = g.layout->record_size;
  for (std::uint32_t c = 0; c < size;) {
    if (!live.may_be_nonzero(c)) {
      ++c;
      continue;
    }
    std::uint32_t end = c + 1;
    while (end < size && live.may_be_nonzero(end)) ++end;
    transpose_into(g.block + kHeaderSize, g.rows, g.row - g.staged, g.stage, kStageStride, g.staged, c, end);
    c = end;
  }
  g.data_high = std::max(g.data_high, g.stage_high);
  g.staged = 0;
  g.stage_high = 0;
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

// Hands the group's block to the compressor and gives the group a fresh buffer. `full`: the block
// filled up, so more are coming and the worker thread is worth starting.
bool Mdf4Writer::submit(Group& g, bool full) {
  unstage(g);
  BlockCompressor& c = *compressor_;
  if (c.count() == kMdf4BlocksInFlight && !retire_oldest()) return false;
  const int group = static_cast<int>(&g - groups_);
  const LiveColumns live = columns_written(group, g.data_high);
  if (!c.queue(group, g.block, g.fill, g.layout->record_size, g.rows, live)) return fail("out of memory");
  g.data_high = 0;
  g.fill = g.row = 0;
  if (full) c.start_thread();
  retire_done();
  return !failed_;
}

void Mdf4Writer::expect_help() {
  if (compressor_ != nullptr) compressor_->spare_worker(platform_online_cores() <= 2);
}

bool Mdf4Writer::help() { return compressor_ != nullptr && compressor_->help(); }

// Writes the oldest block once it is compressed, compressing blocks that wait meanwhile.
bool Mdf4Writer::retire_oldest() {
  const Slot& s = compressor_->wait_oldest();
  bool ok = !failed_;
  if (ok && s.failure != nullptr) ok = fail(s.failure);
  if (ok) ok = place_block(groups_[s.group], s.out, s.out_length);
  compressor_->pop_oldest();
  return ok;
}

// Writes the blocks at the front that are compressed already, without waiting.
void Mdf4Writer::retire_done() {
  while (!failed_ && compressor_->count() > 0) {
    if (!compressor_->done_oldest()) return;
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
    g.data_high = g.staged = g.stage_high = 0;
  }
  if (compressor_ != nullptr) compressor_->reset();
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
    while (compressor_->count() > 0) {
      if (!retire_oldest()) return false;
    }
    compressor_->stop_thread();
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
