#pragma once

#include <cstddef>
#include <cstdint>

#include "base/platform.h"
#include "base/printf_format.h"

namespace quarn {

// Higher is more severe. The program reports at Info (the closing count of a run), Warning, Error
// and Fatal; Debug lines explain failed system calls (see report_line).
enum class LogLevel : int { Verbose = 1, Debug = 2, Info = 3, Warning = 4, Error = 5, Fatal = 6 };

// A report at level L is written when log_threshold <= L. It is kThresholdUnapplied (everything
// passes) until the command line has been applied; no verbosity maps to it.
inline constexpr std::int32_t kThresholdUnapplied = 0;
extern std::int32_t log_threshold;
void set_log_threshold(std::int32_t threshold);

// Writes one diagnostic line to standard error in a single unbuffered write:
//   "MM-DD HH:MM:SS.mmm PPPPP TTTTT L message\n"
// (local time, process and thread id right-aligned in five columns, level letter). The text is
// cut to 510 bytes; the line break is always there. Never fails, allocates nothing.
// Call it through report(), which tests the threshold first.
//
// A report at Error or Fatal takes this thread's pending failed system call, if any (see
// PlatformFailure), and when the run's verbosity admits Debug follows its line with one more:
//   "D open /data/logs_out/d/a.asc: Permission denied"
// (the call, the full path, the system's reason). Before the verbosity is applied the failure is
// taken all the same but not shown: a report made while the command line is parsed cannot know
// whether Debug lines are wanted.
void report_line(LogLevel level, const char* format, ...) QUARN_PRINTF(2, 3);

// The level test comes before the arguments are evaluated, so a suppressed report costs one
// comparison and no formatting.
#define report(level, ...)                                                                   \
  do {                                                                                       \
    if (::quarn::log_threshold <= static_cast<int>(level)) ::quarn::report_line(level, __VA_ARGS__); \
  } while (0)

// Lays out the line prefix into `out` (room for at least 64 bytes) and returns its length:
// 33 characters when both ids have at most five characters.
std::size_t format_log_prefix(char* out, const LocalClock& clock, std::int32_t process_id,
                              std::int32_t thread_id, LogLevel level);

// Lines held back instead of written, so that work done on several threads at once can report in
// the order it would have reported in one after another: each piece of work holds its lines, and
// they are written when its turn comes.
struct HeldLines {
  char* data = nullptr;
  std::size_t size = 0;
  std::size_t capacity = 0;
  // Called when the lines would pass kHeldLinesLimit (or cannot grow): it returns once the
  // holder may write, having written what it held and stopped holding (hold_lines(nullptr)), or
  // having made room. The line is then written (or held) as usual.
  void (*on_full)(void* context) = nullptr;
  void* context = nullptr;
};

// The most a piece of work holds back, so that a log with a warning on every line cannot make
// memory grow with it.
inline constexpr std::size_t kHeldLinesLimit = std::size_t{64} << 10;

// From now on this thread's lines go to `held`; null writes them as they come again.
void hold_lines(HeldLines* held);
HeldLines* held_lines();
// Writes the held lines to standard error at once (the observer first) and empties them.
void write_held_lines(HeldLines& held);
// Frees the lines' memory.
void release_held_lines(HeldLines& held);

// Where this thread's diagnostic lines are also handed, as written (past the threshold), without
// their prefix: level and text. A run report gathers each log's lines so. Null: nowhere.
using LineTap = void (*)(void* context, LogLevel level, const char* text, std::size_t length);
void tap_lines(LineTap tap, void* context);

// Observer called just before each diagnostic line is written (a terminal status line uses it to
// get out of the way). Null removes it.
using LogWriteObserver = void (*)(void* context);
void set_log_write_observer(LogWriteObserver observer, void* context);
// The observer now set (null when none), so that one can be put in front of it for a while.
void get_log_write_observer(LogWriteObserver& observer, void*& context);

}  // namespace quarn
