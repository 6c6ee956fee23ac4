#pragma once

#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "batch/bus_record.h"

namespace quarn::test {

// A received classic CAN data frame on channel 1, built as a producer would: cleared, then filled.
inline BusRecord can_frame(double timestamp, std::uint32_t id, std::initializer_list<std::uint8_t> data) {
  BusRecord r;
  std::memset(&r, 0, sizeof r);
  r.Timestamp = timestamp;
  r.ID = id;
  r.Kind = CAN_DataFrame;
  r.Can.BusChannel = 1;
  for (std::uint8_t b : data) {
    if (r.DataLength < sizeof r.Can.DataBytes) r.Can.DataBytes[r.DataLength++] = b;
  }
  r.Can.DLC = static_cast<std::uint8_t>(r.DataLength);
  r.DataPointer = r.Can.DataBytes;
  return r;
}

// A received LIN frame on channel 1.
inline BusRecord lin_frame(double timestamp, std::uint32_t id, std::initializer_list<std::uint8_t> data) {
  BusRecord r;
  std::memset(&r, 0, sizeof r);
  r.Timestamp = timestamp;
  r.ID = id;
  r.Kind = LIN_Frame;
  r.Lin.BusChannel = 1;
  for (std::uint8_t b : data) {
    if (r.DataLength < sizeof r.Lin.DataBytes) r.Lin.DataBytes[r.DataLength++] = b;
  }
  r.Lin.ReceivedDataByteCount = static_cast<std::uint8_t>(r.DataLength);
  r.DataPointer = r.Lin.DataBytes;
  return r;
}

}  // namespace quarn::test
