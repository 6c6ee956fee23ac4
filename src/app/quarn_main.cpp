#include "app/quarn_main.h"

#include <cstdio>

#include "app/options.h"
#include "app/progress.h"
#include "app/tool_context.h"
#include "app/trace_formats.h"
#include "base/platform.h"
#include "base/temp_files.h"
#include "batch/input_walk.h"
#include "logging/report.h"

namespace quarn {

namespace {

// Async-signal-safe: the temporary traces go, and the status line with them.
void clean_up_after_signal(bool terminal_usable) {
  temp_files_remove_all();
  if (terminal_usable) progress_erase_from_signal_handler();
}

// A converter of its own for each log converted beside others.
std::unique_ptr<Converter> worker_converter(void* context) {
  return trace_formats_converter(*static_cast<ToolContext*>(context));
}

int run(int argc, char** argv, const char* const* notes, int note_count) {
  std::unique_ptr<ToolContext> context = tool_context_create();
  if (!context) return kStatusSetupFailed;
  int status = kStatusOk;
  if (!parse_command_line(*context, argc, argv, status)) return status;
  for (int i = 0; i < note_count; ++i) report(LogLevel::Debug, "%s", notes[i]);
  // The converter borrows the context's file systems and options: it goes first.
  std::unique_ptr<Converter> converter = trace_formats_converter(*context);
  if (!converter) return kStatusSetupFailed;
  std::unique_ptr<TerminalProgress> progress = progress_start(context->options);
  converter->progress = progress.get();
  int jobs = context->options.jobs == 0 ? platform_online_cores() : context->options.jobs;
  status = converter_run_parallel(converter.get(), jobs, worker_converter, context.get(), context->inputs);
  progress_stop(progress);
  converter_release(converter);
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
