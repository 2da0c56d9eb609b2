// Reporting an event of the run. Every event goes to the trace (with the
// program's prefix, only while tracing is on) and, most of the time, to the
// run log (without the prefix, with a time stamp). The format arguments must
// be string literals without their leading line feed; the macros add it.
//
//   QTRACE(1, "Use command section '%s'", key);  // trace only
//   QLOG("Use command section %s", key);         // run log only
//   QREPORT(2, "Open argument file \"%s\"", n);  // both, same text

#ifndef QUILLON_REPORT_H_
#define QUILLON_REPORT_H_

#include "cdebug.h"
#include "quillon.h"
#include "run_log_writer.h"

#define QUILLON_TRACE_PREFIX "\nQuillon       : "

#define QTRACE(level, format, ...)                                     \
  do {                                                                 \
    if (Debug.IsEnabled())                                             \
      Debug.Print(level, QUILLON_TRACE_PREFIX format, ##__VA_ARGS__);  \
  } while (0)

#define QLOG(format, ...) WriteLogFile(hLogFile, "\n" format, ##__VA_ARGS__)

#define QREPORT(level, format, ...)       \
  do {                                    \
    QTRACE(level, format, ##__VA_ARGS__); \
    QLOG(format, ##__VA_ARGS__);          \
  } while (0)

#endif  // QUILLON_REPORT_H_
