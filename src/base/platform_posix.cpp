// POSIX side of the platform layer.

#include <dirent.h>
#include <signal.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "base/platform.h"
#include "base/platform_failure.h"
#include "base/platform_shared.h"

namespace quarn {

using platform_detail::begin_call;
using platform_detail::record_failure;

void platform_local_clock(LocalClock& out) {
  struct timespec ts {};
  clock_gettime(CLOCK_REALTIME, &ts);
  struct tm local {};
  time_t secs = ts.tv_sec;
  localtime_r(&secs, &local);
  out.month = local.tm_mon + 1;
  out.day = local.tm_mday;
  out.hour = local.tm_hour;
  out.minute = local.tm_min;
  out.second = local.tm_sec;
  out.millisecond = static_cast<int>(ts.tv_nsec / 1000000);
}

std::int32_t platform_process_id() { return static_cast<std::int32_t>(getpid()); }

std::int32_t platform_thread_id() { return static_cast<std::int32_t>(syscall(SYS_gettid)); }

void platform_write_stderr(const char* bytes, std::size_t n) {
  ssize_t r = write(STDERR_FILENO, bytes, n);
  (void)r;  // a diagnostic that cannot be written is dropped
}

bool platform_stderr_is_terminal() {
  if (isatty(STDERR_FILENO) != 1) return false;
  return !platform_detail::term_is_dumb();
}

int platform_stderr_columns() {
  struct winsize size {};
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) != 0) return 0;
  return static_cast<int>(size.ws_col);
}

std::int64_t platform_monotonic_ns() {
  struct timespec ts {};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

const char* platform_error_text(int error, char* buffer, std::size_t n) {
  // GNU strerror_r: the text may be a static one rather than `buffer`.
  return strerror_r(error, buffer, n);
}

std::FILE* platform_fopen(const char* path, const char* mode) {
  begin_call();
  std::FILE* f = fopen(path, mode);
  if (f == nullptr) record_failure("open", path, errno);
  return f;
}

int platform_fseek(std::FILE* f, std::int64_t offset, int origin) {
  return fseeko(f, static_cast<off_t>(offset), origin);
}

std::int64_t platform_ftell(std::FILE* f) { return static_cast<std::int64_t>(ftello(f)); }

bool platform_sync_file(std::FILE* f) { return fsync(fileno(f)) == 0; }

bool platform_sync_folder(const char* path) {
  begin_call();
  int fd = open(path, O_RDONLY | O_DIRECTORY);
  if (fd < 0) {
    record_failure("open", path, errno);
    return false;
  }
  bool ok = fsync(fd) == 0;
  if (!ok) record_failure("fsync", path, errno);
  close(fd);
  return ok;
}

bool platform_rename(const char* from, const char* to) {
  begin_call();
  if (rename(from, to) == 0) return true;
  record_failure("rename", from, errno, to);
  return false;
}

namespace {

void fill_stat(const struct stat& st, PlatformStat& out) {
  if (S_ISREG(st.st_mode)) {
    out.kind = PlatformKind::File;
  } else if (S_ISDIR(st.st_mode)) {
    out.kind = PlatformKind::Folder;
  } else {
    out.kind = PlatformKind::Other;
  }
  out.size = static_cast<std::int64_t>(st.st_size);
  out.device = static_cast<std::uint64_t>(st.st_dev);
  out.inode = static_cast<std::uint64_t>(st.st_ino);
  out.modified_ns = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

}  // namespace

int platform_stat(const char* path, PlatformStat& out) {
  begin_call();
  struct stat st {};
  if (stat(path, &st) == 0) {
    fill_stat(st, out);
    return 0;
  }
  int err = errno;
  std::size_t n = std::strlen(path);
  if (err == ENOTDIR && n > 1 && path[n - 1] == '/') {
    std::string trimmed(path, n);
    while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
    if (stat(trimmed.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) {
      fill_stat(st, out);
      return 0;
    }
  }
  record_failure("stat", path, err);
  return err;
}

bool platform_is_link(const char* path) {
  struct stat st {};
  return lstat(path, &st) == 0 && S_ISLNK(st.st_mode);
}

bool platform_mkdir(const char* path) {
  begin_call();
  if (mkdir(path, 0777) == 0) return true;
  record_failure("mkdir", path, errno);
  return false;
}

bool platform_remove(const char* path) {
  begin_call();
  if (remove(path) == 0) return true;
  record_failure("remove", path, errno);
  return false;
}

bool platform_getcwd(char* buffer, std::size_t capacity) { return getcwd(buffer, capacity) != nullptr; }

bool platform_is_absolute(StrView path) { return path.length >= 1 && path.data[0] == '/'; }

bool platform_relative_base(StrView /*path*/, char* buffer, std::size_t capacity, std::int64_t& consumed) {
  consumed = 0;
  return platform_getcwd(buffer, capacity);
}

struct PlatformDir {
  DIR* dir;
};

PlatformDir* platform_opendir(const char* folder) {
  begin_call();
  DIR* d = opendir(folder);
  if (d == nullptr) {
    record_failure("opendir", folder, errno);
    return nullptr;
  }
  PlatformDir* handle = new (std::nothrow) PlatformDir{d};
  if (handle == nullptr) {
    closedir(d);
    record_failure("opendir", folder, ENOMEM);
  }
  return handle;
}

const char* platform_readdir(PlatformDir* dir) {
  struct dirent* e = readdir(dir->dir);
  return e == nullptr ? nullptr : e->d_name;
}

void platform_closedir(PlatformDir* dir) {
  if (dir == nullptr) return;
  closedir(dir->dir);
  delete dir;
}

std::uint32_t platform_name_case_fold(std::uint32_t code_point) { return code_point; }

}  // namespace quarn

namespace quarn {

void platform_unlink(const char* path) { static_cast<void>(unlink(path)); }

int platform_online_cores() { return platform_detail::clamp_cores(sysconf(_SC_NPROCESSORS_ONLN)); }

void platform_binary_stdin() {}

namespace {

std::atomic<void (*)(bool)> termination_cleanup{nullptr};
constexpr int kTerminationSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};

extern "C" void on_termination_signal(int signal_number) {
  if (void (*cleanup)(bool) = termination_cleanup.load()) cleanup(signal_number != SIGPIPE);
  // The default action, raised again: the process ends as killed by the signal.
  struct sigaction plain {};
  plain.sa_handler = SIG_DFL;
  sigemptyset(&plain.sa_mask);
  sigaction(signal_number, &plain, nullptr);
  raise(signal_number);
}

}  // namespace

void platform_on_termination(void (*cleanup)(bool terminal_usable)) {
  termination_cleanup.store(cleanup);
  struct sigaction action {};
  action.sa_handler = on_termination_signal;
  // While one is handled the others wait, so that the cleanup never runs twice at once.
  sigemptyset(&action.sa_mask);
  for (int s : kTerminationSignals) sigaddset(&action.sa_mask, s);
  for (int s : kTerminationSignals) {
    struct sigaction previous {};
    // A signal the caller's shell ignores (nohup, a background job's SIGINT) stays ignored.
    if (sigaction(s, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) continue;
    sigaction(s, &action, nullptr);
  }
}

}  // namespace quarn
