#include "logging/report.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "base/memory.h"
#include "base/printf_format.h"

namespace quarn {

std::int32_t log_threshold = 0;

namespace {

LogWriteObserver g_observer = nullptr;
void* g_observer_context = nullptr;

// Where this thread's lines go instead of standard error; null: written as they come.
thread_local HeldLines* t_held = nullptr;

// Where this thread's lines are also handed (tap_lines).
thread_local LineTap t_tap = nullptr;
thread_local void* t_tap_context = nullptr;

// Appends to the held lines; false when they would pass their limit or cannot grow.
bool hold(HeldLines& held, const char* bytes, std::size_t n) {
  if (held.size + n > kHeldLinesLimit) return false;
  if (held.size + n > held.capacity) {
    std::size_t capacity = held.capacity == 0 ? 1024 : held.capacity * 2;
    while (capacity < held.size + n) capacity *= 2;
    void* grown = mem_realloc(held.data, capacity);
    if (grown == nullptr) return false;
    held.data = static_cast<char*>(grown);
    held.capacity = capacity;
  }
  std::memcpy(held.data + held.size, bytes, n);
  held.size += n;
  return true;
}

// One line, held back or written.
void emit(const char* bytes, std::size_t n) {
  if (HeldLines* held = t_held) {
    if (hold(*held, bytes, n)) return;
    // Full: the holder makes way (writes what it holds, when its turn has come) and lets go.
    if (held->on_full != nullptr) held->on_full(held->context);
    if (t_held == held && hold(*held, bytes, n)) return;
  }
  if (g_observer != nullptr) g_observer(g_observer_context);
  platform_write_stderr(bytes, n);
}

constexpr std::size_t kLineArea = 512;
constexpr std::size_t kTextRoom = 510;

char level_letter(LogLevel level) {
  switch (level) {
    case LogLevel::Verbose: return 'V';
    case LogLevel::Debug: return 'D';
    case LogLevel::Info: return 'I';
    case LogLevel::Warning: return 'W';
    case LogLevel::Error: return 'E';
    case LogLevel::Fatal: return 'F';
  }
  return '?';
}

// Writes `value` right to left ending just before `end`; returns the new start.
char* put_digits(char* end, unsigned value, int min_digits) {
  int written = 0;
  do {
    *--end = static_cast<char>('0' + value % 10);
    value /= 10;
    ++written;
  } while (value != 0 || written < min_digits);
  return end;
}

// A signed id right-aligned in a field of five; wider values widen the field.
char* put_id(char* end, std::int32_t id) {
  char* start = end;
  bool negative = id < 0;
  unsigned magnitude = negative ? 0u - static_cast<unsigned>(id) : static_cast<unsigned>(id);
  start = put_digits(start, magnitude, 1);
  if (negative) *--start = '-';
  while (end - start < 5) *--start = ' ';
  return start;
}

}  // namespace

void set_log_threshold(std::int32_t threshold) { log_threshold = threshold; }

void set_log_write_observer(LogWriteObserver observer, void* context) {
  g_observer = observer;
  g_observer_context = context;
}

void get_log_write_observer(LogWriteObserver& observer, void*& context) {
  observer = g_observer;
  context = g_observer_context;
}

std::size_t format_log_prefix(char* out, const LocalClock& clock, std::int32_t process_id,
                              std::int32_t thread_id, LogLevel level) {
  // Built right to left in a scratch area, then copied out.
  char scratch[64];
  char* end = scratch + sizeof scratch;
  char* p = end;
  *--p = ' ';
  *--p = level_letter(level);
  *--p = ' ';
  p = put_id(p, thread_id);
  *--p = ' ';
  p = put_id(p, process_id);
  *--p = ' ';
  p = put_digits(p, static_cast<unsigned>(clock.millisecond), 3);
  *--p = '.';
  p = put_digits(p, static_cast<unsigned>(clock.second), 2);
  *--p = ':';
  p = put_digits(p, static_cast<unsigned>(clock.minute), 2);
  *--p = ':';
  p = put_digits(p, static_cast<unsigned>(clock.hour), 2);
  *--p = ' ';
  p = put_digits(p, static_cast<unsigned>(clock.day), 2);
  *--p = '-';
  p = put_digits(p, static_cast<unsigned>(clock.month), 2);
  std::size_t n = static_cast<std::size_t>(end - p);
  std::memcpy(out, p, n);
  return n;
}

namespace {

// Formats and writes one line; see report_line.
void vwrite_line(LogLevel level, const char* format, std::va_list args) {
  char area[kLineArea];
  char* const start = area;
  char* const text_end = area + kTextRoom;
  char* cursor = start;

  LocalClock clock{};
  platform_local_clock(clock);
  cursor += format_log_prefix(cursor, clock, platform_process_id(), platform_thread_id(), level);
  char* const text = cursor;

  // The formatter may put its terminating zero on text_end; the line break overwrites it.
  std::size_t room = static_cast<std::size_t>(text_end - cursor);
  int n = std::vsnprintf(cursor, room + 1, format, args);
  if (n > 0) cursor += static_cast<std::size_t>(n) <= room ? static_cast<std::size_t>(n) : room;

  if (t_tap != nullptr) t_tap(t_tap_context, level, text, static_cast<std::size_t>(cursor - text));
  *cursor = '\n';
  emit(start, static_cast<std::size_t>(cursor - start) + 1);
}

void write_line(LogLevel level, const char* format, ...) QUARN_PRINTF(2, 3);
void write_line(LogLevel level, const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  vwrite_line(level, format, args);
  va_end(args);
}

// A path as a reader wants to see it: a root ending in "/" joined with "/" to what lies below it
// names the same file with one "/" fewer. Cut to the line's room, as the line would cut it.
void tidy_path(const char* path, char (&out)[kLineArea]) {
  std::size_t n = 0;
  for (const char* p = path; *p != '\0' && n + 1 < sizeof out; ++p) {
    if (*p == '/' && n > 0 && out[n - 1] == '/') continue;
    out[n++] = *p;
  }
  out[n] = '\0';
}

// The Debug line of the failed call behind an Error or Fatal report; the failure is taken
// whether or not the line is written, so that it cannot attach to a later report.
void explain_failure() {
  const PlatformFailure* failure = platform_pending_failure();
  if (failure == nullptr) return;
  if (log_threshold != kThresholdUnapplied && log_threshold <= static_cast<int>(LogLevel::Debug)) {
    char reason[128];
    const char* text = platform_error_text(failure->error, reason, sizeof reason);
    char path[kLineArea];
    tidy_path(failure->path, path);
    if (failure->target[0] != '\0') {
      char target[kLineArea];
      tidy_path(failure->target, target);
      write_line(LogLevel::Debug, "%s %s %s: %s", failure->call, path, target, text);
    } else {
      write_line(LogLevel::Debug, "%s %s: %s", failure->call, path, text);
    }
  }
  platform_clear_failure();
}

}  // namespace

void hold_lines(HeldLines* held) { t_held = held; }

void tap_lines(LineTap tap, void* context) {
  t_tap = tap;
  t_tap_context = context;
}

HeldLines* held_lines() { return t_held; }

void write_held_lines(HeldLines& held) {
  if (held.size == 0) return;
  if (g_observer != nullptr) g_observer(g_observer_context);
  platform_write_stderr(held.data, held.size);
  held.size = 0;
}

void release_held_lines(HeldLines& held) {
  mem_free(held.data);
  held.data = nullptr;
  held.size = held.capacity = 0;
}

void report_line(LogLevel level, const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  vwrite_line(level, format, args);
  va_end(args);
  if (level >= LogLevel::Error) explain_failure();
}

}  // namespace quarn
