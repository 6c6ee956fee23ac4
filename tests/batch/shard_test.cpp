#include "batch/shard.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace quarn {
namespace {

// --- --shard values ----------------------------------------------------------------------------

TEST(ShardParseTest, AcceptsExactlyTheThreeForms) {
  struct Case {
    const char* text;
    bool ok;
    bool automatic;
    int index;
    int count;
  };
  const Case cases[] = {
      {"0/1", true, false, 0, 1},
      {"2/3", true, false, 2, 3},
      {"15/16", true, false, 15, 16},
      {"auto", true, true, 0, 0},
      {"auto/4", true, true, 0, 4},
      {"3/2", false, false, 0, 0},
      {"2/2", false, false, 0, 0},
      {"0/0", false, false, 0, 0},
      {"a/b", false, false, 0, 0},
      {"-1/4", false, false, 0, 0},
      {"1/-4", false, false, 0, 0},
      {"+1/4", false, false, 0, 0},
      {"1/4/2", false, false, 0, 0},
      {"1/4 ", false, false, 0, 0},
      {" 1/4", false, false, 0, 0},
      {"1", false, false, 0, 0},
      {"/4", false, false, 0, 0},
      {"1/", false, false, 0, 0},
      {"", false, false, 0, 0},
      {"auto/", false, false, 0, 0},
      {"auto/0", false, false, 0, 0},
      {"auto/4/1", false, false, 0, 0},
      {"autox", false, false, 0, 0},
      {"AUTO", false, false, 0, 0},
      {"0/99999999999", false, false, 0, 0},
  };
  for (const Case& c : cases) {
    Shard shard;
    bool automatic = false;
    EXPECT_EQ(shard_parse(c.text, shard, automatic), c.ok) << c.text;
    if (!c.ok) continue;
    EXPECT_EQ(automatic, c.automatic) << c.text;
    EXPECT_EQ(shard.index, c.index) << c.text;
    EXPECT_EQ(shard.count, c.count) << c.text;
  }
}

// --- --shard=auto ------------------------------------------------------------------------------

std::map<std::string, std::string>* environment = nullptr;

bool fake_lookup(const char* name, char* buffer, std::size_t capacity) {
  auto it = environment->find(name);
  if (it == environment->end() || it->second.size() >= capacity) return false;
  std::memcpy(buffer, it->second.c_str(), it->second.size() + 1);
  return true;
}

TEST(ShardAutoTest, TakesTheFirstSchedulerThatIsSet) {
  struct Case {
    std::map<std::string, std::string> env;
    int given_count;  // N of auto/N, 0 for auto
    bool ok;
    int index;
    int count;
    const char* message;  // a part of the refusal
  };
  const std::map<std::string, std::string> slurm = {{"SLURM_ARRAY_TASK_ID", "7"},
                                                    {"SLURM_ARRAY_TASK_MIN", "3"},
                                                    {"SLURM_ARRAY_TASK_STEP", "2"},
                                                    {"SLURM_ARRAY_TASK_COUNT", "4"}};
  std::map<std::string, std::string> slurm_and_others = slurm;
  slurm_and_others["JOB_COMPLETION_INDEX"] = "0";
  slurm_and_others["AWS_BATCH_JOB_ARRAY_INDEX"] = "0";
  std::map<std::string, std::string> off_step = slurm;
  off_step["SLURM_ARRAY_TASK_ID"] = "6";
  std::map<std::string, std::string> past_count = slurm;
  past_count["SLURM_ARRAY_TASK_ID"] = "11";
  std::map<std::string, std::string> no_step = slurm;
  no_step.erase("SLURM_ARRAY_TASK_STEP");
  std::map<std::string, std::string> bad_count = slurm;
  bad_count["SLURM_ARRAY_TASK_COUNT"] = "four";
  const Case cases[] = {
      {slurm, 0, true, 2, 4, ""},
      {slurm, 4, true, 2, 4, ""},
      {slurm_and_others, 0, true, 2, 4, ""},
      {slurm, 5, false, 0, 0, "--shard=auto/5 disagrees with SLURM_ARRAY_TASK_COUNT=4"},
      {off_step, 0, false, 0, 0, "not a plain range"},
      {past_count, 0, false, 0, 0, "not a plain range"},
      {no_step, 0, false, 0, 0, "SLURM_ARRAY_TASK_STEP=(not set)"},
      {bad_count, 0, false, 0, 0, "SLURM_ARRAY_TASK_COUNT=four"},
      {{{"JOB_COMPLETION_INDEX", "3"}}, 4, true, 3, 4, ""},
      {{{"JOB_COMPLETION_INDEX", "3"}, {"AWS_BATCH_JOB_ARRAY_INDEX", "1"}}, 4, true, 3, 4, ""},
      {{{"JOB_COMPLETION_INDEX", "3"}}, 0, false, 0, 0, "give it as --shard=auto/N"},
      {{{"JOB_COMPLETION_INDEX", "4"}}, 4, false, 0, 0, "JOB_COMPLETION_INDEX=4 is not below 4"},
      {{{"JOB_COMPLETION_INDEX", "x"}}, 4, false, 0, 0, "JOB_COMPLETION_INDEX=x is no shard index"},
      {{{"AWS_BATCH_JOB_ARRAY_INDEX", "0"}}, 2, true, 0, 2, ""},
      {{{"AWS_BATCH_JOB_ARRAY_INDEX", "-1"}}, 2, false, 0, 0, "is not below 2"},
      {{{"OTHER", "1"}},
       2,
       false,
       0,
       0,
       "none of SLURM_ARRAY_TASK_ID, JOB_COMPLETION_INDEX and AWS_BATCH_JOB_ARRAY_INDEX is set"},
  };
  for (const Case& c : cases) {
    std::map<std::string, std::string> env = c.env;
    environment = &env;
    Shard shard;
    char message[512] = "";
    const bool ok = shard_resolve_auto(c.given_count, fake_lookup, shard, message, sizeof message);
    environment = nullptr;
    EXPECT_EQ(ok, c.ok) << message;
    if (c.ok) {
      EXPECT_EQ(shard.index, c.index);
      EXPECT_EQ(shard.count, c.count);
    } else {
      EXPECT_NE(std::strstr(message, c.message), nullptr) << message;
    }
  }
}

// --- which shard a log is ----------------------------------------------------------------------

TEST(ShardOfTest, NamesakesOnAnyPlatformShareTheirShard) {
  // Traces that could take one name somewhere: case, "_LIN" behind a base, letters beyond ASCII
  // that a platform folds, the two whose capital is an ASCII letter.
  const std::pair<const char*, const char*> pairs[] = {
      {"trip", "TRIP"},
      {"d/A", "d/a"},
      {"B", "B_LIN"},
      {"B", "b_lin"},
      {"B", "B_LIN_LIN"},
      {"Day/x", "DAY/X"},
      {"d/\xC3\x84", "d/\xC3\xA4"},  // Ä ä
      {"\xCE\xA3"
       "x",
       "\xCF\x83"
       "x"},  // Σ σ
      {"f\xC4\xB1"
       "le",
       "FILE"},  // dotless i
      {"\xC5\xBF"
       "et",
       "SET"},  // long s
  };
  for (int count = 2; count <= 64; ++count) {
    for (const auto& [a, b] : pairs) EXPECT_EQ(shard_of(sv(a), count), shard_of(sv(b), count)) << a << " " << b;
  }
}

TEST(ShardOfTest, SpreadsLogsEvenlyAndStaysInRange) {
  for (int count : {2, 3, 4, 7, 16}) {
    std::vector<int> sizes(static_cast<std::size_t>(count), 0);
    const int logs = 4000;
    for (int i = 0; i < logs; ++i) {
      const std::string base = "fleet/car" + std::to_string(i % 37) + "/2026-12-" + std::to_string(i);
      const int k = shard_of(sv(base.c_str()), count);
      ASSERT_GE(k, 0);
      ASSERT_LT(k, count);
      ++sizes[static_cast<std::size_t>(k)];
    }
    for (int size : sizes) {
      EXPECT_GT(size, logs / count * 8 / 10) << count;
      EXPECT_LT(size, logs / count * 12 / 10) << count;
    }
  }
  EXPECT_EQ(shard_of(sv("anything"), 1), 0);
  EXPECT_EQ(shard_of(sv("anything"), 0), 0);
}

// The shard is part of what a scheduler's retried task must find again on another machine or
// platform, so the hash itself may not change: these values hold on every build.
TEST(ShardOfTest, TheAssignmentIsTheSameOnEveryBuild) {
  std::string got;
  for (const char* base : {"a", "logs_out/day1/trip", "x/\xC3\xA4/B_LIN"})
    got += std::to_string(shard_of(sv(base), 1000)) + " ";
  EXPECT_EQ(got, "717 422 685 ");
}

}  // namespace
}  // namespace quarn
