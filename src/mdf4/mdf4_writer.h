#pragma once

#include <cstdint>
#include <memory>

#include "base/memory.h"
#include "base/str_view.h"
#include "batch/bus_record.h"
#include "batch/log_reader.h"
#include "io/byte_sink.h"
#include "codec/column_deflate.h"

namespace quarn {

namespace mdf4 {
class BlockCompressor;
}

// How the MDF4 writer stores its data blocks: as they are (DT), deflated (DZ), or transposed
// and deflated (DZ), which puts byte 0 of every record first, then byte 1, and so on, so that
// the runs of equal bytes within a column compress well.
enum class Mdf4Compression : std::uint8_t { None, Deflate, Transposed };

// The names the command line gives them ("none", "deflate", "transposed"); null for others.
const char* mdf4_compression_name(Mdf4Compression compression);
// The compression named `text`; false, leaving `out` as it was, for any other text.
bool mdf4_compression_parse(const char* text, Mdf4Compression& out);

// The largest values Mdf4WriterOptions take; larger ones are lowered to them.
inline constexpr std::uint64_t kMdf4MaxBlockBytes = std::uint64_t{1} << 30;
inline constexpr std::uint64_t kMdf4MaxListLinks = std::uint64_t{1} << 16;

// How the writer cuts its data into blocks. The defaults are what quarn writes; tests choose
// small values to reach the block and list boundaries with few records.
struct Mdf4WriterOptions {
  // Record bytes per data block: each group's block holds as many whole records as fit. One
  // block per group is kept in memory, so this bounds the writer's memory (four groups).
  std::uint64_t block_bytes = std::uint64_t{1} << 20;
  // Data blocks per data list; a group with more blocks gets a chain of lists.
  std::uint64_t list_links = 1024;
  // How the data blocks are stored. A compressed block that would not be smaller than the
  // records themselves is stored as they are (DT), so compression never makes a file larger.
  Mdf4Compression compression = Mdf4Compression::Transposed;
  // Compress full blocks on a thread of the writer's own while the next ones fill; the caller's
  // thread compresses too when blocks wait. The thread starts at the first full block, so a log
  // that fills no block never starts one. false: everything on the caller's thread.
  bool compress_thread = true;
  // Makes the deflaters; null takes quarn's own (tests hand in failing ones).
  ColumnDeflaterFactory deflater = nullptr;
};

// Streams bus records into an ASAM MDF4 4.10 bus-logging file, the layout python-can's MF4
// reader and asammdf read:
//   ID, HD (start time = the first record's whole second, UTC) with a comment that names the
//   source log and lists what it says about itself, FH with a comment naming quarn and its
//   version, then three data groups CAN_DataFrame, CAN_ErrorFrame, CAN_RemoteFrame
//   (always, even when empty) and a fourth, LIN_Frame, only when there are LIN frames. Each
//   group has one channel group of fixed-length records: "time" (f64 seconds since the start
//   time, rounded to the microsecond) and the members of the composed channel named after the
//   group. Records go into data blocks of whole records (DT, or DZ when compressed), several
//   under data lists (DL) when a group outgrows one. The bus sources are named after the bus
//   channel ("CAN1"; "CAN" when the frames come from several), with the path "quarn".
//
// Records must come in non-decreasing time order; the caller sorts sources that are not. Memory
// stays bounded whatever the number of records: one block per group, kMdf4BlocksInFlight blocks
// being compressed, and one list's links. The bytes of a file depend only on its records, the
// log's information, the tool version and the options (not on which thread compressed what).
//
// Use: begin() once at the first record, add() for every record (the first included), then
// finish(); then reset() for the next file. After any failure every later call fails too; the
// sink then holds no valid file and the caller discards it. The writer prints nothing.
class Mdf4Writer final : public HeapObject {
 public:
  ~Mdf4Writer();
  Mdf4Writer(const Mdf4Writer&) = delete;
  Mdf4Writer& operator=(const Mdf4Writer&) = delete;

  // Writes the file's head to `sink` (borrowed until finish), based at the whole second of
  // `first_time` (seconds since 1970 UTC, the first record's Timestamp). `tool_version` goes
  // into the file history comment ("2.4.0"); the log's name and properties into the header's
  // comment (escaped for XML, bytes that are not UTF-8 replaced). False when that time cannot be
  // a start time (not finite, before 1970, or past what 64-bit nanoseconds hold, in 2554), when
  // called twice, when memory runs out, or when the sink fails.
  [[nodiscard]] bool begin(ByteSink& sink, double first_time, StrView tool_version, const LogInfo& info = {});

  // Copies one record into its group's block, writing the block out when full. CAN data and
  // remote frames (a data frame with Can.Remote set counts as remote), error frames (every
  // field of their CAN tail, and Can.ErrorType) and LIN frames are kept; other kinds are skipped. False when not
  // begun, when the record's time is not finite or lies before the previous one, when memory
  // runs out, or when the sink fails.
  [[nodiscard]] bool add(const BusRecord& record);

  // Writes what is left of every group and the lists, and links and counts everything. False
  // when anything failed now or before; the writer is done either way.
  [[nodiscard]] bool finish();

  // After a finish that succeeded, readies the writer for another file as if it were new, but
  // keeping its memory, its deflaters and their tables, which would cost a log of a few frames
  // more than its frames do. False, changing nothing, otherwise.
  bool reset();

  // Why the last call failed, for the caller's message ("" when nothing failed).
  const char* error() const { return error_; }
  // Whether that was the compressor failing rather than a write.
  bool compression_failed() const;

  // Another thread will call help() whenever it waits while records are added on this one. On two
  // cores or fewer the writer then compresses on those two threads and starts none of its own: the
  // two take both cores already, and a third would only take turns with them (-F asc,mf4 took an
  // eighth less time without it). Kept for the next files.
  void expect_help();
  // Compresses one block that waits for it, on the calling thread, which may be another than the
  // one adding records; one such thread at a time. True when it compressed a block.
  bool help();

  // Records kept so far, over all groups.
  std::uint64_t records() const;

 private:
  friend std::unique_ptr<Mdf4Writer> mdf4_writer_create(const Mdf4WriterOptions& options);
  explicit Mdf4Writer(const Mdf4WriterOptions& options);

  struct Group;
  bool fail(const char* why);
  bool write(const void* data, std::uint64_t n);
  bool rewrite_u64(std::uint64_t offset, std::uint64_t value);
  bool open_group(Group& g);
  bool flush_block(Group& g);
  bool place_block(Group& g, const std::uint8_t* block, std::uint64_t length);
  bool submit(Group& g, bool full);
  void unstage(Group& g);
  bool retire_oldest();
  void retire_done();
  bool flush_list(Group& g);
  bool write_lin_head();
  bool name_sources();

  Mdf4WriterOptions options_;
  ByteSink* sink_ = nullptr;
  Group* groups_ = nullptr;  // kGroupKinds of them
  std::uint64_t buffer_bytes_ = 0;    // every block buffer's size: header room, records, padding
  mdf4::BlockCompressor* compressor_ = nullptr;  // null unless compressing
  std::uint64_t can_source_ = 0;      // the CAN source block, named at the end
  std::uint64_t source_path_ = 0;     // the "quarn" text block both sources share
  // The bus channel of every CAN and every LIN frame so far, for the sources' names.
  static constexpr int kNoChannel = -1;
  static constexpr int kMixedChannels = -2;
  int can_channel_ = kNoChannel;
  int lin_channel_ = kNoChannel;
  double base_ = 0;          // the start time in seconds
  double last_ = 0;          // the time of the last record added
  std::uint64_t time_name_ = 0;  // the "time" and "s" text blocks every group's master shares
  std::uint64_t time_unit_ = 0;
  const char* error_ = "";
  bool begun_ = false;
  bool finished_ = false;
  bool failed_ = false;
};

// A writer that has not begun; null when memory runs out. A zero option takes its default.
std::unique_ptr<Mdf4Writer> mdf4_writer_create(const Mdf4WriterOptions& options = {});

}  // namespace quarn
