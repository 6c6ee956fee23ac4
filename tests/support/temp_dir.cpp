#include "support/temp_dir.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#ifdef _WIN32
#include <process.h>
#endif

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace quarn::test {

#ifdef _WIN32

TempDir::TempDir() : TempDir(std::filesystem::temp_directory_path().generic_string()) {}

// No mkdtemp: a name of the process and a counter, made only when it did not exist yet. The path
// has "/" separators, as the program writes every path.
TempDir::TempDir(const std::string& parent) {
  static std::atomic<unsigned> counter{0};
  const std::filesystem::path base = fs_path(parent);
  for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
    std::filesystem::path made =
        base / ("quarn-test-" + std::to_string(_getpid()) + "-" + std::to_string(counter.fetch_add(1)));
    std::error_code ec;
    if (std::filesystem::create_directory(made, ec) && !ec) {
      std::u8string u8 = made.generic_u8string();
      path_.assign(u8.begin(), u8.end());
    }
  }
  if (path_.empty()) ADD_FAILURE() << "no temporary folder could be made";
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(fs_path(path_), ec);
}

#else

TempDir::TempDir() : TempDir(std::filesystem::temp_directory_path().string()) {}

TempDir::TempDir(const std::string& parent) {
  std::string pattern = parent + "/quarn-test-XXXXXX";
  char* made = mkdtemp(pattern.data());
  if (made == nullptr) ADD_FAILURE() << "mkdtemp failed";
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  // Tests may leave folders without permissions behind; give them back before removing.
  for (auto it = std::filesystem::recursive_directory_iterator(
           path_, std::filesystem::directory_options::skip_permission_denied, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_directory(ec) && !it->is_symlink(ec)) chmod(it->path().c_str(), 0700);
  }
  chmod(path_.c_str(), 0700);
  std::filesystem::remove_all(path_, ec);
}

#endif

std::filesystem::path fs_path(const std::string& utf8) {
  // On Windows a path made from a std::string is read in the ANSI code page; the tests' paths are
  // UTF-8, as the program's are.
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

void write_file(const std::string& path, const std::string& content) {
  std::ofstream out(fs_path(path), std::ios::binary);
  out << content;
  if (!out) ADD_FAILURE() << "cannot write " << path;
}

std::string read_file(const std::string& path) {
  std::ifstream in(fs_path(path), std::ios::binary);
  if (!in) {
    ADD_FAILURE() << "cannot read " << path;
    return {};
  }
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::vector<std::string> files_below(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::recursive_directory_iterator(fs_path(folder))) {
    if (e.is_regular_file()) names.push_back(std::filesystem::relative(e.path(), fs_path(folder)).string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

bool file_exists(const std::string& path) {
  std::error_code ec;
  return std::filesystem::exists(fs_path(path), ec);
}

void make_dirs(const std::string& path) {
  std::error_code ec;
  std::filesystem::create_directories(fs_path(path), ec);
  if (ec) ADD_FAILURE() << "cannot create " << path;
}

std::string read_fixture(const std::string& name) {
  return read_file(std::string(QUARN_TESTS_DIR) + "/data/" + name);
}

}  // namespace quarn::test
