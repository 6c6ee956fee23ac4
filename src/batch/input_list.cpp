#include "batch/input_list.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/platform.h"
#include "batch/exit_status.h"
#include "io/input_path.h"
#include "logging/report.h"

namespace quarn {

namespace {

void report_unreadable(const char* name, int error) {
  char words[128];
  report(LogLevel::Fatal, "Could not read the list of inputs %s: %s", name,
         platform_error_text(error, words, sizeof words));
}

// Takes one line (without its line feed) as an input; 0 or the status that ends the run.
int take_line(const char* name, DynString& line, DynStringList& inputs) {
  std::int64_t n = dynstr_length(line);
  if (n > 0 && dynstr_data(line)[n - 1] == '\r') dynstr_set_length(line, --n);
  if (n == 0) return kStatusOk;
  DynString path;
  dynstr_from(path, dynstr_view(line));
  if (dynstr_length(path) != n) {
    report(LogLevel::Fatal, "Could not allocate memory for the list of inputs %s", name);
    return kStatusSetupFailed;
  }
  if (!normalize_input_path(path)) {
    report(LogLevel::Error, "Invalid input path: %s", dynstr_data(line));
    return kStatusSetupFailed;
  }
  if (!dynstr_list_push(inputs, path)) {
    report(LogLevel::Fatal, "Could not allocate memory for the list of inputs %s", name);
    return kStatusSetupFailed;
  }
  return kStatusOk;
}

}  // namespace

int read_input_list(const char* name, DynStringList& inputs) {
  const bool standard_input = std::strcmp(name, "-") == 0;
  if (standard_input) platform_binary_stdin();
  std::FILE* file = standard_input ? stdin : platform_fopen(name, "rb");
  if (file == nullptr) {
    const PlatformFailure* failure = platform_pending_failure();
    report_unreadable(name, failure != nullptr ? failure->error : 0);
    platform_clear_failure();
    return kStatusParseError;
  }
  static constexpr std::size_t kChunk = 64 * 1024;
  char chunk[kChunk];
  DynString line;
  bool first = true;
  int status = kStatusOk;
  for (;;) {
    std::size_t got = std::fread(chunk, 1, kChunk, file);
    if (got == 0) break;
    std::size_t at = 0;
    const auto* b = reinterpret_cast<const unsigned char*>(chunk);
    bool utf16 = false;
    if (first) {
      first = false;
      if (got >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF) at = 3;
      utf16 = got >= 2 && ((b[0] == 0xFF && b[1] == 0xFE) || (b[0] == 0xFE && b[1] == 0xFF));
    }
    // UTF-16 without its byte order mark still has NUL bytes in every line of ASCII names, and a
    // NUL can be in no path.
    if (utf16 || std::memchr(chunk + at, '\0', got - at) != nullptr) {
      report(LogLevel::Fatal, "The list of inputs %s is UTF-16; save it as UTF-8, one path per line", name);
      status = kStatusParseError;
      break;
    }
    while (at < got) {
      const void* feed = std::memchr(chunk + at, '\n', got - at);
      const std::size_t end = feed != nullptr ? static_cast<std::size_t>(static_cast<const char*>(feed) - chunk) : got;
      if (end > at && dynstr_append(line, chunk + at, static_cast<std::int64_t>(end - at)) == nullptr) {
        report(LogLevel::Fatal, "Could not allocate memory for the list of inputs %s", name);
        status = kStatusSetupFailed;
        break;
      }
      at = end;
      if (feed == nullptr) break;
      ++at;
      status = take_line(name, line, inputs);
      dynstr_clear(line);
      if (status != kStatusOk) break;
    }
    if (status != kStatusOk) break;
  }
  if (status == kStatusOk && std::ferror(file)) {
    report_unreadable(name, errno);
    status = kStatusParseError;
  }
  if (status == kStatusOk) status = take_line(name, line, inputs);  // a last line without its line feed
  if (!standard_input) std::fclose(file);
  return status;
}

}  // namespace quarn
