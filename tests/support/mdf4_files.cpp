#include "support/mdf4_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "mdf4/mdf4_decoder.h"
#include "support/memory_sink.h"
#include "support/memory_stream.h"
#include "support/temp_dir.h"

namespace quarn::test {
namespace {

std::uint64_t next_random(std::uint64_t& state) {
  state += 0x9E3779B97F4A7C15ull;
  std::uint64_t z = state;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

constexpr std::uint8_t kFdLengths[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 48, 64};

std::string hex(const std::uint8_t* bytes, std::uint64_t n) {
  std::string s;
  char b[4];
  for (std::uint64_t i = 0; i < n; ++i) {
    std::snprintf(b, sizeof b, "%02x", bytes[i]);
    s += b;
  }
  return s;
}

int group_rank(std::uint32_t kind) {
  switch (kind) {
    case CAN_DataFrame: return 0;
    case CAN_ErrorFrame: return 1;
    case CAN_RemoteFrame: return 2;
    default: return 3;
  }
}

}  // namespace

std::string shared_dir() {
  const char* env = std::getenv("QUARN_SHARED");
  return env != nullptr && env[0] != '\0' ? env : QUARN_SHARED_DEFAULT;
}

std::string mdf4_sample(const std::string& name) { return shared_dir() + "/mdf4/samples/" + name; }

std::vector<BusRecord> generated_frames(std::uint64_t seed, std::size_t count, bool lin) {
  std::vector<BusRecord> out;
  out.reserve(count);
  std::uint64_t state = seed;
  std::int64_t us = 1715675400252653;
  for (std::size_t i = 0; i < count; ++i) {
    std::uint64_t x = next_random(state);
    if (i > 0 && x % 8 != 0) us += static_cast<std::int64_t>(1 + (x >> 8) % 4000);
    BusRecord r;
    std::memset(&r, 0, sizeof r);
    r.Timestamp = static_cast<double>(us) / 1e6;
    std::uint64_t y = next_random(state);
    const int pick = static_cast<int>(y % 100);
    const std::uint8_t channel = static_cast<std::uint8_t>(1 + (y >> 8) % 3);
    const bool extended = (y >> 12) % 3 == 0;
    const std::uint32_t id = static_cast<std::uint32_t>(y >> 16) & (extended ? 0x1FFFFFFFu : 0x7FFu);
    std::uint64_t z = next_random(state);
    if (pick >= 92 && lin) {
      r.Kind = LIN_Frame;
      r.ID = id & 0x3F;
      r.Lin.BusChannel = channel;
      r.Lin.Dir = static_cast<std::uint8_t>((y >> 50) & 1);
      r.DataLength = z % 9;
      r.Lin.ReceivedDataByteCount = static_cast<std::uint8_t>(r.DataLength);
      for (std::uint64_t b = 0; b < r.DataLength; ++b) r.Lin.DataBytes[b] = static_cast<std::uint8_t>(z >> (8 + 6 * b));
      r.DataPointer = r.Lin.DataBytes;
    } else if (pick >= 88 && (y >> 40) % 2 == 0) {
      // A bare error frame, as loggers that see only the error write it.
      r.Kind = CAN_ErrorFrame;
      r.Can.BusChannel = channel;
      r.DataPointer = r.Can.DataBytes;
    } else {
      CanTail& can = r.Can;
      can.BusChannel = channel;
      can.IDE = extended ? 1 : 0;
      can.Dir = static_cast<std::uint8_t>((y >> 50) & 1);
      r.ID = id;
      r.DataPointer = can.DataBytes;
      if (pick >= 78 && pick < 88) {
        r.Kind = CAN_RemoteFrame;
        can.Remote = 1;
        can.DLC = static_cast<std::uint8_t>(z % 9);
      } else {
        // Error frames with every field: what a logger saw of the broken frame, and its type.
        r.Kind = pick >= 88 ? CAN_ErrorFrame : CAN_DataFrame;
        if (pick >= 88) can.ErrorType = static_cast<std::int32_t>(1 + (z >> 24) % 7);
        const bool fd = pick >= 88 ? (z >> 30) % 3 == 0 : pick >= 55;
        can.DLC = static_cast<std::uint8_t>(fd ? 9 + z % 7 : z % 16);
        if (fd && z % 5 == 0) can.DLC = static_cast<std::uint8_t>(z % 9);  // FD frames with short codes
        can.EDL = fd ? 1 : 0;
        can.BRS = fd ? static_cast<std::uint8_t>((z >> 20) & 1) : 0;
        can.ESI = fd ? static_cast<std::uint8_t>((z >> 21) & 1) : 0;
        r.DataLength = fd ? kFdLengths[can.DLC] : std::min<std::uint64_t>(can.DLC, 8);
        std::uint64_t w = next_random(state);
        for (std::uint64_t b = 0; b < r.DataLength; ++b) {
          if (b % 8 == 0) w = next_random(state);
          can.DataBytes[b] = static_cast<std::uint8_t>(w >> (8 * (b % 8)));
        }
      }
    }
    out.push_back(r);
  }
  return out;
}

std::int64_t micros_of(double timestamp) { return std::llround(timestamp * 1e6); }

std::string write_mdf4(const std::vector<BusRecord>& records, const Mdf4WriterOptions& options, const char* version,
                       const LogInfo& info) {
  MemorySink sink;
  auto writer = mdf4_writer_create(options);
  if (!writer || records.empty()) return {};
  if (!writer->begin(sink, records[0].Timestamp, sv(version), info)) return {};
  for (const BusRecord& r : records) {
    if (!writer->add(r)) return {};
  }
  if (!writer->finish()) return {};
  return sink.bytes;
}

Mdf4Read read_mdf4(const std::string& bytes, const Mdf4DecoderLimits& limits) {
  Mdf4Read out;
  MemoryStream stream(bytes);
  auto reader = mdf4_decoder_create(limits);
  if (!reader) {
    out.error = "no reader";
    return out;
  }
  out.opened = reader->open(&stream);
  BusRecord r;
  while (out.opened && reader->next(r)) {
    const std::uint8_t* own = r.Kind == LIN_Frame ? r.Lin.DataBytes : r.Can.DataBytes;
    const bool pointer_ok = r.DataPointer == own;
    const bool length_ok = r.DataLength <= (r.Kind == LIN_Frame ? 8u : 64u);
    if (!pointer_ok || !length_ok) out.broken.push_back(describe(r));
    out.records.push_back(r);
  }
  out.error = reader->error();
  // Data past the frames fails a conversion as much as an error does.
  if (out.error.empty() && reader->unread()[0] != '\0') out.error = std::string("unread: ") + reader->unread();
  out.window_peak = reader->window_peak();
  return out;
}

Mdf4Read read_mdf4_file(const std::string& path) { return read_mdf4(read_file(path)); }

std::vector<BusRecord> in_read_order(const std::vector<BusRecord>& records) {
  std::vector<BusRecord> out = records;
  std::stable_sort(out.begin(), out.end(), [](const BusRecord& a, const BusRecord& b) {
    return a.Timestamp < b.Timestamp || (a.Timestamp == b.Timestamp && group_rank(a.Kind) < group_rank(b.Kind));
  });
  return out;
}

std::string describe(const BusRecord& r) {
  char head[96];
  std::snprintf(head, sizeof head, "%a id=%x ", r.Timestamp, r.ID);
  char tail[160];
  switch (r.Kind) {
    case CAN_DataFrame:
    case CAN_RemoteFrame:
    case CAN_ErrorFrame: {
      const CanTail& c = r.Can;
      const char* kind = r.Kind == CAN_DataFrame ? "data" : r.Kind == CAN_RemoteFrame ? "remote" : "error";
      std::snprintf(tail, sizeof tail, "%s ide=%u dir=%u edl=%u brs=%u esi=%u ch=%u dlc=%u len=%llu type=%d%s ", kind,
                    c.IDE, c.Dir, c.EDL, c.BRS, c.ESI, c.BusChannel, c.DLC,
                    static_cast<unsigned long long>(r.DataLength), c.ErrorType, c.Remote != 0 ? " rtr" : "");
      return head + std::string(tail) + hex(c.DataBytes, std::min<std::uint64_t>(r.DataLength, 64));
    }
    case LIN_Frame:
      std::snprintf(tail, sizeof tail, "lin ch=%u dir=%u rdbc=%u len=%llu ", r.Lin.BusChannel, r.Lin.Dir,
                    r.Lin.ReceivedDataByteCount, static_cast<unsigned long long>(r.DataLength));
      return head + std::string(tail) + hex(r.Lin.DataBytes, std::min<std::uint64_t>(r.DataLength, 8));
    default:
      return head + std::string("kind ") + std::to_string(r.Kind);
  }
}

std::vector<std::string> describe(const std::vector<BusRecord>& records) {
  std::vector<std::string> out;
  out.reserve(records.size());
  for (const BusRecord& r : records) out.push_back(describe(r));
  return out;
}

std::vector<std::string> describe_us(const std::vector<BusRecord>& records) {
  std::vector<std::string> out;
  out.reserve(records.size());
  for (const BusRecord& r : records) {
    const std::string d = describe(r);
    out.push_back(std::to_string(micros_of(r.Timestamp)) + d.substr(d.find(' ')));
  }
  return out;
}

std::uint64_t file_u64(const std::string& bytes, std::uint64_t offset) {
  std::uint64_t v = 0;
  if (offset + 8 <= bytes.size()) std::memcpy(&v, bytes.data() + offset, 8);
  return v;
}

void set_file_u64(std::string& bytes, std::uint64_t offset, std::uint64_t value) {
  if (offset + 8 <= bytes.size()) std::memcpy(bytes.data() + offset, &value, 8);
}

std::string text_at(const std::string& bytes, std::uint64_t offset) {
  if (offset == 0 || offset + 24 > bytes.size()) return {};
  std::uint64_t length = file_u64(bytes, offset + 8);
  std::uint64_t start = offset + 24 + 8 * file_u64(bytes, offset + 16);
  if (start > offset + length || offset + length > bytes.size()) return {};
  std::string text = bytes.substr(start, offset + length - start);
  return text.substr(0, text.find('\0'));
}

std::uint64_t link_at(std::uint64_t block, std::uint64_t index) { return block + 24 + 8 * index; }

std::uint64_t data_of(const std::string& bytes, std::uint64_t block) { return block + 24 + 8 * file_u64(bytes, block + 16); }

std::vector<std::uint64_t> data_groups(const std::string& bytes) {
  std::vector<std::uint64_t> out;
  for (std::uint64_t dg = file_u64(bytes, link_at(64, 0)); dg != 0 && out.size() < 100; dg = file_u64(bytes, link_at(dg, 0))) {
    out.push_back(dg);
  }
  return out;
}

std::uint64_t channel_group_of(const std::string& bytes, std::uint64_t dg) { return file_u64(bytes, link_at(dg, 1)); }

std::uint64_t channel_named(const std::string& bytes, const std::string& name) {
  std::vector<std::string> problems;
  for (const auto& [at, b] : walk_blocks(bytes, problems)) {
    if (b.id == "##CN" && b.links.size() > 2 && text_at(bytes, b.links[2]) == name) return at;
  }
  return 0;
}

std::map<std::uint64_t, WalkedBlock> walk_blocks(const std::string& bytes, std::vector<std::string>& problems) {
  std::map<std::uint64_t, WalkedBlock> blocks;
  std::vector<std::uint64_t> todo = {64};
  auto problem = [&](std::uint64_t at, const std::string& what) { problems.push_back(std::to_string(at) + ": " + what); };
  while (!todo.empty()) {
    std::uint64_t at = todo.back();
    todo.pop_back();
    if (at == 0 || blocks.count(at) != 0) continue;
    if (at % 8 != 0) problem(at, "not 8-byte aligned");
    if (at < 64 || at + 24 > bytes.size()) {
      problem(at, "outside the file");
      continue;
    }
    WalkedBlock b;
    b.id = bytes.substr(at, 4);
    b.length = file_u64(bytes, at + 8);
    std::uint64_t links = file_u64(bytes, at + 16);
    if (b.id.compare(0, 2, "##") != 0) problem(at, "no block id");
    if (b.length < 24 || (b.length - 24) / 8 < links) {
      problem(at, "length " + std::to_string(b.length) + " shorter than its " + std::to_string(links) + " links");
      continue;
    }
    if (at + b.length > bytes.size()) {
      problem(at, "reaches past the end of the file");
      continue;
    }
    for (std::uint64_t i = 0; i < links; ++i) {
      b.links.push_back(file_u64(bytes, at + 24 + 8 * i));
      todo.push_back(b.links.back());
    }
    blocks[at] = b;
  }
  std::uint64_t end = 64;
  for (const auto& [at, b] : blocks) {
    if (at < end) problem(at, "overlaps the block before it");
    end = at + b.length;
  }
  return blocks;
}

// One JSON object per frame, in the order given (time order); times in whole microseconds.
std::string frames_json(const std::vector<BusRecord>& records) {
  std::string out = "{\"frames\": [\n";
  char line[512];
  for (std::size_t i = 0; i < records.size(); ++i) {
    const BusRecord& r = records[i];
    const long long us = static_cast<long long>(micros_of(r.Timestamp));
    if (r.Kind == LIN_Frame) {
      std::snprintf(
          line, sizeof line,
          "{\"kind\": \"lin\", \"us\": %lld, \"id\": %u, \"ch\": %u, \"dir\": %u, \"rdbc\": %u, \"data\": \"%s\"}", us,
          r.ID, r.Lin.BusChannel, r.Lin.Dir, r.Lin.ReceivedDataByteCount, hex(r.Lin.DataBytes, r.DataLength).c_str());
    } else {
      const CanTail& c = r.Can;
      const char* kind = r.Kind == CAN_RemoteFrame ? "remote" : r.Kind == CAN_ErrorFrame ? "error" : "data";
      std::snprintf(line, sizeof line,
                    "{\"kind\": \"%s\", \"us\": %lld, \"id\": %u, \"ext\": %u, \"dir\": %u, \"ch\": %u, \"dlc\": %u, "
                    "\"edl\": %u, \"brs\": %u, \"esi\": %u, \"type\": %d, \"data\": \"%s\"}",
                    kind, us, r.ID, c.IDE, c.Dir, c.BusChannel, c.DLC, c.EDL, c.BRS, c.ESI, c.ErrorType,
                    hex(c.DataBytes, r.Kind == CAN_RemoteFrame ? 0 : r.DataLength).c_str());
    }
    out += line;
    out += i + 1 < records.size() ? ",\n" : "\n";
  }
  return out + "]}\n";
}

}  // namespace quarn::test
