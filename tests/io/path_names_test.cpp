#include "io/path_names.h"

#include <gtest/gtest.h>

#include <string>

namespace quarn {
namespace {

std::string str(StrView v) {
  return v.data == nullptr ? "<none>" : std::string(v.data, static_cast<std::size_t>(v.length));
}

TEST(PathNamesTest, PiecesOfAPath) {
  struct Case {
    const char* path;
    const char* file_name;
    const char* extension;  // "<none>": the name has no dot
    const char* parent;
  };
  const Case cases[] = {
      {"logs/day1/trip.txt", "trip.txt", "txt", "logs/day1/"},
      {"trip.txt", "trip.txt", "txt", ""},
      {"logs/day1/", "", "<none>", "logs/day1/"},
      {"", "", "<none>", ""},
      {"logs/trip.TXT", "trip.TXT", "TXT", "logs/"},
      {"trip.txt.bak", "trip.txt.bak", "bak", ""},
      {".txt", ".txt", "txt", ""},
      {"trip.", "trip.", "", ""},
      // A dot in a folder name is not the file's.
      {"v1.2/txt", "txt", "<none>", "v1.2/"},
      {"logs_out/day1/trip", "trip", "<none>", "logs_out/day1/"},
      {"/x", "x", "<none>", "/"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(str(path_file_name(sv(c.path))), c.file_name) << c.path;
    EXPECT_EQ(str(path_extension(sv(c.path))), c.extension) << c.path;
    EXPECT_EQ(str(path_parent(sv(c.path))), c.parent) << c.path;
  }
}

// Names that differ only in letter case are one file where the platform says so, and two
// elsewhere; other bytes always count.
TEST(PathNamesTest, EqualNamesFollowThePlatformsLetterCase) {
  EXPECT_TRUE(path_equal(sv("logs/B.asc"), sv("logs/B.asc")));
  EXPECT_EQ(path_equal(sv("logs/B.asc"), sv("LOGS/b.ASC")), kPlatformNamesIgnoreCase);
  EXPECT_FALSE(path_equal(sv("logs/B.asc"), sv("logs/B.asc2")));
  EXPECT_FALSE(path_equal(sv("logs/\xc3\x84.asc"), sv("logs/\xc3\xa4.asc")));  // only ASCII letters fold
}

}  // namespace
}  // namespace quarn
