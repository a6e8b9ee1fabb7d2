#include <gtest/gtest.h>

#include <cmath>

#include "platform/PlatTime.h"

using plat::EncodeDateTime;

// Midnight shows the date alone: at the millisecond the time is rounded to.
TEST(OleDate, RoundsToTheMillisecondToFormat) {
  const double d = 36526.0, s = 1.0 / 86400;  // 01.01.2000, one second
  const struct { double ole; const char* text; } cases[] = {
      {d + s / 1000, "01.01.2000 00:00:00"},         {d + 61.9 * s, "01.01.2000 00:01:01"},
      {d + 86398.9999998 * s, "01.01.2000 23:59:59"}, {d + 86399.9994 * s, "01.01.2000 23:59:59"},
      {d + 86399.9997 * s, "02.01.2000"},            {-1.25, "29.12.1899 06:00:00"},
      {NAN, "01.01.0001"},                           {1e300, "31.12.9999 23:59:59"}};
  for (const auto& c : cases) EXPECT_EQ(plat::DateTimeToStr(c.ole), c.text) << c.ole;
}

// Last in the file: it leaves TZ set. Stale queue files are told by these
// local times: a wrong summer offset ages a fresh queue by an hour.
TEST(LocalTime, FollowsTheZoneOffsetInEffectAtThatMoment) {
  setenv("TZ", "Europe/Berlin", 1);
  tzset();
  const struct { plat::TDateParts local; long long unixSeconds; } cases[] = {
      {{2021, 1, 15, 12, 30, 0, 250}, 1610710200}, {{2021, 7, 15, 1, 30, 0, 250}, 1626305400}};
  for (const auto& c : cases)
    EXPECT_DOUBLE_EQ(plat::UnixTimeToLocal(c.unixSeconds, c.local.Millisecond), EncodeDateTime(c.local));
}
