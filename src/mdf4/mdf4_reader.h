#pragma once

#include <cstdint>
#include <memory>

#include "base/memory.h"
#include "io/stream.h"
#include "batch/bus_record.h"

namespace quarn {

// Reads the frames of an ASAM MDF4 bus-logging file (quarn's own and other writers') as bus
// records, through a stream it borrows and never closes, in pieces: memory stays small
// whatever the file's size (a compressed block is inflated whole, at most kMdf4MaxInflated
// bytes).
//
// What it reads: MDF 4.x files whose data groups are sorted (one channel group each, no record
// ids), with data in DT blocks, DZ blocks (deflate, or transposed and deflated), DL lists of
// them and HL lists of DLs. A data group is a bus-logging group when its channels are named as
// in python-can's layout: a composed channel "CAN_DataFrame", "CAN_ErrorFrame",
// "CAN_RemoteFrame" or "LIN_Frame" whose members ("CAN_DataFrame.ID", ...) are found by name, at
// the byte offsets and bit widths their channel blocks give, and a time master channel. Data
// groups of other content are passed over; missing members read as 0.
//
// Records come out group by group: every CAN data frame group first, then error frames, remote
// frames and LIN frames, each group in file order; a consumer that needs time order sorts
// (stably, by time). Timestamps are the header's start time plus the master channel's value.
//
// Anything else is refused with a message naming what is not supported or what is broken
// ("data group 2: unsorted data group is not supported", "bad block id at offset 248: expected
// ##DG, found ##DT"). Every link, length and count is checked against the file before use. The
// reader prints nothing: the caller reports error().
class Mdf4Reader final : public HeapObject {
 public:
  ~Mdf4Reader();
  Mdf4Reader(const Mdf4Reader&) = delete;
  Mdf4Reader& operator=(const Mdf4Reader&) = delete;

  // Reads the identification and header blocks and every data group's channels from `stream`
  // (which must read, seek and tell), but no record yet. False, with error() telling why, when
  // the file is not an MDF4 bus log this reader can read, or on a read error. Once only.
  [[nodiscard]] bool open(Stream* stream);

  // Fills `record` with the next frame, cleared first. False at the end of the frames and on an
  // error (a data block that cannot be read or inflated, data that ends before the channel
  // group's count); error() is "" at a clean end.
  [[nodiscard]] bool next(BusRecord& record);

  // Why open or next failed; "" when nothing failed.
  const char* error() const { return error_; }

  // What open found: the version (410 for 4.10), the start time in ns since 1970 UTC, the
  // bus-logging groups and the records their channel groups declare.
  std::uint16_t version() const { return version_; }
  std::uint64_t start_time_ns() const { return start_ns_; }
  std::int64_t group_count() const { return group_count_; }
  std::uint64_t declared_records() const;

 private:
  friend std::unique_ptr<Mdf4Reader> mdf4_reader_create();
  Mdf4Reader() = default;

  struct Block;
  struct Field;
  struct Group;
  struct Cursor;

  bool fail(const char* format, ...) __attribute__((format(printf, 2, 3)));
  bool read_at(std::uint64_t offset, void* dst, std::uint64_t n);
  bool load(std::uint64_t offset, std::uint32_t tag, std::uint64_t min_links, std::uint64_t min_data, Block& out);
  bool read_name(std::uint64_t offset, char* out, std::size_t room);
  bool read_group(std::int64_t index, const Block& dg);
  bool collect_channels(Group& g, std::int64_t index, std::uint64_t first, int parent_kind, int depth,
                        std::int64_t& budget);
  bool take_channel(Group& g, std::int64_t index, const Block& cn, int kind, const char* member);
  bool check_field(const Group& g, std::int64_t index, const Field& f, const char* what, bool bytes, bool may_be_float);
  bool check_time(Group& g, std::int64_t index);
  bool start_group();
  bool next_block();
  bool open_list(std::uint64_t offset);
  bool open_data_block(std::uint64_t offset);
  bool inflate_block(std::uint64_t from, std::uint64_t zip_size, std::uint64_t original_size, std::uint64_t at);
  bool read_record();
  void decode(const Group& g, BusRecord& record) const;

  Stream* stream_ = nullptr;
  std::uint64_t file_size_ = 0;
  std::uint16_t version_ = 0;
  std::uint64_t start_ns_ = 0;
  double start_seconds_ = 0;   // whole seconds of the start time
  double start_fraction_ = 0;  // and the rest, in seconds
  Group* groups_ = nullptr;
  std::int64_t group_count_ = 0;
  std::int64_t group_capacity_ = 0;
  Cursor* cursor_ = nullptr;
  bool opened_ = false;
  bool failed_ = false;
  char error_[200] = "";
};

// The most a DZ block may inflate to.
inline constexpr std::uint64_t kMdf4MaxInflated = std::uint64_t{64} << 20;

// A reader that has not opened anything; null when memory runs out.
std::unique_ptr<Mdf4Reader> mdf4_reader_create();

}  // namespace quarn
