#pragma once

// The blocks of an ASAM MDF4 file, as far as bus logging needs them: little-endian fields, the
// 24-byte block header, links, 8-byte alignment, and a buffer that lays out a run of blocks
// whose absolute offsets are known before they reach the file.
//
// Every block starts with
//   "##XX"    4 bytes, the block id ("##HD", "##DT", ...)
//   reserved  4 bytes, 0
//   length    u64, the whole block in bytes, header included
//   links     u64, the number of 8-byte links that follow the header
// then the links (absolute file offsets, 0 for none), then the block's data section. Blocks
// start at offsets divisible by 8; the file starts with the 64-byte identification block, which
// has no header.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "base/str_view.h"

namespace quarn {

// The most a DZ block may inflate to.
inline constexpr std::uint64_t kMdf4MaxInflated = std::uint64_t{64} << 20;

}  // namespace quarn

namespace quarn::mdf4 {

static_assert(std::endian::native == std::endian::little, "fields are copied as they lie in memory");

// Little-endian fields at any address (records place a u32 at byte 9).
inline void put_u8(std::uint8_t* p, std::uint8_t v) { *p = v; }
inline void put_u16(std::uint8_t* p, std::uint16_t v) { std::memcpy(p, &v, sizeof v); }
inline void put_u32(std::uint8_t* p, std::uint32_t v) { std::memcpy(p, &v, sizeof v); }
inline void put_u64(std::uint8_t* p, std::uint64_t v) { std::memcpy(p, &v, sizeof v); }
inline void put_f64(std::uint8_t* p, double v) { std::memcpy(p, &v, sizeof v); }
inline std::uint16_t get_u16(const std::uint8_t* p) {
  std::uint16_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline std::uint32_t get_u32(const std::uint8_t* p) {
  std::uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline std::uint64_t get_u64(const std::uint8_t* p) {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline double get_f64(const std::uint8_t* p) {
  double v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline float get_f32(const std::uint8_t* p) {
  float v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// How many bytes a value of bit_count bits at bit_offset touches.
constexpr std::uint64_t bytes_touched(std::uint64_t bit_offset, std::uint64_t bit_count) {
  return (bit_offset + bit_count + 7) / 8;
}

constexpr std::uint64_t align8(std::uint64_t n) { return (n + 7) & ~std::uint64_t{7}; }

inline constexpr std::uint64_t kIdBlockSize = 64;
inline constexpr std::uint64_t kHeaderSize = 24;
inline constexpr std::uint64_t kLinkSize = 8;

// A block id as the u32 its four bytes make: tag('D', 'T') is "##DT".
constexpr std::uint32_t tag(char a, char b) {
  return 0x2323u | static_cast<std::uint32_t>(static_cast<unsigned char>(a)) << 16 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(b)) << 24;
}
inline constexpr std::uint32_t kTagHd = tag('H', 'D');
inline constexpr std::uint32_t kTagFh = tag('F', 'H');
inline constexpr std::uint32_t kTagMd = tag('M', 'D');
inline constexpr std::uint32_t kTagTx = tag('T', 'X');
inline constexpr std::uint32_t kTagDg = tag('D', 'G');
inline constexpr std::uint32_t kTagCg = tag('C', 'G');
inline constexpr std::uint32_t kTagCn = tag('C', 'N');
inline constexpr std::uint32_t kTagCc = tag('C', 'C');
inline constexpr std::uint32_t kTagSi = tag('S', 'I');
inline constexpr std::uint32_t kTagDt = tag('D', 'T');
inline constexpr std::uint32_t kTagDl = tag('D', 'L');
inline constexpr std::uint32_t kTagDz = tag('D', 'Z');
inline constexpr std::uint32_t kTagHl = tag('H', 'L');
inline constexpr std::uint32_t kTagSd = tag('S', 'D');
// The column-oriented storage of 4.20 keeps values in LD lists of DV blocks.
inline constexpr std::uint32_t kTagLd = tag('L', 'D');
inline constexpr std::uint32_t kTagDv = tag('D', 'V');

// "##DT" for kTagDt; for any four bytes, printable or not. `out` gets 5 bytes, NUL included.
void tag_text(std::uint32_t tag, char out[5]);

struct BlockHeader {
  std::uint32_t tag = 0;
  std::uint64_t length = 0;
  std::uint64_t links = 0;
};

// Decodes the 24 bytes at `p`. False when they do not start with "##" (no block header at all).
bool decode_header(const std::uint8_t* p, BlockHeader& out);
void encode_header(std::uint8_t* p, const BlockHeader& h);

// What is wrong with a block header found at `offset` of a file of `file_size` bytes.
enum class BlockProblem : int {
  None = 0,
  OutsideFile,   // the header or the block's length reaches past the end of the file
  BadId,         // not the id expected there
  BadLength,     // shorter than its header, links and the data the block must have
  TooFewLinks,   // fewer links than the block must have
};

// Checks a decoded header against what the caller needs of the block: its id, at least
// `min_links` links and `min_data` bytes of data after them, all inside the file. The offset
// must lie inside the file too (the caller read the header from there).
BlockProblem check_block(const BlockHeader& h, std::uint64_t offset, std::uint64_t file_size, std::uint32_t want_tag,
                         std::uint64_t min_links, std::uint64_t min_data);

// Where a block's data section starts: after the header and every link it declares.
constexpr std::uint64_t data_start(std::uint64_t links) { return kHeaderSize + links * kLinkSize; }

// The fixed parts of the blocks bus logging uses: link indices, link counts, and data-section
// sizes and field offsets (relative to the data section).
namespace id_block {
inline constexpr std::uint64_t kVersionText = 8;   // "4.10    "
inline constexpr std::uint64_t kProgram = 16;      // 8 bytes naming the writer
inline constexpr std::uint64_t kVersion = 28;      // u16, 410 for 4.10
inline constexpr std::uint64_t kUnfinalizedStandard = 60;  // u16 flags, 0 when finalized
inline constexpr std::uint64_t kUnfinalizedCustom = 62;
}  // namespace id_block

namespace hd {
enum Link : std::uint64_t { kFirstDg, kFirstFh, kFirstCh, kFirstAt, kFirstEv, kComment, kLinks };
inline constexpr std::uint64_t kStartTimeNs = 0;  // u64, ns since 1970-01-01 UTC
inline constexpr std::uint64_t kTzOffsetMin = 8;  // i16
inline constexpr std::uint64_t kDstOffsetMin = 10;
inline constexpr std::uint64_t kTimeFlags = 12;   // u8
inline constexpr std::uint64_t kDataSize = 32;
inline constexpr std::uint8_t kTimeFlagLocal = 1;
inline constexpr std::uint8_t kTimeFlagOffsetsValid = 2;
}  // namespace hd

namespace fh {
enum Link : std::uint64_t { kNextFh, kComment, kLinks };
inline constexpr std::uint64_t kTimeNs = 0;
inline constexpr std::uint64_t kTimeFlags = 12;
inline constexpr std::uint64_t kDataSize = 16;
}  // namespace fh

namespace dg {
enum Link : std::uint64_t { kNextDg, kFirstCg, kData, kComment, kLinks };
inline constexpr std::uint64_t kRecordIdSize = 0;  // u8
inline constexpr std::uint64_t kDataSize = 8;
}  // namespace dg

namespace cg {
enum Link : std::uint64_t { kNextCg, kFirstCn, kAcqName, kAcqSource, kFirstSr, kComment, kLinks };
inline constexpr std::uint64_t kRecordId = 0;       // u64
inline constexpr std::uint64_t kCycleCount = 8;     // u64
inline constexpr std::uint64_t kFlags = 16;         // u16
inline constexpr std::uint64_t kPathSeparator = 18; // u16, a UTF-16 character
inline constexpr std::uint64_t kDataBytes = 24;     // u32, record bytes after the record id
inline constexpr std::uint64_t kInvalBytes = 28;    // u32, invalidation bytes after them
inline constexpr std::uint64_t kDataSize = 32;
inline constexpr std::uint16_t kFlagVlsd = 1;
inline constexpr std::uint16_t kFlagBusEvent = 2;
inline constexpr std::uint16_t kFlagPlainBusEvent = 4;
// From 4.20: the group's time lies in another channel group (a link after the comment).
inline constexpr std::uint16_t kFlagRemoteMaster = 8;
}  // namespace cg

namespace cn {
enum Link : std::uint64_t { kNextCn, kComposition, kName, kSource, kConversion, kSignalData, kUnit, kComment, kLinks };
inline constexpr std::uint64_t kType = 0;        // u8
inline constexpr std::uint64_t kSyncType = 1;    // u8
inline constexpr std::uint64_t kDataType = 2;    // u8
inline constexpr std::uint64_t kBitOffset = 3;   // u8
inline constexpr std::uint64_t kByteOffset = 4;  // u32
inline constexpr std::uint64_t kBitCount = 8;    // u32
inline constexpr std::uint64_t kFlags = 12;      // u32
inline constexpr std::uint64_t kDataSize = 72;
inline constexpr std::uint8_t kTypeValue = 0;
inline constexpr std::uint8_t kTypeVlsd = 1;  // the record holds an offset into signal data
inline constexpr std::uint8_t kTypeMaster = 2;
inline constexpr std::uint8_t kTypeVirtualMaster = 3;
inline constexpr std::uint8_t kTypeSync = 4;
inline constexpr std::uint8_t kTypeMaxLength = 5;  // fixed room, of which another channel tells the use
inline constexpr std::uint8_t kTypeVirtual = 6;
inline constexpr std::uint8_t kSyncNone = 0;
inline constexpr std::uint8_t kSyncTime = 1;
inline constexpr std::uint8_t kDataUnsignedLe = 0;
inline constexpr std::uint8_t kDataSignedLe = 2;
inline constexpr std::uint8_t kDataFloatLe = 4;
inline constexpr std::uint8_t kDataBytes = 10;
inline constexpr std::uint32_t kFlagBusEvent = 0x400;
}  // namespace cn

namespace cc {
enum Link : std::uint64_t { kName, kUnit, kComment, kInverse, kLinks };
inline constexpr std::uint64_t kType = 0;        // u8
inline constexpr std::uint64_t kValueCount = 6;  // u16
inline constexpr std::uint64_t kValues = 24;     // f64 each
inline constexpr std::uint8_t kTypeIdentity = 0;
inline constexpr std::uint8_t kTypeLinear = 1;   // phys = values[0] + values[1] * raw
}  // namespace cc

namespace si {
enum Link : std::uint64_t { kName, kPath, kComment, kLinks };
inline constexpr std::uint64_t kSourceType = 0;  // u8
inline constexpr std::uint64_t kBusType = 1;     // u8
inline constexpr std::uint64_t kDataSize = 8;
inline constexpr std::uint8_t kSourceBus = 2;
inline constexpr std::uint8_t kBusCan = 2;
inline constexpr std::uint8_t kBusLin = 3;
}  // namespace si

// A data list: the next list, then the data blocks. With equal lengths every listed block holds
// kEqualLength bytes of records except the last, which may hold fewer.
namespace dl {
inline constexpr std::uint64_t kNextDl = 0;      // link 0; data block links follow
inline constexpr std::uint64_t kFlags = 0;       // u8
inline constexpr std::uint64_t kCount = 4;       // u32, data blocks listed
inline constexpr std::uint64_t kEqualLength = 8; // u64 (with kFlagEqualLength)
inline constexpr std::uint64_t kDataSize = 16;
inline constexpr std::uint8_t kFlagEqualLength = 1;
}  // namespace dl

namespace hl {
inline constexpr std::uint64_t kFirstDl = 0;     // link 0
inline constexpr std::uint64_t kLinks = 1;
}  // namespace hl

// A compressed data block: no links, then this data section and the compressed bytes.
namespace dz {
inline constexpr std::uint64_t kOriginalTag = 0;   // 2 bytes, "DT" for record data
inline constexpr std::uint64_t kZipType = 2;       // u8
inline constexpr std::uint64_t kZipParam = 4;      // u32, the record length for transposition
inline constexpr std::uint64_t kOriginalSize = 8;  // u64
inline constexpr std::uint64_t kZipSize = 16;      // u64
inline constexpr std::uint64_t kDataSize = 24;
inline constexpr std::uint8_t kDeflate = 0;
inline constexpr std::uint8_t kTransposedDeflate = 1;
}  // namespace dz

// Lays out consecutive blocks in memory, each at an offset divisible by 8, and knows the
// absolute file offset each will have once the buffer is appended at `base` (itself divisible
// by 8). Blocks are zero-filled; links and fields are set through their offsets, so a block may
// link to one added after it. Memory comes from mem_alloc; when it runs out the buffer stops
// growing, add() returns 0 and ok() turns false for good.
class BlockBuffer {
 public:
  explicit BlockBuffer(std::uint64_t base) : base_(base) {}
  ~BlockBuffer();
  BlockBuffer(const BlockBuffer&) = delete;
  BlockBuffer& operator=(const BlockBuffer&) = delete;

  // A block with `links` links and `data_size` bytes of data; its file offset, or 0.
  std::uint64_t add(std::uint32_t tag, std::uint64_t links, std::uint64_t data_size);
  // A TX or MD block holding `text`, NUL-terminated and zero-padded to a multiple of 8 (the
  // padding counts in its length); its file offset, or 0.
  std::uint64_t add_text(std::uint32_t tag, StrView text);

  // Sets link `index` of the block at file offset `block`; ignored unless ok().
  void set_link(std::uint64_t block, std::uint64_t index, std::uint64_t target);
  // The data section of the block at file offset `block`; null unless ok().
  std::uint8_t* data(std::uint64_t block);

  bool ok() const { return ok_; }
  std::uint64_t base() const { return base_; }
  const std::uint8_t* bytes() const { return bytes_; }
  // Bytes laid out so far: the next block's offset is base() + size().
  std::uint64_t size() const { return size_; }

 private:
  std::uint8_t* bytes_ = nullptr;
  std::uint64_t size_ = 0;
  std::uint64_t capacity_ = 0;
  std::uint64_t base_;
  bool ok_ = true;
};

}  // namespace quarn::mdf4
