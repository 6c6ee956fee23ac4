#pragma once

// The few operating-system services the program needs, behind one small interface so that each
// platform has one file of its own (platform_posix.cpp, platform_windows.cpp). Nothing above
// this layer includes an operating-system header. Paths are UTF-8 with "/" separators on both.

#include <cstdint>
#include <cstdio>

#include "base/str_view.h"

namespace quarn {

// --- Diagnostics -----------------------------------------------------------------------------

struct LocalClock {
  int month;  // 1 to 12
  int day;
  int hour;
  int minute;
  int second;
  int millisecond;
};

void platform_local_clock(LocalClock& out);
std::int32_t platform_process_id();
std::int32_t platform_thread_id();
// One unbuffered write of the whole range to standard error; the result is ignored by design.
void platform_write_stderr(const char* bytes, std::size_t n);

// --- Terminal --------------------------------------------------------------------------------

// True when standard error is a terminal that takes cursor controls: isatty, and the terminal
// does not call itself "dumb" (TERM), as editors' shell windows do.
bool platform_stderr_is_terminal();
// The width of that terminal in columns; 0 when it cannot be told.
int platform_stderr_columns();
// A clock that never goes back, in nanoseconds from an arbitrary start.
std::int64_t platform_monotonic_ns();

// --- Files -------------------------------------------------------------------------------------

// The longest name of one folder entry and the longest path (without its NUL), in bytes, that
// the system takes. Windows counts UTF-16 units: 255 a name, 32767 a path (with the "\\?\" form
// that platform_windows.cpp uses); a name of 255 bytes is taken everywhere.
inline constexpr std::int64_t kPlatformNameMax = 255;
#ifdef _WIN32
inline constexpr std::int64_t kPlatformPathMax = 32767;
#else
inline constexpr std::int64_t kPlatformPathMax = 4095;
#endif

// fopen, fseek and ftell with 64-bit offsets, so that logs of several GiB are reachable.
std::FILE* platform_fopen(const char* path, const char* mode);
int platform_fseek(std::FILE* f, std::int64_t offset, int origin);
std::int64_t platform_ftell(std::FILE* f);

enum class PlatformKind { Other, File, Folder };

struct PlatformStat {
  PlatformKind kind;
  std::int64_t size;
  std::uint64_t device;
  std::uint64_t inode;
  // The last change of a file's contents, in nanoseconds since 1970 (as fine as the file system
  // keeps it); 0 where it cannot be had.
  std::int64_t modified_ns;
};

// 0 on success, otherwise the errno value; ENOENT means the path does not exist. A regular file
// named with trailing "/" is still found as that file (other platforms see it so; POSIX answers
// ENOTDIR), so that callers can strip the "/" and go on.
// Flush the file's (already fflush-ed) data, or a folder's entries, to stable storage.
bool platform_sync_file(std::FILE* f);
bool platform_sync_folder(const char* path);
// Replaces `to` by `from` in one step (the C library's rename).
bool platform_rename(const char* from, const char* to);

int platform_stat(const char* path, PlatformStat& out);
// True when `path` itself (not what it leads to) is a symbolic link. A question asked about a
// failure, so it neither records nor forgets one.
bool platform_is_link(const char* path);
bool platform_mkdir(const char* path);
bool platform_remove(const char* path);
bool platform_getcwd(char* buffer, std::size_t capacity);
// POSIX: a path is absolute when it starts with "/". Windows: when it starts with a drive and a
// separator ("C:/", "C:\\") or with two separators and a host ("//host/share/x"); "/x" and "C:x"
// are relative there (see platform_relative_base).
bool platform_is_absolute(StrView path);
// The folder that the relative `path` is taken from, written as platform_getcwd writes it, and
// how many bytes at the front of `path` that folder stands for. POSIX: the working folder, 0.
// Windows: "C:" and "C:x" take the current folder of drive C (2 bytes), "/x" the top of the
// working folder's drive, "C:", or of its share, "\\host\share" (1 byte: the "/"), anything else
// the working folder (0).
bool platform_relative_base(StrView path, char* buffer, std::size_t capacity, std::int64_t& consumed);
// kPlatformSlashIsRoot: whether "/" by itself names a folder that inputs can lie in, as it does
// on POSIX; on a drive-letter platform a root folder is "C:/", and a "/" at the very front names
// none. kPlatformNamesIgnoreCase: whether names that differ only in letter case name one file.
#if defined(_WIN32)
inline constexpr bool kPlatformSlashIsRoot = false;
inline constexpr bool kPlatformNamesIgnoreCase = true;
#else
inline constexpr bool kPlatformSlashIsRoot = true;
inline constexpr bool kPlatformNamesIgnoreCase = false;
#endif

// --- Failed calls --------------------------------------------------------------------------------

// The last failed call of this thread among platform_fopen, platform_stat, platform_mkdir,
// platform_remove, platform_rename, platform_opendir and platform_sync_folder, kept so that the
// report of a failure can say which call failed, on what, and why. Each of these calls forgets
// the previous failure when it starts, so only the latest can be pending; a caller that tolerates
// a failure (a stat that answers "missing", say) forgets it at once, so that it never passes for
// the cause of a later, unrelated report. Thread-local, a fixed block: recording a failure needs
// no memory, which may be what ran out.
struct PlatformFailure {
  const char* call;                 // "open", "stat", "mkdir", ...; null when none is pending
  int error;                        // the errno value
  char path[kPlatformPathMax + 1];  // the full path, cut to fit
  char target[kPlatformPathMax + 1];  // rename's new name; empty for the others
};

// The pending failure of this thread, or null.
const PlatformFailure* platform_pending_failure();
void platform_clear_failure();
// Makes `failure` the pending one: again, for a caller that made other calls since and still
// reports it (a folder listing that went on past an entry it could not examine), or as a stand-in
// for a call the system would have failed (a test double).
void platform_set_failure(const PlatformFailure& failure);
// The system's words for an errno value ("Permission denied"), in `buffer` or a static text.
const char* platform_error_text(int error, char* buffer, std::size_t n);

// Folder enumeration: names in the platform's order, "." and ".." included.
struct PlatformDir;
PlatformDir* platform_opendir(const char* folder);
// The next name, or null at the end; valid until the next call.
const char* platform_readdir(PlatformDir* dir);
void platform_closedir(PlatformDir* dir);

// --- Network shares ---------------------------------------------------------------------------

// Whether a path that starts with "//host/share/" lies on the network share "share" of "host", as
// on Windows ("\\host\share\"), where "\\?\C:\x" is C:/x and "\\?\UNC\host\share" the share too.
// On POSIX "//x" is "/x".
#if defined(_WIN32)
inline constexpr bool kPlatformHasShares = true;
#else
inline constexpr bool kPlatformHasShares = false;
#endif

// --- Letter case of names --------------------------------------------------------------------

// The character that `code_point` counts as where names are compared without their letter case:
// on Windows its capital by the system's table for file names, the one NTFS compares with (one
// UTF-16 unit for one: the sharp s stays, and nothing past U+FFFF changes); on POSIX, where names
// are compared as bytes, itself. Needs no memory. Characters whose capital the system does not
// give all count as one: names then clash where they might differ, never the other way round.
std::uint32_t platform_name_case_fold(std::uint32_t code_point);

}  // namespace quarn

namespace quarn {

// The processors online now; at least 1.
int platform_online_cores();

// The value of the environment variable `name`, copied into `buffer` with its terminating NUL.
// False when it is not set or does not fit. The program reads its environment only here, and only
// for what a job scheduler hands a task (--shard=auto).
bool platform_environment(const char* name, char* buffer, std::size_t capacity);

// Standard input read as the bytes sent: on Windows no CR LF turned into LF and no end at a
// Ctrl-Z, so that a list piped in reads as the same list in a file; nothing to do elsewhere.
void platform_binary_stdin();

// Removes a file with one system call and nothing else, so that a signal handler may use it.
void platform_unlink(const char* path);

// On the signals that end a run (interrupt, terminate, hang-up, and a broken pipe on an output),
// calls `cleanup` inside the signal handler (so it must be async-signal-safe), then ends the
// process as that signal would have, so that a shell sees the usual status (130 for an interrupt,
// 143 for terminate). `terminal_usable` is false for a broken pipe, where writing more is futile.
void platform_on_termination(void (*cleanup)(bool terminal_usable));

}  // namespace quarn
