// The Windows entry point: the arguments arrive as UTF-16 and are handed on as UTF-8, the form of
// every path inside the program.

#include <string>
#include <vector>

#include "app/quarn_main.h"
#include "base/platform_windows.h"

int wmain(int argc, wchar_t** argv) {
  quarn::platform_binary_stdout();
  std::vector<std::string> arguments;
  // An argument that is no valid UTF-16 still arrives, with U+FFFD where it could not be read:
  // as a path it names nothing, and is reported so.
  quarn::platform_utf8_arguments(argc, argv, arguments);
  std::vector<char*> pointers;
  pointers.reserve(arguments.size() + 1);
  for (std::string& a : arguments) pointers.push_back(a.data());
  pointers.push_back(nullptr);
  return quarn::quarn_main(argc, pointers.data());
}
