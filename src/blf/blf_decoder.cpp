#include "blf/blf_decoder.h"

#include <libdeflate.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

#include "base/calendar.h"
#include "blf/blf_format.h"
#include "codec/deflate_memory.h"

namespace quarn {
namespace {

using blf::kBaseHeaderSize;

// The most bytes of one object the decoder looks at at once: the longest header and the longest
// frame body it reads (CAN_FD_MESSAGE_64 with its 64 data bytes) with room to spare. Whatever an
// object holds past that is skipped unread, however long it says it is.
constexpr std::uint32_t kMaxLook = 256;
// Headers longer than this are no object header quarn knows.
constexpr std::uint32_t kMaxObjectHeader = 64;
// The file header holds the start time at most this far in, and is not allowed to be longer than
// a generous multiple of what writers use.
constexpr std::uint32_t kFileHeaderRead = 72;
constexpr std::uint32_t kMaxFileHeader = 4096;
constexpr std::uint8_t kMaxChannel = 255;

std::uint16_t u16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
std::uint32_t u32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[3]} << 24);
}
std::uint64_t u64(const std::uint8_t* p) { return u32(p) | (std::uint64_t{u32(p + 4)} << 32); }

using ull = unsigned long long;

enum class ObjectClass : std::uint8_t { Frame, OtherFrame, NoFrame };

// Which objects hold frames. Types this list does not know are taken for frames of other kinds:
// a log that holds them is kept, since its traces might lack something.
ObjectClass classify(std::uint32_t type) {
  switch (type) {
    case blf::kCanMessage:
    case blf::kCanMessage2:
    case blf::kCanFdMessage:
    case blf::kCanFdMessage64:
    case blf::kCanErrorExt:
    case blf::kLinMessage: return ObjectClass::Frame;
    case blf::kCanOverload:
    case blf::kCanStatistic:
    case blf::kAppTrigger:
    case blf::kEnvInteger:
    case blf::kEnvDouble:
    case blf::kEnvString:
    case blf::kEnvData:
    case blf::kAppText:
    case blf::kGlobalMarker: return ObjectClass::NoFrame;
    default: return ObjectClass::OtherFrame;
  }
}

// The smallest body each frame object has.
std::uint32_t body_size(std::uint32_t type) {
  switch (type) {
    case blf::kCanMessage:
    case blf::kCanMessage2: return blf::kCanMessageSize;
    case blf::kCanFdMessage: return blf::kCanFdMessageSize;
    case blf::kCanFdMessage64: return blf::kCanFd64HeadSize;
    case blf::kCanErrorExt: return blf::kCanErrorExtSize;
    default: return blf::kLinMessageSize;
  }
}

std::uint8_t bit(bool on) { return on ? 1 : 0; }

void set_data(BusRecord& record, std::uint8_t* bytes, const std::uint8_t* from, std::uint32_t n) {
  std::memcpy(bytes, from, n);
  record.DataLength = n;
  record.DataPointer = bytes;
}

}  // namespace

BlfDecoder::~BlfDecoder() {
  mem_free(data_);
  mem_free(packed_);
  if (inflater_ != nullptr) libdeflate_free_decompressor(static_cast<libdeflate_decompressor*>(inflater_));
}

bool BlfDecoder::fail(const char* format, ...) {
  if (error_[0] == '\0') {
    std::va_list args;
    va_start(args, format);
    std::vsnprintf(error_, sizeof error_, format, args);
    va_end(args);
  }
  return false;
}

BlfOpen BlfDecoder::open(Stream& stream, std::int64_t size) {
  stream_ = &stream;
  file_size_ = size;
  std::uint8_t h[kFileHeaderRead];
  const std::int64_t got = stream_read(stream, h, sizeof h);
  if (got != static_cast<std::int64_t>(sizeof h) || std::memcmp(h, blf::kFileSignature, 4) != 0) {
    fail("no BLF file header");
    return BlfOpen::NotBlf;
  }
  const std::uint32_t header_size = u32(h + 4);
  if (header_size < kFileHeaderRead || header_size > kMaxFileHeader) {
    fail("the file header declares %u bytes", header_size);
    return BlfOpen::Failed;
  }
  std::uint8_t rest[kMaxFileHeader];
  const std::uint32_t more = header_size - kFileHeaderRead;
  if (stream_read(stream, rest, more) != static_cast<std::int64_t>(more)) {
    fail("the file ends inside its header");
    return BlfOpen::Failed;
  }
  file_pos_ = header_size;
  declared_file_size_ = u64(h + blf::kFileSizeOffset);
  declared_inflated_ = u64(h + blf::kUncompressedSizeOffset);
  declared_objects_ = u32(h + blf::kObjectCountOffset);
  inflated_ = header_size;
  // Writers fill in the header when they close the file; until then it declares nothing past
  // itself. Such a file may still be written to, or its writer died: either way the header cannot
  // tell where its data ends.
  const bool data_follows = file_size_ < 0 || file_size_ > static_cast<std::int64_t>(header_size);
  if (declared_file_size_ == 0 || (data_follows && declared_objects_ == 0 && declared_file_size_ <= header_size)) {
    fail("the file was never finalised: its header declares no data");
    return BlfOpen::Failed;
  }
  const std::uint8_t* t = h + blf::kStartTimeOffset;
  const unsigned year = u16(t);
  const unsigned month = u16(t + 2);
  const unsigned day = u16(t + 6);
  const unsigned hour = u16(t + 8);
  const unsigned minute = u16(t + 10);
  const unsigned second = u16(t + 12);
  const unsigned milli = u16(t + 14);
  // A file without objects has no frames to date, and writers leave its start time empty.
  if (declared_objects_ == 0 && !data_follows) return BlfOpen::Ok;
  const bool valid = year >= 1970 && year <= 3000 && month >= 1 && month <= 12 && day >= 1 &&
                     static_cast<int>(day) <= days_in_month(year, static_cast<int>(month)) && hour < 24 &&
                     minute < 60 && second < 60 && milli < 1000;
  if (!valid) {
    fail("%04u-%02u-%02u %02u:%02u:%02u.%03u", year, month, day, hour, minute, second, milli);
    return BlfOpen::StartTime;
  }
  const std::int64_t days = days_from_civil(year, month, day);
  start_ = static_cast<double>(days * 86400 + hour * 3600 + minute * 60 + second) + milli / 1000.0;
  return BlfOpen::Ok;
}

// Reads the next log container of the file and appends its data, inflated, to [pos_, end_).
// False with at_end set at the end of the file; false with an error for a container quarn cannot
// take.
bool BlfDecoder::load_container(bool& at_end) {
  at_end = false;
  const ull at = static_cast<ull>(file_pos_);
  std::uint8_t h[kBaseHeaderSize + blf::kContainerHeaderSize];
  const std::int64_t got = stream_read(*stream_, h, kBaseHeaderSize);
  if (got == 0) {
    at_end = true;
    return false;
  }
  if (got != kBaseHeaderSize) return fail("the file ends inside the object header at byte %llu", at);
  if (std::memcmp(h, blf::kObjectSignature, 4) != 0) return fail("no object at byte %llu", at);
  const std::uint32_t size = u32(h + 8);
  const std::uint32_t type = u32(h + 12);
  if (type != blf::kLogContainer)
    return fail("an object of type %u lies outside the log containers at byte %llu", type, at);
  if (size < kBaseHeaderSize + blf::kContainerHeaderSize) {
    return fail("the container at byte %llu declares %u bytes, fewer than its header", at, size);
  }
  if (file_size_ >= 0 && static_cast<std::uint64_t>(file_pos_) + size > static_cast<std::uint64_t>(file_size_)) {
    return fail("the file ends inside the container at byte %llu, which declares %u bytes", at, size);
  }
  if (stream_read(*stream_, h + kBaseHeaderSize, blf::kContainerHeaderSize) != blf::kContainerHeaderSize) {
    return fail("the file ends inside the container at byte %llu", at);
  }
  const std::uint16_t method = u16(h + kBaseHeaderSize);
  const std::uint32_t inflated = u32(h + kBaseHeaderSize + 8);
  const std::uint32_t packed = size - kBaseHeaderSize - blf::kContainerHeaderSize;
  if (inflated > kBlfMaxContainerBytes || packed > kBlfMaxContainerBytes) {
    return fail("the container at byte %llu declares %u bytes, more than %u", at, inflated > packed ? inflated : packed,
                kBlfMaxContainerBytes);
  }
  if (method != blf::kStored && method != blf::kZlibDeflate) {
    return fail("the container at byte %llu uses compression method %u, which quarn does not read", at, method);
  }
  if (method == blf::kStored && packed != inflated) {
    return fail("the stored container at byte %llu holds %u bytes but declares %u", at, packed, inflated);
  }
  // The unread tail stays in front: at most one object's look, so the buffer stays within
  // one container and that.
  const std::size_t want = end_ + inflated;
  if (want > data_cap_) {
    std::size_t cap = data_cap_ == 0 ? std::size_t{1} << 17 : data_cap_;
    while (cap < want) cap *= 2;
    // Doubling past the largest container would hold twice what any file needs.
    if (cap > kBlfMaxContainerBytes) cap = want;
    auto* grown = static_cast<std::uint8_t*>(mem_alloc(cap));
    if (grown == nullptr) return fail("out of memory for a container of %u bytes", inflated);
    if (end_ > pos_) std::memcpy(grown + pos_, data_ + pos_, end_ - pos_);
    mem_free(data_);
    data_ = grown;
    data_cap_ = cap;
  }
  std::uint8_t* out = data_ + end_;
  if (method == blf::kStored) {
    if (stream_read(*stream_, out, packed) != static_cast<std::int64_t>(packed)) {
      return fail("the file ends inside the container at byte %llu", at);
    }
  } else {
    if (packed > packed_cap_) {
      std::size_t cap = packed_cap_ == 0 ? std::size_t{1} << 16 : packed_cap_;
      while (cap < packed) cap *= 2;
      mem_free(packed_);
      packed_ = static_cast<std::uint8_t*>(mem_alloc(cap));
      packed_cap_ = packed_ != nullptr ? cap : 0;
      if (packed_ == nullptr) return fail("out of memory for a container of %u bytes", packed);
    }
    if (stream_read(*stream_, packed_, packed) != static_cast<std::int64_t>(packed)) {
      return fail("the file ends inside the container at byte %llu", at);
    }
    if (inflater_ == nullptr) {
      deflate_use_quarn_memory();
      inflater_ = libdeflate_alloc_decompressor();
      if (inflater_ == nullptr) return fail("out of memory for the inflater");
    }
    // The declared size bounds the output: a container that would inflate to more is refused
    // before it is written, however small it is packed.
    std::size_t actual = 0;
    const libdeflate_result r = libdeflate_zlib_decompress(static_cast<libdeflate_decompressor*>(inflater_), packed_,
                                                           packed, out, inflated, &actual);
    if (r != LIBDEFLATE_SUCCESS || actual != inflated) {
      return fail("the container at byte %llu does not inflate to the %u bytes it declares", at, inflated);
    }
  }
  // Its padding, which a file cut right after the container may lack.
  std::uint8_t pad[4];
  const std::uint32_t padding = size % 4;
  const std::int64_t padded = stream_read(*stream_, pad, padding);
  file_pos_ += size + (padded > 0 ? padded : 0);
  end_ += inflated;
  inflated_ += kBaseHeaderSize + blf::kContainerHeaderSize + inflated;
  return true;
}

// Makes n bytes of the data available from pos_ on. False at the end of the data (at_end set
// when it came between objects) and on failure.
bool BlfDecoder::need(std::uint32_t n, bool& at_end) {
  at_end = false;
  while (end_ - pos_ < n) {
    if (pos_ > 0) {
      std::memmove(data_, data_ + pos_, end_ - pos_);
      end_ -= pos_;
      pos_ = 0;
    }
    bool file_end = false;
    if (!load_container(file_end)) {
      if (!file_end) return false;
      // A file cut short where a container ends, as its header's size shows, lacks the rest of
      // the object as much as the objects after it: what was not read is told as such.
      at_end = end_ == pos_ || cut_short();
      if (at_end) {
        ended_ = true;
        check_header_at_end();
      } else {
        return fail("the data ends %llu bytes into object %llu", static_cast<ull>(end_ - pos_),
                    static_cast<ull>(counts_.objects + 1));
      }
      return false;
    }
  }
  return true;
}

// Moves past n bytes of the data, into the containers that follow where need be.
bool BlfDecoder::skip(std::uint64_t n) {
  while (n > end_ - pos_) {
    n -= end_ - pos_;
    pos_ = 0;
    end_ = 0;
    bool file_end = false;
    if (!load_container(file_end)) {
      if (file_end && cut_short()) {
        ended_ = true;
        check_header_at_end();
        return false;
      }
      if (file_end)
        return fail("object %llu runs past the data of the last container", static_cast<ull>(counts_.objects));
      return false;
    }
  }
  pos_ += static_cast<std::size_t>(n);
  return true;
}

bool BlfDecoder::next(BusRecord& record) {
  if (ended_ || error_[0] != '\0') return false;
  for (;;) {
    bool at_end = false;
    if (!need(kBaseHeaderSize, at_end)) return false;
    const std::uint8_t* p = data_ + pos_;
    const ull index = counts_.objects + 1;
    if (std::memcmp(p, blf::kObjectSignature, 4) != 0) return fail("no object where object %llu should begin", index);
    const std::uint32_t header_size = u16(p + 4);
    const std::uint32_t size = u32(p + 8);
    const std::uint32_t type = u32(p + 12);
    // An object shorter than its own header would never move the decoding along.
    if (header_size < kBaseHeaderSize || size < header_size) {
      return fail("object %llu declares %u bytes with a header of %u", index, size, header_size);
    }
    ++counts_.objects;
    const std::uint64_t whole = std::uint64_t{size} + size % 4;
    const ObjectClass kind = classify(type);
    if (kind == ObjectClass::Frame) {
      if (!need(size < kMaxLook ? size : kMaxLook, at_end)) return false;
      record = BusRecord{};
      if (!frame(data_ + pos_, type, size, record)) return false;
      return skip(whole);
    }
    if (kind == ObjectClass::NoFrame) {
      ++counts_.no_frame;
    } else {
      ++counts_.other_kind;
    }
    if (!skip(whole)) return false;
  }
}

// Decodes the frame object at p, of which at least min(size, kMaxLook) bytes are at hand.
bool BlfDecoder::frame(const std::uint8_t* p, std::uint32_t type, std::uint32_t size, BusRecord& record) {
  const ull index = counts_.objects;
  const std::uint32_t header_size = u16(p + 4);
  const std::uint32_t version = u16(p + 6);
  // Both versions keep the flags at 16 and the time at 24; version 2 adds the original time.
  const bool known =
      (version == 1 && header_size >= blf::kHeaderV1Size) || (version == 2 && header_size >= blf::kHeaderV2Size);
  if (!known || header_size > kMaxObjectHeader) {
    return fail("object %llu has a header of version %u and %u bytes", index, version, header_size);
  }
  const std::uint32_t flags = u32(p + 16);
  double unit = 0;
  if (flags == blf::kTimeTenMicros) {
    unit = 1e-5;
  } else if (flags == blf::kTimeOneNanos) {
    unit = 1e-9;
  } else {
    return fail("object %llu gives its time in no unit quarn knows (flags 0x%x)", index, flags);
  }
  const std::uint32_t need = body_size(type);
  if (size - header_size < need) {
    return fail("object %llu of type %u holds %u bytes past its header, fewer than the %u of its kind", index, type,
                size - header_size, need);
  }
  record.Timestamp = start_ + static_cast<double>(u64(p + 24)) * unit;
  // No trace dates a frame past the calendar's end; the object's time is damage more likely than
  // a frame of that year.
  if (!(record.Timestamp < static_cast<double>(kLastCalendarSecond + 1))) {
    return fail("object %llu: its time, %.6f s, lies past the year 3000", index, record.Timestamp);
  }
  const std::uint8_t* b = p + header_size;
  const std::uint32_t channel = type == blf::kCanFdMessage64 ? b[0] : u16(b);
  if (channel > kMaxChannel) return fail("object %llu is on channel %u, more than %u", index, channel, kMaxChannel);

  if (type == blf::kLinMessage) {
    record.Kind = LIN_Frame;
    record.ID = b[2];
    const std::uint8_t dlc = b[3];
    if (dlc > kLinMaxData) return fail("object %llu: a LIN frame of %u data bytes", index, dlc);
    LinTail& lin = record.Lin;
    lin.BusChannel = static_cast<std::uint8_t>(channel);
    lin.Dir = bit(b[18] != 0);
    lin.ReceivedDataByteCount = dlc;
    set_data(record, lin.DataBytes, b + 4, dlc);
    return true;
  }

  CanTail& can = record.Can;
  can.BusChannel = static_cast<std::uint8_t>(channel);
  std::uint32_t id = 0;
  std::uint8_t dlc = 0;
  std::uint32_t length = 0;
  const std::uint8_t* data = nullptr;
  bool remote = false;
  switch (type) {
    case blf::kCanMessage:
    case blf::kCanMessage2:
      dlc = b[3];
      id = u32(b + 4);
      can.Dir = bit((b[2] & blf::kCanFlagTx) != 0);
      remote = (b[2] & blf::kCanFlagRemote) != 0;
      length = dlc < 8 ? dlc : 8;
      data = b + 8;
      break;
    case blf::kCanFdMessage: {
      dlc = b[3];
      id = u32(b + 4);
      can.Dir = bit((b[2] & blf::kCanFlagTx) != 0);
      remote = (b[2] & blf::kCanFlagRemote) != 0;
      const std::uint8_t fd = b[13];
      can.EDL = bit((fd & blf::kFdFlagEdl) != 0);
      can.BRS = bit((fd & blf::kFdFlagBrs) != 0);
      can.ESI = bit((fd & blf::kFdFlagEsi) != 0);
      length = b[14];
      if (length > (can.EDL != 0 ? kCanMaxData : 8)) {
        return fail("object %llu: a CAN frame of %u data bytes", index, length);
      }
      data = b + 20;
      break;
    }
    case blf::kCanFdMessage64: {
      dlc = b[1];
      length = b[2];
      id = u32(b + 4);
      const std::uint32_t fd = u32(b + 12);
      can.EDL = bit((fd & blf::kFd64Edl) != 0);
      can.BRS = bit((fd & blf::kFd64Brs) != 0);
      can.ESI = bit((fd & blf::kFd64Esi) != 0);
      remote = (fd & blf::kFd64Remote) != 0;
      can.Dir = bit(b[34] == blf::kFd64DirTx);
      // Without EDL too: a classic frame of more than 8 bytes, as MDF4 logs may hold, has no
      // other object to go in.
      if (length > kCanMaxData) {
        return fail("object %llu: a CAN frame of %u data bytes", index, length);
      }
      if (size - header_size < blf::kCanFd64HeadSize + length) {
        return fail("object %llu holds %u bytes past its header, fewer than its %u data bytes need", index,
                    size - header_size, length);
      }
      data = b + blf::kCanFd64HeadSize;
      break;
    }
    default:  // CAN_ERROR_EXT
      dlc = b[10];
      id = u32(b + 16);
      length = dlc < 8 ? dlc : 8;
      data = b + 24;
      break;
  }
  // A DLC past 15 is kept as it is, as an MDF4 log's DLC of a byte is: it is what quarn's own
  // BLF trace of such a log holds.
  can.DLC = dlc;
  can.IDE = bit((id & blf::kExtendedId) != 0);
  record.ID = id & 0x1FFFFFFFu;
  if (type == blf::kCanErrorExt) {
    record.Kind = CAN_ErrorFrame;
  } else if (remote) {
    record.Kind = CAN_RemoteFrame;
    can.Remote = 1;
    length = 0;
  } else {
    record.Kind = CAN_DataFrame;
  }
  set_data(record, can.DataBytes, data, length);
  return true;
}

bool BlfDecoder::cut_short() const {
  return file_size_ >= 0 && static_cast<std::uint64_t>(file_size_) < declared_file_size_;
}

void BlfDecoder::check_header_at_end() {
  const std::uint64_t held = file_size_ >= 0 ? static_cast<std::uint64_t>(file_size_) : declared_file_size_;
  if (held != declared_file_size_ || counts_.objects != declared_objects_) {
    std::snprintf(unread_, sizeof unread_,
                  "its header declares %llu bytes and %llu objects, the file holds %llu and %llu",
                  static_cast<ull>(declared_file_size_), static_cast<ull>(declared_objects_), static_cast<ull>(held),
                  static_cast<ull>(counts_.objects));
  } else if (inflated_ != declared_inflated_) {
    std::snprintf(unread_, sizeof unread_, "its header declares %llu bytes of inflated data, the containers hold %llu",
                  static_cast<ull>(declared_inflated_), static_cast<ull>(inflated_));
  }
}

std::unique_ptr<BlfDecoder> blf_decoder_create() { return std::unique_ptr<BlfDecoder>(new (std::nothrow) BlfDecoder); }

}  // namespace quarn
