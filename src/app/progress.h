#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "base/memory.h"
#include "base/str_view.h"
#include "batch/log_context.h"

namespace quarn {

// The one live status line on a terminal while a run converts:
//
//   3 converted, 1 failed, 1250000 frames, 41.9 MB, 12.3 MB/s  logs/day1/trip.txt
//
// (files converted, files failed when any, frames read, megabytes of input read, throughput,
// the file in hand). It is drawn when the first file starts, then at most every kRedrawInterval
// at the points where the conversion loop reports, always shorter than the terminal is wide, and
// taken away (carriage return, clear to end of line) before every diagnostic line and at the
// end, so that what stays on the screen is exactly what a run without it prints.
class TerminalProgress final : public ProgressObserver, public HeapObject {
 public:
  // What the status line needs of the outside world; the platform's by default, a test's own.
  struct Terminal {
    std::int64_t (*now_ns)();                    // a clock that never goes back
    int (*columns)();                            // the terminal's width; 0 or less when unknown
    void (*write)(const char* bytes, std::size_t n);  // one unbuffered write to the terminal
  };
  static Terminal platform_terminal();

  static constexpr std::int64_t kRedrawInterval = 250'000'000;  // ns: four times a second
  static constexpr int kFallbackColumns = 80;

  explicit TerminalProgress(const Terminal& terminal);

  void file_started(StrView input_path) override;
  void file_advanced(std::int64_t records, std::int64_t bytes) override;
  void file_finished(bool converted, std::int64_t records, std::int64_t bytes) override;

  // Takes the status line off the screen when it is there; nothing otherwise.
  void erase();
  // Whether a status line is on the screen now.
  bool visible() const { return visible_; }

  // Lays out the status line for a terminal `columns` wide into `out` (room for `capacity`
  // bytes) and returns its length, which is below `columns` (and 0 when nothing fits). Control
  // bytes of the file name show as '?'; a name too long for the line loses its front to "...".
  std::size_t format_line(char* out, std::size_t capacity, int columns) const;

 private:
  // Redraws when the first line is still to come or the last is kRedrawInterval old.
  void maybe_draw();
  void draw(std::int64_t now);

  Terminal terminal_;
  std::int64_t start_ns_;
  std::int64_t last_draw_ns_ = 0;
  bool drawn_once_ = false;
  bool visible_ = false;
  std::int64_t converted_ = 0;
  std::int64_t failed_ = 0;
  std::int64_t done_records_ = 0;  // of the files finished
  std::int64_t done_bytes_ = 0;
  std::int64_t file_records_ = 0;  // of the file in hand
  std::int64_t file_bytes_ = 0;
  StrView file_{};                 // the file in hand; empty between files
};

// The status line of a run, when there is to be one: standard error is a terminal and
// --non-interactive was not given. It is then already set to get out of the way of diagnostic
// lines. Null otherwise, and when memory runs out (the run goes on without it).
std::unique_ptr<TerminalProgress> progress_start(const RunOptions& options);

// progress_start's last step, for any terminal: a status line on `terminal`, set to get out of
// the way of diagnostic lines. Null when memory runs out.
std::unique_ptr<TerminalProgress> progress_attach(const TerminalProgress::Terminal& terminal);

// Takes the status line off the screen for good and releases it (null allowed).
void progress_stop(std::unique_ptr<TerminalProgress>& progress);

// Takes the status line off the screen from inside a signal handler: one write, no locks. Nothing
// when no line is shown.
void progress_erase_from_signal_handler();

}  // namespace quarn
