#include "app/trace_formats.h"

#include "app/tool_context.h"
#include "asc/asc_converter.h"
#include "batch/trace_writer.h"

namespace quarn {
namespace {

struct TraceFormat {
  const char* name;
  std::unique_ptr<TraceWriter> (*create)();
};

// A new format is one more row here (its bit follows from its place), its writer's files, and
// the documentation.
constexpr TraceFormat kTraceFormats[] = {
    {"asc", asc_writer_create},
};

constexpr int kFormatCount = static_cast<int>(sizeof kTraceFormats / sizeof kTraceFormats[0]);
static_assert(kFormatCount <= kMaxTraceWriters);

}  // namespace

std::uint32_t trace_format_bit(StrView name) {
  for (int i = 0; i < kFormatCount; ++i) {
    if (sv_equal(name, sv(kTraceFormats[i].name))) return std::uint32_t{1} << i;
  }
  return 0;
}

const char* trace_format_names() { return "asc"; }

std::unique_ptr<Converter> trace_formats_converter(ToolContext& context) {
  std::unique_ptr<TraceWriter> writers[kFormatCount];
  int count = 0;
  for (int i = 0; i < kFormatCount; ++i) {
    if ((context.options.formats & (std::uint32_t{1} << i)) == 0) continue;
    writers[count] = kTraceFormats[i].create();
    if (!writers[count]) return nullptr;
    ++count;
  }
  if (count == 0) return nullptr;
  return trace_converter_create(writers, count, context.input_fs.get(), context.output_fs, &context.options);
}

}  // namespace quarn
