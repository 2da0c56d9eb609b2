#include "checker.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
#include <unordered_map>
#include <tuple>

#include "package_model.h"
#include "px_tool.h"
#include "staging.h"

namespace pxtool {

namespace {

const std::vector<Rule> kRules = {
    {"zero-byte", Severity::kError,
     "The run reads the argument file only up to its first zero byte; "
     "everything after it is ignored."},
    {"bare-line-feed", Severity::kError,
     "Lines end in CR LF: the run drops the one character before each LF "
     "unseen, so after a bare LF the FWPATH value or the command loses its "
     "last character."},
    {"runtime-section-missing", Severity::kError,
     "Without a [Runtime] line, and a line after it and its comment lines, a "
     "run ends with the handler error before anything is staged."},
    {"fwpath-missing", Severity::kError,
     "Without FWPATH= after [Runtime] a run ends with the handler error "
     "before anything is staged."},
    {"fwpath-empty", Severity::kError,
     "An empty FWPATH= value, or one without a line end, ends a run with the "
     "handler error."},
    {"fwpath-directory-missing", Severity::kWarning,
     "A package directory that is missing or not a directory gives an empty "
     "file list: nothing is staged, and commands that call package files "
     "fail on the server."},
    {"too-many-package-files", Severity::kError,
     "A run stages at most 50 package files; with more it ends with the "
     "handler error before anything is staged."},
    {"path-too-long", Severity::kError,
     "A package file's scan path over 259 characters, or a staging path over "
     "511, ends a run with the handler error before anything is staged."},
    {"section-key-earlier", Severity::kError,
     "Keys are found as plain text, first occurrence: a key inside an "
     "earlier comment or command starts the section there, and a second "
     "header is never used."},
    {"section-missing", Severity::kWarning,
     "A forced run (the default) needs [Commands]; without it the run ends "
     "with the handler error."},
    {"section-not-closed", Severity::kError,
     "A command section must be followed by a line that begins with \"[\": "
     "otherwise after its commands the run ends with \"corrupted arg file\" "
     "and the handler error."},
    {"no-final-line-feed", Severity::kError,
     "A run takes up no line without a line feed: a last line without one "
     "in a command section is never run, and the run ends with \"corrupted "
     "arg file\"."},
    {"line-passed-over", Severity::kWarning,
     "Only lines that begin with \"0\" are run: a command line that begins "
     "with anything else (a blank, the letter O, a \"1\" left by an earlier "
     "run) is passed over without a word."},
    {"short-pending-line", Severity::kError,
     "A pending line shorter than its six leading columns has no command "
     "text: the run reports it and passes over it."},
    {"result-field-not-digits", Severity::kWarning,
     "Columns 3 to 5 are the result field and the command starts in column "
     "7 whatever is there: a field that is not three digits means shifted "
     "columns, and the run reads another command than meant."},
    {"unknown-flag-word", Severity::kError,
     "The run looks only for the flag names it knows (case-sensitive, as "
     "plain text): any other word of a flags line is ignored without a "
     "word."},
    {"flag-word-ignored", Severity::kWarning,
     "A flag's name is read at its first occurrence in the flags line only: "
     "a repeated name, or one that occurs first inside a longer word, is "
     "not the one the run reads."},
    {"flag-value-missing", Severity::kError,
     "A number flag needs a blank and a number after its name: "
     "\"abort_ne=0\" or a name at the end sets nothing, a name followed by "
     "another word reads 0."},
    {"flag-value-not-number", Severity::kError,
     "A flag's value is read as a decimal number up to the first non-digit "
     "and cut to 32 bits: \"0x10\" reads 0, \"3a\" reads 3."},
    {"omit-code-out-of-range", Severity::kError,
     "An omit-list code beyond the range of a 64-bit number ends the whole "
     "process at once with exit status 1: no final status, no clean-up."},
    {"omit-list-never-matches", Severity::kWarning,
     "Omit-list codes are separated by \",\" and the list ends at \";\": a "
     "piece that is not one decimal number (\"3 4\", \"0x10\") never matches "
     "a return code."},
    {"flags-line-replaced", Severity::kError,
     "A flags line applies to the next judged command only and is replaced "
     "whole by the next flags line: flags followed by another flags line, "
     "or by the end of the section, are never used."},
    {"command-without-flags", Severity::kNote,
     "A command without a flags line before it is judged against no flags: "
     "it never stops the run, whatever it returns."},
    {"mode-prefix-never-runs", Severity::kWarning,
     "Each section is run by one kind of run: an \"update\" line in "
     "[Commands] (forced runs, and expert runs that fall back to it) or a "
     "\"force\" line in [UpdCommands] is always skipped."},
    {"mode-prefix-glued", Severity::kWarning,
     "The run compares \"force\" or \"update\" at the start of a command and "
     "removes one more character, whatever it is: \"update_fw.sh\" is the "
     "update prefix and the command \"fw.sh\"."},
    {"unknown-placeholder", Severity::kWarning,
     "Only !{EXTVAR}, !{RESET} and !{PARAM} are replaced; any other !{...} "
     "reaches the shell literally."},
    {"repeated-placeholder", Severity::kWarning,
     "A placeholder is replaced at its first occurrence only; a second one "
     "reaches the shell literally."},
    {"package-file-refused", Severity::kError,
     "Staging refuses a package file with a method-3 trailer, a bare "
     "trailer or that is no readable regular file: the run ends with the "
     "handler error before any command runs."},
    {"script-not-found", Severity::kWarning,
     "Commands run in the execution directory: a script called by a "
     "relative name that is neither a package file (staged there) nor "
     "already there is not found on the server."},
};

// A text for a message: at most 60 characters, control characters as
// escapes.
std::string Shown(const std::string& text) {
  std::string out;
  for (char c : text.substr(0, 60)) {
    if (c == '\r') out += "\\r";
    else if (c == '\t') out += "\\t";
    else if (static_cast<unsigned char>(c) < 0x20) out += '?';
    else out += c;
  }
  if (text.size() > 60) out += "...";
  return "\"" + out + "\"";
}

bool IsWordChar(char c) {
  return isalnum(static_cast<unsigned char>(c)) || c == '_';
}

int FlagNamed(const std::string& word) {
  for (int f = 0; f < MAX_FLAGS; ++f)
    if (word == flag_name[f]) return f;
  return -1;
}

bool IsDecimal(const std::string& word) {
  size_t i = (word[0] == '-' || word[0] == '+') ? 1 : 0;
  return i < word.size() &&
         word.find_first_not_of("0123456789", i) == std::string::npos;
}

struct Token {
  size_t offset;
  std::string word;
};

std::vector<Token> SplitWords(const std::string& text, size_t from = 0) {
  std::vector<Token> words;
  size_t at = from;
  while (at < text.size()) {
    size_t start = text.find_first_not_of(' ', at);
    if (start == std::string::npos) break;
    size_t stop = text.find(' ', start);
    if (stop == std::string::npos) stop = text.size();
    words.push_back({start, text.substr(start, stop - start)});
    at = stop;
  }
  return words;
}

// What the run does with one pending line, over all runs that reach it.
struct LineUse {
  const char* begin = nullptr;
  std::string prefix;    // "force", "update" or empty
  std::string key;       // the section key of the (last) walk that reached it
  std::vector<std::string> runs;  // the kinds of run that reach it
  bool runs_somewhere = false;
};

class Checker {
 public:
  explicit Checker(const CheckInput& input)
      : in_(input),
        text_(input.text.data()),
        fileEnd_(input.text.data() + input.text.size()),
        end_(TextEnd(input.text.data(), input.text.size())) {
    lineStarts_.push_back(0);
    for (size_t i = 0; i < input.text.size(); ++i)
      if (input.text[i] == '\n') lineStarts_.push_back(i + 1);
  }
  ~Checker() {
    if (baseDir_ >= 0) close(baseDir_);
  }

  std::vector<Diagnostic> Run();

 private:
  void Report(const char* at, const char* rule, const std::string& message);
  void CheckBasicParams();
  void CheckPackageFiles();
  void CheckKeys();
  void CheckSections();
  void Walk(RunMode mode);
  void CheckPendingLine(const SectionLine& line, const CommandText& command);
  void CheckFlags(const SectionLine& line, const CommandText& command);
  void CheckOmitList(const char* listAt, const std::string& list);
  void CheckPlaceholders(const SectionLine& line, const CommandText& command);
  void CheckScript(const SectionLine& line, const CommandText& command);
  bool InExecDir(const std::string& name) const;
  std::string PackagePath(const std::string& name) const;

  const CheckInput& in_;
  const char* text_;
  const char* fileEnd_;
  const char* end_;
  std::vector<size_t> lineStarts_;
  int baseDir_ = -1;
  BasicParams params_;
  std::unordered_map<const char*, LineUse> uses_;  // pending lines reached
  std::vector<Diagnostic> out_;
};

void Checker::Report(const char* at, const char* rule,
                     const std::string& message) {
  const Rule* r = FindRule(rule);
  size_t offset = static_cast<size_t>(std::min(at, fileEnd_) - text_);
  size_t line = static_cast<size_t>(
      std::upper_bound(lineStarts_.begin(), lineStarts_.end(), offset) -
      lineStarts_.begin());
  Diagnostic d;
  d.file = in_.argPath;
  d.line = line;
  d.column = offset - lineStarts_[line - 1] + 1;
  d.severity = r ? r->severity : Severity::kError;
  d.rule = rule;
  d.message = message;
  out_.push_back(d);
}

std::vector<Diagnostic> Checker::Run() {
  if (end_ < fileEnd_)
    Report(end_, "zero-byte",
           "zero byte: the run reads the argument file only up to here; the " +
               std::to_string(fileEnd_ - end_) + " bytes from here on are "
               "ignored");
  if (end_ == text_) {
    Report(text_, "runtime-section-missing",
           "the argument file is empty as the run reads it: a run ends with "
           "the handler error");
  } else {
    baseDir_ = open(in_.packageDir.empty() ? "." : in_.packageDir.c_str(),
                    O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    CheckBasicParams();
    CheckKeys();
    CheckSections();
  }
  // Sorted by position through an index (moving whole diagnostics around
  // costs more than the comparisons); equal diagnostics are written once.
  auto before = [this](size_t i, size_t j) {
    const Diagnostic& a = out_[i];
    const Diagnostic& b = out_[j];
    if (a.line != b.line) return a.line < b.line;
    if (a.column != b.column) return a.column < b.column;
    if (a.rule != b.rule) return a.rule < b.rule;
    return a.message < b.message;
  };
  std::vector<size_t> order(out_.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(), before);
  std::vector<Diagnostic> sorted;
  sorted.reserve(out_.size());
  for (size_t i : order) {
    const Diagnostic& d = out_[i];
    if (!sorted.empty() && sorted.back().line == d.line &&
        sorted.back().column == d.column && sorted.back().rule == d.rule &&
        sorted.back().message == d.message)
      continue;  // a repeat
    sorted.push_back(std::move(out_[i]));
  }
  out_.swap(sorted);
  return out_;
}

// --- Basic parameters and package files ---------------------------------------

void Checker::CheckBasicParams() {
  params_ = ReadBasicParams(text_, end_, "", false,
                            in_.packageDir.empty() ? nullptr
                                                   : in_.packageDir.c_str());
  const char* value = params_.fwPathKey ? params_.fwPathKey + 7 : nullptr;
  if (value != nullptr) {
    const char* lf = FindLineFeed(value, end_);
    if (lf != nullptr && lf > value && lf[-1] != '\r')
      Report(lf - 1, "bare-line-feed",
             "the FWPATH line ends in a bare LF: the run drops " +
                 Shown(std::string(1, lf[-1])) + " before it and reads the "
                 "package directory as " +
                 Shown(std::string(value, static_cast<size_t>(lf - 1 - value))));
  }
  switch (params_.problem) {
    case BasicParamsProblem::kNone:
      break;
    case BasicParamsProblem::kNoRuntimeSection:
      Report(text_, "runtime-section-missing",
             "no [Runtime] in the argument file: a run (classic or "
             "autonomic) ends with the handler error");
      return;
    case BasicParamsProblem::kNoLineAfterComments:
      Report(params_.runtimeKey, "runtime-section-missing",
             "no line after [Runtime] and its comment lines: a run ends with "
             "the handler error");
      return;
    case BasicParamsProblem::kNoFwPathKey:
      Report(params_.runtimeKey, "fwpath-missing",
             "no FWPATH= after [Runtime]: a run ends with the handler error");
      return;
    case BasicParamsProblem::kFwPathWithoutLineEnd:
      Report(params_.fwPathKey, "fwpath-empty",
             "the FWPATH= value has no line end: the run reads it as empty "
             "and ends with the handler error");
      return;
    case BasicParamsProblem::kEmptyFwPath:
      Report(params_.fwPathKey, "fwpath-empty",
             "empty FWPATH= value (the character before the line feed is "
             "dropped): a run ends with the handler error");
      return;
    case BasicParamsProblem::kScanPathTooLong:
      Report(value, "path-too-long",
             "package file path " + Shown(params_.overlongPath) + " is " +
                 std::to_string(params_.overlongPath.size()) +
                 " characters long, more than the " +
                 std::to_string(kMaxScanPath) +
                 " a run lists: it ends with the handler error");
      return;
    case BasicParamsProblem::kTooManyFiles:
      Report(value, "too-many-package-files",
             "package directory " + Shown(params_.fwPath) + " holds more "
             "than " + std::to_string(MAX_PACKAGE_FILES) + " package files: "
             "a run ends with the handler error before staging");
      return;
    case BasicParamsProblem::kNoMemory:
      return;
  }
  if (params_.scanResult < 0) {
    Report(value, "fwpath-directory-missing",
           "package directory " + Shown(params_.fwPath) + " " +
               (params_.scanErrno == ENOTDIR ? std::string("is not a directory")
                                             : std::string("cannot be listed (") +
                                                   strerror(params_.scanErrno) + ")") +
               ": a run stages no package files");
    return;
  }
  CheckPackageFiles();
}

std::string Checker::PackagePath(const std::string& name) const {
  std::string path = params_.scanPrefix + name;
  if (path[0] == '/' || in_.packageDir.empty()) return path;
  return in_.packageDir + "/" + path;
}

void Checker::CheckPackageFiles() {
  const char* value = params_.fwPathKey + 7;
  for (const std::string& name : params_.files) {
    // Staging joins the paths as "<dir>/<name>", whatever the directory
    // ends with.
    std::string source = params_.fwPath + "/" + name;
    std::string copy = in_.execDir + "/" + name;
    const std::string& longer = source.size() > copy.size() ? source : copy;
    if (longer.size() > kMaxStagePath)
      Report(value, "path-too-long",
             "staging path " + Shown(longer) + " is " +
                 std::to_string(longer.size()) + " characters long, more "
                 "than " + std::to_string(kMaxStagePath) +
                 ": a run ends with the handler error before staging");
    PXTool::PXCryptMethod method = PXTool::PXDecrypt;
    unsigned long long plain = 0;
    std::string path = PackagePath(name);
    // Only regular files are opened: opening a device can act on it.
    struct stat st;
    int result = stat(path.c_str(), &st) != 0 ? errno
                 : !S_ISREG(st.st_mode)       ? 5
                     : PXTool::GetPXFileInfo(path.c_str(), method, plain);
    std::string why;
    if (result != 0)
      why = result == 5 ? "is not a readable regular file"
                        : std::string("cannot be read (") + strerror(result) + ")";
    else if (method == PXTool::PXEncryptKey3)
      why = "has a method-3 trailer, which staging refuses";
    else if (method != PXTool::PXDecrypt && plain == 0)
      why = "is a bare trailer with nothing before it, which staging refuses";
    if (!why.empty())
      Report(value, "package-file-refused",
             "package file " + Shown(name) + " " + why +
                 ": a run ends with the handler error before any command");
  }
}

// --- Keys ---------------------------------------------------------------------

void Checker::CheckKeys() {
  for (const char* key :
       {"[Runtime]", "[Commands]", "[UpdCommands]", "[ExpCommands]"}) {
    std::vector<const char*> found;
    for (const char* at = FindText(text_, end_, key); at != nullptr;
         at = FindText(at + 1, end_, key))
      found.push_back(at);
    if (found.empty()) continue;
    auto atLineStart = [this](const char* at) {
      return at == text_ || at[-1] == '\n';
    };
    const char* first = found[0];
    size_t firstLine = static_cast<size_t>(
        std::upper_bound(lineStarts_.begin(), lineStarts_.end(),
                         static_cast<size_t>(first - text_)) -
        lineStarts_.begin());
    if (!atLineStart(first)) {
      const char* header = nullptr;
      for (const char* at : found)
        if (atLineStart(at)) {
          header = at;
          break;
        }
      std::string message = std::string(key) +
                            " occurs here first, inside a line: the run "
                            "starts the section on the line after this one";
      if (header != nullptr)
        message += ", not after the header on line " +
                   std::to_string(PositionOf(text_, header).line);
      Report(first, "section-key-earlier", message);
      continue;
    }
    for (size_t i = 1; i < found.size(); ++i)
      if (atLineStart(found[i]))
        Report(found[i], "section-key-earlier",
               std::string("second ") + key + " header: the run uses the "
               "first, on line " + std::to_string(firstLine) +
               ", and never starts here");
  }
}

// --- Command sections ---------------------------------------------------------

void Checker::CheckSections() {
  if (ChooseSection(text_, end_, RunMode::kForce).start == nullptr)
    Report(text_, "section-missing",
           "no [Commands]: a forced run (the default) ends with the handler "
           "error");
  Walk(RunMode::kForce);
  Walk(RunMode::kUpdate);
  Walk(RunMode::kExpert);
  for (const auto& entry : uses_) {
    const LineUse& use = entry.second;  // reported in any order: sorted below
    if (use.runs_somewhere || use.prefix.empty()) continue;
    std::string runs;
    for (const std::string& r : use.runs)
      runs += (runs.empty() ? "" : ", ") + r;
    Report(use.begin + kCommandOffset, "mode-prefix-never-runs",
           "\"" + use.prefix + "\" line in " + use.key + " that no run of "
           "this package runs: " + runs + " skip it");
  }
}

void Checker::Walk(RunMode mode) {
  SectionChoice choice = ChooseSection(text_, end_, mode);
  const char* start = choice.Start();
  if (start == nullptr) return;
  // An expert run that falls back to [Commands] runs it as a forced run.
  bool forced = mode == RunMode::kForce || choice.UsesFallback();
  bool update = mode == RunMode::kUpdate;
  std::string run = mode == RunMode::kForce    ? "forced runs"
                    : mode == RunMode::kUpdate ? "update runs"
                    : choice.UsesFallback()
                        ? "expert runs (which fall back to it as forced runs)"
                        : "expert runs";
  std::string key = choice.StartKey();

  SectionWalk walk(text_, start, end_);
  const char* flagsLine = nullptr;  // the pending flags' line, if any
  for (;;) {
    SectionLine line = walk.Next();
    if (line.kind == SectionLine::kNoLines) {
      Report(start, "no-final-line-feed",
             key + " is on the last line, without a line feed: the " + run +
                 " find no lines in it and run nothing");
      return;
    }
    if (line.kind == SectionLine::kEnd) {
      if (flagsLine != nullptr)
        Report(flagsLine, "flags-line-replaced",
               "flags line followed by the end of the section (line " +
                   std::to_string(line.number) + ") before any command: its "
                   "flags are never used");
      return;
    }
    if (line.kind == SectionLine::kCorrupted) {
      Report(start, "section-not-closed",
             key + " is not closed by a line that begins with \"[\": after "
                   "its commands a run ends with \"corrupted arg file\" and "
                   "the handler error");
      if (line.begin < end_)
        Report(end_, "no-final-line-feed",
               "the last line has no line feed: a run does not take it up "
               "and ends with \"corrupted arg file\"");
      return;
    }
    if (line.kind == SectionLine::kPassedOver) {
      char c = *line.begin;
      const char* rest = line.begin;
      while (rest < line.lineFeed && (*rest == ' ' || *rest == '\t' || *rest == '\r'))
        ++rest;
      if (c == '#' || rest == line.lineFeed) continue;  // comments, blank lines
      std::string why = c == '1' ? " (taken up by an earlier run: reset it to \"0\" to run it)"
                        : c == 'O' ? " (the letter O, not the digit 0)"
                        : (c == ' ' || c == '\t') ? " (blanks before the \"0\")"
                                                  : "";
      Report(line.begin, "line-passed-over",
             "line begins with " + Shown(std::string(1, c)) + ", not \"0\"" +
                 why + ": the run passes it over without a word");
      continue;
    }
    // A pending line.
    if (line.size < kCommandOffset) {
      Report(line.begin, "short-pending-line",
             "pending line shorter than its six leading columns: the run "
             "reports it and passes over it");
      continue;
    }
    CommandText command = ReadCommandText(line.begin, line.size, ExternalValues());
    CheckPendingLine(line, command);
    bool other = command.OtherMode(forced, update);
    if (command.forcePrefix || command.updatePrefix) {
      // Only prefixed lines can be skipped by every run.
      LineUse& use = uses_[line.begin];
      use.begin = line.begin;
      use.prefix = command.forcePrefix ? "force" : "update";
      use.runs.push_back(run);
      use.key = key;
      if (!other) use.runs_somewhere = true;
    }
    if (command.IsFlags()) {
      if (other) continue;  // skipped: the pending flags stay as they are
      if (flagsLine != nullptr)
        Report(flagsLine, "flags-line-replaced",
               "flags line replaced by the flags line on line " +
                   std::to_string(line.number) + " before any command is "
                   "judged: its flags are never used");
      flagsLine = line.begin;
      continue;
    }
    if (flagsLine == nullptr && !other)
      Report(line.begin + kCommandOffset, "command-without-flags",
             "no flags line before this command: it is judged against no "
             "flags and never stops the run, whatever it returns");
    flagsLine = nullptr;  // judged (run or skipped): the flags are consumed
  }
}

// What does not depend on the kind of run; reported once per line (the
// checker drops repeated diagnostics).
void Checker::CheckPendingLine(const SectionLine& line,
                               const CommandText& command) {
  const char* dropped = line.begin + line.size;
  if (*dropped != '\r')
    Report(dropped, "bare-line-feed",
           "the line ends in a bare LF: the run drops " +
               Shown(std::string(1, *dropped)) + " before it and reads the "
               "command as " + Shown(command.raw));
  const char* field = line.begin + kResultOffset;
  if (!isdigit(static_cast<unsigned char>(field[0])) ||
      !isdigit(static_cast<unsigned char>(field[1])) ||
      !isdigit(static_cast<unsigned char>(field[2])))
    Report(field, "result-field-not-digits",
           "result field " + Shown(std::string(field, 3)) + " (columns 3 to "
           "5) is not three digits: the run reads the command from column 7, " +
               Shown(command.raw));
  if (command.forcePrefix || command.updatePrefix) {
    size_t length = command.forcePrefix ? 5 : 6;
    if (command.raw.size() > length && command.raw[length] != ' ')
      Report(line.begin + kCommandOffset + length, "mode-prefix-glued",
             "the command begins with \"" + command.raw.substr(0, length) +
                 "\", which the run takes as the mode prefix, and drops " +
                 Shown(command.raw.substr(length, 1)) + " after it: it runs " +
                 Shown(command.toRun) + ", and only in " +
                 (command.forcePrefix ? "forced" : "update") + " or expert runs");
  }
  CheckPlaceholders(line, command);
  if (command.IsFlags())
    CheckFlags(line, command);
  else
    CheckScript(line, command);
}

void Checker::CheckPlaceholders(const SectionLine& line,
                                const CommandText& command) {
  const std::string& raw = command.raw;
  const char* text = line.begin + kCommandOffset;
  std::map<std::string, int> seen;
  for (size_t at = raw.find("!{"); at != std::string::npos;
       at = raw.find("!{", at + 2)) {
    size_t close = raw.find('}', at);
    if (close == std::string::npos) break;
    std::string name = raw.substr(at, close - at + 1);
    bool known = false;
    for (const char* p : kPlaceholders) known = known || name == p;
    if (!known)
      Report(text + at, "unknown-placeholder",
             Shown(name) + " is not a placeholder (!{EXTVAR}, !{RESET}, "
             "!{PARAM}): the shell gets it literally");
    else if (++seen[name] == 2)
      Report(text + at, "repeated-placeholder",
             "second " + name + ": only the first is replaced, this one "
             "reaches the shell literally");
  }
}

void Checker::CheckFlags(const SectionLine& line, const CommandText& command) {
  const std::string text = command.FlagsText();
  // Where the flags text starts in the line. Placeholders removed from the
  // line shift what follows them; positions are then kept inside the line.
  size_t skip = command.forcePrefix ? 6 : command.updatePrefix ? 7 : 0;
  const char* base = line.begin + kCommandOffset + skip + 5;
  const char* lineEnd = line.begin + line.size;
  auto at = [&](size_t offset) { return std::min(base + offset, lineEnd); };
  const char* c = text.c_str();
  FlagSet flags = ParseFlags(c);
  auto firstOf = [&](const char* name) -> size_t {
    const char* found = strstr(c, name);
    return found ? static_cast<size_t>(found - c) : std::string::npos;
  };
  auto valueOf = [&](int f) {
    return flags.set[f] ? "the run reads " + std::string(flag_name[f]) + " " +
                              std::to_string(flags.value[f])
                        : "the run does not set " + std::string(flag_name[f]);
  };
  // The omit list is checked on its own; the words after its ";" are flags
  // again.
  std::string outside = text;
  size_t omitKey = firstOf("omit_ret_codes ");
  if (omitKey != std::string::npos) {
    size_t listAt = omitKey + strlen("omit_ret_codes ");
    CheckOmitList(at(listAt), flags.omitList);
    size_t listEnd = std::min(text.size(), listAt + flags.omitList.size() + 1);
    for (size_t k = listAt; k < listEnd; ++k) outside[k] = ' ';
  }
  std::vector<Token> words = SplitWords(outside);
  for (size_t i = 0; i < words.size(); ++i) {
    const Token& w = words[i];
    int f = FlagNamed(w.word);
    bool takesNext = false;
    if (f >= 0) {
      size_t first = firstOf(flag_name[f]);
      if (f == omit_ret_codes) {
        if (w.offset == omitKey) continue;
        if (w.offset + w.word.size() == text.size())
          Report(at(w.offset), "flag-value-missing",
                 "omit_ret_codes at the end of the flags line has no list: "
                 "the run sets no omit list");
        else
          Report(at(w.offset), "flag-word-ignored",
                 "the run reads the first \"omit_ret_codes \" of the flags "
                 "line only, at column " +
                     std::to_string(static_cast<size_t>(at(omitKey) - line.begin) + 1) +
                     "; this one is ignored");
        continue;
      }
      takesNext = IsNumberFlag(f) && i + 1 < words.size() &&
                  FlagNamed(words[i + 1].word) < 0;
      if (first != w.offset) {
        Report(at(w.offset), "flag-word-ignored",
               "the run reads " + std::string(flag_name[f]) + " only at its "
               "first occurrence in the flags line, column " +
                   std::to_string(static_cast<size_t>(at(first) - line.begin) + 1) +
                   ", not here: " + valueOf(f));
      } else if (IsNumberFlag(f)) {
        if (w.offset + w.word.size() == text.size()) {
          Report(at(w.offset), "flag-value-missing",
                 std::string(flag_name[f]) + " at the end of the flags line "
                 "has no value: " + valueOf(f));
        } else if (i + 1 == words.size()) {
          Report(at(w.offset), "flag-value-missing",
                 std::string(flag_name[f]) + " has no value: " + valueOf(f));
        } else if (!takesNext) {
          Report(at(w.offset), "flag-value-missing",
                 std::string(flag_name[f]) + " is followed by " +
                     Shown(words[i + 1].word) + ", not a number: " + valueOf(f));
        } else {
          const std::string& v = words[i + 1].word;
          bool decimal = IsDecimal(v);
          bool fits = false;
          if (decimal) {
            errno = 0;
            long long n = strtoll(v.c_str(), nullptr, 10);
            fits = errno == 0 && n >= 0 && n <= 0xFFFFFFFFLL;
          }
          if (!decimal || !fits)
            Report(at(words[i + 1].offset), "flag-value-not-number",
                   "value " + Shown(v) + " of " + flag_name[f] + " is not " +
                       (decimal ? "a number from 0 to 4294967295"
                                : "a decimal number") +
                       ": " + valueOf(f));
        }
      }
      if (takesNext) ++i;
      continue;
    }

    // Not a flag name: what the run makes of the names inside it.
    std::string effects;
    int startsWith = -1;
    for (int g = 0; g < MAX_FLAGS; ++g) {
      size_t pos = w.word.find(flag_name[g]);
      if (pos == std::string::npos || firstOf(flag_name[g]) != w.offset + pos)
        continue;
      size_t after = w.offset + pos + strlen(flag_name[g]);
      std::string name = flag_name[g];
      std::string effect;
      if (g == omit_ret_codes) {
        effect = after < text.size() && text[after] == ' '
                     ? "it ends in omit_ret_codes, so the run reads an omit list after it"
                     : "it contains omit_ret_codes without a blank after it, so the run sets no omit list";
      } else if (!IsNumberFlag(g)) {
        effect = "it contains \"" + name + "\", so the run sets " + name;
      } else if (after < text.size() && text[after] == ' ') {
        effect = "it ends in \"" + name + "\", so " + valueOf(g);
        if (i + 1 < words.size() && FlagNamed(words[i + 1].word) < 0) takesNext = true;
      } else {
        effect = "it contains \"" + name + "\", but " +
                 (after < text.size() ? Shown(text.substr(after, 1)) : std::string("the end")) +
                 " follows instead of a blank, so " + valueOf(g);
        if (pos == 0 && after < text.size() && !IsWordChar(text[after]))
          startsWith = g;
      }
      effects += (effects.empty() ? "" : "; ") + effect;
    }
    if (startsWith >= 0) {
      Report(at(w.offset), "flag-value-missing",
             std::string(flag_name[startsWith]) + " needs a blank before its "
             "value (" + Shown(w.word) + "): " + valueOf(startsWith));
    } else {
      std::string message;
      if (IsDecimal(w.word)) {
        message = "number " + Shown(w.word) + " that no flag takes: the run "
                  "ignores it";
      } else {
        message = "unknown flag word " + Shown(w.word);
        size_t best = std::string::npos;
        std::vector<std::string> nearest;
        for (int g = 0; g < MAX_FLAGS; ++g) {
          size_t d = EditDistance(w.word, flag_name[g]);
          if (d < best) {
            best = d;
            nearest.clear();
          }
          if (d == best) nearest.push_back(flag_name[g]);
        }
        if (best <= 2 || best <= w.word.size() / 3) {
          message += " (did you mean ";
          for (size_t k = 0; k < nearest.size() && k < 3; ++k)
            message += (k ? " or \"" : "\"") + nearest[k] + "\"";
          message += "?";
          if (best == 0) message += " flag names are case-sensitive";
          message += ")";
        }
        message += effects.empty() ? ": the run ignores it" : ": " + effects;
        // A number after an unknown word is its value, not a stray word.
        if (i + 1 < words.size() && IsDecimal(words[i + 1].word)) takesNext = true;
      }
      Report(at(w.offset), "unknown-flag-word", message);
    }
    if (takesNext) ++i;
  }
}

void Checker::CheckOmitList(const char* listAt, const std::string& list) {
  for (OmitPiece& piece : SplitOmitList(list)) {
    std::string shown = piece.text;
    int code = 0;
    std::string digits;
    OmitCodeKind kind = ReadOmitCode(&piece.text[0], 10, &code, &digits);
    if (kind == OmitCodeKind::kOutOfRange)
      Report(listAt + piece.offset, "omit-code-out-of-range",
             "omit-list code " + Shown(digits) + " is beyond the range of a "
             "64-bit number: a run that judges a return code not matched "
             "before it ends at once with exit status 1");
    else if (kind == OmitCodeKind::kNoNumber)
      Report(listAt + piece.offset, "omit-list-never-matches",
             "omit-list piece " + Shown(shown) + " is not one decimal number: "
             "it never matches a return code (codes are separated by \",\"; "
             "the list ends at \";\")");
  }
}

// --- Scripts ------------------------------------------------------------------

bool Checker::InExecDir(const std::string& name) const {
  for (const std::string& file : params_.files)
    if (file == name) return true;
  struct stat st;
  int dir = baseDir_ >= 0 ? baseDir_ : AT_FDCWD;
  std::string inExec = in_.execDir + "/" + name;
  return fstatat(dir, inExec.c_str(), &st, 0) == 0 ||
         fstatat(dir, name.c_str(), &st, 0) == 0;
}

void Checker::CheckScript(const SectionLine& line, const CommandText& command) {
  std::vector<Token> words = SplitWords(command.toRun);
  if (words.empty()) return;
  static const char* const kInterpreters[] = {
      "sh", "bash", "dash", "ksh", "zsh", "/bin/sh", "/bin/bash",
      "/usr/bin/sh", "/usr/bin/bash", "perl", "python3", "python"};
  std::string script;
  const std::string& program = words[0].word;
  bool interpreter = false;
  for (const char* name : kInterpreters) interpreter = interpreter || program == name;
  if (interpreter) {
    for (size_t i = 1; i < words.size(); ++i) {
      if (words[i].word == "-c") return;  // a command text, not a script
      if (words[i].word[0] != '-') {
        script = words[i].word;
        break;
      }
    }
  } else if (program.find('/') != std::string::npos && program[0] != '/') {
    script = program;
  }
  if (script.empty() || script[0] == '/' ||
      script.find_first_of("$`*?\"'<>|;&(){}~") != std::string::npos)
    return;
  std::string name = script.compare(0, 2, "./") == 0 ? script.substr(2) : script;
  if (name.empty() || InExecDir(name)) return;
  size_t at = command.raw.find(script);
  Report(line.begin + kCommandOffset + (at == std::string::npos ? 0 : at),
         "script-not-found",
         Shown(script) + " is neither a package file nor in the execution "
         "directory " + Shown(in_.execDir) + ": the command fails on the "
         "server");
}

}  // namespace

const char* SeverityName(Severity severity) {
  return severity == Severity::kError     ? "error"
         : severity == Severity::kWarning ? "warning"
                                          : "note";
}

const std::vector<Rule>& Rules() { return kRules; }

const Rule* FindRule(const std::string& name) {
  for (const Rule& rule : kRules)
    if (name == rule.name) return &rule;
  return nullptr;
}

size_t EditDistance(const std::string& a, const std::string& b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      size_t above = row[j];
      bool same = tolower(static_cast<unsigned char>(a[i - 1])) ==
                  tolower(static_cast<unsigned char>(b[j - 1]));
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (same ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

std::vector<Diagnostic> CheckArgumentText(const CheckInput& input) {
  return Checker(input).Run();
}

}  // namespace pxtool
