#pragma once

#include <cstdint>
#include <cstdio>

#include "app/format_lists.h"
#include "batch/run_options.h"

namespace quarn {

// The formats of the logs quarn reads, by the names --input-format uses, each with the suffixes of
// its files. A run's walked formats are a set of bits, bit i for the i-th format of
// the table.
inline constexpr std::uint32_t kDefaultInputFormats = 1;  // "txt"

// The formats named in a comma-separated list ("txt", "mf4,txt"), each at most once. False,
// leaving `formats` as it was, for anything else.
bool input_formats_parse(const char* text, std::uint32_t& formats);

// The usage text of --input-format: its values ("<txt|mf4|blf|txt,mf4,blf>") and what it does. False when a
// text does not fit.
bool input_formats_help(FormatHelp& help);

// Prints the line that says which values --input-format takes, for a value it does not.
void print_input_formats_error(std::FILE* out, const char* program_name, const char* value);

// The input format of that name ("txt"); null for none.
const InputFormat* input_format_named(const char* name);

// Gives the run every input format quarn reads, and walks those of `walked`.
void input_formats_use(RunOptions& options, std::uint32_t walked = kDefaultInputFormats);

}  // namespace quarn
