// The run log's time stamps as pxtool's JSON writes them: RFC 3339 with the
// offset from UTC, "2026-12-06T16:53:45+01:00". The run log writes the
// machine's local time without a zone (run_log.h); the offset is the one the
// machine's local time rules (TZ, else /etc/localtime) give that date and
// time, as mktime() finds it.

#ifndef TOOLS_PXTOOL_RFC3339_TIME_H_
#define TOOLS_PXTOOL_RFC3339_TIME_H_

#include <string>

namespace pxtool {

// `wallSeconds` is a stamp counted as if it were UTC (LogTime::seconds,
// ParseLogStamp). Returns its RFC 3339 text, or "" when it is unknown
// (negative), its year does not have four digits, or the C library cannot
// convert it. Calls tzset(), through mktime(), so a change of TZ counts.
//
// A local time that the zone's rules skip (the hour clocks are put forward)
// is read with the offset from before the change, and so written as the
// later wall-clock time it stands for: in Europe/Berlin 2026/03/29 02:30:00
// is 2026-03-29T03:30:00+02:00. A local time that occurs twice (the hour
// clocks are put back) is taken as the earlier: 2026/10/25 02:30:00 is
// 2026-10-25T02:30:00+02:00. In a zone whose offset is not a whole number of
// minutes (local mean time before 1972 in a few zones), which RFC 3339
// cannot write, the time is written in UTC with "+00:00".
std::string Rfc3339FromWallClock(long long wallSeconds);

}  // namespace pxtool

#endif  // TOOLS_PXTOOL_RFC3339_TIME_H_
