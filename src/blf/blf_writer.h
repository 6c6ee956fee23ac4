#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "base/memory.h"
#include "base/str_view.h"
#include "batch/bus_record.h"
#include "io/byte_sink.h"

namespace quarn {

struct BlfWriterOptions {
  // The most bytes of objects one container holds uncompressed; tests make it small so that a
  // few frames fill several containers.
  std::size_t container_size = std::size_t{128} << 10;
};

// Why a BLF writer stopped taking frames.
enum class BlfFailure : std::uint8_t {
  None,
  Time,      // a frame's time the file cannot hold; nothing more is written
  Write,     // the sink did not take the bytes
  Compress,  // the compressor failed
  Memory,    // the container buffers could not be had
};

// Writes one BLF file at a time into a sink: the file header (filled in at the end), a stored
// container holding an APP_TEXT object that names the log, then the frames as objects in zlib
// containers of at most `container_size` bytes each, objects running on from one container into
// the next, written in order whichever thread compressed them. Object times are nanoseconds from
// the file's start time, which is the first frame's time truncated to the millisecond (the
// resolution of the header's SYSTEMTIME), so that every time of the log to the nanosecond comes
// back from start + offset. The bytes depend only on the frames, the log's name and the options.
class BlfWriter : public HeapObject {
 public:
  virtual ~BlfWriter() = default;
  // Starts a file in `out` (empty) for a log whose first frame is at `first_time` and whose file
  // name is `source_name`. False with failure() Time when no file can start there (nothing is
  // written then), or with the failure that stopped it.
  virtual bool begin(ByteSink& out, double first_time, StrView source_name) = 0;
  // Adds a frame (the kinds of BusRecordKind), never earlier than the one before; false once the
  // writer failed (failure() says how), after which it takes nothing more.
  virtual bool add(const BusRecord& record) = 0;
  // Writes out the last container and the header. False on any failure of the file.
  virtual bool finish() = 0;
  virtual BlfFailure failure() const = 0;
  // Another thread will call help() whenever it waits while frames are added on this one: full
  // containers then wait for it a while rather than being compressed at once.
  virtual void expect_help() = 0;
  // Compresses one container that waits for it, on the calling thread, which may be another than
  // the one adding frames; one such thread at a time. True when it compressed one.
  virtual bool help() = 0;
};

// Null when memory runs out.
std::unique_ptr<BlfWriter> blf_writer_create(const BlfWriterOptions& options = {});

// Exposed for tests: the SYSTEMTIME of a whole millisecond since 1970, as the header stores it
// (16 bytes, little-endian). False outside 1970 to 3000.
bool blf_system_time(std::int64_t milliseconds, std::uint8_t out[16]);

// The text quarn's BLF traces start with: "Converted by quarn from " and the log's file name.
inline constexpr char kBlfOriginPrefix[] = "Converted by quarn from ";

}  // namespace quarn
