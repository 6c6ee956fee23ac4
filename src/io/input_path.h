#pragma once

#include "base/dyn_string.h"

namespace quarn {

// Fills `out` with the working folder, "/"-separated, without a trailing "/" (except for the
// top folder itself). False when the working folder cannot be had or is longer than the 2048
// characters reserved for it (more when `out` already holds a larger block); `out` is then
// empty.
bool get_current_dir(DynString& out);

// Brings one command-line path into the form the rest of the program works with:
//   "C:\logs\x"   -> "/" separators: every "\" becomes "/"
//   "a//b///c"    -> "a/b//c": each "//" pair becomes one "/", in one pass that does not rescan
//   "logs"        -> "<working folder>/logs": relative paths are made absolute ("." gives
//                    "<working folder>/./", ".." gives the empty path)
//   "<folder>"    -> "<folder>/": an existing folder ends in "/"
//   "<file>/"     -> "<file>": an existing file does not
// Where paths name network shares (Windows), a share keeps its "//" ("\\host\share\x" is
// "//host/share/x"), and the long forms become the plain ones: "\\?\C:\x" is "C:/x",
// "\\?\UNC\host\share\x" is "//host/share/x". False for a form that names no folder or file a
// run can take ("\\host" without a share, "\\?\Volume{...}\", "\\.\pipe\x"): `path` then holds
// nothing of use, nothing is reported, and the caller names the path as typed. Never so on POSIX.
// A missing path keeps its form and draws no message. When the path exists but cannot be
// examined, "Could not stat path %s" is reported (Error) and the path is left as formed so far.
// When the working folder cannot be had, a relative path stays relative, silently.
bool normalize_input_path(DynString& path);

}  // namespace quarn
