#include "platform/clock/clock.h"

#include <gtest/gtest.h>
#include <time.h>

#include <string>

#include "platform/testing/test_support.h"

namespace quol::platform {
namespace {

TEST(ClockTest, FileTimeMatchesKnownInstants) {
  CalendarTime utc;
  utc.year = 1970;
  EXPECT_EQ(ToFileTime(FromUtcTime(utc)), 116444736000000000ull);
  utc.year = 2026;
  utc.month = 12;
  utc.day = 6;
  utc.hour = 9;
  utc.minute = 5;
  utc.second = 7;
  utc.millisecond = 250;
  const std::uint64_t ft = ToFileTime(FromUtcTime(utc));
  EXPECT_EQ(ft, 116444736000000000ull + 1796547907ull * 10000000ull + 2500000ull);
  CalendarTime back = ToUtcTime(FromFileTime(ft));
  utc.day_of_week = 0;  // a Sunday
  EXPECT_EQ(back, utc);
}

// Dates read from files and answers can be anything; converting them must
// not overflow the nanosecond time points (UBSan caught years 1012 and 8024).
TEST(ClockTest, DatesBeyondTheTimePointRangeArePinnedToItsEnds) {
  struct Row {
    int year;
    bool future;
  };
  for (const Row& row : {Row{1012, false}, Row{8024, true}, Row{-2147483647, false},
                         Row{2147483647, true}}) {
    CalendarTime utc;
    utc.year = row.year;
    utc.millisecond = 2147483647;
    for (TimePoint t : {FromUtcTime(utc), FromLocalTime(utc)}) {
      if (row.future) {
        EXPECT_GT(t, FromUtcTime(CalendarTime{2200, 1, 1})) << row.year;
      } else {
        EXPECT_LT(t, FromUtcTime(CalendarTime{1700, 1, 1})) << row.year;
      }
    }
  }
}

TEST(ClockTest, LocalTimeFollowsTheTimeZone) {
  testing::ScopedEnv tz("TZ", std::string("America/New_York"));
  ::tzset();
  CalendarTime utc;
  utc.year = 2026;
  utc.month = 7;
  utc.day = 1;
  utc.hour = 3;
  CalendarTime local = ToLocalTime(FromUtcTime(utc));
  EXPECT_EQ(local.day, 30);
  EXPECT_EQ(local.month, 6);
  EXPECT_EQ(local.hour, 23);
  EXPECT_EQ(FromLocalTime(local), FromUtcTime(utc));
  ::unsetenv("TZ");
  ::tzset();
}

TEST(ClockTest, FakeClockDrivesNowAndTicks) {
  FakeClock fake(FromFileTime(133000000000000000ull));
  SetClockForTesting(&fake);
  std::uint64_t t0 = TickMs();
  fake.Advance(std::chrono::minutes(5));
  EXPECT_EQ(ToFileTime(Now()), 133000000000000000ull + 5ull * 60 * 10000000);
  EXPECT_EQ(TickMs() - t0, 300000u);
  fake.Set(Now() - std::chrono::hours(1));  // wall clock back, ticks never
  EXPECT_EQ(TickMs() - t0, 300000u);
  SetClockForTesting(nullptr);
  EXPECT_GT(ToFileTime(Now()), 133000000000000000ull);
}

}  // namespace
}  // namespace quol::platform

namespace quol::platform {
namespace {

TEST(ClockTest, ToTmFeedsStrftimeTheSameDate) {
  struct Case {
    CalendarTime time;
    const char* format;
    const char* expected;
  };
  const Case cases[] = {
      {{2026, 3, 14, 9, 5, 7, 0, 6}, "%Y-%m-%d %H:%M:%S", "2026-03-14 09:05:07"},
      {{2026, 3, 14, 21, 5, 0, 0, 6}, "%a %I:%M %p", "Sat 09:05 PM"},
      {{1999, 12, 31, 23, 59, 59, 999, 5}, "%A %d.%m.%y", "Friday 31.12.99"},
      {{2024, 2, 29, 0, 0, 0, 0, 4}, "%b %e %H", "Feb 29 00"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    const std::tm tm = ToTm(c.time);
    EXPECT_EQ(tm.tm_isdst, -1);
    char buffer[64];
    const std::size_t length = std::strftime(buffer, sizeof buffer, c.format, &tm);
    EXPECT_EQ(std::string(buffer, length), c.expected);
  }
  // Years past what the library can count are pinned instead of overflowing.
  EXPECT_EQ(ToTm({2000000000, 1, 1}).tm_year, 100000 - 1900);
  EXPECT_EQ(ToTm({-2000000000, 1, 1}).tm_year, -100000 - 1900);
}

}  // namespace
}  // namespace quol::platform
