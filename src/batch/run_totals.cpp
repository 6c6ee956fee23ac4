#include "batch/run_totals.h"

#include <cstdio>

#include "batch/exit_status.h"
#include "logging/report.h"

namespace quarn {

void run_totals_add(RunTotals* totals, int status, const LogCounts& counts) {
  if (totals == nullptr) return;
  totals->logs += 1;
  if (status == kStatusOk) {
    totals->converted += 1;
  } else {
    totals->failed += 1;
  }
  if (counts.records > 0) totals->frames += static_cast<std::uint64_t>(counts.records);
  if (counts.stray_lines > 0) totals->stray_lines += static_cast<std::uint64_t>(counts.stray_lines);
  if (counts.stepped_back > 0) totals->stepped_back += static_cast<std::uint64_t>(counts.stepped_back);
}

void run_totals_pass_over(RunTotals* totals) {
  if (totals != nullptr) totals->other_shards += 1;
}

void run_totals_report(const RunTotals& totals) {
  // One line, whatever the counts: the optional parts are formatted into it first.
  char stepped[48] = "";
  char strays[40] = "";
  if (totals.stepped_back > 0) {
    std::snprintf(stepped, sizeof stepped, ", %llu frames stepping back",
                  static_cast<unsigned long long>(totals.stepped_back));
  }
  if (totals.stray_lines > 0) {
    std::snprintf(strays, sizeof strays, ", %llu stray lines", static_cast<unsigned long long>(totals.stray_lines));
  }
  report(LogLevel::Info, "Converted %d of %d logs, %llu frames, %d failed%s%s", totals.converted, totals.logs,
         static_cast<unsigned long long>(totals.frames), totals.failed, stepped, strays);
}

void run_totals_merge(RunTotals& into, const RunTotals& part) {
  into.logs += part.logs;
  into.converted += part.converted;
  into.failed += part.failed;
  into.frames += part.frames;
  into.stray_lines += part.stray_lines;
  into.stepped_back += part.stepped_back;
  into.other_shards += part.other_shards;
}

}  // namespace quarn
