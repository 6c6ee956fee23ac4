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

}  // namespace
}  // namespace quarn
