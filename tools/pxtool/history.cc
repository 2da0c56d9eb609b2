// pxtool history [--package DIR] [--since TIME] [--last N]
//                [--runs | --commands RUN | --pending | --prune KEEP | --resume]
//                [--format text|json|openmetrics] [--quillon PROGRAM]
//
// The machine's runs of Quillon as the history database (history_db.h)
// holds them: the runs (the default), the lines one run took, the packages
// a resume would run again, or OpenMetrics for node_exporter's textfile
// collector. Reads the database read-only; --prune writes (it removes the
// oldest runs), --resume runs Quillon.
//
// A run without an end is "running" while its process (same boot, same
// pid and start time) lives, else "interrupted".
//
// Pending, for --pending and --resume: for each package (argument file) its
// last run that held the package's lock, when that run was interrupted or
// ended with a reboot request (the reboot was handed to the reboot
// program), was not autonomic, and its package directory and argument file
// still exist. --resume starts Quillon (PROGRAM, by default the Quillon
// installed beside pxtool, ../sbin/Quillon) for each in turn, in the
// directory the run was started in, with the run's arguments; its lines
// and Quillon's own output go to standard output (the journal, when
// quillon-resume.service runs it). A run whose command line held a -pwd
// value (stored masked) cannot be resumed and is only listed. A resumed
// package's new run is its last: nothing stays pending, so a second
// --resume starts nothing more.

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "command_group.h"
#include "history_db.h"
#include "path_parts.h"
#include "command_line.h"
#include "pxtool.h"
#include "safe_file.h"

namespace pxtool {

namespace {

using Json = nlohmann::ordered_json;

enum class Show { kRuns, kCommands, kPending, kPrune, kResume };
enum class Format { kText, kJson, kOpenMetrics };

struct HistoryOptions {
  Show show = Show::kRuns;
  Format format = Format::kText;
  HistoryQuery query;
  long long run = 0;    // --commands
  long long keep = 0;   // --prune
  std::string quillon;  // --resume
};

bool ParseCount(const char* text, long long* value) {
  char* end = nullptr;
  errno = 0;
  long long n = strtoll(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || n < 0) return false;
  *value = n;
  return true;
}

// "YYYY-MM-DD[(T| )HH:MM[:SS]][Z|(+|-)HH:MM]" (no offset: UTC) or "@SECONDS".
bool ParseSince(const char* text, long long* ms) {
  if (text[0] == '@') {
    long long seconds;
    if (!ParseCount(text + 1, &seconds)) return false;
    *ms = seconds * 1000;
    return true;
  }
  struct tm t = {};
  int used = 0;
  if (sscanf(text, "%4d-%2d-%2d%n", &t.tm_year, &t.tm_mon, &t.tm_mday, &used) != 3 ||
      used != 10)
    return false;
  const char* rest = text + used;
  if (*rest == 'T' || *rest == ' ') {
    int more = 0;
    if (sscanf(rest + 1, "%2d:%2d%n", &t.tm_hour, &t.tm_min, &more) != 2 || more != 5)
      return false;
    rest += 1 + more;
    if (*rest == ':') {
      if (sscanf(rest + 1, "%2d%n", &t.tm_sec, &more) != 1 || more != 2) return false;
      rest += 1 + more;
    }
  }
  long offset = 0;
  if (*rest == 'Z') {
    ++rest;
  } else if (*rest == '+' || *rest == '-') {
    int hours, minutes, more = 0;
    if (sscanf(rest + 1, "%2d:%2d%n", &hours, &minutes, &more) != 2 || more != 5)
      return false;
    offset = (*rest == '-' ? -1 : 1) * (hours * 3600L + minutes * 60L);
    rest += 1 + more;
  }
  if (*rest != '\0' || t.tm_mon < 1 || t.tm_mon > 12 || t.tm_mday < 1 ||
      t.tm_mday > 31 || t.tm_hour > 23 || t.tm_min > 59 || t.tm_sec > 60)
    return false;
  t.tm_year -= 1900;
  t.tm_mon -= 1;
  *ms = (static_cast<long long>(timegm(&t)) - offset) * 1000;
  return true;
}

// The options, as the command line read them. Returns kRunCommand or the
// exit status of a usage error.
int ReadHistoryOptions(const CommandLine& line, HistoryOptions* o) {
  if (!line.operands().empty())
    return line.UsageError("takes options only, not '%s'", line.operands()[0].c_str());
  int shows = 0;
  bool filtered = false;
  if (const char* package = line.Last("package")) {
    o->query.package = package;
    char* real = realpath(package, nullptr);
    if (real != nullptr) o->query.package = real;
    free(real);
    filtered = true;
  }
  if (const char* since = line.Last("since")) {
    o->query.sinceMs = 0;
    if (!ParseSince(since, &*o->query.sinceMs))
      return line.UsageError("--since takes YYYY-MM-DD[THH:MM[:SS]][Z|+HH:MM] or @SECONDS, "
                             "not '%s'", since);
    filtered = true;
  }
  if (const char* last = line.Last("last")) {
    if (!ParseCount(last, &o->query.last) || o->query.last == 0)
      return line.UsageError("--last takes a positive number, not '%s'", last);
    filtered = true;
  }
  if (line.Has("runs")) o->show = Show::kRuns, ++shows;
  if (const char* run = line.Last("commands")) {
    if (!ParseCount(run, &o->run) || o->run == 0)
      return line.UsageError("--commands takes a run number, not '%s'", run);
    o->show = Show::kCommands, ++shows;
  }
  if (line.Has("pending")) o->show = Show::kPending, ++shows;
  if (const char* keep = line.Last("prune")) {
    if (!ParseCount(keep, &o->keep))
      return line.UsageError("--prune takes the number of runs to keep, not '%s'", keep);
    o->show = Show::kPrune, ++shows;
  }
  if (line.Has("resume")) o->show = Show::kResume, ++shows;
  if (const char* format = line.Last("format")) {
    if (strcmp(format, "json") == 0) o->format = Format::kJson;
    if (strcmp(format, "openmetrics") == 0) o->format = Format::kOpenMetrics;
  }
  if (const char* quillon = line.Last("quillon")) o->quillon = quillon;
  if (shows > 1)
    return line.UsageError("--runs, --commands, --pending, --prune and --resume exclude "
                           "each other");
  if (filtered && o->show != Show::kRuns)
    return line.UsageError("--package, --since and --last select runs to list");
  if (o->format == Format::kOpenMetrics && (filtered || o->show != Show::kRuns))
    return line.UsageError("--format openmetrics covers the whole history, without other "
                           "options");
  if (!o->quillon.empty() && o->show != Show::kResume)
    return line.UsageError("--quillon goes with --resume");
  return kRunCommand;
}

// How a run stands: "ended", "running" (no end, its process lives on this
// boot) or "interrupted".
std::string RunState(const HistoryRun& run, const std::string& bootId) {
  if (run.endedMs) return "ended";
  if (run.interruptedMs || run.bootId != bootId || bootId.empty()) return "interrupted";
  unsigned long long start = 0;
  if (ReadProcessStartTime(static_cast<pid_t>(run.pid), &start) && start == run.pidStart)
    return "running";
  return "interrupted";
}

// The verdict a list shows: the final code's, or the state of a run
// without an end.
std::string Verdict(const HistoryRun& run, const std::string& state) {
  return state == "ended" ? run.verdict : state;
}

std::string Hex(long long code) {
  char text[32];
  snprintf(text, sizeof(text), "0x%llX", static_cast<unsigned long long>(code) & 0xFFFFFFFFull);
  return text;
}

Json Nullable(const std::optional<long long>& value) {
  return value ? Json(*value) : Json(nullptr);
}

Json Time(const std::optional<long long>& ms) {
  return ms ? Json(HistoryTime(*ms)) : Json(nullptr);
}

Json Seconds(const std::optional<long long>& ms) {
  return ms ? Json(static_cast<double>(*ms) / 1000.0) : Json(nullptr);
}

Json RunJson(const HistoryRun& run, const std::string& bootId) {
  const std::string state = RunState(run, bootId);
  Json j;
  j["id"] = run.id;
  j["package_dir"] = run.packageDir;
  j["argument_file"] = run.argFile;
  j["initial_dir"] = run.initialDir;
  j["mode"] = run.mode;
  j["section"] = run.section.empty() ? Json(nullptr) : Json(run.section);
  j["command_line"] = run.commandLine;
  j["started"] = HistoryTime(run.startedMs);
  j["ended"] = Time(run.endedMs);
  j["duration_seconds"] =
      run.endedMs ? Seconds(*run.endedMs - run.startedMs) : Json(nullptr);
  j["state"] = state;
  j["verdict"] = Verdict(run, state);
  j["final_code"] = run.finalCode ? Json({{"value", *run.finalCode}, {"hex", Hex(*run.finalCode)}})
                                  : Json(nullptr);
  j["reboot"] = run.reboot.empty() ? Json(nullptr) : Json(run.reboot);
  j["interrupted_at"] = Time(run.interruptedMs);
  j["digest"] = run.digest.empty() ? Json(nullptr) : Json(run.digest);
  j["signer"] = run.keyId.empty()
                    ? Json(nullptr)
                    : Json({{"key_id", run.keyId}, {"trusted_comment", run.trustedComment}});
  j["pid"] = run.pid;
  j["held_lock"] = run.lockHeld;
  return j;
}

Json Document(const HistoryDb& db, const std::string& directory) {
  Json j;
  j["schema"] = "pxtool.history";
  j["schema_version"] = 1;
  j["database"] = db.IsOpen() ? db.path() : directory + "/" + kHistoryFileName;
  return j;
}

void PrintJson(const Json& j) {
  printf("%s\n", j.dump(2, ' ', false, Json::error_handler_t::replace).c_str());
}

std::string Duration(const HistoryRun& run) {
  if (!run.endedMs) return "-";
  char text[32];
  snprintf(text, sizeof(text), "%.1f s", static_cast<double>(*run.endedMs - run.startedMs) / 1000.0);
  return text;
}

void PrintRuns(const std::vector<HistoryRun>& runs, const std::string& bootId) {
  if (runs.empty()) {
    printf("No runs recorded.\n");
    return;
  }
  printf("%-6s %-25s %-11s %-20s %-12s %-8s %-16s %s\n", "RUN", "STARTED", "MODE",
         "VERDICT", "CODE", "DURATION", "SIGNER", "PACKAGE");
  for (const HistoryRun& run : runs) {
    const std::string state = RunState(run, bootId);
    printf("%-6lld %-25s %-11s %-20s %-12s %-8s %-16s %s\n", run.id,
           HistoryTime(run.startedMs).c_str(), run.mode.c_str(), Verdict(run, state).c_str(),
           run.finalCode ? Hex(*run.finalCode).c_str() : "-", Duration(run).c_str(),
           run.keyId.empty() ? "-" : run.keyId.c_str(), run.argFile.c_str());
  }
}

// A package's last run that a resume runs again: why, or "" when none.
std::string PendingReason(const HistoryRun& run, const std::string& bootId) {
  if (run.mode == "autonomic") return "";
  const std::string state = RunState(run, bootId);
  std::string reason = state == "interrupted" ? "interrupted"
                       : state == "ended" && run.reboot == "requested" ? "reboot_requested"
                                                                       : "";
  struct stat st;
  if (reason.empty() || stat(run.packageDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) ||
      stat(run.argFile.c_str(), &st) != 0)
    return "";
  return reason;
}

struct Pending {
  HistoryRun run;
  std::string reason;
};

// The installed Quillon beside pxtool: <pxtool's directory>/../sbin/Quillon.
std::string InstalledQuillon() {
  char self[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
  if (n <= 0) return "/usr/sbin/Quillon";
  self[n] = '\0';
  return DirectoryPart(DirectoryPart(self)) + "/sbin/Quillon";
}

std::string Shown(const std::vector<std::string>& arguments) {
  std::string text;
  for (const std::string& a : arguments) text += " " + a;
  return text;
}

// Runs `program` with the run's arguments in its initial directory; the
// exit status (128 + the signal), or -1 (said on standard error) when it
// could not be run.
int Resume(const std::string& program, const HistoryRun& run) {
  std::vector<std::string> texts{program};
  texts.insert(texts.end(), run.arguments->begin(), run.arguments->end());
  std::vector<char*> argv;
  for (std::string& t : texts) argv.push_back(&t[0]);
  argv.push_back(nullptr);
  // The child reports a failed chdir or exec through the pipe, which the
  // exec closes.
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) {
    Fail("history: %s: cannot start %s: %s", run.argFile.c_str(), program.c_str(),
         strerror(errno));
    return -1;
  }
  fflush(nullptr);
  pid_t pid = fork();
  if (pid < 0) {
    int forkError = errno;
    close(report[0]);
    close(report[1]);
    Fail("history: %s: cannot start %s: %s", run.argFile.c_str(), program.c_str(),
         strerror(forkError));
    return -1;
  }
  if (pid == 0) {
    close(report[0]);
    int failed[2] = {0, 0};
    if (chdir(run.initialDir.c_str()) != 0) {
      failed[0] = 1;
      failed[1] = errno;
    } else {
      execv(program.c_str(), argv.data());
      failed[1] = errno;
    }
    ssize_t ignored = write(report[1], failed, sizeof(failed));
    (void)ignored;
    _exit(127);
  }
  close(report[1]);
  int failed[2] = {0, 0};
  const ssize_t got = ReadFully(report[0], failed, sizeof(failed));
  close(report[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (got == static_cast<ssize_t>(sizeof(failed))) {
    if (failed[0]) Fail("history: %s: cannot enter %s: %s", run.argFile.c_str(),
                        run.initialDir.c_str(), strerror(failed[1]));
    else Fail("history: %s: cannot run %s: %s", run.argFile.c_str(), program.c_str(),
              strerror(failed[1]));
    return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// quillon_runs_total by verdict, the last run of each package (its start
// and whether it succeeded) and whether a reboot is due since this boot.
bool PrintOpenMetrics(HistoryDb& db, const std::string& bootId, HistoryError* error) {
  std::vector<std::pair<std::string, long long>> counts;
  std::vector<HistoryRun> open, last;
  if (db.IsOpen() && (!db.CountEndedByVerdict(&counts, error) ||
                      !db.ReadOpenRuns(&open, error) || !db.ReadLastRuns(&last, error)))
    return false;
  // The runs without an end count as running or interrupted.
  std::map<std::string, long long> totals(counts.begin(), counts.end());
  for (const HistoryRun& run : open) ++totals[RunState(run, bootId)];
  auto label = [](const std::string& value) {
    std::string text;
    for (char c : value) {
      if (c == '\\') text += "\\\\";
      else if (c == '"') text += "\\\"";
      else if (c == '\n') text += "\\n";
      else text += c;
    }
    return text;
  };
  printf("# TYPE quillon_runs counter\n"
         "# HELP quillon_runs Runs of Quillon in the history database, by verdict.\n");
  for (const auto& [verdict, count] : totals)
    printf("quillon_runs_total{verdict=\"%s\"} %lld\n", label(verdict).c_str(), count);
  printf("# TYPE quillon_last_run_timestamp_seconds gauge\n"
         "# HELP quillon_last_run_timestamp_seconds Start of the last run of each package "
         "(argument file), Unix time.\n");
  for (const HistoryRun& run : last)
    printf("quillon_last_run_timestamp_seconds{package=\"%s\"} %lld.%03lld\n",
           label(run.argFile).c_str(), run.startedMs / 1000, run.startedMs % 1000);
  printf("# TYPE quillon_last_run_success gauge\n"
         "# HELP quillon_last_run_success 1 when the last run of the package ended with "
         "success.\n");
  bool reboot = false;
  for (const HistoryRun& run : last) {
    const bool success = run.endedMs && run.verdict == "success";
    printf("quillon_last_run_success{package=\"%s\"} %d\n", label(run.argFile).c_str(),
           success ? 1 : 0);
    reboot |= run.endedMs && !run.reboot.empty() && run.reboot != "none" &&
              run.bootId == bootId;
  }
  printf("# TYPE quillon_reboot_required gauge\n"
         "# HELP quillon_reboot_required 1 when the last run of a package left a reboot "
         "due and the machine has not booted since.\n"
         "quillon_reboot_required %d\n# EOF\n",
         reboot ? 1 : 0);
  return true;
}

}  // namespace

int RunHistoryTool(const CommandLine& line, const std::string& historyDirectory) {
  HistoryOptions o;
  int parsed = ReadHistoryOptions(line, &o);
  if (parsed != kRunCommand) return parsed;

  HistoryDb db;
  HistoryError error;
  const std::string path = historyDirectory + "/" + kHistoryFileName;
  if (o.show == Show::kPrune) {
    std::string aside;
    long long removed = 0;
    if (!db.OpenForWriting(historyDirectory, &aside, &error) || !db.Begin(&error) ||
        !db.Prune(o.keep, &removed, &error) || !db.Commit(&error))
      return Fail("history: %s", error.what.c_str());
    if (!aside.empty())
      fprintf(stderr, "pxtool: history: %s was corrupt: set aside as %s, a new one begun\n",
              path.c_str(), aside.c_str());
    if (o.format == Format::kJson) {
      Json j = Document(db, historyDirectory);
      j["removed"] = removed;
      j["kept"] = o.keep;
      PrintJson(j);
    } else {
      printf("%lld runs removed, the newest %lld kept.\n", removed, o.keep);
    }
    return kExitSuccess;
  }
  if (!db.OpenForReading(historyDirectory, &error) && error)
    return Fail("history: %s", error.what.c_str());
  const std::string bootId = ReadBootId();

  if (o.format == Format::kOpenMetrics) {
    if (!PrintOpenMetrics(db, bootId, &error)) return Fail("history: %s", error.what.c_str());
    return kExitSuccess;
  }

  if (o.show == Show::kCommands) {
    std::optional<HistoryRun> run;
    std::vector<HistoryCommand> commands;
    if (db.IsOpen() && (!db.ReadRun(o.run, &run, &error) ||
                        (run && !db.ReadCommands(o.run, &commands, &error))))
      return Fail("history: %s", error.what.c_str());
    if (!run) return Fail("history: %s: no run %lld", path.c_str(), o.run);
    if (o.format == Format::kJson) {
      Json j = Document(db, historyDirectory);
      j["run"] = RunJson(*run, bootId);
      j["commands"] = Json::array();
      for (const HistoryCommand& c : commands)
        j["commands"].push_back({{"seq", c.seq},
                                 {"line", c.line},
                                 {"text", c.text},
                                 {"started", HistoryTime(c.startedMs)},
                                 {"duration_seconds", Seconds(c.durationMs)},
                                 {"return_code", Nullable(c.returnCode)},
                                 {"verdict", c.verdict.empty() ? Json(nullptr) : Json(c.verdict)}});
      PrintJson(j);
      return kExitSuccess;
    }
    printf("Run %lld of %s, %s, %s\n", run->id, run->argFile.c_str(),
           HistoryTime(run->startedMs).c_str(), Verdict(*run, RunState(*run, bootId)).c_str());
    printf("%-5s %-6s %-25s %-10s %-5s %-18s %s\n", "SEQ", "LINE", "STARTED", "DURATION", "RC",
           "VERDICT", "COMMAND");
    for (const HistoryCommand& c : commands) {
      char duration[32] = "-";
      if (c.durationMs)
        snprintf(duration, sizeof(duration), "%.3f s", static_cast<double>(*c.durationMs) / 1000.0);
      std::string rc = c.returnCode ? std::to_string(*c.returnCode) : "-";
      printf("%-5lld %-6lld %-25s %-10s %-5s %-18s %s\n", c.seq, c.line,
             HistoryTime(c.startedMs).c_str(), duration, rc.c_str(),
             c.verdict.empty() ? "killed" : c.verdict.c_str(), c.text.c_str());
    }
    return kExitSuccess;
  }

  if (o.show == Show::kPending || o.show == Show::kResume) {
    std::vector<HistoryRun> last;
    if (db.IsOpen() && !db.ReadLastRuns(&last, &error))
      return Fail("history: %s", error.what.c_str());
    std::vector<Pending> pending;
    for (HistoryRun& run : last) {
      std::string reason = PendingReason(run, bootId);
      if (!reason.empty()) pending.push_back({std::move(run), reason});
    }
    if (o.show == Show::kPending) {
      if (o.format == Format::kJson) {
        Json j = Document(db, historyDirectory);
        j["pending"] = Json::array();
        for (const Pending& p : pending) {
          Json r = RunJson(p.run, bootId);
          r["reason"] = p.reason;
          r["resumable"] = p.run.arguments.has_value();
          j["pending"].push_back(r);
        }
        PrintJson(j);
      } else if (pending.empty()) {
        printf("Nothing pending.\n");
      } else {
        for (const Pending& p : pending)
          printf("%s: run %lld %s%s\n", p.run.argFile.c_str(), p.run.id, p.reason.c_str(),
                 p.run.arguments ? "" : " (not resumable: its command line held a password)");
      }
      return kExitSuccess;
    }
    const std::string program = o.quillon.empty() ? InstalledQuillon() : o.quillon;
    int status = kExitSuccess;
    if (pending.empty()) printf("pxtool: history: nothing to resume\n");
    for (const Pending& p : pending) {
      if (!p.run.arguments) {
        printf("pxtool: history: %s: run %lld %s, not resumed: its command line held a "
               "password, which is not recorded\n",
               p.run.argFile.c_str(), p.run.id, p.reason.c_str());
        continue;
      }
      printf("pxtool: history: %s: run %lld %s, resuming in %s: %s%s\n", p.run.argFile.c_str(),
             p.run.id, p.reason.c_str(), p.run.initialDir.c_str(), program.c_str(),
             Shown(*p.run.arguments).c_str());
      int code = Resume(program, p.run);
      if (code < 0) {
        status = kExitFailure;
        continue;
      }
      printf("pxtool: history: %s: Quillon ended with exit status %d\n", p.run.argFile.c_str(),
             code);
    }
    return status;
  }

  std::vector<HistoryRun> runs;
  if (db.IsOpen() && !db.ReadRuns(o.query, &runs, &error))
    return Fail("history: %s", error.what.c_str());
  if (o.format == Format::kJson) {
    Json j = Document(db, historyDirectory);
    j["runs"] = Json::array();
    for (const HistoryRun& run : runs) j["runs"].push_back(RunJson(run, bootId));
    PrintJson(j);
  } else {
    PrintRuns(runs, bootId);
  }
  return kExitSuccess;
}

}  // namespace pxtool
