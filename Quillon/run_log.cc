#include "run_log.h"

const char kRunLogName[] = "Quillon.log";
const char kRunOutputName[] = "Quillon.out";
const char kRunOutputPreviousName[] = "Quillon.out.1";

// The conversions FormatLiteral passes over.
static_assert(FormatLiteral("a%-08.3lub%sc", 1) == "b" &&
                  FormatLiteral("a%-08.3lub%sc", 2) == "c" &&
                  FormatLiteral("a%d", 2).empty(),
              "FormatLiteral reads printf conversions");

const char* LogTimeStamp(time_t now, char (&buffer)[kLogTimeStampSize]) {
  tzset();
  struct tm local;
  int dst = 0;
  if (localtime_r(&now, &local) != nullptr && local.tm_isdst > 0 && daylight)
    dst = 3600;
  time_t shifted = now - timezone + dst;
  struct tm shown;
  if (gmtime_r(&shifted, &shown) == nullptr ||
      strftime(buffer, kLogTimeStampSize, "%Y/%m/%d %H:%M:%S", &shown) == 0)
    buffer[0] = '\0';
  return buffer;
}
