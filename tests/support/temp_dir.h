#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace quarn::test {

// A fresh folder under the system's temporary folder (or under `parent`), removed with
// everything in it when the object goes away.
class TempDir {
 public:
  TempDir();
  explicit TempDir(const std::string& parent);
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // path() + "/" + relative
  std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }

 private:
  std::string path_;
};

// A UTF-8 path as the C++ library takes it (on Windows it would read a std::string in the ANSI
// code page).
std::filesystem::path fs_path(const std::string& utf8);

// Small file helpers for tests; they fail the current test on error.
void write_file(const std::string& path, const std::string& content);
std::string read_file(const std::string& path);
bool file_exists(const std::string& path);
// The files below `folder`, at any depth, by their paths relative to it, sorted.
std::vector<std::string> files_below(const std::string& folder);
void make_dirs(const std::string& path);

// The content of a fixture file under tests/data/.
std::string read_fixture(const std::string& name);

}  // namespace quarn::test
