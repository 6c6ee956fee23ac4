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

  // Where the stream believes the file stands: 0 at open, moved by reads, writes and seeks.
  std::int64_t position() const { return position_; }
  // How many seeks reached the C library (tests check the no-op seek shortcut with it).
  std::int64_t library_seeks() const { return library_seeks_; }

 private:
  friend std::unique_ptr<FileStream> file_stream_open(const char* path, int mode);
  static constexpr std::size_t kWriteBuffer = std::size_t{1} << 16;

  std::FILE* file_;
  char* write_buffer_ = nullptr;  // the FILE's buffer in write mode; outlives it
  FileStreamMode mode_;
  std::int64_t position_ = 0;
  std::int64_t library_seeks_ = 0;
};

// Opens the NUL-terminated path in the given mode (0 read, 1 write, 2 read and write). Null for
// a null path, an unknown mode (no file is touched), a file that cannot be opened, or no memory.
// Prints nothing: the caller reports.
std::unique_ptr<FileStream> file_stream_open(const char* path, int mode);

}  // namespace quarn
