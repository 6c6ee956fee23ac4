#pragma once

// What the tests need of the system beyond the C++ library, on Linux and on Windows.

#include <cstdint>
#include <ctime>
#include <string>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace quarn::test {

// symlink(2); on Windows CreateSymbolicLinkW (a folder link when the target is a folder). True
// when the link is there afterwards: Windows makes links only with a privilege or in developer
// mode, and Wine reports success without making one.
bool make_symlink(const std::string& target, const std::string& link);

// Sets (or, for a null value, removes) an environment variable and lets the C library's time
// functions read TZ again.
void set_env(const char* name, const char* value);

// The UTC calendar fields as seconds since the epoch (timegm).
std::int64_t utc_seconds(std::tm fields);

}  // namespace quarn::test

// A symbolic link that the test needs: it fails on Linux when the link cannot be made, and is
// skipped on Windows, where making links may be refused.
#ifdef _WIN32
#define QUARN_SYMLINK(target, link)                                                                  \
  do {                                                                                               \
    if (!::quarn::test::make_symlink(target, link)) {                                                \
      GTEST_SKIP() << "symbolic links cannot be made here (Windows without the privilege, or Wine)"; \
    }                                                                                                \
  } while (0)
#else
#define QUARN_SYMLINK(target, link) ASSERT_TRUE(::quarn::test::make_symlink(target, link))
#endif

// A FIFO that the test needs; Windows has no FIFOs (nor any other file that is neither a file nor
// a folder) in its file systems, and the test is skipped there.
#ifdef _WIN32
#define QUARN_MKFIFO(path) GTEST_SKIP() << "Windows file systems hold no FIFOs"
#else
#define QUARN_MKFIFO(path) ASSERT_EQ(mkfifo(path, 0600), 0)
#endif
