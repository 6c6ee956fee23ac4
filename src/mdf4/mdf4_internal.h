#pragma once

// The bus-logging layout quarn writes, shared by the MDF4 writer, the reader and their tests.
// Only src/mdf4 and its tests include this.
//
// One data group per frame kind, each with one channel group of fixed-length records: the members
// of one composed channel named after the group ("CAN_DataFrame.ID", ...), then the time master
// channel "time" (f64, seconds since the header's start time) in the last 8 bytes. The time goes
// last because its low bytes are the ones worth a full matcher when a block is compressed
// transposed: as the stream's tail they need no joining onto what comes before them.

#include <cstdint>

namespace quarn::mdf4 {

// The groups in file order. python-can's reader takes groups 0 to 2 by index, so the three CAN
// groups are always there, empty or not; the LIN group follows only when there are LIN frames.
enum GroupKind : int { kGroupData = 0, kGroupError = 1, kGroupRemote = 2, kGroupLin = 3, kGroupKinds = 4 };

// The members a reader looks for, in every kind of group; a writer stores those of its layout.
enum Member : int {
  kMemberBusChannel,
  kMemberId,
  kMemberIde,
  kMemberDlc,
  kMemberDataLength,
  kMemberDataBytes,
  kMemberDir,
  kMemberEdl,
  kMemberBrs,
  kMemberEsi,
  kMemberErrorType,
  kMemberReceivedDataByteCount,
  kMembers
};

inline constexpr const char* kMemberNames[kMembers] = {
    "BusChannel", "ID", "IDE", "DLC", "DataLength", "DataBytes", "Dir", "EDL", "BRS", "ESI",
    "ErrorType", "ReceivedDataByteCount"};

// Where a member lies in the records of quarn's layout; data type 0 is an unsigned
// little-endian integer, 10 a byte array.
struct MemberPlace {
  Member member;
  std::uint8_t data_type;
  std::uint32_t byte_offset;
  std::uint32_t bit_count;
};

struct GroupLayout {
  const char* name;          // the composed channel, and the prefix of its members
  const char* acq_name;      // the channel group's acquisition name
  std::uint8_t bus_type;     // of its source information
  std::uint32_t record_size;
  const MemberPlace* members;
  int member_count;
};

// Data frames: 84-byte records, the identifier unaligned at byte 1.
inline constexpr MemberPlace kCanPlaces[] = {
    {kMemberBusChannel, 0, 0, 8}, {kMemberId, 0, 1, 32},          {kMemberIde, 0, 5, 8},  {kMemberDlc, 0, 6, 8},
    {kMemberDataLength, 0, 7, 8}, {kMemberDataBytes, 10, 8, 512}, {kMemberDir, 0, 72, 8}, {kMemberEdl, 0, 73, 8},
    {kMemberBrs, 0, 74, 8},       {kMemberEsi, 0, 75, 8}};
// Error frames: the fields of a data frame, and the error type (signed, as the records hold it)
// behind them: 88-byte records.
inline constexpr MemberPlace kErrorPlaces[] = {
    {kMemberBusChannel, 0, 0, 8}, {kMemberId, 0, 1, 32},          {kMemberIde, 0, 5, 8},        {kMemberDlc, 0, 6, 8},
    {kMemberDataLength, 0, 7, 8}, {kMemberDataBytes, 10, 8, 512}, {kMemberDir, 0, 72, 8},       {kMemberEdl, 0, 73, 8},
    {kMemberBrs, 0, 74, 8},       {kMemberEsi, 0, 75, 8},         {kMemberErrorType, 2, 76, 32}};
// Remote frames carry no data bytes and no FD flags: 17-byte records.
inline constexpr MemberPlace kRemotePlaces[] = {{kMemberBusChannel, 0, 0, 8}, {kMemberId, 0, 1, 32},
                                                {kMemberIde, 0, 5, 8},        {kMemberDlc, 0, 6, 8},
                                                {kMemberDataLength, 0, 7, 8}, {kMemberDir, 0, 8, 8}};
// LIN frames: 21-byte records.
inline constexpr MemberPlace kLinPlaces[] = {{kMemberBusChannel, 0, 0, 8}, {kMemberId, 0, 1, 8},
                                             {kMemberDataLength, 0, 2, 8}, {kMemberDataBytes, 10, 3, 64},
                                             {kMemberDir, 0, 11, 8},       {kMemberReceivedDataByteCount, 0, 12, 8}};

inline constexpr std::uint32_t kCanRecordSize = 84;
inline constexpr std::uint32_t kErrorRecordSize = 88;
inline constexpr std::uint32_t kRemoteRecordSize = 17;
inline constexpr std::uint32_t kLinRecordSize = 21;
// The bytes of the master time, at the end of every record.
inline constexpr std::uint32_t kTimeBytes = 8;
// The longest record of any group.
inline constexpr std::uint32_t kMaxRecordSize = kErrorRecordSize;

inline constexpr GroupLayout kGroupLayouts[kGroupKinds] = {
    {"CAN_DataFrame", "CAN", 2, kCanRecordSize, kCanPlaces, 10},
    {"CAN_ErrorFrame", "CAN", 2, kErrorRecordSize, kErrorPlaces, 11},
    {"CAN_RemoteFrame", "CAN", 2, kRemoteRecordSize, kRemotePlaces, 6},
    {"LIN_Frame", "LIN", 3, kLinRecordSize, kLinPlaces, 6},
};

}  // namespace quarn::mdf4
