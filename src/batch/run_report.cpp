#include "batch/run_report.h"

#include "base/platform.h"
#include "base/utf8.h"
#include "batch/exit_status.h"

namespace quarn {

namespace {

// The record gathering on this thread; null when no report is asked for.
thread_local LogRecord* t_record = nullptr;

const char* level_name(LogLevel level) {
  switch (level) {
    case LogLevel::Verbose: return "verbose";
    case LogLevel::Debug: return "debug";
    case LogLevel::Info: return "info";
    case LogLevel::Warning: return "warning";
    case LogLevel::Error: return "error";
    case LogLevel::Fatal: return "fatal";
  }
  return "unknown";
}

unsigned long long nonnegative(std::int64_t n) { return n > 0 ? static_cast<unsigned long long>(n) : 0; }

// "\u" and the four hex digits of `high` (two) and `b`, into `escape`; its length.
std::int64_t unicode_escape(char* escape, const char (&high)[3], unsigned char b) {
  static constexpr char kHex[] = "0123456789abcdef";
  escape[0] = '\\';
  escape[1] = 'u';
  escape[2] = high[0];
  escape[3] = high[1];
  escape[4] = kHex[b >> 4];
  escape[5] = kHex[b & 15];
  return 6;
}

}  // namespace

bool json_append_string(DynString& out, StrView bytes) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data);
  std::int64_t i = 0;
  while (i < bytes.length) {
    // Plain text goes in runs, not byte by byte.
    std::int64_t run = i;
    while (run < bytes.length && p[run] >= 0x20 && p[run] < 0x80 && p[run] != '"' && p[run] != '\\') ++run;
    if (run > i && dynstr_append(out, bytes.data + i, run - i) == nullptr) return false;
    i = run;
    if (i == bytes.length) break;
    const unsigned char b = p[i];
    char escape[7];
    std::int64_t n = 0;
    int sequence = 0;
    if (b == '"' || b == '\\') {
      escape[0] = '\\';
      escape[1] = static_cast<char>(b);
      n = 2;
    } else if (b == '\n' || b == '\t' || b == '\r') {
      escape[0] = '\\';
      escape[1] = b == '\n' ? 'n' : b == '\t' ? 't' : 'r';
      n = 2;
    } else if (b < 0x20) {
      n = unicode_escape(escape, "00", b);
    } else if ((sequence = utf8_sequence(p + i, bytes.length - i)) > 0) {
      if (dynstr_append(out, bytes.data + i, sequence) == nullptr) return false;
      i += sequence;
      continue;
    } else {
      // A byte that is no part of valid text: the lone surrogate U+DC00 + its value, which valid
      // text can never produce.
      n = unicode_escape(escape, "dc", b);
    }
    if (dynstr_append(out, escape, n) == nullptr) return false;
    ++i;
  }
  return true;
}

LogRecord::~LogRecord() {
  if (t_record == this) {
    t_record = nullptr;
    tap_lines(nullptr, nullptr);
  }
  dynstr_free(input_);
  dynstr_free(traces_);
  dynstr_free(diagnostics_);
  dynstr_free(line_);
}

void LogRecord::begin(StrView input_path, const InputFormat& format) {
  dynstr_clear(traces_);
  dynstr_clear(diagnostics_);
  dynstr_clear(line_);
  dynstr_from(input_, input_path);
  failed_ = dynstr_length(input_) != input_path.length;
  format_ = format.name;
  counts_ = LogCounts{};
  status_ = kStatusConvertFailed;  // until convert_log tells otherwise
  t_record = this;
  tap_lines(tap, this);
}

void LogRecord::set_result(int status, const LogCounts& counts) {
  status_ = status;
  counts_ = counts;
}

void LogRecord::note_result(int status, const LogCounts& counts) {
  if (LogRecord* record = t_record) record->set_result(status, counts);
}

void LogRecord::note_trace(const char* path, std::uint64_t size) {
  LogRecord* record = t_record;
  if (record == nullptr) return;
  DynString& out = record->traces_;
  bool ok = (dynstr_length(out) == 0 || dynstr_append(out, ",", 1) != nullptr) &&
            dynstr_append(out, "{\"path\":\"") != nullptr && json_append_string(out, sv(path)) &&
            dynstr_append_format(out, "\",\"size\":%llu}", static_cast<unsigned long long>(size)) > 0;
  if (!ok) record->failed_ = true;
}

void LogRecord::tap(void* context, LogLevel level, const char* text, std::size_t length) {
  auto* record = static_cast<LogRecord*>(context);
  DynString& out = record->diagnostics_;
  bool ok = (dynstr_length(out) == 0 || dynstr_append(out, ",", 1) != nullptr) &&
            dynstr_append_format(out, "{\"level\":\"%s\",\"text\":\"", level_name(level)) > 0 &&
            json_append_string(out, StrView{text, static_cast<std::int64_t>(length)}) &&
            dynstr_append(out, "\"}", 2) != nullptr;
  if (!ok) record->failed_ = true;
}

void LogRecord::end() {
  if (t_record == this) {
    t_record = nullptr;
    tap_lines(nullptr, nullptr);
  }
  dynstr_clear(line_);
  const bool ok = dynstr_append(line_, "{\"input\":\"") != nullptr && json_append_string(line_, dynstr_view(input_)) &&
                  dynstr_append_format(line_, "\",\"format\":\"%s\",\"result\":\"%s\",", format_,
                                       status_ == kStatusOk ? "converted" : "failed") > 0 &&
                  dynstr_append_format(line_, "\"frames\":%llu,\"stray_lines\":%llu,\"stepped_back\":%llu,",
                                       nonnegative(counts_.records), nonnegative(counts_.stray_lines),
                                       nonnegative(counts_.stepped_back)) > 0 &&
                  dynstr_append(line_, "\"traces\":[") != nullptr && dynstr_append(line_, dynstr_view(traces_)) &&
                  dynstr_append(line_, "],\"diagnostics\":[") != nullptr &&
                  dynstr_append(line_, dynstr_view(diagnostics_)) &&
                  dynstr_append_format(line_, "],\"deleted\":%s%s}\n", counts_.input_removed ? "true" : "false",
                                       failed_ ? ",\"incomplete\":true" : "") > 0;
  if (!ok) {
    // Memory ran out: the log is still named, with its result, so that no log goes unrecorded.
    dynstr_clear(line_);
    static_cast<void>(dynstr_append(line_, "{\"input\":\"") != nullptr &&
                      json_append_string(line_, dynstr_view(input_)) &&
                      dynstr_append_format(line_, "\",\"format\":\"%s\",\"result\":\"%s\",\"incomplete\":true}\n",
                                           format_, status_ == kStatusOk ? "converted" : "failed") > 0);
  }
}

bool RunReport::open(FileSystem& fs, StrView name) {
  started_ns_ = platform_monotonic_ns();
  DynString base;
  dynstr_from(base, name);
  if (dynstr_length(base) != name.length || !file_.open(fs, dynstr_view(base), "", std::size_t{64} << 10)) {
    file_.explain_failure();
    report(LogLevel::Error, "Could not open run report: %.*s", sv_len(name), name.data);
    dynstr_free(base);
    return false;
  }
  dynstr_free(base);
  return true;
}

void RunReport::add(const LogRecord& record) {
  StrView line = record.line();
  // A failed write is remembered by the file and reported when the run ends.
  if (line.length > 0) static_cast<void>(file_.write(line.data, static_cast<std::size_t>(line.length)));
}

bool RunReport::finish(const RunTotals& totals, int status, int shard_index, int shard_count) {
  DynString line;
  const double seconds = static_cast<double>(platform_monotonic_ns() - started_ns_) / 1e9;
  bool ok =
      dynstr_append_format(line,
                           "{\"summary\":{\"logs\":%d,\"converted\":%d,\"failed\":%d,\"frames\":%llu,"
                           "\"stray_lines\":%llu,\"stepped_back\":%llu,\"other_shards\":%d},\"status\":%d,",
                           totals.logs, totals.converted, totals.failed, static_cast<unsigned long long>(totals.frames),
                           static_cast<unsigned long long>(totals.stray_lines),
                           static_cast<unsigned long long>(totals.stepped_back), totals.other_shards, status) > 0;
  if (ok && shard_count > 0) {
    ok = dynstr_append_format(line, "\"shard\":{\"index\":%d,\"count\":%d},", shard_index, shard_count) > 0;
  } else if (ok) {
    ok = dynstr_append(line, "\"shard\":null,") != nullptr;
  }
  ok = ok && dynstr_append_format(line, "\"seconds\":%.3f}\n", seconds) > 0;
  if (ok) static_cast<void>(file_.write(dynstr_data(line), static_cast<std::size_t>(dynstr_length(line))));
  dynstr_free(line);
  const char* name = file_.name();
  if (!ok) {
    file_.discard();
    report(LogLevel::Error, "Could not write run report: %s", name);
    return false;
  }
  const OutputFile::CommitResult result = file_.commit(true);
  if (result != OutputFile::CommitResult::Done) {
    file_.explain_failure();
    report(LogLevel::Error, "Could not write run report: %s", name);
    return false;
  }
  return true;
}

}  // namespace quarn
