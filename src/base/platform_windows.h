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

}  // namespace quarn
