#include "app/trace_formats.h"

#include <cstring>

#include "app/tool_context.h"
#include "app/options.h"
#include "asc/asc_converter.h"
#include "batch/trace_writer.h"
#include "mdf4/mdf4_trace_writer.h"

namespace quarn {
namespace {

struct TraceFormat {
  const char* name;
  std::unique_ptr<TraceWriter> (*create)(const ToolContext& context);
};

// A new format is one more row here (its bit follows from its place), its writer's files, and
// the documentation.
std::unique_ptr<TraceWriter> asc_writer_of_run(const ToolContext& /*context*/) { return asc_writer_create(); }

std::unique_ptr<TraceWriter> mdf4_writer_of_run(const ToolContext& context) {
  Mdf4WriterOptions options;
  options.compression = context.mf4_compression;
  return mdf4_trace_writer_create(sv(kQuarnVersion), options);
}

constexpr TraceFormat kTraceFormats[] = {
    {"asc", asc_writer_of_run},
    {"mf4", mdf4_writer_of_run},
};

constexpr int kFormatCount = static_cast<int>(sizeof kTraceFormats / sizeof kTraceFormats[0]);
static_assert(kFormatCount <= kMaxTraceWriters);

}  // namespace

bool trace_formats_parse(const char* text, std::uint32_t& formats) {
  if (text == nullptr) return false;
  std::uint32_t chosen = 0;
  const char* piece = text;
  for (;;) {
    const char* comma = std::strchr(piece, ',');
    StrView name{piece, comma != nullptr ? comma - piece : static_cast<std::int64_t>(std::strlen(piece))};
    std::uint32_t bit = 0;
    for (int i = 0; i < kFormatCount; ++i) {
      if (sv_equal(name, sv(kTraceFormats[i].name))) bit = std::uint32_t{1} << i;
    }
    if (bit == 0 || (chosen & bit) != 0) return false;
    chosen |= bit;
    if (comma == nullptr) break;
    piece = comma + 1;
  }
  formats = chosen;
  return true;
}

void print_trace_formats_error(std::FILE* out, const char* program_name, const char* value) {
  std::fprintf(out, "%s: invalid trace format \"%s\", expected", program_name, value);
  for (int i = 0; i < kFormatCount; ++i) std::fprintf(out, "%s %s", i == 0 ? "" : ",", kTraceFormats[i].name);
  std::fputs(" or a comma-separated list of them\n", out);
}

std::unique_ptr<Converter> trace_formats_converter(ToolContext& context) {
  std::unique_ptr<TraceWriter> writers[kFormatCount];
  int count = 0;
  for (int i = 0; i < kFormatCount; ++i) {
    if ((context.options.formats & (std::uint32_t{1} << i)) == 0) continue;
    writers[count] = kTraceFormats[i].create(context);
    if (!writers[count]) return nullptr;
    ++count;
  }
  if (count == 0) return nullptr;
  return trace_converter_create(writers, count, context.input_fs.get(), context.output_fs, &context.options);
}

}  // namespace quarn
