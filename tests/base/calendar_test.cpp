#include "base/calendar.h"

#include <gtest/gtest.h>

namespace quarn {
namespace {

TEST(CalendarTest, ConvertsAndCarriesOutOfRangeFields) {
  EXPECT_EQ(utc_seconds_from_fields(124, 0, 31, 12, 34, 56), 1706704496);  // 2024-01-31 12:34:56
  EXPECT_EQ(utc_seconds_from_fields(70, 0, 1, 0, 0, 0), 0);
  // Second 60 is the next minute; day 0 is the last day of the previous month.
  EXPECT_EQ(utc_seconds_from_fields(124, 0, 31, 12, 34, 60), 1706704500);
  EXPECT_EQ(utc_seconds_from_fields(124, 2, 0, 0, 0, 0), utc_seconds_from_fields(124, 1, 29, 0, 0, 0));
  // Month 12 is next January; negative fields borrow.
  EXPECT_EQ(utc_seconds_from_fields(123, 12, 1, 0, 0, 0), utc_seconds_from_fields(124, 0, 1, 0, 0, 0));
  EXPECT_EQ(utc_seconds_from_fields(124, 0, 1, -1, 0, 0), utc_seconds_from_fields(123, 11, 31, 23, 0, 0));
  EXPECT_EQ(utc_seconds_from_fields(124, 0, 1, 99, 99, 99), 1704067200 + 99 * 3600 + 99 * 60 + 99);
}

TEST(CalendarTest, OutsideNineteenSeventyToThreeThousandIsMinusOne) {
  EXPECT_EQ(utc_seconds_from_fields(69, 11, 31, 23, 59, 59), -1);
  EXPECT_EQ(utc_seconds_from_fields(1100, 11, 31, 23, 59, 59), kLastCalendarSecond);
  EXPECT_EQ(utc_seconds_from_fields(1100, 11, 31, 23, 59, 60), -1);
  EXPECT_EQ(utc_seconds_from_fields(8099, 0, 1, 0, 0, 0), -1);  // year 9999
}

TEST(CalendarTest, DaysInMonthFollowTheLeapYearRules) {
  const struct {
    std::int64_t year;
    int month;
    int days;
  } cases[] = {{2024, 1, 31}, {2024, 2, 29}, {2023, 2, 28},  {1900, 2, 28}, {2000, 2, 29},
               {3000, 2, 28}, {2024, 4, 30}, {2024, 12, 31}, {1970, 11, 30}};
  for (const auto& c : cases) EXPECT_EQ(days_in_month(c.year, c.month), c.days) << c.year << "-" << c.month;
}

TEST(CalendarTest, FieldsFromSecondsRoundTrip) {
  std::tm tm{};
  ASSERT_TRUE(utc_fields_from_seconds(1706704496, tm));
  EXPECT_EQ(tm.tm_year, 124);
  EXPECT_EQ(tm.tm_mon, 0);
  EXPECT_EQ(tm.tm_mday, 31);
  EXPECT_EQ(tm.tm_hour, 12);
  EXPECT_EQ(tm.tm_min, 34);
  EXPECT_EQ(tm.tm_sec, 56);
  EXPECT_EQ(tm.tm_wday, 3);  // Wednesday
  ASSERT_TRUE(utc_fields_from_seconds(951782400, tm));  // 2000-02-29
  EXPECT_EQ(tm.tm_mon, 1);
  EXPECT_EQ(tm.tm_mday, 29);
  EXPECT_EQ(tm.tm_yday, 59);
  EXPECT_FALSE(utc_fields_from_seconds(-1, tm));
  EXPECT_FALSE(utc_fields_from_seconds(kLastCalendarSecond + 1, tm));
  for (std::int64_t t = 0; t < kLastCalendarSecond; t += 86400 * 37 + 3599) {
    ASSERT_TRUE(utc_fields_from_seconds(t, tm));
    ASSERT_EQ(utc_seconds_from_fields(tm.tm_year, tm.tm_mon, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec), t);
  }
}

}  // namespace
}  // namespace quarn
