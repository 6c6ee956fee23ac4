#include "batch/named_inputs.h"

#include <algorithm>

#include "base/memory.h"
#include "io/path_names.h"

namespace quarn {
namespace {

bool has_identity(const PathInfo& info) { return info.device != 0 || info.inode != 0; }

}  // namespace

NamedInputs::~NamedInputs() { mem_free(ids_); }

void NamedInputs::add(const PathInfo& info, StrView full_path) {
  if (!has_identity(info)) {
    DynString copy;
    dynstr_from(copy, full_path);
    if (dynstr_length(copy) != full_path.length || !dynstr_list_push(paths_, copy)) incomplete_ = true;
    return;
  }
  if (count_ == capacity_) {
    std::size_t capacity = capacity_ == 0 ? 16 : capacity_ * 2;
    auto* grown = static_cast<Identity*>(mem_realloc(ids_, capacity * sizeof(Identity)));
    if (grown == nullptr) {
      incomplete_ = true;
      return;
    }
    ids_ = grown;
    capacity_ = capacity;
  }
  ids_[count_++] = Identity{info.device, info.inode};
}

void NamedInputs::seal() {
  std::sort(ids_, ids_ + count_, [](const Identity& a, const Identity& b) {
    return a.device != b.device ? a.device < b.device : a.inode < b.inode;
  });
}

bool NamedInputs::contains(const PathInfo& info, StrView full_path) const {
  if (incomplete_) return true;
  if (has_identity(info)) {
    const Identity key{info.device, info.inode};
    return std::binary_search(ids_, ids_ + count_, key, [](const Identity& a, const Identity& b) {
      return a.device != b.device ? a.device < b.device : a.inode < b.inode;
    });
  }
  for (std::int64_t i = 0; i < paths_.count; ++i) {
    if (path_equal(dynstr_view(paths_.items[i]), full_path)) return true;
  }
  return false;
}

}  // namespace quarn
