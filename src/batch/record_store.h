#pragma once

#include <cstddef>
#include <cstdint>

#include "base/arena.h"
#include "base/borrowed_list.h"
#include "batch/bus_record.h"

namespace quarn {

// The records of one log, kept for writers whose source hands them over out of time order: they
// are collected here and handed back sorted once the log has ended. CAN frames (data, remote and
// error) and LIN frames are kept, in compact copies of 16 bytes plus their data bytes (and an
// error frame's type); any other kind is passed over.
class RecordStore {
 public:
  // Keeps a copy of the record; false when memory runs out (the record is then not kept).
  [[nodiscard]] bool keep(const BusRecord& record);

  // Forgets every record; the memory is kept for the next log.
  void clear();

  std::size_t size() const { return can_.size() + lin_.size(); }

  // Hands every kept record to `visit` (a callable taking const BusRecord&) in time order: equal
  // times keep their arrival order, CAN frames before LIN frames, and a NaN time, which has no
  // place in time, goes last. The record is rebuilt for the call only.
  template <typename Visit>
  void replay(Visit&& visit) {
    sort();
    BusRecord record{};
    std::size_t c = 0;
    std::size_t l = 0;
    while (c < can_.size() || l < lin_.size()) {
      bool take_can = l == lin_.size() || (c < can_.size() && !earlier(*lin_[l], *can_[c]));
      if (take_can) {
        rebuild_can(*can_[c++], record);
      } else {
        rebuild_lin(*lin_[l++], record);
      }
      visit(static_cast<const BusRecord&>(record));
    }
  }

  // A kept frame: time, identifier, length and bits in 16 bytes, the data bytes behind them.
  struct Copy {
    double Timestamp;
    std::uint32_t ID;
    std::uint8_t Length;  // the data length; the top bit tells that BRS and ESI follow as bytes
    std::uint8_t Bits;
    std::uint8_t BusChannel;
    std::uint8_t Code;  // CAN: the DLC; LIN: ReceivedDataByteCount
  };

 private:
  static bool earlier(const Copy& a, const Copy& b);
  void sort();
  static void rebuild_can(const Copy& copy, BusRecord& out);
  static void rebuild_lin(const Copy& copy, BusRecord& out);

  // The copies of the current log live in one arena, released together when the next log starts:
  // a heap block apiece would cost a header, a malloc and a free per frame.
  Arena copies_;
  BorrowedList<Copy> can_;  // in arrival order until replay sorts them
  BorrowedList<Copy> lin_;
};

}  // namespace quarn
