#pragma once

#include <cstddef>

#include "base/str_view.h"

namespace quarn {

// The temporary files being written, where a handler of a terminating signal can find and remove
// them. The storage is fixed and taken before main runs: publishing needs no memory, and the
// handler reads the slots without locks, so it stays async-signal-safe.

// How many temporary files can be published at once; a file beyond that is written all the same,
// only a signal would leave it behind.
inline constexpr int kTempFileSlots = 256;

// Publishes a full path (a file about to be created) and returns its slot, or -1 when every slot
// is taken or the path is too long. Publish before creating the file, so that no moment exists in
// which the file is there and the handler cannot see it.
int temp_file_publish(StrView full_path);

// Takes the path out again (after the file was renamed into place or removed); -1 is ignored.
void temp_file_withdraw(int slot);

// Removes every published file. Async-signal-safe: only atomic loads and unlink.
void temp_files_remove_all();

}  // namespace quarn
