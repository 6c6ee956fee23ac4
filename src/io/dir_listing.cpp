#include "io/dir_listing.h"

#include <cstring>

#include "base/memory.h"
#include "base/platform.h"
#include "io/file_system.h"

namespace quarn {
namespace {

// An AA tree of n < 2^31 nodes is at most 2 log2(n + 1) < 64 levels deep; the path stack has
// room beyond that, and an insertion that would need more is refused rather than overflowing.
constexpr int kMaxDepth = 96;

std::int32_t skew(DirListingNode* nodes, std::int32_t t) {
  std::int32_t l = nodes[t].child[0];
  if (l != 0 && nodes[l].level == nodes[t].level) {
    nodes[t].child[0] = nodes[l].child[1];
    nodes[l].child[1] = t;
    return l;
  }
  return t;
}

std::int32_t split(DirListingNode* nodes, std::int32_t t) {
  std::int32_t r = nodes[t].child[1];
  if (r != 0) {
    std::int32_t rr = nodes[r].child[1];
    if (rr != 0 && nodes[rr].level == nodes[t].level) {
      nodes[t].child[1] = nodes[r].child[0];
      nodes[r].child[0] = t;
      nodes[r].level = static_cast<std::uint8_t>(nodes[r].level + 1);
      return r;
    }
  }
  return t;
}

}  // namespace

DirListing::~DirListing() { dirlisting_release(*this); }

DirListingInsert dirlisting_insert(DirListing& listing, const char* name) {
  std::int32_t path[kMaxDepth];
  int side[kMaxDepth];
  int depth = 0;
  std::int32_t t = listing.root;
  while (t != 0) {
    int c = std::strcmp(dynstr_data(listing.nodes[t].entry.name), name);
    if (c == 0) return DirListingInsert{listing.root, &listing.nodes[t].entry, false};
    if (depth == kMaxDepth) return DirListingInsert{listing.root, nullptr, false};
    path[depth] = t;
    side[depth] = c < 0 ? 1 : 0;
    t = listing.nodes[t].child[side[depth]];
    ++depth;
  }

  std::int32_t n;
  if (listing.free_head != 0) {
    n = listing.free_head;
    listing.free_head = listing.nodes[n].child[1];
  } else {
    if (listing.used == listing.capacity) {
      std::int64_t newcap = static_cast<std::int64_t>(listing.used) * 3 / 2 + 4;
      if (newcap > 0x7ffffffe) return DirListingInsert{listing.root, nullptr, false};
      // The nodes hold plain bytes (DynString included), so realloc may move them.
      void* grown = mem_realloc(listing.nodes, static_cast<std::size_t>(newcap + 1) * sizeof(DirListingNode));
      if (grown == nullptr) return DirListingInsert{listing.root, nullptr, false};
      listing.nodes = static_cast<DirListingNode*>(grown);
      listing.capacity = static_cast<std::int32_t>(newcap);
      std::memset(static_cast<void*>(&listing.nodes[0]), 0, sizeof(DirListingNode));
    }
    n = ++listing.used;
  }
  DirListingNode* nodes = listing.nodes;
  std::memset(static_cast<void*>(&nodes[n]), 0, sizeof(DirListingNode));
  nodes[n].level = 1;

  if (depth == 0) return DirListingInsert{n, &nodes[n].entry, true};

  nodes[path[depth - 1]].child[side[depth - 1]] = n;
  std::int32_t top = listing.root;
  for (int i = depth - 1; i >= 0; --i) {
    std::int32_t sub = split(nodes, skew(nodes, path[i]));
    if (i > 0) {
      nodes[path[i - 1]].child[side[i - 1]] = sub;
    } else {
      top = sub;
    }
  }
  return DirListingInsert{top, &nodes[n].entry, true};
}

bool dirlisting_add(DirListing& listing, DirEntry& entry) {
  DirListingInsert r = dirlisting_insert(listing, dynstr_data(entry.name));
  if (r.entry == nullptr) return false;
  listing.root = r.root;
  if (!r.inserted) return true;
  listing.count += 1;
  r.entry->name = std::move(entry.name);
  r.entry->kind = entry.kind;
  r.entry->size = entry.size;
  return true;
}

const DirEntry* dirlisting_next(const DirListing& listing, DirListingCursor& cursor) {
  auto push_left = [&](std::int32_t t) {
    while (t != 0 && cursor.depth < static_cast<int>(cursor.stack.size())) {
      cursor.stack[static_cast<std::size_t>(cursor.depth++)] = t;
      t = listing.nodes[t].child[0];
    }
  };
  if (!cursor.started) {
    cursor.started = true;
    push_left(listing.root);
  }
  if (cursor.depth == 0) return nullptr;
  std::int32_t t = cursor.stack[static_cast<std::size_t>(--cursor.depth)];
  push_left(listing.nodes[t].child[1]);
  return &listing.nodes[t].entry;
}

void dirlisting_release(DirListing& listing) {
  if (listing.nodes != nullptr) {
    for (std::int32_t i = 1; i <= listing.used; ++i) dynstr_free(listing.nodes[i].entry.name);
    mem_free(listing.nodes);
  }
  listing.nodes = nullptr;
  listing.root = listing.free_head = listing.used = listing.count = listing.capacity = 0;
}

bool disk_list_folder(FileSystem& fs, StrView folder, DirListing& out) {
  // The enumeration covers folder + "/", as the pattern folder + "/*" does elsewhere.
  // A path or name that cannot be had in full (no memory) is never used cut short: the folder
  // would become "/", the top of the disk, and an entry would be examined under its folder's name.
  DynString dir;
  dynstr_from(dir, folder);
  if (dynstr_length(dir) != folder.length || dynstr_append(dir, "/", 1) == nullptr) return false;
  PlatformDir* handle = platform_opendir(dynstr_data(dir));
  if (handle == nullptr) return false;
  bool whole = true;
  DynString full;
  // The first entry that could not be examined: what the caller's report of the incomplete
  // listing explains, though every later entry's stat forgets it.
  bool have_failure = false;
  PlatformFailure first_failure;
  while (const char* name = platform_readdir(handle)) {
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    dynstr_from(full, dynstr_view(dir));
    if (dynstr_length(full) != dynstr_length(dir) || dynstr_append(full, name) == nullptr) {
      whole = false;
      continue;
    }
    PathInfo info;
    if (!fs.stat(dynstr_view(full), info)) {
      // A link that leads nowhere it can be followed (to itself, round a loop) holds no log: it
      // is left out, as a dangling link is. Anything else that cannot be examined (no
      // permission, a name too long) may hide a log, and the listing is not whole.
      if (platform_is_link(dynstr_data(full))) {
        platform_clear_failure();
        continue;
      }
      if (!have_failure) {
        if (const PlatformFailure* f = platform_pending_failure()) {
          first_failure = *f;
          have_failure = true;
        }
      }
      whole = false;
      continue;
    }
    if (info.kind != PathKind::File && info.kind != PathKind::Folder) continue;
    DirEntry entry;
    dynstr_from(entry.name, name);
    if (dynstr_length(entry.name) != static_cast<std::int64_t>(std::strlen(name))) {
      whole = false;
      continue;
    }
    entry.kind = info.kind;
    entry.size = info.size;
    whole = dirlisting_add(out, entry) && whole;
  }
  platform_closedir(handle);
  if (have_failure) platform_set_failure(first_failure);
  return whole;
}

}  // namespace quarn
