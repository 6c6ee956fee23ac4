#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "batch/bus_record.h"
#include "blf/blf_format.h"

namespace quarn::test {

// One object of the containers' data: its type, its time and how its header gives it, and what
// follows the header.
struct BlfObject {
  std::uint32_t type = 0;
  std::string body;
  std::uint64_t time = 0;
  std::uint32_t time_flags = blf::kTimeOneNanos;
  int header_version = 1;
};

// SYSTEMTIME fields: year, month, day of week, day, hour, minute, second, millisecond.
using BlfSystemTime = std::array<std::uint16_t, 8>;

struct BlfFileOptions {
  std::uint16_t compression = blf::kZlibDeflate;  // or blf::kStored
  // The containers' data is cut every this many bytes, wherever that falls within an object.
  std::size_t container_bytes = 128 * 1024;
  BlfSystemTime start = {2024, 5, 2, 14, 8, 30, 0, 252};
  bool finalised = true;  // false: the header as it is before its writer closes the file
};

// How a record becomes an object.
struct BlfObjectStyle {
  bool message2 = false;    // CAN_MESSAGE2 rather than CAN_MESSAGE for classic frames
  bool fd64 = false;        // CAN_FD_MESSAGE_64 rather than CAN_FD_MESSAGE for CAN FD frames
  bool fd_for_all = false;  // classic data and remote frames as CAN FD objects too
  int header_version = 1;
  bool ten_micros = false;  // times in 10 µs (which must then be whole multiples of it)
};

// The object of a record (CAN data, remote and error frames, LIN frames), its time taken from
// `start` (seconds since 1970).
BlfObject blf_object_of(const BusRecord& r, double start, const BlfObjectStyle& style = {});
std::vector<BlfObject> blf_objects_of(const std::vector<BusRecord>& records, double start,
                                      const BlfObjectStyle& style = {});

// The seconds since 1970 of a SYSTEMTIME, taken as UTC.
double blf_seconds_of(const BlfSystemTime& t);

// One object as it lies in the data: its header, body and padding.
std::string blf_object_bytes(const BlfObject& object);

// A whole file of those objects.
std::string blf_file(const std::vector<BlfObject>& objects, const BlfFileOptions& options = {});

// A whole file of records, dated from the whole second of the first.
std::string blf_file_of(const std::vector<BusRecord>& records, BlfFileOptions options = {},
                        const BlfObjectStyle& style = {});

// The file header's start and the first container's offset, for tests that damage them.
inline constexpr std::size_t kBlfFirstContainer = blf::kFileHeaderSize;

// Little-endian fields of bytes held in a string.
std::uint32_t blf_u32(const std::string& bytes, std::size_t offset);
void blf_set_u32(std::string& bytes, std::size_t offset, std::uint32_t value);
void blf_set_u64(std::string& bytes, std::size_t offset, std::uint64_t value);

}  // namespace quarn::test
