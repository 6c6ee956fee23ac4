#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>

#include "base/memory.h"
#include "base/str_view.h"
#include "batch/log_context.h"

namespace quarn {

// The one status line for all the logs converted at once: each worker reports to a slot of its
// own, every log in hand is added to the totals, and the name shown is that of the log most
// lately started. Calls come from every worker, and the diagnostic lines' erasing of the line
// from whichever thread writes them, so one lock guards the display.
class ProgressFanIn : public HeapObject {
 public:
  static constexpr int kMaxWorkers = 256;

  // `display` is borrowed and must outlive this; at most kMaxWorkers workers.
  ProgressFanIn(ProgressObserver& display, int workers);

  // What worker i reports to.
  ProgressObserver* slot(int i) { return &slots_[i]; }

  // Held while the display is drawn; whoever else draws on the terminal takes it too.
  std::mutex& lock() { return mutex_; }

 private:
  static constexpr std::size_t kNameRoom = 256;

  struct Slot final : ProgressObserver {
    void file_started(StrView input_path) override { fan_in->started(index, input_path); }
    void file_advanced(std::int64_t records, std::int64_t bytes) override { fan_in->advanced(index, records, bytes); }
    void file_finished(bool converted, std::int64_t records, std::int64_t bytes) override {
      fan_in->finished(index, converted, records, bytes);
    }
    ProgressFanIn* fan_in = nullptr;
    int index = 0;
    bool active = false;
    std::int64_t in_hand_records = 0;
    std::int64_t in_hand_bytes = 0;
    char name[kNameRoom];  // the worker's own copy: the display keeps a view of it
    std::size_t name_length = 0;
  };

  void started(int i, StrView path);
  void advanced(int i, std::int64_t records, std::int64_t bytes);
  void finished(int i, bool converted, std::int64_t records, std::int64_t bytes);
  // Names the shown worker's file, then the sum of every file in hand.
  void show();
  void advance();

  ProgressObserver& display_;
  int workers_;
  int shown_ = -1;
  std::mutex mutex_;
  Slot slots_[kMaxWorkers];
};

}  // namespace quarn
