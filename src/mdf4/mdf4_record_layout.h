#pragma once

// How the MDF4 writer lays a bus record out in the records of its group (mdf4_internal.h): the
// fields in place, the time rounded to the microsecond in the last eight bytes. The writer's hot
// path: lay_out is a template that the writer instantiates with the stores of a row-wise or a
// transposed block, so that each field is one store and nothing is called per record.

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "batch/bus_record.h"
#include "codec/column_deflate.h"
#include "mdf4/mdf4_internal.h"

namespace quarn::mdf4 {

// The master time: seconds since the start, rounded to the microsecond. The log's times have no
// finer resolution, and the rounded value is the double closest to it (0.466, not the
// 0.4660000801 that the subtraction of two large times leaves), which every export shows as is.
inline double master_time(double time, double base) {
  // std::round, without the library call: the difference is never negative, and below 2^52
  // the fraction is exact.
  const double us = (time - base) * 1e6;
  double whole = us;
  if (us < 4503599627370496.0) {
    whole = static_cast<double>(static_cast<std::int64_t>(us));
    if (us - whole >= 0.5) whole += 1;
  }
  return whole / 1e6;
}

// Hands the record's fields to `put(column, value, count)`, the `count` bytes of `value` from the
// lowest up for columns `column` on, and its data bytes to `put_data(column, bytes, n)`, in the
// layout of mdf4_internal.h; the frame's bus channel. Neighbouring fields go together, so that a
// put is one store in a record and a walk down the columns in a transposed block. The data bytes
// past the frame's length are left out (the caller's record starts zeroed); every other byte of
// the layout is handed over whatever its value, so the columns a block's records leave untouched
// follow from their kinds and data lengths alone.
template <typename Put, typename PutData>
int lay_out(const BusRecord& record, int kind, double base, Put&& put, PutData&& put_data) {
  auto u64 = [](std::uint64_t v, int byte) { return v << (8 * byte); };
  int channel;
  if (kind == kGroupLin) {
    const LinTail& lin = record.Lin;
    const auto n = static_cast<std::uint32_t>(std::min(record.DataLength, kLinMaxData));
    put(0, lin.BusChannel | u64(record.ID & 0xFF, 1) | u64(n, 2), 3);
    put_data(3, lin.DataBytes, n);
    put(11, lin.Dir | u64(lin.ReceivedDataByteCount, 1), 2);
    channel = lin.BusChannel;
  } else {
    const CanTail& can = record.Can;
    const auto n = static_cast<std::uint32_t>(std::min(record.DataLength, kCanMaxData));
    put(0, can.BusChannel | u64(record.ID, 1) | u64(can.IDE, 5) | u64(can.DLC, 6) | u64(n, 7), 8);
    if (kind == kGroupRemote) {
      put(8, can.Dir, 1);
    } else {
      put_data(8, can.DataBytes, n);
      put(72, can.Dir | u64(can.EDL, 1) | u64(can.BRS, 2) | u64(can.ESI, 3), 4);
      // An error frame's type behind the fields it shares with a data frame.
      if (kind == kGroupError) put(76, static_cast<std::uint32_t>(can.ErrorType), 4);
    }
    channel = can.BusChannel;
  }
  std::uint64_t time;
  const double t = master_time(record.Timestamp, base);
  std::memcpy(&time, &t, 8);
  put(kGroupLayouts[kind].record_size - kTimeBytes, time, kTimeBytes);
  return channel;
}

// The columns lay_out writes for a record of group `kind` with `length` data bytes, found by
// laying one out: the bytes of a block in the others stay zero without anybody looking.
LiveColumns columns_written(int kind, std::uint32_t length);

}  // namespace quarn::mdf4
