#pragma once

#include <cstdint>
#include <memory>

#include "base/memory.h"
#include "batch/bus_record.h"
#include "io/stream.h"

namespace quarn {

// The most bytes one log container may hold, compressed or inflated. Writers fill containers of
// 128 KiB; a declared size past this is damage, and no file makes the decoder hold more than
// twice this, whatever its size says.
inline constexpr std::uint32_t kBlfMaxContainerBytes = 4u << 20;

// What a BLF file holds besides the frames the decoder hands out, counted as it goes.
struct BlfCounts {
  std::uint64_t objects = 0;     // every object inside the containers, frames included
  std::uint64_t no_frame = 0;    // objects that hold no frame: markers, statistics, texts
  std::uint64_t other_kind = 0;  // frames of kinds quarn does not convert (LIN_MESSAGE2, say)
};

// How open() ended.
enum class BlfOpen : std::uint8_t { Ok, NotBlf, StartTime, Failed };

// Decodes a BLF file, in file order: its header, the log containers (zlib or stored) one after
// the other, and the objects their data holds, an object running on into the next container where
// the writer split it. Hands out the frame objects it reads (CAN_MESSAGE, CAN_MESSAGE2,
// CAN_FD_MESSAGE, CAN_FD_MESSAGE_64, CAN_ERROR_EXT, LIN_MESSAGE) as records, and counts the rest.
// It borrows the stream and never closes it.
class BlfDecoder : public HeapObject {
 public:
  BlfDecoder() = default;
  ~BlfDecoder();
  BlfDecoder(const BlfDecoder&) = delete;
  BlfDecoder& operator=(const BlfDecoder&) = delete;

  // Reads the file header. `size` is the file's size (negative: unknown).
  BlfOpen open(Stream& stream, std::int64_t size);
  // The next frame, its record cleared first and filled. False at the end of the data and when
  // decoding failed: error() then says why.
  bool next(BusRecord& record);
  // Once next returned false without an error: what the header declares that the file did not
  // hold (a file cut at a container boundary); "" when the file is whole.
  const char* unread() const { return unread_; }
  // Why open or next failed; "" when nothing did.
  const char* error() const { return error_; }
  const BlfCounts& counts() const { return counts_; }

 private:
  bool fail(const char* format, ...);
  bool need(std::uint32_t n, bool& at_end);
  bool skip(std::uint64_t n);
  bool load_container(bool& at_end);
  bool frame(const std::uint8_t* p, std::uint32_t type, std::uint32_t size, BusRecord& record);
  bool cut_short() const;
  void check_header_at_end();

  Stream* stream_ = nullptr;
  std::int64_t file_size_ = -1;
  std::int64_t file_pos_ = 0;
  double start_ = 0;
  std::uint64_t declared_file_size_ = 0;
  std::uint64_t declared_inflated_ = 0;
  std::uint32_t declared_objects_ = 0;
  std::uint64_t inflated_ = 0;  // the containers' data inflated, with their headers, as the header counts it
  // The containers' data, inflated: bytes [pos_, end_) are still to be decoded.
  std::uint8_t* data_ = nullptr;
  std::size_t data_cap_ = 0;
  std::size_t pos_ = 0;
  std::size_t end_ = 0;
  std::uint8_t* packed_ = nullptr;
  std::size_t packed_cap_ = 0;
  void* inflater_ = nullptr;
  BlfCounts counts_;
  bool ended_ = false;
  char unread_[200] = "";
  char error_[200] = "";
};

std::unique_ptr<BlfDecoder> blf_decoder_create();

}  // namespace quarn
