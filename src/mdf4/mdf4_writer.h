#pragma once

#include <cstdint>
#include <memory>

#include "base/memory.h"
#include "base/str_view.h"
#include "io/byte_sink.h"
#include "batch/bus_record.h"

namespace quarn {

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
};

// Streams bus records into an ASAM MDF4 4.10 bus-logging file, the layout python-can's MF4
// reader and asammdf read:
//   ID, HD (start time = the first record's whole second, UTC), FH with a comment naming quarn
//   and its version, then three data groups CAN_DataFrame, CAN_ErrorFrame, CAN_RemoteFrame
//   (always, even when empty) and a fourth, LIN_Frame, only when there are LIN frames. Each
//   group has one channel group of fixed-length records: "time" (f64 seconds since the start
//   time) and the members of the composed channel named after the group. Records go into data
//   blocks (DT) of whole records, several under data lists (DL) when a group outgrows one.
//
// Records must come in non-decreasing time order; the caller sorts sources that are not. Memory
// stays bounded whatever the number of records: one block per group and one list's links.
// The bytes of a file depend only on its records, the tool version and the options.
//
// Use: begin() once at the first record, add() for every record (the first included), then
// finish(). After any failure every later call fails too; the sink then holds no valid file and
// the caller discards it. The writer prints nothing.
class Mdf4Writer final : public HeapObject {
 public:
  ~Mdf4Writer();
  Mdf4Writer(const Mdf4Writer&) = delete;
  Mdf4Writer& operator=(const Mdf4Writer&) = delete;

  // Writes the file's head to `sink` (borrowed until finish), based at the whole second of
  // `first_time` (seconds since 1970 UTC, the first record's Timestamp). `tool_version` goes
  // into the file history comment ("2.4.0"). False when that time cannot be a start time (not
  // finite, before 1970, or past what 64-bit nanoseconds hold, in 2554), when called twice, or
  // when the sink fails.
  [[nodiscard]] bool begin(ByteSink& sink, double first_time, StrView tool_version);

  // Copies one record into its group's block, writing the block out when full. CAN data and
  // remote frames (a data frame with Can.Remote set counts as remote), error frames (their ID
  // and Error.BusChannel) and LIN frames are kept; other kinds are skipped. False when not
  // begun, when the record's time is not finite or lies before the previous one, when memory
  // runs out, or when the sink fails.
  [[nodiscard]] bool add(const BusRecord& record);

  // Writes what is left of every group and the lists, and links and counts everything. False
  // when anything failed now or before; the writer is done either way.
  [[nodiscard]] bool finish();

  // Why the last call failed, for the caller's message ("" when nothing failed).
  const char* error() const { return error_; }

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
  bool flush_list(Group& g);
  bool write_lin_head();

  Mdf4WriterOptions options_;
  ByteSink* sink_ = nullptr;
  Group* groups_ = nullptr;  // kGroupKinds of them
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
