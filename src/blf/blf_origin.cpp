#include "blf/blf_origin.h"

#include <cstdint>
#include <cstring>

#include "base/dyn_string.h"
#include "base/platform.h"
#include "blf/blf_format.h"
#include "blf/blf_writer.h"

namespace quarn {
namespace {

using namespace blf;

std::uint32_t get_u16(const std::uint8_t* p) { return static_cast<std::uint32_t>(p[0] | p[1] << 8); }
std::uint32_t get_u32(const std::uint8_t* p) { return get_u16(p) | get_u16(p + 2) << 16; }

// Exactly `n` bytes from where the stream stands, or false.
bool read_exactly(Stream& s, void* into, std::size_t n) {
  return stream_read_fully(s, into, n) == static_cast<std::int64_t>(n);
}

}  // namespace

bool blf_is_trace_of(Stream& file, StrView source_name) {
  // A name no file system takes (255 UTF-16 units are at most 765 bytes of UTF-8) ends the
  // question before anything is read.
  if (source_name.length == 0 || source_name.length > 3 * kPlatformNameMax) return false;
  const std::size_t text_length = sizeof kBlfOriginPrefix - 1 + static_cast<std::size_t>(source_name.length);
  const std::size_t object_size = kHeaderV1Size + kAppTextHeadSize + text_length;

  // The file header, the first container's headers and the APP_TEXT object's: all at fixed places.
  constexpr std::size_t kHead =
      kFileHeaderSize + kBaseHeaderSize + kContainerHeaderSize + kHeaderV1Size + kAppTextHeadSize;
  std::uint8_t h[kHead];
  if (stream_seek(file, 0, kSeekSet) != 0 || !read_exactly(file, h, sizeof h)) return false;
  if (std::memcmp(h, kFileSignature, 4) != 0 || get_u32(h + 4) != kFileHeaderSize) return false;
  const std::uint8_t* c = h + kFileHeaderSize;
  const std::size_t padded = object_size + object_size % 4;
  if (std::memcmp(c, kObjectSignature, 4) != 0 || get_u16(c + 4) != kBaseHeaderSize || get_u16(c + 6) != 1 ||
      get_u32(c + 8) != kBaseHeaderSize + kContainerHeaderSize + padded || get_u32(c + 12) != kLogContainer ||
      get_u16(c + 16) != kStored || get_u32(c + 24) != padded) {
    return false;
  }
  const std::uint8_t* o = c + kBaseHeaderSize + kContainerHeaderSize;
  if (std::memcmp(o, kObjectSignature, 4) != 0 || get_u16(o + 4) != kHeaderV1Size || get_u16(o + 6) != 1 ||
      get_u32(o + 8) != object_size || get_u32(o + 12) != kAppText || get_u32(o + kHeaderV1Size + 8) != text_length) {
    return false;
  }
  DynString text;
  char* room = dynstr_reserve(text, static_cast<std::int64_t>(text_length));
  if (room == nullptr || !read_exactly(file, room, text_length)) return false;
  return std::memcmp(room, kBlfOriginPrefix, sizeof kBlfOriginPrefix - 1) == 0 &&
         std::memcmp(room + sizeof kBlfOriginPrefix - 1, source_name.data,
                     static_cast<std::size_t>(source_name.length)) == 0;
}

}  // namespace quarn
