// The runs of a package as `pxtool report` shows them: the run log read back
// (run_log_reader.h), each command given its argument-file line where the
// text can be matched, its verdict in words, and the slowest commands. Built
// once, then written as text, JSON (schema pxtool.report) or an SVG
// timeline.

#ifndef TOOLS_PXTOOL_RUN_REPORT_H_
#define TOOLS_PXTOOL_RUN_REPORT_H_

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

#include "run_log_reader.h"
#include "run_outcome.h"

namespace pxtool {

struct ReportCommand {
  const LoggedCommand* logged = nullptr;
  size_t line = 0;  // argument-file line, 0 when the text matched none
  const char* verdict = "";  // CommandVerdict
  long long duration = -1;   // seconds, -1 when the end is unknown
};

struct ReportRun {
  size_t index = 0;  // 1-based among all runs of the log
  const LoggedRun* logged = nullptr;
  const char* mode = "force";  // force, update, expert
  bool autonomic = false;
  std::string section;
  const char* end = "finished";  // finished, killed, running
  FinalCodeMeaning meaning;      // when ended
  std::vector<ReportCommand> commands;
  long long duration = -1;  // start to final line (or last line seen)
};

struct RunsReport {
  std::string packageDir, runLogPath;
  size_t runsInLog = 0;
  std::vector<ReportRun> runs;  // the runs shown, oldest first
  // Indexes into runs[].commands: (run, command), slowest first.
  std::vector<std::pair<size_t, size_t>> slowest;
};

// How many commands the slowest list holds.
const size_t kSlowestShown = 10;

// Builds the report of the last `last` runs (0: all) of `log`. `argText`
// is the argument file (may be empty: no line numbers); `running`: a run
// holds the package's lock, so the last run without a final line is still
// running rather than killed.
RunsReport BuildRunReport(const RunLog& log, const std::string& argText,
                         size_t last, bool running);

// "YYYY/MM/DD hh:mm:ss" of seconds counted as UTC (as ParseLogStamp reads).
std::string FormatLogStamp(long long seconds);

void WriteReportText(const RunsReport& report, FILE* out);
void WriteReportJson(const RunsReport& report, FILE* out);
void WriteReportSvg(const RunsReport& report, FILE* out);

}  // namespace pxtool

#endif  // TOOLS_PXTOOL_RUN_REPORT_H_
