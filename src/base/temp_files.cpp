#include "base/temp_files.h"

#include <atomic>
#include <cstring>

#include "base/platform.h"

namespace quarn {
namespace {

enum SlotState : int { kFree = 0, kFilling = 1, kPublished = 2 };

struct Slot {
  std::atomic<int> state{kFree};
  char path[kPlatformPathMax + 1];
};

static_assert(std::atomic<int>::is_always_lock_free, "the signal handler reads the slots without locks");

// Zero-initialised storage: pages nobody publishes into are never touched.
Slot slots[kTempFileSlots];

}  // namespace

int temp_file_publish(StrView full_path) {
  if (full_path.data == nullptr || full_path.length <= 0 || full_path.length > kPlatformPathMax) return -1;
  for (int i = 0; i < kTempFileSlots; ++i) {
    int expected = kFree;
    if (!slots[i].state.compare_exchange_strong(expected, kFilling, std::memory_order_acquire)) continue;
    std::memcpy(slots[i].path, full_path.data, static_cast<std::size_t>(full_path.length));
    slots[i].path[full_path.length] = '\0';
    // Release: a handler that sees the slot published sees the whole path.
    slots[i].state.store(kPublished, std::memory_order_release);
    return i;
  }
  return -1;
}

void temp_file_withdraw(int slot) {
  if (slot < 0 || slot >= kTempFileSlots) return;
  slots[slot].state.store(kFree, std::memory_order_release);
}

void temp_files_remove_all() {
  for (Slot& slot : slots) {
    if (slot.state.load(std::memory_order_acquire) == kPublished) platform_unlink(slot.path);
  }
}

}  // namespace quarn
