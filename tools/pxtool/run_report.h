// The runs of a package as `pxtool report` shows them: the run log read back
// (run_log_reader.h), each command with its argument-file line where the
// text matches one and its verdict in words, and the slowest commands; as
// text, JSON (schema pxtool.report) or an SVG timeline.

#ifndef TOOLS_PXTOOL_RUN_REPORT_H_
#define TOOLS_PXTOOL_RUN_REPORT_H_

#include <cstddef>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "captured_output.h"
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
  long long duration = -1;  // start to final line (or last line seen)
  // The argument-file line of each command (0: none matched); empty when
  // no line was looked up.
  std::vector<size_t> lines;

  size_t Commands() const { return logged->commands.size(); }
  ReportCommand Command(size_t c) const;  // c < Commands()
};

struct RunsReport {
  std::string packageDir, runLogPath;
  size_t runsInLog = 0;
  std::vector<ReportRun> runs;  // the runs shown, oldest first
};

// How many commands the slowest list holds.
const size_t kSlowestShown = 10;

enum class ReportFormat { kText, kJson, kSvg };

struct ReportSettings {
  std::string packageDir, runLogPath;
  std::string argText;  // the argument file; empty: no line numbers
  size_t last = 0;      // only the last `last` runs are shown (0: all)
  // A run holds the package's lock, so the last run without a final line
  // is still running rather than killed.
  bool running = false;
  ReportFormat format = ReportFormat::kText;
  // The commands' kept output (null: none is shown): the text shows the
  // last lines of a failed command's output under its row, the JSON each
  // command's size and last lines.
  const CapturedOutput* output = nullptr;
};

// Writes the report as the log is read in one pass: Add() takes each run the
// parser hands over (RunLogParser's retire function) with its 1-based number,
// Finish() the log the parser returns at its end. Text and JSON runs are
// written as they come; with `last` set, and for SVG (scaled to every row),
// the last runs are kept and written by Finish(), after which the number of
// runs in the log follows them. Nothing is written before the first run shown
// or Finish(). Memory: the slowest commands and the runs kept.
class ReportWriter {
 public:
  ReportWriter(const ReportSettings& settings, FILE* out);
  ~ReportWriter();
  ReportWriter(const ReportWriter&) = delete;
  ReportWriter& operator=(const ReportWriter&) = delete;
  // A run the parser hands over; one that is kept is moved out of `run`.
  void Add(LoggedRun& run, size_t number);
  // The runs the parser still held, and what is left to write; call once.
  void Finish(const RunLog& rest);

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

// "YYYY/MM/DD hh:mm:ss" of seconds counted as UTC (as ParseLogStamp reads).
std::string FormatLogStamp(long long seconds);

// The SVG timeline of the runs of `report` (report_svg.cc).
void WriteReportSvg(const RunsReport& report, FILE* out);

}  // namespace pxtool

#endif  // TOOLS_PXTOOL_RUN_REPORT_H_
