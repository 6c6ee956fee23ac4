#include "batch/progress_fan_in.h"

#include <algorithm>
#include <cstring>

namespace quarn {

ProgressFanIn::ProgressFanIn(ProgressObserver& display, int workers) : display_(display), workers_(workers) {
  for (int i = 0; i < workers; ++i) {
    slots_[i].fan_in = this;
    slots_[i].index = i;
  }
}

void ProgressFanIn::started(int i, StrView path) {
  std::lock_guard<std::mutex> guard(mutex_);
  Slot& s = slots_[i];
  s.active = true;
  s.in_hand_records = s.in_hand_bytes = 0;
  s.name_length = std::min(static_cast<std::size_t>(path.length), kNameRoom);
  std::memcpy(s.name, path.data, s.name_length);
  shown_ = i;
  show();
}

void ProgressFanIn::advanced(int i, std::int64_t records, std::int64_t bytes) {
  std::lock_guard<std::mutex> guard(mutex_);
  slots_[i].in_hand_records = records;
  slots_[i].in_hand_bytes = bytes > 0 ? bytes : 0;
  advance();
}

void ProgressFanIn::finished(int i, bool converted, std::int64_t records, std::int64_t bytes) {
  std::lock_guard<std::mutex> guard(mutex_);
  Slot& s = slots_[i];
  s.active = false;
  s.in_hand_records = s.in_hand_bytes = 0;
  display_.file_finished(converted, records, bytes);
  if (shown_ == i) {
    shown_ = -1;
    for (int k = 0; k < workers_; ++k) {
      if (slots_[k].active) shown_ = k;
    }
  }
  if (shown_ >= 0) show();
}

void ProgressFanIn::show() {
  const Slot& s = slots_[shown_];
  display_.file_started(StrView{s.name, static_cast<std::int64_t>(s.name_length)});
  advance();
}

void ProgressFanIn::advance() {
  std::int64_t records = 0;
  std::int64_t bytes = 0;
  for (int k = 0; k < workers_; ++k) {
    records += slots_[k].in_hand_records;
    bytes += slots_[k].in_hand_bytes;
  }
  display_.file_advanced(records, bytes);
}

}  // namespace quarn
