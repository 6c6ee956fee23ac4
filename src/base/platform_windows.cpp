// Windows side of the platform layer. Every path goes to the wide (UTF-16) calls in the "\\?\"
// form: names are taken as they are (UTF-8 inside the program, whatever the ANSI code page), and
// paths may be as long as Windows allows (32767 units) instead of 260 characters. Failures are
// kept as errno values, so that the rest of the program, and its diagnostics, read as on Linux.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0601  // Windows 7: GetActiveProcessorCount
#endif
#include <windows.h>
// (windows.h first: the headers below rely on its definitions.)
#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <new>
#include <string>
#include <vector>

#include "base/platform.h"
#include "base/platform_failure.h"
#include "base/platform_shared.h"
#include "base/platform_windows.h"

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

namespace quarn {

using platform_detail::begin_call;
using platform_detail::record_failure;

// --- Paths -------------------------------------------------------------------------------------

namespace {

// The longest path Windows takes, with room for the "\\?\UNC\" prefix, a pattern's "\*" and the
// NUL.
constexpr int kWideRoom = 32767 + 16;

bool is_separator(wchar_t c) { return c == L'\\' || c == L'/'; }
bool is_separator(char c) { return c == '\\' || c == '/'; }
bool is_drive_letter(int c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// The errno value that says on Linux what a Windows error code says.
int errno_of(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_BAD_PATHNAME:
    // A name Windows cannot hold (":", "?", "*" in it) names nothing that exists.
    case ERROR_INVALID_NAME:
    case ERROR_NO_UNICODE_TRANSLATION: return ENOENT;
    case ERROR_DIRECTORY: return ENOTDIR;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_PRIVILEGE_NOT_HELD: return EACCES;
    case ERROR_WRITE_PROTECT: return EROFS;
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS: return EEXIST;
    case ERROR_DIR_NOT_EMPTY: return ENOTEMPTY;
    case ERROR_FILENAME_EXCED_RANGE:
    case ERROR_BUFFER_OVERFLOW:
    case ERROR_INSUFFICIENT_BUFFER: return ENAMETOOLONG;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY: return ENOMEM;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return ENOSPC;
    case ERROR_NOT_SAME_DEVICE: return EXDEV;
    case ERROR_CANT_RESOLVE_FILENAME: return ELOOP;
    case ERROR_BUSY:
    case ERROR_CURRENT_DIRECTORY: return EBUSY;
    case ERROR_INVALID_PARAMETER: return EINVAL;
    default: return EIO;
  }
}

// The lexical steps that Windows takes on a plain path and skips on a "\\?\" one: "/" becomes
// "\", empty and "." elements go, ".." takes the element before it away (never the root). `text`
// holds `n` units from `from` on; the result is written from `to` on (to <= from, so the two may
// share the buffer), after `root_length` units of the root that are copied unchanged. Returns the
// new end.
int resolve_elements(wchar_t* text, int from, int n, int to, int root_length) {
  int out = to;
  for (int i = 0; i < root_length; ++i) text[out++] = text[from + i] == L'/' ? L'\\' : text[from + i];
  const int top = out;  // ".." stops here
  int i = from + root_length;
  const int end = from + n;
  while (i < end) {
    while (i < end && is_separator(text[i])) ++i;
    int start = i;
    while (i < end && !is_separator(text[i])) ++i;
    int length = i - start;
    if (length == 0 || (length == 1 && text[start] == L'.')) continue;
    if (length == 2 && text[start] == L'.' && text[start + 1] == L'.') {
      while (out > top && text[out - 1] != L'\\') --out;
      if (out > top) --out;  // the separator before it
      continue;
    }
    if (out > top && text[out - 1] != L'\\') text[out++] = L'\\';
    for (int k = 0; k < length; ++k) text[out++] = text[start + k];
  }
  return out;
}

// A UTF-8 path as the wide calls take it: "C:/logs/x" -> "\\?\C:\logs\x", "//host/share/x" ->
// "\\?\UNC\host\share\x", anything relative through GetFullPathNameW first. Built in place, with
// no memory from the heap: removing a temporary trace must work when memory has run out.
class WidePath {
 public:
  // False with `error` (an errno value) when the path cannot be had in this form. `pattern`
  // appends "\*", for listing a folder.
  bool set(const char* utf8, bool pattern = false);
  const wchar_t* c_str() const { return text_; }
  int error() const { return error_; }

 private:
  static constexpr int kPrefixRoom = 8;  // "\\?\UNC\" is the longest prefix
  bool finish(int from, int n, bool pattern);
  // Kept apart so that only relative paths pay for its second buffer on the stack.
  [[gnu::noinline]] bool set_relative(int n, bool pattern);

  wchar_t text_[kWideRoom];
  int error_ = 0;
};

bool WidePath::set(const char* utf8, bool pattern) {
  error_ = 0;
  // The UTF-16 text first goes behind the room of the longest prefix.
  int n =
      MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, text_ + kPrefixRoom, kWideRoom - kPrefixRoom - 3);
  if (n <= 0) {
    error_ = errno_of(GetLastError());
    return false;
  }
  if (n == 1) {
    error_ = ENOENT;  // the empty path names nothing, as on Linux
    return false;
  }
  return finish(kPrefixRoom, n - 1, pattern);
}

bool WidePath::finish(int from, int n, bool pattern) {
  const wchar_t* p = text_ + from;
  int end;
  if (n >= 4 && is_separator(p[0]) && is_separator(p[1]) && (p[2] == L'?' || p[2] == L'.') && is_separator(p[3])) {
    // Already a "\\?\" (or device) path: taken as it is.
    std::memmove(text_, p, static_cast<std::size_t>(n) * sizeof(wchar_t));
    end = n;
  } else if (n >= 3 && is_drive_letter(p[0]) && p[1] == L':' && is_separator(p[2])) {
    std::memcpy(text_, L"\\\\?\\", 4 * sizeof(wchar_t));
    end = resolve_elements(text_, from, n, 4, 3);
  } else if (n >= 3 && is_separator(p[0]) && is_separator(p[1]) && !is_separator(p[2])) {
    // \\host\share\...: the host and share are the root, with the separator behind them, which the
    // first element then follows (and ".." never takes away).
    int root = 2;
    for (int parts = 0; parts < 2 && root < n; ++parts) {
      while (root < n && !is_separator(p[root])) ++root;
      if (root < n) ++root;
    }
    std::memcpy(text_, L"\\\\?\\UNC\\", 8 * sizeof(wchar_t));
    end = resolve_elements(text_, from + 2, n - 2, 8, root - 2);
  } else {
    return set_relative(n, pattern);
  }
  if (pattern) {
    if (end > 0 && text_[end - 1] != L'\\') text_[end++] = L'\\';
    text_[end++] = L'*';
  }
  text_[end] = L'\0';
  return true;
}

// A path that needs the working folder, or a drive's: Windows' own reading, then the form above.
bool WidePath::set_relative(int n, bool pattern) {
  wchar_t relative[kWideRoom];
  std::memcpy(relative, text_ + kPrefixRoom, static_cast<std::size_t>(n) * sizeof(wchar_t));
  relative[n] = L'\0';
  DWORD full = GetFullPathNameW(relative, kWideRoom - kPrefixRoom - 3, text_ + kPrefixRoom, nullptr);
  if (full == 0 || full >= static_cast<DWORD>(kWideRoom - kPrefixRoom - 3)) {
    error_ = full == 0 ? errno_of(GetLastError()) : ENAMETOOLONG;
    return false;
  }
  const wchar_t* p = text_ + kPrefixRoom;
  bool absolute = full >= 3 && ((is_drive_letter(p[0]) && p[1] == L':' && is_separator(p[2])) ||
                                (is_separator(p[0]) && is_separator(p[1])));
  if (!absolute) {
    error_ = ENOENT;
    return false;
  }
  return finish(kPrefixRoom, static_cast<int>(full), pattern);
}

// UTF-16 to UTF-8 into `out` (room for `capacity` bytes with the NUL); false when it does not fit.
bool utf8_of(const wchar_t* text, int length, char* out, std::size_t capacity) {
  if (capacity == 0) return false;
  if (length == 0) {
    out[0] = '\0';
    return true;
  }
  int n = WideCharToMultiByte(CP_UTF8, 0, text, length, out, static_cast<int>(capacity - 1), nullptr, nullptr);
  if (n <= 0) return false;
  out[n] = '\0';
  return true;
}

}  // namespace

// --- Diagnostics -------------------------------------------------------------------------------

void platform_local_clock(LocalClock& out) {
  SYSTEMTIME now;
  GetLocalTime(&now);
  out.month = now.wMonth;
  out.day = now.wDay;
  out.hour = now.wHour;
  out.minute = now.wMinute;
  out.second = now.wSecond;
  out.millisecond = now.wMilliseconds;
}

std::int32_t platform_process_id() { return static_cast<std::int32_t>(GetCurrentProcessId()); }

std::int32_t platform_thread_id() { return static_cast<std::int32_t>(GetCurrentThreadId()); }

namespace {

std::atomic<void (*)(bool)> termination_cleanup{nullptr};
std::atomic<bool> terminating{false};

// What Windows reports for a program ended by Ctrl-C, and for one whose pipe was closed.
constexpr UINT kStatusControlC = 0xC000013A;
constexpr UINT kStatusPipeBroken = 0xC000014B;

// Cleans up once and ends the process at once: no atexit work, no C library locks that another
// thread may hold. A second caller (another event, a broken pipe met while cleaning up) waits for
// the end.
[[noreturn]] void end_run(bool terminal_usable, UINT status) {
  if (!terminating.exchange(true)) {
    if (void (*cleanup)(bool) = termination_cleanup.load()) cleanup(terminal_usable);
    TerminateProcess(GetCurrentProcess(), status);
  }
  for (;;) Sleep(INFINITE);
}

bool is_console(HANDLE h, DWORD* mode = nullptr) {
  DWORD m = 0;
  if (h == nullptr || h == INVALID_HANDLE_VALUE || GetConsoleMode(h, &m) == 0) return false;
  if (mode != nullptr) *mode = m;
  return true;
}

// A console shows UTF-8 right only when it gets the text as UTF-16.
bool write_console(HANDLE h, const char* bytes, std::size_t n) {
  constexpr int kRoom = 2048;
  wchar_t room[kRoom];
  wchar_t* wide = room;
  int length = MultiByteToWideChar(CP_UTF8, 0, bytes, static_cast<int>(n), nullptr, 0);
  if (length <= 0) return false;
  if (length > kRoom) wide = new (std::nothrow) wchar_t[static_cast<std::size_t>(length)];
  if (wide == nullptr) return false;
  MultiByteToWideChar(CP_UTF8, 0, bytes, static_cast<int>(n), wide, length);
  DWORD written = 0;
  bool ok = WriteConsoleW(h, wide, static_cast<DWORD>(length), &written, nullptr) != 0;
  if (wide != room) delete[] wide;
  return ok;
}

}  // namespace

void platform_write_stderr(const char* bytes, std::size_t n) {
  HANDLE h = GetStdHandle(STD_ERROR_HANDLE);
  if (h == nullptr || h == INVALID_HANDLE_VALUE || n == 0) return;  // no standard error at all
  if (is_console(h) && write_console(h, bytes, n)) return;
  DWORD written = 0;
  if (WriteFile(h, bytes, static_cast<DWORD>(n), &written, nullptr) != 0) return;
  // A closed pipe ends the run as SIGPIPE does on Linux; any other failure drops the line, and so
  // does one met while the run is ending already (the clean-up may write).
  DWORD error = GetLastError();
  if ((error == ERROR_NO_DATA || error == ERROR_BROKEN_PIPE) && !terminating.load()) end_run(false, kStatusPipeBroken);
}

// --- Terminal ----------------------------------------------------------------------------------

bool platform_stderr_is_terminal() {
  HANDLE h = GetStdHandle(STD_ERROR_HANDLE);
  DWORD mode = 0;
  if (!is_console(h, &mode)) return false;
  if (platform_detail::term_is_dumb()) return false;
  // The status line uses "\r" and "ESC [ K"; a console that cannot take the latter gets none.
  return (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0 ||
         SetConsoleMode(h, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

int platform_stderr_columns() {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info) == 0) return 0;
  // One column is kept free: a console that wraps as soon as the last column is written would
  // push the status line up a row at every redraw.
  int columns = info.srWindow.Right - info.srWindow.Left + 1;
  return columns > 1 ? columns - 1 : 0;
}

std::int64_t platform_monotonic_ns() {
  static const std::int64_t frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return static_cast<std::int64_t>(f.QuadPart);
  }();
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  std::int64_t ticks = now.QuadPart;
  return ticks / frequency * 1000000000 + ticks % frequency * 1000000000 / frequency;
}

// --- Failed calls ------------------------------------------------------------------------------

const char* platform_error_text(int error, char* buffer, std::size_t n) {
  // The GNU C library's words, so that a diagnostic reads the same on both systems.
  switch (error) {
    case ENOENT: return "No such file or directory";
    case ENOTDIR: return "Not a directory";
    case EISDIR: return "Is a directory";
    case EACCES: return "Permission denied";
    case EROFS: return "Read-only file system";
    case EEXIST: return "File exists";
    case ENOTEMPTY: return "Directory not empty";
    case ENAMETOOLONG: return "File name too long";
    case ENOMEM: return "Cannot allocate memory";
    case ENOSPC: return "No space left on device";
    case EXDEV: return "Invalid cross-device link";
    case ELOOP: return "Too many levels of symbolic links";
    case EBUSY: return "Device or resource busy";
    case EINVAL: return "Invalid argument";
    case EIO: return "Input/output error";
    default: break;
  }
  std::snprintf(buffer, n, "Unknown error %d", error);
  return buffer;
}

// --- Files -------------------------------------------------------------------------------------

std::FILE* platform_fopen(const char* path, const char* mode) {
  begin_call();
  DWORD access = 0;
  DWORD disposition = 0;
  int flags = _O_BINARY;
  const bool update = std::strchr(mode, '+') != nullptr;
  switch (mode[0]) {
    case 'r':
      access = update ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ;
      disposition = OPEN_EXISTING;
      flags |= update ? _O_RDWR : _O_RDONLY;
      break;
    case 'w':
      access = update ? GENERIC_READ | GENERIC_WRITE : GENERIC_WRITE;
      disposition = CREATE_ALWAYS;
      flags |= update ? _O_RDWR : _O_WRONLY;
      break;
    default: record_failure("open", path, EINVAL); return nullptr;
  }
  WidePath wide;
  if (!wide.set(path)) {
    record_failure("open", path, wide.error());
    return nullptr;
  }
  // Shared for deletion: the handler of Ctrl-C removes temporary traces that are still open.
  HANDLE h = CreateFileW(wide.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    int e = errno_of(error);
    // Linux says what it is when a folder is opened as a file.
    DWORD attributes = GetFileAttributesW(wide.c_str());
    if (error == ERROR_ACCESS_DENIED && attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      e = EISDIR;
    }
    record_failure("open", path, e);
    return nullptr;
  }
  int fd = _open_osfhandle(reinterpret_cast<std::intptr_t>(h), flags);
  if (fd < 0) {
    CloseHandle(h);
    record_failure("open", path, EMFILE);
    return nullptr;
  }
  std::FILE* f = _fdopen(fd, mode);
  if (f == nullptr) {
    _close(fd);
    record_failure("open", path, ENOMEM);
  }
  return f;
}

int platform_fseek(std::FILE* f, std::int64_t offset, int origin) { return _fseeki64(f, offset, origin); }

std::int64_t platform_ftell(std::FILE* f) { return _ftelli64(f); }

bool platform_sync_file(std::FILE* f) {
  HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(f)));
  return h != INVALID_HANDLE_VALUE && FlushFileBuffers(h) != 0;
}

bool platform_sync_folder(const char* path) {
  // Windows gives a folder's entries no flush of their own: the file system journals them, and a
  // trace is put in place with MOVEFILE_WRITE_THROUGH. The folder is still opened, so that one
  // that has gone is reported as on Linux.
  begin_call();
  WidePath wide;
  if (!wide.set(path)) {
    record_failure("open", path, wide.error());
    return false;
  }
  HANDLE h = CreateFileW(wide.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    record_failure("open", path, errno_of(GetLastError()));
    return false;
  }
  CloseHandle(h);
  return true;
}

bool platform_rename(const char* from, const char* to) {
  begin_call();
  WidePath wide_from;
  WidePath wide_to;
  if (!wide_from.set(from) || !wide_to.set(to)) {
    record_failure("rename", from, wide_from.error() != 0 ? wide_from.error() : wide_to.error(), to);
    return false;
  }
  // The C library's rename refuses to replace a file; this replaces it in one step, and returns
  // only once the new name is on the disk.
  if (MoveFileExW(wide_from.c_str(), wide_to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0) {
    return true;
  }
  record_failure("rename", from, errno_of(GetLastError()), to);
  return false;
}

namespace {

// The kind, size and identity of what `wide` leads to (links followed). Identity is the volume's
// serial number and the file index: the C library's stat gives every folder the same (0).
int stat_wide(const wchar_t* wide, PlatformStat& out) {
  HANDLE h = CreateFileW(wide, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return errno_of(GetLastError());
  BY_HANDLE_FILE_INFORMATION info;
  bool have_info = GetFileInformationByHandle(h, &info) != 0;
  DWORD error = have_info ? 0 : GetLastError();
  DWORD type = GetFileType(h);
  CloseHandle(h);
  if (type != FILE_TYPE_DISK) {
    out = PlatformStat{PlatformKind::Other, 0, 0, 0, 0};
    return 0;
  }
  if (!have_info) return errno_of(error);
  out.kind = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? PlatformKind::Folder : PlatformKind::File;
  out.size = static_cast<std::int64_t>((static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow);
  out.device = info.dwVolumeSerialNumber;
  out.inode = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  // FILETIME counts 100 ns from 1601; the difference to 1970 is 11644473600 s.
  const std::uint64_t ticks =
      (static_cast<std::uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) | info.ftLastWriteTime.dwLowDateTime;
  out.modified_ns = (static_cast<std::int64_t>(ticks) - 116444736000000000) * 100;
  return 0;
}

}  // namespace

int platform_stat(const char* path, PlatformStat& out) {
  begin_call();
  WidePath wide;
  int error = wide.set(path) ? stat_wide(wide.c_str(), out) : wide.error();
  if (error == 0) {
    // The "\\?\" form drops a trailing "\": a file named "x.txt/" is found as that file, as the
    // interface asks; a folder is a folder either way.
    return 0;
  }
  record_failure("stat", path, error);
  return error;
}

bool platform_is_link(const char* path) {
  WidePath wide;
  if (!wide.set(path)) return false;
  DWORD attributes = GetFileAttributesW(wide.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

bool platform_mkdir(const char* path) {
  begin_call();
  WidePath wide;
  if (wide.set(path) && CreateDirectoryW(wide.c_str(), nullptr) != 0) return true;
  record_failure("mkdir", path, wide.error() != 0 ? wide.error() : errno_of(GetLastError()));
  return false;
}

bool platform_remove(const char* path) {
  begin_call();
  WidePath wide;
  if (!wide.set(path)) {
    record_failure("remove", path, wide.error());
    return false;
  }
  // As the C library's remove: a file, or an empty folder.
  DWORD attributes = GetFileAttributesW(wide.c_str());
  bool ok =
      attributes != INVALID_FILE_ATTRIBUTES &&
      ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? RemoveDirectoryW(wide.c_str()) : DeleteFileW(wide.c_str())) != 0;
  if (!ok) record_failure("remove", path, errno_of(GetLastError()));
  return ok;
}

bool platform_getcwd(char* buffer, std::size_t capacity) {
  wchar_t wide[kWideRoom];
  DWORD n = GetCurrentDirectoryW(kWideRoom, wide);
  if (n == 0 || n >= static_cast<DWORD>(kWideRoom)) return false;
  const wchar_t* text = wide;
  int length = static_cast<int>(n);
  // A working folder set in the long form reads as the plain one.
  if (length >= 6 && std::wcsncmp(wide, L"\\\\?\\", 4) == 0 && wide[5] == L':') {
    text += 4;
    length -= 4;
  } else if (length >= 8 && std::wcsncmp(wide, L"\\\\?\\", 4) == 0 && _wcsnicmp(wide + 4, L"UNC\\", 4) == 0) {
    // "\\?\UNC\host\share" is "\\host\share".
    text += 6;
    length -= 6;
    wide[6] = L'\\';
  }
  return utf8_of(text, length, buffer, capacity);
}

bool platform_is_absolute(StrView path) {
  const char* p = path.data;
  if (path.length < 3) return false;
  // A drive's folder, or a network share's ("\\host\share\x").
  return (is_drive_letter(static_cast<unsigned char>(p[0])) && p[1] == ':' && (p[2] == '/' || p[2] == '\\')) ||
         (is_separator(p[0]) && is_separator(p[1]) && !is_separator(p[2]));
}

bool platform_relative_base(StrView path, char* buffer, std::size_t capacity, std::int64_t& consumed) {
  consumed = 0;
  if (path.length >= 2 && is_drive_letter(static_cast<unsigned char>(path.data[0])) && path.data[1] == ':') {
    // "C:" alone names the current folder of drive C, which Windows keeps for every drive.
    wchar_t drive[3] = {static_cast<wchar_t>(path.data[0]), L':', L'\0'};
    wchar_t wide[kWideRoom];
    DWORD n = GetFullPathNameW(drive, kWideRoom, wide, nullptr);
    if (n == 0 || n >= static_cast<DWORD>(kWideRoom)) return false;
    // The drive's top folder ends in "\": the join puts a separator of its own.
    if (n > 3 && wide[n - 1] == L'\\') --n;
    if (n == 3) n = 2;
    consumed = 2;
    return utf8_of(wide, static_cast<int>(n), buffer, capacity);
  }
  if (!platform_getcwd(buffer, capacity)) return false;
  if (path.length < 1 || (path.data[0] != '/' && path.data[0] != '\\')) return true;
  // "/x" is x at the top of the working folder's drive, or of its share: never above it.
  if (capacity >= 3 && is_drive_letter(static_cast<unsigned char>(buffer[0])) && buffer[1] == ':') {
    buffer[2] = '\0';
    consumed = 1;
  } else if (is_separator(buffer[0]) && is_separator(buffer[1])) {
    std::size_t end = 2;
    for (int part = 0; part < 2 && buffer[end] != '\0'; ++part) {
      if (part > 0) ++end;
      while (buffer[end] != '\0' && !is_separator(buffer[end])) ++end;
    }
    buffer[end] = '\0';
    consumed = 1;
  }
  return true;
}

// --- Folders -----------------------------------------------------------------------------------

struct PlatformDir {
  HANDLE find;
  bool have_entry;  // `entry` holds a name not yet handed out
  WIN32_FIND_DATAW entry;
  char name[3 * MAX_PATH + 1];  // a name of up to 260 units as UTF-8
};

PlatformDir* platform_opendir(const char* folder) {
  begin_call();
  WidePath pattern;
  if (!pattern.set(folder, true)) {
    record_failure("opendir", folder, pattern.error());
    return nullptr;
  }
  PlatformDir* dir = new (std::nothrow) PlatformDir{};
  if (dir == nullptr) {
    record_failure("opendir", folder, ENOMEM);
    return nullptr;
  }
  dir->find = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &dir->entry, FindExSearchNameMatch, nullptr,
                               FIND_FIRST_EX_LARGE_FETCH);
  if (dir->find == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    // Only a drive's top folder can be empty of even "." and "..".
    if (error != ERROR_FILE_NOT_FOUND) {
      delete dir;
      record_failure("opendir", folder, error == ERROR_PATH_NOT_FOUND ? ENOENT : errno_of(error));
      return nullptr;
    }
  }
  dir->have_entry = dir->find != INVALID_HANDLE_VALUE;
  return dir;
}

const char* platform_readdir(PlatformDir* dir) {
  for (;;) {
    if (!dir->have_entry) {
      if (dir->find == INVALID_HANDLE_VALUE || FindNextFileW(dir->find, &dir->entry) == 0) return nullptr;
    }
    dir->have_entry = false;
    const wchar_t* name = dir->entry.cFileName;
    // A name that UTF-8 cannot hold whole (an unpaired surrogate) is handed out with U+FFFD in
    // its place; examined under that name it is reported as missing.
    if (utf8_of(name, static_cast<int>(std::wcslen(name)), dir->name, sizeof dir->name)) return dir->name;
  }
}

void platform_closedir(PlatformDir* dir) {
  if (dir == nullptr) return;
  if (dir->find != INVALID_HANDLE_VALUE) FindClose(dir->find);
  delete dir;
}

// --- Letter case of names ------------------------------------------------------------------------

namespace {

// Where a character's capital cannot be had: a unit that no name holds (a noncharacter), which
// every such character folds to.
constexpr std::uint16_t kUnknownCapital = 0xFFFF;

// The capital of every UTF-16 unit, as the system gives it for file names (LCMapStringEx's
// default casing is the file system's, not a language's), asked for once, in runs of units, and
// kept in static storage: folding a name then costs no system call and no memory.
struct CapitalTable {
  std::uint16_t unit[65536];

  CapitalTable() {
    for (std::uint32_t i = 0; i < 128; ++i) unit[i] = static_cast<std::uint16_t>(i >= 'a' && i <= 'z' ? i - 32 : i);
    // Surrogates are halves of characters past U+FFFF, which are compared as they are.
    for (std::uint32_t i = 0xD800; i < 0xE000; ++i) unit[i] = static_cast<std::uint16_t>(i);
    map(0x80, 0xD800);
    map(0xE000, 0x10000);
  }

  void map(std::uint32_t from, std::uint32_t to) {
    constexpr int kRun = 1024;
    wchar_t in[kRun];
    wchar_t out[kRun];
    for (std::uint32_t start = from; start < to; start += kRun) {
      const int n = static_cast<int>(to - start < kRun ? to - start : kRun);
      for (int k = 0; k < n; ++k) in[k] = static_cast<wchar_t>(start + static_cast<std::uint32_t>(k));
      // One capital for one unit is what names are compared by; a run that maps otherwise is
      // asked for unit by unit.
      if (LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, in, n, out, n, nullptr, nullptr, 0) == n) {
        for (int k = 0; k < n; ++k) unit[start + static_cast<std::uint32_t>(k)] = static_cast<std::uint16_t>(out[k]);
        continue;
      }
      for (int k = 0; k < n; ++k) {
        wchar_t capital = 0;
        bool one =
            LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, in + k, 1, &capital, 1, nullptr, nullptr, 0) == 1;
        unit[start + static_cast<std::uint32_t>(k)] = one ? static_cast<std::uint16_t>(capital) : kUnknownCapital;
      }
    }
  }
};

}  // namespace

std::uint32_t platform_name_case_fold(std::uint32_t code_point) {
  if (code_point > 0xFFFF) return code_point;
  static const CapitalTable table;
  return table.unit[code_point];
}

void platform_unlink(const char* path) {
  WidePath wide;
  if (!wide.set(path)) return;
  // A file still open (the trace being written) loses its name at once where the file system
  // takes POSIX semantics (NTFS since Windows 10 1709); elsewhere DeleteFileW marks it, and it
  // goes when its last handle closes, at the latest when the process ends.
  HANDLE h = CreateFileW(wide.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h != INVALID_HANDLE_VALUE) {
    constexpr DWORD kDelete = 0x1;          // FILE_DISPOSITION_FLAG_DELETE
    constexpr DWORD kPosixSemantics = 0x2;  // FILE_DISPOSITION_FLAG_POSIX_SEMANTICS
    constexpr int kFileDispositionInfoEx = 21;
    DWORD flags = kDelete | kPosixSemantics;
    bool done = SetFileInformationByHandle(h, static_cast<FILE_INFO_BY_HANDLE_CLASS>(kFileDispositionInfoEx), &flags,
                                           sizeof flags) != 0;
    CloseHandle(h);
    if (done) return;
  }
  static_cast<void>(DeleteFileW(wide.c_str()));
}

int platform_online_cores() { return platform_detail::clamp_cores(GetActiveProcessorCount(ALL_PROCESSOR_GROUPS)); }

// --- Ending a run ------------------------------------------------------------------------------

namespace {

// Runs on a thread of its own that the console starts; the process ends inside it.
BOOL WINAPI on_console_event(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT: end_run(event != CTRL_CLOSE_EVENT, kStatusControlC);
    default: return FALSE;
  }
}

}  // namespace

void platform_on_termination(void (*cleanup)(bool terminal_usable)) {
  termination_cleanup.store(cleanup);
  // A process started with Ctrl-C ignored (a new process group) keeps ignoring it: the console
  // does not call handlers for an ignored Ctrl-C.
  SetConsoleCtrlHandler(on_console_event, TRUE);
}

// --- Entry point -------------------------------------------------------------------------------

bool platform_utf8_arguments(int argc, wchar_t** argv, std::vector<std::string>& out) {
  bool whole = true;
  out.clear();
  for (int i = 0; i < argc; ++i) {
    const wchar_t* arg = argv[i];
    int length = static_cast<int>(std::wcslen(arg));
    std::string text;
    if (length > 0) {
      int n = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, arg, length, nullptr, 0, nullptr, nullptr);
      if (n <= 0) {
        whole = false;
        n = WideCharToMultiByte(CP_UTF8, 0, arg, length, nullptr, 0, nullptr, nullptr);
      }
      text.resize(static_cast<std::size_t>(n > 0 ? n : 0));
      if (n > 0) WideCharToMultiByte(CP_UTF8, 0, arg, length, text.data(), n, nullptr, nullptr);
    }
    out.push_back(std::move(text));
  }
  return whole;
}

bool platform_expand_wildcards(const std::string& argument, std::vector<std::string>& out) {
  const std::size_t n = argument.size();
  std::size_t start = 0;
  if (n >= 4 && is_separator(argument[0]) && is_separator(argument[1]) && (argument[2] == '?' || argument[2] == '.') &&
      is_separator(argument[3])) {
    start = 4;
  }
  // The last element begins behind the last separator, or behind a drive ("C:*.txt").
  std::size_t name = start;
  for (std::size_t i = start; i < n; ++i) {
    if (is_separator(argument[i])) name = i + 1;
  }
  if (name == 0 && n >= 2 && is_drive_letter(static_cast<unsigned char>(argument[0])) && argument[1] == ':') name = 2;
  const std::size_t wildcard = argument.find_first_of("*?", start);
  // Wildcards in a folder's name are left as they are, as the C run-time leaves them.
  if (wildcard == std::string::npos || wildcard < name) return false;
  WidePath pattern;
  if (!pattern.set(argument.c_str())) return false;
  WIN32_FIND_DATAW entry;
  HANDLE find = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &entry, FindExSearchNameMatch, nullptr, 0);
  if (find == INVALID_HANDLE_VALUE) return false;
  std::vector<std::string> found;
  char utf8[3 * MAX_PATH + 1];
  do {
    const wchar_t* w = entry.cFileName;
    if (std::wcscmp(w, L".") == 0 || std::wcscmp(w, L"..") == 0) continue;
    if (utf8_of(w, static_cast<int>(std::wcslen(w)), utf8, sizeof utf8))
      found.push_back(argument.substr(0, name) + utf8);
  } while (FindNextFileW(find, &entry) != 0);
  FindClose(find);
  // In byte order, whatever order the file system keeps: a run's diagnostics then come in the
  // order a Linux shell's expansion gives them.
  std::sort(found.begin(), found.end());
  out.insert(out.end(), found.begin(), found.end());
  return !found.empty();
}

void platform_binary_stdin() { _setmode(_fileno(stdin), _O_BINARY); }

void platform_binary_stdout() {
  std::fflush(stdout);
  _setmode(_fileno(stdout), _O_BINARY);
}

}  // namespace quarn
