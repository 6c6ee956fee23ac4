#include "io/input_path.h"

#include <cstring>

#include "base/platform.h"
#include "io/file_system.h"
#include "io/path_names.h"
#include "logging/report.h"

namespace quarn {

namespace {

constexpr std::int64_t kCurrentDirRoom = 2048;

void erase(DynString& path, std::int64_t at, std::int64_t n) {
  char* p = dynstr_data(path);
  const std::int64_t length = dynstr_length(path);
  std::memmove(p + at, p + at + n, static_cast<std::size_t>(length - at - n));
  dynstr_set_length(path, length - n);
}

void replace_backslashes(DynString& path) {
  char* p = dynstr_data(path);
  std::int64_t n = dynstr_length(path);
  for (std::int64_t i = 0; i < n; ++i) {
    if (p[i] == '\\') p[i] = '/';
  }
}

// Each "//" found from `from` on is written as one "/" and the scan goes on behind the pair, so
// "///" keeps two slashes.
void collapse_double_slashes(DynString& path, std::int64_t from) {
  char* p = dynstr_data(path);
  std::int64_t n = dynstr_length(path);
  std::int64_t out = from;
  for (std::int64_t i = from; i < n; ++i) {
    p[out++] = p[i];
    if (p[i] == '/' && i + 1 < n && p[i + 1] == '/') ++i;
  }
  dynstr_set_length(path, out);
}

bool starts_with_two_slashes(const DynString& path) {
  return dynstr_length(path) >= 2 && dynstr_data(path)[0] == '/' && dynstr_data(path)[1] == '/';
}

bool is_drive_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// Windows' long and device forms, as "//?/" or "//./" once the backslashes are turned, in the form
// the rest of the program knows: "//?/C:/x" is C:/x, "//?/UNC/host/share/x" is //host/share/x.
// False for every other such form (a volume by its number, a disk, a pipe): none is a folder of
// logs that a run could have a root in, and none may be taken for a path on the working drive.
bool unwrap_long_form(DynString& path) {
  const char* p = dynstr_data(path);
  const std::int64_t n = dynstr_length(path);
  if (n < 3 || (p[2] != '?' && p[2] != '.') || (n > 3 && p[3] != '/')) return true;
  const StrView rest{p + 4, n > 4 ? n - 4 : 0};
  if (rest.length >= 3 && is_drive_letter(rest.data[0]) && rest.data[1] == ':' && rest.data[2] == '/') {
    erase(path, 0, 4);
    return true;
  }
  if (rest.length >= 4 && sv_equal_ignoring_case(StrView{rest.data, 4}, sv("UNC/"))) {
    erase(path, 2, 6);  // "?/UNC/": "//" and the host meet
    return true;
  }
  return false;
}

bool is_dot_name(StrView name) { return sv_equal(name, sv(".")) || sv_equal(name, sv("..")); }

// Whether a path that starts with "//" names a host and a share on it ("." and ".." name neither).
bool names_a_share(StrView path) {
  const std::int64_t root = path_root_length(path);
  if (root == 0) return false;
  std::int64_t slash = 2;
  while (path.data[slash] != '/') ++slash;  // path_root_length found one
  const std::int64_t share_end = path.data[root - 1] == '/' ? root - 1 : root;
  return !is_dot_name(StrView{path.data + 2, slash - 2}) &&
         !is_dot_name(StrView{path.data + slash + 1, share_end - slash - 1});
}

// The folder that `path` is relative to (the working folder, or on Windows a drive's), as
// get_current_dir gives it, and how many bytes of `path` it replaces.
bool get_relative_base(StrView path, DynString& out, std::int64_t& consumed) {
  dynstr_clear(out);
  std::int64_t room = dynstr_capacity(out);
  if (room < kCurrentDirRoom) room = kCurrentDirRoom;
  char* storage = dynstr_reserve(out, room);
  if (storage == nullptr) return false;
  room = dynstr_capacity(out);
  if (!platform_relative_base(path, storage, static_cast<std::size_t>(room), consumed)) {
    dynstr_clear(out);
    return false;
  }
  dynstr_set_length(out, static_cast<std::int64_t>(std::strlen(storage)));
  replace_backslashes(out);
  return true;
}

// Joins the relative path onto the folder it is relative to; leaves it as it is when that folder
// cannot be had or is not a folder.
void make_absolute(DynString& path) {
  DynString cwd;
  std::int64_t consumed = 0;
  if (!get_relative_base(dynstr_view(path), cwd, consumed)) return;
  std::unique_ptr<FileSystem> here = disk_fs_create(dynstr_view(cwd));
  if (!here) return;
  DynString joined;
  fs_join(here.get(), StrView{dynstr_data(path) + consumed, dynstr_length(path) - consumed}, joined);
  // A working folder at the top ("/", "C:/") ends in the separator that the join adds again;
  // doubled, it would name a path nobody typed ("//nope") in every message about it. Only that
  // one goes: what the user typed behind it is kept as typed.
  const std::int64_t at = dynstr_length(cwd);
  char* p = dynstr_data(joined);
  const std::int64_t n = dynstr_length(joined);
  if (at > 0 && at < n && p[at - 1] == '/' && p[at] == '/' && (at > 1 || !kPlatformHasShares)) {
    std::memmove(p + at, p + at + 1, static_cast<std::size_t>(n - at - 1));
    dynstr_set_length(joined, n - 1);
  }
  path = std::move(joined);
}

}  // namespace

bool get_current_dir(DynString& out) {
  std::int64_t consumed = 0;
  return get_relative_base(StrView{"", 0}, out, consumed);
}

bool normalize_input_path(DynString& path) {
  replace_backslashes(path);
  // A share's "//" stays: halved, it would name a folder on the working drive.
  std::int64_t kept = 0;
  if (kPlatformHasShares && starts_with_two_slashes(path)) {
    if (!unwrap_long_form(path)) return false;
    if (starts_with_two_slashes(path)) kept = 2;
  }
  collapse_double_slashes(path, kept);
  if (kept > 0 && !names_a_share(dynstr_view(path))) return false;
  if (!platform_is_absolute(dynstr_view(path))) make_absolute(path);

  PathInfo info;
  if (!disk_stat(dynstr_view(path), info)) {
    report(LogLevel::Error, "Could not stat path %s", dynstr_data(path));
    return true;
  }
  std::int64_t n = dynstr_length(path);
  const char* p = dynstr_data(path);
  if (info.kind == PathKind::Folder) {
    if (n == 0 || p[n - 1] != '/') dynstr_append(path, "/", 1);
  } else if (info.kind == PathKind::File) {
    if (n > 0 && p[n - 1] == '/') dynstr_pop_char(path);
  }
  return true;
}

}  // namespace quarn
