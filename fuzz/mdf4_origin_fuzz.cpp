// The test that tells quarn's own earlier MDF4 trace of a log from a recording, over arbitrary
// bytes: the file under a trace's name is untrusted. Whatever the bytes, it must end without
// touching memory it does not own, read no more than the few small pieces it needs wherever the
// links point, and say yes only for a file that names quarn as its writer.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "mdf4/mdf4_origin.h"
#include "support/memory_stream.h"

namespace {

// Counts what is read through it.
class CountingStream final : public quarn::Stream {
 public:
  explicit CountingStream(quarn::Stream& inner) : inner_(inner) {}
  std::int64_t read(void* dst, std::uint64_t n) override {
    std::int64_t r = quarn::stream_read(inner_, dst, n);
    if (r > 0) bytes_read += static_cast<std::uint64_t>(r);
    return r;
  }
  std::int64_t tell() override { return quarn::stream_tell(inner_); }
  std::int64_t seek(std::int64_t offset, int origin) override { return quarn::stream_seek(inner_, offset, origin); }

  std::uint64_t bytes_read = 0;

 private:
  quarn::Stream& inner_;
};

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "mdf4_origin fuzz: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // A plain name, and one whose every character XML escapes.
  static const char* const kNames[] = {"trip.txt", "a<&>\"b.txt"};
  for (const char* name : kNames) {
    quarn::test::MemoryStream memory(data, size);
    CountingStream stream(memory);
    const bool ours = quarn::mdf4_is_trace_of(stream, quarn::sv(name));
    // The identification block, the header's links and the comment's header, and the expected
    // text: at most six bytes a character once escaped, and its frame.
    const std::uint64_t bound = 64 + 24 + 6 * 8 + 24 + 16 + 6 * std::strlen(name) + 5;
    if (stream.bytes_read > bound) fail("read more than the test needs");
    if (ours && (size < 24 || std::memcmp(data, "MDF     ", 8) != 0 || std::memcmp(data + 16, "quarn   ", 8) != 0)) {
      fail("took a file of another writer for quarn's");
    }
  }
  return 0;
}
