#include "support/faulty_fs.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "base/platform.h"

namespace quarn::test {
namespace {

class FaultyStream final : public Stream {
 public:
  FaultyStream(std::unique_ptr<Stream> disk, const StreamFaults& faults, int& syncs, std::int64_t& bytes_read)
      : inner(std::move(disk)), faults_(faults), syncs_(syncs), bytes_read_(bytes_read) {}

  std::int64_t read(void* dst, std::uint64_t n) override {
    std::int64_t got = read_inner(dst, n);
    if (got > 0) bytes_read_ += got;
    return got;
  }

  std::int64_t read_inner(void* dst, std::uint64_t n) {
    ++reads_;
    if (faults_.fail_read_from_call > 0 && reads_ >= faults_.fail_read_from_call) return -1;
    if (faults_.truncate_at >= 0) {
      std::int64_t left = faults_.truncate_at - stream_tell(*inner);
      if (left <= 0) return 0;
      n = std::min<std::uint64_t>(n, static_cast<std::uint64_t>(left));
    }
    if (faults_.read_limit < 0) return stream_read(*inner, dst, n);
    std::int64_t left = faults_.read_limit - stream_tell(*inner);
    if (left <= 0) return -1;
    return stream_read(*inner, dst, std::min<std::uint64_t>(n, static_cast<std::uint64_t>(left)));
  }

  std::int64_t write(const void* src, std::uint64_t n) override {
    if (faults_.write_limit < 0) return stream_write(*inner, src, n);
    std::int64_t left = std::max<std::int64_t>(0, faults_.write_limit - written_);
    std::uint64_t k = std::min<std::uint64_t>(n, static_cast<std::uint64_t>(left));
    std::int64_t put = k > 0 ? stream_write(*inner, src, k) : 0;
    if (put > 0) written_ += put;
    if (put < static_cast<std::int64_t>(n)) errno = ENOSPC;  // as a full disk leaves it
    return put;
  }

  std::int64_t tell() override { return stream_tell(*inner); }
  std::int64_t seek(std::int64_t offset, int origin) override { return stream_seek(*inner, offset, origin); }

  int close() override {
    int r = stream_close(inner);
    return faults_.fail_close ? -1 : r;
  }

  bool sync() override {
    ++syncs_;
    return !faults_.fail_sync && inner && inner->sync();
  }

  std::unique_ptr<Stream> inner;

 private:
  StreamFaults faults_;
  int& syncs_;
  std::int64_t& bytes_read_;
  std::int64_t written_ = 0;
  int reads_ = 0;
};

void copy_path(char (&out)[kPlatformPathMax + 1], StrView path) {
  std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(path.length), sizeof out - 1);
  if (n > 0) std::memcpy(out, path.data, n);
  out[n] = '\0';
}

// What the disk leaves pending when the system refuses `call` on `path` for want of permission.
// Returns false, for the refusing operation to return.
bool refuse(const char* call, StrView path, StrView target = StrView{}) {
  static thread_local PlatformFailure failure;
  failure.call = call;
  failure.error = EACCES;
  copy_path(failure.path, path);
  copy_path(failure.target, target);
  platform_set_failure(failure);
  return false;
}

bool contains(StrView path, const std::string& text) {
  return !text.empty() && std::string(path.data, static_cast<std::size_t>(path.length)).find(text) != std::string::npos;
}

bool ends_with(StrView path, const std::string& text) {
  std::size_t n = static_cast<std::size_t>(path.length);
  return !text.empty() && n >= text.size() && std::string(path.data, n).compare(n - text.size(), text.size(), text) == 0;
}

}  // namespace

FaultyFileSystem::FaultyFileSystem(std::unique_ptr<FileSystem> disk)
    : FileSystem(dynstr_view(disk->root)), disk_(std::move(disk)) {}

bool FaultyFileSystem::stat(StrView path, PathInfo& out) {
  if (ends_with(path, fail_stat_ending)) return refuse("stat", path);
  return disk_->stat(path, out);
}

bool FaultyFileSystem::list(StrView folder, DirListing& out) {
  if (refuse_list) return refuse("opendir", folder);
  return disk_->list(folder, out);
}

bool FaultyFileSystem::make_dir(StrView path) {
  made_dirs.emplace_back(path.data, static_cast<std::size_t>(path.length));
  if (refuse_make_dir) return refuse("mkdir", path);
  return disk_->make_dir(path);
}

bool FaultyFileSystem::remove(StrView path) {
  removed.emplace_back(path.data, static_cast<std::size_t>(path.length));
  if (refuse_remove || contains(path, refuse_remove_containing)) return refuse("remove", path);
  return disk_->remove(path);
}

std::unique_ptr<Stream> FaultyFileSystem::open(StrView path, std::uint32_t flags) {
  opened.emplace_back(path.data, static_cast<std::size_t>(path.length));
  if (contains(path, refuse_open_containing)) {
    refuse("open", path);
    return nullptr;
  }
  // The wrapper first, as the disk's open makes its stream before the file: an open that fails
  // for want of memory must leave no file behind.
  const StreamFaults& faults = (flags & FS_WRITE) != 0 ? write_faults : read_faults;
  std::unique_ptr<FaultyStream> stream(new (std::nothrow) FaultyStream(nullptr, faults, syncs, bytes_read));
  if (!stream) return nullptr;
  stream->inner = disk_->open(path, flags);
  if (!stream->inner) return nullptr;
  return stream;
}

bool FaultyFileSystem::rename(StrView from, StrView to) {
  renamed.emplace_back(to.data, static_cast<std::size_t>(to.length));
  if (refuse_rename) return refuse("rename", from, to);
  return disk_->rename(from, to);
}

bool FaultyFileSystem::sync_folder(StrView path) {
  ++folder_syncs;
  if (fail_sync_folder) return refuse("fsync", path);
  return disk_->sync_folder(path);
}

std::unique_ptr<FaultyFileSystem> faulty_fs_create(const std::string& root) {
  std::unique_ptr<FileSystem> disk = disk_fs_create(sv(root.c_str()));
  if (!disk) return nullptr;
  return std::unique_ptr<FaultyFileSystem>(new (std::nothrow) FaultyFileSystem(std::move(disk)));
}

}  // namespace quarn::test
