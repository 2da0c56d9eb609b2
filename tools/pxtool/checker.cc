#include "checker.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <iterator>
#include <set>
#include <string_view>

#include "arg_file_format.h"
#include "package_files.h"
#include "package_model.h"
#include "package_tree.h"
#include "px_tool.h"

namespace pxtool {

namespace {

const std::vector<Rule> kRules = {
    {"zero-byte", Severity::kError, "The run reads the argument file only up to its first zero "
     "byte; everything after it is ignored."},
    {"bare-line-feed", Severity::kError, "Lines end in CR LF: the run drops the one character "
     "before each LF unseen, so after a bare LF the FWPATH value or the command loses its last "
     "character."},
    {"runtime-section-missing", Severity::kError, "Without a [Runtime] line, and a line after it "
     "and its comment lines, a run ends with the handler error before anything is staged."},
    {"fwpath-missing", Severity::kError, "Without FWPATH= after [Runtime] a run ends with the "
     "handler error before anything is staged."},
    {"fwpath-empty", Severity::kError, "An empty FWPATH= value, or one without a line end, ends a "
     "run with the handler error."},
    {"fwpath-directory-missing", Severity::kWarning, "A package directory that is missing or not a "
     "directory gives an empty file list: nothing is staged, and commands that call package files "
     "fail on the server."},
    {"too-many-package-files", Severity::kError, "A run stages at most 50 package files; with more "
     "it ends with the handler error before anything is staged."},
    {"path-too-long", Severity::kError, "A package file's scan path over 259 characters, or a "
     "staging path over 511, ends a run with the handler error before anything is staged."},
    {"section-key-earlier", Severity::kError, "Keys are found as plain text, first occurrence: a "
     "key inside an earlier comment or command starts the section there, and a second header is "
     "never used."},
    {"section-missing", Severity::kWarning, "A forced run (the default) needs [Commands]; without "
     "it the run ends with the handler error."},
    {"section-name-misspelt", Severity::kError, "A section is found only by its exact key: a "
     "header a letter or its case away from [Runtime], [Commands], [UpdCommands] or "
     "[ExpCommands] starts no section, and a run in the mode that needs it fails or runs "
     "another section."},
    {"section-not-closed", Severity::kError, "A command section must be followed by a line that "
     "begins with \"[\": otherwise after its commands the run ends with \"corrupted arg file\" and "
     "the handler error."},
    {"no-final-line-feed", Severity::kError, "A run takes up no line without a line feed: a last "
     "line without one in a command section is never run, and the run ends with \"corrupted arg "
     "file\"."},
    {"line-passed-over", Severity::kWarning, "Only lines that begin with \"0\" are run: a command "
     "line that begins with anything else (a blank, the letter O, a \"1\" left by an earlier run) "
     "is passed over without a word."},
    {"short-pending-line", Severity::kError, "A pending line shorter than its six leading columns "
     "has no command text: the run reports it and passes over it."},
    {"command-column-shifted", Severity::kError, "The command text starts in column 7 whatever "
     "is before it: a mark or result field written at other columns moves the text, and the run "
     "runs another command than written."},
    {"result-field-not-digits", Severity::kWarning, "Columns 3 to 5 are the result field and the "
     "command starts in column 7 whatever is there: a field that is not three digits means the "
     "columns were laid out by hand, and where they cannot be told apart the run may read another "
     "command than meant."},
    {"unknown-flag-word", Severity::kError, "The run looks only for the flag names it knows "
     "(case-sensitive, as plain text): any other word of a flags line is ignored without a word."},
    {"flag-word-ignored", Severity::kWarning, "A flag's name is read at its first occurrence in "
     "the flags line only: a repeated name, or one that occurs first inside a longer word, is not "
     "the one the run reads."},
    {"flag-value-missing", Severity::kError, "A number flag needs a blank and a number after its "
     "name: \"abort_ne=0\" or a name at the end sets nothing, a name followed by another word "
     "reads 0."},
    {"flag-value-not-number", Severity::kError, "A flag's value is read as a decimal number up to "
     "the first non-digit and cut to 32 bits: \"0x10\" reads 0, \"3a\" reads 3."},
    {"omit-code-out-of-range", Severity::kError, "An omit-list code beyond the range of a 64-bit "
     "number ends the whole process at once with exit status 1: no final status, no clean-up."},
    {"omit-list-never-matches", Severity::kWarning, "Omit-list codes are separated by \",\" and "
     "the list ends at \";\": a piece that is not one decimal number (\"3 4\", \"0x10\") never "
     "matches a return code."},
    {"flags-line-replaced", Severity::kError, "A flags line applies to the next judged command "
     "only and is replaced whole by the next flags line: flags followed by another flags line, or "
     "by the end of the section, are never used."},
    {"command-without-flags", Severity::kNote, "A command without a flags line before it is judged "
     "against no flags: it never stops the run, whatever it returns."},
    {"mode-prefix-never-runs", Severity::kWarning, "Each section is run by one kind of run: an "
     "\"update\" line in [Commands] (forced runs, and expert runs that fall back to it) or a "
     "\"force\" line in [UpdCommands] is always skipped."},
    {"mode-prefix-glued", Severity::kWarning, "The run compares \"force\" or \"update\" at the "
     "start of a command and removes one more character, whatever it is: \"update_fw.sh\" is the "
     "update prefix and the command \"fw.sh\"."},
    {"unknown-placeholder", Severity::kWarning, "Only !{EXTVAR}, !{RESET} and !{PARAM} are "
     "replaced; any other !{...} reaches the shell literally."},
    {"repeated-placeholder", Severity::kWarning, "A placeholder is replaced at its first "
     "occurrence only; a second one reaches the shell literally."},
    {"package-file-refused", Severity::kError, "Staging refuses a package file with a method-3 "
     "trailer, a bare trailer or that is no readable regular file: the run ends with the handler "
     "error before any command runs."},
    {"script-not-found", Severity::kWarning, "Commands run in the execution directory: a script "
     "called by a relative name that is neither a package file (staged there) nor already there is "
     "not found on the server."},
    {"file-outside-manifest", Severity::kError, "A signed package's SHA256SUMS must list every "
     "regular file of the FWPATH tree and of the argument file's directory, but for what runs "
     "write there, and the package may hold no symbolic link there: with trusted keys a run "
     "refuses any other file before its first command."},
};

// A text for a message: at most 60 characters, control characters as
// escapes.
std::string Shown(std::string_view text) {
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

// The flag names as views: their lengths are known, so that a word is
// compared with the names of its own length only.
const std::string_view* FlagNames() {
  static const std::vector<std::string_view> names(kFlagNames,
                                                   kFlagNames + MAX_FLAGS);
  return names.data();
}

int FlagNamed(std::string_view word) {
  const std::string_view* names = FlagNames();
  for (int f = 0; f < MAX_FLAGS; ++f)
    if (word == names[f]) return f;
  return -1;
}

bool IsDecimal(std::string_view word) {
  size_t i = (word[0] == '-' || word[0] == '+') ? 1 : 0;
  return i < word.size() &&
         word.find_first_not_of("0123456789", i) == std::string_view::npos;
}

struct Token {
  size_t offset = 0;
  std::string_view word;  // into the text the words are read from
};

// The words of a text, separated by blanks, one at a time: a line of
// millions of words is never held as a list.
class Words {
 public:
  explicit Words(std::string_view text) : text_(text) {}
  // The next word, or false after the last.
  bool Next(Token* token) {
    size_t start = text_.find_first_not_of(' ', at_);
    if (start == std::string_view::npos) {
      at_ = text_.size();
      return false;
    }
    at_ = std::min(text_.find(' ', start), text_.size());
    *token = {start, text_.substr(start, at_ - start)};
    return true;
  }

 private:
  std::string_view text_;
  size_t at_ = 0;
};

// " (did you mean ...?)" for a word within max(2, a third of its length)
// edits of flag names (the nearest, at most three), or nothing.
std::string Suggestion(std::string_view word) {
  size_t limit = std::max<size_t>(2, word.size() / 3);
  const std::string_view* names = FlagNames();
  size_t best = limit;
  std::vector<int> nearest;
  for (int g = 0; g < MAX_FLAGS; ++g) {
    size_t length = names[g].size();
    // Names whose length differs by more than the limit are farther.
    if (std::max(length, word.size()) - std::min(length, word.size()) > limit)
      continue;
    size_t d = EditDistance(word, names[g]);
    if (d > best) continue;
    if (d < best) nearest.clear();
    best = d;
    nearest.push_back(g);
  }
  if (nearest.empty()) return "";
  std::string text = " (did you mean ";
  for (size_t k = 0; k < nearest.size() && k < 3; ++k)
    text += (k ? " or \"" : "\"") + std::string(FlagName(nearest[k])) + "\"";
  text += "?";
  if (best == 0) text += " flag names are case-sensitive";
  return text + ")";
}

// One kind of run walking its command section.
struct RunWalk {
  RunWalk(const char* text, const char* keyStart, const char* end)
      : walk(text, keyStart, end), start(keyStart) {}
  SectionWalk walk;
  SectionLine line;  // the line it is on
  const char* start;
  std::string key;  // the section's key
  std::string run;  // the kind of run, for messages
  LineMode mode;  // how it reads mode prefixes
  bool done = false;
  const char* flagsLine = nullptr;  // the pending flags' line, if any
};

// A finding kept for the output, at a byte offset into the text.
struct Kept {
  size_t offset;
  const char* rule;
  Severity severity;
  std::string message;
};

// The output's order: by position, then rule name, then message.
bool KeptBefore(const Kept& a, const Kept& b) {
  if (a.offset != b.offset) return a.offset < b.offset;
  int rule = strcmp(a.rule, b.rule);
  if (rule != 0) return rule < 0;
  return a.message < b.message;
}

class Checker {
 public:
  Checker(const CheckInput& input, size_t keep) : in_(input), keep_(keep) {
    ConvertLineEnds();
    const std::string& text = converted_.empty() ? input.text : converted_;
    text_ = text.data();
    fileEnd_ = text.data() + text.size();
    end_ = TextEnd(text.data(), text.size());
  }
  ~Checker() {
    if (baseDir_ >= 0) close(baseDir_);
  }

  CheckResult Run();

 private:
  // Counts a finding and keeps it when it is among the first `keep_` by
  // position; with `severity`, at that severity instead of the rule's.
  void Report(const char* at, const char* rule, std::string message,
              const Severity* severity = nullptr);
  // Counts a finding without its message; returns its severity.
  Severity Count(const char* rule, const Severity* severity = nullptr);
  // Whether a finding at `at` could be kept: when not, a caller may Count()
  // it and spare building its message (for the findings a line can hold
  // by the million).
  bool Keeps(const char* at) const;
  // Report(), unless the same finding was reported for this line of the
  // walks already.
  void ReportOnce(const char* at, const char* rule, const std::string& message);
  // The text read with CR LF line ends: converted_ and inserted_ when a
  // line of the text the run reads ends in LF only.
  void ConvertLineEnds();
  // Notes the line end at `lf` of a line the run reads a value from, which
  // the run reads as `what` when the line ends in LF only.
  void NoteLineEnd(const char* lf, const std::string& what);
  void ReportLineEnds();
  void CheckSectionNames();
  const char* FwPathLookalike() const;
  void CheckBasicParams();
  void CheckPackageFiles();
  void CheckManifest();
  void CheckKeys();
  void CheckSections();
  void WalkLine(std::vector<RunWalk>* walks, const char* at);
  void CheckPendingLine(const SectionLine& line, const CommandText& command);
  void CheckFlags(const SectionLine& line, const CommandText& command);
  void CheckOmitList(const char* listAt, const std::string& list);
  void CheckPlaceholders(const SectionLine& line, const CommandText& command);
  void CheckScript(const SectionLine& line, const CommandText& command);
  bool InExecDir(const std::string& name) const;
  std::string PackagePath(const std::string& name) const;

  const CheckInput& in_;
  const size_t keep_;
  // The text as checked: the input's, or converted_ when lines end in LF
  // only, with a CR before every LF of the part the run reads. Every
  // position is in it; the output's lines and columns are the input's.
  std::string converted_;
  std::vector<size_t> inserted_;  // the CRs put in, as offsets, ascending
  size_t lines_ = 0, bareLines_ = 0;  // line feeds, and those without a CR
  const char* firstBare_ = nullptr;   // the first inserted CR that matters
  std::string firstBareWhat_;         // what the run reads there
  bool misspeltRuntime_ = false, misspeltCommands_ = false;
  const char* text_;
  const char* fileEnd_;
  const char* end_;
  int baseDir_ = -1;
  BasicParams params_;
  size_t counts_[3] = {0, 0, 0};
  const char* countedName_ = nullptr;  // Count()'s last rule
  const Rule* countedRule_ = nullptr;
  std::vector<Kept> kept_;  // a max-heap by KeptBefore: the last one first
  std::vector<Kept> lineReports_;  // the walks' findings on their line
};

size_t OffsetIn(const char* text, const char* fileEnd, const char* at) {
  return static_cast<size_t>(std::min(at, fileEnd) - text);
}

Severity Checker::Count(const char* rule, const Severity* severity) {
  // Findings come in runs of one rule: the last one looked up is kept.
  if (rule != countedName_) {
    countedName_ = rule;
    countedRule_ = FindRule(rule);
  }
  Severity counted = severity       ? *severity
                     : countedRule_ ? countedRule_->severity
                                    : Severity::kError;
  ++counts_[static_cast<int>(counted)];
  return counted;
}

bool Checker::Keeps(const char* at) const {
  return kept_.size() < keep_ ||
         (keep_ > 0 && OffsetIn(text_, fileEnd_, at) <= kept_.front().offset);
}

void Checker::Report(const char* at, const char* rule, std::string message,
                     const Severity* severity) {
  Severity counted = Count(rule, severity);
  if (!Keeps(at)) return;
  Kept found = {OffsetIn(text_, fileEnd_, at), rule, counted, std::move(message)};
  if (kept_.size() == keep_) {
    // Full: the finding replaces the last one kept, if it comes before it.
    if (!KeptBefore(found, kept_.front())) return;
    std::pop_heap(kept_.begin(), kept_.end(), KeptBefore);
    kept_.back() = std::move(found);
  } else {
    kept_.push_back(std::move(found));
  }
  std::push_heap(kept_.begin(), kept_.end(), KeptBefore);
}

void Checker::ReportOnce(const char* at, const char* rule,
                         const std::string& message) {
  Kept found = {OffsetIn(text_, fileEnd_, at), rule, Severity::kError, message};
  for (const Kept& earlier : lineReports_)
    if (!KeptBefore(earlier, found) && !KeptBefore(found, earlier)) return;
  lineReports_.push_back(std::move(found));
  Report(at, rule, message);
}

CheckResult Checker::Run() {
  if (end_ < fileEnd_)
    Report(end_, "zero-byte",
           "zero byte: the run reads the argument file only up to here; the " +
               std::to_string(fileEnd_ - end_) + " bytes from here on are ignored");
  if (end_ == text_) {
    Report(text_, "runtime-section-missing",
           "the argument file is empty as the run reads it: a run ends with the handler error");
  } else {
    baseDir_ = open(in_.packageDir.empty() ? "." : in_.packageDir.c_str(),
                    O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    CheckSectionNames();
    CheckBasicParams();
    CheckManifest();
    CheckKeys();
    CheckSections();
    ReportLineEnds();
  }
  // In order, the lines and columns counted in one pass up to the last.
  std::sort_heap(kept_.begin(), kept_.end(), KeptBefore);
  CheckResult result;
  std::copy(counts_, counts_ + 3, result.counts);
  result.diagnostics.reserve(kept_.size());
  // The input's lines are the converted text's, and so are the columns but
  // at a line's end: a CR put in before an LF, and that LF, are at the
  // input's LF.
  const std::string& input = in_.text;
  size_t line = 1, lineStart = 0, counted = 0, inputLineStart = 0;
  for (Kept& k : kept_) {
    for (const char* lf = FindLineFeed(text_ + counted, text_ + k.offset);
         lf != nullptr; lf = FindLineFeed(lf + 1, text_ + k.offset)) {
      ++line;
      lineStart = static_cast<size_t>(lf + 1 - text_);
      if (!converted_.empty()) inputLineStart = input.find('\n', inputLineStart) + 1;
    }
    counted = k.offset;
    Diagnostic d;
    d.file = in_.argPath;
    d.line = line;
    d.column = k.offset - lineStart + 1;
    if (!converted_.empty() && k.offset < converted_.size() &&
        (text_[k.offset] == '\r' || text_[k.offset] == '\n')) {
      size_t inputLf = std::min(input.find('\n', inputLineStart), input.size());
      d.column = std::min(d.column, inputLf - inputLineStart + 1);
    }
    d.severity = k.severity;
    d.rule = k.rule;
    d.message = std::move(k.message);
    result.diagnostics.push_back(std::move(d));
  }
  return result;
}

// --- Line ends ----------------------------------------------------------------

void Checker::ConvertLineEnds() {
  const std::string& text = in_.text;
  const size_t end = static_cast<size_t>(TextEnd(text.data(), text.size()) - text.data());
  for (size_t lf = text.find('\n'); lf < end; lf = text.find('\n', lf + 1)) {
    ++lines_;
    if (lf == 0 || text[lf - 1] != '\r') ++bareLines_;
  }
  if (bareLines_ == 0) return;
  converted_.reserve(text.size() + bareLines_);
  inserted_.reserve(bareLines_);
  size_t from = 0;
  for (size_t lf = text.find('\n'); lf < end; lf = text.find('\n', lf + 1)) {
    if (lf > 0 && text[lf - 1] == '\r') continue;
    converted_.append(text, from, lf - from);
    inserted_.push_back(converted_.size());
    converted_ += '\r';
    from = lf;
  }
  converted_.append(text, from, std::string::npos);
}

void Checker::NoteLineEnd(const char* lf, const std::string& what) {
  const char* cr = lf - 1;
  if (inserted_.empty() || (firstBare_ != nullptr && firstBare_ <= cr) ||
      !std::binary_search(inserted_.begin(), inserted_.end(),
                          static_cast<size_t>(cr - text_)))
    return;
  firstBare_ = cr;  // reported at the character the run drops
  firstBareWhat_ = what;
}

// One finding for every line that ends in LF only, at the first line a run
// reads a value from, so that one cause gives one error.
void Checker::ReportLineEnds() {
  if (firstBare_ == nullptr) return;
  std::string lines =
      bareLines_ == lines_
          ? std::to_string(bareLines_) + (bareLines_ == 1 ? " line ends" : " lines end")
          : std::to_string(bareLines_) + " of " + std::to_string(lines_) + " lines " +
                (bareLines_ == 1 ? "ends" : "end");
  Report(firstBare_ - 1, "bare-line-feed",
         lines + " in LF only; the run needs CR LF - `pxtool fmt` converts. The run "
         "drops the character before each LF: here it reads " + firstBareWhat_ +
             " (the other findings are for the file with CR LF)");
}

// --- Section names ------------------------------------------------------------

namespace {

const char* const kSectionKeys[] = {"[Runtime]", "[Commands]", "[UpdCommands]",
                                    "[ExpCommands]"};

// The section key a header's name is close to, or null: within a quarter
// of the key's name in edits (at least one; upper and lower case alike).
const char* NearestKey(std::string_view name, size_t* distance) {
  const char* nearest = nullptr;
  for (const char* key : kSectionKeys) {
    std::string_view keyName(key + 1, strlen(key) - 2);
    size_t limit = std::max<size_t>(1, keyName.size() / 4);
    if (std::max(name.size(), keyName.size()) - std::min(name.size(), keyName.size()) > limit)
      continue;
    size_t d = EditDistance(name, keyName);
    if (d <= limit && (nearest == nullptr || d < *distance)) {
      nearest = key;
      *distance = d;
    }
  }
  return nearest;
}

// A line without its line end (its LF and a CR before it).
std::string_view LineAt(const char* line, const char* end) {
  const char* lf = FindLineFeed(line, end);
  const char* stop = lf ? lf : end;
  if (lf != nullptr && stop > line && stop[-1] == '\r') --stop;
  return std::string_view(line, static_cast<size_t>(stop - line));
}

// A line of the text for a message: at most 60 characters, in backquotes.
std::string Quoted(std::string_view line) {
  std::string shown = Shown(line);
  return "`" + shown.substr(1, shown.size() - 2) + "`";
}

}  // namespace

void Checker::CheckSectionNames() {
  for (const char* line = text_; line < end_;) {
    const char* lf = FindLineFeed(line, end_);
    if (*line == '[') {
      std::string_view header = LineAt(line, end_);
      size_t close = header.find(']');
      std::string_view name = header.substr(1, close == std::string_view::npos
                                                   ? std::string_view::npos
                                                   : close - 1);
      bool exact = false;
      for (const char* key : kSectionKeys) exact = exact || header.compare(0, strlen(key), key) == 0;
      size_t distance = 0;
      const char* key = exact ? nullptr : NearestKey(name, &distance);
      if (key != nullptr) {
        std::string message =
            Quoted(header.substr(0, close == std::string_view::npos ? close : close + 1)) +
            ": did you mean `" + key + "`?" +
            (distance == 0 ? " (section keys are case-sensitive)" : "");
        const char* found = FindText(text_, end_, key);
        Severity severity = found ? Severity::kWarning : Severity::kError;
        std::string k = key;
        if (found)
          message += " " + k + " is on line " + std::to_string(PositionOf(text_, found).line) +
                     ": this header starts no section";
        else if (k == "[Runtime]")
          message += " Without [Runtime] a run ends with the handler error before anything "
                     "is staged";
        else if (k == "[Commands]")
          message += " Without [Commands] a forced run (the default) ends with the handler error";
        else if (k == "[UpdCommands]")
          message += " Without [UpdCommands] an update run ends with the handler error";
        else if (FindText(text_, end_, "[Commands]") != nullptr)
          message += " Without [ExpCommands] an expert run runs [Commands] instead";
        else
          message += " Without [ExpCommands] an expert run ends with the handler error";
        misspeltRuntime_ = misspeltRuntime_ || (!found && k == "[Runtime]");
        misspeltCommands_ = misspeltCommands_ || (!found && k == "[Commands]");
        Report(line, "section-name-misspelt", message, &severity);
      }
    }
    line = lf ? lf + 1 : end_;
  }
}

// --- Basic parameters and package files ---------------------------------------

// The line after [Runtime] (up to the next line that begins with "[") that
// looks like the FWPATH line but is not "FWPATH=": its key, before a "=",
// within two edits of FWPATH (upper and lower case alike).
const char* Checker::FwPathLookalike() const {
  const char* line = FindLineFeed(params_.runtimeKey, end_);
  for (line = line ? line + 1 : end_; line < end_ && *line != '[';) {
    std::string_view text = LineAt(line, end_);
    std::string_view key = text.substr(0, text.find('='));
    while (!key.empty() && (key.back() == ' ' || key.back() == '\t')) key.remove_suffix(1);
    while (!key.empty() && (key[0] == ' ' || key[0] == '\t')) key.remove_prefix(1);
    if (*line != '#' && key.size() >= 4 && key.size() <= 8 && EditDistance(key, "FWPATH") <= 2)
      return line;
    const char* lf = FindLineFeed(line, end_);
    line = lf ? lf + 1 : end_;
  }
  return nullptr;
}

void Checker::CheckBasicParams() {
  params_ = ReadBasicParams(text_, end_, "", false,
                            in_.packageDir.empty() ? nullptr
                                                   : in_.packageDir.c_str());
  const char* value = params_.fwPathKey ? params_.fwPathKey + 7 : nullptr;
  if (value != nullptr) {
    const char* lf = FindLineFeed(value, end_);
    if (lf != nullptr && lf - 1 > value)
      NoteLineEnd(lf, "the package directory as " +
                          Shown(std::string(value, static_cast<size_t>(lf - 2 - value))));
  }
  switch (params_.problem) {
    case BasicParamsProblem::kNone:
      break;
    case BasicParamsProblem::kNoRuntimeSection:
      // A header that is nearly [Runtime] has said so where it is.
      if (!misspeltRuntime_)
        Report(text_, "runtime-section-missing",
               "no [Runtime] in the argument file: a run (classic or "
               "autonomic) ends with the handler error");
      return;
    case BasicParamsProblem::kNoLineAfterComments:
      Report(params_.runtimeKey, "runtime-section-missing",
             "no line after [Runtime] and its comment lines: a run ends with the handler error");
      return;
    case BasicParamsProblem::kNoFwPathKey:
      if (const char* line = FwPathLookalike())
        Report(line, "fwpath-missing",
               Quoted(LineAt(line, end_)) + " is not FWPATH=: the run looks for \"FWPATH=\" "
               "exactly (upper case, no blank before the \"=\") and ends with the handler error");
      else
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
               ": a run stages no package files" +
               (params_.fwPath.find_first_of(" \t") != std::string::npos
                    ? " (the blanks after FWPATH= are part of the value)"
                    : ""));
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
    StagePaths paths = StagePathsOf(params_.fwPath, in_.execDir, name);
    if (const std::string* longer = paths.TooLong())
      Report(value, "path-too-long",
             "staging path " + Shown(*longer) + " is " +
                 std::to_string(longer->size()) + " characters long, more "
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

// --- Signed packages ----------------------------------------------------------

void Checker::CheckManifest() {
  struct stat st;
  std::string signature =
      PackageLocation{in_.packageDir, in_.argFile}.ArgDir() + "/" +
      kSignatureName;
  if (in_.argFile.empty() || lstat(signature.c_str(), &st) != 0) return;
  PackageSource source;
  source.argFile = in_.argFile;
  source.hasFwPath = params_.problem == BasicParamsProblem::kNone;
  source.fwPath = params_.fwPath;
  source.names = params_.files;
  source.base = in_.packageDir.empty() ? "." : in_.packageDir;
  PackageLayout layout;
  std::string file, why, text;
  if (!DescribePackage(source, &layout, &file, &why)) {
    Report(text_, "file-outside-manifest",
           "\"" + file + "\": " + why + ": a run with trusted keys refuses the package");
    return;
  }
  if (!ReadPackageFile(layout.ManifestPath(), 64u << 20, "", &text, &why)) {
    Report(text_, "file-outside-manifest",
           why + ": a run with trusted keys refuses the package");
    return;
  }
  std::vector<std::string> names = ListedNames(text);
  std::set<std::string> listed(names.begin(), names.end());
  for (const PackageLayout::File& f : layout.files)
    if (!listed.count(f.name))
      Report(text_, "file-outside-manifest",
             "\"" + f.name + "\" is not in " + kManifestName + ": a run "
             "with trusted keys refuses the package (sign it again, or remove the file)");
}

// --- Keys ---------------------------------------------------------------------

void Checker::CheckKeys() {
  auto atLineStart = [this](const char* at) {
    return at == text_ || at[-1] == '\n';
  };
  for (const char* key : kSectionKeys) {
    const char* first = FindText(text_, end_, key);
    if (first == nullptr) continue;
    if (!atLineStart(first)) {
      const char* header = first;
      do {
        header = FindText(header + 1, end_, key);
      } while (header != nullptr && !atLineStart(header));
      std::string message = std::string(key) +
                            " occurs here first, inside a line: the run "
                            "starts the section on the line after this one";
      if (header != nullptr)
        message += ", not after the header on line " +
                   std::to_string(PositionOf(text_, header).line);
      Report(first, "section-key-earlier", message);
      continue;
    }
    std::string firstLine = std::to_string(PositionOf(text_, first).line);
    for (const char* at = FindText(first + 1, end_, key); at != nullptr;
         at = FindText(at + 1, end_, key))
      if (atLineStart(at))
        Report(at, "section-key-earlier",
               std::string("second ") + key + " header: the run uses the "
               "first, on line " + firstLine + ", and never starts here");
  }
}

// --- Command sections ---------------------------------------------------------

// The walks of the three kinds of run go through their lines together, the
// earliest line first, so that what several of them find on one line is
// found at once and reported once, without remembering any line.
void Checker::CheckSections() {
  if (ChooseSection(text_, end_, RunMode::kForce).start == nullptr && !misspeltCommands_)
    Report(text_, "section-missing",
           "no [Commands]: a forced run (the default) ends with the handler error");
  std::vector<RunWalk> walks;
  walks.reserve(3);
  for (RunMode mode : {RunMode::kForce, RunMode::kUpdate, RunMode::kExpert}) {
    SectionChoice choice = ChooseSection(text_, end_, mode);
    if (choice.Start() == nullptr) continue;
    walks.emplace_back(text_, choice.Start(), end_);
    RunWalk& w = walks.back();
    w.mode = ModeOfLines(mode == RunMode::kForce, mode == RunMode::kUpdate,
                         choice.UsesFallback());
    w.run = mode == RunMode::kForce    ? "forced runs"
            : mode == RunMode::kUpdate ? "update runs"
            : choice.UsesFallback()
                ? "expert runs (which fall back to it as forced runs)"
                : "expert runs";
    w.key = choice.StartKey();
    w.line = w.walk.Next();
    if (w.line.kind == SectionLine::kNoLines) {
      Report(w.start, "no-final-line-feed",
             w.key + " is on the last line, without a line feed: the " +
                 w.run + " find no lines in it and run nothing");
      w.done = true;
    }
  }
  for (;;) {
    const char* at = nullptr;
    for (const RunWalk& w : walks)
      if (!w.done && (at == nullptr || w.line.begin < at)) at = w.line.begin;
    if (at == nullptr) return;
    WalkLine(&walks, at);
    for (RunWalk& w : walks) {
      if (w.done || w.line.begin != at) continue;
      if (w.line.kind == SectionLine::kEnd ||
          w.line.kind == SectionLine::kCorrupted)
        w.done = true;
      else
        w.line = w.walk.Next();
    }
  }
}

// The line at `at`, for every walk that is on it (all see it alike).
void Checker::WalkLine(std::vector<RunWalk>* walks, const char* at) {
  lineReports_.clear();
  auto on = [at](const RunWalk& w) { return !w.done && w.line.begin == at; };
  const SectionLine* line =
      &std::find_if(walks->begin(), walks->end(), on)->line;

  if (line->kind == SectionLine::kEnd) {
    for (const RunWalk& w : *walks)
      if (on(w) && w.flagsLine != nullptr)
        ReportOnce(w.flagsLine, "flags-line-replaced",
                   "flags line followed by the end of the section (line " +
                       std::to_string(line->number) + ") before any "
                       "command: its flags are never used");
    return;
  }
  if (line->kind == SectionLine::kCorrupted) {
    for (const RunWalk& w : *walks)
      if (on(w))
        ReportOnce(w.start, "section-not-closed",
                   w.key + " is not closed by a line that begins with "
                   "\"[\": after its commands a run ends with \"corrupted "
                   "arg file\" and the handler error");
    if (line->begin < end_)
      Report(end_, "no-final-line-feed",
             "the last line has no line feed: a run does not take it up "
             "and ends with \"corrupted arg file\"");
    return;
  }
  if (line->kind == SectionLine::kPassedOver) {
    char c = *line->begin;
    const char* rest = line->begin;
    while (rest < line->lineFeed &&
           (*rest == ' ' || *rest == '\t' || *rest == '\r'))
      ++rest;
    if (c == '#' || rest == line->lineFeed) return;  // comments, blank lines
    std::string why = c == '1' ? " (taken up by an earlier run: reset it to \"0\" to run it)"
                      : c == 'O' ? " (the letter O, not the digit 0)"
                      : (c == ' ' || c == '\t') ? " (blanks before the \"0\")"
                                                : "";
    Report(line->begin, "line-passed-over",
           "line begins with " + Shown(std::string(1, c)) + ", not \"0\"" +
               why + ": the run passes it over without a word");
    return;
  }
  // A pending line.
  if (line->size < kCommandOffset) {
    Report(line->begin, "short-pending-line",
           "pending line shorter than its six leading columns: the run "
           "reports it and passes over it");
    return;
  }
  CommandText command =
      ReadCommandText(line->begin, line->size, ExternalValues());
  CheckPendingLine(*line, command);
  bool prefixed = command.forcePrefix || command.updatePrefix;
  bool runsSomewhere = false;
  std::string runs, key;  // the walks that reach a prefixed line
  for (RunWalk& w : *walks) {
    if (!on(w)) continue;
    const LineAction action = ActionOf(command, w.mode);
    const bool other = action == LineAction::kSkipFlags ||
                       action == LineAction::kSkipCommand;
    if (prefixed) {
      runs += (runs.empty() ? "" : ", ") + w.run;
      key = w.key;
      runsSomewhere = runsSomewhere || !other;
    }
    if (action == LineAction::kSkipFlags) continue;  // the flags stay
    if (action == LineAction::kTakeFlags) {
      if (w.flagsLine != nullptr)
        ReportOnce(w.flagsLine, "flags-line-replaced",
                   "flags line replaced by the flags line on line " +
                       std::to_string(line->number) + " before any command "
                       "is judged: its flags are never used");
      w.flagsLine = line->begin;
      continue;
    }
    if (w.flagsLine == nullptr && !other)
      ReportOnce(line->begin + kCommandOffset, "command-without-flags",
                 "no flags line before this command: it is judged against "
                 "no flags and never stops the run, whatever it returns");
    w.flagsLine = nullptr;  // judged (run or skipped): the flags are consumed
  }
  // Only prefixed lines can be skipped by every run.
  if (prefixed && !runsSomewhere)
    Report(line->begin + kCommandOffset, "mode-prefix-never-runs",
           "\"" + std::string(command.forcePrefix ? "force" : "update") +
               "\" line in " + key + " that no run of this package runs: " +
               runs + " skip it");
}

// What does not depend on the kind of run: checked once per line, however
// many walks reach it.
void Checker::CheckPendingLine(const SectionLine& line,
                               const CommandText& command) {
  if (!inserted_.empty() && line.size > kCommandOffset)
    NoteLineEnd(line.lineFeed, "the command as " + Shown(std::string_view(command.raw).substr(
                                                       0, command.raw.size() - 1)));
  const char* field = line.begin + kResultOffset;
  CommandColumns columns = ReadCommandColumns(std::string_view(line.begin, line.size));
  if (columns.kind == CommandColumns::kShifted && columns.text != command.raw)
    Report(field, "command-column-shifted",
           "the command text starts in column 7 whatever is before it: the run runs " +
               Shown(command.raw) + ", not " + Shown(columns.text) +
               " (`pxtool fmt` puts the columns in place)");
  else if (std::string_view(field, 3).find_first_not_of("0123456789") != std::string_view::npos)
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
  std::string_view raw = command.raw;
  const char* text = line.begin + kCommandOffset;
  int seen[std::size(kPlaceholders)] = {};
  size_t close = std::string_view::npos;  // the first "}" at or after `at`
  for (size_t at = raw.find("!{"); at != std::string_view::npos;
       at = raw.find("!{", at + 2)) {
    if (close == std::string_view::npos || close < at) close = raw.find('}', at);
    if (close == std::string_view::npos) break;
    std::string_view name = raw.substr(at, close - at + 1);
    size_t known = 0;
    while (known < std::size(kPlaceholders) && name != kPlaceholders[known])
      ++known;
    const char* rule = known == std::size(kPlaceholders) ? "unknown-placeholder"
                       : ++seen[known] == 2 ? "repeated-placeholder" : nullptr;
    if (rule == nullptr) continue;
    if (!Keeps(text + at))
      Count(rule);
    else if (known == std::size(kPlaceholders))
      Report(text + at, rule,
             Shown(name) + " is not a placeholder (!{EXTVAR}, !{RESET}, "
             "!{PARAM}): the shell gets it literally");
    else
      Report(text + at, rule,
             "second " + std::string(name) + ": only the first is replaced, "
             "this one reaches the shell literally");
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
  // Where the run finds each name: looked up once per line, not per word.
  size_t first[MAX_FLAGS];
  for (int f = 0; f < MAX_FLAGS; ++f) first[f] = firstOf(FlagName(f));
  const std::string_view* names = FlagNames();
  auto valueOf = [&](int f) {
    return flags.set[f] ? "the run reads " + std::string(FlagName(f)) + " " +
                              std::to_string(flags.value[f])
                        : "the run does not set " + std::string(FlagName(f));
  };
  // What a flag name that ends at `after` inside a longer word does.
  auto effectOf = [&](int g, size_t after) -> std::string {
    std::string name = FlagName(g);
    bool blankAfter = after < text.size() && text[after] == ' ';
    if (g == omit_ret_codes)
      return blankAfter ? "it ends in omit_ret_codes, so the run reads an omit list after it"
                        : "it contains omit_ret_codes without a blank after it, so the run sets no omit list";
    if (!IsNumberFlag(g))
      return "it contains \"" + name + "\", so the run sets " + name;
    if (blankAfter) return "it ends in \"" + name + "\", so " + valueOf(g);
    return "it contains \"" + name + "\", but " +
           (after < text.size() ? Shown(text.substr(after, 1)) : std::string("the end")) +
           " follows instead of a blank, so " + valueOf(g);
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
  Words words(outside);
  Token w, next;  // the word, and the one after it if `more`
  bool more = words.Next(&next);
  while (more) {
    w = next;
    more = words.Next(&next);
    int f = FlagNamed(w.word);
    bool takesNext = false;
    if (f >= 0) {
      if (f == omit_ret_codes) {
        if (w.offset == omitKey) continue;
        if (w.offset + w.word.size() == text.size())
          Report(at(w.offset), "flag-value-missing",
                 "omit_ret_codes at the end of the flags line has no list: "
                 "the run sets no omit list");
        else
          Report(at(w.offset), "flag-word-ignored",
                 "the run reads the first \"omit_ret_codes \" of the flags line only, at column " +
                     std::to_string(static_cast<size_t>(at(omitKey) - line.begin) + 1) +
                     "; this one is ignored");
        continue;
      }
      takesNext = IsNumberFlag(f) && more && FlagNamed(next.word) < 0;
      if (first[f] != w.offset) {
        Report(at(w.offset), "flag-word-ignored",
               "the run reads " + std::string(FlagName(f)) + " only at its "
               "first occurrence in the flags line, column " +
                   std::to_string(static_cast<size_t>(at(first[f]) - line.begin) + 1) +
                   ", not here: " + valueOf(f));
      } else if (IsNumberFlag(f)) {
        if (w.offset + w.word.size() == text.size()) {
          Report(at(w.offset), "flag-value-missing",
                 std::string(FlagName(f)) + " at the end of the flags line "
                 "has no value: " + valueOf(f));
        } else if (!more) {
          Report(at(w.offset), "flag-value-missing",
                 std::string(FlagName(f)) + " has no value: " + valueOf(f));
        } else if (!takesNext) {
          Report(at(w.offset), "flag-value-missing",
                 std::string(FlagName(f)) + " is followed by " +
                     Shown(next.word) + ", not a number: " + valueOf(f));
        } else {
          const std::string v(next.word);
          bool decimal = IsDecimal(v);
          bool fits = false;
          if (decimal) {
            errno = 0;
            long long n = strtoll(v.c_str(), nullptr, 10);
            fits = errno == 0 && n >= 0 && n <= 0xFFFFFFFFLL;
          }
          if (!decimal || !fits)
            Report(at(next.offset), "flag-value-not-number",
                   "value " + Shown(v) + " of " + FlagName(f) + " is not " +
                       (decimal ? "a number from 0 to 4294967295"
                                : "a decimal number") +
                       ": " + valueOf(f));
        }
      }
      if (takesNext) more = words.Next(&next);
      continue;
    }

    // Not a flag name: what the run makes of the names inside it. The
    // message (and its suggestions) is made only for a finding that is
    // kept.
    bool wanted = Keeps(at(w.offset));
    std::string effects;
    int startsWith = -1;
    for (int g = 0; g < MAX_FLAGS; ++g) {
      if (names[g].size() > w.word.size()) continue;
      size_t pos = w.word.find(names[g]);
      if (pos == std::string::npos || first[g] != w.offset + pos) continue;
      size_t after = w.offset + pos + names[g].size();
      bool blankAfter = after < text.size() && text[after] == ' ';
      if (IsNumberFlag(g) && blankAfter && more && FlagNamed(next.word) < 0)
        takesNext = true;
      if (IsNumberFlag(g) && !blankAfter && pos == 0 && after < text.size() &&
          !IsWordChar(text[after]))
        startsWith = g;
      if (wanted) effects += (effects.empty() ? "" : "; ") + effectOf(g, after);
    }
    bool number = IsDecimal(w.word);
    // A number after an unknown word is its value, not a stray word.
    if (startsWith < 0 && !number && more && IsDecimal(next.word))
      takesNext = true;
    const char* rule = startsWith >= 0 ? "flag-value-missing" : "unknown-flag-word";
    if (!wanted) {
      Count(rule);
    } else if (startsWith >= 0) {
      Report(at(w.offset), rule,
             std::string(FlagName(startsWith)) + " needs a blank before its "
             "value (" + Shown(w.word) + "): " + valueOf(startsWith));
    } else if (number) {
      Report(at(w.offset), rule,
             "number " + Shown(w.word) + " that no flag takes: the run ignores it");
    } else {
      std::string message = "unknown flag word " + Shown(w.word) +
                            Suggestion(w.word);
      message += effects.empty() ? ": the run ignores it" : ": " + effects;
      Report(at(w.offset), rule, message);
    }
    if (takesNext) more = words.Next(&next);
  }
}

// The list is read by SplitOmitList a window of pieces at a time, so that a
// list of millions of codes is never held as millions of pieces. A window
// that begins or ends at a "," inside the list is framed by a piece "x" of
// its own on that side: the frame keeps SplitOmitList from trimming the
// window's blanks, which only the list's own ends lose.
void Checker::CheckOmitList(const char* listAt, const std::string& list) {
  const size_t kWindow = 64 << 10;
  for (size_t from = 0;;) {  // the list's start or just after a ","
    size_t cut = from + kWindow < list.size() ? list.find(',', from + kWindow)
                                              : std::string::npos;
    bool framedBefore = from > 0, framedAfter = cut != std::string::npos;
    std::string window = (framedBefore ? "x," : "") +
                         list.substr(from, cut == std::string::npos ? cut : cut - from) +
                         (framedAfter ? ",x" : "");
    std::vector<OmitPiece> pieces = SplitOmitList(window);
    size_t shift = framedBefore ? 2 : 0;
    for (size_t i = framedBefore ? 1 : 0;
         i < pieces.size() - (framedAfter ? 1 : 0); ++i) {
      OmitPiece& piece = pieces[i];
      const char* pieceAt = listAt + from + piece.offset - shift;
      bool wanted = Keeps(pieceAt);
      std::string shown = wanted ? piece.text : std::string();
      int code = 0;
      std::string digits;
      OmitCodeKind kind = ReadOmitCode(&piece.text[0], 10, &code, &digits);
      if (kind == OmitCodeKind::kNumber) continue;
      bool outOfRange = kind == OmitCodeKind::kOutOfRange;
      const char* rule =
          outOfRange ? "omit-code-out-of-range" : "omit-list-never-matches";
      if (!wanted)
        Count(rule);
      else if (outOfRange)
        Report(pieceAt, rule,
               "omit-list code " + Shown(digits) + " is beyond the range of "
               "a 64-bit number: a run that judges a return code not "
               "matched before it ends at once with exit status 1");
      else
        Report(pieceAt, rule,
               "omit-list piece " + Shown(shown) + " is not one decimal "
               "number: it never matches a return code (codes are separated "
               "by \",\"; the list ends at \";\")");
    }
    if (!framedAfter) return;
    from = cut + 1;
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
  Words words(command.toRun);
  Token program, word;
  if (!words.Next(&program)) return;
  static const char* const kInterpreters[] = {
      "sh", "bash", "dash", "ksh", "zsh", "/bin/sh", "/bin/bash",
      "/usr/bin/sh", "/usr/bin/bash", "perl", "python3", "python"};
  std::string_view script;
  bool interpreter = false;
  for (const char* name : kInterpreters)
    interpreter = interpreter || program.word == name;
  if (interpreter) {
    while (words.Next(&word)) {
      if (word.word == "-c") return;  // a command text, not a script
      if (word.word[0] != '-') {
        script = word.word;
        break;
      }
    }
  } else if (program.word.find('/') != std::string_view::npos &&
             program.word[0] != '/') {
    script = program.word;
  }
  if (script.empty() || script[0] == '/' ||
      script.find_first_of("$`*?\"'<>|;&(){}~") != std::string_view::npos)
    return;
  std::string name(script.compare(0, 2, "./") == 0 ? script.substr(2) : script);
  if (name.empty() || InExecDir(name)) return;
  size_t at = command.raw.find(script);
  Report(line.begin + kCommandOffset + (at == std::string::npos ? 0 : at),
         "script-not-found",
         Shown(script) + " is neither a package file nor in the execution "
         "directory " + Shown(in_.execDir) + ": the command fails on the server");
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

size_t EditDistance(std::string_view a, std::string_view b) {
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

CheckResult CheckArgumentText(const CheckInput& input, size_t keep) {
  return Checker(input, keep).Run();
}

}  // namespace pxtool
