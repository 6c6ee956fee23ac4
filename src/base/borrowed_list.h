#pragma once

#include <cstddef>
#include <cstdint>

#include "base/memory.h"

namespace quarn {

// A growable array of pointers to objects that live elsewhere (an arena, say): releasing the
// list releases its storage and never the objects. All zero is empty.
template <typename T>
class BorrowedList {
 public:
  BorrowedList() = default;
  ~BorrowedList() { mem_free(items_); }
  BorrowedList(const BorrowedList&) = delete;
  BorrowedList& operator=(const BorrowedList&) = delete;

  // Appends p, growing by half plus four when full; false (list unchanged) when it cannot grow.
  bool push(T* p) {
    if (count_ == capacity_) {
      std::size_t grown_capacity = count_ * 3 / 2 + 4;
      void* grown = mem_realloc(items_, grown_capacity * sizeof(T*));
      if (grown == nullptr) return false;
      items_ = static_cast<T**>(grown);
      capacity_ = grown_capacity;
    }
    items_[count_++] = p;
    return true;
  }
  // Forgets the pointers and keeps the storage for reuse.
  void clear() { count_ = 0; }

  std::size_t size() const { return count_; }
  bool empty() const { return count_ == 0; }
  T** begin() { return items_; }
  T** end() { return items_ + count_; }
  T* operator[](std::size_t i) const { return items_[i]; }

 private:
  T** items_ = nullptr;
  std::size_t count_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace quarn
