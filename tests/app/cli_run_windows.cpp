// The Windows side of cli_run.h: quarn.exe started with CreateProcessW, its standard output and
// error in files or a pipe that the test reads.

#include <gtest/gtest.h>
#include <io.h>
#include <windows.h>

#include <string>
#include <thread>

#include "app/cli_run.h"
#include "support/temp_dir.h"

#ifndef QUARN_EXE
#error "QUARN_EXE must name the built quarn executable"
#endif

namespace quarn::test {

namespace {

std::wstring wide(const std::string& utf8) { return fs_path(utf8).wstring(); }

// One argument as the C run-time's command-line parser reads it back: quoted when it holds a
// blank or a quote or is empty, a quote escaped with "\", and backslashes doubled only before a
// quote.
void append_argument(std::wstring& line, const std::wstring& arg) {
  if (!line.empty()) line += L' ';
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    line += arg;
    return;
  }
  line += L'"';
  std::size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    if (c == L'"') {
      line.append(backslashes * 2 + 1, L'\\');
    } else {
      line.append(backslashes, L'\\');
    }
    backslashes = 0;
    line += c;
  }
  line.append(backslashes * 2, L'\\');
  line += L'"';
}

std::wstring command_line(const std::vector<std::string>& args) {
  std::wstring line;
  append_argument(line, wide(QUARN_EXE));
  for (const std::string& a : args) append_argument(line, wide(a));
  return line;
}

// A handle the child inherits: a file created for writing, or the null device for reading.
HANDLE inheritable_file(const std::wstring& path, bool write) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  return CreateFileW(path.c_str(), write ? GENERIC_WRITE : GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                     write ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Starts quarn with the three standard handles given; the process handle, or null.
HANDLE start(const std::string& cwd, const std::vector<std::string>& args, HANDLE in, HANDLE out, HANDLE err,
             DWORD* pid = nullptr) {
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = in;
  startup.hStdOutput = out;
  startup.hStdError = err;
  PROCESS_INFORMATION process{};
  std::wstring line = command_line(args);
  std::wstring folder = wide(cwd);
  if (CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, folder.c_str(), &startup, &process) ==
      0) {
    ADD_FAILURE() << "CreateProcessW failed: " << GetLastError();
    return nullptr;
  }
  CloseHandle(process.hThread);
  if (pid != nullptr) *pid = process.dwProcessId;
  return process.hProcess;
}

// Waits for the process until the deadline, then ends it. The exit status, or -1.
int wait_for(HANDLE process, int timeout_seconds) {
  int status = -1;
  if (WaitForSingleObject(process, static_cast<DWORD>(timeout_seconds) * 1000) != WAIT_OBJECT_0) {
    TerminateProcess(process, 1);
    WaitForSingleObject(process, INFINITE);
    ADD_FAILURE() << "quarn did not finish within " << timeout_seconds << " s";
  } else {
    DWORD code = 0;
    if (GetExitCodeProcess(process, &code) != 0) status = static_cast<int>(code);
  }
  CloseHandle(process);
  return status;
}

CliRun run(const std::string& cwd, const std::vector<std::string>& args, int timeout_seconds, bool err_to_pipe) {
  TempDir capture;
  const std::string out_path = capture / "out";
  const std::string err_path = capture / "err";
  CliRun result;
  HANDLE in = inheritable_file(L"NUL", false);
  HANDLE out = inheritable_file(wide(out_path), true);
  HANDLE err = INVALID_HANDLE_VALUE;
  HANDLE err_read = nullptr;
  if (err_to_pipe) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE write_end = nullptr;
    if (CreatePipe(&err_read, &write_end, &inherit, 0) != 0) {
      SetHandleInformation(err_read, HANDLE_FLAG_INHERIT, 0);
      err = write_end;
    }
  } else {
    err = inheritable_file(wide(err_path), true);
  }
  if (in == INVALID_HANDLE_VALUE || out == INVALID_HANDLE_VALUE || err == INVALID_HANDLE_VALUE) {
    ADD_FAILURE() << "the standard handles for quarn could not be made";
    for (HANDLE h : {in, out, err, err_read}) {
      if (h != nullptr && h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
    return result;
  }
  HANDLE process = start(cwd, args, in, out, err);
  // Only the child keeps them now: the pipe ends when quarn does.
  CloseHandle(in);
  CloseHandle(out);
  CloseHandle(err);
  std::thread drain;
  if (err_read != nullptr) {
    drain = std::thread([err_read, into = &result.err] {
      char buffer[4096];
      DWORD n = 0;
      while (ReadFile(err_read, buffer, sizeof buffer, &n, nullptr) != 0 && n > 0) into->append(buffer, n);
    });
  }
  if (process != nullptr) result.status = wait_for(process, timeout_seconds);
  if (drain.joinable()) drain.join();
  if (err_read != nullptr) CloseHandle(err_read);
  result.out = read_file(out_path);
  if (!err_to_pipe) result.err = read_file(err_path);
  return result;
}

}  // namespace

CliRun run_quarn(const std::string& cwd, const std::vector<std::string>& args, int timeout_seconds, const RunAs* as) {
  // Windows cannot start a process as another user without that user's password.
  if (as != nullptr) {
    CliRun refused;
    refused.status = kCouldNotSwitchUser;
    return refused;
  }
  return run(cwd, args, timeout_seconds, false);
}

CliRun run_quarn_stderr_to_pipe(const std::string& cwd, const std::vector<std::string>& args, int timeout_seconds) {
  return run(cwd, args, timeout_seconds, true);
}

CliRun run_quarn_in_terminal(const std::string&, const std::vector<std::string>&, int, const std::string&, int) {
  ADD_FAILURE() << "Windows has no pseudo-terminal to run quarn on";
  return CliRun{};
}

std::string folder_reachable_by(const RunAs&) { return {}; }

int start_quarn(const std::string& cwd, const std::vector<std::string>& args, int stderr_fd) {
  HANDLE null_in = inheritable_file(L"NUL", false);
  HANDLE null_out = inheritable_file(L"NUL", true);
  // A C run-time descriptor of the test for standard error: its handle, made inheritable.
  HANDLE err = null_out;
  if (stderr_fd >= 0) {
    HANDLE given = reinterpret_cast<HANDLE>(_get_osfhandle(stderr_fd));
    if (given == INVALID_HANDLE_VALUE ||
        DuplicateHandle(GetCurrentProcess(), given, GetCurrentProcess(), &err, 0, TRUE, DUPLICATE_SAME_ACCESS) == 0) {
      err = null_out;
    }
  }
  DWORD pid = 0;
  HANDLE process = start(cwd, args, null_in, null_out, err, &pid);
  CloseHandle(null_in);
  CloseHandle(null_out);
  if (err != null_out) CloseHandle(err);
  if (process == nullptr) return -1;
  // The handle stays open: the caller goes by the process id (OpenProcess), which then names this
  // process, and keeps its exit status, until the test process ends.
  return static_cast<int>(pid);
}

}  // namespace quarn::test
