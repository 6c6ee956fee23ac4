#pragma once

#include <cstddef>
#include <cstdint>

#include "base/str_view.h"

namespace quarn {

// One part of a run split over N processes: the logs of shard `index` of `count`.
struct Shard {
  int index = 0;
  int count = 0;  // 0: no split, every log is this run's
};

// The form every --shard value takes, for the message that refuses another.
inline constexpr char kShardForms[] = "K/N with 0 <= K < N, auto or auto/N";

// A --shard value: "K/N" (0 <= K < N, decimal digits only), "auto", or "auto/N". For "K/N" fills
// `shard`; for the two auto forms sets `automatic` and leaves the count in shard.count (0 for
// "auto"). False for anything else ("3/2", "0/0", "a/b", "-1/4", "1/4/2").
bool shard_parse(const char* text, Shard& shard, bool& automatic);

// Reads one environment variable into `buffer`; false when it is not set (platform_environment,
// or a table of the caller's in tests).
using EnvironmentLookup = bool (*)(const char* name, char* buffer, std::size_t capacity);

// Resolves --shard=auto (`given_count` 0) or --shard=auto/N from what a job scheduler hands its
// task, the first that is set of: an array task's id, minimum, step and count; an indexed job's
// completion index; a batch array job's index (the last two need a count from auto/N). False with
// a message in `message` (capacity `message_size`) when none is set, a value is malformed, the
// array is no plain range, or the counts disagree.
bool shard_resolve_auto(int given_count, EnvironmentLookup lookup, Shard& shard, char* message,
                        std::size_t message_size);

// The shard, 0 to count-1, of the log whose traces have the base path `base` (relative to the
// run's root, without a suffix). Names that could take one trace on any platform share it: ASCII
// letters count without their case, every character beyond ASCII counts as one and the same
// (never finer than any platform's folding, so a pair that one platform takes for one name is
// never split), and trailing "_LIN" pieces are taken off, since "B" writes "B_LIN.asc" too. The
// same bytes give the same shard on every machine and platform.
int shard_of(StrView base, int count);

}  // namespace quarn
