#pragma once

// What only the Windows entry point (app/main_windows.cpp) needs of the platform layer; defined
// in platform_windows.cpp.

#include <string>
#include <vector>

namespace quarn {

// The wide command line (wmain's arguments) as UTF-8 strings, one per argument. False when an
// argument holds no valid UTF-16 (an unpaired surrogate); its place then holds the text converted
// with U+FFFD in place of what could not be.
bool platform_utf8_arguments(int argc, wchar_t** argv, std::vector<std::string>& out);

// Standard output in binary mode: usage and version texts end their lines in "\n" alone, as on
// Linux (diagnostics never pass through the C library's text mode).
void platform_binary_stdout();

// Windows shells hand "*" and "?" over to the program. When the last element of `argument` holds
// them, appends the names they match in its folder (each behind the argument's own folder part,
// as typed; "." and ".." left out), in byte order, and returns true. False when the argument holds
// none there, or nothing matches: it is then taken as it is, and reported as a missing input is.
// The "?" of a "\\?\" or "\\.\" prefix is no wildcard.
bool platform_expand_wildcards(const std::string& argument, std::vector<std::string>& out);

}  // namespace quarn
