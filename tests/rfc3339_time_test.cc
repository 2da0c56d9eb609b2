// Run-log stamps as RFC 3339 times in zones set for the test: the hours
// skipped and repeated at the changes of offset, offsets west of UTC and of
// odd minutes or seconds, and stamps without a text.

#include "rfc3339_time.h"

#include "run_log.h"
#include "test_util.h"

namespace pxtool {
namespace {

std::string At(const char* stamp) {
  return Rfc3339FromWallClock(ParseLogStamp(stamp, kLogTimeStampLength));
}

// Europe/Berlin from the zone database, and its rule as a POSIX TZ value.
TEST(Rfc3339TimeTest, DaylightSavingTimeAndItsChanges) {
  for (const char* zone : {"Europe/Berlin", "CET-1CEST,M3.5.0,M10.5.0/3"}) {
    quillon_test::ScopedTimeZone tz(zone);
    EXPECT_EQ("2026-12-06T16:53:45+01:00", At("2026/12/06 16:53:45")) << zone;
    EXPECT_EQ("2026-07-01T00:00:00+02:00", At("2026/07/01 00:00:00")) << zone;
    // 29 March 2026, 02:00 -> 03:00: 02:30 does not exist; read with the
    // offset before, it is 03:30 summer time.
    EXPECT_EQ("2026-03-29T01:59:59+01:00", At("2026/03/29 01:59:59")) << zone;
    EXPECT_EQ("2026-03-29T03:30:00+02:00", At("2026/03/29 02:30:00")) << zone;
    // 25 October 2026, 03:00 -> 02:00: 02:30 occurs twice and is the
    // earlier, whatever was converted before (mktime keeps a guess).
    EXPECT_EQ("2026-10-25T03:30:00+01:00", At("2026/10/25 03:30:00")) << zone;
    EXPECT_EQ("2026-10-25T02:30:00+02:00", At("2026/10/25 02:30:00")) << zone;
    EXPECT_EQ("2026-10-25T01:59:59+02:00", At("2026/10/25 01:59:59")) << zone;
    EXPECT_EQ("2026-10-25T02:30:00+02:00", At("2026/10/25 02:30:00")) << zone;
  }
}

TEST(Rfc3339TimeTest, OtherOffsetsAndStampsWithoutText) {
  const std::pair<const char*, std::vector<std::pair<const char*, const char*>>> cases[] = {
      {"UTC0",
       {{"1970/01/01 00:00:00", "1970-01-01T00:00:00+00:00"},
        {"2024/02/31 00:00:00", "2024-03-02T00:00:00+00:00"},  // counted on, as the text is
        {"9999/12/31 23:59:60", ""}}},                          // year 10000
      {"NST3:30", {{"2024/02/22 14:43:05", "2024-02-22T14:43:05-03:30"}}},
      {"NPT-5:45", {{"1970/01/01 00:00:00", "1970-01-01T00:00:00+05:45"}}},  // 1969 in UTC
      // An offset of seconds, which RFC 3339 cannot write: the instant in UTC.
      {"LMT-0:00:30", {{"2024/02/22 14:43:05", "2024-02-22T14:42:35+00:00"}}}};
  for (const auto& [zone, stamps] : cases) {
    quillon_test::ScopedTimeZone tz(zone);
    for (const auto& [stamp, time] : stamps) EXPECT_EQ(time, At(stamp)) << zone << " " << stamp;
  }
  EXPECT_EQ("", Rfc3339FromWallClock(-1));  // unknown
}

}  // namespace
}  // namespace pxtool
