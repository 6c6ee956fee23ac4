#include "app/trace_formats.h"

#include <cstring>

#include "app/format_lists.h"
#include "app/build_info.h"
#include "app/tool_context.h"
#include "asc/asc_trace_writer.h"
#include "batch/trace_writer.h"
#include "blf/blf_trace_writer.h"
#include "mdf4/mdf4_trace_writer.h"

namespace quarn {
namespace {

struct TraceFormat {
  const char* name;
  std::unique_ptr<TraceWriter> (*create)(const ToolContext& context);
  const char* const* suffixes;  // of the files it writes behind an output base, null-terminated
};

// A new format is one more row here (its bit follows from its place), its writer's folder, and
// the documentation; the option's usage text follows from the table.
std::unique_ptr<TraceWriter> asc_writer_of_run(const ToolContext& /*context*/) { return asc_trace_writer_create(); }

std::unique_ptr<TraceWriter> mdf4_writer_of_run(const ToolContext& context) {
  Mdf4WriterOptions options;
  options.compression = context.mf4_compression;
  return mdf4_trace_writer_create(sv(kQuarnVersion), options);
}

std::unique_ptr<TraceWriter> blf_writer_of_run(const ToolContext& /*context*/) { return blf_trace_writer_create(); }

constexpr TraceFormat kTraceFormats[] = {
    {"asc", asc_writer_of_run, kAscTraceSuffixes},
    {"mf4", mdf4_writer_of_run, kMdf4TraceSuffixes},
    {"blf", blf_writer_of_run, kBlfTraceSuffixes},
};

constexpr int kFormatCount = static_cast<int>(sizeof kTraceFormats / sizeof kTraceFormats[0]);
static_assert(kFormatCount <= kMaxTraceWriters);

}  // namespace

bool trace_formats_parse(const char* text, std::uint32_t& formats) {
  return format_list_parse(text, kTraceFormats, formats);
}

bool trace_formats_help(FormatHelp& help) {
  return format_list_help(kTraceFormats, kDefaultTraceFormats, "trace formats to write", true, "", help);
}

void print_trace_formats_error(std::FILE* out, const char* program_name, const char* value) {
  print_format_list_error(out, program_name, "trace format", value, kTraceFormats);
}

bool trace_formats_use(RunOptions& options, std::uint32_t formats) {
  options.formats = formats;
  options.trace_suffix_count = 0;
  for (int i = 0; i < kFormatCount; ++i) {
    if ((formats & (std::uint32_t{1} << i)) == 0) continue;
    for (const char* const* suffix = kTraceFormats[i].suffixes; *suffix != nullptr; ++suffix) {
      if (options.trace_suffix_count == kMaxTraceFiles) return false;
      options.trace_suffixes[options.trace_suffix_count++] = *suffix;
    }
  }
  return true;
}

std::unique_ptr<TraceSink> trace_formats_sink(const ToolContext& context) {
  std::unique_ptr<TraceWriter> writers[kFormatCount];
  int count = 0;
  for (int i = 0; i < kFormatCount; ++i) {
    if ((context.options.formats & (std::uint32_t{1} << i)) == 0) continue;
    writers[count] = kTraceFormats[i].create(context);
    if (!writers[count]) return nullptr;
    ++count;
  }
  if (count == 0) return nullptr;
  return trace_fan_out_create(writers, count);
}

}  // namespace quarn
