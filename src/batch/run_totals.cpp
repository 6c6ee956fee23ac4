#include "batch/run_totals.h"

#include "batch/converter.h"
#include "logging/report.h"

namespace quarn {

void run_totals_add(RunTotals* totals, int status, std::int64_t frames, std::int64_t stray_lines) {
  if (totals == nullptr) return;
  totals->logs += 1;
  if (status == kStatusOk) {
    totals->converted += 1;
  } else {
    totals->failed += 1;
  }
  if (frames > 0) totals->frames += static_cast<std::uint64_t>(frames);
  if (stray_lines > 0) totals->stray_lines += static_cast<std::uint64_t>(stray_lines);
}

void run_totals_report(const RunTotals& totals) {
  const unsigned long long frames = totals.frames;
  const unsigned long long strays = totals.stray_lines;
  if (strays == 0) {
    report(LogLevel::Info, "Converted %d of %d logs, %llu frames, %d failed", totals.converted, totals.logs, frames,
           totals.failed);
  } else {
    report(LogLevel::Info, "Converted %d of %d logs, %llu frames, %d failed, %llu stray lines", totals.converted,
           totals.logs, frames, totals.failed, strays);
  }
}

void run_totals_merge(RunTotals& into, const RunTotals& part) {
  into.logs += part.logs;
  into.converted += part.converted;
  into.failed += part.failed;
  into.frames += part.frames;
  into.stray_lines += part.stray_lines;
}

}  // namespace quarn
