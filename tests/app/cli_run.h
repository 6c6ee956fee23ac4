#pragma once

#include <string>
#include <vector>

#include "support/capture.h"

namespace quarn::test {

// One run of the built quarn executable.
struct CliRun {
  int status = -1;  // the exit status; -1 when it did not exit normally (killed, crashed)
  std::string out;  // standard output
  std::string err;  // standard error
};

// Another user to run quarn as (a root test process can drop its privileges so).
struct RunAs {
  unsigned uid;
  unsigned gid;
};

// The status of a run whose switch to the other user failed.
inline constexpr int kCouldNotSwitchUser = 252;

// Runs quarn with `args` from the folder `cwd` and waits for it, at most `timeout_seconds`
// (then it is killed and the status is -1). Standard output and standard error go to files.
// With `as`, quarn runs as that user; the status is kCouldNotSwitchUser when it cannot.
CliRun run_quarn(const std::string& cwd, const std::vector<std::string>& args, int timeout_seconds = 60,
                 const RunAs* as = nullptr);

// The same with standard error on a pipe, as when a script reads it.
CliRun run_quarn_stderr_to_pipe(const std::string& cwd, const std::vector<std::string>& args,
                                int timeout_seconds = 60);

// The same with standard error on a pseudo-terminal `columns` wide and TERM set to `term`, as
// at an engineer's terminal; standard output still goes to a file. `err` holds the bytes the
// terminal received, after the terminal's own output processing (a line feed arrives as
// carriage return and line feed).
CliRun run_quarn_in_terminal(const std::string& cwd, const std::vector<std::string>& args, int columns,
                             const std::string& term = "xterm", int timeout_seconds = 60);

// Starts quarn with `args` from the folder `cwd` and returns at once; its standard output and
// error go to /dev/null. The process id, or -1 when it could not be started. The caller waits
// for it (waitpid).
int start_quarn(const std::string& cwd, const std::vector<std::string>& args);


}  // namespace quarn::test
