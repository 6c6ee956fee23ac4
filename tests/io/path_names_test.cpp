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
// elsewhere; other bytes always count. On Windows letters beyond ASCII fold as the system folds
// file names: one UTF-16 unit for one, so the sharp s is no "SS".
TEST(PathNamesTest, EqualNamesFollowThePlatformsLetterCase) {
  struct Case {
    const char* a;
    const char* b;
    bool equal_ignoring_case;  // where the platform ignores letter case; elsewhere only a == b
  };
  const Case cases[] = {
      {"logs/B.asc", "logs/B.asc", true},
      {"logs/B.asc", "LOGS/b.ASC", true},
      {"logs/B.asc", "logs/B.asc2", false},
      {"logs/\xc3\x84rger.asc", "logs/\xc3\xa4rger.asc", true},        // A and a with diaeresis
      {"\xce\xa9mega.asc", "\xcf\x89mega.ASC", true},                  // capital and small omega
      {"\xd0\x96\xd0\xa3\xd0\xa0", "\xd0\xb6\xd1\x83\xd1\x80", true},  // Cyrillic
      {"\xc3\x84rger.asc", "Arger.asc", false},                        // the diaeresis counts
      {"stra\xc3\x9f\x65", "STRASSE", false},                          // no sharp s is "SS"
      {"\xf0\x9f\x9a\x97.asc", "\xf0\x9f\x9a\x97.asc", true},          // past U+FFFF: as it is
      // Bytes that are no UTF-8 stand for themselves.
      {"a\xff.asc", "A\xff.asc", true},
      {"a\xff.asc", "a\xfe.asc", false},
      {"a\xc3.asc", "a\xc3\x84.asc", false},
      {"", "", true},
      {"", "a", false},
  };
  for (const Case& c : cases) {
    const bool equal = kPlatformNamesIgnoreCase ? c.equal_ignoring_case : std::string(c.a) == c.b;
    EXPECT_EQ(path_equal(sv(c.a), sv(c.b)), equal) << c.a << " | " << c.b;
    EXPECT_EQ(path_equal(sv(c.b), sv(c.a)), equal) << c.b << " | " << c.a;
    if (equal) {
      EXPECT_EQ(path_hash(sv(c.a)), path_hash(sv(c.b))) << c.a << " | " << c.b;
    }
    // Cut anywhere, even inside a character, the pieces read as the whole.
    const std::string a = c.a;
    for (std::size_t cut = 0; cut <= a.size(); ++cut) {
      const std::string head = a.substr(0, cut);
      const std::string tail = a.substr(cut);
      EXPECT_EQ(path_joined_equal(sv(head.c_str()), sv(tail.c_str()), sv(c.b), sv("")), equal) << c.a << " @" << cut;
    }
  }
  EXPECT_NE(path_hash(sv("logs/a.asc")), path_hash(sv("logs/b.asc")));
}

// A trace of one log against a trace of another: "B" + "_LIN.asc" is "b_lin" + ".ASC" where
// letter case does not count.
TEST(PathNamesTest, JoinedPathsCompareAsTheirWholes) {
  EXPECT_TRUE(path_joined_equal(sv("logs/B"), sv("_LIN.asc"), sv("logs/B_LIN"), sv(".asc")));
  EXPECT_EQ(path_joined_equal(sv("logs/B"), sv("_LIN.asc"), sv("logs/b_lin"), sv(".ASC")), kPlatformNamesIgnoreCase);
  EXPECT_EQ(path_joined_equal(sv("\xce\xa9"), sv(".asc"), sv("\xcf\x89.asc"), sv("")), kPlatformNamesIgnoreCase);
  EXPECT_FALSE(path_joined_equal(sv("logs/B"), sv(".asc"), sv("logs/B"), sv("_LIN.asc")));
  EXPECT_FALSE(path_joined_equal(sv("logs/B"), sv(".asc"), sv("logs/B"), sv(".as")));
}

// Where an absolute path's root folder ends: inputs lie in it, never above it.
TEST(PathNamesTest, TheRootOfAnAbsolutePath) {
  struct Case {
    const char* path;
    std::int64_t posix;
    std::int64_t windows;
  };
  const Case cases[] = {
      {"/", 1, 0},
      {"/logs/x.txt", 1, 0},
      {"//server/share/x.txt", 1, 15},
      {"//server/share/", 1, 15},
      {"//server/share", 1, 14},
      {"//server/", 1, 0},
      {"//server", 1, 0},
      {"///x", 1, 0},
      {"C:/logs/", 0, 3},
      {"c:/", 0, 3},
      {"C:", 0, 0},
      {"C:x", 0, 0},
      {"logs/x.txt", 0, 0},
      {"", 0, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(path_root_length(sv(c.path)), kPlatformHasShares ? c.windows : c.posix) << c.path;
  }
}

}  // namespace
}  // namespace quarn
