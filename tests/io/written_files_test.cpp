#include "io/written_files.h"

#include <gtest/gtest.h>

#include <string>

#include "base/platform.h"

namespace quarn {
namespace {

// The record of traces written in a run knows a path by the platform's rule for names: on one
// that ignores letter case, "logs_out/b.asc" is the "logs_out/B.asc" written before. Enough paths
// to make the table grow, so that moved entries are found by the same rule.
TEST(WrittenFilesTest, KnowsAPathAsThePlatformNamesFiles) {
  WrittenFiles written;
  for (int i = 0; i < 300; ++i) {
    ASSERT_TRUE(written.add(sv(("logs_out/Trip" + std::to_string(i) + ".asc").c_str())));
  }
  for (int i = 0; i < 300; i += 7) {
    const std::string name = "logs_out/Trip" + std::to_string(i) + ".asc";
    const std::string lower = "logs_out/trip" + std::to_string(i) + ".asc";
    EXPECT_TRUE(written.contains(sv(name.c_str()))) << name;
    EXPECT_EQ(written.contains(sv(lower.c_str())), kPlatformNamesIgnoreCase) << lower;
    EXPECT_FALSE(written.contains(sv((name + "x").c_str()))) << name;
  }
  EXPECT_FALSE(written.contains(sv("logs_out/Trip1.as")));
}

// Letters past ASCII too: a Greek or accented name written in one case is there in the other
// where the platform ignores letter case (Windows folds them as NTFS does), and only there.
TEST(WrittenFilesTest, KnowsNamesPastAsciiAsThePlatformNamesFiles) {
  struct Case {
    const char* added;
    const char* asked;
    bool same_ignoring_case;
  };
  const Case cases[] = {
      {"logs_out/\xc3\x84rger.asc", "logs_out/\xc3\xa4rger.asc", true},  // A and a with diaeresis
      {"logs_out/\xce\xa9mega.asc", "LOGS_OUT/\xcf\x89MEGA.asc", true},  // capital and small omega
      {"logs_out/\xc3\x84rger.asc", "logs_out/Arger.asc", false},
      {"logs_out/stra\xc3\x9f\x65.asc", "logs_out/STRASSE.asc", false},
  };
  for (const Case& c : cases) {
    WrittenFiles written;
    // Others around it, so that the table has grown and moved its entries.
    for (int i = 0; i < 100; ++i) ASSERT_TRUE(written.add(sv(("logs_out/" + std::to_string(i) + ".asc").c_str())));
    ASSERT_TRUE(written.add(sv(c.added)));
    EXPECT_TRUE(written.contains(sv(c.added))) << c.added;
    EXPECT_EQ(written.contains(sv(c.asked)), kPlatformNamesIgnoreCase && c.same_ignoring_case) << c.asked;
  }
}

}  // namespace
}  // namespace quarn
