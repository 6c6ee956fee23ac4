// The Windows entry point: the arguments arrive as UTF-16 and are handed on as UTF-8, the form of
// every path inside the program, read as Windows shells mean them: cmd.exe and PowerShell leave
// "*" and "?" to the program, and "/?" asks any Windows program for its help.

#include <string>
#include <vector>

#include "app/quarn_main.h"
#include "base/platform_windows.h"

namespace {

bool is_help_request(const std::string& a) {
  if (a == "/?") return true;
  if (a.size() != 5 || a[0] != '/') return false;
  std::string word = a.substr(1);
  for (char& c : word) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return word == "help";
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  quarn::platform_binary_stdout();
  std::vector<std::string> typed;
  // An argument that is no valid UTF-16 still arrives, with U+FFFD where it could not be read:
  // as a path it names nothing, and is reported so.
  quarn::platform_utf8_arguments(argc, argv, typed);
  std::vector<std::string> arguments;
  std::vector<std::string> notes;
  bool options_end = false;
  for (std::size_t i = 0; i < typed.size(); ++i) {
    std::string& a = typed[i];
    if (i == 0 || (!options_end && a.starts_with("-"))) {
      options_end = options_end || (i > 0 && a == "--");
      arguments.push_back(std::move(a));
      continue;
    }
    if (!options_end && is_help_request(a)) {
      arguments.emplace_back("--help");
      continue;
    }
    // "C:\logs\" in quotes reaches the program as C:\logs": the run-time reads \" as a quote of
    // the text, and takes the blanks that cmd.exe leaves where it took a redirection away ("C:\logs\"
    // >list.txt) into the argument as well. No Windows name holds a quote or ends in a blank, so
    // such an argument can only mean the path before them.
    std::size_t end = a.find_last_not_of(" \t");
    if (end != std::string::npos && end > 0 && a[end] == '"') {
      std::string path = a.substr(0, end);
      notes.push_back("Took the argument " + a + " as " + path +
                      ": a backslash before a closing quote kept the quote in the argument");
      a = std::move(path);
    }
    if (!quarn::platform_expand_wildcards(a, arguments)) arguments.push_back(std::move(a));
  }
  std::vector<char*> pointers;
  pointers.reserve(arguments.size() + 1);
  for (std::string& a : arguments) pointers.push_back(a.data());
  pointers.push_back(nullptr);
  std::vector<const char*> note_texts;
  for (const std::string& n : notes) note_texts.push_back(n.c_str());
  return quarn::quarn_main(static_cast<int>(arguments.size()), pointers.data(), note_texts.data(),
                           static_cast<int>(note_texts.size()));
}
