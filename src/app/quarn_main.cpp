#include "app/quarn_main.h"

#include <cstdio>
#include <new>

#include "app/options.h"
#include "app/progress.h"
#include "app/tool_context.h"
#include "app/trace_formats.h"
#include "base/platform.h"
#include "base/temp_files.h"
#include "batch/input_walk.h"
#include "batch/run_report.h"
#include "io/path_names.h"
#include "logging/report.h"

namespace quarn {

namespace {

// Async-signal-safe: the temporary traces go, and the status line with them.
void clean_up_after_signal(bool terminal_usable) {
  temp_files_remove_all();
  if (terminal_usable) progress_erase_from_signal_handler();
}

// A sink of its own for each log converted beside others.
std::unique_ptr<TraceSink> worker_sink(void* context) {
  return trace_formats_sink(*static_cast<const ToolContext*>(context));
}

// Whether `name` ends in a log's suffix or in one of the run's trace suffixes, in any letter case:
// put in place at the end of the run, such a report would replace a log (with -d perhaps its only
// copy, or one a later run would convert) or a trace just written.
bool named_as_log_or_trace(const RunOptions& options, StrView name) {
  auto ends_in = [name](StrView tail) {
    return tail.length > 0 && name.length > tail.length &&
           sv_equal_ignoring_case(StrView{name.data + name.length - tail.length, tail.length}, tail);
  };
  if (input_format_of(options.input_formats, options.input_format_count, kEveryInputFormat, name) != nullptr) {
    return true;
  }
  for (int i = 0; i < options.trace_suffix_count; ++i) {
    if (ends_in(sv(options.trace_suffixes[i]))) return true;
  }
  return false;
}

// The run report, when --report asks for one, created under its temporary name before anything
// converts; false (with status 133) when it cannot be: a run asked to account for itself must
// not run without the account.
bool open_run_report(ToolContext& context, std::unique_ptr<FileSystem>& fs, std::unique_ptr<RunReport>& run_report,
                     int& status) {
  if (context.report_file.count != 1) return true;
  StrView path = dynstr_view(context.report_file.items[0]);
  StrView name = path_file_name(path);
  if (named_as_log_or_trace(context.options, name)) {
    report(LogLevel::Error, "Run report must not be named as a log or trace: %.*s", sv_len(path), path.data);
    status = kStatusSetupFailed;
    return false;
  }
  DynString folder;
  dynstr_from(folder, path.data, path.length - name.length);
  if (name.length > 0 && dynstr_length(folder) == path.length - name.length) fs = disk_fs_create(dynstr_view(folder));
  run_report.reset(new (std::nothrow) RunReport);
  if (!fs || !run_report || !run_report->open(*fs, name)) {
    if (!fs || !run_report) report(LogLevel::Error, "Could not open run report: %.*s", sv_len(path), path.data);
    status = kStatusSetupFailed;
    return false;
  }
  return true;
}

int run(int argc, char** argv, const char* const* notes, int note_count) {
  std::unique_ptr<ToolContext> context = tool_context_create();
  if (!context) return kStatusSetupFailed;
  int status = kStatusOk;
  if (!parse_command_line(*context, argc, argv, status)) return status;
  for (int i = 0; i < note_count; ++i) report(LogLevel::Debug, "%s", notes[i]);
  std::unique_ptr<TraceSink> sink = trace_formats_sink(*context);
  if (!sink) return kStatusSetupFailed;
  std::unique_ptr<FileSystem> report_fs;
  std::unique_ptr<RunReport> run_report;
  if (!open_run_report(*context, report_fs, run_report, status)) return status;
  std::unique_ptr<TerminalProgress> progress = progress_start(context->options);
  LogContext run;
  run.input_fs = context->input_fs.get();
  run.output_fs = context->output_fs;
  run.options = &context->options;
  run.report = run_report.get();
  run.progress = progress.get();
  int jobs = context->options.jobs == 0 ? platform_online_cores() : context->options.jobs;
  status = convert_inputs_parallel(run, *sink, jobs, worker_sink, context.get(), context->inputs);
  progress_stop(progress);
  return status;
}

}  // namespace

int quarn_main(int argc, char** argv, const char* const* notes, int note_count) {
  // Ctrl-C, a kill or a closed pipe must not leave temporary traces behind.
  platform_on_termination(clean_up_after_signal);
  // Reports made while the command line is parsed pass at every verbosity, in every run of the
  // process, not only the first.
  set_log_threshold(0);
  int status = run(argc, argv, notes, note_count);
  std::fflush(stdout);
  return status;
}

}  // namespace quarn
