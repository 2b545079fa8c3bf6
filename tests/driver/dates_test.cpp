// The start timestamp and the whole dates of the date lines.
#include <gtest/gtest.h>

#include "driver/dates.h"

TEST(Dates, TimestampKeepsTwoDigitYearAndWeekday) {
  host::LocalTime t;
  t.year = 2026, t.month = 12, t.day = 9, t.hour = 7, t.minute = 5, t.second = 3, t.weekday = 3;
  EXPECT_EQ(driver::make_timestamp(t), "26120907050303??????");
  t.year = 2000, t.weekday = 0;
  EXPECT_EQ(driver::make_timestamp(t).substr(0, 2), "00");
  EXPECT_EQ(driver::make_timestamp(t).size(), 20u);
}

TEST(Dates, SixDigitDatesAreWindowed) {
  const struct {
    const char* text;
    int value;
  } cases[] = {{"950901", 19950901}, {"960101", 19960101}, {"800101", 19800101}, {"791231", 20791231},
               {"261209", 20261209}, {"000229", 20000229}, {"95090", -1},       {"95x901", -1}};
  for (const auto& c : cases) EXPECT_EQ(driver::date_number(c.text), c.value) << c.text;
}

TEST(Dates, MonthNamesAndTwoDigits) {
  EXPECT_STREQ(driver::month_name(1), "January");
  EXPECT_STREQ(driver::month_name(12), "December");
  EXPECT_STREQ(driver::month_name(0), "?");
  EXPECT_STREQ(driver::month_name(13), "?");
  EXPECT_EQ(driver::two_digit("0912", 2), 12);
  EXPECT_EQ(driver::two_digit("0912", 3), -1);  // one character left
  EXPECT_EQ(driver::two_digit("0912", 5), -1);  // past the end
}
