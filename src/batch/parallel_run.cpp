#include "batch/parallel_run.h"

#include <cstring>
#include <new>
#include <system_error>

namespace quarn {

// One log on its way: handed over by the walk, taken by a worker, done in its turn.
struct ParallelRun::Job {
  DynString input;
  DynString base;
  HeldLines prefix;  // the walk's lines that came before this log
  HeldLines lines;   // this log's own
  std::uint64_t seq = 0;
};

// A worker's converter waits here for its log's turn.
class ParallelRun::Gate final : public TurnGate {
 public:
  Gate(ParallelRun& run, std::uint64_t& seq) : run_(run), seq_(seq) {}
  void wait_turn() override { run_.wait_turn(seq_); }

 private:
  ParallelRun& run_;
  std::uint64_t& seq_;
};

// The one status line for all workers: each worker's file in hand is added to the totals, and
// the name shown is that of the file most lately started. Calls come from every worker, and the
// diagnostic lines' erasing from whichever thread writes them, so one lock guards the display.
class ParallelRun::ProgressFanIn {
 public:
  ProgressFanIn(ProgressObserver& display, int workers) : display_(display), workers_(workers) {
    for (int i = 0; i < workers; ++i) slots_[i].fan_in = this, slots_[i].index = i;
  }

  // What worker i's converter reports to.
  ProgressObserver* slot(int i) { return &slots_[i]; }

  std::mutex& lock() { return mutex_; }

 private:
  static constexpr int kMaxWorkers = kMaxParallelJobs;
  static constexpr std::size_t kNameRoom = 256;

  struct Slot final : ProgressObserver {
    void file_started(StrView input_path) override { fan_in->started(index, input_path); }
    void file_advanced(std::int64_t records, std::int64_t bytes) override { fan_in->advanced(index, records, bytes); }
    void file_finished(bool converted, std::int64_t records, std::int64_t bytes) override {
      fan_in->finished(index, converted, records, bytes);
    }
    ProgressFanIn* fan_in = nullptr;
    int index = 0;
    bool active = false;
    std::int64_t in_hand_records = 0;
    std::int64_t in_hand_bytes = 0;
    char name[kNameRoom];  // the worker's own copy: the display keeps a view of it
    std::size_t name_length = 0;
  };

  void started(int i, StrView path) {
    std::lock_guard<std::mutex> guard(mutex_);
    Slot& s = slots_[i];
    s.active = true;
    s.in_hand_records = s.in_hand_bytes = 0;
    s.name_length = std::min(static_cast<std::size_t>(path.length), kNameRoom);
    std::memcpy(s.name, path.data, s.name_length);
    shown_ = i;
    show();
  }

  void advanced(int i, std::int64_t records, std::int64_t bytes) {
    std::lock_guard<std::mutex> guard(mutex_);
    slots_[i].in_hand_records = records;
    slots_[i].in_hand_bytes = bytes > 0 ? bytes : 0;
    advance();
  }

  void finished(int i, bool converted, std::int64_t records, std::int64_t bytes) {
    std::lock_guard<std::mutex> guard(mutex_);
    Slot& s = slots_[i];
    s.active = false;
    s.in_hand_records = s.in_hand_bytes = 0;
    display_.file_finished(converted, records, bytes);
    if (shown_ == i) {
      shown_ = -1;
      for (int k = 0; k < workers_; ++k) {
        if (slots_[k].active) shown_ = k;
      }
    }
    if (shown_ >= 0) show();
  }

  // Names the shown worker's file, then the sum of every file in hand.
  void show() {
    const Slot& s = slots_[shown_];
    display_.file_started(StrView{s.name, static_cast<std::int64_t>(s.name_length)});
    advance();
  }

  void advance() {
    std::int64_t records = 0;
    std::int64_t bytes = 0;
    for (int k = 0; k < workers_; ++k) {
      records += slots_[k].in_hand_records;
      bytes += slots_[k].in_hand_bytes;
    }
    display_.file_advanced(records, bytes);
  }

  ProgressObserver& display_;
  int workers_;
  int shown_ = -1;
  std::mutex mutex_;
  Slot slots_[kMaxWorkers];
};

struct ParallelRun::Worker {
  ParallelRun* run = nullptr;
  std::unique_ptr<Converter> converter;
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

void ParallelRun::submit(StrView input_path, StrView output_base) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return submitted_ - turn_ < window_; });
  Job& job = jobs_[submitted_ % window_];
  lock.unlock();
  // The slot is free: its last log is done, and no worker looks at it until it is handed over.
  job.seq = submitted_;
  dynstr_from(job.input, input_path);
  dynstr_from(job.base, output_base);
  // The walk's lines so far come out just before this log's.
  std::swap(job.prefix, walk_lines_);
  walk_lines_.size = 0;
  walk_lines_.on_full = walk_lines_full;
  walk_lines_.context = this;
  lock.lock();
  ++submitted_;
  lock.unlock();
  changed_.notify_all();
}

void ParallelRun::walk_lines_full(void* context) {
  // Once every log handed over is done, the walk's lines are next in order.
  auto* run = static_cast<ParallelRun*>(context);
  {
    std::unique_lock<std::mutex> lock(run->mutex_);
    run->changed_.wait(lock, [run] { return run->turn_ == run->submitted_; });
  }
  write_held_lines(run->walk_lines_);
}

void ParallelRun::job_lines_full(void* context) {
  // Its turn come, a log writes what it holds and every later line at once.
  auto* worker = static_cast<Worker*>(context);
  ParallelRun& run = *worker->run;
  run.wait_turn(worker->seq);
  Job& job = run.jobs_[worker->seq % run.window_];
  write_held_lines(job.prefix);
  write_held_lines(job.lines);
  hold_lines(nullptr);
}

void ParallelRun::wait_turn(std::uint64_t seq) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this, seq] { return turn_ == seq; });
}

void ParallelRun::work(Worker& worker) {
  for (;;) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return taken_ < submitted_ || closing_; });
    if (taken_ == submitted_) return;  // closing, with nothing left
    std::uint64_t seq = taken_++;
    lock.unlock();

    Job& job = jobs_[seq % window_];
    worker.seq = seq;
    job.lines.on_full = job_lines_full;
    job.lines.context = &worker;
    hold_lines(&job.lines);
    StrView input = dynstr_view(job.input);
    int status = converter_convert_file(worker.converter.get(), input, dynstr_view(job.base));
    if (status != kStatusOk) {
      report(LogLevel::Error, "Error during conversion of %.*s", sv_len(input), input.data);
    }
    wait_turn(seq);
    // Its turn: the log's lines, after the walk's that came before it.
    hold_lines(nullptr);
    write_held_lines(job.prefix);
    write_held_lines(job.lines);

    lock.lock();
    status_ |= status;
    ++turn_;
    lock.unlock();
    changed_.notify_all();
  }
}

int ParallelRun::finish() {
  if (finished_) return status_;
  finished_ = true;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    closing_ = true;
    changed_.notify_all();
    changed_.wait(lock, [this] { return turn_ == submitted_; });
  }
  for (int i = 0; i < worker_count_; ++i) {
    if (workers_[i].thread.joinable()) workers_[i].thread.join();
  }
  if (outer_observer_ != nullptr) set_log_write_observer(outer_observer_, outer_observer_context_);
  hold_lines(nullptr);
  write_held_lines(walk_lines_);
  return status_;
}

std::unique_ptr<ParallelRun> parallel_run_start(Converter& walker, int jobs, ConverterFactory make, void* context,
                                                WrittenFiles& written, RunTotals& totals) {
  if (jobs < 1 || jobs > kMaxParallelJobs || make == nullptr) return nullptr;
  std::unique_ptr<ParallelRun> run(new (std::nothrow) ParallelRun);
  if (!run) return nullptr;
  run->finished_ = true;  // until the workers run, there is nothing to wait for
  // A few logs ahead of the oldest one not done: enough that no worker waits for work.
  run->window_ = static_cast<std::uint64_t>(jobs) * 2;
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
    w->converter = make(context);
    w->gate.reset(new (std::nothrow) ParallelRun::Gate(*run, w->seq));
    if (!w->converter || !w->gate) return nullptr;
    w->converter->written = &written;
    w->converter->totals = &totals;
    w->converter->turn = w->gate.get();
  }
  if (walker.progress != nullptr) {
    run->progress_.reset(new (std::nothrow) ParallelRun::ProgressFanIn(*walker.progress, jobs));
    if (!run->progress_) return nullptr;
    for (int i = 0; i < jobs; ++i) run->workers_[i].converter->progress = run->progress_->slot(i);
    get_log_write_observer(run->outer_observer_, run->outer_observer_context_);
    if (run->outer_observer_ != nullptr) {
      locked_observer = LockedObserver{run->outer_observer_, run->outer_observer_context_, &run->progress_->lock()};
      set_log_write_observer(observe_locked, nullptr);
    }
  }
  run->walk_lines_.on_full = ParallelRun::walk_lines_full;
  run->walk_lines_.context = run.get();
  run->finished_ = false;
  for (int i = 0; i < jobs; ++i) {
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
