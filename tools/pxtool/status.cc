// pxtool status [PACKAGE_DIR [ARGUMENT_FILE] | ARGUMENT_FILE] [--format json]
//               [--wait [--timeout SECONDS]]
//
// Where a package stands: not started, running, reboot requested,
// interrupted or finished; the final code in words; the progress in the
// section the last run used. Only reads: the run lock is looked up, never
// taken (RunLock::Probe), so a run is never disturbed or kept from starting.

#include <time.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "captured_output.h"
#include "package_state.h"
#include "pxtool.h"
#include "run_lock.h"
#include "run_log.h"

namespace pxtool {

namespace {

using Json = nlohmann::ordered_json;

// Exit statuses beyond the common ones (pxtool.h).
enum StatusExit {
  kStatusRunning = 3,
  kStatusInterrupted = 4,
  kStatusRebootRequested = 5,
  kStatusNotStarted = 6,
  kStatusTimedOut = 7,
};

// How long --wait sleeps between two looks at the lock.
const long kWaitPollNs = 50 * 1000 * 1000;

double Now() {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + t.tv_nsec / 1e9;
}

std::string Hex(unsigned int value) {
  char text[16];
  snprintf(text, sizeof(text), "0x%X", value);
  return text;
}

// The return code in a taken line's result field, or -1 when it is not
// three digits.
int ResultFieldValue(const std::string& field) {
  if (field.size() != 3 || field.find_first_not_of("0123456789") != std::string::npos) return -1;
  return atoi(field.c_str());
}

struct Report {
  PackageLocation where;
  const char* state = "not_started";
  int exitStatus = kStatusNotStarted;
  bool timedOut = false;
  std::vector<FoundStatusFile> statusFiles;
  bool hasFinal = false;
  unsigned int finalCode = 0;
  FinalCodeMeaning meaning;
  bool autonomicKnown = false, autonomic = false;
  SectionProgress progress;
  bool lastKilled = false;  // the last taken line's command has no result
  pid_t runningCommand = 0;  // a killed run's command that still runs
  // The last command's kept output (Quillon.out), when the files hold it.
  bool outputFound = false;
  CapturedCommand output;
};

Json OutputSize(const Report& r) {
  if (!r.outputFound) return Json();
  return r.output.ended ? r.output.written : r.output.output.size();
}

Json OutputTail(const Report& r) {
  if (!r.outputFound) return Json();
  return r.output.Tail(kOutputTailLines);
}

Json ToJson(const Report& r) {
  Json j;
  j["schema"] = "pxtool.status";
  j["schema_version"] = 1;
  j["package_dir"] = r.where.dir;
  j["argument_file"] = r.where.argFile;
  j["state"] = r.state;
  bool finished = std::string(r.state) == "finished";
  j["success"] = finished ? Json(r.hasFinal && r.meaning.Success()) : Json();
  j["reboot_required"] = std::string(r.state) == "reboot_requested" ||
                         (r.hasFinal && r.meaning.delayedReboot);
  const FoundStatusFile* f = r.statusFiles.empty() ? nullptr : &r.statusFiles.front();
  j["status_file"] = f ? Json{{"path", f->path},
                              {"status", f->content.status},
                              {"retval", f->content.retval}}
                       : Json();
  j["final_code"] =
      r.hasFinal ? Json{{"value", r.finalCode},
                        {"hex", Hex(r.finalCode)},
                        {"verdict", r.meaning.verdict},
                        {"description", r.meaning.description},
                        {"delayed_reboot", r.meaning.delayedReboot},
                        {"condition", r.meaning.condition ? Json(r.meaning.condition) : Json()}}
                 : Json();
  j["autonomic"] = r.autonomicKnown ? Json(r.autonomic) : Json();
  const ProgressLine* last = r.progress.LastTaken();
  const ProgressLine* resume = r.progress.Resume();
  int rc = last ? ResultFieldValue(last->resultField) : -1;
  j["progress"] = {
      {"section", r.progress.key},
      {"section_found", r.progress.found},
      {"lines_pending", r.progress.pending},
      {"lines_taken", r.progress.taken},
      {"lines_total", r.progress.pending + r.progress.taken},
      {"last_command", last ? Json{{"line", last->number},
                                   {"text", last->text},
                                   {"return_code", r.lastKilled || rc < 0 ? Json() : Json(rc)},
                                   {"output_size", OutputSize(r)},
                                   {"output_tail", OutputTail(r)}}
                            : Json()},
      {"resume_line", resume ? Json(resume->number) : Json()}};
  j["running_command"] =
      r.runningCommand ? Json{{"pid", r.runningCommand}} : Json();
  j["timed_out"] = r.timedOut;
  j["exit_status"] = r.exitStatus;
  return j;
}

void PrintText(const Report& r) {
  printf("Package:        %s (argument file %s)\n", r.where.dir.c_str(),
         r.where.argFile.c_str());
  static const struct { const char* state; const char* words; } kWords[] = {
      {"not_started", "not started: no line taken, no status file"},
      {"running", "running: a run holds the package's lock"},
      {"reboot_requested", "reboot requested"},
      {"interrupted",
       "interrupted: the run was killed or the machine went down; the next "
       "run resumes behind the last line taken"},
      {"finished", "finished"}};
  bool interrupted = strcmp(r.state, "interrupted") == 0;
  if (interrupted && r.runningCommand != 0)
    printf("State:          interrupted, its command still running (pid %d): "
           "the run was killed; the next run waits for that command to end, "
           "then resumes behind the last line taken\n", r.runningCommand);
  else
    for (const auto& w : kWords)
      if (strcmp(w.state, r.state) == 0) printf("State:          %s\n", w.words);
  if (!interrupted && r.runningCommand != 0)
    printf("                (the command of an earlier run still runs: pid "
           "%d; no command starts before it ends)\n", r.runningCommand);
  if (r.timedOut) printf("                (--wait timed out while it ran)\n");
  if (r.hasFinal) {
    printf("Result:         %s [%s = %u]\n", r.meaning.description.c_str(),
           Hex(r.finalCode).c_str(), r.finalCode);
    printf("Verdict:        %s\n", r.meaning.verdict);
    printf("Delayed reboot: %s\n", r.meaning.delayedReboot ? "yes" : "no");
    if (r.meaning.condition != nullptr)
      printf("Condition:      %s\n", r.meaning.condition);
  }
  if (!r.statusFiles.empty()) {
    const FoundStatusFile& f = r.statusFiles.front();
    printf("Status file:    %s (Status=%d, Retval=%d)\n", f.path.c_str(),
           f.content.status, f.content.retval);
  }
  if (!r.progress.found) {
    printf("Section:        %s not found in the argument file\n",
           r.progress.key.c_str());
    return;
  }
  printf("Section:        %s%s: %zu of %zu lines taken, %zu pending\n",
         r.progress.key.c_str(), r.progress.fallback ? " (expert fallback)" : "",
         r.progress.taken, r.progress.taken + r.progress.pending,
         r.progress.pending);
  if (const ProgressLine* last = r.progress.LastTaken()) {
    int rc = ResultFieldValue(last->resultField);
    bool running = strcmp(r.state, "running") == 0;
    std::string code = r.lastKilled && running ? "running, no return code yet"
                       : r.lastKilled && r.runningCommand
                           ? "still running (pid " +
                                 std::to_string(r.runningCommand) + ")"
                       : r.lastKilled ? "no return code (killed while it ran)"
                       : rc < 0     ? "result field " + last->resultField
                                    : "return code " + std::to_string(rc);
    printf("Last command:   line %zu: %s -> %s\n", last->number,
           last->text.c_str(), code.c_str());
    std::vector<std::string_view> tail;
    if (r.outputFound && (r.lastKilled || rc > 0)) tail = r.output.Tail(kOutputTailLines);
    if (!tail.empty())
      printf("Its output:     (the last lines kept in %s)\n", kRunOutputName);
    for (std::string_view line : tail)
      printf("                | %.*s\n", static_cast<int>(line.size()), line.data());
  }
  if (const ProgressLine* resume = r.progress.Resume())
    printf("Resume point:   line %zu: %s\n", resume->number, resume->text.c_str());
  else
    printf("Resume point:   none, no line of the section is pending\n");
}

bool ParseSeconds(const char* text, double* seconds) {
  char* end = nullptr;
  errno = 0;
  double value = strtod(text, &end);
  if (end == text || *end != '\0' || errno != 0 || !(value >= 0) ||
      std::isinf(value))
    return false;
  *seconds = value;
  return true;
}

}  // namespace

int RunStatus(const CommandLine& line, const std::string& runLockDirectory) {
  const char* format = line.Last("format");
  bool json = format != nullptr && strcmp(format, "json") == 0;
  bool wait = line.Has("wait"), hasTimeout = line.Has("timeout");
  double timeout = 0;
  if (hasTimeout && !ParseSeconds(line.Last("timeout"), &timeout))
    return line.UsageError("--timeout needs a number of seconds");
  if (hasTimeout && !wait) return line.UsageError("--timeout needs --wait");
  Report r;
  if (int rc = LocateNamedPackage(line, PackageOperands::kOptional, &r.where)) return rc;
  std::string argPath = r.where.ArgPath();
  std::string text, error;
  if (!ReadPackageFile(argPath, kMaxArgumentFileSize, r.where.dir, &text, &error))
    return Fail("cannot read the argument file %s", error.c_str());
  const RunLock runLock(runLockDirectory);
  RunLockState lock = runLock.Probe(argPath, &error);
  if (wait) {
    double deadline = Now() + timeout;
    while (lock == RunLockState::kHeld) {
      if (hasTimeout && Now() >= deadline) {
        r.timedOut = true;
        break;
      }
      struct timespec pause = {0, kWaitPollNs};
      nanosleep(&pause, nullptr);
      lock = runLock.Probe(argPath, &error);
    }
    // The run may have written the argument file until its end.
    if (!r.timedOut &&
        !ReadPackageFile(argPath, kMaxArgumentFileSize, r.where.dir, &text, &error))
      return Fail("cannot read the argument file %s", error.c_str());
  }
  if (lock != RunLockState::kFree && lock != RunLockState::kHeld)
    return Fail("%s", error.c_str());
  RunLog log;
  if (!FindLatestStatusFile(r.where, &r.statusFiles, &error) ||
      !ReadPackageRunLog(r.where, &log, &error))
    return Fail("cannot read %s", error.c_str());
  r.progress = ProgressOfLastRun(text, log);
  const LoggedRun* lastRun = log.runs.empty() ? nullptr : &log.runs.back();
  if (lastRun != nullptr) {
    LoggedMode mode = ModeOfRun(*lastRun);
    r.autonomicKnown = mode.known;
    r.autonomic = mode.autonomic;
  }

  const StatusFileContent* status =
      r.statusFiles.empty() ? nullptr : &r.statusFiles.front().content;
  if (status != nullptr && lock != RunLockState::kHeld &&
      (status->status == 5 || (status->status == 4 && status->retval != 0))) {
    // Status=4 with Retval=0 was written as the reboot request was handed
    // over; only the run's end writes its final code.
    r.hasFinal = true;
    r.finalCode = static_cast<unsigned int>(status->retval);
    r.meaning = DescribeFinalCode(r.finalCode, r.autonomic);
  }
  auto set = [&r](const char* state, int exitStatus) {
    r.state = state;
    r.exitStatus = exitStatus;
  };
  if (lock == RunLockState::kHeld)
    set("running", kStatusRunning);
  else if (status != nullptr && status->status == 3)
    set("interrupted", kStatusInterrupted);
  else if (status != nullptr &&
           (status->status == 4 || (r.hasFinal && r.meaning.EndedForReboot())))
    set("reboot_requested", kStatusRebootRequested);
  else if (status != nullptr)
    set("finished", r.hasFinal && r.meaning.Success() ? kExitSuccess : kExitFailure);
  else if (r.progress.taken > 0)
    set("interrupted", kStatusInterrupted);  // lines taken, but no status file says more
  if (r.timedOut) r.exitStatus = kStatusTimedOut;
  r.runningCommand = StillRunningCommand(r.where);

  // The last line taken has no result when the run stopped while its
  // command ran: the log then shows it started without a result.
  const ProgressLine* last = r.progress.LastTaken();
  if (last != nullptr && lastRun != nullptr && !lastRun->ended &&
      !lastRun->commands.empty()) {
    const LoggedCommand& c = lastRun->commands.back();
    r.lastKilled = !c.returned && c.text == last->text;
  }
  CapturedOutput output;
  if (last != nullptr && lastRun != nullptr) {
    if (!output.Read(r.where.dir, &error))
      return Fail("cannot read the commands' output %s", error.c_str());
    r.outputFound = output.Find(lastRun->started.seconds, last->number, &r.output);
  }

  if (json)
    printf("%s\n", ToJson(r).dump(2, ' ', false, Json::error_handler_t::replace).c_str());
  else
    PrintText(r);
  return r.exitStatus;
}

}  // namespace pxtool
