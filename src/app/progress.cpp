#include "app/progress.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "base/platform.h"
#include "logging/report.h"

namespace quarn {

namespace {

// Back to the start of the line, and "clear to the end of the line": together they erase; a
// draw puts its text between them, so that it also wipes what a longer line before left behind.
constexpr char kReturn = '\r';
constexpr char kClearToEnd[] = "\x1b[K";
constexpr std::size_t kClearLength = sizeof kClearToEnd - 1;
constexpr std::size_t kLineCapacity = 512;  // visible bytes of one status line at most

// Whether a status line is on the screen, for a signal handler, which may read nothing else.
std::atomic<bool> line_on_screen{false};

void on_log_write(void* context) { static_cast<TerminalProgress*>(context)->erase(); }

// A byte of a file name as it may go on the screen: control bytes would move the cursor or
// start an escape sequence, and a line feed in a name would break the line for good.
char shown(char c) {
  unsigned char u = static_cast<unsigned char>(c);
  return u < 0x20 || u == 0x7f ? '?' : c;
}

bool is_utf8_continuation(char c) { return (static_cast<unsigned char>(c) & 0xc0) == 0x80; }

}  // namespace

TerminalProgress::Terminal TerminalProgress::platform_terminal() {
  return Terminal{platform_monotonic_ns, platform_stderr_columns, platform_write_stderr};
}

TerminalProgress::TerminalProgress(const Terminal& terminal) : terminal_(terminal), start_ns_(terminal.now_ns()) {}

void TerminalProgress::file_started(StrView input_path) {
  file_ = input_path;
  file_records_ = 0;
  file_bytes_ = 0;
  maybe_draw();
}

void TerminalProgress::file_advanced(std::int64_t records, std::int64_t bytes) {
  file_records_ = records;
  file_bytes_ = bytes > 0 ? bytes : 0;
  maybe_draw();
}

void TerminalProgress::file_finished(bool converted, std::int64_t records, std::int64_t bytes) {
  // No drawing here: the name is the caller's and goes away with this call. The next file, or
  // the next stride of records, shows the new totals soon enough.
  ++(converted ? converted_ : failed_);
  done_records_ += records;
  done_bytes_ += bytes > 0 ? bytes : 0;
  file_records_ = 0;
  file_bytes_ = 0;
  file_ = StrView{};
}

void TerminalProgress::erase() {
  if (!visible_) return;
  visible_ = false;
  line_on_screen.store(false, std::memory_order_relaxed);
  char erase_line[1 + kClearLength];
  erase_line[0] = kReturn;
  std::memcpy(erase_line + 1, kClearToEnd, kClearLength);
  terminal_.write(erase_line, sizeof erase_line);
}

void TerminalProgress::maybe_draw() {
  std::int64_t now = terminal_.now_ns();
  if (!drawn_once_ || now - last_draw_ns_ >= kRedrawInterval) draw(now);
}

void TerminalProgress::draw(std::int64_t now) {
  drawn_once_ = true;
  last_draw_ns_ = now;
  char buffer[1 + kLineCapacity + kClearLength];
  std::size_t n = format_line(buffer + 1, kLineCapacity, terminal_.columns());
  if (n == 0) {
    erase();
    return;
  }
  buffer[0] = kReturn;
  std::memcpy(buffer + 1 + n, kClearToEnd, kClearLength);
  terminal_.write(buffer, 1 + n + kClearLength);
  visible_ = true;
  line_on_screen.store(true, std::memory_order_relaxed);
}

std::size_t TerminalProgress::format_line(char* out, std::size_t capacity, int columns) const {
  if (columns <= 0) columns = kFallbackColumns;
  // One column short of the width: a line that reaches the last column makes some terminals
  // wrap at once, and the carriage return would then go back to the wrong line.
  std::size_t limit = static_cast<std::size_t>(columns) - 1;
  if (limit > capacity) limit = capacity;
  if (limit == 0) return 0;

  const std::int64_t bytes = done_bytes_ + file_bytes_;
  const std::int64_t elapsed = terminal_.now_ns() - start_ns_;
  const double megabytes = static_cast<double>(bytes) / 1e6;
  const double rate = elapsed > 0 ? static_cast<double>(bytes) * 1e3 / static_cast<double>(elapsed) : 0.0;
  char failed[32] = "";
  if (failed_ > 0) std::snprintf(failed, sizeof failed, ", %lld failed", static_cast<long long>(failed_));
  char head[160];
  int h = std::snprintf(head, sizeof head, "%lld converted%s, %lld frames, %.1f MB, %.1f MB/s",
                        static_cast<long long>(converted_), failed, static_cast<long long>(done_records_ + file_records_),
                        megabytes, rate);
  std::size_t head_length = h < 0 ? 0 : static_cast<std::size_t>(h);
  if (head_length > sizeof head - 1) head_length = sizeof head - 1;
  if (head_length >= limit) {
    std::memcpy(out, head, limit);
    return limit;
  }
  std::memcpy(out, head, head_length);
  std::size_t n = head_length;

  constexpr char kGap[] = "  ";
  constexpr char kCut[] = "...";
  constexpr std::size_t kGapLength = sizeof kGap - 1;
  constexpr std::size_t kCutLength = sizeof kCut - 1;
  if (file_.length <= 0 || limit - n <= kGapLength + kCutLength) return n;
  std::memcpy(out + n, kGap, kGapLength);
  n += kGapLength;
  std::size_t room = limit - n;
  const char* name = file_.data;
  std::size_t length = static_cast<std::size_t>(file_.length);
  if (length > room) {
    // The end of a path says most about where the run is; keep that, and start the kept part
    // on a whole character.
    std::memcpy(out + n, kCut, kCutLength);
    n += kCutLength;
    std::size_t keep = room - kCutLength;
    name += length - keep;
    length = keep;
    while (length > 0 && is_utf8_continuation(*name)) {
      ++name;
      --length;
    }
  }
  for (std::size_t i = 0; i < length; ++i) out[n + i] = shown(name[i]);
  return n + length;
}

void progress_erase_from_signal_handler() {
  if (!line_on_screen.load(std::memory_order_relaxed)) return;
  static constexpr char kErase[] = "\r\x1b[K";
  platform_write_stderr(kErase, sizeof kErase - 1);
}

std::unique_ptr<TerminalProgress> progress_start(const RunOptions& options) {
  if (options.non_interactive || !platform_stderr_is_terminal()) return nullptr;
  return progress_attach(TerminalProgress::platform_terminal());
}

std::unique_ptr<TerminalProgress> progress_attach(const TerminalProgress::Terminal& terminal) {
  std::unique_ptr<TerminalProgress> progress(new (std::nothrow) TerminalProgress(terminal));
  if (progress) set_log_write_observer(on_log_write, progress.get());
  return progress;
}

void progress_stop(std::unique_ptr<TerminalProgress>& progress) {
  if (!progress) return;
  set_log_write_observer(nullptr, nullptr);
  progress->erase();
  progress.reset();
}

}  // namespace quarn
