#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>

#include "base/str_view.h"

namespace quarn {

// The files one run has put in place, by full path, so that a later log whose trace would land on
// the same path (B.TXT and B.txt in one folder both make B.asc) fails instead of replacing the
// first log's trace, whose input -d may already have removed. Safe to share between threads.
class WrittenFiles {
 public:
  WrittenFiles() = default;
  ~WrittenFiles();
  WrittenFiles(const WrittenFiles&) = delete;
  WrittenFiles& operator=(const WrittenFiles&) = delete;

  bool contains(StrView full_path);
  // Notes a path; false when memory runs out (the path is then not noted).
  [[nodiscard]] bool add(StrView full_path);

 private:
  bool grow();

  std::mutex mutex_;
  char** slots_ = nullptr;    // open addressing; each a NUL-terminated copy, or null
  std::size_t capacity_ = 0;  // a power of two, or 0
  std::size_t count_ = 0;
};

}  // namespace quarn
