#include "base/dyn_string.h"

#include <gtest/gtest.h>

#include <string>

#include "base/memory.h"

namespace quarn {
namespace {

std::string text(const DynString& s) { return std::string(dynstr_data(s), static_cast<std::size_t>(dynstr_length(s))); }

struct FailAllocationsAfter {
  explicit FailAllocationsAfter(std::int64_t n) { mem_fail_after(n); }
  ~FailAllocationsAfter() { mem_fail_after(-1); }
};

TEST(DynStringTest, ZeroWordsAreAnEmptyShortString) {
  DynString s;
  EXPECT_EQ(dynstr_length(s), 0);
  EXPECT_EQ(dynstr_capacity(s), 22);
  EXPECT_FALSE(dynstr_is_long(s));
  EXPECT_STREQ(dynstr_data(s), "");
}

TEST(DynStringTest, TwentyTwoCharactersStayInlineTheTwentyThirdMovesToTheHeap) {
  DynString s;
  dynstr_from(s, std::string(22, 'a').c_str());
  EXPECT_FALSE(dynstr_is_long(s));
  EXPECT_EQ(static_cast<const void*>(dynstr_data(s)), static_cast<const void*>(s.bytes_));
  EXPECT_EQ(s.bytes_[23], 22);

  ASSERT_NE(dynstr_append(s, "b", 1), nullptr);
  EXPECT_TRUE(dynstr_is_long(s));
  EXPECT_EQ(dynstr_length(s), 23);
  EXPECT_EQ(dynstr_capacity(s), 1 + 33);  // n + 1.5 x 22
  EXPECT_EQ(text(s), std::string(22, 'a') + "b");
}

TEST(DynStringTest, GrowthFollowsTheLengthNotTheCapacity) {
  DynString s;
  dynstr_from(s, std::string(20, 'x').c_str());
  dynstr_append(s, "12345", 5);
  EXPECT_EQ(dynstr_capacity(s), 35);  // 5 + 30

  DynString from23;
  dynstr_from(from23, std::string(23, 'y').c_str());
  EXPECT_TRUE(dynstr_is_long(from23));
  EXPECT_EQ(dynstr_capacity(from23), 23);  // no spare room
  dynstr_append(from23, "z", 1);
  EXPECT_EQ(dynstr_capacity(from23), 35);  // 1 + 34

  DynString hundred;
  dynstr_from(hundred, std::string(100, 'h').c_str());
  dynstr_append(hundred, "!", 1);
  EXPECT_EQ(dynstr_capacity(hundred), 151);
  EXPECT_EQ(dynstr_data(hundred)[101], '\0');
}

TEST(DynStringTest, ReserveAddsNothingBeyondTheRequestAndKeepsTheText) {
  DynString s;
  dynstr_from(s, "abc");
  EXPECT_EQ(dynstr_reserve(s, 10), dynstr_data(s));  // still fits inline
  EXPECT_FALSE(dynstr_is_long(s));

  char* grown = dynstr_reserve(s, 40);
  ASSERT_NE(grown, nullptr);
  EXPECT_EQ(dynstr_capacity(s), 40);
  EXPECT_EQ(dynstr_length(s), 3);
  EXPECT_STREQ(grown, "abc");

  EXPECT_EQ(dynstr_reserve(s, 30), grown);  // not above the capacity: nothing changes
  EXPECT_EQ(dynstr_capacity(s), 40);
}

TEST(DynStringTest, AppendingZeroBytesToAnEmptyStringReturnsItsOwnStorage) {
  DynString s;
  char* p = dynstr_append(s, "", 0);
  EXPECT_EQ(p, reinterpret_cast<char*>(s.bytes_));
  EXPECT_EQ(dynstr_length(s), 0);
}

TEST(DynStringTest, AppendsAPieceOfItselfAcrossGrowth) {
  DynString s;
  dynstr_from(s, "0123456789abcdefghij");  // 20 bytes, inline
  ASSERT_NE(dynstr_append(s, dynstr_data(s), 15), nullptr);
  EXPECT_EQ(text(s), "0123456789abcdefghij0123456789abcde");

  // Again from the long form, where the block is moved by realloc.
  std::string expected = text(s) + text(s).substr(0, 30);
  ASSERT_NE(dynstr_append(s, dynstr_data(s), 30), nullptr);
  EXPECT_EQ(text(s), expected);
}

TEST(DynStringTest, AppendFormat) {
  DynString s;
  dynstr_from(s, "x");
  EXPECT_EQ(dynstr_append_format(s, " %4d", 2024), 5);
  EXPECT_EQ(text(s), "x 2024");
  EXPECT_EQ(dynstr_append_format(s, "%s", ""), 0);
  EXPECT_EQ(text(s), "x 2024");
  EXPECT_EQ(dynstr_append_format(s, "%s%.*s", "/root/", 3, "abcdef"), 9);
  EXPECT_EQ(text(s), "x 2024/root/abc");
}

TEST(DynStringTest, PopCharRemovesOneWholeUtf8Character) {
  DynString s;
  dynstr_from(s, "logs/");
  dynstr_pop_char(s);
  EXPECT_EQ(text(s), "logs");

  dynstr_from(s, "caf\xc3\xa9");  // é is two bytes
  dynstr_pop_char(s);
  EXPECT_EQ(text(s), "caf");

  dynstr_from(s, "\xe2\x82\xac");  // € alone: three bytes, never steps before the start
  dynstr_pop_char(s);
  EXPECT_EQ(dynstr_length(s), 0);

  dynstr_from(s, "\x80\x80");  // stray continuation bytes only
  dynstr_pop_char(s);
  EXPECT_EQ(dynstr_length(s), 0);

  dynstr_pop_char(s);  // empty: nothing happens
  EXPECT_EQ(dynstr_length(s), 0);
}

TEST(DynStringTest, ClearKeepsTheHeapBlockForLaterAppends) {
  DynString s;
  dynstr_from(s, std::string(60, 'q').c_str());
  char* block = dynstr_data(s);
  dynstr_clear(s);
  EXPECT_TRUE(dynstr_is_long(s));
  EXPECT_EQ(dynstr_capacity(s), 60);
  EXPECT_STREQ(dynstr_data(s), "");

  FailAllocationsAfter none(0);  // any allocation now would fail
  EXPECT_EQ(dynstr_append(s, std::string(60, 'r').c_str(), 60), block);
  EXPECT_EQ(dynstr_length(s), 60);
}

TEST(DynStringTest, MovingTransfersTheBlockAndEmptiesTheSource) {
  DynString a;
  dynstr_from(a, std::string(40, 'm').c_str());
  const char* block = dynstr_data(a);
  DynString b(std::move(a));
  EXPECT_EQ(dynstr_data(b), block);
  EXPECT_EQ(dynstr_length(a), 0);
  DynString c;
  dynstr_from(c, std::string(30, 'c').c_str());
  c = std::move(b);
  EXPECT_EQ(dynstr_data(c), block);
}

TEST(DynStringTest, OutOfMemoryLeavesAValidString) {
  DynString s;
  dynstr_from(s, "short");
  {
    FailAllocationsAfter none(0);
    EXPECT_EQ(dynstr_append(s, std::string(30, 'a').c_str(), 30), nullptr);
    EXPECT_EQ(text(s), "short");
    EXPECT_EQ(dynstr_reserve(s, 100), nullptr);
    EXPECT_EQ(dynstr_append_format(s, "%s", std::string(40, 'f').c_str()), -1);
    EXPECT_EQ(text(s), "short");

    dynstr_from(s, std::string(30, 'b').c_str());  // cannot be had: empty, not broken
    EXPECT_EQ(dynstr_length(s), 0);
    EXPECT_STREQ(dynstr_data(s), "");
  }
  dynstr_from(s, std::string(30, 'b').c_str());
  {
    FailAllocationsAfter none(0);
    EXPECT_EQ(dynstr_append(s, "more", 4), nullptr);  // the long block cannot grow either
    EXPECT_EQ(text(s), std::string(30, 'b'));
  }
}

TEST(DynStringListTest, GrowsAndOwnsItsStrings) {
  DynStringList list;
  for (int i = 0; i < 30; ++i) {
    DynString s;
    dynstr_from(s, (std::string(25, 'p') + std::to_string(i)).c_str());
    ASSERT_TRUE(dynstr_list_push(list, s));
    EXPECT_EQ(dynstr_length(s), 0);  // moved into the list
  }
  EXPECT_EQ(list.count, 30);
  EXPECT_EQ(text(list.items[29]), std::string(25, 'p') + "29");

  DynString extra;
  dynstr_from(extra, "kept");
  {
    FailAllocationsAfter none(0);
    while (list.count < list.capacity) {
      DynString filler;
      ASSERT_TRUE(dynstr_list_push(list, filler));
    }
    EXPECT_FALSE(dynstr_list_push(list, extra));
  }
  EXPECT_EQ(text(extra), "kept");
}

}  // namespace
}  // namespace quarn
