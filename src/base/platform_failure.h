#pragma once

// The failed-call record of platform.h, the same on every platform; each platform's file records
// its own calls through these. Nothing else includes this.

#include "base/platform.h"

namespace quarn::platform_detail {

// Called at the start of every call that records: only the latest failure can be pending.
void begin_call();
// Makes the failure of `call` on `path` (and `target`, for a rename) with the errno value `error`
// the pending one of this thread. Needs no memory: paths are cut to fit.
void record_failure(const char* call, const char* path, int error, const char* target = nullptr);

}  // namespace quarn::platform_detail
