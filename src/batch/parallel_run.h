#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "base/dyn_string.h"
#include "base/memory.h"
#include "base/str_view.h"
#include "batch/converter.h"
#include "batch/run_totals.h"
#include "io/written_files.h"
#include "logging/report.h"

namespace quarn {

// The most logs converted at once; more would only add threads waiting for the disk.
inline constexpr int kMaxParallelJobs = 256;

// Makes the converter of one worker: trace writers of its own over the run's file systems and
// options. Null when memory runs out.
using ConverterFactory = std::unique_ptr<Converter> (*)(void* context);

// Converts the logs a walk hands it on several threads at once, with the results of converting
// them one after another: each log's diagnostic lines are held back and written when every log
// before it in walk order is done, and a log puts its traces in place (and removes its input)
// only then, so that of two logs writing one trace the first in walk order keeps it. The walk
// runs at most a few logs ahead of the oldest one not done, so memory stays a small multiple of
// one log's.
class ParallelRun : public HeapObject {
 public:
  ~ParallelRun();

  // On the walk's thread: one more log (input relative to the input file system, output base
  // relative to the output one). Waits while the walk is too far ahead.
  void submit(StrView input_path, StrView output_base);

  // On the walk's thread, once the walk is over: waits for every log, writes the walk's last
  // lines, and returns the OR of the logs' statuses.
  int finish();

 private:
  struct Job;
  struct Worker;
  class Gate;
  class ProgressFanIn;
  friend std::unique_ptr<ParallelRun> parallel_run_start(Converter& walker, int jobs, ConverterFactory make,
                                                         void* context, WrittenFiles& written, RunTotals& totals);

  ParallelRun() = default;
  void work(Worker& worker);
  void wait_turn(std::uint64_t seq);
  static void walk_lines_full(void* context);
  static void job_lines_full(void* context);

  Job* jobs_ = nullptr;
  std::uint64_t window_ = 0;
  Worker* workers_ = nullptr;
  int worker_count_ = 0;
  std::unique_ptr<ProgressFanIn> progress_;
  LogWriteObserver outer_observer_ = nullptr;
  void* outer_observer_context_ = nullptr;

  std::mutex mutex_;
  std::condition_variable changed_;
  std::uint64_t submitted_ = 0;  // logs handed over by the walk
  std::uint64_t taken_ = 0;      // of those, the ones a worker took
  std::uint64_t turn_ = 0;       // the oldest log not done; every one before it is done
  bool closing_ = false;
  int status_ = 0;
  HeldLines walk_lines_;  // the walk's own lines since the last log it handed over
  bool finished_ = false;
};

// Starts `jobs` workers (each with a converter from `make`), borrowing the walk's converter for
// its file systems, options and progress display, and the run's written files and totals. Null
// when memory or a thread cannot be had; nothing is left running then.
std::unique_ptr<ParallelRun> parallel_run_start(Converter& walker, int jobs, ConverterFactory make, void* context,
                                                WrittenFiles& written, RunTotals& totals);

}  // namespace quarn
