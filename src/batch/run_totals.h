#pragma once

#include <cstdint>

namespace quarn {

// What a run amounted to, for its closing line. converter_run owns one for the length of the
// run; the per-file loop adds every log it is handed.
struct RunTotals {
  int logs = 0;                    // the logs handed to the conversion
  int converted = 0;               // of those, the ones converted (status 0)...
  int failed = 0;                  // ...and the ones that failed
  std::uint64_t frames = 0;        // records handed to the converter
  std::uint64_t stray_lines = 0;   // stray lines passed over, in the logs that reported them
};

// Adds one log: its status, the records handed to the converter and the stray lines reported.
// Nothing for a null `totals`.
void run_totals_add(RunTotals* totals, int status, std::int64_t frames, std::int64_t stray_lines);

// Adds the totals of a part of the run (one worker's logs) to the run's.
void run_totals_merge(RunTotals& into, const RunTotals& part);

// Reports the run's closing line at Info: "Converted %d of %d logs, %llu frames, %d failed",
// with ", %llu stray lines" behind it when any were passed over.
void run_totals_report(const RunTotals& totals);

}  // namespace quarn
