#include "app/cli_run.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <thread>

#include "support/temp_dir.h"

#ifndef QUARN_EXE
#error "QUARN_EXE must name the built quarn executable"
#endif

namespace quarn::test {

namespace {

enum class ErrSink { File, Pipe, Terminal };

// argv for execv: the built quarn, then `args`; points into `storage`.
std::vector<char*> argv_of(std::vector<std::string>& storage) {
  std::vector<char*> argv;
  for (std::string& a : storage) argv.push_back(a.data());
  argv.push_back(nullptr);
  return argv;
}

// In the child: standard input from /dev/null, standard output (and standard error for
// ErrSink::File) to files, the user switched to `as` (when given), the folder changed, then
// quarn. Never returns.
[[noreturn]] void exec_quarn(const std::string& cwd, const std::string& out_path, const std::string* err_path,
                             std::vector<char*>& argv, const RunAs* as = nullptr) {
  int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  int in = open("/dev/null", O_RDONLY);
  int err = err_path != nullptr ? open(err_path->c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600) : STDERR_FILENO;
  if (out < 0 || in < 0 || err < 0) _exit(250);
  // The capture files first: they lie in a folder only the test's own user may enter.
  if (as != nullptr && (setgroups(0, nullptr) != 0 || setgid(as->gid) != 0 || setuid(as->uid) != 0)) {
    _exit(kCouldNotSwitchUser);
  }
  if (chdir(cwd.c_str()) != 0) _exit(250);
  dup2(in, STDIN_FILENO);
  dup2(out, STDOUT_FILENO);
  if (err != STDERR_FILENO) dup2(err, STDERR_FILENO);
  execv(argv[0], argv.data());
  _exit(251);
}

enum class Reach { Yes, No, CouldNotSwitch };

// Whether `as` may use `path` as `mode` says (access(2)), asked in a child that has become that
// user: the test itself may be root, whom no permission bit stops.
Reach reach_as(const RunAs& as, const std::string& path, int mode) {
  pid_t pid = fork();
  if (pid < 0) return Reach::No;
  if (pid == 0) {
    if (setgroups(0, nullptr) != 0 || setgid(as.gid) != 0 || setuid(as.uid) != 0) _exit(2);
    _exit(access(path.c_str(), mode) == 0 ? 0 : 1);
  }
  int wstatus = 0;
  if (waitpid(pid, &wstatus, 0) != pid || !WIFEXITED(wstatus)) return Reach::No;
  return WEXITSTATUS(wstatus) == 0 ? Reach::Yes : WEXITSTATUS(wstatus) == 2 ? Reach::CouldNotSwitch : Reach::No;
}

// What the other user runs: the built quarn when it can reach it, else a copy of it in a folder
// of its own in the user's reach, made once for the test process and removed when it ends.
class QuarnForOtherUser {
 public:
  ~QuarnForOtherUser() { forget(); }

  // The program to run as `as`; empty when there is none.
  const std::string& program(const RunAs& as) {
    if (decided_ && as.uid == uid_ && as.gid == gid_) return program_;
    forget();
    decided_ = true;
    uid_ = as.uid;
    gid_ = as.gid;
    // When the switch itself fails, the run says so (kCouldNotSwitchUser).
    if (reach_as(as, QUARN_EXE, X_OK) != Reach::No) {
      program_ = QUARN_EXE;
      return program_;
    }
    const std::string parent = folder_reachable_by(as);
    if (parent.empty()) return program_;
    std::string pattern = parent + "/quarn-exe-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) return program_;
    folder_ = pattern;
    const std::string copy = folder_ + "/quarn";
    std::error_code ec;
    std::filesystem::copy_file(QUARN_EXE, copy, ec);
    if (ec || chmod(folder_.c_str(), 0755) != 0 || chmod(copy.c_str(), 0755) != 0) return program_;
    if (reach_as(as, copy, X_OK) == Reach::Yes) program_ = copy;
    return program_;
  }

 private:
  void forget() {
    std::error_code ec;
    if (!folder_.empty()) std::filesystem::remove_all(folder_, ec);
    folder_.clear();
    program_.clear();
    decided_ = false;
  }

  bool decided_ = false;
  unsigned uid_ = 0;
  unsigned gid_ = 0;
  std::string program_;
  std::string folder_;
};

QuarnForOtherUser quarn_for_other_user;

// Reads `fd` until its writers are gone (end of file, or EIO from a terminal whose other side
// closed) or the deadline passes; appends to `into`. False on the deadline.
bool drain(int fd, std::string& into, std::chrono::steady_clock::time_point deadline) {
  char buffer[4096];
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    int ready = poll(&p, 1, static_cast<int>(left.count() < 100 ? left.count() : 100));
    if (ready < 0 && errno != EINTR) return true;
    if (ready <= 0) continue;
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0) {
      into.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      return true;
    }
  }
}

// Waits for the child until the deadline, then kills it. The exit status, or -1.
int wait_for(pid_t pid, std::chrono::steady_clock::time_point deadline, int timeout_seconds) {
  int wstatus = 0;
  for (;;) {
    pid_t done = waitpid(pid, &wstatus, WNOHANG);
    if (done == pid) break;
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &wstatus, 0);
      ADD_FAILURE() << "quarn did not finish within " << timeout_seconds << " s";
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
}

CliRun run(const std::string& cwd, const std::vector<std::string>& args, int timeout_seconds, ErrSink sink,
           int columns, const std::string& term, const RunAs* as = nullptr) {
  CliRun result;
  std::string program = QUARN_EXE;
  if (as != nullptr) {
    program = quarn_for_other_user.program(*as);
    if (program.empty()) {
      result.status = kOtherUserCannotReach;
      return result;
    }
  }
  TempDir capture;
  const std::string out_path = capture / "out";
  const std::string err_path = capture / "err";
  std::vector<std::string> storage{program};
  storage.insert(storage.end(), args.begin(), args.end());
  std::vector<char*> argv = argv_of(storage);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);

  int read_fd = -1;
  pid_t pid = -1;
  if (sink == ErrSink::Terminal) {
    winsize size{};
    size.ws_row = 24;
    size.ws_col = static_cast<unsigned short>(columns);
    pid = forkpty(&read_fd, nullptr, nullptr, &size);
    if (pid == 0) {
      setenv("TERM", term.c_str(), 1);
      exec_quarn(cwd, out_path, nullptr, argv);
    }
  } else if (sink == ErrSink::Pipe) {
    int fds[2];
    if (pipe(fds) != 0) {
      ADD_FAILURE() << "pipe failed";
      return result;
    }
    pid = fork();
    if (pid == 0) {
      close(fds[0]);
      dup2(fds[1], STDERR_FILENO);
      exec_quarn(cwd, out_path, nullptr, argv);
    }
    close(fds[1]);
    read_fd = fds[0];
  } else {
    pid = fork();
    if (pid == 0) exec_quarn(cwd, out_path, &err_path, argv, as);
  }
  if (pid < 0) {
    ADD_FAILURE() << "fork failed";
    if (read_fd >= 0) close(read_fd);
    return result;
  }
  if (read_fd >= 0) {
    if (!drain(read_fd, result.err, deadline)) ADD_FAILURE() << "standard error still open at the deadline";
    close(read_fd);
  }
  result.status = wait_for(pid, deadline, timeout_seconds);
  result.out = read_file(out_path);
  if (sink == ErrSink::File) result.err = read_file(err_path);
  return result;
}

}  // namespace

std::string folder_reachable_by(const RunAs& as) {
  std::error_code ec;
  const std::string system_temp = std::filesystem::temp_directory_path(ec).string();
  for (const std::string& folder :
       {system_temp, std::string("/tmp"), std::string("/var/tmp"), std::string("/dev/shm")}) {
    if (folder.empty()) continue;
    Reach reach = reach_as(as, folder, X_OK);
    if (reach == Reach::CouldNotSwitch) return "";
    if (reach == Reach::Yes) return folder;
  }
  return "";
}

CliRun run_quarn(const std::string& cwd, const std::vector<std::string>& args, int timeout_seconds,
                 const RunAs* as) {
  return run(cwd, args, timeout_seconds, ErrSink::File, 0, "", as);
}

CliRun run_quarn_stderr_to_pipe(const std::string& cwd, const std::vector<std::string>& args, int timeout_seconds) {
  return run(cwd, args, timeout_seconds, ErrSink::Pipe, 0, "");
}

CliRun run_quarn_in_terminal(const std::string& cwd, const std::vector<std::string>& args, int columns,
                             const std::string& term, int timeout_seconds) {
  return run(cwd, args, timeout_seconds, ErrSink::Terminal, columns, term);
}

int start_quarn(const std::string& cwd, const std::vector<std::string>& args, int stderr_fd) {
  std::vector<std::string> copies = args;
  std::string program = QUARN_EXE;
  std::vector<char*> argv{program.data()};
  for (std::string& a : copies) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = fork();
  if (pid != 0) return pid < 0 ? -1 : pid;
  int null = open("/dev/null", O_RDWR);
  if (null < 0 || chdir(cwd.c_str()) != 0) _exit(250);
  dup2(null, STDIN_FILENO);
  dup2(null, STDOUT_FILENO);
  dup2(stderr_fd >= 0 ? stderr_fd : null, STDERR_FILENO);
  // An ignored SIGPIPE would stay ignored in quarn, which then sees failed writes instead.
  signal(SIGPIPE, SIG_DFL);
  execv(argv[0], argv.data());
  _exit(251);
}

}  // namespace quarn::test
