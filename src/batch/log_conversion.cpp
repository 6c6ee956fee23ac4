#include "batch/log_conversion.h"

#include <algorithm>
#include <climits>
#include <type_traits>
#include <utility>

#include "base/platform.h"
#include "io/buffered_stream.h"
#include "io/path_names.h"
#include "logging/report.h"

namespace quarn {
namespace {

// fs_open access for an input: FS_READ plus the bit every caller passes along.
constexpr std::uint32_t kInputAccess = FS_READ | 4;

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
bool open_input(const Converter& converter, const InputFormat& format, StrView input_path, Input& in) {
  in.stream = fs_open(converter.input_fs, input_path, kInputAccess);
  if (!in.stream) {
    report(LogLevel::Error, "Could not open input file %.*s", sv_len(input_path), input_path.data);
    return false;
  }
  // Known before any buffer hides the file, so that the end of the reading can be checked too.
  in.size = stream_size(in.stream.get());
  std::int64_t n = converter.options->buffer_size;
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
    if (why[0] != '\0') {
      report(LogLevel::Error, "Could not read log %.*s: %s", sv_len(input_path), input_path.data, why);
    } else {
      report(LogLevel::Error, "Could not open log");
    }
    in.reader.reset();
    stream_close(in.stream);
    return false;
  }
  return true;
}

// Hands every record of the log to the converter, unless `ok` (the log's state so far) is false
// already; false when the converter failed or the log could not be read to its end (reported).
bool pump_records(Converter& converter, StrView input_path, Input& in, LogCounts& counts, bool ok) {
  LogReader& reader = *in.reader;
  Stream& stream = *in.stream;
  BusRecord record{};
  bool reader_ended = false;
  // Kept in locals rather than in `counts`, which handle_record could alias as far as the
  // compiler knows: a register test per record instead of a load and a store.
  ProgressObserver* const progress = converter.progress;
  std::int64_t records = 0;
  for (;;) {
    if (!reader.next(record)) {
      reader_ended = true;
      break;
    }
    // Read before testing ok: after a failed call one more record is read and dropped.
    if (!ok) break;
    if (!converter.handle_record(record)) {
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
    // either way the rest of the log never reached the converter. Counting that as converted
    // would lose those frames (and with delete_converted, the input that holds them).
    ok = false;
    report(LogLevel::Error, "Could not read input file to its end: %.*s", sv_len(input_path), input_path.data);
  }
  return ok;
}

// Closes the log and, after a conversion that succeeded, removes it when asked to; the status of
// the log. A log some frames of which were skipped for stepping back in time is kept: its traces
// lack them, so they must not be its only copy.
int close_input(const Converter& converter, StrView input_path, Input& in, bool converted, bool frames_skipped) {
  int status = converted ? kStatusOk : kStatusConvertFailed;
  if (stream_close(in.stream) != 0) {
    report(LogLevel::Error, "Could not close input file after conversion: %.*s", sv_len(input_path), input_path.data);
    // The failed close already released the operating-system file; only the objects are left.
    in.stream.reset();
    status = kStatusConvertFailed;
  } else if (converted && !frames_skipped && converter.options->delete_converted &&
             !fs_remove(converter.input_fs, input_path)) {
    report(LogLevel::Error, "Could not remove input file after conversion: %.*s", sv_len(input_path), input_path.data);
  }
  in.reader.reset();  // only now: the reader may be released once its input is closed
  return status;
}

// Whether the log must stay although it converted, its traces lacking what it holds (the fields of
// error frames an ASC line has no place for, say); warns when that keeps it from deletion.
bool kept_for_traces(const Converter& converter, StrView input_path, bool converted) {
  const char* lack = converter.traces_lack;
  if (!converted || lack == nullptr) return false;
  if (converter.options->delete_converted) {
    report(LogLevel::Warning, "Kept %.*s: %s", sv_len(input_path), input_path.data, lack);
  }
  return true;
}

// Whether a trace of the log would take the log's own name (an MDF4 log converted to MDF4 beside
// itself); reports it. Such a trace would be its input's only copy while it was written, and with
// -d there would be none left.
bool trace_replaces_input(const Converter& converter, StrView input_path, StrView output_base) {
  const RunOptions& options = *converter.options;
  if (options.trace_suffix_count == 0) return false;
  DynString input;
  DynString trace;
  DynString name;
  if (!fs_full_path(*converter.input_fs, input_path, input)) return false;
  for (int i = 0; i < options.trace_suffix_count; ++i) {
    dynstr_from(name, output_base);
    if (dynstr_append(name, options.trace_suffixes[i]) == nullptr) return false;
    if (!fs_full_path(*converter.output_fs, dynstr_view(name), trace)) return false;
    if (path_equal(dynstr_view(trace), dynstr_view(input))) {
      report(LogLevel::Error, "Output file would replace its input: %s", dynstr_data(name));
      return true;
    }
  }
  return false;
}

int convert(Converter* converter, const InputFormat& format, StrView input_path, StrView output_base,
            LogCounts& counts) {
  // Without options the converter was never initialised; there is nothing sound to do.
  if (converter == nullptr || converter->options == nullptr) return kStatusConvertFailed;
  if (trace_replaces_input(*converter, input_path, output_base)) return kStatusConvertFailed;
  Input in;
  if (!open_input(*converter, format, input_path, in)) return kStatusConvertFailed;

  RecordSource source;
  source.time_ordered = in.reader->time_ordered();
  source.info = in.reader->info();
  source.info.source_path = input_path;
  source.info.source_name = path_file_name(input_path);
  bool ok = converter->new_file(output_base, source);
  if (!ok) report(LogLevel::Error, "Error during new file callback");
  ok = pump_records(*converter, input_path, in, counts, ok);

  // Logs converted beside others finish in walk order: the first of two logs that write one
  // trace keeps it, whichever was faster.
  if (converter->namesake != nullptr) converter->namesake->wait_for_namesake();
  converter->file_failed = !ok;
  converter->traces_lack = nullptr;
  ok = converter->end_file(output_base) && ok;
  converter->file_failed = false;
  // end_file reports the failed calls it does not tolerate; one it tolerated (removing a broken
  // trace, say) must not pass for the cause of what is reported next.
  platform_clear_failure();
  if (!ok) report(LogLevel::Error, "Error during end file callback");
  // Frame lines were there, but every one lay before an earlier one (a header time that cannot be
  // read makes every frame -1, say): converting nothing must not pass for a conversion. No trace
  // was begun, since no record reached the converter.
  if (ok && counts.records == 0 && counts.stepped_back > 0) {
    report(LogLevel::Error, "No frame of %.*s lies in time order", sv_len(input_path), input_path.data);
    ok = false;
  }
  const bool kept = kept_for_traces(*converter, input_path, ok);
  return close_input(*converter, input_path, in, ok, counts.stepped_back > 0 || kept);
}

}  // namespace

int convert_log(Converter* converter, const InputFormat& format, StrView input_path, StrView output_base) {
  LogCounts counts;
  ProgressObserver* progress = converter != nullptr ? converter->progress : nullptr;
  if (progress != nullptr) progress->file_started(input_path);
  int status = convert(converter, format, input_path, output_base, counts);
  if (progress != nullptr) progress->file_finished(status == kStatusOk, counts.records, counts.bytes);
  if (converter != nullptr) run_totals_add(converter->totals, status, counts);
  return status;
}

}  // namespace quarn
