#pragma once

#include <cstdint>

// The layout of a BLF file, as far as quarn writes and reads it. All numbers are little-endian.
//
// A file is a header of kFileHeaderSize bytes, then objects. Each object starts with a base header
// ("LOBJ", its header's size, the header's version, the object's size with its header, its type),
// and is followed by `object size % 4` zero bytes. At the top level the objects are log containers;
// their data (zlib or stored) is the concatenation of the objects the file holds, each followed by
// its own padding, and an object may begin in one container and end in the next.
namespace quarn::blf {

inline constexpr char kFileSignature[4] = {'L', 'O', 'G', 'G'};
inline constexpr char kObjectSignature[4] = {'L', 'O', 'B', 'J'};

// File header: signature, u32 header size, u8 application id, u8 application major, minor and
// build, u8 binary-log major, minor, build and patch, u64 file size, u64 uncompressed size (the
// container data inflated, with the containers' own headers), u32 object count, u32 objects
// read, SYSTEMTIME first frame, SYSTEMTIME last frame; zeros up to the header size.
inline constexpr std::uint32_t kFileHeaderSize = 144;
inline constexpr int kFileSizeOffset = 16;
inline constexpr int kUncompressedSizeOffset = 24;
inline constexpr int kObjectCountOffset = 32;
inline constexpr int kStartTimeOffset = 40;
inline constexpr int kStopTimeOffset = 56;
// SYSTEMTIME: u16 year, month, day of week (0 Sunday), day, hour, minute, second, millisecond.
inline constexpr int kSystemTimeSize = 16;

// Base object header: "LOBJ", u16 header size, u16 header version, u32 object size, u32 type.
inline constexpr std::uint32_t kBaseHeaderSize = 16;
// Version 1 adds u32 flags, u16 client index, u16 object version, u64 time.
inline constexpr std::uint32_t kHeaderV1Size = 32;
// Version 2 adds u32 flags, u8 time status, u8 reserved, u16 object version, u64 time, u64
// original time.
inline constexpr std::uint32_t kHeaderV2Size = 40;
// The header flags give the unit of the object's time.
inline constexpr std::uint32_t kTimeTenMicros = 0x1;
inline constexpr std::uint32_t kTimeOneNanos = 0x2;

// Log container, after the base header: u16 compression method, 6 reserved, u32 size of its data
// uncompressed, 4 reserved; then the data.
inline constexpr std::uint32_t kContainerHeaderSize = 16;
inline constexpr std::uint16_t kStored = 0;
inline constexpr std::uint16_t kZlibDeflate = 2;

// Object types.
enum ObjectType : std::uint32_t {
  kCanMessage = 1,
  kCanError = 2,
  kCanOverload = 3,
  kCanStatistic = 4,
  kAppTrigger = 5,
  kEnvInteger = 6,
  kEnvDouble = 7,
  kEnvString = 8,
  kEnvData = 9,
  kLogContainer = 10,
  kLinMessage = 11,
  kLinMessage2 = 57,
  kAppText = 65,
  kCanErrorExt = 73,
  kCanMessage2 = 86,
  kGlobalMarker = 96,
  kCanFdMessage = 100,
  kCanFdMessage64 = 101,
  kCanFdError64 = 104,
};

// CAN_MESSAGE and CAN_MESSAGE2: u16 channel, u8 flags, u8 DLC, u32 identifier, 8 data bytes;
// CAN_MESSAGE2 adds u32 frame length in ns, u8 bit count, 3 reserved.
inline constexpr std::uint32_t kCanMessageSize = 16;
inline constexpr std::uint32_t kCanMessage2Size = 24;
inline constexpr std::uint8_t kCanFlagTx = 0x01;
inline constexpr std::uint8_t kCanFlagRemote = 0x80;
// In every CAN object's identifier: the frame's identifier is extended.
inline constexpr std::uint32_t kExtendedId = 0x80000000u;

// CAN_FD_MESSAGE: u16 channel, u8 flags (as above), u8 DLC, u32 identifier, u32 frame length, u8
// bit count, u8 FD flags, u8 valid data bytes, 5 reserved, 64 data bytes.
inline constexpr std::uint32_t kCanFdMessageSize = 84;
inline constexpr std::uint8_t kFdFlagEdl = 0x1;
inline constexpr std::uint8_t kFdFlagBrs = 0x2;
inline constexpr std::uint8_t kFdFlagEsi = 0x4;

// CAN_FD_MESSAGE_64: u8 channel, u8 DLC, u8 valid data bytes, u8 tx count, u32 identifier, u32
// frame length, u32 flags, u32 arbitration bit rate, u32 data bit rate, u32 BRS offset, u32 CRC
// delimiter offset, u16 bit count, u8 direction, u8 extended data offset, u32 CRC; then the valid
// data bytes.
inline constexpr std::uint32_t kCanFd64HeadSize = 40;
inline constexpr std::uint32_t kFd64Remote = 0x0010;
inline constexpr std::uint32_t kFd64Edl = 0x1000;
inline constexpr std::uint32_t kFd64Brs = 0x2000;
inline constexpr std::uint32_t kFd64Esi = 0x4000;
inline constexpr std::uint8_t kFd64DirTx = 1;

// CAN_ERROR_EXT: u16 channel, u16 length, u32 flags, u8 ECC, u8 position, u8 DLC, u8 reserved,
// u32 frame length, u32 identifier, u16 extended flags, 2 reserved, 8 data bytes.
inline constexpr std::uint32_t kCanErrorExtSize = 32;

// LIN_MESSAGE: u16 channel, u8 identifier, u8 DLC, 8 data bytes, u8 FSM id, u8 FSM state, u8
// header time, u8 full time, u16 checksum, u8 direction (0 Rx, 1 Tx), u8 reserved.
inline constexpr std::uint32_t kLinMessageSize = 20;

// APP_TEXT: u32 source, u32 reserved, u32 text length, u32 reserved; then the text, without a
// terminating NUL. Source 0 is a comment on the measurement.
inline constexpr std::uint32_t kAppTextHeadSize = 16;
inline constexpr std::uint32_t kAppTextComment = 0;

}  // namespace quarn::blf
