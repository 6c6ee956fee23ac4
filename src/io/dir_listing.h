#pragma once

#include <array>
#include <cstdint>

#include "base/dyn_string.h"
#include "base/str_view.h"
#include "io/path_kind.h"

namespace quarn {

class FileSystem;

struct DirEntry {
  DynString name;  // the bare name, without the folder
  PathKind kind = PathKind::File;  // File or Folder, never anything else
  std::int64_t size = 0;           // 0 for a folder
};

struct DirListingNode {
  std::int32_t child[2];  // left (smaller names), right (larger); 0 is none
  std::uint8_t level;     // AA-tree level: 1 for a new node; the sentinel has 0
  DirEntry entry;
};

// The entries of one folder in an AA tree whose nodes link by index, so that the node array can
// move with realloc while the tree grows. Node 0 is a sentinel. All zero is an empty listing;
// the owner releases it with dirlisting_release.
struct DirListing {
  DirListing() = default;
  ~DirListing();
  DirListing(const DirListing&) = delete;
  DirListing& operator=(const DirListing&) = delete;

  DirListingNode* nodes = nullptr;
  std::int32_t root = 0;
  std::int32_t free_head = 0;  // nothing is ever removed, so this stays 0
  std::int32_t used = 0;       // highest node index handed out
  std::int32_t count = 0;
  std::int32_t capacity = 0;   // nodes besides the sentinel
};

struct DirListingInsert {
  std::int32_t root;  // the tree's root after the insertion
  DirEntry* entry;    // the stored entry (existing or new, to be filled); null when out of memory
  bool inserted;
};

// Finds `name` or makes a node for it, by strcmp order of the bytes. The caller stores `root`,
// adds `inserted` to count and, on insertion, moves its entry into `*entry`. Out of memory, or a
// tree deeper than any real folder can make, gives a null entry with the tree unchanged.
DirListingInsert dirlisting_insert(DirListing& listing, const char* name);

// Adds one entry, replacing nothing: a name already present keeps its first entry and the new
// name is released. False when the entry could not be stored.
bool dirlisting_add(DirListing& listing, DirEntry& entry);

// In-order walk (ascending names) with an explicit stack.
struct DirListingCursor {
  std::array<std::int32_t, 96> stack{};
  int depth = 0;
  bool started = false;
};
// The next entry in name order, or null after the last one.
const DirEntry* dirlisting_next(const DirListing& listing, DirListingCursor& cursor);

// Frees every name and the node array; the listing is empty afterwards.
void dirlisting_release(DirListing& listing);

// The disk file system's list operation: every file and folder directly in `folder` (a full
// path), "." and ".." and other kinds left out, as are entries that cannot be examined. Links
// that lead nowhere (dangling, to themselves, round a loop) are left out without more ado: they
// hold no log. A folder that cannot be read adds nothing. False when the folder cannot be read,
// an entry other than such a link cannot be examined, or an entry could not be kept for want of
// memory: the listing may then lack files or folders of the folder. The first such entry's failed
// stat is then the thread's pending failed call (see PlatformFailure), for the caller's report.
bool disk_list_folder(FileSystem& fs, StrView folder, DirListing& out);

}  // namespace quarn
