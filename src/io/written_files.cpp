#include "io/written_files.h"

#include <cstring>

#include "base/memory.h"
#include "io/path_names.h"

namespace quarn {
namespace {

// Names that name one file are one entry: on a platform that ignores letter case, "B.asc" and
// "b.asc" are one, and so are the Greek names of one word in capitals and small letters.
bool same(const char* stored, StrView s) {
  return path_equal(StrView{stored, static_cast<std::int64_t>(std::strlen(stored))}, s);
}

// The slot holding `s`, or the empty slot where it would go.
std::size_t find_slot(char** slots, std::size_t capacity, StrView s) {
  std::size_t mask = capacity - 1;
  std::size_t i = static_cast<std::size_t>(path_hash(s)) & mask;
  while (slots[i] != nullptr && !same(slots[i], s)) i = (i + 1) & mask;
  return i;
}

}  // namespace

WrittenFiles::~WrittenFiles() {
  for (std::size_t i = 0; i < capacity_; ++i) mem_free(slots_[i]);
  mem_free(slots_);
}

bool WrittenFiles::contains(StrView full_path) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (capacity_ == 0) return false;
  return slots_[find_slot(slots_, capacity_, full_path)] != nullptr;
}

bool WrittenFiles::grow() {
  std::size_t capacity = capacity_ == 0 ? 64 : capacity_ * 2;
  char** slots = static_cast<char**>(mem_calloc(capacity * sizeof(char*)));
  if (slots == nullptr) return false;
  for (std::size_t i = 0; i < capacity_; ++i) {
    if (slots_[i] == nullptr) continue;
    StrView s{slots_[i], static_cast<std::int64_t>(std::strlen(slots_[i]))};
    slots[find_slot(slots, capacity, s)] = slots_[i];
  }
  mem_free(slots_);
  slots_ = slots;
  capacity_ = capacity;
  return true;
}

bool WrittenFiles::add(StrView full_path) {
  std::lock_guard<std::mutex> lock(mutex_);
  // At most half full, so that probes stay short.
  if ((count_ + 1) * 2 > capacity_ && !grow()) return false;
  std::size_t i = find_slot(slots_, capacity_, full_path);
  if (slots_[i] != nullptr) return true;
  char* copy = static_cast<char*>(mem_alloc(static_cast<std::size_t>(full_path.length) + 1));
  if (copy == nullptr) return false;
  std::memcpy(copy, full_path.data, static_cast<std::size_t>(full_path.length));
  copy[full_path.length] = '\0';
  slots_[i] = copy;
  ++count_;
  return true;
}

}  // namespace quarn
