#include "run_report.h"

#include <algorithm>
#include <cinttypes>
#include <map>
#include <nlohmann/json.hpp>

#include "package_state.h"

namespace pxtool {

namespace {

using Json = nlohmann::ordered_json;

const char* ModeName(RunMode mode) {
  switch (mode) {
    case RunMode::kUpdate: return "update";
    case RunMode::kExpert: return "expert";
    default: return "force";
  }
}

// The lines of each section the runs used, read once per mode and set of
// placeholder values.
class SectionCache {
 public:
  explicit SectionCache(const std::string& text) : text_(text) {}
  const SectionProgress& Get(RunMode mode, const ExternalValues& v) {
    std::string key = std::string(1, static_cast<char>('0' + static_cast<int>(mode))) +
                      (v.option ? "1" : "0") + v.optionValue + '\0' +
                      (v.reset ? "1" : "0") + v.resetValue + '\0' +
                      (v.parameter ? "1" : "0") + v.parameterValue;
    auto found = cache_.find(key);
    if (found != cache_.end()) return found->second;
    return cache_.emplace(key, ReadProgress(text_, mode, v)).first->second;
  }

 private:
  const std::string& text_;
  std::map<std::string, SectionProgress> cache_;
};

// Gives each command the first line of the section, after the line of the
// command before it, whose text is the same (best effort: the file may
// have changed since the run).
void MatchLines(const SectionProgress& section, ReportRun* run) {
  size_t next = 0;
  for (ReportCommand& command : run->commands) {
    for (size_t i = next; i < section.lines.size(); ++i) {
      if (section.lines[i].text == command.logged->text) {
        command.line = section.lines[i].number;
        next = i + 1;
        break;
      }
    }
  }
}

long long Duration(const LogTime& from, const LogTime& to) {
  return from.Known() && to.Known() && to.seconds >= from.seconds
             ? to.seconds - from.seconds : -1;
}

Json Stamp(const LogTime& t) {
  return t.Known() ? Json(FormatLogStamp(t.seconds)) : Json();
}

Json OrNull(long long value) { return value >= 0 ? Json(value) : Json(); }

// "hh:mm:ss" of a time stamp, "-" when unknown.
std::string ClockOf(const LogTime& t) {
  if (!t.Known()) return "-";
  unsigned r = static_cast<unsigned>(t.seconds % 86400);
  char text[9] = {static_cast<char>('0' + r / 36000), static_cast<char>('0' + r / 3600 % 10),
                  ':', static_cast<char>('0' + r / 600 % 6), static_cast<char>('0' + r / 60 % 10),
                  ':', static_cast<char>('0' + r % 60 / 10), static_cast<char>('0' + r % 10), 0};
  return text;
}

void Pad(std::string* out, const std::string& text, size_t width, bool right) {
  if (right && text.size() < width) out->append(width - text.size(), ' ');
  *out += text;
  if (!right && text.size() < width) out->append(width - text.size(), ' ');
}

}  // namespace

std::string FormatLogStamp(long long seconds) {
  if (seconds < 0) return std::string();
  long long days = seconds / 86400, rest = seconds % 86400;
  // Civil date of a day count (days since 1970-01-01).
  long long z = days + 719468;
  long long era = (z >= 0 ? z : z - 146096) / 146097;
  unsigned doe = static_cast<unsigned>(z - era * 146097);
  unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  long long y = static_cast<long long>(yoe) + era * 400;
  unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  unsigned mp = (5 * doy + 2) / 153;
  unsigned d = doy - (153 * mp + 2) / 5 + 1;
  unsigned m = mp < 10 ? mp + 3 : mp - 9;
  if (m <= 2) ++y;
  char text[64];
  unsigned r = static_cast<unsigned>(rest);
  snprintf(text, sizeof(text), "%04lld/%02u/%02u %02u:%02u:%02u", y, m, d,
           r / 3600, r / 60 % 60, r % 60);
  return text;
}

RunsReport BuildRunReport(const RunLog& log, const std::string& argText,
                         size_t last, bool running) {
  RunsReport report;
  report.runsInLog = log.runs.size();
  size_t first = last > 0 && last < log.runs.size() ? log.runs.size() - last : 0;
  SectionCache sections(argText);
  for (size_t i = first; i < log.runs.size(); ++i) {
    const LoggedRun& logged = log.runs[i];
    ReportRun run;
    run.index = i + 1;
    run.logged = &logged;
    LoggedMode mode = ModeOfRun(logged);
    RunMode section = mode.mode;
    if (!logged.section.empty() && !logged.fallback)
      ModeOfSectionKey(logged.section, &section);
    run.mode = ModeName(mode.mode);
    run.autonomic = mode.autonomic;
    run.section = logged.section;
    bool isRunning = running && !logged.ended && i + 1 == log.runs.size();
    run.end = logged.ended ? "finished" : isRunning ? "running" : "killed";
    if (logged.ended)
      run.meaning = DescribeFinalCode(static_cast<unsigned int>(logged.finalCode),
                                      mode.autonomic);
    run.duration = Duration(logged.started, logged.ended ? logged.endedAt : logged.lastSeen);
    for (size_t c = 0; c < logged.commands.size(); ++c) {
      const LoggedCommand& command = logged.commands[c];
      ReportCommand entry;
      entry.logged = &command;
      bool lastOne = c + 1 == logged.commands.size();
      entry.verdict = CommandVerdict(command, mode.autonomic, logged.ended || !lastOne,
                                     isRunning && lastOne);
      entry.duration = Duration(command.started, command.ended);
      run.commands.push_back(entry);
    }
    if (!argText.empty() && (mode.known || !logged.section.empty()))
      MatchLines(sections.Get(section, mode.values), &run);
    report.runs.push_back(std::move(run));
  }
  for (size_t r = 0; r < report.runs.size(); ++r) {
    const ReportRun& run = report.runs[r];
    for (size_t c = 0; c < run.commands.size(); ++c)
      if (run.commands[c].duration >= 0 && !run.commands[c].logged->IsFlags() &&
          !run.commands[c].logged->skipped)
        report.slowest.emplace_back(r, c);
  }
  auto slower = [&report](const std::pair<size_t, size_t>& a,
                          const std::pair<size_t, size_t>& b) {
    long long da = report.runs[a.first].commands[a.second].duration;
    long long db = report.runs[b.first].commands[b.second].duration;
    return da != db ? da > db : a < b;
  };
  size_t keep = std::min(kSlowestShown, report.slowest.size());
  std::partial_sort(report.slowest.begin(), report.slowest.begin() + keep,
                    report.slowest.end(), slower);
  report.slowest.resize(keep);
  return report;
}

void WriteReportText(const RunsReport& report, FILE* out) {
  fprintf(out, "Run log %s: %zu run%s", report.runLogPath.c_str(), report.runsInLog,
          report.runsInLog == 1 ? "" : "s");
  if (report.runs.size() != report.runsInLog)
    fprintf(out, ", the last %zu shown", report.runs.size());
  fputs("\n", out);
  for (const ReportRun& run : report.runs) {
    const LoggedRun& r = *run.logged;
    fprintf(out, "\nRun %zu: started %s (log line %zu)%s\n", run.index,
            r.started.Known() ? FormatLogStamp(r.started.seconds).c_str() : "at an unknown time",
            r.logLine,
            r.headerMissing ? ", its header is not in the log"
            : r.headerComplete ? "" : ", header cut short");
    if (!r.args.empty()) {
      fputs("  Command line:", out);
      for (const std::string& a : r.args) fprintf(out, " %s", a.c_str());
      fputs("\n", out);
    }
    fprintf(out, "  Mode:         %s%s, section %s%s\n", run.mode,
            run.autonomic ? " (autonomic)" : "",
            run.section.empty() ? "unknown" : run.section.c_str(),
            r.fallback ? " (expert fallback)" : "");
    if (r.ended) {
      fprintf(out, "  Ended:        %s, final code 0x%" PRIX64 " (%s): %s\n",
              FormatLogStamp(r.endedAt.seconds).c_str(),
              static_cast<uint64_t>(r.finalCode), run.meaning.verdict,
              run.meaning.description.c_str());
    } else if (std::string(run.end) == "running") {
      fputs("  Ended:        still running\n", out);
    } else {
      fprintf(out, "  Ended:        ended without a final line (killed or the "
              "machine went down)%s%s\n",
              r.lastSeen.Known() ? "; last line at " : "",
              r.lastSeen.Known() ? FormatLogStamp(r.lastSeen.seconds).c_str() : "");
    }
    if (r.rebootRequested) fputs("  Reboot:       requested\n", out);
    for (const std::string& e : r.errors) fprintf(out, "  %s\n", e.c_str());
    if (run.commands.empty()) continue;
    fputs("    LINE  START     END       SECS  RC    VERDICT               COMMAND\n", out);
    // Rows are put together by hand: a log of 100,000 commands is printed
    // in a fraction of what printf would take.
    std::string rows;
    for (const ReportCommand& c : run.commands) {
      const LoggedCommand& l = *c.logged;
      Pad(&rows, c.line ? std::to_string(c.line) : "-", 8, true);
      rows += "  ";
      Pad(&rows, ClockOf(l.started), 8, false);
      rows += "  ";
      Pad(&rows, ClockOf(l.ended), 8, false);
      rows += "  ";
      Pad(&rows, c.duration >= 0 ? std::to_string(c.duration) : "-", 4, true);
      rows += "  ";
      Pad(&rows, l.returned ? std::to_string(l.returnCode) : "-", 4, false);
      rows += "  ";
      Pad(&rows, c.verdict, 20, false);
      rows += "  ";
      rows += l.text;
      rows += '\n';
    }
    fwrite(rows.data(), 1, rows.size(), out);
  }
  if (report.slowest.empty()) return;
  fputs("\nSlowest commands:\n", out);
  for (const auto& s : report.slowest) {
    const ReportRun& run = report.runs[s.first];
    const ReportCommand& c = run.commands[s.second];
    std::string line = c.line ? "line " + std::to_string(c.line) : "line ?";
    fprintf(out, "  %5llds  run %zu, %s: %s (%s)\n", c.duration, run.index,
            line.c_str(), c.logged->text.c_str(), c.verdict);
  }
}

void WriteReportJson(const RunsReport& report, FILE* out) {
  Json j;
  j["schema"] = "pxtool.report";
  j["schema_version"] = 1;
  j["package_dir"] = report.packageDir;
  j["run_log"] = report.runLogPath;
  j["runs_in_log"] = report.runsInLog;
  Json runs = Json::array();
  for (const ReportRun& run : report.runs) {
    const LoggedRun& r = *run.logged;
    Json jr;
    jr["index"] = run.index;
    jr["log_line"] = r.logLine;
    jr["started"] = Stamp(r.started);
    jr["header_complete"] = r.headerComplete;
    jr["args"] = r.args;
    jr["mode"] = run.mode;
    jr["autonomic"] = run.autonomic;
    jr["working_directory"] = r.workingDirectory.empty() ? Json() : Json(r.workingDirectory);
    jr["section"] = run.section.empty() ? Json() : Json(run.section);
    jr["fallback"] = r.fallback;
    jr["end"] = run.end;
    jr["ended_at"] = r.ended ? Stamp(r.endedAt) : Json();
    jr["last_line_at"] = Stamp(r.lastSeen);
    jr["duration_seconds"] = OrNull(run.duration);
    if (r.ended) {
      char hex[24];
      snprintf(hex, sizeof(hex), "0x%" PRIX64, static_cast<uint64_t>(r.finalCode));
      jr["final_code"] = {
          {"value", r.finalCode},
          {"hex", hex},
          {"verdict", run.meaning.verdict},
          {"description", run.meaning.description},
          {"delayed_reboot", run.meaning.delayedReboot},
          {"condition", run.meaning.condition ? Json(run.meaning.condition) : Json()}};
    } else {
      jr["final_code"] = nullptr;
    }
    jr["reboot_requested"] = r.rebootRequested;
    jr["errors"] = r.errors;
    Json commands = Json::array();
    for (const ReportCommand& c : run.commands) {
      const LoggedCommand& l = *c.logged;
      commands.push_back({{"line", c.line ? Json(c.line) : Json()},
                          {"text", l.text},
                          {"kind", l.IsFlags() ? "flags" : "command"},
                          {"started", Stamp(l.started)},
                          {"ended", Stamp(l.ended)},
                          {"duration_seconds", OrNull(c.duration)},
                          {"return_code", l.returned ? Json(l.returnCode) : Json()},
                          {"verdict", c.verdict},
                          {"reboot_requested", l.rebootRequested},
                          {"error", l.error.empty() ? Json() : Json(l.error)}});
    }
    jr["commands"] = std::move(commands);
    runs.push_back(std::move(jr));
  }
  j["runs"] = std::move(runs);
  Json slowest = Json::array();
  for (const auto& s : report.slowest) {
    const ReportRun& run = report.runs[s.first];
    const ReportCommand& c = run.commands[s.second];
    slowest.push_back({{"run", run.index},
                       {"line", c.line ? Json(c.line) : Json()},
                       {"text", c.logged->text},
                       {"duration_seconds", c.duration},
                       {"verdict", c.verdict}});
  }
  j["slowest_commands"] = std::move(slowest);
  std::string text = j.dump(2, ' ', false, Json::error_handler_t::replace);
  fwrite(text.data(), 1, text.size(), out);
  fputs("\n", out);
}

}  // namespace pxtool
