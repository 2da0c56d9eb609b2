// Run-log stamps as RFC 3339 times, in zones set for the test: standard and
// daylight saving time, the hour skipped and the hour repeated at the
// changes, offsets west of UTC and of odd minutes, and what has no text.

#include "rfc3339_time.h"

#include "run_log.h"
#include "test_util.h"

namespace pxtool {
namespace {

using quillon_test::ScopedTimeZone;

std::string At(const char* stamp) {
  return Rfc3339FromWallClock(ParseLogStamp(stamp, kLogTimeStampLength));
}

// Europe/Berlin from the zone database, and its rule as a POSIX TZ value,
// which needs no database: the same answers.
TEST(Rfc3339TimeTest, DaylightSavingTimeAndItsChanges) {
  for (const char* zone : {"Europe/Berlin", "CET-1CEST,M3.5.0,M10.5.0/3"}) {
    SCOPED_TRACE(zone);
    ScopedTimeZone tz(zone);
    EXPECT_EQ("2026-12-06T16:53:45+01:00", At("2026/12/06 16:53:45"));
    EXPECT_EQ("2026-07-01T00:00:00+02:00", At("2026/07/01 00:00:00"));
    // Clocks go from 02:00 to 03:00 on 29 March 2026: 02:30 does not
    // exist; read with the offset before, it is 03:30 summer time.
    EXPECT_EQ("2026-03-29T01:59:59+01:00", At("2026/03/29 01:59:59"));
    EXPECT_EQ("2026-03-29T03:30:00+02:00", At("2026/03/29 02:30:00"));
    EXPECT_EQ("2026-03-29T03:00:00+02:00", At("2026/03/29 03:00:00"));
    // Clocks go from 03:00 back to 02:00 on 25 October 2026: 02:30 occurs
    // twice and is the earlier, whatever was converted before it (mktime
    // keeps a guess from its previous call).
    EXPECT_EQ("2026-10-25T03:30:00+01:00", At("2026/10/25 03:30:00"));
    EXPECT_EQ("2026-10-25T02:30:00+02:00", At("2026/10/25 02:30:00"));
    EXPECT_EQ("2026-10-25T01:59:59+02:00", At("2026/10/25 01:59:59"));
    EXPECT_EQ("2026-10-25T02:30:00+02:00", At("2026/10/25 02:30:00"));
  }
}

TEST(Rfc3339TimeTest, OtherOffsetsAndTimesWithoutText) {
  {
    ScopedTimeZone tz("UTC0");
    EXPECT_EQ("1970-01-01T00:00:00+00:00", At("1970/01/01 00:00:00"));
    // What the reader takes in, counted on as the text report counts it.
    EXPECT_EQ("2024-03-02T00:00:00+00:00", At("2024/02/31 00:00:00"));
    EXPECT_EQ("2024-02-22T14:44:00+00:00", At("2024/02/22 14:43:60"));
    EXPECT_EQ("9999-12-31T23:59:59+00:00", At("9999/12/31 23:59:59"));
    EXPECT_EQ("", At("9999/12/31 23:59:60"));  // year 10000
    EXPECT_EQ("", Rfc3339FromWallClock(-1));    // unknown
  }
  {
    ScopedTimeZone tz("NST3:30");  // west of UTC by 3 h 30
    EXPECT_EQ("2024-02-22T14:43:05-03:30", At("2024/02/22 14:43:05"));
  }
  {
    // East of UTC: the first stamp there is an instant of 1969.
    ScopedTimeZone tz("NPT-5:45");
    EXPECT_EQ("1970-01-01T00:00:00+05:45", At("1970/01/01 00:00:00"));
  }
  {
    // An offset of seconds is written as the same instant in UTC.
    ScopedTimeZone tz("LMT-0:00:30");
    EXPECT_EQ("2024-02-22T14:42:35+00:00", At("2024/02/22 14:43:05"));
  }
}

}  // namespace
}  // namespace pxtool
