#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "base/dyn_string.h"
#include "base/memory.h"
#include "base/str_view.h"
#include "batch/log_context.h"
#include "batch/run_totals.h"
#include "batch/trace_sink.h"
#include "io/written_files.h"
#include "logging/report.h"

namespace quarn {

class ProgressFanIn;

// The most logs converted at once; more would only add threads waiting for the disk.
inline constexpr int kMaxParallelJobs = 256;

// Makes the sink of one worker: trace writers of its own. Null when memory runs out.
using TraceSinkFactory = std::unique_ptr<TraceSink> (*)(void* context);

// Converts the logs a walk hands it on several threads at once, with the results of converting
// them one after another: each log's diagnostic lines are held back and written when every log
// before it in walk order has written its own, and a log whose traces could have the names of an
// earlier log's still in hand (by the run's trace suffixes: "B" + "_LIN.asc" is "B_LIN" + ".asc") puts them
// in place only once that log is done, so that the first in walk order keeps them. The walk runs
// at most a few logs ahead of the oldest one whose lines are not written, so memory stays a
// small multiple of one log's.
class ParallelRun : public HeapObject {
 public:
  ~ParallelRun();

  // On the walk's thread: one more log of the given format (input relative to the input file
  // system, output base relative to the output one). Waits while the walk is too far ahead.
  void submit(const InputFormat& format, StrView input_path, StrView output_base);

  // On the walk's thread, once the walk is over: waits for every log, writes the walk's last
  // lines, and returns the OR of the logs' statuses.
  int finish();

 private:
  struct Job;
  struct Worker;
  class Gate;
  friend std::unique_ptr<ParallelRun> parallel_run_start(const LogContext& walker, int jobs, TraceSinkFactory make,
                                                         void* context);

  ParallelRun() = default;
  void work(Worker& worker);
  // Converts the log `seq` (taken already) into the worker's sink, on the calling thread.
  void run_job(Worker& worker, std::uint64_t seq);
  // Waits until the earlier log whose traces could have the same names as `seq`'s is done.
  void wait_for_namesake(std::uint64_t seq);
  // With the lock held: writes the lines of every done log whose turn has come, in walk order,
  // unless another thread is at it; `lock` is released while writing.
  void retire(std::unique_lock<std::mutex>& lock);
  // With the lock held: waits until every log before `seq` has written its lines and the right
  // to write is free, then takes it.
  void take_writing(std::unique_lock<std::mutex>& lock, std::uint64_t seq);
  static void walk_lines_full(void* context);
  static void job_lines_full(void* context);

  Job* jobs_ = nullptr;
  std::uint64_t window_ = 0;
  Worker* workers_ = nullptr;
  int worker_count_ = 0;
  RunTotals* totals_ = nullptr;  // borrowed: the run's, where the workers' own add up at the end
  RunReport* report_ = nullptr;  // borrowed from the walk's context; null when none is asked for
  const RunOptions* options_ = nullptr;  // borrowed from the walk's context
  std::unique_ptr<ProgressFanIn> progress_;
  LogWriteObserver outer_observer_ = nullptr;
  void* outer_observer_context_ = nullptr;

  std::mutex mutex_;
  std::condition_variable work_ready_;  // workers wait for logs
  std::condition_variable room_;        // the walk waits for room ahead
  std::condition_variable done_;        // a log is done, or lines were written
  int idle_workers_ = 0;
  bool walk_waiting_ = false;
  int done_waiters_ = 0;
  std::uint64_t submitted_ = 0;  // logs handed over by the walk
  std::uint64_t taken_ = 0;      // of those, the ones a worker took
  std::uint64_t retired_ = 0;    // of those, the ones whose lines are written; all before are too
  bool writing_ = false;         // a thread writes lines now (or a log writes its lines as they come)
  bool closing_ = false;
  int status_ = 0;
  HeldLines walk_lines_;  // the walk's own lines since the last log it handed over
  bool finished_ = false;
};

// Starts `jobs` workers (each with a sink from `make`), lending them the walk's context: its file
// systems, options, progress display, and the run's written files, named inputs and totals (which
// must be set). Null when memory or a thread cannot be had; nothing is left running then.
std::unique_ptr<ParallelRun> parallel_run_start(const LogContext& walker, int jobs, TraceSinkFactory make,
                                                void* context);

}  // namespace quarn
