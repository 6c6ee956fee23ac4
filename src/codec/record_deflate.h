#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "base/memory.h"

namespace quarn {

// The size in bytes of the record that starts at `record`, of which `available` bytes are at
// hand; 0 when they do not tell it.
using RecordSizeFn = std::size_t (*)(const std::uint8_t* record, std::size_t available);

// A zlib stream coder for a run of records each of which mostly repeats the one before: frames
// of one bus, where the header, channel, flags and the high bytes of the time stay while the low
// time bytes, identifier and data change. It looks for a repeat only at the distance from the
// record before, which finds nearly every repeat a general coder at its fastest level finds, at a
// small part of its time, and codes what it finds with Huffman codes made for the block.
class RecordDeflater : public HeapObject {
 public:
  ~RecordDeflater();
  RecordDeflater(const RecordDeflater&) = delete;
  RecordDeflater& operator=(const RecordDeflater&) = delete;

  // Takes at most `most` bytes a call; null when memory runs out.
  static std::unique_ptr<RecordDeflater> create(std::size_t most);

  // The most bytes compress() writes for `n` bytes in.
  static std::size_t bound(std::size_t n);

  // Compresses `n` bytes (at most `most`) into `out` as one zlib stream. The first record that
  // starts in them starts at `first` (the bytes before end the record of an earlier call), and
  // `size_of` finds each record's end. Returns the stream's size, or 0 when `room` is short of
  // bound(n).
  std::size_t compress(const std::uint8_t* in, std::size_t n, std::size_t first, RecordSizeFn size_of,
                       std::uint8_t* out, std::size_t room);

 private:
  RecordDeflater(std::uint32_t* symbols, std::size_t most) : symbols_(symbols), most_(most) {}

  std::uint32_t* symbols_;  // a literal byte, or a repeat's length and distance (record_deflate.cpp)
  std::size_t most_;
};

}  // namespace quarn
