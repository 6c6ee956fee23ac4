#include "support/test_os.h"

#include <cstdlib>

#ifdef _WIN32
#include <windows.h>

#include <filesystem>

#include "support/temp_dir.h"
#endif

namespace quarn::test {

#ifdef _WIN32

namespace {

std::wstring wide(const std::string& utf8) { return fs_path(utf8).wstring(); }

}  // namespace

bool make_symlink(const std::string& target, const std::string& link) {
  // A relative target is taken from the link's folder, as on Linux.
  std::filesystem::path link_path = fs_path(link);
  std::filesystem::path target_path = fs_path(target);
  std::filesystem::path resolved = target_path.is_absolute() ? target_path : link_path.parent_path() / target_path;
  std::error_code ec;
  DWORD flags = SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE;
  if (std::filesystem::is_directory(resolved, ec)) flags |= SYMBOLIC_LINK_FLAG_DIRECTORY;
  std::wstring w_target = target_path.make_preferred().wstring();
  if (CreateSymbolicLinkW(wide(link).c_str(), w_target.c_str(), flags) == 0) return false;
  return GetFileAttributesW(wide(link).c_str()) != INVALID_FILE_ATTRIBUTES;
}

void set_env(const char* name, const char* value) {
  _putenv_s(name, value != nullptr ? value : "");
  _tzset();
}

std::int64_t utc_seconds(std::tm fields) { return static_cast<std::int64_t>(_mkgmtime(&fields)); }

#else

bool make_symlink(const std::string& target, const std::string& link) {
  return symlink(target.c_str(), link.c_str()) == 0;
}

void set_env(const char* name, const char* value) {
  if (value != nullptr) {
    setenv(name, value, 1);
  } else {
    unsetenv(name);
  }
  tzset();
}

std::int64_t utc_seconds(std::tm fields) { return static_cast<std::int64_t>(timegm(&fields)); }

#endif

}  // namespace quarn::test
