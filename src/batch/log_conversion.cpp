#include "batch/log_conversion.h"

#include <algorithm>
#include <climits>
#include <type_traits>
#include <utility>

#include "base/platform.h"
#include "batch/exit_status.h"
#include "batch/run_report.h"
#include "io/buffered_stream.h"
#include "io/path_names.h"
#include "logging/report.h"

namespace quarn {
namespace {

using SignedSize = std::make_signed_t<std::size_t>;  // what "%zd" takes

// The input window when the whole file is asked for (a negative buffer size): big enough that
// each refill is one large read, small enough that a log of many gigabytes needs no more memory
// than a small one.
constexpr std::int64_t kWholeFileWindow = std::int64_t{1} << 20;

static_assert((kProgressStride & (kProgressStride - 1)) == 0, "the loop tests the stride with a mask");

// The input of one log: the stream (buffered as the options say), its size when it was opened,
// and the reader over it.
struct Input {
  std::unique_ptr<Stream> stream;
  std::unique_ptr<LogReader> reader;
  std::int64_t size = -1;
};

// Opens the log and reads what comes before its records; false after reporting, with nothing
// left open.
bool open_input(const LogContext& run, const InputFormat& format, StrView input_path, Input& in) {
  in.stream = fs_open(run.input_fs, input_path, FS_INPUT_ACCESS);
  if (!in.stream) {
    report(LogLevel::Error, "Could not open input file %.*s", sv_len(input_path), input_path.data);
    return false;
  }
  // Known before any buffer hides the file, so that the end of the reading can be checked too.
  in.size = stream_size(in.stream.get());
  std::int64_t n = run.options->buffer_size;
  // The readers go back only now and then, and not far, so a window that moves along the file
  // serves them as well as the whole file would: memory stays the same whatever the log's size.
  if (n < 0) n = in.size < kWholeFileWindow ? in.size : kWholeFileWindow;
  if (n > 0) {
    std::unique_ptr<Stream> buffered = bufstream_create(in.stream.get(), true, n);
    if (!buffered) {
      report(LogLevel::Error, "Could not allocate buffer of size %zd", static_cast<SignedSize>(n));
      stream_close(in.stream);
      return false;
    }
    static_cast<void>(in.stream.release());  // the buffered stream owns it now
    in.stream = std::move(buffered);
  }
  in.reader = format.create();
  if (!in.reader || !in.reader->open(*in.stream)) {
    const char* why = in.reader ? in.reader->failure() : "";
    if (in.reader && in.reader->failure_kind() == ReadFailure::StartTime) {
      report(LogLevel::Error, "Could not read the start time of %.*s: %s", sv_len(input_path), input_path.data, why);
    } else if (why[0] != '\0') {
      report(LogLevel::Error, "Could not read log %.*s: %s", sv_len(input_path), input_path.data, why);
    } else {
      report(LogLevel::Error, "Could not open log");
    }
    in.reader.reset();
    stream_close(in.stream);
    return false;
  }
  if (in.reader->start_time_passed_over()) {
    report(LogLevel::Warning, "Passed over the start time of %.*s: its frames carry their own", sv_len(input_path),
           input_path.data);
  }
  return true;
}

// Hands every record of the log to the sink, unless `ok` (the log's state so far) is false
// already; false when the sink failed or the log could not be read to its end (reported).
bool pump_records(const LogContext& run, TraceSink& sink, StrView input_path, Input& in, LogCounts& counts, bool ok) {
  LogReader& reader = *in.reader;
  Stream& stream = *in.stream;
  BusRecord record{};
  bool reader_ended = false;
  // Kept in locals rather than in `counts`, which take_record could alias as far as the
  // compiler knows: a register test per record instead of a load and a store.
  ProgressObserver* const progress = run.progress;
  std::int64_t records = 0;
  for (;;) {
    if (!reader.next(record)) {
      reader_ended = true;
      break;
    }
    // Read before testing ok: after a failed call one more record is read and dropped.
    if (!ok) break;
    if (!sink.take_record(record)) {
      ok = false;
      report(LogLevel::Error, "Error during handle record callback");
    }
    ++records;
    if (progress != nullptr && (records & (kProgressStride - 1)) == 0) {
      progress->file_advanced(records, stream_tell(stream));
    }
  }
  counts.records = records;
  if (progress != nullptr) counts.bytes = stream_tell(stream);
  const char* failure = reader_ended ? reader.failure() : "";
  // Only a log read to its end has had all its lines looked at.
  if (reader_ended && failure[0] == '\0') {
    counts.stepped_back = reader.stepped_back();
    counts.stray_lines = reader.stray_lines();
    if (counts.stepped_back > 0) {
      report(LogLevel::Warning, "Skipped frames stepping back in time in %.*s: %llu", sv_len(input_path),
             input_path.data, static_cast<unsigned long long>(counts.stepped_back));
    }
    const PassedObjects passed = reader.passed_objects();
    if (passed.no_frame > 0) {
      report(LogLevel::Debug, "Passed over %s objects that hold no frame in %.*s: %llu", passed.format,
             sv_len(input_path), input_path.data, static_cast<unsigned long long>(passed.no_frame));
    }
    if (passed.other_kinds > 0) {
      report(LogLevel::Warning, "Skipped %s frames of other kinds in %.*s: %llu", passed.format, sv_len(input_path),
             input_path.data, static_cast<unsigned long long>(passed.other_kinds));
    }
    if (counts.stray_lines > 0) {
      report(LogLevel::Warning, "Skipped stray lines in %.*s: %d", sv_len(input_path), input_path.data,
             static_cast<int>(std::min<std::int64_t>(counts.stray_lines, INT_MAX)));
    }
  }
  if (failure[0] != '\0') {
    ok = false;
    report(LogLevel::Error, "Could not read log %.*s: %s", sv_len(input_path), input_path.data, failure);
  } else if (reader_ended && !reader.ended_cleanly(in.size)) {
    // The reader cannot tell the end of the data from a read error or text behind a zero byte;
    // either way the rest of the log never reached the sink. Counting that as converted
    // would lose those frames (and with delete_converted, the input that holds them).
    ok = false;
    const char* why = reader.unread();
    if (why[0] != '\0') {
      report(LogLevel::Error, "Could not read input file to its end: %.*s: %s", sv_len(input_path), input_path.data,
             why);
    } else {
      report(LogLevel::Error, "Could not read input file to its end: %.*s", sv_len(input_path), input_path.data);
    }
  }
  return ok;
}

enum class LogChange { None, Changed, Unknown };

// Whether the log is still what it was before it was opened: a logger or a copy still writing it
// (which any writer may do on Linux, and one that shares delete access on Windows) would lose what
// it adds after the reading ended, if the log were removed. Its size when it was opened must be
// the size it had before, too: what came between was read, but may have come from such a writer.
LogChange change_since_opened(const LogContext& run, StrView input_path, const Input& in, const PathInfo& before) {
  PathInfo now;
  if (before.kind != PathKind::File || !fs_stat(run.input_fs, input_path, now)) {
    platform_clear_failure();
    return LogChange::Unknown;
  }
  const bool same = now.kind == PathKind::File && now.size == before.size && in.size == before.size &&
                    now.modified_ns == before.modified_ns;
  return same ? LogChange::None : LogChange::Changed;
}

// Closes the log and, after a conversion that succeeded, removes it when asked to; the status of
// the log. A log some frames of which were skipped for stepping back in time is kept: its traces
// lack them, so they must not be its only copy. So is a log that changed while it was converted.
int close_input(const LogContext& run, StrView input_path, Input& in, bool converted, bool frames_skipped,
                const PathInfo& before, bool& removed) {
  int status = converted ? kStatusOk : kStatusConvertFailed;
  const bool remove = converted && !frames_skipped && run.options->delete_converted;
  // Asked before the close, while the file is still open: a writer that closes the log only
  // after it has grown still has to change its size or its time by then.
  const LogChange change = remove ? change_since_opened(run, input_path, in, before) : LogChange::None;
  if (stream_close(in.stream) != 0) {
    report(LogLevel::Error, "Could not close input file after conversion: %.*s", sv_len(input_path), input_path.data);
    // The failed close already released the operating-system file; only the objects are left.
    in.stream.reset();
    status = kStatusConvertFailed;
  } else if (remove && change == LogChange::Changed) {
    report(LogLevel::Warning, "Input file changed during conversion, not removed: %.*s", sv_len(input_path),
           input_path.data);
  } else if (remove && (change == LogChange::Unknown || !fs_remove(run.input_fs, input_path))) {
    // A log that could not be looked at again is kept as if it had changed.
    report(LogLevel::Error, "Could not remove input file after conversion: %.*s", sv_len(input_path), input_path.data);
  } else {
    removed = remove;
  }
  in.reader.reset();  // only now: the reader may be released once its input is closed
  return status;
}

// Whether the log must stay although it converted, its traces lacking what it holds (the fields of
// error frames an ASC line has no place for, say); warns when that keeps it from deletion.
bool kept_for_traces(const LogContext& run, StrView input_path, bool converted, const char* lack) {
  if (!converted || lack == nullptr) return false;
  if (run.options->delete_converted) {
    report(LogLevel::Warning, "Kept %.*s: %s", sv_len(input_path), input_path.data, lack);
  }
  return true;
}

bool has_identity(const PathInfo& info) { return info.device != 0 || info.inode != 0; }

// Whether two paths name one file or folder: by identity where both have one (a link, "./", "..",
// or another letter case on a file system that ignores it, all name the same file), by their full
// paths where the file system knows no identities.
bool same_object(const PathInfo& a, StrView a_full, const PathInfo& b, StrView b_full) {
  if (has_identity(a) && has_identity(b)) return a.device == b.device && a.inode == b.inode;
  return path_equal(a_full, b_full);
}

// Whether the folders that hold the log and its trace are one folder.
bool same_folder(const LogContext& run, StrView input_path, StrView trace_name) {
  StrView a = path_parent(input_path);
  StrView b = path_parent(trace_name);
  DynString a_full;
  DynString b_full;
  PathInfo a_info;
  PathInfo b_info;
  // A folder that cannot be examined is taken for the log's own: refusing the trace is safe.
  if (!fs_full_path(*run.input_fs, a, a_full) || !fs_full_path(*run.output_fs, b, b_full) ||
      !fs_stat(run.input_fs, a, a_info) || !fs_stat(run.output_fs, b, b_info)) {
    platform_clear_failure();
    return true;
  }
  return same_object(a_info, dynstr_view(a_full), b_info, dynstr_view(b_full));
}

// Whether files of the suffix of `name` are logs the walk takes.
bool walked_suffix(const RunOptions& options, StrView name) {
  return input_format_of(options.input_formats, options.input_format_count, options.walked_formats, name) != nullptr;
}

// Whether a trace of the log would replace the log itself (an MDF4 log converted to MDF4 beside
// itself, under any spelling of its path), or another file the run takes as a log: one its
// command line names, or one of a walked suffix in the walked folder that holds this log. Reports
// it. Such a trace would be its log's only copy while it was written, and with -d there would be
// none left; the other log would be read, or deleted, as the trace.
bool trace_replaces_log(const LogContext& run, StrView input_path, const PathInfo& input, StrView output_base) {
  const RunOptions& options = *run.options;
  if (options.trace_suffix_count == 0) return false;
  DynString input_full;
  DynString trace;
  DynString name;
  if (!fs_full_path(*run.input_fs, input_path, input_full)) return false;
  const NamedInputs* named = run.named;
  const bool log_named = named != nullptr && named->contains(input, dynstr_view(input_full));
  for (int i = 0; i < options.trace_suffix_count; ++i) {
    dynstr_from(name, output_base);
    if (dynstr_append(name, options.trace_suffixes[i]) == nullptr) return false;
    if (!fs_full_path(*run.output_fs, dynstr_view(name), trace)) return false;
    PathInfo existing;
    if (!fs_stat(run.output_fs, dynstr_view(name), existing)) {
      // Nothing to compare identities with: the paths alone decide, as they can.
      platform_clear_failure();
      existing = PathInfo{};
      existing.kind = path_equal(dynstr_view(trace), dynstr_view(input_full)) ? PathKind::File : PathKind::Missing;
    }
    if (existing.kind == PathKind::Missing) continue;
    if (same_object(existing, dynstr_view(trace), input, dynstr_view(input_full))) {
      report(LogLevel::Error, "Output file would replace its input: %s", dynstr_data(name));
      return true;
    }
    if (existing.kind != PathKind::File || named == nullptr) continue;
    if (named->contains(existing, dynstr_view(trace)) ||
        (!log_named && walked_suffix(options, dynstr_view(name)) && same_folder(run, input_path, dynstr_view(name)))) {
      report(LogLevel::Error, "Output file would replace a log: %s", dynstr_data(name));
      return true;
    }
  }
  return false;
}

int convert(const LogContext& run, TraceSink& sink, const InputFormat& format, StrView input_path, StrView output_base,
            LogCounts& counts) {
  // Without file systems and options there is nothing sound to do.
  if (!log_context_usable(run)) return kStatusConvertFailed;
  // What the log is before it is opened: to tell it from its traces, and to see at the end whether
  // it changed while it was read.
  PathInfo before;
  if (!fs_stat(run.input_fs, input_path, before)) {
    platform_clear_failure();
    before = PathInfo{};
  }
  if (trace_replaces_log(run, input_path, before, output_base)) return kStatusConvertFailed;
  Input in;
  if (!open_input(run, format, input_path, in)) return kStatusConvertFailed;

  RecordSource source;
  source.time_ordered = in.reader->time_ordered();
  source.info = in.reader->info();
  source.info.source_path = input_path;
  source.info.source_name = path_file_name(input_path);
  bool ok = sink.begin_log(run, output_base, source);
  if (!ok) report(LogLevel::Error, "Error during new file callback");
  ok = pump_records(run, sink, input_path, in, counts, ok);

  // Logs converted beside others finish in walk order: the first of two logs that write one
  // trace keeps it, whichever was faster.
  if (run.namesake != nullptr) run.namesake->wait_for_namesake();
  const TracesEnded ended = sink.end_log(run, output_base, ok);
  ok = ended.ok && ok;
  // end_log reports the failed calls it does not tolerate; one it tolerated (removing a broken
  // trace, say) must not pass for the cause of what is reported next.
  platform_clear_failure();
  if (!ok) report(LogLevel::Error, "Error during end file callback");
  // Frame lines were there, but every one lay before an earlier one (a header time that cannot be
  // read makes every frame -1, say): converting nothing must not pass for a conversion. No trace
  // was begun, since no record reached the sink.
  if (ok && counts.records == 0 && counts.stepped_back > 0) {
    report(LogLevel::Error, "No frame of %.*s lies in time order", sv_len(input_path), input_path.data);
    ok = false;
  }
  const bool kept = kept_for_traces(run, input_path, ok, ended.lack);
  // Frames of other kinds are in no trace: the log stays their only copy.
  const bool skipped = counts.stepped_back > 0 || in.reader->passed_objects().other_kinds > 0;
  return close_input(run, input_path, in, ok, skipped || kept, before, counts.input_removed);
}

}  // namespace

int convert_log(const LogContext& run, TraceSink& sink, const InputFormat& format, StrView input_path,
                StrView output_base) {
  LogCounts counts;
  if (run.progress != nullptr) run.progress->file_started(input_path);
  int status = convert(run, sink, format, input_path, output_base, counts);
  if (run.progress != nullptr) run.progress->file_finished(status == kStatusOk, counts.records, counts.bytes);
  run_totals_add(run.totals, status, counts);
  LogRecord::note_result(status, counts);
  return status;
}

}  // namespace quarn
