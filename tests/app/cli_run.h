#pragma once

#include <string>
#include <vector>

namespace quarn::test {

// One run of the built quarn executable.
struct CliRun {
  int status = -1;  // the exit status; -1 when it did not exit normally (killed, crashed)
  std::string out;  // standard output
  std::string err;  // standard error
};

// Runs quarn with `args` from the folder `cwd` and waits for it, at most `timeout_seconds`
// (then it is killed and the status is -1).
CliRun run_quarn(const std::string& cwd, const std::vector<std::string>& args, int timeout_seconds = 60);

// The diagnostic lines of standard error as "L: message" (level letter, colon, blank, message);
// a line that is not a diagnostic line is kept whole, so that it shows in a failed comparison.
std::vector<std::string> diagnostics_of(const std::string& err);

}  // namespace quarn::test
