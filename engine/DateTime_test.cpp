#include "engine/DateTime.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

namespace quillfen {
namespace {

constexpr double kSecond = 1.0 / 86400;

TEST(DateTime, DayZeroAndKnownDates) {
  EXPECT_EQ(EncodeDateTime(1899, 12, 30), 0.0);
  EXPECT_EQ(EncodeDateTime(1900, 1, 1), 2.0);
  EXPECT_EQ(EncodeDateTime(2010, 4, 1), 40269.0);
  EXPECT_DOUBLE_EQ(EncodeDateTime(2010, 4, 1, 12), 40269.5);
  // Before day 0 the time of day still counts forward from midnight.
  EXPECT_DOUBLE_EQ(EncodeDateTime(1899, 12, 29, 6), -1.25);
  EXPECT_EQ(FormatDateTime(-1.25), "1899/12/29 6:00:00");
  EXPECT_EQ(FormatDateTime(0), "1899/12/30");
}

TEST(DateTime, DecodeRoundTripsAcrossTheCalendar) {
  const int dates[][3] = {{1, 1, 1},     {1600, 2, 29}, {1899, 12, 31}, {1900, 2, 28},
                          {2000, 2, 29}, {2010, 4, 1},  {2038, 1, 19},  {9999, 12, 31}};
  for (const auto& d : dates) {
    const DateTime dt = EncodeDateTime(d[0], d[1], d[2], 23, 59, 58, 999);
    const DateTimeParts p = DecodeDateTime(dt);
    EXPECT_EQ(p.year, d[0]);
    EXPECT_EQ(p.month, d[1]);
    EXPECT_EQ(p.day, d[2]);
    EXPECT_EQ(p.hour, 23);
    EXPECT_EQ(p.minute, 59);
    EXPECT_EQ(p.second, 58);
    EXPECT_EQ(p.millisecond, 999);
  }
}

TEST(FormatDateTime, DateAloneOnlyAtExactMidnight) {
  EXPECT_EQ(FormatDateTime(EncodeDateTime(2010, 4, 1, 9, 5, 7)), "2010/04/01 9:05:07");
  EXPECT_EQ(FormatDateTime(EncodeDateTime(2010, 4, 1)), "2010/04/01");
  EXPECT_EQ(FormatDateTime(EncodeDateTime(2010, 4, 1, 0, 0, 1)), "2010/04/01 0:00:01");
  EXPECT_EQ(FormatDateTime(EncodeDateTime(2010, 12, 31, 23, 59, 59)), "2010/12/31 23:59:59");
}

TEST(FormatDateTime, RoundsToWholeSecondsAcrossMidnight) {
  // Half a second before midnight becomes the next day, shown without time.
  EXPECT_EQ(FormatDateTime(EncodeDateTime(2010, 12, 31, 23, 59, 59, 500)), "2011/01/01");
  EXPECT_EQ(FormatDateTime(EncodeDateTime(2010, 12, 31, 23, 59, 59, 499)), "2010/12/31 23:59:59");
  // A hair after midnight (floating noise) still counts as midnight.
  EXPECT_EQ(FormatDateTime(EncodeDateTime(2010, 4, 1) + 1e-9), "2010/04/01");
  EXPECT_EQ(FormatDateTime(EncodeDateTime(2010, 4, 1) - 1e-9), "2010/04/01");
}

TEST(ParseDateTime, ReadsWhatFormatWrites) {
  for (DateTime dt : {EncodeDateTime(2010, 4, 1, 9, 5, 7), EncodeDateTime(2010, 4, 1),
                      EncodeDateTime(1, 1, 1, 0, 0, 1), EncodeDateTime(9999, 12, 31, 23, 59, 59),
                      EncodeDateTime(2024, 2, 29, 12, 0, 0)}) {
    auto parsed = ParseDateTime(FormatDateTime(dt));
    ASSERT_TRUE(parsed) << FormatDateTime(dt);
    EXPECT_EQ(FormatDateTime(*parsed), FormatDateTime(dt));
    EXPECT_NEAR(*parsed, dt, 0.001 * kSecond);
  }
}

TEST(ParseDateTime, LeadingZerosBlanksAndShortForms) {
  const DateTime full = EncodeDateTime(2010, 4, 1, 9, 5, 7);
  EXPECT_EQ(ParseDateTime("2010/4/1 9:5:7"), full);
  EXPECT_EQ(ParseDateTime("2010/04/01 09:05:07"), full);
  EXPECT_EQ(ParseDateTime("  2010/04/01 9:05:07\t"), full);
  EXPECT_EQ(ParseDateTime("2010/04/01   9:05:07"), full);
  EXPECT_EQ(ParseDateTime("2010/04/01"), EncodeDateTime(2010, 4, 1));
  EXPECT_EQ(ParseDateTime("2010/4/1 9:05"), EncodeDateTime(2010, 4, 1, 9, 5));
  EXPECT_EQ(ParseDateTime("2010/04/01 0:00:00"), EncodeDateTime(2010, 4, 1));
}

TEST(ParseDateTime, RejectsWhatIsNotADateTime) {
  for (const char* text : {"",
                           "never",
                           "2010/02/30",
                           "2009/02/29",
                           "2010/13/01",
                           "2010/00/10",
                           "2010/01/00",
                           "0/01/01",
                           "10000/01/01",
                           "2010/04/01 24:00:00",
                           "2010/04/01 9:60",
                           "2010/04/01 9:05:60",
                           "2010-04-01",
                           "2010/04/01 9",
                           "2010/04/01 9:05:07 PM",
                           "2010/04/01 9:05:07.5",
                           "2010/04/019:05",
                           "2010/04/01 9:05:",
                           "+2010/04/01",
                           "2010/-4/01",
                           "2010/04",
                           "2010/04/01/",
                           "9999999999/01/01",
                           "2010/04/01\n9:05:07"}) {
    EXPECT_FALSE(ParseDateTime(text)) << text;
  }
  EXPECT_TRUE(ParseDateTime("2000/02/29"));
}

TEST(WholeHoursBetween, CountsWholeHoursEitherWay) {
  const DateTime t = EncodeDateTime(2010, 4, 1, 9, 5, 7);
  EXPECT_EQ(WholeHoursBetween(t + 1.0, t), 24);
  EXPECT_EQ(WholeHoursBetween(t, t + 1.0), 24);
  EXPECT_EQ(WholeHoursBetween(t + 1.0 - kSecond, t), 23);
  EXPECT_EQ(WholeHoursBetween(EncodeDateTime(2010, 4, 2, 9, 5, 7), t), 24);
  EXPECT_EQ(WholeHoursBetween(EncodeDateTime(2010, 4, 2, 9, 5, 6), t), 23);
  EXPECT_EQ(WholeHoursBetween(t, 0), 40269 * 24 + 9);
  EXPECT_EQ(WholeHoursBetween(t, t), 0);
}

// Runs a check with TZ set to `tz`, restoring the previous zone afterwards.
class TimeZoneTest : public ::testing::Test {
 protected:
  void SetZone(const char* tz) {
    const char* old = std::getenv("TZ");
    had_old_ = old != nullptr;
    if (had_old_) old_ = old;
    setenv("TZ", tz, 1);
    tzset();
  }
  void TearDown() override {
    if (had_old_) {
      setenv("TZ", old_.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

 private:
  bool had_old_ = false;
  std::string old_;
};

TEST_F(TimeZoneTest, UnixTimeInLocalTime) {
  SetZone("UTC0");
  EXPECT_EQ(DateTimeFromUnix(0), EncodeDateTime(1970, 1, 1));
  EXPECT_EQ(FormatDateTime(DateTimeFromUnix(1270112707)), "2010/04/01 9:05:07");
  EXPECT_EQ(FormatDateTime(DateTimeFromUnix(-1)), "1969/12/31 23:59:59");
  EXPECT_EQ(DecodeDateTime(DateTimeFromUnix(1270112707, 250000000)).millisecond, 250);

  SetZone("JST-9");
  EXPECT_EQ(FormatDateTime(DateTimeFromUnix(1270080307)), "2010/04/01 9:05:07");
  // A northern zone with daylight saving: summer is one hour further ahead.
  SetZone("CET-1CEST,M3.5.0,M10.5.0/3");
  EXPECT_EQ(FormatDateTime(DateTimeFromUnix(1262304000)), "2010/01/01 1:00:00");
  EXPECT_EQ(FormatDateTime(DateTimeFromUnix(1277942400)), "2010/07/01 2:00:00");
}

TEST_F(TimeZoneTest, SystemClockFollowsTheRealClock) {
  SetZone("UTC0");
  const DateTime expected = DateTimeFromUnix(std::time(nullptr));
  const DateTime now = SystemClock().Now();
  EXPECT_LT(WholeHoursBetween(now, expected), 1);
  EXPECT_NEAR(now, expected, 5 * kSecond);
}

}  // namespace
}  // namespace quillfen
