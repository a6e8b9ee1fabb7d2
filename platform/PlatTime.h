// Local time and OLE dates: days since 30 December 1899 0:00 local time as a
// double, the fraction being the time of day.
#pragma once
#include <cstdint>
#include <string>

namespace plat {

struct TDateParts {
  int Year = 1899, Month = 12, Day = 30;
  int Hour = 0, Minute = 0, Second = 0, Millisecond = 0;
};

// The current local date and time.
double Now();

double EncodeDateTime(const TDateParts& parts);
// Rounds to the nearest millisecond first, as the Windows runtime does.
TDateParts DecodeDateTime(double oleDate);

// dd.mm.yyyy, hh:nn:ss, and the date-time text (date, blank, time; the date
// alone at exactly midnight).
std::string FormatShortDate(double oleDate);
std::string FormatLongTime(double oleDate);
std::string DateTimeToStr(double oleDate);

// The local date-time converted to UTC with the offset in effect at that
// moment (process time zone, TZ).
double LocalToUtc(double localOleDate);

// A moment given as seconds since 1970 (UTC) plus milliseconds, as a local
// OLE date.
double UnixTimeToLocal(int64_t unixSeconds, int milliseconds);

// Whole seconds since local midnight of the given date-time: 0..86399.
int SecondsOfDay(double oleDate);

}  // namespace plat
