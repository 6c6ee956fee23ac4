#include "io/stream.h"

namespace quarn {

std::int64_t stream_read(Stream& s, void* dst, std::uint64_t n) { return s.read(dst, n); }

std::int64_t stream_write(Stream& s, const void* src, std::uint64_t n) { return s.write(src, n); }

std::int64_t stream_tell(Stream& s) { return s.tell(); }

std::int64_t stream_seek(Stream& s, std::int64_t offset, int origin) { return s.seek(offset, origin); }

int stream_close(std::unique_ptr<Stream>& s) {
  if (!s) return 0;
  int r = s->close();
  if (r == 0) s.reset();
  return r;
}

std::int64_t stream_read_fully(Stream& s, void* into, std::uint64_t n) {
  auto* p = static_cast<char*>(into);
  std::uint64_t got = 0;
  while (got < n) {
    std::int64_t r = stream_read(s, p + got, n - got);
    if (r <= 0) break;
    got += static_cast<std::uint64_t>(r);
  }
  return static_cast<std::int64_t>(got);
}

std::int64_t stream_size(Stream* s) {
  if (s == nullptr) return -1;
  std::int64_t saved = s->tell();
  s->seek(0, kSeekEnd);
  std::int64_t size = s->tell();
  s->seek(saved, kSeekSet);
  return size;
}

}  // namespace quarn
