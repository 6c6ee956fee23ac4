#include "app/cli_run.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <regex>
#include <thread>

#include "support/temp_dir.h"

#ifndef QUARN_EXE
#error "QUARN_EXE must name the built quarn executable"
#endif

namespace quarn::test {

CliRun run_quarn(const std::string& cwd, const std::vector<std::string>& args, int timeout_seconds) {
  TempDir capture;
  const std::string out_path = capture / "out";
  const std::string err_path = capture / "err";
  std::vector<char*> argv;
  std::string program = QUARN_EXE;
  argv.push_back(program.data());
  std::vector<std::string> copies = args;
  for (std::string& a : copies) argv.push_back(a.data());
  argv.push_back(nullptr);

  CliRun run;
  pid_t pid = fork();
  if (pid < 0) {
    ADD_FAILURE() << "fork failed";
    return run;
  }
  if (pid == 0) {
    int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int in = open("/dev/null", O_RDONLY);
    if (out < 0 || err < 0 || in < 0 || chdir(cwd.c_str()) != 0) _exit(250);
    dup2(in, STDIN_FILENO);
    dup2(out, STDOUT_FILENO);
    dup2(err, STDERR_FILENO);
    execv(argv[0], argv.data());
    _exit(251);
  }

  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
  int wstatus = 0;
  for (;;) {
    pid_t done = waitpid(pid, &wstatus, WNOHANG);
    if (done == pid) break;
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &wstatus, 0);
      ADD_FAILURE() << "quarn did not finish within " << timeout_seconds << " s";
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (WIFEXITED(wstatus)) run.status = WEXITSTATUS(wstatus);
  run.out = read_file(out_path);
  run.err = read_file(err_path);
  return run;
}

std::vector<std::string> diagnostics_of(const std::string& err) {
  // "MM-DD HH:MM:SS.mmm PPPPP TTTTT L message"
  static const std::regex kLine(R"(^\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} +-?\d+ +-?\d+ ([VDIWEF?]) (.*)$)");
  std::vector<std::string> out;
  std::size_t pos = 0;
  while (pos < err.size()) {
    std::size_t nl = err.find('\n', pos);
    if (nl == std::string::npos) nl = err.size();
    std::string line = err.substr(pos, nl - pos);
    std::smatch m;
    out.push_back(std::regex_match(line, m, kLine) ? m[1].str() + ": " + m[2].str() : line);
    pos = nl + 1;
  }
  return out;
}

}  // namespace quarn::test
