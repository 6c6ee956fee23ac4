#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "io/file_system.h"
#include "io/stream.h"

namespace quarn::test {

// What the streams opened through a FaultyFileSystem do wrong.
struct StreamFaults {
  // Writes come up short once this many bytes have been written in total; -1: never.
  std::int64_t write_limit = -1;
  // Reads fail (-1) from this offset of the data on, as at a bad sector; -1: never.
  std::int64_t read_limit = -1;
  // Reads find the end of the data at this offset, as when the file was cut short after it was
  // opened; -1: never.
  std::int64_t truncate_at = -1;
  // The read calls from this one on (1 for the first) fail (-1); 0: never.
  int fail_read_from_call = 0;
  // Close releases the file, as fclose does even when it fails, and then reports failure.
  bool fail_close = false;
  bool fail_sync = false;
};

// A file system over a real disk one, with the same root, that fails on purpose. Every operation
// reaches the disk unless a fault says otherwise, so what a test finds on disk afterwards is what
// the code under test left there. A refused operation leaves pending what the disk's failed call
// would have (see PlatformFailure): the call, the full path and EACCES, "Permission denied".
// Stream faults leave nothing pending, as the C library's reads and writes do not; a short write
// leaves errno at ENOSPC, as a full disk does.
class FaultyFileSystem final : public FileSystem {
 public:
  explicit FaultyFileSystem(std::unique_ptr<FileSystem> disk);

  bool stat(StrView path, PathInfo& out) override;
  bool list(StrView folder, DirListing& out) override;
  bool make_dir(StrView path) override;
  bool remove(StrView path) override;
  std::unique_ptr<Stream> open(StrView path, std::uint32_t flags) override;
  bool rename(StrView from, StrView to) override;
  bool sync_folder(StrView path) override;

  // Opening a path that contains this text fails; empty: never.
  std::string refuse_open_containing;
  // Querying a path that ends in this text fails (as for a path that cannot be examined); empty: never.
  std::string fail_stat_ending;
  bool refuse_make_dir = false;
  bool refuse_list = false;  // as for a folder that cannot be read
  bool refuse_rename = false;
  bool refuse_remove = false;
  // Removing a path that contains this text fails; empty: never.
  std::string refuse_remove_containing;
  bool fail_sync_folder = false;
  StreamFaults read_faults;   // streams opened for reading
  StreamFaults write_faults;  // streams opened for writing

  // What was asked of it, as full paths.
  std::vector<std::string> opened;
  std::vector<std::string> removed;
  std::vector<std::string> renamed;  // the targets
  std::vector<std::string> made_dirs;
  int syncs = 0;         // stream syncs
  std::int64_t bytes_read = 0;  // by all streams
  int folder_syncs = 0;

 private:
  std::unique_ptr<FileSystem> disk_;
};

// A FaultyFileSystem over a disk file system rooted at `root`; null when the root is no folder.
std::unique_ptr<FaultyFileSystem> faulty_fs_create(const std::string& root);

}  // namespace quarn::test
