#include "run_report.h"

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string_view>
#include <unordered_map>

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

// The lines of a section, with where each text occurs in it (ascending
// positions in `lines`), so that a command finds its line without a scan.
struct IndexedSection {
  SectionProgress progress;
  std::unordered_map<std::string_view, std::vector<size_t>> at;
};

// The lines of each section the runs used, read once per mode and set of
// placeholder values.
class SectionCache {
 public:
  explicit SectionCache(const std::string& text) : text_(text) {}
  const IndexedSection& Get(RunMode mode, const ExternalValues& v) {
    std::string key = std::string(1, static_cast<char>('0' + static_cast<int>(mode))) +
                      (v.option ? "1" : "0") + v.optionValue + '\0' +
                      (v.reset ? "1" : "0") + v.resetValue + '\0' +
                      (v.parameter ? "1" : "0") + v.parameterValue;
    auto found = cache_.find(key);
    if (found != cache_.end()) return *found->second;
    std::unique_ptr<IndexedSection> section(new IndexedSection);
    section->progress = ReadProgress(text_, mode, v);
    const std::vector<ProgressLine>& lines = section->progress.lines;
    for (size_t i = 0; i < lines.size(); ++i) section->at[lines[i].text].push_back(i);
    return *cache_.emplace(key, std::move(section)).first->second;
  }

 private:
  const std::string& text_;
  std::map<std::string, std::unique_ptr<IndexedSection>> cache_;
};

// Gives each command the first line of the section, after the line of the
// command before it, whose text is the same (best effort: the file may
// have changed since the run).
void MatchLines(const IndexedSection& section, ReportRun* run) {
  const std::vector<LoggedCommand>& commands = run->logged->commands;
  run->lines.assign(commands.size(), 0);
  size_t next = 0;
  for (size_t c = 0; c < commands.size(); ++c) {
    auto found = section.at.find(commands[c].text);
    if (found == section.at.end()) continue;
    auto i = std::lower_bound(found->second.begin(), found->second.end(), next);
    if (i == found->second.end()) continue;
    run->lines[c] = section.progress.lines[*i].number;
    next = *i + 1;
  }
}

long long Duration(const LogTime& from, const LogTime& to) {
  return from.Known() && to.Known() && to.seconds >= from.seconds
             ? to.seconds - from.seconds : -1;
}

// Output gathered in a buffer of fixed size and handed to the FILE in large
// pieces: a report of 100,000 commands is written at memory speed.
class Output {
 public:
  explicit Output(FILE* out) : out_(out) {}
  ~Output() { Flush(); }
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;

  void Add(const char* data, size_t size) {
    if (size == 0) return;  // `data` may be null then
    if (size > sizeof(buffer_) - used_) {
      Flush();
      if (size > sizeof(buffer_)) {
        fwrite(data, 1, size, out_);
        return;
      }
    }
    memcpy(buffer_ + used_, data, size);
    used_ += size;
  }
  void Add(std::string_view text) { Add(text.data(), text.size()); }
  void Add(const char* text) { Add(text, strlen(text)); }
  // What printf's "%s" shows of `text`: up to its first NUL.
  void AddCString(std::string_view text) {
    Add(text.substr(0, std::min(text.size(), text.find('\0'))));
  }
  void Spaces(size_t n) {
    static const char kSpaces[] = "                        ";
    while (n > 0) {
      size_t k = std::min(n, sizeof(kSpaces) - 1);
      Add(kSpaces, k);
      n -= k;
    }
  }
  // Room for `size` (at most 1 KiB) bytes at the end of the buffer; Commit
  // says where what was written there ends.
  char* Reserve(size_t size) {
    if (size > sizeof(buffer_) - used_) Flush();
    return buffer_ + used_;
  }
  void Commit(char* end) { used_ = static_cast<size_t>(end - buffer_); }
  // Writes `text` padded with spaces to `width` at `at`; returns its end.
  static char* PadAt(char* at, std::string_view text, size_t width, bool right) {
    size_t fill = text.size() < width ? width - text.size() : 0;
    if (right) at = static_cast<char*>(memset(at, ' ', fill)) + fill;
    if (!text.empty()) at = static_cast<char*>(memcpy(at, text.data(), text.size())) + text.size();
    if (!right) at = static_cast<char*>(memset(at, ' ', fill)) + fill;
    return at;
  }
  void Number(unsigned long long value) {
    char text[24];
    Add(Decimal(value, text));
  }
  void Printf(const char* format, ...) __attribute__((format(printf, 2, 3))) {
    va_list args;
    va_start(args, format);
    size_t room = sizeof(buffer_) - used_;
    int n = vsnprintf(buffer_ + used_, room, format, args);
    va_end(args);
    if (n < 0) return;
    if (static_cast<size_t>(n) < room) {
      used_ += static_cast<size_t>(n);
      return;
    }
    std::string text(static_cast<size_t>(n) + 1, '\0');
    va_start(args, format);
    vsnprintf(&text[0], text.size(), format, args);
    va_end(args);
    Add(text.data(), static_cast<size_t>(n));
  }
  void Flush() {
    if (used_ > 0) fwrite(buffer_, 1, used_, out_);
    used_ = 0;
  }

  // The decimal digits of `value`, written at the end of `text`.
  static std::string_view Decimal(unsigned long long value, char (&text)[24]) {
    char* p = text + sizeof(text);
    do {
      *--p = static_cast<char>('0' + value % 10);
      value /= 10;
    } while (value != 0);
    return std::string_view(p, static_cast<size_t>(text + sizeof(text) - p));
  }

 private:
  FILE* out_;
  size_t used_ = 0;
  char buffer_[64 * 1024];
};

// "hh:mm:ss" of time stamps, "-" when unknown; consecutive commands mostly
// share their stamp, so the last one is remembered.
class Clock {
 public:
  std::string_view Of(const LogTime& t) {
    if (!t.Known()) return "-";
    if (t.seconds != seconds_) {
      seconds_ = t.seconds;
      unsigned r = static_cast<unsigned>(t.seconds % 86400);
      char text[8] = {static_cast<char>('0' + r / 36000), static_cast<char>('0' + r / 3600 % 10),
                      ':', static_cast<char>('0' + r / 600 % 6), static_cast<char>('0' + r / 60 % 10),
                      ':', static_cast<char>('0' + r % 60 / 10), static_cast<char>('0' + r % 10)};
      memcpy(text_, text, sizeof(text_));
    }
    return std::string_view(text_, sizeof(text_));
  }

 private:
  long long seconds_ = -1;
  char text_[8];
};

// JSON written as nlohmann-json's dump(2) writes it, a value at a time, so
// that the document is never built in memory. Strings of plain printable
// ASCII are written directly; others go through nlohmann-json's own
// escaping (invalid UTF-8 replaced), so every byte is as dump() gives it.
class JsonWriter {
 public:
  explicit JsonWriter(Output* out) : out_(out) {}

  void BeginObject() { Open('{'); }
  void EndObject() { Close('}'); }
  void BeginArray() { Open('['); }
  void EndArray() { Close(']'); }
  void Key(const char* key) {
    Next();
    Quoted(key);
    out_->Add(": ", 2);
    keyed_ = true;
  }
  void String(std::string_view text) {
    Next();
    Quoted(text);
  }
  void String(const char* text) { String(std::string_view(text)); }
  void Unsigned(unsigned long long value) {
    Next();
    out_->Number(value);
  }
  void Signed(long long value) {
    Next();
    if (value < 0) out_->Add("-", 1);
    out_->Number(value < 0 ? 0ULL - static_cast<unsigned long long>(value)
                           : static_cast<unsigned long long>(value));
  }
  void Bool(bool value) {
    Next();
    out_->Add(value ? "true" : "false");
  }
  void Null() {
    Next();
    out_->Add("null", 4);
  }
  // null for -1 (unknown), else the number.
  void OrNull(long long value) {
    if (value >= 0) Signed(value);
    else Null();
  }
  void Stamp(const LogTime& t) {
    if (!t.Known()) return Null();
    if (t.seconds != stampSeconds_) {  // commands mostly share their stamps
      stampSeconds_ = t.seconds;
      stamp_ = FormatLogStamp(t.seconds);
    }
    String(stamp_);
  }
  void Strings(const std::vector<std::string>& texts) {
    BeginArray();
    for (const std::string& text : texts) String(text);
    EndArray();
  }

 private:
  void Quoted(std::string_view text) {
    bool plain = true;
    for (char c : text)
      if (!IsPlain(c)) {
        plain = false;
        break;
      }
    if (plain) {
      out_->Add("\"", 1);
      out_->Add(text);
      out_->Add("\"", 1);
    } else {
      out_->Add(Json(std::string(text)).dump(-1, ' ', false, Json::error_handler_t::replace));
    }
  }
  static bool IsPlain(char c) {
    return static_cast<unsigned char>(c) >= 0x20 && static_cast<unsigned char>(c) < 0x7f &&
           c != '"' && c != '\\';
  }
  // Before a value or a key: after a key, nothing; else the separator and
  // the indentation of the element.
  void Next() {
    if (keyed_) {
      keyed_ = false;
      return;
    }
    if (levels_.empty()) return;
    static const char kBreak[] = ",\n                                ";
    size_t indent = 2 * levels_.size();
    const char* from = levels_.back() ? kBreak : kBreak + 1;
    levels_.back() = true;
    if (indent + 2 <= sizeof(kBreak) - 1) {
      out_->Add(from, static_cast<size_t>(kBreak + 2 - from) + indent);
    } else {
      out_->Add(from, static_cast<size_t>(kBreak + 2 - from));
      out_->Spaces(indent);
    }
  }
  void Open(char bracket) {
    Next();
    out_->Add(&bracket, 1);
    levels_.push_back(false);
  }
  void Close(char bracket) {
    bool any = levels_.back();
    levels_.pop_back();
    if (any) {
      out_->Add("\n", 1);
      out_->Spaces(2 * levels_.size());
    }
    out_->Add(&bracket, 1);
  }

  Output* out_;
  std::vector<bool> levels_;  // per open bracket: whether it has elements
  bool keyed_ = false;
  long long stampSeconds_ = -1;
  std::string stamp_;
};

}  // namespace

ReportCommand ReportRun::Command(size_t c) const {
  const std::vector<LoggedCommand>& commands = logged->commands;
  ReportCommand command;
  command.logged = &commands[c];
  command.line = lines.empty() ? 0 : lines[c];
  bool lastOne = c + 1 == commands.size();
  command.verdict = CommandVerdict(commands[c], autonomic, logged->ended || !lastOne,
                                   lastOne && std::string_view(end) == "running");
  command.duration = Duration(commands[c].started, commands[c].ended);
  return command;
}

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

// One of the slowest commands, copied out of its run.
struct SlowCommand {
  size_t run = 0, command = 0;  // run number, index among its commands
  long long duration = 0;
  size_t line = 0;
  std::string text;
  const char* verdict = "";
};

// Slower first; among equals, the earlier.
bool Slower(const SlowCommand& a, const SlowCommand& b) {
  if (a.duration != b.duration) return a.duration > b.duration;
  return a.run != b.run ? a.run < b.run : a.command < b.command;
}

class ReportWriter::Impl {
 public:
  Impl(const ReportSettings& settings, size_t runsInLog, FILE* out)
      : settings_(settings), runsInLog_(runsInLog), file_(out), out_(out),
        json_(&out_), sections_(settings_.argText) {
    size_t last = settings.last;
    firstShown_ = last > 0 && last < runsInLog ? runsInLog - last + 1 : 1;
    size_t shown = runsInLog - firstShown_ + 1;
    if (settings.format == ReportFormat::kText) {
      out_.Printf("Run log %s: %zu run%s", settings.runLogPath.c_str(), runsInLog,
                  runsInLog == 1 ? "" : "s");
      if (shown != runsInLog) out_.Printf(", the last %zu shown", shown);
      out_.Add("\n");
    } else if (settings.format == ReportFormat::kJson) {
      json_.BeginObject();
      json_.Key("schema");
      json_.String("pxtool.report");
      json_.Key("schema_version");
      json_.Unsigned(1);
      json_.Key("package_dir");
      json_.String(settings.packageDir);
      json_.Key("run_log");
      json_.String(settings.runLogPath);
      json_.Key("runs_in_log");
      json_.Unsigned(runsInLog);
      json_.Key("runs");
      json_.BeginArray();
    }
  }

  void Add(const LoggedRun& logged, size_t number) {
    if (number < firstShown_) return;
    if (settings_.format == ReportFormat::kSvg) {
      kept_.push_back(logged);  // shares the texts, copies the commands
      svg_.runs.push_back(Build(kept_.back(), number));
      return;
    }
    ReportRun run = Build(logged, number);
    Slowest(run);
    if (settings_.format == ReportFormat::kJson) WriteJson(run);
    else WriteText(run);
  }

  void Finish() {
    std::sort_heap(slowest_.begin(), slowest_.end(), Slower);
    if (settings_.format == ReportFormat::kSvg) {
      out_.Flush();
      svg_.packageDir = settings_.packageDir;
      svg_.runLogPath = settings_.runLogPath;
      svg_.runsInLog = runsInLog_;
      WriteReportSvg(svg_, file_);
    } else if (settings_.format == ReportFormat::kJson) {
      json_.EndArray();
      json_.Key("slowest_commands");
      json_.BeginArray();
      for (const SlowCommand& c : slowest_) {
        json_.BeginObject();
        json_.Key("run");
        json_.Unsigned(c.run);
        json_.Key("line");
        if (c.line) json_.Unsigned(c.line);
        else json_.Null();
        json_.Key("text");
        json_.String(c.text);
        json_.Key("duration_seconds");
        json_.Signed(c.duration);
        json_.Key("verdict");
        json_.String(c.verdict);
        json_.EndObject();
      }
      json_.EndArray();
      json_.EndObject();
      out_.Add("\n", 1);
    } else if (!slowest_.empty()) {
      out_.Add("\nSlowest commands:\n");
      for (const SlowCommand& c : slowest_) {
        std::string line = c.line ? "line " + std::to_string(c.line) : "line ?";
        out_.Printf("  %5llds  run %zu, %s: ", c.duration, c.run, line.c_str());
        out_.AddCString(c.text);
        out_.Printf(" (%s)\n", c.verdict);
      }
    }
    out_.Flush();
  }

 private:
  ReportRun Build(const LoggedRun& logged, size_t number) {
    ReportRun run;
    run.index = number;
    run.logged = &logged;
    LoggedMode mode = ModeOfRun(logged);
    RunMode section = mode.mode;
    if (!logged.section.empty() && !logged.fallback)
      ModeOfSectionKey(logged.section, &section);
    run.mode = ModeName(mode.mode);
    run.autonomic = mode.autonomic;
    run.section = logged.section;
    bool isRunning = settings_.running && !logged.ended && number == runsInLog_;
    run.end = logged.ended ? "finished" : isRunning ? "running" : "killed";
    if (logged.ended)
      run.meaning = DescribeFinalCode(static_cast<unsigned int>(logged.finalCode),
                                      mode.autonomic);
    run.duration = Duration(logged.started, logged.ended ? logged.endedAt : logged.lastSeen);
    if (!settings_.argText.empty() && (mode.known || !logged.section.empty()))
      MatchLines(sections_.Get(section, mode.values), &run);
    return run;
  }

  // Keeps the slowest commands in a heap of kSlowestShown whose top is the
  // least slow of them (no sort of every command).
  void Slowest(const ReportRun& run) {
    const std::vector<LoggedCommand>& commands = run.logged->commands;
    for (size_t c = 0; c < commands.size(); ++c) {
      long long duration = Duration(commands[c].started, commands[c].ended);
      if (duration < 0 || commands[c].IsFlags() || commands[c].skipped) continue;
      // Every command kept came earlier: a later one goes in only when it
      // is strictly slower than the top.
      if (slowest_.size() == kSlowestShown && duration <= slowest_.front().duration)
        continue;
      if (slowest_.size() == kSlowestShown) {
        std::pop_heap(slowest_.begin(), slowest_.end(), Slower);
        slowest_.pop_back();
      }
      ReportCommand command = run.Command(c);
      SlowCommand slow;
      slow.run = run.index;
      slow.command = c;
      slow.duration = duration;
      slow.line = command.line;
      slow.text = std::string(commands[c].text);
      slow.verdict = command.verdict;
      slowest_.push_back(std::move(slow));
      std::push_heap(slowest_.begin(), slowest_.end(), Slower);
    }
  }

  void WriteText(const ReportRun& run) {
    const LoggedRun& r = *run.logged;
    out_.Printf("\nRun %zu: started %s (log line %zu)%s\n", run.index,
                r.started.Known() ? FormatLogStamp(r.started.seconds).c_str()
                                  : "at an unknown time",
                r.logLine,
                r.headerMissing ? ", its header is not in the log"
                : r.headerComplete ? "" : ", header cut short");
    if (!r.args.empty()) {
      out_.Add("  Command line:");
      for (const std::string& a : r.args) out_.Printf(" %s", a.c_str());
      out_.Add("\n");
    }
    out_.Printf("  Mode:         %s%s, section %s%s\n", run.mode,
                run.autonomic ? " (autonomic)" : "",
                run.section.empty() ? "unknown" : run.section.c_str(),
                r.fallback ? " (expert fallback)" : "");
    if (r.ended) {
      out_.Printf("  Ended:        %s, final code 0x%" PRIX64 " (%s): %s\n",
                  FormatLogStamp(r.endedAt.seconds).c_str(),
                  static_cast<uint64_t>(r.finalCode), run.meaning.verdict,
                  run.meaning.description.c_str());
    } else if (std::string(run.end) == "running") {
      out_.Add("  Ended:        still running\n");
    } else {
      out_.Printf("  Ended:        ended without a final line (killed or the "
                  "machine went down)%s%s\n",
                  r.lastSeen.Known() ? "; last line at " : "",
                  r.lastSeen.Known() ? FormatLogStamp(r.lastSeen.seconds).c_str() : "");
    }
    if (r.rebootRequested) out_.Add("  Reboot:       requested\n");
    for (const std::string& e : r.errors) out_.Printf("  %s\n", e.c_str());
    if (run.Commands() == 0) return;
    out_.Add("    LINE  START     END       SECS  RC    VERDICT               COMMAND\n");
    for (size_t i = 0; i < run.Commands(); ++i) {
      ReportCommand c = run.Command(i);
      const LoggedCommand& l = *c.logged;
      // The columns before the text: at most 8 + 8 + 8 + 20 + 20 + 20
      // characters and 12 spaces.
      char number[24];
      char* at = out_.Reserve(160);
      at = Output::PadAt(at, c.line ? Output::Decimal(c.line, number) : "-", 8, true);
      at = Output::PadAt(at, "  ", 0, false);
      at = Output::PadAt(at, clock_.Of(l.started), 8, false);
      at = Output::PadAt(at, "  ", 0, false);
      at = Output::PadAt(at, clock_.Of(l.ended), 8, false);
      at = Output::PadAt(at, "  ", 0, false);
      at = Output::PadAt(
          at,
          c.duration >= 0 ? Output::Decimal(static_cast<unsigned long long>(c.duration), number)
                          : "-",
          4, true);
      at = Output::PadAt(at, "  ", 0, false);
      at = Output::PadAt(at, l.returned ? Output::Decimal(l.returnCode, number) : "-", 4,
                         false);
      at = Output::PadAt(at, "  ", 0, false);
      at = Output::PadAt(at, c.verdict, 20, false);
      at = Output::PadAt(at, "  ", 0, false);
      out_.Commit(at);
      out_.Add(l.text);
      out_.Add("\n", 1);
    }
  }

  void WriteJson(const ReportRun& run) {
    const LoggedRun& r = *run.logged;
    JsonWriter& j = json_;
    j.BeginObject();
    j.Key("index");
    j.Unsigned(run.index);
    j.Key("log_line");
    j.Unsigned(r.logLine);
    j.Key("started");
    j.Stamp(r.started);
    j.Key("header_complete");
    j.Bool(r.headerComplete);
    j.Key("args");
    j.Strings(r.args);
    j.Key("mode");
    j.String(run.mode);
    j.Key("autonomic");
    j.Bool(run.autonomic);
    j.Key("working_directory");
    if (r.workingDirectory.empty()) j.Null();
    else j.String(r.workingDirectory);
    j.Key("section");
    if (run.section.empty()) j.Null();
    else j.String(run.section);
    j.Key("fallback");
    j.Bool(r.fallback);
    j.Key("end");
    j.String(run.end);
    j.Key("ended_at");
    if (r.ended) j.Stamp(r.endedAt);
    else j.Null();
    j.Key("last_line_at");
    j.Stamp(r.lastSeen);
    j.Key("duration_seconds");
    j.OrNull(run.duration);
    j.Key("final_code");
    if (r.ended) {
      char hex[24];
      snprintf(hex, sizeof(hex), "0x%" PRIX64, static_cast<uint64_t>(r.finalCode));
      j.BeginObject();
      j.Key("value");
      j.Unsigned(r.finalCode);
      j.Key("hex");
      j.String(hex);
      j.Key("verdict");
      j.String(run.meaning.verdict);
      j.Key("description");
      j.String(run.meaning.description);
      j.Key("delayed_reboot");
      j.Bool(run.meaning.delayedReboot);
      j.Key("condition");
      if (run.meaning.condition) j.String(run.meaning.condition);
      else j.Null();
      j.EndObject();
    } else {
      j.Null();
    }
    j.Key("reboot_requested");
    j.Bool(r.rebootRequested);
    j.Key("errors");
    j.Strings(r.errors);
    j.Key("commands");
    j.BeginArray();
    for (size_t i = 0; i < run.Commands(); ++i) {
      ReportCommand c = run.Command(i);
      const LoggedCommand& l = *c.logged;
      j.BeginObject();
      j.Key("line");
      if (c.line) j.Unsigned(c.line);
      else j.Null();
      j.Key("text");
      j.String(l.text);
      j.Key("kind");
      j.String(l.IsFlags() ? "flags" : "command");
      j.Key("started");
      j.Stamp(l.started);
      j.Key("ended");
      j.Stamp(l.ended);
      j.Key("duration_seconds");
      j.OrNull(c.duration);
      j.Key("return_code");
      if (l.returned) j.Unsigned(l.returnCode);
      else j.Null();
      j.Key("verdict");
      j.String(c.verdict);
      j.Key("reboot_requested");
      j.Bool(l.rebootRequested);
      j.Key("error");
      if (l.error.empty()) j.Null();
      else j.String(l.error);
      j.EndObject();
    }
    j.EndArray();
    j.EndObject();
  }

  const ReportSettings settings_;
  const size_t runsInLog_;
  size_t firstShown_ = 1;
  FILE* file_;
  Output out_;
  JsonWriter json_;
  Clock clock_;
  SectionCache sections_;
  std::vector<SlowCommand> slowest_;  // a heap, see Slowest()
  std::deque<LoggedRun> kept_;        // SVG: the runs drawn
  RunsReport svg_;
};

ReportWriter::ReportWriter(const ReportSettings& settings, size_t runsInLog, FILE* out)
    : impl_(new Impl(settings, runsInLog, out)) {}
ReportWriter::~ReportWriter() = default;
void ReportWriter::Add(const LoggedRun& run, size_t number) { impl_->Add(run, number); }
void ReportWriter::Finish() { impl_->Finish(); }

void WriteRunReport(const RunLog& log, const ReportSettings& settings, FILE* out) {
  ReportWriter writer(settings, log.retired + log.runs.size(), out);
  for (size_t i = 0; i < log.runs.size(); ++i) writer.Add(log.runs[i], log.retired + i + 1);
  writer.Finish();
}

}  // namespace pxtool
