#pragma once

#include <cstdint>

namespace quarn {

// What a run amounted to, for its closing line. convert_inputs owns one for the length of the
// run; the per-file loop adds every log it is handed.
struct RunTotals {
  int logs = 0;                    // the logs handed to the conversion
  int converted = 0;               // of those, the ones converted (status 0)...
  int failed = 0;                  // ...and the ones that failed
  std::uint64_t frames = 0;        // records handed to the traces
  std::uint64_t stray_lines = 0;   // stray lines passed over, in the logs that reported them
  std::uint64_t stepped_back = 0;  // frames skipped for stepping back in time, likewise
  int other_shards = 0;            // logs passed over as another shard's (--shard)
};

// What one log amounted to.
struct LogCounts {
  std::int64_t records = 0;       // handed to the traces
  std::int64_t bytes = 0;         // of the log read, as far as a progress display asked
  std::int64_t stray_lines = 0;   // as reported
  std::int64_t stepped_back = 0;  // as reported
  bool input_removed = false;     // -d removed the log
};

// Adds one log: its status and its counts. Nothing for a null `totals`.
void run_totals_add(RunTotals* totals, int status, const LogCounts& counts);

// Counts one log passed over because it belongs to another shard. Nothing for a null `totals`.
void run_totals_pass_over(RunTotals* totals);

// Adds the totals of a part of the run (one worker's logs) to the run's.
void run_totals_merge(RunTotals& into, const RunTotals& part);

// Reports the run's closing line at Info: "Converted %d of %d logs, %llu frames, %d failed",
// with ", %llu frames stepping back" and ", %llu stray lines" behind it when there were any.
void run_totals_report(const RunTotals& totals);

}  // namespace quarn
