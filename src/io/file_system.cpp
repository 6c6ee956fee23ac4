#include "io/file_system.h"

#include <cerrno>
#include <cstring>

#include "base/platform.h"
#include "io/dir_listing.h"
#include "io/file_stream.h"

namespace quarn {
namespace {

// A NUL-terminated copy for the C library. Paths the system can take at all fit the buffer on the
// stack, so that no disk operation needs memory: the clean-up after a failure (removing a
// temporary file) must still work when memory has run out, and a query must not take a path for
// missing because its copy could not be made. Longer paths, which the system refuses anyway, are
// copied to the heap so that the refusal comes from the system.
struct CPath {
  explicit CPath(StrView v) {
    if (v.length >= 0 && v.length <= kPlatformPathMax) {
      if (v.length > 0) std::memcpy(buffer, v.data, static_cast<std::size_t>(v.length));
      buffer[v.length] = '\0';
      text = buffer;
    } else {
      dynstr_from(heap, v);
      text = dynstr_data(heap);
    }
  }
  CPath(const CPath&) = delete;
  CPath& operator=(const CPath&) = delete;
  const char* c_str() const { return text; }

  char buffer[kPlatformPathMax + 1];
  DynString heap;
  const char* text;
};

}  // namespace

FileSystem::FileSystem(StrView root_path) { fs_init_base(this, root_path); }

bool fs_init_base(FileSystem* fs, StrView root) {
  if (fs == nullptr) return false;
  dynstr_from(fs->root, root);
  return true;
}

bool disk_stat(StrView path, PathInfo& out) {
  CPath p(path);
  PlatformStat st{};
  int err = platform_stat(p.c_str(), st);
  if (err == ENOENT || err == ENOTDIR) {
    // ENOTDIR: a leading part of the path is a file, so nothing of this name can exist. An
    // answer, not a failure: nothing is left pending for a later report to show.
    platform_clear_failure();
    out = PathInfo{PathKind::Missing, 0, 0, 0};
    return true;
  }
  if (err != 0) return false;
  switch (st.kind) {
    case PlatformKind::File: out = PathInfo{PathKind::File, st.size, st.device, st.inode, st.modified_ns}; break;
    case PlatformKind::Folder: out = PathInfo{PathKind::Folder, 0, st.device, st.inode}; break;
    case PlatformKind::Other: out = PathInfo{PathKind::Other, 0, st.device, st.inode}; break;
  }
  return true;
}

// The disk table of the file-system service.
class DiskFileSystem final : public FileSystem {
 public:
  using FileSystem::FileSystem;

  bool stat(StrView path, PathInfo& out) override { return disk_stat(path, out); }

  bool list(StrView folder, DirListing& out) override { return disk_list_folder(*this, folder, out); }

  bool make_dir(StrView path) override { return platform_mkdir(CPath(path).c_str()); }

  bool remove(StrView path) override { return platform_remove(CPath(path).c_str()); }

  std::unique_ptr<Stream> open(StrView path, std::uint32_t flags) override {
    int mode;
    bool reading = (flags & FS_READ) != 0;
    bool writing = (flags & FS_WRITE) != 0;
    if (reading && writing) {
      mode = static_cast<int>(FileStreamMode::ReadWrite);
    } else if (reading) {
      mode = static_cast<int>(FileStreamMode::Read);
    } else if (writing) {
      mode = static_cast<int>(FileStreamMode::Write);
    } else {
      return nullptr;
    }
    return file_stream_open(CPath(path).c_str(), mode);
  }

  bool rename(StrView from, StrView to) override {
    return platform_rename(CPath(from).c_str(), CPath(to).c_str());
  }

  bool sync_folder(StrView path) override { return platform_sync_folder(CPath(path).c_str()); }
};

std::unique_ptr<FileSystem> disk_fs_create(StrView root) {
  std::unique_ptr<FileSystem> fs(new (std::nothrow) DiskFileSystem(root));
  if (!fs) return nullptr;
  PathInfo info;
  if (!fs->stat(root, info) || info.kind != PathKind::Folder) return nullptr;
  return fs;
}

bool fs_full_path(const FileSystem& fs, StrView path, DynString& out) {
  dynstr_clear(out);
  std::int64_t root_len = dynstr_length(fs.root);
  // One reservation for the whole path; the appends below then cannot fail.
  if (dynstr_reserve(out, root_len + 1 + path.length) == nullptr) return false;
  if (root_len > 0) dynstr_append(out, dynstr_view(fs.root));
  if (root_len > 0 && path.length > 0) dynstr_append(out, "/", 1);
  dynstr_append(out, path);
  return true;
}

std::unique_ptr<Stream> fs_open(FileSystem* fs, StrView path, std::uint32_t flags) {
  if (fs == nullptr) return nullptr;
  DynString full;
  if (!fs_full_path(*fs, path, full)) return nullptr;
  return fs->open(dynstr_view(full), flags);
}

bool fs_remove(FileSystem* fs, StrView path) {
  if (fs == nullptr) return false;
  DynString full;
  if (!fs_full_path(*fs, path, full)) return false;
  return fs->remove(dynstr_view(full));
}

bool fs_stat(FileSystem* fs, StrView path, PathInfo& out) {
  if (fs == nullptr) return false;
  DynString full;
  if (!fs_full_path(*fs, path, full)) return false;
  return fs->stat(dynstr_view(full), out);
}

bool fs_list(FileSystem* fs, StrView folder, DirListing& out) {
  if (fs == nullptr) return false;
  DynString full;
  if (!fs_full_path(*fs, folder, full)) return false;
  return fs->list(dynstr_view(full), out);
}

namespace {

// The root joined to a relative path in caller-provided storage, for the calls that must work
// when memory has run out (putting a finished trace in place, making it durable). False when the
// whole path would not fit, in which case the system would refuse it anyway.
bool join_in_place(const FileSystem& fs, StrView path, char* buffer, std::int64_t capacity, StrView& out) {
  StrView root = dynstr_view(fs.root);
  std::int64_t slash = root.length > 0 && path.length > 0 ? 1 : 0;
  std::int64_t n = root.length + slash + path.length;
  if (n >= capacity) return false;
  if (root.length > 0) std::memcpy(buffer, root.data, static_cast<std::size_t>(root.length));
  if (slash != 0) buffer[root.length] = '/';
  if (path.length > 0) std::memcpy(buffer + root.length + slash, path.data, static_cast<std::size_t>(path.length));
  buffer[n] = '\0';
  out = StrView{buffer, n};
  return true;
}

constexpr std::int64_t kJoinCapacity = kPlatformPathMax + 2;  // one byte to tell "too long" apart

}  // namespace

bool fs_rename(FileSystem* fs, StrView from, StrView to) {
  if (fs == nullptr) return false;
  char from_buffer[kJoinCapacity];
  char to_buffer[kJoinCapacity];
  StrView full_from;
  StrView full_to;
  if (!join_in_place(*fs, from, from_buffer, kJoinCapacity, full_from) ||
      !join_in_place(*fs, to, to_buffer, kJoinCapacity, full_to)) {
    return false;
  }
  return fs->rename(full_from, full_to);
}

bool fs_sync_folder(FileSystem* fs, StrView folder) {
  if (fs == nullptr) return false;
  char buffer[kJoinCapacity];
  StrView full;
  if (!join_in_place(*fs, folder, buffer, kJoinCapacity, full)) return false;
  return fs->sync_folder(full);
}

bool fs_make_dirs(FileSystem* fs, StrView path) {
  DynString so_far;
  std::int64_t i = 0;
  while (i < path.length) {
    std::int64_t start = i;
    while (i < path.length && path.data[i] != '/') ++i;
    if (i > start) {
      // A piece that cannot be added would make another folder than the one asked for.
      if (dynstr_length(so_far) > 0 && dynstr_append(so_far, "/", 1) == nullptr) return false;
      if (dynstr_append(so_far, path.data + start, i - start) == nullptr) return false;
      if (!fs_ensure_dir(fs, dynstr_view(so_far))) return false;
    }
    ++i;  // past the "/"
  }
  return true;
}

bool fs_ensure_dir(FileSystem* fs, StrView path) {
  PathInfo info;
  if (!fs_stat(fs, path, info)) return false;
  if (info.kind == PathKind::Folder) return true;
  if (info.kind != PathKind::Missing) return false;
  DynString full;
  if (!fs_full_path(*fs, path, full)) return false;
  if (fs->make_dir(dynstr_view(full))) return true;
  // Another process writing into the same tree (a shard beside this one) may have made it between
  // the look and the make: a folder there now is all that was asked for.
  const PlatformFailure* pending = platform_pending_failure();
  if (pending == nullptr || pending->error != EEXIST) return false;
  // The look again must not hide why the make failed when no folder is there after all.
  const PlatformFailure made_failure = *pending;
  PathInfo now;
  if (fs_stat(fs, path, now) && now.kind == PathKind::Folder) {
    platform_clear_failure();
    return true;
  }
  platform_set_failure(made_failure);
  return false;
}

void fs_join(FileSystem* fs, StrView path, DynString& out) {
  if (fs == nullptr) return;
  if (sv_equal(path, sv(".."))) return;
  DynString full;
  if (!fs_full_path(*fs, path, full)) return;
  dynstr_append(out, dynstr_view(full));
}

}  // namespace quarn
