#include "mdf4/mdf4_origin.h"

#include <cstring>

#include "base/platform.h"
#include "base/utf8.h"
#include "mdf4/mdf4_blocks.h"

namespace quarn {
namespace {

using namespace mdf4;

// Exactly `n` bytes at `offset`, or false.
bool read_at(Stream& s, std::uint64_t offset, void* into, std::size_t n) {
  if (offset > static_cast<std::uint64_t>(INT64_MAX)) return false;
  if (stream_seek(s, static_cast<std::int64_t>(offset), kSeekSet) != static_cast<std::int64_t>(offset)) return false;
  return stream_read_fully(s, into, n) == static_cast<std::int64_t>(n);
}

}  // namespace

bool mdf4_append_xml(DynString& s, StrView text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data);
  for (std::int64_t i = 0; i < text.length;) {
    const unsigned char c = p[i];
    const char* entity = c == '<' ? "&lt;" : c == '>' ? "&gt;" : c == '&' ? "&amp;" : c == '"' ? "&quot;" : nullptr;
    const int n = utf8_sequence(p + i, text.length - i);
    bool ok;
    if (entity != nullptr) {
      ok = dynstr_append(s, entity) != nullptr;
    } else if (n == 0 || (c < 0x20 && c != '\t' && c != '\n' && c != '\r')) {
      ok = dynstr_append(s, "\xEF\xBF\xBD") != nullptr;
    } else {
      ok = dynstr_append(s, text.data + i, n) != nullptr;
    }
    if (!ok) return false;
    i += n == 0 ? 1 : n;
  }
  return true;
}

bool mdf4_append_origin(DynString& s, StrView source_name) {
  return dynstr_append(s, "Converted by quarn from ") != nullptr && mdf4_append_xml(s, source_name);
}

bool mdf4_is_trace_of(Stream& file, StrView source_name) {
  // The whole text the comment must start with. A name no file system takes (a file name of at
  // most 255 UTF-16 units is at most 765 bytes of UTF-8) ends the question before anything is read.
  if (source_name.length == 0 || source_name.length > 3 * kPlatformNameMax) return false;
  DynString expected;
  if (dynstr_append(expected, "<HDcomment>\n<TX>") == nullptr || !mdf4_append_origin(expected, source_name) ||
      dynstr_append(expected, "</TX>") == nullptr) {
    return false;
  }

  std::uint8_t id[kIdBlockSize];
  if (!read_at(file, 0, id, sizeof id)) return false;
  if (std::memcmp(id, "MDF     ", 8) != 0 || std::memcmp(id + id_block::kProgram, "quarn   ", 8) != 0) return false;

  std::uint8_t head[kHeaderSize + hd::kLinks * kLinkSize];
  BlockHeader h;
  if (!read_at(file, kIdBlockSize, head, sizeof head) || !decode_header(head, h) || h.tag != kTagHd ||
      h.links < hd::kLinks) {
    return false;
  }
  const std::uint64_t comment = get_u64(head + kHeaderSize + hd::kComment * kLinkSize);
  if (comment == 0) return false;

  const auto want = static_cast<std::size_t>(dynstr_length(expected));
  std::uint8_t md[kHeaderSize];
  if (!read_at(file, comment, md, sizeof md) || !decode_header(md, h) || h.tag != kTagMd || h.links != 0 ||
      h.length < kHeaderSize + want) {
    return false;
  }
  DynString found;
  char* room = dynstr_reserve(found, static_cast<std::int64_t>(want));
  if (room == nullptr || !read_at(file, comment + kHeaderSize, room, want)) return false;
  return std::memcmp(room, dynstr_data(expected), want) == 0;
}

}  // namespace quarn
