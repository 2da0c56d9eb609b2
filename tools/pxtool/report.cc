// pxtool report [PACKAGE_DIR [ARGUMENT_FILE] | ARGUMENT_FILE]
//               [--format text|json|svg] [--last N]
//               [--output LINE [--run N]]
//
// Every run of a package from its run log (Quillon.log in the package
// directory): start, mode and arguments, end; each command with its
// argument-file line, times, return code and verdict, and the last lines
// of a failed command's output (Quillon.out); the slowest commands. SVG
// draws the runs as a timeline (at most the last 50 runs unless --last
// says otherwise). --output prints the whole kept output of the command at
// LINE in the last run (or run N) instead. Only reads.

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "captured_output.h"
#include "package_files.h"
#include "package_state.h"
#include "pxtool.h"
#include "run_lock.h"
#include "run_log.h"
#include "run_report.h"

namespace pxtool {

namespace {

const size_t kSvgDefaultRuns = 50;

bool ParseCount(const char* text, size_t* value) {
  char* end = nullptr;
  errno = 0;
  unsigned long long v = strtoull(text, &end, 10);
  if (end == text || *end != '\0' || errno != 0 || v == 0 || text[0] == '-')
    return false;
  *value = static_cast<size_t>(v);
  return true;
}

// Prints the kept output of the command at argument-file line `line` of
// run `number` of the log (0: the last).
int PrintOutput(const std::string& dir, const std::string& logPath,
                const CapturedOutput& output, size_t line, size_t number) {
  std::vector<long long> starts;  // of every run, by number - 1
  RunLogParser parser([&starts](LoggedRun& run, size_t) {
    starts.push_back(run.started.seconds);
  });
  std::string error;
  if (!ReadPackageFileInPieces(
          logPath, kMaxRunLogSize, dir,
          [&parser](const char* data, size_t size) { parser.Feed(data, size); }, &error))
    return Fail("cannot read the run log %s", error.c_str());
  for (const LoggedRun& run : parser.Finish().runs) starts.push_back(run.started.seconds);
  if (starts.empty()) return Fail("%s: no run in the log", logPath.c_str());
  if (number > starts.size())
    return Fail("%s: run %zu asked for, the log holds %zu", logPath.c_str(), number,
                starts.size());
  if (number == 0) number = starts.size();
  CapturedCommand captured;
  if (!output.Find(starts[number - 1], line, &captured))
    return Fail("%s/%s: no output kept of line %zu in run %zu", dir.c_str(),
                kRunOutputName, line, number);
  fwrite(captured.output.data(), 1, captured.output.size(), stdout);
  return kExitSuccess;
}

}  // namespace

int RunReport(const CommandLine& line, const std::string& runLockDirectory) {
  std::string format = line.Has("format") ? line.Last("format") : "text";
  size_t last = 0, outputLine = 0, outputRun = 0;
  if (line.Has("output") && !ParseCount(line.Last("output"), &outputLine))
    return line.UsageError("--output needs a line number above 0");
  if (line.Has("run") && !ParseCount(line.Last("run"), &outputRun))
    return line.UsageError("--run needs a run number above 0");
  if (line.Has("last") && !ParseCount(line.Last("last"), &last))
    return line.UsageError("--last needs a number of runs above 0");
  if (outputRun != 0 && outputLine == 0)
    return line.UsageError("--run goes with --output LINE");
  if (format == "svg" && last == 0) last = kSvgDefaultRuns;

  PackageLocation where;
  std::string error;
  int rc = LocateNamedPackage(line, PackageOperands::kOptional, &where, &error);
  if (rc == kExitUsage) return rc;
  const std::vector<std::string>& names = line.operands();
  bool located = rc == kExitSuccess;
  struct stat st;
  if (!located) {
    // A package directory whose argument file is gone still has its log;
    // its commands then go without line numbers.
    if (names.size() > 1 || stat(names.empty() ? "." : names[0].c_str(), &st) != 0 ||
        !S_ISDIR(st.st_mode))
      return Fail("%s", error.c_str());
    where.dir = names.empty() ? "." : names[0];
  }
  std::string logPath = (where.dir.back() == '/' ? where.dir : where.dir + "/") + kRunLogName;
  if (lstat(logPath.c_str(), &st) != 0)
    return Fail("%s: no run log: no run has written one here (autonomic runs write none "
                "without -d)", logPath.c_str());
  // The timeline shows no output: only the other forms read it.
  CapturedOutput output;
  if ((format != "svg" || outputLine != 0) && !output.Read(where.dir, &error))
    return Fail("cannot read the commands' output %s", error.c_str());
  if (outputLine != 0) return PrintOutput(where.dir, logPath, output, outputLine, outputRun);
  ReportSettings settings;
  settings.output = &output;
  settings.packageDir = where.dir;
  settings.runLogPath = logPath;
  settings.last = last;
  settings.format = format == "json" ? ReportFormat::kJson
                    : format == "svg" ? ReportFormat::kSvg : ReportFormat::kText;
  if (located) {
    std::string argPath = where.ArgPath();
    if (!ReadPackageFile(argPath, kMaxArgumentFileSize, where.dir, &settings.argText,
                         &error)) {
      fprintf(stderr, "pxtool: note: cannot read the argument file %s; commands "
              "are shown without line numbers\n", error.c_str());
      settings.argText.clear();
    } else {
      settings.running = RunLock(runLockDirectory).Probe(argPath, &error) ==
                         RunLockState::kHeld;
    }
  }
  // Each run is written as soon as the parser hands it over, so memory does
  // not grow with the log; a log that cannot be opened leaves nothing on the
  // standard output (the writer writes nothing before its first run).
  ReportWriter writer(settings, stdout);
  RunLogParser parser([&writer](LoggedRun& run, size_t number) { writer.Add(run, number); });
  if (!ReadPackageFileInPieces(
          logPath, kMaxRunLogSize, where.dir,
          [&parser](const char* data, size_t size) { parser.Feed(data, size); }, &error))
    return Fail("cannot read the run log %s", error.c_str());
  writer.Finish(parser.Finish());
  return kExitSuccess;
}

}  // namespace pxtool
