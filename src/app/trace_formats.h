#pragma once

#include <cstdint>
#include <memory>

#include "base/str_view.h"
#include "batch/converter.h"

namespace quarn {

struct ToolContext;

// The trace formats quarn writes, by the names the command line uses. A run's formats are a set
// of bits, bit i for the i-th format of the table; the writers are fed (and report) in table
// order whatever the order the names were given in.
inline constexpr std::uint32_t kDefaultTraceFormats = 1;  // "asc"

// The bit of the format named `name`, or 0 when no format has that name.
std::uint32_t trace_format_bit(StrView name);

// The accepted names, comma-separated, for messages.
const char* trace_format_names();

// The converter of a run: one writer per format in context.options.formats. Null when memory runs
// out or no format is chosen. It borrows the context's file systems and options.
std::unique_ptr<Converter> trace_formats_converter(ToolContext& context);

}  // namespace quarn
