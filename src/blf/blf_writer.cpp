#include "blf/blf_writer.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <mutex>
#include <new>

#include "base/calendar.h"
#include "batch/record_pipeline.h"
#include "blf/blf_format.h"
#include "codec/record_deflate.h"

namespace quarn {
namespace {

using namespace blf;

constexpr std::uint64_t kNanosPerSecond = 1000000000;
constexpr std::uint64_t kNanosPerMilli = 1000000;
// The most whole seconds an object's time of u64 nanoseconds reaches past the start: with the
// fraction of a second after them, the sum still fits.
constexpr std::uint64_t kMaxOffsetSeconds = UINT64_MAX / kNanosPerSecond - 1;

// The largest object: CAN_FD_MESSAGE_64 with 64 data bytes, and its padding.
constexpr std::size_t kMaxObject = kHeaderV1Size + kCanFd64HeadSize + kCanMaxData + 3;
// A log container's two headers ahead of its data.
constexpr std::size_t kContainerHead = kBaseHeaderSize + kContainerHeaderSize;

void put_u16(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}
void put_u32(std::uint8_t* p, std::uint32_t v) {
  put_u16(p, v & 0xFFFF);
  put_u16(p + 2, v >> 16);
}
void put_u64(std::uint8_t* p, std::uint64_t v) {
  put_u32(p, static_cast<std::uint32_t>(v));
  put_u32(p + 4, static_cast<std::uint32_t>(v >> 32));
}

// A time as whole seconds since 1970 and nanoseconds, the nanoseconds rounded to the nearest:
// a double of today's dates is coarser than a nanosecond, so start + offset gives the same double
// back. False outside 1970 to 3000 (NaN and infinities included).
struct SplitTime {
  std::uint64_t seconds = 0;
  std::uint64_t nanos = 0;
};

bool split_time(double t, SplitTime& out) {
  if (!(t >= 0.0 && t < static_cast<double>(kLastCalendarSecond + 1))) return false;
  // Truncation is the floor of a time not below 0, and the fraction is exact: both lie within
  // the same power of two's range or the fraction is t itself. The conversions rather than
  // floor and llround, which are calls into libm on every frame.
  out.seconds = static_cast<std::uint64_t>(t);
  const double scaled = (t - static_cast<double>(out.seconds)) * 1e9;
  out.nanos = static_cast<std::uint64_t>(scaled);
  // Halves away from zero, as llround; the difference is exact below 2^52.
  if (scaled - static_cast<double>(out.nanos) >= 0.5) ++out.nanos;
  if (out.nanos >= kNanosPerSecond) {
    out.nanos -= kNanosPerSecond;
    ++out.seconds;
  }
  return out.seconds <= static_cast<std::uint64_t>(kLastCalendarSecond);
}

// A container's objects on their way to the file: filled in place, then compressed on the
// thread that fills them or on the helping one, and written out in order by the filling one.
struct Slot {
  enum class State : std::uint8_t { Free, Waiting, Compressing, Done, Failed };
  State state = State::Free;
  std::uint8_t* raw = nullptr;  // the objects
  std::size_t raw_used = 0;
  std::size_t first = 0;           // where the first object that starts in `raw` starts
  std::uint8_t* packed = nullptr;  // the container's headers, its data and its padding
  std::size_t packed_used = 0;
};

// An object's size with its padding, for the coder that finds each object's end.
std::size_t object_extent(const std::uint8_t* object, std::size_t available) {
  if (available < kBaseHeaderSize) return 0;
  const std::uint32_t size = static_cast<std::uint32_t>(object[8]) | static_cast<std::uint32_t>(object[9]) << 8 |
                             static_cast<std::uint32_t>(object[10]) << 16 |
                             static_cast<std::uint32_t>(object[11]) << 24;
  return size < kBaseHeaderSize ? 0 : std::size_t{size} + size % 4;
}

// The container being filled and those that may wait at once for the helping thread (one
// fewer): enough that the filling thread runs on while the other compresses, each 128 KiB and
// its compressed room.
constexpr int kSlots = 5;

class Writer final : public BlfWriter {
 public:
  Writer(const BlfWriterOptions& options, std::unique_ptr<RecordDeflater> own, std::unique_ptr<RecordDeflater> helper,
         std::uint8_t* memory, std::size_t raw_size, std::size_t packed_size)
      : options_(options),
        own_(std::move(own)),
        helper_(std::move(helper)),
        memory_(memory),
        packed_size_(packed_size) {
    std::uint8_t* p = memory;
    for (Slot& slot : slots_) {
      slot.raw = p;
      p += raw_size;
      slot.packed = p;
      p += packed_size;
    }
  }

  ~Writer() override { mem_free(memory_); }

  bool begin(ByteSink& out, double first_time, StrView source_name) override {
    out_ = &out;
    failure_ = BlfFailure::None;
    used_ = 0;
    objects_ = 0;
    uncompressed_ = kFileHeaderSize;
    {
      // Slots a failed file left queued are dropped.
      std::lock_guard<std::mutex> lock(mutex_);
      head_ = 0;
      queued_ = 0;
      for (Slot& slot : slots_) slot.state = Slot::State::Free;
    }
    fill_ = slots_[0].raw;
    slots_[0].first = 0;
    if (!split_time(first_time, start_)) return fail(BlfFailure::Time);
    // The start is the first frame's millisecond: what SYSTEMTIME holds.
    start_.nanos -= start_.nanos % kNanosPerMilli;
    last_ = start_;

    std::uint8_t header[kFileHeaderSize] = {};
    std::memcpy(header, kFileSignature, 4);
    if (!out.write(header, sizeof header)) return fail(BlfFailure::Write);

    // The log's name in a container of its own, stored, so that a later run tells this file for
    // quarn's trace of that log without inflating anything (blf_origin.h).
    const std::size_t text_length = sizeof kBlfOriginPrefix - 1 + static_cast<std::size_t>(source_name.length);
    const std::size_t size = kHeaderV1Size + kAppTextHeadSize + text_length;
    if (kContainerHead + size + 3 + 3 > packed_size_) return fail(BlfFailure::Memory);
    Slot& slot = slots_[0];
    std::uint8_t* object = slot.packed + kContainerHead;
    put_header(object, kAppText, size, 0);
    std::uint8_t* body = object + kHeaderV1Size;
    std::memset(body, 0, kAppTextHeadSize);
    put_u32(body, kAppTextComment);
    put_u32(body + 8, static_cast<std::uint32_t>(text_length));
    std::memcpy(body + kAppTextHeadSize, kBlfOriginPrefix, sizeof kBlfOriginPrefix - 1);
    if (source_name.length > 0) {
      std::memcpy(body + kAppTextHeadSize + sizeof kBlfOriginPrefix - 1, source_name.data,
                  static_cast<std::size_t>(source_name.length));
    }
    const std::size_t padded = size + size % 4;
    std::memset(object + size, 0, padded - size);
    ++objects_;
    slot.raw_used = padded;
    close_container(slot, kStored, padded);
    return write_out(slot);
  }

  bool add(const BusRecord& record) override {
    if (failure_ != BlfFailure::None) return false;
    switch (record.Kind) {
      case CAN_DataFrame:
      case CAN_RemoteFrame:
      case CAN_ErrorFrame:
      case LIN_Frame: break;
      default: return true;
    }
    SplitTime t;
    if (!split_time(record.Timestamp, t) || t.seconds < start_.seconds ||
        (t.seconds == start_.seconds && t.nanos < start_.nanos) || t.seconds - start_.seconds > kMaxOffsetSeconds) {
      return fail(BlfFailure::Time);
    }
    last_ = t;
    const std::uint64_t offset = (t.seconds - start_.seconds) * kNanosPerSecond + t.nanos - start_.nanos;
    switch (record.Kind) {
      case LIN_Frame: put_lin(record, offset); break;
      case CAN_ErrorFrame: put_error(record, offset); break;
      default: put_can(record, offset); break;
    }
    ++objects_;
    while (used_ >= options_.container_size) {
      if (!queue_container(options_.container_size)) return false;
    }
    return true;
  }

  bool finish() override {
    if (failure_ != BlfFailure::None) return false;
    if (used_ > 0 && !queue_container(used_)) return false;
    while (queued_ > 0) {
      if (!write_head()) return false;
    }
    std::uint8_t header[kFileHeaderSize] = {};
    std::memcpy(header, kFileSignature, 4);
    put_u32(header + 4, kFileHeaderSize);
    // Application 0 and no versions: the file names no program of another maker.
    put_u64(header + kFileSizeOffset, out_->size());
    put_u64(header + kUncompressedSizeOffset, uncompressed_);
    put_u32(header + kObjectCountOffset, static_cast<std::uint32_t>(std::min<std::uint64_t>(objects_, UINT32_MAX)));
    if (!blf_system_time(millis_of(start_), header + kStartTimeOffset) ||
        !blf_system_time(millis_of(last_), header + kStopTimeOffset)) {
      return fail(BlfFailure::Time);
    }
    if (!out_->rewrite(0, header, sizeof header)) return fail(BlfFailure::Write);
    return true;
  }

  BlfFailure failure() const override { return failure_; }

  void expect_help() override { helped_ = true; }

  bool help() override {
    Slot* slot = nullptr;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      slot = waiting_slot(0);
      if (slot == nullptr) return false;
      slot->state = Slot::State::Compressing;
    }
    const bool ok = compress(*slot, *helper_);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      slot->state = ok ? Slot::State::Done : Slot::State::Failed;
    }
    done_.notify_one();
    return true;
  }

 private:
  static std::int64_t millis_of(const SplitTime& t) {
    return static_cast<std::int64_t>(t.seconds * 1000 + t.nanos / kNanosPerMilli);
  }

  bool fail(BlfFailure why) {
    if (failure_ == BlfFailure::None) failure_ = why;
    return false;
  }

  // The base header and the version 1 header, times in nanoseconds.
  static void put_header(std::uint8_t* p, std::uint32_t type, std::size_t size, std::uint64_t time) {
    std::memcpy(p, kObjectSignature, 4);
    put_u16(p + 4, kHeaderV1Size);
    put_u16(p + 6, 1);
    put_u32(p + 8, static_cast<std::uint32_t>(size));
    put_u32(p + 12, type);
    put_u32(p + 16, kTimeOneNanos);
    put_u16(p + 20, 0);  // client index
    put_u16(p + 22, 0);  // object version
    put_u64(p + 24, time);
  }

  // Room for an object of `body` bytes after its header, zeroed, with its padding; returns the
  // body. The buffer always has room for one more object past the container size.
  std::uint8_t* put_object(std::uint32_t type, std::size_t body, std::uint64_t time) {
    const std::size_t size = kHeaderV1Size + body;
    const std::size_t padded = size + size % 4;
    std::uint8_t* p = fill_ + used_;
    std::memset(p, 0, padded);
    put_header(p, type, size, time);
    used_ += padded;
    return p + kHeaderV1Size;
  }

  static std::uint32_t can_id(const BusRecord& record) {
    return (record.ID & 0x1FFFFFFFu) | (record.Can.IDE != 0 ? kExtendedId : 0);
  }
  void put_can(const BusRecord& record, std::uint64_t time) {
    const CanTail& can = record.Can;
    const std::size_t n = static_cast<std::size_t>(std::min(record.DataLength, kCanMaxData));
    const bool remote = can.Remote != 0 || record.Kind == CAN_RemoteFrame;
    // A classic object holds a DLC and at most 8 bytes that it stands for; anything else is an
    // FD object, which gives its valid bytes apart from its DLC. The frame length and bit count
    // of CAN_MESSAGE2 stay 0: the log does not give them.
    if (can.EDL == 0 && (remote || (n <= 8 && n == can.DLC))) {
      // Nearly every frame takes this way: every byte is stored once, without clearing the
      // object first, and the data as one word whose bytes past the valid ones are masked off.
      static_assert((kHeaderV1Size + kCanMessage2Size) % 4 == 0, "CAN_MESSAGE2 objects need no padding");
      std::uint8_t* p = fill_ + used_;
      used_ += kHeaderV1Size + kCanMessage2Size;
      put_header(p, kCanMessage2, kHeaderV1Size + kCanMessage2Size, time);
      std::uint8_t* b = p + kHeaderV1Size;
      put_u16(b, can.BusChannel);
      b[2] = static_cast<std::uint8_t>((can.Dir == 1 ? kCanFlagTx : 0) | (remote ? kCanFlagRemote : 0));
      b[3] = can.DLC;
      put_u32(b + 4, can_id(record));
      static constexpr std::uint8_t kKeep[16] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
      std::uint64_t data = 0;
      std::uint64_t keep = 0;
      std::memcpy(&data, can.DataBytes, 8);
      std::memcpy(&keep, kKeep + 8 - (remote ? 0 : n), 8);
      data &= keep;
      std::memcpy(b + 8, &data, 8);
      std::memset(b + 16, 0, kCanMessage2Size - 16);
      return;
    }
    const std::size_t valid = remote ? 0 : n;
    std::uint8_t* b = put_object(kCanFdMessage64, kCanFd64HeadSize + valid, time);
    b[0] = can.BusChannel;
    b[1] = can.DLC;
    b[2] = static_cast<std::uint8_t>(valid);
    put_u32(b + 4, can_id(record));
    put_u32(b + 12, (remote ? kFd64Remote : 0) | (can.EDL != 0 ? kFd64Edl : 0) | (can.BRS != 0 ? kFd64Brs : 0) |
                        (can.ESI != 0 ? kFd64Esi : 0));
    b[34] = can.Dir == 1 ? kFd64DirTx : 0;
    std::memcpy(b + kCanFd64HeadSize, can.DataBytes, valid);
  }

  void put_error(const BusRecord& record, std::uint64_t time) {
    const CanTail& can = record.Can;
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(record.DataLength, 8));
    std::uint8_t* b = put_object(kCanErrorExt, kCanErrorExtSize, time);
    put_u16(b, can.BusChannel);
    b[10] = can.DLC;
    put_u32(b + 16, can_id(record));
    std::memcpy(b + 24, can.DataBytes, n);
  }

  void put_lin(const BusRecord& record, std::uint64_t time) {
    const LinTail& lin = record.Lin;
    const std::size_t n = static_cast<std::size_t>(std::min(record.DataLength, kLinMaxData));
    std::uint8_t* b = put_object(kLinMessage, kLinMessageSize, time);
    put_u16(b, lin.BusChannel);
    b[2] = static_cast<std::uint8_t>(record.ID);
    b[3] = static_cast<std::uint8_t>(n);
    std::memcpy(b + 4, lin.DataBytes, n);
    b[18] = lin.Dir == 1 ? 1 : 0;
  }

  // Closes the filling slot's container at its first `n` bytes and moves the rest, the start of
  // an object running on, into the next slot, which is filled from then on. Without a helping
  // thread the container is compressed and written at once; otherwise it waits for that thread
  // while the slots last.
  bool queue_container(std::size_t n) {
    // The slot after the filling one must be free before anything moves into it.
    while (queued_ >= kSlots - 1) {
      if (!write_head()) return false;
    }
    Slot& slot = slots_[(head_ + queued_) % kSlots];
    Slot& next = slots_[(head_ + queued_ + 1) % kSlots];
    std::memcpy(next.raw, slot.raw + n, used_ - n);
    slot.raw_used = n;
    fill_ = next.raw;
    used_ -= n;
    // Only the last object added can run past the container, so the next one starts where the
    // moved bytes end (past the next container too when one object outgrows it).
    next.first = used_;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      slot.state = Slot::State::Waiting;
      ++queued_;
    }
    if (!helped_) return write_head();
    // The helping thread may be asleep waiting for this one: it takes the container now.
    record_pipeline_wake_helper();
    // What the other thread finished meanwhile goes out now.
    for (;;) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (queued_ == 0 || slots_[head_].state != Slot::State::Done) return true;
      }
      if (!write_head()) return false;
    }
  }

  // Writes the oldest queued container, compressing it here unless the helping thread already
  // does. While it does, this thread compresses a later one rather than sleep: the helping
  // thread took the oldest because it was idle, and this one would otherwise be too.
  bool write_head() {
    Slot& slot = slots_[head_];
    bool compress_here = false;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      while (slot.state == Slot::State::Compressing) {
        Slot* later = waiting_slot(1);
        if (later == nullptr) {
          done_.wait(lock, [&] { return slot.state != Slot::State::Compressing; });
          break;
        }
        later->state = Slot::State::Compressing;
        lock.unlock();
        const bool ok = compress(*later, *own_);
        lock.lock();
        later->state = ok ? Slot::State::Done : Slot::State::Failed;
      }
      if (slot.state == Slot::State::Waiting) {
        slot.state = Slot::State::Compressing;
        compress_here = true;
      }
    }
    bool ok = true;
    if (compress_here) {
      ok = compress(slot, *own_);
    } else {
      std::lock_guard<std::mutex> lock(mutex_);
      ok = slot.state == Slot::State::Done;
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      slot.state = Slot::State::Free;
      head_ = (head_ + 1) % kSlots;
      --queued_;
    }
    if (!ok) return fail(BlfFailure::Compress);
    return write_out(slot);
  }

  // The first queued slot from the `skip`th on that waits to be compressed, or null; under the
  // mutex.
  Slot* waiting_slot(int skip) {
    for (int i = skip; i < queued_; ++i) {
      Slot& s = slots_[(head_ + i) % kSlots];
      if (s.state == Slot::State::Waiting) return &s;
    }
    return nullptr;
  }

  // Compresses a slot's objects into its container; false when the compressor failed.
  bool compress(Slot& slot, RecordDeflater& c) {
    const std::size_t room = packed_size_ - kContainerHead - 3;
    const std::size_t z =
        c.compress(slot.raw, slot.raw_used, slot.first, object_extent, slot.packed + kContainerHead, room);
    if (z == 0) return false;
    close_container(slot, kZlibDeflate, z);
    return true;
  }

  // The container's headers and padding around its `data` bytes, which lie in the slot's packed
  // room after the headers.
  static void close_container(Slot& slot, std::uint16_t method, std::size_t data) {
    const std::size_t size = kContainerHead + data;
    std::uint8_t* p = slot.packed;
    std::memcpy(p, kObjectSignature, 4);
    put_u16(p + 4, kBaseHeaderSize);
    put_u16(p + 6, 1);
    put_u32(p + 8, static_cast<std::uint32_t>(size));
    put_u32(p + 12, kLogContainer);
    std::memset(p + 16, 0, kContainerHeaderSize);
    put_u16(p + 16, method);
    put_u32(p + 24, static_cast<std::uint32_t>(slot.raw_used));
    // Containers are followed by `size % 4` bytes, not padded to a multiple of four: what
    // readers skip after one.
    std::memset(p + size, 0, size % 4);
    slot.packed_used = size + size % 4;
  }

  bool write_out(const Slot& slot) {
    if (!out_->write(slot.packed, slot.packed_used)) return fail(BlfFailure::Write);
    uncompressed_ += kContainerHead + slot.raw_used;
    return true;
  }

  BlfWriterOptions options_;
  std::unique_ptr<RecordDeflater> own_;     // the filling thread's
  std::unique_ptr<RecordDeflater> helper_;  // the helping thread's
  std::uint8_t* memory_;           // every buffer below
  std::size_t packed_size_;
  std::uint8_t* fill_ = nullptr;  // the filling slot's objects: the slot after the queued ones
  std::size_t used_ = 0;
  // The queued containers, in a ring of kSlots, the oldest at head_, the one being filled after
  // them. Their states, head_ and queued_ change under the mutex; a slot's buffers belong to
  // whoever set it Compressing, or to the filling thread otherwise.
  Slot slots_[kSlots];
  int head_ = 0;
  int queued_ = 0;
  std::mutex mutex_;
  std::condition_variable done_;
  bool helped_ = false;
  ByteSink* out_ = nullptr;
  BlfFailure failure_ = BlfFailure::None;
  SplitTime start_;
  SplitTime last_;
  std::uint64_t objects_ = 0;
  std::uint64_t uncompressed_ = 0;
};

}  // namespace

bool blf_system_time(std::int64_t milliseconds, std::uint8_t out[16]) {
  if (milliseconds < 0) return false;
  std::tm f;
  if (!utc_fields_from_seconds(milliseconds / 1000, f)) return false;
  put_u16(out, static_cast<std::uint32_t>(f.tm_year + 1900));
  put_u16(out + 2, static_cast<std::uint32_t>(f.tm_mon + 1));
  put_u16(out + 4, static_cast<std::uint32_t>(f.tm_wday));
  put_u16(out + 6, static_cast<std::uint32_t>(f.tm_mday));
  put_u16(out + 8, static_cast<std::uint32_t>(f.tm_hour));
  put_u16(out + 10, static_cast<std::uint32_t>(f.tm_min));
  put_u16(out + 12, static_cast<std::uint32_t>(f.tm_sec));
  put_u16(out + 14, static_cast<std::uint32_t>(milliseconds % 1000));
  return true;
}

std::unique_ptr<BlfWriter> blf_writer_create(const BlfWriterOptions& options) {
  if (options.container_size == 0 || options.container_size > (std::size_t{1} << 24)) return nullptr;
  const std::size_t raw_size = options.container_size + kMaxObject;
  std::unique_ptr<RecordDeflater> own = RecordDeflater::create(raw_size);
  std::unique_ptr<RecordDeflater> helper = own ? RecordDeflater::create(raw_size) : nullptr;
  if (!helper) return nullptr;
  // Room for the origin object too, whose log name is at most a few hundred bytes.
  const std::size_t packed_size = kContainerHead + std::max<std::size_t>(RecordDeflater::bound(raw_size), 4096) + 3;
  auto* memory = static_cast<std::uint8_t*>(mem_alloc(kSlots * (raw_size + packed_size)));
  if (memory == nullptr) return nullptr;
  std::unique_ptr<BlfWriter> w(new (std::nothrow)
                                   Writer(options, std::move(own), std::move(helper), memory, raw_size, packed_size));
  if (!w) mem_free(memory);
  return w;
}

}  // namespace quarn
