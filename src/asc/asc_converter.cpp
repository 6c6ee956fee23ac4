#include "asc/asc_converter.h"

#include "asc/asc_lines.h"

#include <stb/stb_sprintf.h>
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>
#include <type_traits>

#include "base/arena.h"
#include "base/calendar.h"
#include "base/memory.h"
#include "base/platform.h"
#include "base/ptr_array.h"
#include "logging/report.h"

namespace quarn {
namespace {

// Flag bits of the CANFD line's flags word.
constexpr std::uint32_t kAscFlagRemote = 0x10;
constexpr std::uint32_t kAscFlagEdl = 0x1000;
constexpr std::uint32_t kAscFlagBrs = 0x2000;
constexpr std::uint32_t kAscFlagEsi = 0x4000;

constexpr std::uint64_t kCanMaxData = 64;
constexpr std::uint64_t kLinMaxData = 8;

// fs_open access for an output: FS_WRITE plus the bit every caller passes along.
constexpr std::uint32_t kOutputAccess = FS_WRITE | 4;

// Room for the longest usual line: a CANFD line with 64 data bytes is about 360 characters, so
// after this one reservation formatting a frame line allocates nothing.
constexpr std::int64_t kLineReserve = 512;

// Frame lines are gathered into blocks of about this size (large writes cost the kernel far less per byte) and written a block at a time.
constexpr std::int64_t kChunk = 1024 * 1024;

// A kept CAN frame: 16 bytes, then BRS and ESI when either is above 1 (no logger writes that),
// then its DataLength bytes, all in one block: 24 bytes for a classic frame with eight bytes,
// which is what keeps a million frames in little memory.
struct CanCopy {
  double Timestamp;
  std::uint32_t ID;
  std::uint8_t DataLength;
  std::uint8_t Bits;  // the kCan... bits below
  std::uint8_t BusChannel;
  std::uint8_t DLC;

  bool wide() const { return (Bits & kCanWide) != 0; }
  const std::uint8_t* extra() const { return reinterpret_cast<const std::uint8_t*>(this + 1); }
  std::uint8_t brs() const { return wide() ? extra()[0] : ((Bits & kCanBrs) != 0 ? 1 : 0); }
  std::uint8_t esi() const { return wide() ? extra()[1] : ((Bits & kCanEsi) != 0 ? 1 : 0); }
  const std::uint8_t* data() const { return extra() + (wide() ? 2 : 0); }

  static constexpr std::uint8_t kCanExtended = 1;  // IDE == 1
  static constexpr std::uint8_t kCanTx = 2;        // Dir == 1
  static constexpr std::uint8_t kCanEdl = 4;       // EDL != 0
  static constexpr std::uint8_t kCanRemote = 8;    // Remote != 0
  static constexpr std::uint8_t kCanBrs = 16;      // BRS == 1
  static constexpr std::uint8_t kCanEsi = 32;      // ESI == 1
  static constexpr std::uint8_t kCanWide = 64;     // BRS and ESI follow as bytes
};

// A kept LIN frame, in the same manner, with its data bytes behind it.
struct LinCopy {
  double Timestamp;
  std::uint32_t ID;
  std::uint8_t DataLength;
  std::uint8_t Dir;
  std::uint8_t BusChannel;
  std::uint8_t ReceivedDataByteCount;

  const std::uint8_t* data() const { return reinterpret_cast<const std::uint8_t*>(this + 1); }
};

static_assert(sizeof(CanCopy) == 16 && sizeof(LinCopy) == 16);
static_assert(std::is_trivially_copyable_v<CanCopy> && std::is_trivially_copyable_v<LinCopy>);

// One block holding the header, `extra` bytes of the caller's, and `n` data bytes copied from
// `bytes`; null when memory runs out.
template <typename Copy>
Copy* allocate_copy(Arena& arena, std::size_t extra, const std::uint8_t* bytes, std::uint64_t n) {
  void* block = arena.allocate(sizeof(Copy) + extra + n);
  if (block == nullptr) return nullptr;
  Copy* copy = new (block) Copy{};
  copy->DataLength = static_cast<std::uint8_t>(n);
  if (n > 0) std::memcpy(static_cast<std::uint8_t*>(block) + sizeof(Copy) + extra, bytes, n);
  return copy;
}

// Orders by time; equal times keep their arrival order (stable sort), and a NaN time, which has
// no place in time, goes last so that the order stays a strict weak one.
template <typename Copy>
void sort_by_time(PtrArray& records) {
  auto earlier = [](const void* a, const void* b) {
    double ta = static_cast<const Copy*>(a)->Timestamp;
    double tb = static_cast<const Copy*>(b)->Timestamp;
    if (std::isnan(ta)) return false;
    if (std::isnan(tb)) return true;
    return ta < tb;
  };
  // The text reader hands frames over in time order already; a stable sort would leave them as
  // they are, so a linear check spares the sort.
  if (std::is_sorted(records.items, records.items + records.count, earlier)) return;
  std::stable_sort(records.items, records.items + records.count, earlier);
}

// The UTC calendar fields of a base time; false outside 1970..3000 (NaN and infinities included).
bool calendar_of(double seconds, std::tm& out) {
  if (!(seconds >= 0.0 && seconds <= static_cast<double>(kLastCalendarSecond))) return false;
  return utc_fields_from_seconds(static_cast<std::int64_t>(seconds), out);
}

// Appends "Wed Jan 31 12:34:56" (with `pattern`) and " 2024". False when nothing was produced.
bool append_date(DynString& line, const char* pattern, const std::tm& fields) {
  std::int64_t len = dynstr_length(line);
  std::size_t room = static_cast<std::size_t>(dynstr_capacity(line) - len) + 1;
  std::size_t n = std::strftime(dynstr_data(line) + len, room, pattern, &fields);
  if (n == 0) {
    dynstr_set_length(line, len);
    return false;
  }
  dynstr_set_length(line, len + static_cast<std::int64_t>(n));
  return dynstr_append_format(line, " %4d", fields.tm_year + 1900) >= 0;
}

bool write_line(Stream& stream, const DynString& line) {
  std::int64_t n = dynstr_length(line);
  return stream_write(stream, dynstr_data(line), static_cast<std::uint64_t>(n)) == n;
}

// The parent folder of an output path, for making its new entry durable ("/" for "/x").
StrView parent_of(StrView path) {
  std::int64_t i = path.length;
  while (i > 0 && path.data[i - 1] != '/') --i;
  return StrView{path.data, i > 1 ? i - 1 : i};
}

// The length of the last element of a path.
std::int64_t last_element_length(StrView path) {
  std::int64_t i = path.length;
  while (i > 0 && path.data[i - 1] != '/') --i;
  return path.length - i;
}

const char* direction(std::uint8_t dir) { return dir == 1 ? "Tx" : "Rx"; }

// A LIN frame line: time (12 wide), channel, identifier in lower-case hex, direction, "d", data
// length, data bytes:
//      0.000000 1 3c  Rx d 2 01 02
constexpr char kLinLine[] = "% 12.6f %d %x  %s d %d ";

class AscConverter final : public Converter {
 public:
  ~AscConverter() override {
    // The copies belong to the arena; the arrays only point at them.
    can_records_.count = lin_records_.count = 0;
    ptrarray_release(can_records_);
    ptrarray_release(lin_records_);
  }

  bool handle_record(const BusRecord& record) override {
    bool kept = true;
    switch (record.Kind) {
      case CAN_DataFrame:
      case CAN_RemoteFrame: kept = keep_can(record); break;
      case LIN_Frame: kept = keep_lin(record); break;
      default: break;
    }
    // A frame that cannot be kept would be missing from the trace while the log counted as
    // converted (and could be deleted): fail the record, and end_file writes no trace.
    if (!kept) frames_lost_ = true;
    return kept;
  }

  bool new_file(StrView /*output_base*/, const RecordSource& /*source*/) override {
    can_records_.count = lin_records_.count = 0;
    copies_.reset();
    frames_lost_ = false;
    return true;
  }

  bool end_file(StrView output_base) override {
    if (frames_lost_) {
      report(LogLevel::Error, "Could not keep every frame in memory, no trace written for %.*s",
             sv_len(output_base), output_base.data);
      return false;
    }
    // A trace of part of a log would look complete; the loop reports the failure.
    if (file_failed) return false;
    if (can_records_.count == 0 && lin_records_.count == 0) return true;
    DynString line;
    if (dynstr_reserve(line, kLineReserve) == nullptr) {
      report(LogLevel::Error, "Could not allocate line buffer for %.*s", sv_len(output_base), output_base.data);
      return false;
    }
    bool result = true;
    if (can_records_.count > 0 && !write_can_trace(output_base, line)) result = false;
    if (lin_records_.count > 0 && !write_lin_trace(output_base, line)) result = false;
    return result;
  }

 private:
  bool keep_can(const BusRecord& record) {
    // The bytes come from the record's own DataBytes, never through DataPointer, and at most as
    // many as it holds: a malformed record cannot make the copy read foreign memory.
    std::uint64_t n = std::min(record.DataLength, kCanMaxData);
    const CanTail& can = record.Can;
    bool wide = can.BRS > 1 || can.ESI > 1;
    CanCopy* copy = allocate_copy<CanCopy>(copies_, wide ? 2 : 0, can.DataBytes, n);
    if (copy == nullptr) return false;
    copy->Timestamp = record.Timestamp;
    copy->ID = record.ID;
    copy->Bits = static_cast<std::uint8_t>(
        (can.IDE == 1 ? CanCopy::kCanExtended : 0) | (can.Dir == 1 ? CanCopy::kCanTx : 0) |
        (can.EDL != 0 ? CanCopy::kCanEdl : 0) | (can.Remote != 0 ? CanCopy::kCanRemote : 0) |
        (can.BRS == 1 ? CanCopy::kCanBrs : 0) | (can.ESI == 1 ? CanCopy::kCanEsi : 0) | (wide ? CanCopy::kCanWide : 0));
    if (wide) {
      std::uint8_t* extra = reinterpret_cast<std::uint8_t*>(copy + 1);
      extra[0] = can.BRS;
      extra[1] = can.ESI;
    }
    copy->BusChannel = can.BusChannel;
    copy->DLC = can.DLC;
    if (ptrarray_push(can_records_, copy) == nullptr) return false;  // the arena takes the copy back later
    return true;
  }

  bool keep_lin(const BusRecord& record) {
    std::uint64_t n = std::min(record.DataLength, kLinMaxData);
    LinCopy* copy = allocate_copy<LinCopy>(copies_, 0, record.Lin.DataBytes, n);
    if (copy == nullptr) return false;
    copy->Timestamp = record.Timestamp;
    copy->ID = record.ID;
    copy->Dir = record.Lin.Dir;
    copy->BusChannel = record.Lin.BusChannel;
    copy->ReceivedDataByteCount = record.Lin.ReceivedDataByteCount;
    if (ptrarray_push(lin_records_, copy) == nullptr) return false;
    return true;
  }

  // With delete_converted the input goes as soon as end_file succeeds, so the trace must be on
  // stable storage first, or a crash could lose both.
  bool durable() const { return options != nullptr && options->delete_converted; }

  // A trace being written. It goes under a temporary name beside its real one and is renamed only
  // once it is complete and closed, so that a run stopped at any moment never leaves a truncated
  // trace under the real name, nor destroys a complete one from an earlier run. The process id in
  // the temporary name keeps quarn processes that share an output folder apart.
  //
  // Both paths are joined to the output root when the trace is opened: putting the trace in
  // place or removing it must not need memory, which may be what ran out.
  struct TraceFile {
    DynString name;  // NAME.asc or NAME_LIN.asc, relative to the output root (for messages)
    DynString full;  // name joined to the output root
    DynString temp;  // full + ".<pid>.part", its own name shortened when the system would refuse it
    std::unique_ptr<Stream> stream;
  };

  // Closes a failed trace (if still open) and removes what was written of it.
  bool discard(TraceFile& trace) {
    if (trace.stream) {
      stream_close(trace.stream);
      // A failed close keeps the object, whose file is already released: drop it.
      trace.stream.reset();
    }
    output_fs->remove(dynstr_view(trace.temp));
    return false;
  }

  // Closes a fully written trace and puts it in place; false (and nothing left under either name
  // but an earlier trace) when the data may not be whole.
  bool finish(TraceFile& trace, const char* what) {
    if (durable() && !trace.stream->sync()) {
      report(LogLevel::Error, "Could not flush %s trace to disk: %s", what, dynstr_data(trace.name));
      return discard(trace);
    }
    if (stream_close(trace.stream) != 0) return discard(trace);
    if (!output_fs->rename(dynstr_view(trace.temp), dynstr_view(trace.full))) {
      report(LogLevel::Error, "Could not move %s trace into place: %s", what, dynstr_data(trace.name));
      return discard(trace);
    }
    if (durable() && !output_fs->sync_folder(parent_of(dynstr_view(trace.full)))) {
      report(LogLevel::Error, "Could not flush %s trace to disk: %s", what, dynstr_data(trace.name));
      return false;
    }
    return true;
  }

  // Names the trace (output base + suffix) and opens its temporary file for writing. False when
  // either cannot be had (the caller reports).
  bool open_trace(StrView output_base, const char* suffix, TraceFile& trace) {
    dynstr_from(trace.name, output_base);
    if (dynstr_length(trace.name) != output_base.length || dynstr_append(trace.name, suffix) == nullptr) return false;
    if (!fs_full_path(*output_fs, dynstr_view(trace.name), trace.full)) return false;
    char tail[32];
    int tail_length = std::snprintf(tail, sizeof tail, ".%d.part", process_id_);
    if (tail_length <= 0 || tail_length >= static_cast<int>(sizeof tail)) return false;
    // A trace whose own name the system takes must not fail for its temporary name: where that
    // would be too long an element or too long a path, the trace's name is cut (at a character
    // boundary) to make room for the tail. A log named with 250 bytes is no rarity.
    StrView full = dynstr_view(trace.full);
    std::int64_t element = last_element_length(full);
    std::int64_t parent = full.length - element;
    std::int64_t keep = std::min<std::int64_t>({element, kPlatformNameMax - tail_length,
                                                kPlatformPathMax - 1 - parent - tail_length});
    // When even the trace's own name is refused, or nothing of it would be left, the open fails
    // and is reported.
    if (keep < 1 || element > kPlatformNameMax || full.length > kPlatformPathMax) keep = element;
    while (keep < element && keep > 1 && (static_cast<unsigned char>(full.data[parent + keep]) & 0xC0) == 0x80) --keep;
    dynstr_from(trace.temp, full.data, parent + keep);
    if (dynstr_length(trace.temp) != parent + keep || dynstr_append(trace.temp, tail) == nullptr) return false;
    trace.stream = output_fs->open(dynstr_view(trace.temp), kOutputAccess);
    return trace.stream != nullptr;
  }

  // The date line, "base hex  timestamps absolute" and "Begin Triggerblock", in one write.
  // False, after reporting `format_failed` or `write_failed`, when it cannot be written.
  static bool write_header(Stream& stream, DynString& line, const std::tm& fields, const char* date_pattern,
                           const char* format_failed, const char* write_failed) {
    dynstr_clear(line);
    dynstr_append(line, "date ");
    if (!append_date(line, date_pattern, fields)) {
      report(LogLevel::Error, "%s", format_failed);
      return false;
    }
    if (dynstr_append(line, "\nbase hex  timestamps absolute\nBegin Triggerblock\n") == nullptr ||
        !write_line(stream, line)) {
      report(LogLevel::Error, "%s", write_failed);
      return false;
    }
    return true;
  }

  static bool write_footer(Stream& stream) {
    static constexpr char kFooter[] = "End Triggerblock\n";
    return stream_write(stream, kFooter, sizeof kFooter - 1) == static_cast<std::int64_t>(sizeof kFooter - 1);
  }

  // Appends the frame's CANFD line to `out`, which has room for kCanLineMax more bytes; `line` is
  // scratch for the general formatter, for the rare time the direct one cannot vouch for.
  static bool append_can_line(DynString& out, DynString& line, const CanCopy& frame, double base) {
    asc_detail::CanLine f;
    f.time = frame.Timestamp - base;
    f.id = frame.ID;
    f.channel = frame.BusChannel;
    f.tx = (frame.Bits & CanCopy::kCanTx) != 0;
    f.extended = (frame.Bits & CanCopy::kCanExtended) != 0;
    f.brs = frame.brs();
    f.esi = frame.esi();
    f.dlc = frame.DLC;
    f.data_length = frame.DataLength;
    f.data = frame.data();
    f.with_data = frame.DLC > 0 && (frame.Bits & CanCopy::kCanRemote) == 0;
    f.flags = ((frame.Bits & CanCopy::kCanEdl) != 0 ? kAscFlagEdl : 0) | (f.brs != 0 ? kAscFlagBrs : 0) |
              (f.esi != 0 ? kAscFlagEsi : 0) | ((frame.Bits & CanCopy::kCanRemote) != 0 ? kAscFlagRemote : 0);
    std::int64_t len = dynstr_length(out);
    std::size_t n = asc_detail::format_can_line(dynstr_data(out) + len, f);
    if (n > 0) {
      dynstr_set_length(out, len + static_cast<std::int64_t>(n));
      return true;
    }
    dynstr_clear(line);
    return asc_detail::append_can_line_general(line, f) && dynstr_append(out, dynstr_view(line)) != nullptr;
  }

  static bool append_lin_line(DynString& out, DynString& /*line*/, const LinCopy& frame, double base) {
    return asc_append_format(out, kLinLine, frame.Timestamp - base, frame.BusChannel, frame.ID,
                             direction(frame.Dir), static_cast<int>(frame.DataLength)) &&
           asc_append_hex_bytes(out, frame.data(), frame.DataLength) && dynstr_append(out, "\n", 1) != nullptr;
  }

  // What differs between the CAN and the LIN trace.
  struct TraceKind {
    const char* suffix;
    const char* what;  // "CAN" or "LIN", for the flush message
    const char* open_failed;
    const char* convert_failed;
    const char* date_pattern;
    const char* format_failed;
    const char* header_failed;
    const char* data_failed;
    const char* footer_failed;
  };

  static constexpr TraceKind kCanTrace = {".asc", "CAN", "Could not open output file for CAN: %s",
                                          "Could not convert CAN time", "%a %b %d %H:%M:%S",
                                          "Could not format CAN time", "Could not write CAN header",
                                          "Could not write CAN data", "Could not write CAN footer"};
  // The LIN date line has a blank more before the year.
  static constexpr TraceKind kLinTrace = {"_LIN.asc", "LIN", "Could not open output file for LIN: %s",
                                          "Could not convert LIN time", "%a %b %d %H:%M:%S ",
                                          "Could not format LIN time", "Could not write LIN header",
                                          "Could not write LIN data", "Could not write LIN footer"};

  // Opens, sorts, writes and closes one trace; a failed trace is closed and removed. `base` is
  // the time the frame lines count from; the date line shows it cut to whole seconds.
  template <typename Copy, typename AppendLine>
  bool write_trace(const TraceKind& kind, StrView output_base, PtrArray& records, DynString& line,
                   double (*base_of)(double first), AppendLine append_line) {
    TraceFile trace;
    if (!open_trace(output_base, kind.suffix, trace)) {
      report(LogLevel::Error, kind.open_failed, dynstr_data(trace.name));
      return false;
    }
    Stream& stream = *trace.stream;
    sort_by_time<Copy>(records);
    double base = base_of(static_cast<const Copy*>(records.items[0])->Timestamp);
    std::tm fields;
    if (!calendar_of(std::trunc(base), fields)) {
      report(LogLevel::Error, "%s", kind.convert_failed);
      return discard(trace);
    }
    if (!write_header(stream, line, fields, kind.date_pattern, kind.format_failed, kind.header_failed)) {
      return discard(trace);
    }
    DynString chunk;
    bool failed = dynstr_reserve(chunk, kChunk + static_cast<std::int64_t>(asc_detail::kCanLineMax)) == nullptr;
    for (std::int64_t i = 0; i < records.count && !failed; ++i) {
      failed = !append_line(chunk, line, *static_cast<const Copy*>(records.items[i]), base);
      if (!failed && (dynstr_length(chunk) > kChunk || i + 1 == records.count)) {
        failed = !write_line(stream, chunk);
        dynstr_clear(chunk);
      }
    }
    if (failed) report(LogLevel::Error, "%s", kind.data_failed);
    // The footer is written even after failed frame lines; the trace is removed all the same.
    if (!write_footer(stream)) {
      report(LogLevel::Error, "%s", kind.footer_failed);
      failed = true;
    }
    if (failed) return discard(trace);
    return finish(trace, kind.what);
  }

  static double whole_seconds(double first) { return std::floor(first); }
  static double own_time(double first) { return first; }

  // Whole seconds, so that each CAN frame line shows its own fraction of a second.
  bool write_can_trace(StrView output_base, DynString& line) {
    return write_trace<CanCopy>(kCanTrace, output_base, can_records_, line, whole_seconds, append_can_line);
  }

  // The LIN base is the first frame's own time, so the first line reads 0.
  bool write_lin_trace(StrView output_base, DynString& line) {
    return write_trace<LinCopy>(kLinTrace, output_base, lin_records_, line, own_time, append_lin_line);
  }

  // The copies of the current log live in one arena, released together when the next log starts:
  // a heap block apiece would cost a header, a malloc and a free per frame.
  Arena copies_;
  const int process_id_ = static_cast<int>(platform_process_id());
  PtrArray can_records_;  // CanCopy pointers into copies_, in arrival order until end_file sorts them
  PtrArray lin_records_;  // LinCopy pointers into copies_
  bool frames_lost_ = false;
};

bool asc_append_vformat(DynString& line, const char* format, std::va_list args) {
  std::int64_t len = dynstr_length(line);
  std::int64_t room = dynstr_capacity(line) - len;  // the storage has one byte more, for the NUL
  std::va_list first;
  va_copy(first, args);
  int needed = stbsp_vsnprintf(dynstr_data(line) + len, static_cast<int>(std::min<std::int64_t>(room + 1, INT_MAX)),
                               format, first);
  va_end(first);
  if (needed < 0) {
    dynstr_set_length(line, len);
    return false;
  }
  if (needed > room) {
    if (dynstr_reserve(line, dynstr_capacity(line) + needed) == nullptr) {
      dynstr_set_length(line, len);  // drops the cut text the first attempt left
      return false;
    }
    std::va_list second;
    va_copy(second, args);
    stbsp_vsnprintf(dynstr_data(line) + len, needed + 1, format, second);
    va_end(second);
  }
  dynstr_set_length(line, len + needed);
  return true;
}

}  // namespace

std::unique_ptr<Converter> asc_converter_create(FileSystem* input_fs, FileSystem* output_fs,
                                                const RunOptions* options) {
  std::unique_ptr<Converter> converter(new (std::nothrow) AscConverter);
  if (!converter) return nullptr;
  if (!converter_init(converter.get(), input_fs, output_fs, true, options)) return nullptr;
  return converter;
}

bool asc_append_format(DynString& line, const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  bool ok = asc_append_vformat(line, format, args);
  va_end(args);
  return ok;
}

bool asc_append_hex_bytes(DynString& line, const std::uint8_t* bytes, std::size_t count) {
  if (count == 0) return true;
  static constexpr char kHexDigits[] = "0123456789ABCDEF";
  std::int64_t len = dynstr_length(line);
  std::int64_t added = static_cast<std::int64_t>(count) * 3 - 1;
  char* storage = dynstr_reserve(line, len + added);
  if (storage == nullptr) return false;
  char* out = storage + len;
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0) *out++ = ' ';
    *out++ = kHexDigits[bytes[i] >> 4];
    *out++ = kHexDigits[bytes[i] & 0x0F];
  }
  dynstr_set_length(line, len + added);
  return true;
}

}  // namespace quarn
