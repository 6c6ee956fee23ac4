#pragma once

// The byte encoding through which the ASC fuzz target receives its records, shared with the seed
// writer so that seeds and target always agree.
//
//   byte 0    settings: bit 0 delete_converted (the traces are synced), bit 1 earlier traces
//             exist under the real names, bits 2-4 the fault (kFault... below), bit 5 every log
//             failed before its end (as when it cannot be read to the end)
//   byte 1    where the fault strikes: the byte of a short write (times 16), or the allocation
//   then      records, each one tag byte and its fields, until the bytes run out:
//     tag % 8 == 0        the log ends here and the next one begins
//     1, 2 / 3 / 4 / 5    CAN data / CAN remote / LIN / error frame
//     6                   a kind taken from the next byte as it is (mostly none the writer knows)
//     7                   CAN data frame whose time is the next 8 bytes as a double, bit for bit
//   fields: time (int32 milliseconds from kBaseTime, little endian, unless tag 7), ID (4 bytes),
//   DataLength (1 byte; 255 stands for the largest 64-bit value), the 8 tail bytes (IDE, Dir,
//   EDL, ESI, BRS, Remote, BusChannel, DLC for CAN; Dir, BusChannel, ReceivedDataByteCount for
//   LIN), then the data bytes, as many as the record can hold of DataLength.
// Missing bytes read as 0.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "batch/bus_record.h"

namespace quarn::fuzz {

inline constexpr double kBaseTime = 1706704496.0;  // 2024-01-31 12:34:56 UTC

enum Fault : int {
  kFaultNone = 0,
  kFaultShortWrite = 1,
  kFaultClose = 2,
  kFaultSync = 3,
  kFaultRename = 4,
  kFaultRemove = 5,
  kFaultSyncFolder = 6,
  kFaultAllocation = 7,
};

struct Settings {
  bool delete_converted = false;
  bool earlier_traces = false;
  int fault = kFaultNone;
  int fault_at = 0;
  bool logs_failed = false;
};

// One log's records.
using Log = std::vector<BusRecord>;

class RecordReader {
 public:
  RecordReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  Settings settings() {
    std::uint8_t s = byte();
    return Settings{(s & 1) != 0, (s & 2) != 0, (s >> 2) & 7, byte(), (s & 32) != 0};
  }

  bool done() const { return pos_ >= size_; }

  // The next record; false at the end of a log (tag 0).
  bool next(BusRecord& r) {
    std::memset(&r, 0, sizeof r);
    std::uint8_t tag = byte();
    switch (tag % 8) {
      case 0: return false;
      case 1:
      case 2: r.Kind = CAN_DataFrame; break;
      case 3: r.Kind = CAN_RemoteFrame; break;
      case 4: r.Kind = LIN_Frame; break;
      case 5: r.Kind = CAN_ErrorFrame; break;
      case 6: r.Kind = byte(); break;
      default: r.Kind = CAN_DataFrame; break;
    }
    if (tag % 8 == 7) {
      std::uint64_t bits = bytes(8);
      std::memcpy(&r.Timestamp, &bits, sizeof bits);
    } else {
      r.Timestamp = kBaseTime + static_cast<std::int32_t>(static_cast<std::uint32_t>(bytes(4))) / 1000.0;
    }
    r.ID = static_cast<std::uint32_t>(bytes(4));
    std::uint8_t length = byte();
    r.DataLength = length == 255 ? UINT64_MAX : length;
    std::uint8_t tail[8];
    for (std::uint8_t& b : tail) b = byte();
    std::uint8_t* data;
    std::size_t room;
    if (r.Kind == LIN_Frame) {
      r.Lin.Dir = tail[0];
      r.Lin.BusChannel = tail[1];
      r.Lin.ReceivedDataByteCount = tail[2];
      data = r.Lin.DataBytes;
      room = sizeof r.Lin.DataBytes;
    } else {
      std::memcpy(&r.Can.IDE, tail, 8);
      data = r.Can.DataBytes;
      room = sizeof r.Can.DataBytes;
    }
    std::size_t n = r.DataLength < room ? static_cast<std::size_t>(r.DataLength) : room;
    for (std::size_t i = 0; i < n; ++i) data[i] = byte();
    r.DataPointer = r.DataLength > 0 ? data : nullptr;
    return true;
  }

 private:
  std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  std::uint64_t bytes(int n) {
    std::uint64_t v = 0;
    for (int i = 0; i < n; ++i) v |= static_cast<std::uint64_t>(byte()) << (8 * i);
    return v;
  }

  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

// The encoding of settings and logs, for seeds. Records are written as tags 1/3/4/5 (7 when the
// time of a CAN data frame is not a whole millisecond offset from kBaseTime that fits in 32 bits;
// other kinds then get kBaseTime).
inline std::string encode(const Settings& s, const std::vector<Log>& logs) {
  std::string out;
  auto put = [&](std::uint64_t v, int n) {
    for (int i = 0; i < n; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
  };
  put(static_cast<std::uint64_t>((s.delete_converted ? 1 : 0) | (s.earlier_traces ? 2 : 0) | (s.fault << 2) |
                                 (s.logs_failed ? 32 : 0)),
      1);
  put(static_cast<std::uint64_t>(s.fault_at), 1);
  for (std::size_t k = 0; k < logs.size(); ++k) {
    if (k > 0) put(0, 1);
    for (const BusRecord& r : logs[k]) {
      double ms = (r.Timestamp - kBaseTime) * 1000.0;
      bool offset = ms >= -2147483648.0 && ms <= 2147483647.0 && ms == static_cast<double>(static_cast<std::int32_t>(ms));
      bool can = r.Kind == CAN_DataFrame || r.Kind == CAN_RemoteFrame;
      int tag = r.Kind == CAN_DataFrame ? (offset ? 1 : 7) : r.Kind == CAN_RemoteFrame ? 3 : r.Kind == LIN_Frame ? 4 : 5;
      put(static_cast<std::uint64_t>(tag), 1);
      if (tag == 7) {
        std::uint64_t bits;
        std::memcpy(&bits, &r.Timestamp, sizeof bits);
        put(bits, 8);
      } else {
        put(offset ? static_cast<std::uint32_t>(static_cast<std::int32_t>(ms)) : 0, 4);
      }
      put(r.ID, 4);
      put(r.DataLength > 254 ? 255 : r.DataLength, 1);
      const std::uint8_t* tail = can ? &r.Can.IDE : &r.Lin.Dir;
      for (int i = 0; i < 8; ++i) put(can || i < 3 ? tail[i] : 0, 1);
      std::size_t room = can ? sizeof r.Can.DataBytes : sizeof r.Lin.DataBytes;
      const std::uint8_t* data = can ? r.Can.DataBytes : r.Lin.DataBytes;
      for (std::size_t i = 0; i < r.DataLength && i < room; ++i) put(data[i], 1);
    }
  }
  return out;
}

}  // namespace quarn::fuzz
