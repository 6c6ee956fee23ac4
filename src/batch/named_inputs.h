#pragma once

#include <cstddef>
#include <cstdint>

#include "base/dyn_string.h"
#include "base/str_view.h"
#include "io/path_kind.h"

namespace quarn {

// The files a run's command line names. Each is a log the run converts, whatever its name and
// wherever it lies, so no trace of the run may replace one. Known by identity where the file
// system has identities, by full path where it has none. Filled before the first log converts,
// then only read, so the run's threads share it.
class NamedInputs {
 public:
  NamedInputs() = default;
  ~NamedInputs();
  NamedInputs(const NamedInputs&) = delete;
  NamedInputs& operator=(const NamedInputs&) = delete;

  // Notes a named file. When memory runs out the set stays incomplete, and then counts every file
  // as named: refusing a trace is safe, replacing a log is not.
  void add(const PathInfo& info, StrView full_path);
  // Once every file is noted, before the first lookup.
  void seal();
  bool contains(const PathInfo& info, StrView full_path) const;

 private:
  struct Identity {
    std::uint64_t device;
    std::uint64_t inode;
  };
  Identity* ids_ = nullptr;
  std::size_t count_ = 0;
  std::size_t capacity_ = 0;
  DynStringList paths_;  // of the files whose file system knows no identity
  bool incomplete_ = false;
};

}  // namespace quarn
