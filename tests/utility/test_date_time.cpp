#include "velta/source/utility/Date.h"
#include "velta/source/utility/Time.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

TEST(Date, DayNumbersStartAtFirstJanuary1980AndCarryAcrossTheLeapYear)
{
    EXPECT_EQ(Date::date_to_long("19800101"), 1u);
    EXPECT_STREQ(Date(366u).to_string(), "19801231");
    EXPECT_STREQ(Date(367u).to_string(), "19810101");
    EXPECT_EQ(Date("19810101").to_long(), 367u);
}

TEST(Date, LeapDaysFollowTheGregorianRules)
{
    EXPECT_FALSE(Date::is_valid("20230229"));
    EXPECT_STREQ(Date("20230229").to_string(), "20230301");
    EXPECT_TRUE(Date::is_valid("20240229"));
    EXPECT_TRUE(Date::is_valid("20000229"));
    EXPECT_FALSE(Date::is_valid("21000229"));
    EXPECT_STREQ(Date("20240230").to_string(), "20240301");
    EXPECT_EQ(Date::days(2024, 13), 0);
}

TEST(Date, ArithmeticCrossesMonthAndYearEnds)
{
    EXPECT_EQ(Date("20240101") - Date("20231231"), 1);
    EXPECT_EQ(Date("20240101") - "20231231", 1);
    EXPECT_STREQ((Date("20231231") + 1).to_string(), "20240101");
    EXPECT_STREQ((Date("20240301") - 1).to_string(), "20240229");
    Date d("20240228");
    Date before = d++;
    EXPECT_STREQ(before.to_string(), "20240228");
    EXPECT_STREQ(d.to_string(), "20240229");
    d += 366;
    EXPECT_STREQ(d.to_string(), "20250301");
    EXPECT_TRUE(d == "20250301");
    EXPECT_EQ(d.year(), 2025);
    EXPECT_EQ(d.month(), 3);
    EXPECT_EQ(d.day(), 1);
}

TEST(Date, WeekDays)
{
    EXPECT_EQ(Date::week_day("19800101"), 2);   // a Tuesday
    EXPECT_EQ(Date("20240101").week_day(), 1);  // a Monday
}

TEST(Date, HugeDayNumbersDoNotOverflowTheText)
{
    Date far(0xFFFFFFFFu);
    EXPECT_GT(strlen(far.to_string()), 8u);
    EXPECT_LT(strlen(far.to_string()), static_cast<size_t>(Date::TEXT_SIZE));
}

TEST(Time, TextFormsAndTheirLimits)
{
    EXPECT_EQ(Time::time_to_long(""), 0);
    EXPECT_EQ(Time::time_to_long("09:30:15"), 9 * 3600 + 30 * 60 + 15);
    EXPECT_EQ(Time::time_to_long("23:59:60"), 86400);
    EXPECT_EQ(Time::time_to_long("24:00:00"), -1);
    EXPECT_EQ(Time::time_to_long("1:00:00"), -1);
    EXPECT_EQ(Time::time_to_long("12-00-00"), -1);
    EXPECT_EQ(Time::time_to_long("1a:00:00"), -1);
    EXPECT_FALSE(Time("23:60:00").is_valid());
    EXPECT_STREQ(Time(3661u).to_string(), "01:01:01");
    EXPECT_EQ(Time::long_to_time(86400), nullptr);
    Time t("12:34:56");
    EXPECT_EQ(t.hour(), 12u);
    EXPECT_EQ(t.minute(), 34u);
    EXPECT_EQ(t.second(), 56u);
    EXPECT_TRUE(t == "12:34:56");
}

TEST(Time, AdditionWrapsAtMidnightAndLeavesTheOperand)
{
    Time last(86399u);
    EXPECT_EQ((last + 1).to_long(), 0u);
    EXPECT_EQ(last.to_long(), 86399u);
    EXPECT_EQ(Time(10u) - Time(4u), 6);
}

TEST(Time, SubtractionCrossingMidnightBackwardsKeepsTheClockTime)
{
    EXPECT_STREQ((Time("00:00:10") - 20).to_string(), "23:59:50");
    EXPECT_STREQ((Time("01:00:00") - 2 * 86400 - 3600).to_string(), "00:00:00");
    EXPECT_FALSE((Time("xx") + 5).is_valid());
}

TEST(Time, TextBufferIsPerThread)
{
    const char* mine = Time::long_to_time(1);
    std::string other;
    std::thread thread([&] { other = Time::long_to_time(7200); });
    thread.join();
    EXPECT_STREQ(mine, "00:00:01");
    EXPECT_EQ(other, "02:00:00");
}
