#include "run_log.h"

#include <ctime>

const char kRunLogName[] = "Quillon.log";
const char kRunOutputName[] = "Quillon.out";
const char kRunOutputPreviousName[] = "Quillon.out.1";
const char kLogTimeStampFormat[] = "%Y/%m/%d %H:%M:%S";

// The conversions FormatLiteral passes over.
static_assert(FormatLiteral("a%-08.3lub%sc", 1) == "b" &&
                  FormatLiteral("a%-08.3lub%sc", 2) == "c" &&
                  FormatLiteral("a%d", 2).empty(),
              "FormatLiteral reads printf conversions");

namespace {

// Days from 1970-01-01 to the civil date (year, month, day).
long long DaysFromCivil(long long y, unsigned m, unsigned d) {
  y -= m <= 2;
  long long era = (y >= 0 ? y : y - 399) / 400;
  unsigned yoe = static_cast<unsigned>(y - era * 400);
  unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long long>(doe) - 719468;
}

}  // namespace

const char* LogTimeStamp(time_t now, char (&buffer)[kLogTimeStampSize]) {
  tzset();
  struct tm local;
  int dst = 0;
  if (localtime_r(&now, &local) != nullptr && local.tm_isdst > 0 && daylight)
    dst = 3600;
  time_t shifted = now - timezone + dst;
  struct tm shown;
  if (gmtime_r(&shifted, &shown) == nullptr ||
      strftime(buffer, kLogTimeStampSize, kLogTimeStampFormat, &shown) == 0)
    buffer[0] = '\0';
  return buffer;
}

long long ParseLogStamp(const char* t, size_t size) {
  if (size < kLogTimeStampLength) return -1;
  // The shape kLogTimeStampFormat writes.
  static const char kShape[] = "dddd/dd/dd dd:dd:dd";
  static_assert(sizeof(kShape) - 1 == kLogTimeStampLength, "one stamp");
  for (size_t i = 0; i < kLogTimeStampLength; ++i) {
    bool digit = t[i] >= '0' && t[i] <= '9';
    if (kShape[i] == 'd' ? !digit : t[i] != kShape[i]) return -1;
  }
  auto num = [t](size_t at, size_t n) {
    unsigned v = 0;
    for (size_t i = 0; i < n; ++i) v = v * 10 + static_cast<unsigned>(t[at + i] - '0');
    return v;
  };
  unsigned month = num(5, 2), day = num(8, 2), hour = num(11, 2),
           minute = num(14, 2), second = num(17, 2);
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 ||
      minute > 59 || second > 60)
    return -1;
  long long days = DaysFromCivil(num(0, 4), month, day);
  if (days < 0) return -1;
  return days * 86400 + hour * 3600 + minute * 60 + second;
}
