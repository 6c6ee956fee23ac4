#include "batch/run_totals.h"

#include "batch/converter.h"
#include "logging/report.h"

namespace quarn {

void run_totals_add(RunTotals* totals, int status, std::int64_t frames) {
  if (totals == nullptr) return;
  totals->logs += 1;
  if (status == kStatusOk) {
    totals->converted += 1;
  } else {
    totals->failed += 1;
  }
  if (frames > 0) totals->frames += static_cast<std::uint64_t>(frames);
}

void run_totals_report(const RunTotals& totals) {
  const unsigned long long frames = totals.frames;
  report(LogLevel::Info, "Converted %d of %d logs, %llu frames, %d failed", totals.converted, totals.logs, frames,
         totals.failed);
}

}  // namespace quarn
