#pragma once

#include <cstdint>
#include <memory>

#include "base/dyn_string.h"
#include "base/memory.h"
#include "base/str_view.h"
#include "io/path_kind.h"
#include "io/stream.h"

namespace quarn {

struct DirListing;

// Access flags of fs_open. Higher bits are not examined: inputs are opened with 5, outputs with 6.
inline constexpr std::uint32_t FS_READ = 1;
inline constexpr std::uint32_t FS_WRITE = 2;
// A bit every caller has always passed beside the access it asks for; no file system examines it.
inline constexpr std::uint32_t FS_CALLER_BIT = 4;
inline constexpr std::uint32_t FS_INPUT_ACCESS = FS_READ | FS_CALLER_BIT;
inline constexpr std::uint32_t FS_OUTPUT_ACCESS = FS_WRITE | FS_CALLER_BIT;

// A rooted path service. The operations take full paths (root already joined); callers use the
// fs_ calls on root-relative paths. The defaults are what a file system without that operation
// yields. Nothing here prints: callers report.
class FileSystem : public HeapObject {
 public:
  explicit FileSystem(StrView root);
  virtual ~FileSystem() = default;

  // True when the answer was obtained (Missing included); false leaves `out` untouched.
  virtual bool stat(StrView /*path*/, PathInfo& /*out*/) { return false; }
  // Adds the files and folders of one folder; leaves the listing as it was when it cannot be read.
  // False when the folder could not be read in full (not at all, or an entry could not be kept).
  virtual bool list(StrView /*folder*/, DirListing& /*out*/) { return false; }
  virtual bool make_dir(StrView /*path*/) { return false; }
  virtual bool remove(StrView /*path*/) { return false; }
  virtual std::unique_ptr<Stream> open(StrView /*path*/, std::uint32_t /*flags*/) { return nullptr; }
  // Replaces `to` by `from` in one step.
  virtual bool rename(StrView /*from*/, StrView /*to*/) { return false; }
  // Makes a folder's entries (files created, renamed or removed in it) durable.
  virtual bool sync_folder(StrView /*path*/) { return false; }

  DynString root;  // as given at creation; may be empty, may or may not end in "/"
};

// (Re)sets the root; false for a null file system.
bool fs_init_base(FileSystem* fs, StrView root);

// The disk file system's stat of a full path, for callers that have no file system at hand:
// true with kind Missing when nothing of that name exists; false, leaving `out` untouched, when
// the path cannot be examined (no permission, a link loop, a name too long).
bool disk_stat(StrView full_path, PathInfo& out);

// A file system on the disk, rooted at an existing folder; null when the root is missing, is
// not a folder, cannot be examined, or memory runs out.
std::unique_ptr<FileSystem> disk_fs_create(StrView root);

// The root joined to a relative path: root, "/" when both are non-empty, then the path.
// Replaces the content of `out`. False (and `out` empty) when memory runs out: a path missing
// its root must never reach the disk.
[[nodiscard]] bool fs_full_path(const FileSystem& fs, StrView path, DynString& out);

// The root-relative calls.
std::unique_ptr<Stream> fs_open(FileSystem* fs, StrView path, std::uint32_t flags);
bool fs_remove(FileSystem* fs, StrView path);
bool fs_stat(FileSystem* fs, StrView path, PathInfo& out);
bool fs_list(FileSystem* fs, StrView folder, DirListing& out);
// These two need no memory: the paths are joined in storage of their own.
bool fs_rename(FileSystem* fs, StrView from, StrView to);
bool fs_sync_folder(FileSystem* fs, StrView folder);
// Creates every folder along `path` (relative to the file system's root). True when all exist.
bool fs_make_dirs(FileSystem* fs, StrView path);
// Makes sure the one folder `path` exists, creating it when missing.
bool fs_ensure_dir(FileSystem* fs, StrView path);

// Appends the full path to `out` (not cleared first); appends nothing for the path "..".
void fs_join(FileSystem* fs, StrView path, DynString& out);

}  // namespace quarn
