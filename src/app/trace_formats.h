#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>

#include "app/format_lists.h"
#include "batch/run_options.h"
#include "batch/trace_sink.h"

namespace quarn {

struct ToolContext;

// The trace formats quarn writes, by the names the command line uses. A run's formats are a set
// of bits, bit i for the i-th format of the table; the writers are fed (and report) in table
// order whatever the order the names were given in.
inline constexpr std::uint32_t kDefaultTraceFormats = 1;  // "asc"

// The formats named in a comma-separated list ("asc", "mf4,asc"), lower case, each at most once.
// False, leaving `formats` as it was, for anything else.
bool trace_formats_parse(const char* text, std::uint32_t& formats);

// The usage text of --format: its values ("<asc|mf4|blf|asc,mf4,blf>") and what it does. False when a text does not
// fit.
bool trace_formats_help(FormatHelp& help);

// Prints the line that says which values --format takes, for a value it does not.
void print_trace_formats_error(std::FILE* out, const char* program_name, const char* value);

// Chooses the formats a run writes, with the file suffixes they write. False when more suffixes
// than a run keeps would be chosen, which no table of formats allows.
bool trace_formats_use(RunOptions& options, std::uint32_t formats);

// The sink of a run: one writer per format in context.options.formats. Null when memory runs out
// or no format is chosen.
std::unique_ptr<TraceSink> trace_formats_sink(const ToolContext& context);

}  // namespace quarn
