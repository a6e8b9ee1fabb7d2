#include <gtest/gtest.h>

#include <stdlib.h>
#include <time.h>

#include <cmath>
#include <string>

#include "platform/PlatTime.h"

namespace {

// Sets TZ for one test and restores the previous zone afterwards.
class ZoneGuard {
 public:
  explicit ZoneGuard(const char* zone) {
    const char* old = getenv("TZ");
    hadOld_ = old != nullptr;
    if (old) old_ = old;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~ZoneGuard() {
    if (hadOld_)
      setenv("TZ", old_.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }

 private:
  bool hadOld_ = false;
  std::string old_;
};

plat::TDateParts Parts(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int ms = 0) {
  plat::TDateParts p;
  p.Year = y;
  p.Month = mo;
  p.Day = d;
  p.Hour = h;
  p.Minute = mi;
  p.Second = s;
  p.Millisecond = ms;
  return p;
}

void ExpectParts(const plat::TDateParts& p, const plat::TDateParts& e, const std::string& what) {
  EXPECT_EQ(p.Year, e.Year) << what;
  EXPECT_EQ(p.Month, e.Month) << what;
  EXPECT_EQ(p.Day, e.Day) << what;
  EXPECT_EQ(p.Hour, e.Hour) << what;
  EXPECT_EQ(p.Minute, e.Minute) << what;
  EXPECT_EQ(p.Second, e.Second) << what;
  EXPECT_EQ(p.Millisecond, e.Millisecond) << what;
}

TEST(OleDate, KnownDatesHaveKnownNumbers) {
  struct Case {
    plat::TDateParts parts;
    double ole;
  };
  const Case cases[] = {
      {Parts(1899, 12, 30), 0.0},
      {Parts(1899, 12, 31, 12), 1.5},
      {Parts(1900, 1, 1), 2.0},
      {Parts(1900, 3, 1), 61.0},  // 1900 is no leap year here
      {Parts(2000, 1, 1), 36526.0},
      {Parts(2000, 2, 29, 6), 36585.25},
      {Parts(2024, 3, 1, 18), 45352.75},
      {Parts(1899, 12, 29, 6), -1.25},  // before the epoch the time part counts forward
      {Parts(1, 1, 1), -693593.0},
      {Parts(9999, 12, 31), 2958465.0},
  };
  for (const Case& c : cases) {
    const std::string what = std::to_string(c.ole);
    EXPECT_DOUBLE_EQ(plat::EncodeDateTime(c.parts), c.ole) << what;
    ExpectParts(plat::DecodeDateTime(c.ole), c.parts, what);
  }
}

TEST(OleDate, RoundTripsEveryMillisecondFieldOverYears) {
  for (int year : {1900, 1970, 1999, 2000, 2038, 2100, 2400}) {
    for (int month = 1; month <= 12; month += 5) {
      const plat::TDateParts p = Parts(year, month, 28, 23, 59, 59, 999);
      ExpectParts(plat::DecodeDateTime(plat::EncodeDateTime(p)), p, std::to_string(year));
      const plat::TDateParts q = Parts(year, month, 1, 0, 0, 0, 1);
      ExpectParts(plat::DecodeDateTime(plat::EncodeDateTime(q)), q, std::to_string(year));
    }
  }
}

TEST(OleDate, RoundsToNearestMillisecondBeforeSplitting) {
  // 23:59:58.9999998 shows as 23:59:59.
  const double almost = 36526.0 + (86398.9999998 / 86400.0);
  EXPECT_EQ(plat::FormatLongTime(almost), "23:59:59");
  EXPECT_EQ(plat::DecodeDateTime(almost).Millisecond, 0);
  // Rounding may carry into the next day, which then shows as midnight.
  const double lastInstant = 36526.0 + (86399.9997 / 86400.0);
  EXPECT_EQ(plat::DateTimeToStr(lastInstant), "02.01.2000");
  EXPECT_EQ(plat::FormatLongTime(lastInstant), "00:00:00");
  // Just below half a millisecond stays on its day.
  const double beforeMidnight = 36526.0 + (86399.9994 / 86400.0);
  EXPECT_EQ(plat::DateTimeToStr(beforeMidnight), "01.01.2000 23:59:59");
}

TEST(DateTimeToStr, ShowsDateAloneAtMidnightOnly) {
  EXPECT_EQ(plat::DateTimeToStr(36526.0), "01.01.2000");
  EXPECT_EQ(plat::DateTimeToStr(36526.0 + 1.0 / 86400000.0), "01.01.2000 00:00:00");
  EXPECT_EQ(plat::DateTimeToStr(36526.0 + 1e-10), "01.01.2000");  // rounds to midnight
  EXPECT_EQ(plat::DateTimeToStr(plat::EncodeDateTime(Parts(2009, 7, 5, 8, 3, 9))), "05.07.2009 08:03:09");
  EXPECT_EQ(plat::FormatShortDate(plat::EncodeDateTime(Parts(987, 1, 2))), "02.01.0987");
}

TEST(OleDate, SurvivesNonsenseValues) {
  for (double v : {double(NAN), double(INFINITY), -double(INFINITY), 1e300, -1e300, -693594.5, 2958466.5}) {
    const std::string text = plat::DateTimeToStr(v);
    EXPECT_FALSE(text.empty());
    const int s = plat::SecondsOfDay(v);
    EXPECT_GE(s, 0);
    EXPECT_LE(s, 86399);
    (void)plat::LocalToUtc(v);
  }
  EXPECT_EQ(plat::DateTimeToStr(-1e300), "01.01.0001");
}

TEST(SecondsOfDay, TruncatesTheFraction) {
  EXPECT_EQ(plat::SecondsOfDay(36526.0), 0);
  EXPECT_EQ(plat::SecondsOfDay(36526.5), 43200);
  EXPECT_EQ(plat::SecondsOfDay(36526.0 + 61.9 / 86400.0), 61);
  EXPECT_EQ(plat::SecondsOfDay(36526.0 + 86399.9999 / 86400.0), 86399);
  EXPECT_EQ(plat::SecondsOfDay(-1.25), 21600);
}

TEST(LocalToUtc, FollowsTheZoneOffsetOfThatMoment) {
  ZoneGuard zone("Europe/Berlin");
  const double winter = plat::EncodeDateTime(Parts(2021, 1, 15, 12, 30, 0, 250));
  const double summer = plat::EncodeDateTime(Parts(2021, 7, 15, 1, 30, 0, 250));
  ExpectParts(plat::DecodeDateTime(plat::LocalToUtc(winter)), Parts(2021, 1, 15, 11, 30, 0, 250), "winter");
  ExpectParts(plat::DecodeDateTime(plat::LocalToUtc(summer)), Parts(2021, 7, 14, 23, 30, 0, 250), "summer");
}

TEST(LocalToUtc, IsIdentityInUtc) {
  ZoneGuard zone("UTC");
  const double t = plat::EncodeDateTime(Parts(2015, 6, 1, 7, 8, 9, 10));
  ExpectParts(plat::DecodeDateTime(plat::LocalToUtc(t)), Parts(2015, 6, 1, 7, 8, 9, 10), "utc");
}

TEST(UnixTimeToLocal, UsesTheProcessZone) {
  {
    ZoneGuard zone("UTC");
    EXPECT_DOUBLE_EQ(plat::UnixTimeToLocal(0, 0), 25569.0);
  }
  ZoneGuard zone("Europe/Berlin");
  ExpectParts(plat::DecodeDateTime(plat::UnixTimeToLocal(946684800, 7)), Parts(2000, 1, 1, 1, 0, 0, 7), "berlin");
}

TEST(Now, AgreesWithTheSystemClock) {
  ZoneGuard zone("UTC");
  const double now = plat::Now();
  const double fromClock = 25569.0 + static_cast<double>(time(nullptr)) / 86400.0;
  EXPECT_NEAR(now, fromClock, 2.0 / 86400.0);
}

}  // namespace
