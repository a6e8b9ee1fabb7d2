#include "platform/PlatTime.h"

#include <cmath>
#include <cstdio>
#include <ctime>

namespace plat {

namespace {

constexpr int64_t kMsPerDay = 86400000;
// 1 January 0001 and 31 December 9999, the range the runtime accepts;
// anything beyond (or NaN) is clamped so that no conversion overflows.
constexpr double kMinDate = -693593.0;
constexpr double kMaxDate = 2958465.99999999;

// Days since 1 January 1970 of a proleptic Gregorian date.
constexpr int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilFromDays(int64_t z, int& year, int& month, int& day) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int>(yoe + era * 400 + (month <= 2));
}

constexpr int64_t kOleEpochDays = DaysFromCivil(1899, 12, 30);

// Total milliseconds, rounded half away from zero as the Windows runtime
// does; the date part is the whole days toward zero and the time part the
// absolute remainder (so -1.25 is 29.12.1899 06:00).
void SplitOle(double oleDate, int64_t& days, int64_t& msOfDay) {
  if (!(oleDate >= kMinDate)) oleDate = kMinDate;
  if (oleDate > kMaxDate) oleDate = kMaxDate;
  const double scaled = oleDate * static_cast<double>(kMsPerDay);
  const int64_t totalMs = static_cast<int64_t>(scaled >= 0 ? scaled + 0.5 : scaled - 0.5);
  days = totalMs / kMsPerDay;
  msOfDay = totalMs % kMsPerDay;
  if (msOfDay < 0) msOfDay = -msOfDay;
}

TDateParts PartsFromTm(const tm& t, int milliseconds) {
  TDateParts parts;
  parts.Year = t.tm_year + 1900;
  parts.Month = t.tm_mon + 1;
  parts.Day = t.tm_mday;
  parts.Hour = t.tm_hour;
  parts.Minute = t.tm_min;
  parts.Second = t.tm_sec > 59 ? 59 : t.tm_sec;  // a leap second shows as :59
  parts.Millisecond = milliseconds;
  return parts;
}

std::string TwoDigits(int v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%02d", v);
  return buf;
}

}  // namespace

double EncodeDateTime(const TDateParts& p) {
  const double days = static_cast<double>(DaysFromCivil(p.Year, p.Month, p.Day) - kOleEpochDays);
  const double time =
      (((static_cast<double>(p.Hour) * 60 + p.Minute) * 60 + p.Second) * 1000 + p.Millisecond) /
      static_cast<double>(kMsPerDay);
  return days >= 0 ? days + time : days - time;
}

TDateParts DecodeDateTime(double oleDate) {
  int64_t days = 0, ms = 0;
  SplitOle(oleDate, days, ms);
  TDateParts p;
  CivilFromDays(days + kOleEpochDays, p.Year, p.Month, p.Day);
  p.Hour = static_cast<int>(ms / 3600000);
  p.Minute = static_cast<int>(ms / 60000 % 60);
  p.Second = static_cast<int>(ms / 1000 % 60);
  p.Millisecond = static_cast<int>(ms % 1000);
  return p;
}

double UnixTimeToLocal(int64_t unixSeconds, int milliseconds) {
  const time_t t = static_cast<time_t>(unixSeconds);
  tm local{};
  if (!localtime_r(&t, &local)) return 0;
  return EncodeDateTime(PartsFromTm(local, milliseconds));
}

double Now() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return UnixTimeToLocal(ts.tv_sec, static_cast<int>(ts.tv_nsec / 1000000));
}

std::string FormatShortDate(double oleDate) {
  const TDateParts p = DecodeDateTime(oleDate);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%02d.%02d.%04d", p.Day, p.Month, p.Year);
  return buf;
}

std::string FormatLongTime(double oleDate) {
  const TDateParts p = DecodeDateTime(oleDate);
  return TwoDigits(p.Hour) + ":" + TwoDigits(p.Minute) + ":" + TwoDigits(p.Second);
}

std::string DateTimeToStr(double oleDate) {
  int64_t days = 0, ms = 0;
  SplitOle(oleDate, days, ms);
  if (ms == 0) return FormatShortDate(oleDate);
  return FormatShortDate(oleDate) + " " + FormatLongTime(oleDate);
}

double LocalToUtc(double localOleDate) {
  const TDateParts p = DecodeDateTime(localOleDate);
  tm local{};
  local.tm_year = p.Year - 1900;
  local.tm_mon = p.Month - 1;
  local.tm_mday = p.Day;
  local.tm_hour = p.Hour;
  local.tm_min = p.Minute;
  local.tm_sec = p.Second;
  local.tm_isdst = -1;
  const time_t t = mktime(&local);
  tm utc{};
  if (t == static_cast<time_t>(-1) && local.tm_year != 69) return localOleDate;
  if (!gmtime_r(&t, &utc)) return localOleDate;
  return EncodeDateTime(PartsFromTm(utc, p.Millisecond));
}

int SecondsOfDay(double oleDate) {
  if (!std::isfinite(oleDate)) return 0;
  const double fraction = std::fabs(oleDate - std::trunc(oleDate));
  int seconds = static_cast<int>(fraction * 86400.0);
  if (seconds < 0) seconds = 0;
  if (seconds > 86399) seconds = 86399;
  return seconds;
}

}  // namespace plat
