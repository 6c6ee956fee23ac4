// mdf4_dump: shows what an MDF4 file holds, for developers. See kUsage.
//
//   $ mdf4_dump out.mf4
//   out.mf4: 226968 bytes, MDF 4.10, start 1715675400.000000000 s, 4 bus groups, 3000 records
//   blocks
//           64 ##HD      104  links 552 168 0 0 0 0
//          168 ##FH       56  links 0 224
//   ...
//   frames
//   1715675400.256965 data   ch 1 id      5E1  Tx dlc 9 len 12 fd brs esi  27 08 17 73 1E 74 14 A7 E7 03 6A FE
//   1715675400.265762 data   ch 1 id 165F366Ex Tx dlc 8 len 8  AF 60 CA 21 02 42 BB F2
//   1715675400.317476 error  ch 1 id 451 type 0

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "io/file_stream.h"
#include "mdf4/mdf4_blocks.h"
#include "mdf4/mdf4_decoder.h"

namespace {

using namespace quarn::mdf4;

constexpr char kUsage[] =
    "Usage: mdf4_dump [--blocks | --frames] FILE\n"
    "  Prints the blocks of an MDF4 file (offset, id, length, links) that can be reached from its\n"
    "  header block, then its bus frames as quarn's reader finds them, one line each.\n"
    "  --blocks            the blocks only\n"
    "  --frames            the frames only\n"
    "Exit status: 0 when the file was read to the end, 1 when the reader refused it or stopped,\n"
    "2 for a usage error or a file that cannot be opened.\n";

// More blocks than any bus log needs links to; a file with more is shown in part.
constexpr std::size_t kMaxBlocks = 1000000;
// Links shown per block; a data list may have thousands.
constexpr std::uint64_t kShownLinks = 8;

bool read_at(quarn::Stream& s, std::uint64_t offset, void* dst, std::uint64_t n) {
  if (quarn::stream_seek(s, static_cast<std::int64_t>(offset), quarn::kSeekSet) != static_cast<std::int64_t>(offset)) {
    return false;
  }
  return quarn::stream_read(s, dst, n) == static_cast<std::int64_t>(n);
}

// Every block reachable from the header block through links, in offset order; a link that
// leads nowhere readable is listed as such.
void dump_blocks(quarn::Stream& s, std::uint64_t size) {
  std::printf("blocks\n");
  std::set<std::uint64_t> seen;
  std::vector<std::uint64_t> todo = {kIdBlockSize};
  std::set<std::uint64_t> order;
  while (!todo.empty() && seen.size() < kMaxBlocks) {
    std::uint64_t at = todo.back();
    todo.pop_back();
    if (at == 0 || !seen.insert(at).second) continue;
    order.insert(at);
    std::uint8_t head[kHeaderSize];
    BlockHeader h;
    if (at > size || size - at < kHeaderSize || !read_at(s, at, head, sizeof head) || !decode_header(head, h)) continue;
    const std::uint64_t links = h.length >= kHeaderSize ? std::min(h.links, (h.length - kHeaderSize) / kLinkSize) : 0;
    for (std::uint64_t i = 0; i < links && at + data_start(i + 1) <= size; ++i) {
      std::uint8_t link[kLinkSize];
      if (read_at(s, at + data_start(i), link, sizeof link)) todo.push_back(get_u64(link));
    }
  }
  for (std::uint64_t at : order) {
    std::uint8_t head[kHeaderSize];
    BlockHeader h;
    if (at > size || size - at < kHeaderSize || !read_at(s, at, head, sizeof head)) {
      std::printf("%10" PRIu64 " (a link past the end of the file)\n", at);
      continue;
    }
    if (!decode_header(head, h)) {
      std::printf("%10" PRIu64 " (no block here)\n", at);
      continue;
    }
    char id[5];
    tag_text(h.tag, id);
    std::printf("%10" PRIu64 " %s %8" PRIu64 "%s", at, id, h.length, at % 8 != 0 ? " (unaligned)" : "");
    if (h.length > size - at) std::printf(" (past the end of the file)");
    if (h.links > 0) std::printf("  links");
    for (std::uint64_t i = 0; i < h.links && i < kShownLinks && at + data_start(i + 1) <= size; ++i) {
      std::uint8_t link[kLinkSize];
      if (read_at(s, at + data_start(i), link, sizeof link)) std::printf(" %" PRIu64, get_u64(link));
    }
    if (h.links > kShownLinks) std::printf(" ... (%" PRIu64 " links)", h.links);
    std::printf("\n");
  }
  if (seen.size() >= kMaxBlocks) std::printf("(only the first %zu blocks)\n", kMaxBlocks);
}

void print_bytes(const std::uint8_t* bytes, std::uint64_t n) {
  for (std::uint64_t i = 0; i < n; ++i) std::printf(" %02X", bytes[i]);
}

void print_frame(const quarn::BusRecord& r) {
  std::printf("%.6f ", r.Timestamp);
  switch (r.Kind) {
    case quarn::CAN_DataFrame:
    case quarn::CAN_RemoteFrame: {
      const quarn::CanTail& c = r.Can;
      std::printf("%-6s ch %u id %8X%s %s dlc %u len %" PRIu64, r.Kind == quarn::CAN_DataFrame ? "data" : "remote",
                  c.BusChannel, r.ID, c.IDE != 0 ? "x" : " ", c.Dir != 0 ? "Tx" : "Rx", c.DLC, r.DataLength);
      if (c.EDL != 0) std::printf(" fd%s%s", c.BRS != 0 ? " brs" : "", c.ESI != 0 ? " esi" : "");
      if (r.Kind == quarn::CAN_DataFrame) {
        std::printf(" ");
        print_bytes(c.DataBytes, r.DataLength);
      }
      break;
    }
    case quarn::CAN_ErrorFrame:
      std::printf("error  ch %u id %8X %s %s dlc %u len %" PRIu64 " type %d", r.Can.BusChannel, r.ID,
                  r.Can.IDE != 0 ? "x" : " ", r.Can.Dir != 0 ? "Tx" : "Rx", r.Can.DLC, r.DataLength,
                  static_cast<int>(r.Can.ErrorType));
      if (r.Can.EDL != 0) std::printf(" fd%s%s", r.Can.BRS != 0 ? " brs" : "", r.Can.ESI != 0 ? " esi" : "");
      std::printf(" ");
      print_bytes(r.Can.DataBytes, r.DataLength);
      break;
    case quarn::LIN_Frame:
      std::printf("lin    ch %u id %8X  %s len %" PRIu64 " rx %u ", r.Lin.BusChannel, r.ID, r.Lin.Dir != 0 ? "Tx" : "Rx",
                  r.DataLength, r.Lin.ReceivedDataByteCount);
      print_bytes(r.Lin.DataBytes, r.DataLength);
      break;
    default:
      std::printf("kind %u", r.Kind);
      break;
  }
  std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
  bool blocks = true;
  bool frames = true;
  const char* path = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--blocks") == 0) {
      frames = false;
    } else if (std::strcmp(argv[i], "--frames") == 0) {
      blocks = false;
    } else if (std::strcmp(argv[i], "--help") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (path == nullptr && argv[i][0] != '-') {
      path = argv[i];
    } else {
      std::fputs(kUsage, stderr);
      return 2;
    }
  }
  if (path == nullptr || (!blocks && !frames)) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  std::unique_ptr<quarn::FileStream> stream = quarn::file_stream_open(path, 0);
  if (!stream) {
    std::fprintf(stderr, "mdf4_dump: cannot open %s\n", path);
    return 2;
  }
  const std::int64_t size = quarn::stream_size(stream.get());
  auto reader = quarn::mdf4_decoder_create();
  if (size < 0 || !reader) {
    std::fprintf(stderr, "mdf4_dump: cannot read %s\n", path);
    return 2;
  }
  const bool opened = reader->open(stream.get());
  const std::uint64_t start = reader->start_time_ns();
  std::printf("%s: %" PRId64 " bytes", path, size);
  if (opened) {
    std::printf(", MDF %u.%02u, start %" PRIu64 ".%09" PRIu64 " s, %" PRId64 " bus groups, %" PRIu64 " records",
                reader->version() / 100u, reader->version() % 100u, start / 1000000000u, start % 1000000000u,
                reader->group_count(), reader->declared_records());
  }
  std::printf("\n");
  if (blocks && size >= static_cast<std::int64_t>(kIdBlockSize)) dump_blocks(*stream, static_cast<std::uint64_t>(size));
  if (frames && opened) {
    std::printf("frames\n");
    quarn::BusRecord r;
    while (reader->next(r)) print_frame(r);
  }
  if (reader->error()[0] != '\0') {
    std::printf("error: %s\n", reader->error());
    return 1;
  }
  if (reader->unread()[0] != '\0') {
    std::printf("not read to its end: %s\n", reader->unread());
    return 1;
  }
  return 0;
}
