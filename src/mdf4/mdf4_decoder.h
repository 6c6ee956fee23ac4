#pragma once

#include <cstdint>
#include <memory>

#include "base/memory.h"
#include "batch/bus_record.h"
#include "io/stream.h"
#include "mdf4/mdf4_blocks.h"

namespace quarn {

struct Mdf4DecoderLimits;

// Reads the frames of an ASAM MDF4 bus-logging file, as loggers and the common tools write it, as
// bus records in time order, through a stream it borrows and never closes.
//
// What it reads: finalised MDF 4.x files (4.00 to 4.30 seen) whose data groups are sorted (one channel
// group of fixed-length records) or unsorted (several channel groups whose records, each after a
// record id of 1, 2, 4 or 8 bytes, share one run of data). Data lies in DT blocks, DZ blocks
// (deflate, or transposed and deflated), DL lists of them (equal lengths or offsets) and HL
// lists of DLs. A frame's data bytes are a byte array in its record, or variable-length signal
// data that its record points into: SD blocks (plain or in DZ, DL and HL blocks as above) or the
// records of a variable-length channel group in the same unsorted data group.
//
// Which groups hold frames: a channel group is a bus-logging group when its channels are named
// as bus logging names them: "CAN_DataFrame", "CAN_RemoteFrame", "CAN_ErrorFrame" or "LIN_Frame"
// and their members "CAN_DataFrame.ID", ... (or the members' short names under a composed
// channel of such a name), found by name wherever the group lies in the file and at the byte
// offsets and bit widths their channel blocks give; its time is its time master channel (an
// integer or float, raw or linearly converted). When the group's acquisition source names a bus,
// it must be the frames' bus (CAN, or LIN for LIN frames); a group of another bus and groups of
// other content are passed over.
//
// The members a frame needs, by kind, and what the others are when a file lacks them:
//   CAN data frames     ID, IDE, DLC or DataLength, DataBytes
//   CAN remote frames   ID, IDE, DLC or DataLength
//   CAN error frames    nothing (the members of a data frame and ErrorType where present)
//   LIN frames          ID, DataLength, DataBytes
// A group without a member its kind needs is refused, naming the member: without IDE an
// extended identifier cannot be told from a standard one. Without DataLength the length follows
// from the DLC (and EDL), without DLC the DLC from the length. A missing BusChannel reads as
// channel 1 (a logger that does not name its channels logged one bus), a missing Dir as Rx,
// missing EDL, BRS, ESI, ErrorType and ReceivedDataByteCount as 0. Flags (IDE, Dir, EDL, BRS,
// ESI) read as 1 when their value is not 0; CAN identifiers are their low 29 bits (a writer may
// keep the extended flag in bit 31). Invalidation bits are not looked at.
//
// Order: next() merges the bus-logging groups by time as it reads them, one position in each
// group, so that records come out in non-decreasing time order. At equal times they keep the
// order of their groups in the file (data group, then channel group) and of their records
// within a group. A group whose own records step back in time cannot be merged into time order
// and is refused there ("data group 3 (CAN_DataFrame): frames out of time order at record 17").
// Timestamps are the header's start time plus the time channel's value, in seconds.
//
// Memory stays within about 16 MiB whatever the file's size: data is read through windows of at
// most Mdf4DecoderLimits::window_bytes in all (chunks of at most 256 KiB a group, fewer bytes each
// with many groups), besides the DZ blocks being read, each inflated whole (at most
// kMdf4MaxInflated bytes, one a group at a time, at most inflated_bytes in all unless a single
// block is larger).
//
// Anything else is refused with a message naming what is not supported or what is broken
// ("data group 2: column-oriented data groups are not supported", "bad block id at offset 248:
// expected ##DG, found ##DT"). Every link, length and count is checked against the file before
// use. The decoder prints nothing: the caller reports error().
class Mdf4Decoder final : public HeapObject {
 public:
  ~Mdf4Decoder();
  Mdf4Decoder(const Mdf4Decoder&) = delete;
  Mdf4Decoder& operator=(const Mdf4Decoder&) = delete;

  // Reads the identification and header blocks and every data group's channels from `stream`
  // (which must read, seek and tell), but no record yet. False, with error() telling why, when
  // the file is not an MDF4 bus log this decoder can read, or on a read error. Once only.
  [[nodiscard]] bool open(Stream* stream);

  // Fills `record` with the next frame in time order, cleared first. False at the end of the
  // frames and on an error (a data block that cannot be read or inflated, data that ends before
  // a channel group's count, frames out of time order, a time that is not finite or lies outside
  // 1970 to 3000, a BusChannel beyond 255); error() is "" at a clean end, and unread() tells
  // whether the data went on past the frames.
  [[nodiscard]] bool next(BusRecord& record);

  // Why open or next failed; "" when nothing failed.
  const char* error() const;

  // Once next has returned false with error() "": why the data does not end where the frames did
  // (records past a channel group's count, a record cut short at the end); "" when it does.
  // Zeros where the next record would start, to the end of the data, end it: the room a writer
  // reserved, when they are fewer than a record's bytes, or, in an unsorted data group, where no
  // channel group has the record id 0.
  const char* unread() const;

  // What open found: the version (410 for 4.10), the start time in ns since 1970 UTC, the
  // bus-logging groups and the records their channel groups declare.
  std::uint16_t version() const { return version_; }
  std::uint64_t start_time_ns() const { return start_ns_; }
  std::int64_t group_count() const { return group_count_; }
  std::uint64_t declared_records() const { return declared_; }

  // The most bytes of data windows (inflated blocks included) held at once so far.
  std::uint64_t window_peak() const;
  // How many DZ blocks were inflated on the thread ahead of their reading and read.
  std::uint64_t inflated_ahead() const;

 private:
  friend std::unique_ptr<Mdf4Decoder> mdf4_decoder_create(const Mdf4DecoderLimits& limits);
  Mdf4Decoder() = default;

  struct Impl;
  Impl* impl_ = nullptr;
  std::uint16_t version_ = 0;
  std::uint64_t start_ns_ = 0;
  std::int64_t group_count_ = 0;
  std::uint64_t declared_ = 0;
};

// How much memory the windows onto the data may take. Beyond it, a group's window is taken from
// it while other groups read and loaded again when it reads on: slower, never wrong. Tests
// choose small values to reach that with small files.
struct Mdf4DecoderLimits {
  std::uint64_t window_bytes = std::uint64_t{8} << 20;  // chunks of data blocks, tiles of transposed ones
  std::uint64_t inflated_bytes = std::uint64_t{4} * kMdf4MaxInflated;  // DZ blocks inflated
  bool inflate_ahead = true;  // the next DZ block may inflate on a thread while one is read
};

// A decoder that has not opened anything; null when memory runs out.
std::unique_ptr<Mdf4Decoder> mdf4_decoder_create(const Mdf4DecoderLimits& limits = {});

}  // namespace quarn
