#pragma once

// The records of the bus groups and the frames they hold: a cursor for each group takes its
// records from the group's data (all of it in a sorted data group, those of its record id in an
// unsorted one), follows a record's data bytes into signal data, and decodes the record into a
// BusRecord as the group's plan says, refusing what no trace may hold (a time outside 1970 to
// 3000, a bus channel beyond 255, a group that steps back in time). Once every group has handed
// out its records, it tells whether the data ends where they do. Which group goes next is the
// merge's business (mdf4_merge), where the groups are found that of mdf4_groups.
//
// Only the MDF4 decoder, its parts and their tests include this.

#include <cstdint>
#include <limits>

#include "batch/bus_record.h"
#include "mdf4/mdf4_data.h"
#include "mdf4/mdf4_groups.h"

namespace quarn::mdf4 {

// One group's place in its records, and the frame it reads next.
struct Cursor {
  DataStream records;
  DataStream signal;
  std::uint64_t signal_at = 0;  // signal data in a channel group: the offset of the next value
  std::uint64_t done = 0;       // records decoded
  double last = -std::numeric_limits<double>::infinity();
  bool live = false;  // `head` holds a frame not yet handed out
  // The last signal value read, which several records may share.
  bool cached = false;
  std::uint64_t cached_offset = 0;
  std::uint64_t cached_length = 0;
  std::uint8_t cached_bytes[kCanMaxData] = {};
  BusRecord head{};
};

// Reads the records of the groups a catalog found, through the windows onto the file's data.
class RecordReader {
 public:
  RecordReader(DataWindows& windows, GroupCatalog& catalog, ErrorText& error, ErrorText& unread)
      : windows_(windows), catalog_(catalog), error_(error), unread_(unread) {}
  ~RecordReader();
  RecordReader(const RecordReader&) = delete;
  RecordReader& operator=(const RecordReader&) = delete;

  // Room for a record that straddles blocks; false when memory runs out.
  [[nodiscard]] bool allocate();
  // The header's start time, in ns since 1970: every frame's time adds the time channel's value to it.
  void set_start(std::uint64_t start_ns);

  // Points `cursors` (one for each of the catalog's groups, in its order) at their groups' data,
  // reading nothing yet.
  bool start(Cursor* cursors);
  // Lets go of the windows a cursor holds.
  void release(Cursor& c);

  // Decodes the next record of `g` into `c.head`, making it live; leaves it not live at the end
  // of the records its channel group counts. False, with the error set, when the record cannot
  // be read or holds what no frame may.
  bool advance(Cursor& c, const BusGroup& g);

  // Once every group has handed out its records: whether the data ends where they do. Records past
  // a channel group's count, or one cut short at the end, are frames no trace would get: the file
  // was not read to its end (`unread`), although nothing in it is broken (`error`). False on an
  // error.
  bool check_ends(Cursor* cursors);

 private:
  bool own_record(Cursor& c, const BusGroup& g, const std::uint8_t*& record);
  bool pass_record(DataStream& s, const BusGroup& g, std::uint64_t id, bool count);
  bool end_sorted(Cursor& c, const BusGroup& g);
  bool end_unsorted(Cursor& c, std::int64_t i);
  bool zeros_to_end(DataStream& s, bool& zeros);
  bool signal_value(Cursor& c, const BusGroup& g, std::uint64_t offset, std::uint8_t* out, std::uint64_t room,
                    std::uint64_t& length);
  void decode(const BusGroup& g, const std::uint8_t* record, BusRecord& r) const;

  DataWindows& windows_;
  GroupCatalog& catalog_;
  ErrorText& error_;
  ErrorText& unread_;
  std::uint8_t* stitch_ = nullptr;  // a record that straddles blocks, put together
  std::uint64_t tally_ = 0;         // bytes of data blocks visited, over all data groups
  double start_seconds_ = 0;        // whole seconds of the start time
  double start_fraction_ = 0;       // and the rest, in seconds
};

}  // namespace quarn::mdf4
