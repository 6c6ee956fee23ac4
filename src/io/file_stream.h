#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>

#include "io/stream.h"

namespace quarn {

enum class FileStreamMode : int {
  Read = 0,       // "rb": read, tell, seek
  Write = 1,      // "wb", creating or truncating: write, tell, seek
  ReadWrite = 2,  // "r+b": an existing file, not truncated
};

// A stream over a C library FILE with 64-bit offsets. Open it with file_stream_open.
class FileStream final : public Stream {
 public:
  FileStream(std::FILE* file, FileStreamMode mode) : file_(file), mode_(mode) {}
  ~FileStream() override;

  std::int64_t read(void* dst, std::uint64_t n) override;
  std::int64_t write(const void* src, std::uint64_t n) override;
  std::int64_t tell() override;
  std::int64_t seek(std::int64_t offset, int origin) override;
  int close() override;
  bool sync() override;

 private:
  friend struct FileStreamProbe;  // tests look at the two counters below
  friend std::unique_ptr<FileStream> file_stream_open(const char* path, int mode);
  static constexpr std::size_t kWriteBuffer = std::size_t{1} << 16;

  std::FILE* file_;
  char* write_buffer_ = nullptr;  // the FILE's buffer in write mode; outlives it
  FileStreamMode mode_;
  std::int64_t position_ = 0;       // where the stream believes the file stands
  std::int64_t library_seeks_ = 0;  // seeks that reached the C library (not the no-op ones)
  enum class Direction { None, Read, Write };
  Direction last_ = Direction::None;  // the last transfer since the last seek
  void turn_to(Direction next);
};

// Opens the NUL-terminated path in the given mode (0 read, 1 write, 2 read and write). Null for
// a null path, an unknown mode (no file is touched), a file that cannot be opened, or no memory.
// Prints nothing: the caller reports.
std::unique_ptr<FileStream> file_stream_open(const char* path, int mode);

}  // namespace quarn
