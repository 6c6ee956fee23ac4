#pragma once

#include <argtable2.h>

#include <cstdio>

#include "app/tool_context.h"
#include "base/dyn_string.h"

namespace quarn {

// With --files-from the listed paths join the positional inputs (then none is required), and the
// root is the deepest folder that holds them all (find_deepest_root); --shard fills
// options.shard_index and shard_count.
// Parses the command line into the context and applies it. True when the conversion is to run:
// options, inputs (now relative to root), root, input_fs and output_fs are then all set.
// False ends the run; `status` then holds its exit status:
//   0    usage printed (no arguments, or --help, which wins over everything else) or version
//        printed (--version, which wins over parse errors)
//   130  the first parse error is an option without its value
//   131  the first parse error is an integer that does not parse; or verbosity outside 0 to 5
//   132  the inputs have no single common root
//   0    also: --files-from names a list that holds no path ("No inputs listed in %s", Info)
//   133  a file system could not be opened (a missing output directory, say), or a path is of a
//        form the program refuses ("Invalid input path: %s" / "Invalid output path: %s")
//   134  any other parse error; argtable's error lines are printed to standard output; a --shard
//        value of another form, or --shard=auto that the scheduler's variables do not settle
//        (one line each on standard output); a --files-from list that cannot be read or is
//        UTF-16 (read_input_list)
//   1    argtable itself ran out of memory ("Out of memory!" on standard error)
// Usage, version and error texts go to standard output and always name the program "quarn".
bool parse_command_line(ToolContext& context, int argc, char** argv, int& status);

// The check step of the path options: copies each value of the entry, in command-line order,
// normalizes it (normalize_input_path) and appends it to `destination`. 0 when every value was
// stored, 3 when one could not be (the others are still stored). A value whose form the program
// refuses (a Windows device path, say) is not stored and is reported at once, as typed: "Invalid
// input path: %s", or with `output` "Invalid output path: %s" (Error); 4 then, unless 3 came first.
int store_paths(arg_file* entry, DynStringList& destination, bool output = false);

// Prints the text of a store_paths failure with number `error_number` (3: out of memory) to
// `out`, which already holds the program name, a colon and a blank; nothing for other numbers.
void print_store_error(arg_file* entry, const DynStringList* destination, std::FILE* out, int error_number,
                       const char* value, const char* program_name);

// Writes the three version lines.
void print_version(std::FILE* out);

}  // namespace quarn
