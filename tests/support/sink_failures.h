#pragma once

#include <gtest/gtest.h>

#include "support/memory_sink.h"

namespace quarn::test {

// Writes a file once into a sink that fails nothing, then once for each call made on that sink,
// with that call failing: `write(sink, ok)` writes the file, sets `ok` when it was written whole
// and returns the writer; `check_failed(writer)` looks at each writer that failed, which must have.
// Returns the sink that failed nothing, for the counts of its calls.
template <typename Write, typename Check>
MemorySink each_sink_failure(Write write, Check check_failed) {
  MemorySink counting;
  bool ok = false;
  write(counting, ok);
  EXPECT_TRUE(ok);
  for (int rewrite = 0; rewrite < 2; ++rewrite) {
    const int calls = rewrite != 0 ? counting.rewrites : counting.writes;
    for (int k = 1; k <= calls; ++k) {
      SCOPED_TRACE(testing::Message() << (rewrite != 0 ? "rewrite " : "write ") << k);
      MemorySink sink;
      (rewrite != 0 ? sink.fail_rewrite_at : sink.fail_write_at) = k;
      auto writer = write(sink, ok);
      EXPECT_FALSE(ok);
      check_failed(*writer);
    }
  }
  return counting;
}

}  // namespace quarn::test
