#include "run_report.h"

#include <algorithm>
#include <cinttypes>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string_view>
#include <unordered_map>

#include "package_state.h"
#include "planner.h"
#include "rfc3339_time.h"

namespace pxtool {

namespace {

using Json = nlohmann::ordered_json;

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

  // Inline for what fits (nearly every piece); a piece that does not goes
  // out of line.
  void Add(const char* data, size_t size) {
    if (size > sizeof(buffer_) - used_) return AddAfterFlush(data, size);
    if (size > 0) memcpy(buffer_ + used_, data, size);  // `data` may be null when 0
    used_ += size;
  }
  void Add(std::string_view text) { Add(text.data(), text.size()); }
  void Add(const char* text) { Add(text, strlen(text)); }
  void Put(std::initializer_list<std::string_view> pieces) {
    for (std::string_view piece : pieces) Add(piece);
  }
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
    Add(Digits<10>(value, text));
  }
  // Upper-case hexadecimal digits, as "%llX" writes them.
  void Hex(unsigned long long value) {
    char text[24];
    Add(Digits<16>(value, text));
  }
  void Flush() {
    if (used_ > 0) fwrite(buffer_, 1, used_, out_);
    used_ = 0;
  }
  __attribute__((noinline)) void AddAfterFlush(const char* data, size_t size) {
    Flush();
    if (size > sizeof(buffer_)) {
      fwrite(data, 1, size, out_);
      return;
    }
    memcpy(buffer_, data, size);
    used_ = size;
  }

  // The digits of `value` in `kBase` (10 or 16), written at the end of `text`.
  template <unsigned kBase>
  static std::string_view Digits(unsigned long long value, char (&text)[24]) {
    char* p = text + sizeof(text);
    do {
      *--p = "0123456789ABCDEF"[value % kBase];
      value /= kBase;
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
  // Keys are this program's own plain words, written as they are.
  template <size_t N>
  JsonWriter& Key(const char (&key)[N]) {
    Next();
    out_->Add("\"", 1);
    out_->Add(key, N - 1);
    out_->Add("\": ", 3);
    keyed_ = true;
    return *this;
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
  void UnsignedOrNull(bool known, unsigned long long value) {
    if (known) Unsigned(value);
    else Null();
  }
  // null for an empty text.
  void StringOrNull(std::string_view text) {
    if (text.empty()) Null();
    else String(text);
  }
  // The RFC 3339 time (rfc3339_time.h), null when unknown or without one.
  void Stamp(const LogTime& t) {
    if (!t.Known()) return Null();
    if (t.seconds != stampSeconds_) {  // commands mostly share their stamps
      stampSeconds_ = t.seconds;
      std::string time = Rfc3339FromWallClock(t.seconds);
      stamp_ = time.empty() ? "null" : "\"" + time + "\"";  // digits: plain
    }
    Next();
    out_->Add(stamp_);
  }
  // An array of the texts (std::string or std::string_view).
  template <typename Texts>
  void Strings(const Texts& texts) {
    BeginArray();
    for (std::string_view text : texts) String(text);
    EndArray();
  }

 private:
  void Quoted(std::string_view text) {
    bool plain = true;
    for (char c : text)
      if (!kPlain.is[static_cast<unsigned char>(c)]) {
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
  // The bytes a JSON string holds as they are: printable ASCII but the
  // quote and the backslash. A table, since every byte of every string
  // is looked up.
  struct PlainBytes {
    bool is[256] = {};
    PlainBytes() {
      for (int c = 0x20; c < 0x7f; ++c) is[c] = c != '"' && c != '\\';
    }
  };
  static const PlainBytes kPlain;
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
  std::vector<char> levels_;  // per open bracket: whether it has elements (not
                              // vector<bool>, whose bits cost on every value)
  bool keyed_ = false;
  long long stampSeconds_ = -1;
  std::string stamp_;
};

const JsonWriter::PlainBytes JsonWriter::kPlain;

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
  long long days = seconds / 86400;
  unsigned rest = static_cast<unsigned>(seconds % 86400);
  // Civil date of a day count (days since 1970-01-01).
  long long z = days + 719468;
  long long era = z / 146097;
  unsigned doe = static_cast<unsigned>(z - era * 146097);
  unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  long long y = static_cast<long long>(yoe) + era * 400;
  unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  unsigned mp = (5 * doy + 2) / 153;
  unsigned d = doy - (153 * mp + 2) / 5 + 1;
  unsigned m = mp < 10 ? mp + 3 : mp - 9;
  if (m <= 2) ++y;
  if (y > 9999) return std::string("9999/12/31 23:59:59");  // beyond any stamp read
  // Written digit by digit: a report formats a stamp per run.
  char text[] = "YYYY/MM/DD hh:mm:ss";
  auto put = [&text](size_t at, unsigned value, size_t digits) {
    for (size_t i = digits; i > 0; --i, value /= 10)
      text[at + i - 1] = static_cast<char>('0' + value % 10);
  };
  put(0, static_cast<unsigned>(y), 4);
  const unsigned fields[] = {m, d, rest / 3600, rest / 60 % 60, rest % 60};
  for (size_t i = 0; i < 5; ++i) put(5 + 3 * i, fields[i], 2);
  return std::string(text, sizeof(text) - 1);
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
  Impl(const ReportSettings& settings, FILE* out)
      : settings_(settings), file_(out), out_(out), json_(&out_),
        sections_(settings_.argText),
        keeps_(settings.last > 0 || settings.format == ReportFormat::kSvg) {}

  // A run handed over by the parser: newer runs exist, so it is not the
  // log's last. One to be kept is taken from the parser rather than copied.
  void Add(LoggedRun& logged, size_t number) {
    if (!keeps_) return Show(logged, number, false);
    Keep(KeptRun{std::move(logged), number});
  }

  void Finish(const RunLog& rest) {
    Begin();
    runsInLog_ = rest.retired + rest.runs.size();
    for (size_t i = 0; i < rest.runs.size(); ++i)
      Take(rest.runs[i], rest.retired + i + 1, i + 1 == rest.runs.size());
    size_t shown = runsInLog_;
    if (keeps_) {
      shown = kept_.size();
      for (const KeptRun& k : kept_) Show(k.run, k.number, k.number == runsInLog_);
    }
    std::sort_heap(slowest_.begin(), slowest_.end(), Slower);
    if (settings_.format == ReportFormat::kSvg) {
      out_.Flush();
      svg_.packageDir = settings_.packageDir;
      svg_.runLogPath = settings_.runLogPath;
      svg_.runsInLog = runsInLog_;
      WriteReportSvg(svg_, file_);
    } else if (settings_.format == ReportFormat::kJson) {
      json_.EndArray();
      json_.Key("runs_in_log").Unsigned(runsInLog_);
      json_.Key("slowest_commands").BeginArray();
      for (const SlowCommand& c : slowest_) {
        json_.BeginObject();
        json_.Key("run").Unsigned(c.run);
        json_.Key("line").UnsignedOrNull(c.line != 0, c.line);
        json_.Key("text").String(c.text);
        json_.Key("duration_seconds").Signed(c.duration);
        json_.Key("verdict").String(c.verdict);
        json_.EndObject();
      }
      json_.EndArray();
      json_.EndObject();
      out_.Add("\n", 1);
    } else {
      out_.Put({"\n", std::to_string(runsInLog_), runsInLog_ == 1 ? " run" : " runs",
                " in the log"});
      if (shown != runsInLog_) out_.Put({", the last ", std::to_string(shown), " shown"});
      out_.Add("\n");
    }
    if (settings_.format == ReportFormat::kText && !slowest_.empty()) {
      out_.Add("\nSlowest commands:\n");
      for (const SlowCommand& c : slowest_) {
        std::string line = c.line ? "line " + std::to_string(c.line) : "line ?";
        std::string seconds = std::to_string(c.duration);  // as "%5lld"
        out_.Spaces(2 + (seconds.size() < 5 ? 5 - seconds.size() : 0));
        out_.Put({seconds, "s  run ", std::to_string(c.run), ", ", line, ": "});
        out_.AddCString(c.text);
        out_.Put({" (", c.verdict, ")\n"});
      }
    }
    out_.Flush();
  }

 private:
  struct KeptRun {
    LoggedRun run;  // taken from the parser, or a copy sharing its texts
    size_t number;
  };

  // Writes the run now, or keeps it among the last ones to be shown.
  void Take(const LoggedRun& logged, size_t number, bool lastInLog) {
    if (!keeps_) return Show(logged, number, lastInLog);
    Keep(KeptRun{logged, number});
  }

  void Keep(KeptRun&& run) {
    kept_.push_back(std::move(run));
    if (settings_.last > 0 && kept_.size() > settings_.last) kept_.pop_front();
  }

  // The start of the text or JSON, written with the first run shown (or
  // at the end): a writer given nothing writes nothing, so a log that
  // cannot be read leaves no half document behind.
  void Begin() {
    if (begun_) return;
    begun_ = true;
    if (settings_.format == ReportFormat::kText) {
      out_.Put({"Run log ", settings_.runLogPath, "\n"});
    } else if (settings_.format == ReportFormat::kJson) {
      json_.BeginObject();
      json_.Key("schema").String("pxtool.report");
      json_.Key("schema_version").Unsigned(2);
      json_.Key("package_dir").String(settings_.packageDir);
      json_.Key("run_log").String(settings_.runLogPath);
      json_.Key("runs").BeginArray();
    }
  }

  void Show(const LoggedRun& logged, size_t number, bool lastInLog) {
    Begin();
    ReportRun run = Build(logged, number, lastInLog);
    if (settings_.format == ReportFormat::kSvg) {
      svg_.runs.push_back(std::move(run));
      return;
    }
    Slowest(run);
    if (settings_.format == ReportFormat::kJson) WriteJson(run);
    else WriteText(run);
  }

  ReportRun Build(const LoggedRun& logged, size_t number, bool lastInLog) {
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
    bool isRunning = settings_.running && !logged.ended && lastInLog;
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
      slowest_.push_back({run.index, c, duration, command.line, std::string(commands[c].text),
                          command.verdict});
      std::push_heap(slowest_.begin(), slowest_.end(), Slower);
    }
  }

  // Writes a command's columns before its text at `at` (room for 160
  // bytes) and returns their end. A row is 64 characters wide: when every
  // value fits its column (all but odd ones) they are put into a row of
  // spaces in place, else each is padded in turn and a long one pushes
  // the rest right, as printf's widths do.
  static char* Columns(char* at, const ReportCommand& c, std::string_view started,
                       std::string_view ended) {
    const LoggedCommand& l = *c.logged;
    if (c.line <= 99999999 && c.duration <= 9999 && (!l.returned || l.returnCode <= 9999) &&
        started.size() <= 8 && ended.size() <= 8) {
      static const char kBlank[] =
          "                                                                ";
      static_assert(sizeof(kBlank) == 65, "a row is 64 characters wide");
      memcpy(at, kBlank, 64);
      RightAligned(at + 8, c.line, c.line > 0);
      PutTime(at + 10, started);
      PutTime(at + 20, ended);
      RightAligned(at + 34, static_cast<unsigned long long>(c.duration), c.duration >= 0);
      if (!l.returned) {
        at[36] = '-';
      } else {
        size_t digits = 1;
        for (unsigned long long v = l.returnCode; v >= 10; v /= 10) ++digits;
        RightAligned(at + 36 + digits, l.returnCode, true);
      }
      // The verdict is one of a few words of at most 20 characters.
      size_t i = 0;
      for (; i < 20 && c.verdict[i] != '\0'; ++i) at[42 + i] = c.verdict[i];
      if (c.verdict[i] == '\0') return at + 64;
    }
    char line[24], seconds[24], code[24];
    const struct { std::string_view text; size_t width; bool right; } cells[] = {
        {c.line ? Output::Digits<10>(c.line, line) : "-", 8, true},
        {started, 8, false},
        {ended, 8, false},
        {c.duration >= 0 ? Output::Digits<10>(static_cast<unsigned long long>(c.duration), seconds)
                         : "-", 4, true},
        {l.returned ? Output::Digits<10>(l.returnCode, code) : "-", 4, false},
        {c.verdict, 20, false}};
    for (const auto& cell : cells)
      at = Output::PadAt(Output::PadAt(at, cell.text, cell.width, cell.right), "  ", 0, false);
    return at;
  }

  // "hh:mm:ss" (8 characters) or "-" at `at`.
  static void PutTime(char* at, std::string_view time) {
    if (time.size() == 8) memcpy(at, time.data(), 8);
    else memcpy(at, time.data(), time.size());
  }

  // The digits of `value` ending at `end` (known: else "-").
  static void RightAligned(char* end, unsigned long long value, bool known) {
    if (!known) {
      end[-1] = '-';
      return;
    }
    do {
      *--end = static_cast<char>('0' + value % 10);
      value /= 10;
    } while (value != 0);
  }

  void WriteText(const ReportRun& run) {
    const LoggedRun& r = *run.logged;
    // Put together piece by piece, not by printf: a log holds many runs.
    out_.Add("\nRun ");
    out_.Number(run.index);
    out_.Put({": started ",
              r.started.Known() ? FormatLogStamp(r.started.seconds) : "at an unknown time",
              " (log line "});
    out_.Number(r.logLine);
    out_.Add(r.headerMissing    ? "), its header is not in the log\n"
             : r.headerComplete ? ")\n"
                                : "), header cut short\n");
    if (!r.args.empty()) {
      out_.Add("  Command line:");
      for (const std::string& a : r.args) {
        out_.Add(" ", 1);
        out_.AddCString(a);
      }
      out_.Add("\n");
    }
    out_.Put({"  Mode:         ", run.mode,
              run.autonomic ? " (autonomic), section " : ", section "});
    out_.AddCString(run.section.empty() ? std::string_view("unknown") : run.section);
    out_.Add(r.fallback ? " (expert fallback)\n" : "\n");
    if (r.ended) {
      out_.Put({"  Ended:        ", FormatLogStamp(r.endedAt.seconds), ", final code 0x"});
      out_.Hex(r.finalCode);
      out_.Put({" (", run.meaning.verdict, "): "});
      out_.AddCString(run.meaning.description);
      out_.Add("\n");
    } else if (std::string_view(run.end) == "running") {
      out_.Add("  Ended:        still running\n");
    } else {
      out_.Add("  Ended:        ended without a final line (killed or the machine went down)");
      if (r.lastSeen.Known()) out_.Put({"; last line at ", FormatLogStamp(r.lastSeen.seconds)});
      out_.Add("\n");
    }
    if (r.rebootRequested) out_.Add("  Reboot:       requested\n");
    for (const std::string& e : r.errors)
      out_.Put({"  ", std::string_view(e).substr(0, e.find('\0')), "\n"});
    // Read once: what is written goes through char pointers, after which
    // the compiler would read the count again for every row.
    const size_t commands = run.Commands();
    if (commands == 0) return;
    out_.Add("    LINE  START     END       SECS  RC    VERDICT               COMMAND\n");
    for (size_t i = 0; i < commands; ++i) {
      ReportCommand c = run.Command(i);
      const LoggedCommand& l = *c.logged;
      char* at = out_.Reserve(160);
      at = Columns(at, c, clock_.Of(l.started), clock_.Of(l.ended));
      out_.Commit(at);
      out_.Add(l.text);
      out_.Add("\n", 1);
      CapturedCommand captured;
      if (Failed(c) && FindOutput(run, c, &captured))
        for (std::string_view line : captured.Tail(kOutputTailLines))
          out_.Put({"          | ", line, "\n"});
    }
  }

  // A command whose output the text shows: one that returned non-zero, or
  // whose verdict stopped the run or that has none.
  static bool Failed(const ReportCommand& c) {
    std::string_view v = c.verdict;
    return (c.logged->returned && c.logged->returnCode != 0) || v == "aborted" ||
           v == "error" || v == "killed" || v == "other" ||
           v == "no_adequate_hardware" || v == "incorrect_target";
  }

  bool FindOutput(const ReportRun& run, const ReportCommand& c,
                  CapturedCommand* found) const {
    return settings_.output != nullptr &&
           settings_.output->Find(run.logged->started.seconds, c.line, found);
  }

  void WriteJson(const ReportRun& run) {
    const LoggedRun& r = *run.logged;
    JsonWriter& j = json_;
    j.BeginObject();
    j.Key("index").Unsigned(run.index);
    j.Key("log_line").Unsigned(r.logLine);
    j.Key("started").Stamp(r.started);
    j.Key("header_complete").Bool(r.headerComplete);
    j.Key("args").Strings(r.args);
    j.Key("mode").String(run.mode);
    j.Key("autonomic").Bool(run.autonomic);
    j.Key("working_directory").StringOrNull(r.workingDirectory);
    j.Key("section").StringOrNull(run.section);
    j.Key("fallback").Bool(r.fallback);
    j.Key("end").String(run.end);
    j.Key("ended_at").Stamp(r.ended ? r.endedAt : LogTime());
    j.Key("last_line_at").Stamp(r.lastSeen);
    j.Key("duration_seconds").OrNull(run.duration);
    j.Key("final_code");
    if (r.ended) {
      char hex[24];
      snprintf(hex, sizeof(hex), "0x%" PRIX64, static_cast<uint64_t>(r.finalCode));
      j.BeginObject();
      j.Key("value").Unsigned(r.finalCode);
      j.Key("hex").String(hex);
      j.Key("verdict").String(run.meaning.verdict);
      j.Key("description").String(run.meaning.description);
      j.Key("delayed_reboot").Bool(run.meaning.delayedReboot);
      j.Key("condition").StringOrNull(run.meaning.condition ? run.meaning.condition : "");
      j.EndObject();
    } else {
      j.Null();
    }
    j.Key("reboot_requested").Bool(r.rebootRequested);
    j.Key("errors").Strings(r.errors);
    j.Key("commands").BeginArray();
    for (size_t i = 0; i < run.Commands(); ++i) {
      ReportCommand c = run.Command(i);
      const LoggedCommand& l = *c.logged;
      j.BeginObject();
      j.Key("line").UnsignedOrNull(c.line != 0, c.line);
      j.Key("text").String(l.text);
      j.Key("kind").String(l.IsFlags() ? "flags" : "command");
      j.Key("started").Stamp(l.started);
      j.Key("ended").Stamp(l.ended);
      j.Key("duration_seconds").OrNull(c.duration);
      j.Key("return_code").UnsignedOrNull(l.returned, l.returnCode);
      j.Key("verdict").String(c.verdict);
      j.Key("reboot_requested").Bool(l.rebootRequested);
      j.Key("error").StringOrNull(l.error);
      CapturedCommand captured;
      if (FindOutput(run, c, &captured)) {
        j.Key("output_size").Unsigned(captured.ended ? captured.written
                                                     : captured.output.size());
        j.Key("output_tail").Strings(captured.Tail(kOutputTailLines));
      } else {
        j.Key("output_size").Null();
        j.Key("output_tail").Null();
      }
      j.EndObject();
    }
    j.EndArray();
    j.EndObject();
  }

  const ReportSettings settings_;
  size_t runsInLog_ = 0;  // known at Finish()
  FILE* file_;
  Output out_;
  JsonWriter json_;
  Clock clock_;
  SectionCache sections_;
  const bool keeps_;  // the runs shown are kept until Finish()
  bool begun_ = false;  // Begin() has written the start
  std::vector<SlowCommand> slowest_;  // a heap, see Slowest()
  std::deque<KeptRun> kept_;          // the last runs (all, for SVG without last)
  RunsReport svg_;
};

ReportWriter::ReportWriter(const ReportSettings& settings, FILE* out)
    : impl_(new Impl(settings, out)) {}
ReportWriter::~ReportWriter() = default;
void ReportWriter::Add(LoggedRun& run, size_t number) { impl_->Add(run, number); }
void ReportWriter::Finish(const RunLog& rest) { impl_->Finish(rest); }

}  // namespace pxtool
