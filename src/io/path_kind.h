#pragma once

#include <cstdint>

namespace quarn {

// What a path names, as a file system's stat and a folder's listing tell it.
enum class PathKind : std::int32_t { Other = 0, File = 1, Folder = 2, Missing = 3 };

struct PathInfo {
  PathKind kind = PathKind::Missing;
  std::int64_t size = 0;  // a file's length; 0 for every other kind
  // Identity of the object, for recognising a folder met twice through links, or a file under
  // another name. Both 0 where the file system knows no identities: such objects are told apart
  // by their paths alone.
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  // A file's last change of contents (nanoseconds since 1970); 0 where the file system keeps none.
  std::int64_t modified_ns = 0;
};

}  // namespace quarn
