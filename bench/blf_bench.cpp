// The containers of the BLF trace quarn writes of the million-frame benchmark log, each deflated
// by the record coder the writer uses and by libdeflate's and zlib's levels: the sizes and times
// of the README's table of levels, from one run.

#include <benchmark/benchmark.h>
#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "batch/bus_record.h"
#include "bench_log.h"
#include "blf/blf_format.h"
#include "blf/blf_writer.h"
#include "codec/record_deflate.h"
#include "support/memory_sink.h"
#include "support/memory_stream.h"
#include "textlog/text_log_decoder.h"

namespace quarn {
namespace {

// An object's size with its padding, as the writer tells it to the record coder.
std::size_t object_extent(const std::uint8_t* object, std::size_t available) {
  if (available < blf::kBaseHeaderSize) return 0;
  std::uint32_t size;
  std::memcpy(&size, object + 8, 4);
  return size < blf::kBaseHeaderSize ? 0 : std::size_t{size} + size % 4;
}

template <typename T>
T get_at(const std::string& bytes, std::size_t at) {
  T v;
  std::memcpy(&v, bytes.data() + at, sizeof v);
  return v;
}

struct Container {
  std::size_t at = 0;     // where its objects lie in Containers::raw
  std::size_t size = 0;   // their bytes
  std::size_t first = 0;  // where the first object that starts in them starts
  std::string stored;     // the container's data in the file
  bool frames = false;    // deflated; the stored one holds the origin text
};

struct Containers {
  std::string raw;  // every container's objects, one container after another
  std::vector<Container> list;
  std::size_t largest = 0;
  std::int64_t frames = 0;
  std::size_t record_bytes = 0;  // what the record coder makes of the frame containers
  const char* error = nullptr;
};

const std::uint8_t* bytes_of(const std::string& s) { return reinterpret_cast<const std::uint8_t*>(s.data()); }

// Writes the frames and takes the file apart again, so that each coder is given exactly the
// containers the writer filled.
Containers read_containers() {
  Containers c;
  test::MemoryStream log(bench_log(1000000, 1));
  auto decoder = textlog_open(&log);
  auto writer = blf_writer_create();
  test::MemorySink file;
  BusRecord r;
  bool ok = decoder && writer;
  while (ok && textlog_next_record(*decoder, r)) {
    ok = (c.frames > 0 || writer->begin(file, r.Timestamp, sv("bench.txt"))) && writer->add(r);
    ++c.frames;
  }
  if (!ok || !writer->finish()) {
    c.error = "writing the trace failed";
    return c;
  }
  libdeflate_decompressor* inflater = libdeflate_alloc_decompressor();
  std::size_t at = get_at<std::uint32_t>(file.bytes, 4);
  while (c.error == nullptr && at + blf::kBaseHeaderSize + blf::kContainerHeaderSize <= file.bytes.size()) {
    const std::size_t size = get_at<std::uint32_t>(file.bytes, at + 8);
    const std::uint16_t method = get_at<std::uint16_t>(file.bytes, at + 16);
    const std::size_t data = at + blf::kBaseHeaderSize + blf::kContainerHeaderSize;
    Container k{c.raw.size(), get_at<std::uint32_t>(file.bytes, at + 24), 0, {}, method == blf::kZlibDeflate};
    c.raw.resize(k.at + k.size);
    std::size_t got = 0;
    if (size < data - at || at + size > file.bytes.size() ||
        get_at<std::uint32_t>(file.bytes, at + 12) != blf::kLogContainer)
      c.error = "the trace holds an object that is not a container";
    else if (k.stored.assign(file.bytes, data, at + size - data); method == blf::kStored && k.size > k.stored.size())
      c.error = "a stored container is short";
    else if (method == blf::kStored)
      std::memcpy(c.raw.data() + k.at, file.bytes.data() + data, k.size);
    else if (libdeflate_zlib_decompress(inflater, file.bytes.data() + data, at + size - data, c.raw.data() + k.at,
                                        k.size, &got) != LIBDEFLATE_SUCCESS ||
             got != k.size)
      c.error = "a container does not inflate";
    c.list.push_back(k);
    c.largest = std::max(c.largest, k.size);
    at += size + size % 4;
  }
  libdeflate_free_decompressor(inflater);
  // Objects run on from one container into the next: walk them over all the containers' bytes.
  std::size_t next = 0;
  for (Container& k : c.list) {
    while (c.error == nullptr && next < k.at) {
      const std::size_t n = object_extent(bytes_of(c.raw) + next, c.raw.size() - next);
      if (n == 0) c.error = "an object without a size";
      next += n;
    }
    k.first = std::min(next - k.at, k.size);
  }
  std::erase_if(c.list, [](const Container& k) { return !k.frames; });
  if (c.list.empty() && c.error == nullptr) c.error = "the trace holds no frame container";
  if (c.error != nullptr) return c;
  // What the writer stores must come back whole, or its sizes say nothing.
  auto coder = RecordDeflater::create(c.largest);
  std::vector<std::uint8_t> packed(RecordDeflater::bound(c.largest));
  std::string back(c.largest, '\0');
  inflater = libdeflate_alloc_decompressor();
  for (const Container& k : c.list) {
    const std::uint8_t* in = bytes_of(c.raw) + k.at;
    const std::size_t z = coder->compress(in, k.size, k.first, object_extent, packed.data(), packed.size());
    std::size_t got = 0;
    if (z == 0 ||
        libdeflate_zlib_decompress(inflater, packed.data(), z, back.data(), back.size(), &got) != LIBDEFLATE_SUCCESS ||
        got != k.size || std::memcmp(back.data(), in, k.size) != 0) {
      c.error = "a record coder stream does not inflate back to its container";
      break;
    }
    // The very stream the writer stored: each container reaches the coder as it does there.
    if (std::string_view(reinterpret_cast<const char*>(packed.data()), z) != k.stored) {
      c.error = "the record coder's stream differs from the writer's";
      break;
    }
    c.record_bytes += z;
  }
  libdeflate_free_decompressor(inflater);
  return c;
}

const Containers& containers() {
  static const Containers c = read_containers();
  return c;
}

enum class Library : std::uint8_t { Record, Libdeflate, Zlib };
struct Coder {
  const char* name;
  Library library;
  int level;
};
// zlib's 6 is its default, and what python-can's BLF writer asks for.
constexpr Coder kCoders[] = {
    {"record", Library::Record, 0},
    {"libdeflate:1", Library::Libdeflate, 1},
    {"libdeflate:4", Library::Libdeflate, 4},
    {"libdeflate:6", Library::Libdeflate, 6},
    {"libdeflate:9", Library::Libdeflate, 9},
    {"zlib:1", Library::Zlib, 1},
    {"zlib:6", Library::Zlib, 6},
};

// One iteration compresses every frame container once, with the coder kCoders[which].
void BM_BlfContainers(benchmark::State& state, std::size_t which) {
  const Containers& c = containers();
  if (c.error != nullptr) {
    state.SkipWithError(c.error);
    return;
  }
  const Coder& coder = kCoders[which];
  auto record = RecordDeflater::create(c.largest);
  libdeflate_compressor* deflater = libdeflate_alloc_compressor(coder.library == Library::Libdeflate ? coder.level : 1);
  if (!record || deflater == nullptr) {
    libdeflate_free_compressor(deflater);
    state.SkipWithError("no memory for the coder");
    return;
  }
  const std::size_t room =
      std::max({RecordDeflater::bound(c.largest), libdeflate_zlib_compress_bound(deflater, c.largest),
                std::size_t{compressBound(static_cast<uLong>(c.largest))}});
  std::vector<std::uint8_t> out(room);
  std::size_t bytes = 0;
  for (auto _ : state) {
    bytes = 0;
    for (const Container& k : c.list) {
      const std::uint8_t* in = bytes_of(c.raw) + k.at;
      std::size_t z = 0;
      if (coder.library == Library::Record) {
        z = record->compress(in, k.size, k.first, object_extent, out.data(), room);
      } else if (coder.library == Library::Libdeflate) {
        z = libdeflate_zlib_compress(deflater, in, k.size, out.data(), room);
      } else {
        uLongf n = static_cast<uLongf>(room);
        z = compress2(out.data(), &n, in, static_cast<uLong>(k.size), coder.level) == Z_OK ? n : 0;
      }
      if (z == 0) {
        state.SkipWithError("a container did not compress");
        break;
      }
      bytes += z;
    }
    benchmark::DoNotOptimize(bytes);
  }
  libdeflate_free_compressor(deflater);
  state.counters["bytes"] = static_cast<double>(bytes);
  state.counters["bytes_per_frame"] = static_cast<double>(bytes) / static_cast<double>(c.frames);
  state.counters["vs_record"] = static_cast<double>(bytes) / static_cast<double>(c.record_bytes);
  state.counters["containers"] = static_cast<double>(c.list.size());
}

[[maybe_unused]] const bool registered = [] {
  for (std::size_t i = 0; i < std::size(kCoders); ++i) {
    benchmark::RegisterBenchmark((std::string("BM_BlfContainers/") + kCoders[i].name).c_str(), BM_BlfContainers, i)
        ->Unit(benchmark::kMillisecond);
  }
  return true;
}();

}  // namespace
}  // namespace quarn
