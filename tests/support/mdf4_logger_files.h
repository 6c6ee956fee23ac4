#pragma once

// MDF4 bus-logging files laid out as data loggers lay them out, rather than as quarn's writer
// does, made with the block helpers of src/mdf4 for the reader's tests and for the external
// readers to check: unsorted data groups whose records carry record ids, data bytes as
// variable-length signal data, bit-packed members, integer time stamps with a conversion, other
// signals beside the frames, and every way of storing the data in blocks. Needs only the core
// library, so that the fuzz seeds are made with it too.

#include <cstdint>
#include <string>
#include <vector>

#include "batch/bus_record.h"

namespace quarn::test {

enum class Store {
  kPlain,       // DT (or SD) blocks
  kDeflate,     // DZ blocks
  kTransposed,  // DZ blocks, transposed as records of the group's size (sorted groups only)
  kMixed,       // plain and deflated blocks in turn
};

struct LoggerLayout {
  std::uint16_t version = 411;
  // 0: a sorted data group for each kind of frame; 1, 2, 4 or 8: one unsorted data group for
  // all, every record after an id of that many bytes.
  std::uint8_t id_size = 1;
  // The record ids are id_base + 1 to 4 for the kinds, + 11 to 14 for their signal values and
  // + 9 for the other signal.
  std::uint64_t id_base = 0;
  // Data bytes as variable-length signal data: the records of a channel group of their own in an
  // unsorted data group, SD blocks beside a sorted one. Otherwise the record holds 64 (CAN) or 8
  // (LIN) bytes.
  bool signal_data = true;
  // Members in bit fields: a 29-bit ID with IDE in bit 31 of the same four bytes, a 4-bit DLC
  // and 1-bit flags sharing a byte. Otherwise a byte each (four for the ID).
  bool packed = true;
  // Members named "ID", "DLC", ... under their composed channel instead of "CAN_DataFrame.ID".
  bool short_names = false;
  // A group for every kind of frame, even one without frames.
  bool empty_groups = true;
  // A group of another signal beside the frames (in an unsorted data group, records of another
  // id among theirs).
  bool other_signals = true;
  // Records that point at the same data bytes as the record before share one value.
  bool share_values = false;
  // Data (and signal data) cut into blocks of this many bytes, records straddling them, under a
  // DL; 0 keeps one block.
  std::uint64_t block_bytes = 0;
  bool equal_lengths = false;  // the DL says "equal lengths" instead of listing offsets
  bool hl = false;             // an HL over the DL
  Store store = Store::kPlain;
};

// The file of `records` (in time order) in that layout: the groups in the order data, remote,
// error, LIN frames, each kind's bus its source, times in ticks of one microsecond after the
// first record's whole second.
std::string write_logger_mdf4(const std::vector<BusRecord>& records, const LoggerLayout& layout);

// The records as the reader gives back such a file: by time, and at equal times in the order of
// its groups; error frames with what these error groups keep (channel, identifier, extended flag,
// error type), as loggers that record the error alone write them.
std::vector<BusRecord> in_logger_order(const std::vector<BusRecord>& records);

}  // namespace quarn::test
