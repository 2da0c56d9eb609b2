// The package checker behind "pxtool check": finds, in an argument file and
// its package directory, what a run would do differently from what the
// author meant -- the silent traps of the format -- and says where, as
// diagnostics with a line and a column of the argument file.
//
// Every rule about what a run does is decided by the package model
// (package_model.h: ReadBasicParams, ChooseSection, SectionWalk,
// ReadCommandText, ParseFlags, ReadFlagValue, SplitOmitList, ReadOmitCode)
// and the codec's GetPXFileInfo, the functions the run itself uses; the
// checker only looks for the places where the model's reading and the
// author's likely intent part. Nothing here writes a file, changes the
// current directory or touches a process global.
//
// The rules are the table Rules() (name, default severity, why); the names
// are stable: they are the ruleId of the SARIF output and appear in the
// text output in brackets. docs/check-rules.md lists them (a test keeps the
// two equal). A finding has its rule's severity, but for
// section-name-misspelt, which is a warning where the section it resembles
// is there all the same.
//
// Lines that end in LF only are one finding (bare-line-feed), at the first
// line the run reads a value or a command from, with their count; every
// other finding is for the text as if its lines ended in CR LF, so that
// the one cause does not repeat on every line. Lines and columns are the
// input's all the same.

#ifndef TOOLS_PXTOOL_CHECKER_H_
#define TOOLS_PXTOOL_CHECKER_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace pxtool {

enum class Severity { kError, kWarning, kNote };
const char* SeverityName(Severity severity);  // "error", "warning", "note"

struct Rule {
  const char* name;  // kebab-case, stable
  Severity severity;
  const char* why;   // one sentence: what the run does
};
// Every rule, in the order of the documentation.
const std::vector<Rule>& Rules();
// The rule named `name`, or null.
const Rule* FindRule(const std::string& name);

struct Diagnostic {
  std::string file;  // the argument file, as named by the caller
  size_t line = 0;   // 1-based
  size_t column = 0;  // 1-based, in bytes
  Severity severity = Severity::kError;
  std::string rule;
  std::string message;
};

// What the checker reads.
struct CheckInput {
  std::string argPath;  // the name diagnostics carry
  std::string text;     // the argument file's bytes
  // The package directory (what Quillon takes as its working directory): a
  // relative FWPATH is listed from it. Empty: the current directory.
  std::string packageDir;
  // The execution directory as Quillon gets it in a classic run (the
  // directory part of its second argument, "./" when it has none), relative
  // to packageDir: package files are staged there and commands run there.
  std::string execDir = "./";
  // The argument file relative to packageDir, as Quillon's second argument:
  // when a signature lies beside it, the package's files are held to its
  // manifest. Empty: not looked at.
  std::string argFile;
};

// What the checker found in one argument file. Every finding is counted;
// only the first ones by position are kept, so that a hostile file cannot
// make the checker's memory grow with its findings.
struct CheckResult {
  // The kept findings, sorted by line and column (ties by rule name, then
  // message). Never the same diagnostic twice.
  std::vector<Diagnostic> diagnostics;
  size_t counts[3] = {0, 0, 0};  // every finding by Severity, kept or not
  size_t Total() const { return counts[0] + counts[1] + counts[2]; }
  size_t Omitted() const { return Total() - diagnostics.size(); }
};

const size_t kKeepAll = static_cast<size_t>(-1);

// Checks one argument file, keeping the first `keep` findings by position.
// Time is linear in the text, memory linear in its longest line and in
// `keep` (and in the text when lines end in LF only: it is read converted).
// Never throws on any input text (a lack of memory aside).
CheckResult CheckArgumentText(const CheckInput& input, size_t keep = kKeepAll);

// The Levenshtein distance of two words, upper and lower case counted as
// the same letter (for "did you mean").
size_t EditDistance(std::string_view a, std::string_view b);

}  // namespace pxtool

#endif  // TOOLS_PXTOOL_CHECKER_H_
