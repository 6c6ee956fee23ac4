#pragma once

// The merge of the bus groups' frames into one run in time order: a cursor in each group, and a
// heap of the cursors that hold a frame, the earliest first. At equal times the group that comes
// first in the file goes first, and a group's records keep their order, so the run depends on
// nothing but the file. A group that steps back in time is refused where its records are read
// (mdf4_records), since no merge can put it in order.
//
// Only the MDF4 decoder, its parts and their tests include this.

#include <cstdint>

#include "batch/bus_record.h"
#include "mdf4/mdf4_data.h"
#include "mdf4/mdf4_groups.h"
#include "mdf4/mdf4_records.h"

namespace quarn::mdf4 {

class FrameMerge {
 public:
  FrameMerge(RecordReader& records, const GroupCatalog& catalog, ErrorText& error)
      : records_(records), catalog_(catalog), error_(error) {}
  ~FrameMerge();
  FrameMerge(const FrameMerge&) = delete;
  FrameMerge& operator=(const FrameMerge&) = delete;

  // A cursor for each of the catalog's groups; false when memory runs out.
  [[nodiscard]] bool allocate();

  // The next frame in time order, as Mdf4Decoder::next hands it out. At the end of the frames,
  // the records' ends are checked once.
  bool next(BusRecord& record);

 private:
  bool begin();
  void sift_down(std::int64_t at);
  bool before(std::int64_t a, std::int64_t b) const {
    const double ta = cursors_[a].head.Timestamp;
    const double tb = cursors_[b].head.Timestamp;
    return ta < tb || (ta == tb && a < b);
  }

  RecordReader& records_;
  const GroupCatalog& catalog_;
  ErrorText& error_;
  Cursor* cursors_ = nullptr;
  std::int64_t count_ = 0;        // cursors made
  std::int64_t* heap_ = nullptr;  // cursors with a frame, the earliest first
  std::int64_t heap_size_ = 0;
  std::int64_t pending_ = -1;  // the cursor whose frame was handed out last, to move on
  bool started_ = false;
  bool finished_ = false;
};

}  // namespace quarn::mdf4
