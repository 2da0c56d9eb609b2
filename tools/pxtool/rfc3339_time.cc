#include "rfc3339_time.h"

#include <time.h>

#include <cstdio>

namespace pxtool {

namespace {

const long long kDaySeconds = 86400;

// The offset from UTC, in seconds, of local time at `t`.
bool OffsetAt(time_t t, long* offset) {
  struct tm local;
  if (localtime_r(&t, &local) == nullptr) return false;
  *offset = local.tm_gmtoff;
  return true;
}

// "YYYY-MM-DDThh:mm:ss+hh:mm" of `f` and `offset` (whole minutes); "" when
// the year does not have four digits.
std::string Format(const struct tm& f, long offset) {
  long long year = f.tm_year + 1900LL;
  if (year < 0 || year > 9999) return std::string();
  long magnitude = offset < 0 ? -offset : offset;
  char text[64];
  snprintf(text, sizeof(text), "%04lld-%02d-%02dT%02d:%02d:%02d%c%02ld:%02ld", year,
           f.tm_mon + 1, f.tm_mday, f.tm_hour, f.tm_min, f.tm_sec, offset < 0 ? '-' : '+',
           magnitude / 3600, magnitude / 60 % 60);
  return text;
}

}  // namespace

std::string Rfc3339FromWallClock(long long wallSeconds) {
  if (wallSeconds < 0) return std::string();
  const time_t wall = static_cast<time_t>(wallSeconds);
  struct tm fields;
  if (gmtime_r(&wall, &fields) == nullptr) return std::string();
  // mktime reads the fields as local time and finds out whether daylight
  // saving time is in effect then (tm_isdst -1). Its -1 is also a time, so
  // a failure shows in tm_wday, which it leaves as it is.
  struct tm local = fields;
  local.tm_isdst = -1;
  local.tm_wday = -1;
  if (mktime(&local) == static_cast<time_t>(-1) && local.tm_wday == -1) return std::string();

  // The instants whose local time is the wall-clock time are `wall` less an
  // offset of the zone: mktime's, or the one a day before or after when the
  // zone changes its offset in between. For a time that occurs twice
  // mktime returns either instant, as its earlier calls leave its guess;
  // the earlier one is taken here, whatever came before.
  long offsets[3] = {local.tm_gmtoff, 0, 0};
  if (!OffsetAt(wall - kDaySeconds, &offsets[1]) || !OffsetAt(wall + kDaySeconds, &offsets[2]))
    return std::string();
  bool found = false;
  time_t at = 0;
  for (long offset : offsets) {
    time_t candidate = wall - offset;
    long actual = 0;
    if (OffsetAt(candidate, &actual) && actual == offset && (!found || candidate < at)) {
      at = candidate;
      found = true;
    }
  }
  // None: the zone skips that time; it is read with the offset before.
  if (!found) at = wall - offsets[1];

  struct tm shown;
  if (localtime_r(&at, &shown) == nullptr) return std::string();
  if (shown.tm_gmtoff % 60 == 0) return Format(shown, shown.tm_gmtoff);
  // An offset of seconds, which RFC 3339 cannot write: the time in UTC.
  if (gmtime_r(&at, &shown) == nullptr) return std::string();
  return Format(shown, 0);
}

}  // namespace pxtool
