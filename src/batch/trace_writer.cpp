#include "batch/trace_writer.h"

#include "batch/run_report.h"
#include "io/path_names.h"
#include "logging/report.h"

namespace quarn {

bool FinishedTraces::add(OutputFile& file, const char* what, OriginTest is_trace_of) {
  if (count == kMaxTraceFiles) {
    file.discard();
    return false;
  }
  items[count++] = Entry{&file, what, is_trace_of};
  return true;
}

namespace {

// Whether files of the suffix of `name` may be logs of one of the formats quarn reads.
bool names_a_log(const ReplaceRules& rules, StrView name) {
  return input_format_of(rules.input_formats, rules.input_format_count, kEveryInputFormat, name) != nullptr;
}

// Whether the file under the trace's name is the format's own trace of the same log, from a run
// before; anything that cannot be read is not.
bool earlier_trace_of(const FinishedTraces::Entry& entry, StrView source_name) {
  if (entry.is_trace_of == nullptr) return false;
  std::unique_ptr<Stream> existing = entry.file->open_existing();
  if (!existing) {
    platform_clear_failure();
    return false;
  }
  const bool ours = entry.is_trace_of(*existing, source_name);
  stream_close(existing);
  platform_clear_failure();
  return ours;
}

}  // namespace

bool finish_trace(OutputFile& file, bool durable, const char* what, const char* write_failed) {
  switch (file.finish(durable)) {
    case OutputFile::CommitResult::Done: return true;
    case OutputFile::CommitResult::WriteFailed:
      if (write_failed != nullptr) {
        file.explain_failure();
        report(LogLevel::Error, "%s", write_failed);
      }
      return false;
    case OutputFile::CommitResult::SyncFailed:
      file.explain_failure();
      report(LogLevel::Error, "Could not flush %s trace to disk: %s", what, file.name());
      return false;
    default: return false;  // a failed close has nothing to add
  }
}

void report_open_failure(const OutputFile& file, const char* what) {
  if (file.already_written()) {
    report(LogLevel::Error, "Output file already written in this run: %s", file.name());
    return;
  }
  file.explain_failure();
  report(LogLevel::Error, "Could not open output file for %s: %s", what, file.name());
}

bool put_traces_in_place(FinishedTraces& finished, bool durable, const ReplaceRules& rules) {
  bool keep = false;
  for (int i = 0; i < finished.count; ++i) {
    OutputFile& file = *finished.items[i].file;
    const bool log_suffix = names_a_log(rules, sv(file.name()));
    if (!log_suffix && !rules.keep_earlier_traces) continue;
    switch (file.compare_with_existing()) {
      case OutputFile::Existing::None:
      case OutputFile::Existing::Same: break;
      case OutputFile::Existing::Different:
        // A recording of that name (a logger's, another tool's, or one a run before took as its
        // input) must never give way to a trace; only this log's own earlier trace may.
        if (log_suffix && !earlier_trace_of(finished.items[i], rules.source_name)) {
          report(LogLevel::Error, "Output file would replace a log: %s", file.name());
          keep = true;
        } else if (rules.keep_earlier_traces) {
          report(LogLevel::Error, "Output file exists with other contents: %s", file.name());
          keep = true;
        }
        break;
      case OutputFile::Existing::Unreadable:
        // Without proof that it holds the same bytes, the earlier file is kept as if it did not.
        file.explain_failure();
        report(LogLevel::Error, "Could not compare with the existing output file: %s", file.name());
        keep = true;
        break;
    }
  }
  if (keep) {
    for (int i = 0; i < finished.count; ++i) finished.items[i].file->discard();
    finished.count = 0;
    return false;
  }
  bool ok = true;
  for (int i = 0; i < finished.count; ++i) {
    OutputFile& file = *finished.items[i].file;
    const char* what = finished.items[i].what;
    switch (file.put_in_place(durable)) {
      case OutputFile::CommitResult::Done: LogRecord::note_trace(file.name(), file.size()); break;
      case OutputFile::CommitResult::AlreadyWritten:
        report(LogLevel::Error, "Output file already written in this run: %s", file.name());
        ok = false;
        break;
      case OutputFile::CommitResult::RenameFailed:
        file.explain_failure();
        report(LogLevel::Error, "Could not move %s trace into place: %s", what, file.name());
        ok = false;
        break;
      case OutputFile::CommitResult::FolderSyncFailed:
        LogRecord::note_trace(file.name(), file.size());  // in place, only perhaps not durable
        file.explain_failure();
        report(LogLevel::Error, "Could not flush %s trace to disk: %s", what, file.name());
        ok = false;
        break;
      default: ok = false; break;
    }
  }
  finished.count = 0;
  return ok;
}

}  // namespace quarn
