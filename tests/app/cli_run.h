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
// The status of a run for which no copy of quarn could be put where the other user reaches it.
inline constexpr int kOtherUserCannotReach = 253;

// A folder that `as` can enter, for the folders a test makes for it (of mode 0755 or its own):
// the system's temporary folder, or else /tmp, /var/tmp or /dev/shm. A checkout or a TMPDIR
// below a home folder of mode 700 is out of another user's reach. Empty when `as` can enter none
// of them, or when the switch to `as` fails.
std::string folder_reachable_by(const RunAs& as);

// Runs quarn with `args` from the folder `cwd` and waits for it, at most `timeout_seconds`
// (then it is killed and the status is -1). Standard output and standard error go to files.
// With `as`, quarn runs as that user; the status is kCouldNotSwitchUser when it cannot, and
// kOtherUserCannotReach when that user can reach neither the built quarn nor a copy of it.
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
// error go to /dev/null, or standard error to `stderr_fd` when that is given. SIGPIPE has its
// default action in quarn, whatever the test process inherited. The process id, or -1 when it
// could not be started. The caller waits for it (waitpid).
int start_quarn(const std::string& cwd, const std::vector<std::string>& args, int stderr_fd = -1);

}  // namespace quarn::test
