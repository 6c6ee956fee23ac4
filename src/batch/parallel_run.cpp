#include "batch/parallel_run.h"

#include "batch/log_conversion.h"
#include "batch/progress_fan_in.h"
#include "batch/run_report.h"
#include "io/path_names.h"

#include <cstring>
#include <new>
#include <system_error>

namespace quarn {

static_assert(kMaxParallelJobs <= ProgressFanIn::kMaxWorkers, "every worker has a slot on the status line");

// One log on its way: handed over by the walk, taken by a worker, done in its turn.
struct ParallelRun::Job {
  DynString input;
  DynString base;
  HeldLines prefix;  // the walk's lines that came before this log
  HeldLines lines;   // this log's own
  LogRecord record;  // its line of the run report, added where its lines are written
  std::uint64_t seq = 0;
  // The latest earlier log whose traces could have this one's names; kNone when there is none.
  std::uint64_t namesake = kNone;
  bool done = false;
  bool writes_directly = false;  // its lines overflowed: written as they come, in its turn
  const InputFormat* format = nullptr;
  int status = 0;

  static constexpr std::uint64_t kNone = ~std::uint64_t{0};
};

// A worker waits here, before its log's traces go in place, for an earlier log whose
// traces could take the same names.
class ParallelRun::Gate final : public NamesakeWait {
 public:
  Gate(ParallelRun& run, std::uint64_t& seq) : run_(run), seq_(seq) {}
  void wait_for_namesake() override { run_.wait_for_namesake(seq_); }

 private:
  ParallelRun& run_;
  std::uint64_t& seq_;
};

struct ParallelRun::Worker {
  ParallelRun* run = nullptr;
  std::unique_ptr<TraceSink> sink;
  LogContext context;     // the walk's, with the worker's own totals, progress slot and namesake wait
  RunTotals totals;       // its logs', added to the run's at the end
  std::uint64_t seq = 0;  // the log in hand
  std::unique_ptr<Gate> gate;
  std::thread thread;
};

namespace {

// The diagnostic lines' observer (the status line getting out of their way) under the display's
// lock, so that it never runs while a worker draws.
struct LockedObserver {
  LogWriteObserver observer;
  void* context;
  std::mutex* lock;
};
LockedObserver locked_observer;

void observe_locked(void* /*context*/) {
  std::lock_guard<std::mutex> guard(*locked_observer.lock);
  locked_observer.observer(locked_observer.context);
}

}  // namespace

ParallelRun::~ParallelRun() {
  if (!finished_) static_cast<void>(finish());
  for (int i = 0; i < worker_count_; ++i) workers_[i].~Worker();
  mem_free(workers_);
  for (std::uint64_t i = 0; i < window_; ++i) {
    release_held_lines(jobs_[i].prefix);
    release_held_lines(jobs_[i].lines);
    jobs_[i].~Job();
  }
  mem_free(jobs_);
  release_held_lines(walk_lines_);
}

namespace {

// Whether two logs' traces could have the same names: a trace of one output base against every
// trace of the other ("B" + "_LIN.asc" is "B_LIN" + ".asc").
bool namesakes(const RunOptions& options, StrView a, StrView b) {
  if (path_equal(a, b)) return true;
  for (int i = 0; i < options.trace_suffix_count; ++i) {
    for (int k = 0; k < options.trace_suffix_count; ++k) {
      if (path_joined_equal(a, sv(options.trace_suffixes[i]), b, sv(options.trace_suffixes[k]))) return true;
    }
  }
  return false;
}

}  // namespace

void ParallelRun::submit(const InputFormat& format, StrView input_path, StrView output_base) {
  std::unique_lock<std::mutex> lock(mutex_);
  while (submitted_ - retired_ >= window_) {
    if (taken_ < submitted_) {
      // No room ahead, but a log waits: the walk takes it.
      std::uint64_t seq = taken_++;
      lock.unlock();
      run_job(workers_[worker_count_ - 1], seq);
      lock.lock();
      continue;
    }
    walk_waiting_ = true;
    room_.wait(lock, [this] { return submitted_ - retired_ < window_; });
    walk_waiting_ = false;
  }
  Job& job = jobs_[submitted_ % window_];
  job.seq = submitted_;
  job.done = false;
  job.writes_directly = false;
  job.status = kStatusOk;
  job.format = &format;
  // The logs still in hand are the only ones that can be written after this one.
  job.namesake = Job::kNone;
  for (std::uint64_t k = retired_; k < submitted_; ++k) {
    const Job& earlier = jobs_[k % window_];
    if (!earlier.done && namesakes(*options_, dynstr_view(earlier.base), output_base)) job.namesake = k;
  }
  lock.unlock();
  // The slot is free: its last log's lines are written, and no worker looks at it until it is
  // handed over.
  dynstr_from(job.input, input_path);
  dynstr_from(job.base, output_base);
  // The walk's lines so far come out just before this log's.
  std::swap(job.prefix, walk_lines_);
  walk_lines_.size = 0;
  walk_lines_.on_full = walk_lines_full;
  walk_lines_.context = this;
  lock.lock();
  ++submitted_;
  bool wake = idle_workers_ > 0;
  // With plenty queued for the workers, the walk converts one itself rather than take a core
  // from them to walk on: it walks on only as fast as the logs are converted anyway.
  std::uint64_t help = submitted_ - taken_ > window_ / 2 ? taken_++ : Job::kNone;
  lock.unlock();
  if (wake) work_ready_.notify_one();
  if (help != Job::kNone) run_job(workers_[worker_count_ - 1], help);
}

void ParallelRun::take_writing(std::unique_lock<std::mutex>& lock, std::uint64_t seq) {
  ++done_waiters_;
  done_.wait(lock, [this, seq] { return retired_ == seq && !writing_; });
  --done_waiters_;
  writing_ = true;
}

void ParallelRun::retire(std::unique_lock<std::mutex>& lock) {
  if (writing_) return;  // the thread at it takes this log too
  writing_ = true;
  while (retired_ < submitted_ && jobs_[retired_ % window_].done) {
    Job& job = jobs_[retired_ % window_];
    lock.unlock();
    write_held_lines(job.prefix);
    write_held_lines(job.lines);
    if (report_ != nullptr) report_->add(job.record);
    lock.lock();
    status_ |= job.status;
    ++retired_;
  }
  writing_ = false;
  if (walk_waiting_ && submitted_ - retired_ <= window_ / 2) room_.notify_one();
  if (done_waiters_ > 0) done_.notify_all();
}

void ParallelRun::walk_lines_full(void* context) {
  // Once every log handed over has written its lines, the walk's lines are next in order.
  auto* run = static_cast<ParallelRun*>(context);
  std::unique_lock<std::mutex> lock(run->mutex_);
  run->take_writing(lock, run->submitted_);
  lock.unlock();
  write_held_lines(run->walk_lines_);
  lock.lock();
  run->writing_ = false;
  if (run->done_waiters_ > 0) run->done_.notify_all();
}

void ParallelRun::job_lines_full(void* context) {
  // Its turn come, a log writes what it holds and every later line at once, keeping the right to
  // write until it is done.
  auto* worker = static_cast<Worker*>(context);
  ParallelRun& run = *worker->run;
  Job& job = run.jobs_[worker->seq % run.window_];
  std::unique_lock<std::mutex> lock(run.mutex_);
  run.take_writing(lock, worker->seq);
  job.writes_directly = true;
  lock.unlock();
  write_held_lines(job.prefix);
  write_held_lines(job.lines);
  hold_lines(nullptr);
}

void ParallelRun::wait_for_namesake(std::uint64_t seq) {
  std::uint64_t namesake = jobs_[seq % window_].namesake;
  if (namesake == Job::kNone) return;
  std::unique_lock<std::mutex> lock(mutex_);
  ++done_waiters_;
  done_.wait(lock, [this, namesake] { return retired_ > namesake || jobs_[namesake % window_].done; });
  --done_waiters_;
}

void ParallelRun::work(Worker& worker) {
  for (;;) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (taken_ == submitted_ && !closing_) {
      ++idle_workers_;
      work_ready_.wait(lock, [this] { return taken_ < submitted_ || closing_; });
      --idle_workers_;
    }
    if (taken_ == submitted_) return;  // closing, with nothing left
    std::uint64_t seq = taken_++;
    lock.unlock();
    run_job(worker, seq);
  }
}

void ParallelRun::run_job(Worker& worker, std::uint64_t seq) {
  Job& job = jobs_[seq % window_];
  worker.seq = seq;
  job.lines.on_full = job_lines_full;
  job.lines.context = &worker;
  HeldLines* outer = held_lines();  // the walk's own, when the walk takes a log itself
  hold_lines(&job.lines);
  StrView input = dynstr_view(job.input);
  if (report_ != nullptr) job.record.begin(input, *job.format);
  int status = convert_log(worker.context, *worker.sink, *job.format, input, dynstr_view(job.base));
  if (status != kStatusOk) {
    report(LogLevel::Error, "Error during conversion of %.*s", sv_len(input), input.data);
  }
  hold_lines(outer);
  if (report_ != nullptr) {
    job.record.end();
    // Its lines went out as they came, in its turn, which it still holds: its line is next.
    if (job.writes_directly) report_->add(job.record);
  }

  std::unique_lock<std::mutex> lock(mutex_);
  job.status = status;
  job.done = true;
  if (job.writes_directly) {
    // It has written its lines, in its turn, and held the right to write since.
    status_ |= job.status;
    ++retired_;
    writing_ = false;
  }
  retire(lock);
}

int ParallelRun::finish() {
  if (finished_) return status_;
  finished_ = true;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    closing_ = true;
    work_ready_.notify_all();
    // The walk is over: it converts what is left beside the workers.
    while (taken_ < submitted_) {
      std::uint64_t seq = taken_++;
      lock.unlock();
      run_job(workers_[worker_count_ - 1], seq);
      lock.lock();
    }
    ++done_waiters_;
    done_.wait(lock, [this] { return retired_ == submitted_ && !writing_; });
    --done_waiters_;
  }
  for (int i = 0; i < worker_count_; ++i) {
    if (workers_[i].thread.joinable()) workers_[i].thread.join();
    if (totals_ != nullptr) run_totals_merge(*totals_, workers_[i].totals);
  }
  if (outer_observer_ != nullptr) set_log_write_observer(outer_observer_, outer_observer_context_);
  hold_lines(nullptr);
  write_held_lines(walk_lines_);
  return status_;
}

std::unique_ptr<ParallelRun> parallel_run_start(const LogContext& walker, int jobs, TraceSinkFactory make,
                                                void* context) {
  if (jobs < 1 || jobs > kMaxParallelJobs || make == nullptr || walker.totals == nullptr) return nullptr;
  std::unique_ptr<ParallelRun> run(new (std::nothrow) ParallelRun);
  if (!run) return nullptr;
  run->finished_ = true;  // until the workers run, there is nothing to wait for
  run->totals_ = walker.totals;
  run->options_ = walker.options;
  run->report_ = walker.report;
  // A few logs ahead of the oldest one not done: enough that no worker waits for work, and that
  // the walk, woken only once half of them are done, seldom sleeps and wakes.
  run->window_ = static_cast<std::uint64_t>(jobs) * 4 + 4;
  run->jobs_ = static_cast<ParallelRun::Job*>(mem_alloc(sizeof(ParallelRun::Job) * run->window_));
  if (run->jobs_ == nullptr) {
    run->window_ = 0;
    return nullptr;
  }
  for (std::uint64_t i = 0; i < run->window_; ++i) new (&run->jobs_[i]) ParallelRun::Job;
  run->workers_ =
      static_cast<ParallelRun::Worker*>(mem_alloc(sizeof(ParallelRun::Worker) * static_cast<std::size_t>(jobs)));
  if (run->workers_ == nullptr) return nullptr;
  for (int i = 0; i < jobs; ++i) {
    ParallelRun::Worker* w = new (&run->workers_[i]) ParallelRun::Worker;
    ++run->worker_count_;
    w->run = run.get();
    w->sink = make(context);
    w->gate.reset(new (std::nothrow) ParallelRun::Gate(*run, w->seq));
    if (!w->sink || !w->gate) return nullptr;
    w->context = walker;
    w->context.progress = nullptr;
    w->context.totals = &w->totals;
    w->context.namesake = w->gate.get();
  }
  if (walker.progress != nullptr) {
    run->progress_.reset(new (std::nothrow) ProgressFanIn(*walker.progress, jobs));
    if (!run->progress_) return nullptr;
    for (int i = 0; i < jobs; ++i) run->workers_[i].context.progress = run->progress_->slot(i);
    get_log_write_observer(run->outer_observer_, run->outer_observer_context_);
    if (run->outer_observer_ != nullptr) {
      locked_observer = LockedObserver{run->outer_observer_, run->outer_observer_context_, &run->progress_->lock()};
      set_log_write_observer(observe_locked, nullptr);
    }
  }
  run->walk_lines_.on_full = ParallelRun::walk_lines_full;
  run->walk_lines_.context = run.get();
  run->finished_ = false;
  // The last worker is the walk itself, between the logs it hands over.
  for (int i = 0; i + 1 < jobs; ++i) {
    ParallelRun::Worker& w = run->workers_[i];
    // A thread the system refuses: the workers started so far are stopped again by finish().
    try {
      w.thread = std::thread([r = run.get(), &w] { r->work(w); });
    } catch (const std::system_error&) {
      return nullptr;
    }
  }
  hold_lines(&run->walk_lines_);
  return run;
}

}  // namespace quarn
