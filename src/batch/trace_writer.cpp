#include "batch/trace_writer.h"

#include "logging/report.h"

namespace quarn {

bool FinishedTraces::add(OutputFile& file, const char* what) {
  if (count == kMax) {
    file.discard();
    return false;
  }
  items[count++] = Entry{&file, what};
  return true;
}

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

bool put_traces_in_place(FinishedTraces& finished, bool durable, bool keep_earlier_traces) {
  if (keep_earlier_traces) {
    bool keep = false;
    for (int i = 0; i < finished.count; ++i) {
      OutputFile& file = *finished.items[i].file;
      switch (file.compare_with_existing()) {
        case OutputFile::Existing::None:
        case OutputFile::Existing::Same: break;
        case OutputFile::Existing::Different:
          report(LogLevel::Error, "Output file exists with other contents: %s", file.name());
          keep = true;
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
  }
  bool ok = true;
  for (int i = 0; i < finished.count; ++i) {
    OutputFile& file = *finished.items[i].file;
    const char* what = finished.items[i].what;
    switch (file.put_in_place(durable)) {
      case OutputFile::CommitResult::Done: break;
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
