#pragma once

#include <cstdint>

#include "io/buffered_stream.h"
#include "io/file_stream.h"

namespace quarn {

// What tests look at inside the streams, kept out of the streams' own headers.
struct FileStreamProbe {
  // Where the stream believes the file stands: 0 at open, moved by reads, writes and seeks.
  static std::int64_t position(const FileStream& s) { return s.position_; }
  // How many seeks reached the C library.
  static std::int64_t library_seeks(const FileStream& s) { return s.library_seeks_; }
};

struct BufferedStreamProbe {
  static std::int64_t capacity(const BufferedStream& s) { return s.capacity_; }
};

}  // namespace quarn
