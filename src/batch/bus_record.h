#pragma once

#include <cstdint>

namespace quarn {

// The most data bytes a record of each bus holds (CAN FD's 64, LIN's 8): every reader fills at most
// these, and every writer takes no more.
inline constexpr std::uint64_t kCanMaxData = 64;
inline constexpr std::uint64_t kLinMaxData = 8;

// BusRecordKind values.
enum BusRecordKind : std::uint32_t {
  CAN_DataFrame = 1,
  CAN_RemoteFrame = 2,
  CAN_ErrorFrame = 3,
  LIN_Frame = 4,
};

struct CanTail {
  std::uint8_t IDE;     // 1: 29-bit (extended) identifier, 0: 11-bit
  std::uint8_t Dir;     // 1: sent by the logger (Tx), 0: received (Rx)
  std::uint8_t EDL;     // 1: CAN FD frame
  std::uint8_t ESI;     // CAN FD error state indicator
  std::uint8_t BRS;     // CAN FD bit rate switch
  std::uint8_t Remote;  // 1: remote frame, no data bytes
  std::uint8_t BusChannel;
  std::uint8_t DLC;  // data length code as sent on the bus
  std::uint8_t DataBytes[64];
  std::int32_t ErrorType;  // CAN_ErrorFrame: the kind of bus error as the log numbers it, 0 when it gives none
};

struct LinTail {
  std::uint8_t Dir;
  std::uint8_t BusChannel;
  std::uint8_t ReceivedDataByteCount;  // carried along; no trace writes it
  std::uint8_t DataBytes[8];
};

// One decoded bus event with its absolute time: a common head and a tail by kind. Error frames
// use the CAN tail: a logger records what it saw of the broken frame (identifier, flags, data) as
// it would for a data frame, and the error type besides.
//
// Invariants: DataLength <= 64 for the CAN kinds and <= 8 for LIN_Frame; whenever DataLength is
// non-zero, DataPointer is the address of this record's own DataBytes (a copy re-points it); a
// producer clears the whole record before filling it, so unset fields read 0.
struct BusRecord {
  double Timestamp;           // seconds since 1970-01-01 00:00:00 UTC, with the fraction
  std::uint32_t ID;           // 11- or 29-bit CAN identifier, or LIN frame identifier
  std::uint8_t* DataPointer;  // this record's DataBytes, or null for kinds without data
  std::uint64_t DataLength;   // valid bytes in DataBytes
  std::uint32_t Kind;         // a BusRecordKind
  union {
    CanTail Can;
    LinTail Lin;
  };
};

}  // namespace quarn
