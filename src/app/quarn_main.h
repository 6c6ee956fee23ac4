#pragma once

namespace quarn {

// One whole run of the program over argc/argv: parse, convert every input, release everything.
// Returns the exit status (see parse_command_line and convert_inputs; 133 when the run could not
// be set up, so that converting nothing never reads as success). Standard output is flushed
// before it returns, so tests can run it in-process.
// `notes` are Debug lines about how the entry point read the command line (the Windows one mends
// what its shells do to arguments), reported once the verbosity is known.
int quarn_main(int argc, char** argv, const char* const* notes = nullptr, int note_count = 0);

}  // namespace quarn
