// Path normalization and the common root over arbitrary argument lists. The bytes are split at
// NUL and line feed into arguments; each is normalized as the command line does, then the common
// root is found over all of them. The working folder is a scratch folder holding a few files and
// folders, so that relative arguments meet real ones as well as missing ones. The target changes
// the working folder: give libFuzzer absolute paths.

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/dyn_string.h"
#include "batch/input_walk.h"
#include "io/file_system.h"
#include "io/input_path.h"
#include "logging/report.h"

namespace {

[[noreturn]] void fail(const char* what, const std::string& detail = "") {
  std::fprintf(stderr, "paths_fuzz: %s: [%s]\n", what, detail.c_str());
  __builtin_trap();
}

std::string scratch;

void remove_scratch() {
  if (scratch.empty()) return;
  for (const char* name : {"logs/a.txt", "logs/B.TXT", "top.txt", "name with blanks.txt", "-dash.txt"}) {
    std::remove((scratch + "/" + name).c_str());
  }
  rmdir((scratch + "/logs/sub").c_str());
  rmdir((scratch + "/logs").c_str());
  rmdir(scratch.c_str());
}

// Once per process (the replay driver has no initialisation hook): enter a fresh scratch folder.
void enter_scratch() {
  if (!scratch.empty()) return;
  char pattern[] = "/tmp/quarn-paths-fuzz-XXXXXX";
  if (mkdtemp(pattern) == nullptr || chdir(pattern) != 0) fail("no scratch folder");
  scratch = pattern;
  mkdir("logs", 0700);
  mkdir("logs/sub", 0700);
  for (const char* name : {"logs/a.txt", "logs/B.TXT", "top.txt", "name with blanks.txt", "-dash.txt"}) {
    if (FILE* f = std::fopen(name, "w")) std::fclose(f);
  }
  std::atexit(remove_scratch);
}

// "\\" as "/", then each "//" as "/" in one pass: what normalization makes of the separators.
std::string collapsed(const std::string& arg) {
  std::string out;
  for (std::size_t i = 0; i < arg.size(); ++i) {
    bool slash = arg[i] == '/' || arg[i] == '\\';
    out += slash ? '/' : arg[i];
    if (slash && i + 1 < arg.size() && (arg[i + 1] == '/' || arg[i + 1] == '\\')) ++i;
  }
  return out;
}

std::size_t trailing_slashes(const std::string& p) {
  std::size_t n = 0;
  while (n < p.size() && p[p.size() - 1 - n] == '/') ++n;
  return n;
}

std::string text_of(const quarn::DynString& s) {
  return std::string(quarn::dynstr_data(s), static_cast<std::size_t>(quarn::dynstr_length(s)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quarn::set_log_threshold(7);  // nothing on stderr
  enter_scratch();

  std::vector<std::string> args(1);
  for (std::size_t i = 0; i < size && args.size() <= 16; ++i) {
    char c = static_cast<char>(data[i]);
    if (c == '\0' || c == '\n') {
      args.emplace_back();
    } else {
      args.back() += c;
    }
  }

  quarn::DynStringList inputs;
  std::vector<std::string> normalized;
  for (const std::string& arg : args) {
    quarn::DynString path;
    quarn::dynstr_from(path, arg.data(), static_cast<std::int64_t>(arg.size()));
    quarn::normalize_input_path(path);
    std::string p = text_of(path);
    if (p.find('\\') != std::string::npos) fail("a backslash survived", p);
    // Only ".." itself leaves nothing; everything else is made absolute against the working folder.
    if (p.empty() ? arg != ".." : p[0] != '/') fail("not absolute", arg + "] -> [" + p);
    quarn::PathInfo info;
    if (!p.empty() && quarn::disk_stat(quarn::sv(p.c_str()), info)) {
      if (info.kind == quarn::PathKind::Folder && p.back() != '/') fail("a folder without its '/'", p);
      // A file loses one trailing '/' (of a run, only the last).
      if (info.kind == quarn::PathKind::File && trailing_slashes(p) != std::max<std::size_t>(trailing_slashes(collapsed(arg)), 1) - 1) {
        fail("a file's trailing '/'", arg + "] -> [" + p);
      }
    }
    normalized.push_back(p);
    if (!quarn::dynstr_list_push(inputs, path)) fail("list push");
  }

  quarn::DynString root;
  int status = 0;
  bool found = quarn::find_common_root(inputs, root, status);
  if (!found) {
    if (status != 132) fail("failure without status 132");
    for (std::size_t k = 0; k < normalized.size(); ++k) {
      if (text_of(inputs.items[k]) != normalized[k]) fail("a failure changed the inputs", normalized[k]);
    }
    return 0;
  }
  if (status != 0) fail("success with a status");
  std::string r = text_of(root);
  // The root is an absolute folder path ("/" itself for inputs directly below it) ...
  if (r.empty() || r[0] != '/' || r.back() != '/') fail("bad root", r);
  for (std::size_t k = 0; k < normalized.size(); ++k) {
    std::string input = text_of(inputs.items[k]);
    // ... every input is what follows it, so that joined to the root it names the argument again ...
    if (r + input != normalized[k]) fail("input is not relative to the root", r + " + " + input + " != " + normalized[k]);
    // ... and lies directly in it: one name and at most a final '/' (or the '/' alone that a
    // doubled '/' at the end of a folder leaves).
    std::size_t slash = input.find('/');
    if (input.empty() || (slash != std::string::npos && slash + 1 != input.size())) {
      fail("input does not lie directly in the root", r + " + " + input);
    }
    // The pieces of the output path are taken from the input without allocating; they must stay inside it.
    quarn::StrView v{quarn::dynstr_data(inputs.items[k]), quarn::dynstr_length(inputs.items[k])};
    for (quarn::StrView piece : {quarn::path_file_name(v), quarn::path_parent(v)}) {
      if (piece.length < 0 || piece.length > v.length || piece.data < v.data || piece.data + piece.length > v.data + v.length) {
        fail("a path piece outside its path", input);
      }
    }
  }
  return 0;
}
