#pragma once

// A file system that keeps its files in memory, for fuzz targets that write thousands of traces a
// second: the disk would make them slow and wear it. Files are shared between the name table and
// the streams that write them, as inodes are, so a rename or a removal while a stream is open
// behaves as on POSIX. Each operation can be told to fail, so that the code under test meets the
// same failures as on a full or failing disk.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <string>

#include "io/file_system.h"
#include "io/stream.h"

namespace quarn::fuzz {

struct MemoryFaults {
  std::int64_t write_limit = -1;  // writes come up short once this many bytes were written in all
  bool fail_open = false;
  bool fail_close = false;        // the file is released all the same, as fclose does
  bool fail_sync = false;
  bool fail_rename = false;
  bool fail_remove = false;
  bool fail_sync_folder = false;
};

class MemoryFileSystem final : public FileSystem {
 public:
  MemoryFileSystem() : FileSystem(StrView{}) {}

  bool stat(StrView path, PathInfo& out) override {
    auto it = files.find(key(path));
    out = it == files.end() ? PathInfo{PathKind::Missing, 0, 0, 0}
                            : PathInfo{PathKind::File, static_cast<std::int64_t>(it->second->size()), 0, 0};
    return true;
  }

  bool remove(StrView path) override { return !faults.fail_remove && files.erase(key(path)) == 1; }

  bool rename(StrView from, StrView to) override {
    auto it = files.find(key(from));
    if (faults.fail_rename || it == files.end()) return false;
    std::shared_ptr<std::string> file = it->second;
    files.erase(it);
    files[key(to)] = std::move(file);
    return true;
  }

  bool sync_folder(StrView /*path*/) override { return !faults.fail_sync_folder; }

  std::unique_ptr<Stream> open(StrView path, std::uint32_t flags) override;

  static std::string key(StrView path) { return std::string(path.data, static_cast<std::size_t>(path.length)); }

  std::map<std::string, std::shared_ptr<std::string>> files;
  MemoryFaults faults;
  std::int64_t written = 0;  // over all streams, for write_limit
};

class MemoryWriteStream final : public Stream {
 public:
  MemoryWriteStream(MemoryFileSystem& fs, std::shared_ptr<std::string> file) : fs_(fs), file_(std::move(file)) {}

  std::int64_t write(const void* src, std::uint64_t n) override {
    std::uint64_t k = n;
    if (fs_.faults.write_limit >= 0) {
      k = static_cast<std::uint64_t>(std::max<std::int64_t>(0, fs_.faults.write_limit - fs_.written));
      k = std::min(k, n);
    }
    file_->append(static_cast<const char*>(src), k);
    fs_.written += static_cast<std::int64_t>(k);
    return static_cast<std::int64_t>(k);
  }
  std::int64_t tell() override { return static_cast<std::int64_t>(file_->size()); }
  int close() override {
    file_.reset();
    return fs_.faults.fail_close ? -1 : 0;
  }
  bool sync() override { return !fs_.faults.fail_sync; }

 private:
  MemoryFileSystem& fs_;
  std::shared_ptr<std::string> file_;
};

// Reads a file as it was when opened.
class MemoryReadStream final : public Stream {
 public:
  explicit MemoryReadStream(std::shared_ptr<std::string> file) : file_(std::move(file)) {}

  std::int64_t read(void* dst, std::uint64_t n) override {
    std::uint64_t k = std::min<std::uint64_t>(n, file_->size() - at_);
    std::memcpy(dst, file_->data() + at_, static_cast<std::size_t>(k));
    at_ += k;
    return static_cast<std::int64_t>(k);
  }
  std::int64_t tell() override { return static_cast<std::int64_t>(at_); }
  // As a file does: the MDF4 reader moves about its input, and asks its size this way.
  std::int64_t seek(std::int64_t offset, int origin) override {
    const std::int64_t base = origin == kSeekCur   ? static_cast<std::int64_t>(at_)
                              : origin == kSeekEnd ? static_cast<std::int64_t>(file_->size())
                                                   : 0;
    if (offset < -base || base + offset > static_cast<std::int64_t>(file_->size())) return -1;
    at_ = static_cast<std::uint64_t>(base + offset);
    return static_cast<std::int64_t>(at_);
  }

 private:
  std::shared_ptr<std::string> file_;
  std::uint64_t at_ = 0;
};

inline std::unique_ptr<Stream> MemoryFileSystem::open(StrView path, std::uint32_t flags) {
  if (faults.fail_open) return nullptr;
  if ((flags & FS_WRITE) == 0) {
    auto it = files.find(key(path));
    if (it == files.end()) return nullptr;
    return std::unique_ptr<Stream>(new (std::nothrow) MemoryReadStream(it->second));
  }
  // As on disk: the stream object first, so that an open that fails leaves no file.
  auto file = std::make_shared<std::string>();
  std::unique_ptr<Stream> stream(new (std::nothrow) MemoryWriteStream(*this, file));
  if (stream) files[key(path)] = std::move(file);
  return stream;
}

}  // namespace quarn::fuzz
