#include "mdf4/mdf4_merge.h"

#include <cstring>
#include <new>
#include <utility>

#include "base/memory.h"

namespace quarn::mdf4 {

FrameMerge::~FrameMerge() {
  for (std::int64_t i = 0; i < count_; ++i) records_.release(cursors_[i]);
  mem_free(cursors_);
  mem_free(heap_);
}

bool FrameMerge::allocate() {
  const auto n = static_cast<std::size_t>(catalog_.count());
  cursors_ = static_cast<Cursor*>(mem_alloc(n * sizeof(Cursor)));
  heap_ = static_cast<std::int64_t*>(mem_alloc(n * sizeof(std::int64_t)));
  if (cursors_ == nullptr || heap_ == nullptr) return false;
  for (std::size_t i = 0; i < n; ++i) new (cursors_ + i) Cursor;
  count_ = catalog_.count();
  return true;
}

bool FrameMerge::next(BusRecord& record) {
  if (error_.failed() || count_ == 0) return false;
  if (!started_) {
    started_ = true;
    if (!begin()) return false;
  } else if (pending_ >= 0) {
    const std::int64_t i = pending_;
    pending_ = -1;
    if (!records_.advance(cursors_[i], catalog_.groups()[i])) return false;
    if (!cursors_[i].live) heap_[0] = heap_[--heap_size_];
    sift_down(0);
  }
  if (heap_size_ == 0) {
    if (!finished_) {
      finished_ = true;
      records_.check_ends(cursors_);
    }
    return false;
  }
  const std::int64_t top = heap_[0];
  std::memcpy(&record, &cursors_[top].head, sizeof record);
  switch (record.Kind) {
    case LIN_Frame: record.DataPointer = record.Lin.DataBytes; break;
    default: record.DataPointer = record.Can.DataBytes; break;
  }
  pending_ = top;
  return true;
}

bool FrameMerge::begin() {
  if (!records_.start(cursors_)) return false;
  for (std::int64_t i = 0; i < count_; ++i) {
    if (!records_.advance(cursors_[i], catalog_.groups()[i])) return false;
    if (cursors_[i].live) heap_[heap_size_++] = i;
  }
  for (std::int64_t at = heap_size_ / 2 - 1; at >= 0; --at) sift_down(at);
  return true;
}

void FrameMerge::sift_down(std::int64_t at) {
  for (;;) {
    std::int64_t least = at;
    const std::int64_t left = 2 * at + 1;
    const std::int64_t right = left + 1;
    if (left < heap_size_ && before(heap_[left], heap_[least])) least = left;
    if (right < heap_size_ && before(heap_[right], heap_[least])) least = right;
    if (least == at) return;
    std::swap(heap_[at], heap_[least]);
    at = least;
  }
}

}  // namespace quarn::mdf4
