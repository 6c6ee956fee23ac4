#include "io/input_path.h"

#include <cstring>

#include "base/platform.h"
#include "io/file_system.h"
#include "logging/report.h"

namespace quarn {

namespace {

constexpr std::int64_t kCurrentDirRoom = 2048;

void replace_backslashes(DynString& path) {
  char* p = dynstr_data(path);
  std::int64_t n = dynstr_length(path);
  for (std::int64_t i = 0; i < n; ++i) {
    if (p[i] == '\\') p[i] = '/';
  }
}

// Each "//" found is written as one "/" and the scan goes on behind the pair, so "///" keeps
// two slashes.
void collapse_double_slashes(DynString& path) {
  char* p = dynstr_data(path);
  std::int64_t n = dynstr_length(path);
  std::int64_t out = 0;
  for (std::int64_t i = 0; i < n; ++i) {
    p[out++] = p[i];
    if (p[i] == '/' && i + 1 < n && p[i + 1] == '/') ++i;
  }
  dynstr_set_length(path, out);
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
  path = std::move(joined);
}

}  // namespace

bool get_current_dir(DynString& out) {
  std::int64_t consumed = 0;
  return get_relative_base(StrView{"", 0}, out, consumed);
}

void normalize_input_path(DynString& path) {
  replace_backslashes(path);
  collapse_double_slashes(path);
  if (!platform_is_absolute(dynstr_view(path))) make_absolute(path);

  PathInfo info;
  if (!disk_stat(dynstr_view(path), info)) {
    report(LogLevel::Error, "Could not stat path %s", dynstr_data(path));
    return;
  }
  std::int64_t n = dynstr_length(path);
  const char* p = dynstr_data(path);
  if (info.kind == PathKind::Folder) {
    if (n == 0 || p[n - 1] != '/') dynstr_append(path, "/", 1);
  } else if (info.kind == PathKind::File) {
    if (n > 0 && p[n - 1] == '/') dynstr_pop_char(path);
  }
}

}  // namespace quarn
