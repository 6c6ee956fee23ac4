#include "io/file_stream.h"

#include <utility>

#include "base/platform.h"

namespace quarn {

FileStream::~FileStream() {
  // Only reached without a successful close when the owner gave up on the stream; release the
  // FILE so that nothing leaks. A failed close has already forgotten it.
  if (file_ != nullptr) std::fclose(file_);
  mem_free(write_buffer_);  // only after the FILE that used it
}

// C asks for a positioning call between reading and writing the same FILE; glibc does without,
// Windows' C library does not (the write after a read fails).
void FileStream::turn_to(Direction next) {
  if (mode_ == FileStreamMode::ReadWrite && last_ != Direction::None && last_ != next) {
    static_cast<void>(platform_fseek(file_, 0, kSeekCur));
  }
  last_ = next;
}

std::int64_t FileStream::read(void* dst, std::uint64_t n) {
  if (mode_ == FileStreamMode::Write) return kUnsupported;
  turn_to(Direction::Read);
  std::size_t got = std::fread(dst, 1, n, file_);
  position_ += static_cast<std::int64_t>(got);
  return static_cast<std::int64_t>(got);
}

std::int64_t FileStream::write(const void* src, std::uint64_t n) {
  if (mode_ == FileStreamMode::Read) return kUnsupported;
  turn_to(Direction::Write);
  std::size_t put = std::fwrite(src, 1, n, file_);
  position_ += static_cast<std::int64_t>(put);
  return static_cast<std::int64_t>(put);
}

std::int64_t FileStream::tell() { return platform_ftell(file_); }

std::int64_t FileStream::seek(std::int64_t offset, int origin) {
  // The buffered stream seeks before every refill; when reading sequentially the file is already
  // there, so this costs nothing.
  if (origin == kSeekSet && offset == position_) return offset;
  if (origin != kSeekSet && origin != kSeekCur && origin != kSeekEnd) return -1;
  ++library_seeks_;
  int r = platform_fseek(file_, offset, origin);
  if (r != 0) return r;
  last_ = Direction::None;
  position_ = tell();
  return position_;
}

int FileStream::close() {
  // fclose releases the FILE even when it fails, so forget the handle first: the destructor must
  // never close it a second time. A failed close still reports failure.
  std::FILE* f = std::exchange(file_, nullptr);
  if (f == nullptr) return 0;
  int r = std::fclose(f);
  return r == 0 ? 0 : (r < 0 ? r : -1);
}

bool FileStream::sync() {
  if (file_ == nullptr) return false;
  return std::fflush(file_) == 0 && platform_sync_file(file_);
}

std::unique_ptr<FileStream> file_stream_open(const char* path, int mode) {
  if (path == nullptr) return nullptr;
  const char* how;
  switch (mode) {
    case 0: how = "rb"; break;
    case 1: how = "wb"; break;
    case 2: how = "r+b"; break;
    default: return nullptr;
  }
  // The object first: opening for writing creates or truncates the file, so an open that then
  // failed for want of memory would leave a file behind (or an earlier one emptied).
  std::unique_ptr<FileStream> s(new (std::nothrow) FileStream(nullptr, static_cast<FileStreamMode>(mode)));
  if (!s) return nullptr;
  s->file_ = platform_fopen(path, how);
  if (s->file_ == nullptr) return nullptr;
  if (mode == 1) {
    // Traces are written in large blocks: with a buffer of this size a whole small trace leaves
    // in one system call at close, and a large block bypasses the buffer altogether. (The C
    // library's own buffer matches the disk block and splits each block into three writes; it
    // only takes another size along with the storage.)
    s->write_buffer_ = static_cast<char*>(mem_alloc(FileStream::kWriteBuffer));
    if (s->write_buffer_ != nullptr) std::setvbuf(s->file_, s->write_buffer_, _IOFBF, FileStream::kWriteBuffer);
  }
  return s;
}

}  // namespace quarn
