#include "support/faulty_fs.h"

#include <algorithm>
#include <utility>

namespace quarn::test {
namespace {

class FaultyStream final : public Stream {
 public:
  FaultyStream(std::unique_ptr<Stream> inner, const StreamFaults& faults, int& syncs)
      : inner_(std::move(inner)), faults_(faults), syncs_(syncs) {}

  std::int64_t read(void* dst, std::uint64_t n) override {
    if (faults_.read_limit < 0) return stream_read(*inner_, dst, n);
    std::int64_t left = faults_.read_limit - stream_tell(*inner_);
    if (left <= 0) return -1;
    return stream_read(*inner_, dst, std::min<std::uint64_t>(n, static_cast<std::uint64_t>(left)));
  }

  std::int64_t write(const void* src, std::uint64_t n) override {
    if (faults_.write_limit < 0) return stream_write(*inner_, src, n);
    std::int64_t left = std::max<std::int64_t>(0, faults_.write_limit - written_);
    std::uint64_t k = std::min<std::uint64_t>(n, static_cast<std::uint64_t>(left));
    std::int64_t put = k > 0 ? stream_write(*inner_, src, k) : 0;
    if (put > 0) written_ += put;
    return put;
  }

  std::int64_t tell() override { return stream_tell(*inner_); }
  std::int64_t seek(std::int64_t offset, int origin) override { return stream_seek(*inner_, offset, origin); }

  int close() override {
    int r = stream_close(inner_);
    return faults_.fail_close ? -1 : r;
  }

  bool sync() override {
    ++syncs_;
    return !faults_.fail_sync && inner_ && inner_->sync();
  }

 private:
  std::unique_ptr<Stream> inner_;
  StreamFaults faults_;
  int& syncs_;
  std::int64_t written_ = 0;
};

}  // namespace

FaultyFileSystem::FaultyFileSystem(std::unique_ptr<FileSystem> disk)
    : FileSystem(dynstr_view(disk->root)), disk_(std::move(disk)) {}

bool FaultyFileSystem::remove(StrView path) {
  removed.emplace_back(path.data, static_cast<std::size_t>(path.length));
  return !refuse_remove && disk_->remove(path);
}

std::unique_ptr<Stream> FaultyFileSystem::open(StrView path, std::uint32_t flags) {
  opened.emplace_back(path.data, static_cast<std::size_t>(path.length));
  if (!refuse_open_containing.empty() &&
      std::string(path.data, static_cast<std::size_t>(path.length)).find(refuse_open_containing) != std::string::npos) {
    return nullptr;
  }
  std::unique_ptr<Stream> inner = disk_->open(path, flags);
  if (!inner) return nullptr;
  const StreamFaults& faults = (flags & FS_WRITE) != 0 ? write_faults : read_faults;
  return std::unique_ptr<Stream>(new (std::nothrow) FaultyStream(std::move(inner), faults, syncs));
}

bool FaultyFileSystem::rename(StrView from, StrView to) {
  renamed.emplace_back(to.data, static_cast<std::size_t>(to.length));
  return !refuse_rename && disk_->rename(from, to);
}

bool FaultyFileSystem::sync_folder(StrView path) {
  ++folder_syncs;
  return !fail_sync_folder && disk_->sync_folder(path);
}

std::unique_ptr<FaultyFileSystem> faulty_fs_create(const std::string& root) {
  std::unique_ptr<FileSystem> disk = disk_fs_create(sv(root.c_str()));
  if (!disk) return nullptr;
  return std::unique_ptr<FaultyFileSystem>(new (std::nothrow) FaultyFileSystem(std::move(disk)));
}

}  // namespace quarn::test
