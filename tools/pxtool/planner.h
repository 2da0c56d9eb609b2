// What a run of a package would do, worked out without doing any of it.
//
// MakePlan drives the package model exactly as a run does (run.cc,
// command_runner.cc, flags.cc): the basic parameters and the staging list
// (classic layout), the section the options choose with the expert
// fallback, the walk over its lines, the command texts with the external
// values put in, the flags lines and the judgement of every command. It
// assumes that every command returns 0, so the conditions that earlier
// commands note are those their flags note for 0, and it stops where such a
// run stops. For every judged command it also says what each kind of return
// code would lead to, given those conditions.
//
// Nothing here writes a file, changes the current directory or touches a
// process global: the argument file comes in as text, and the only things
// looked at on disk are the package directory's listing and the package
// files' trailers (for the staging list), read-only.

#ifndef TOOLS_PXTOOL_PLANNER_H_
#define TOOLS_PXTOOL_PLANNER_H_

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "package_model.h"

namespace pxtool {

// How the run is started: as in README's table of modes.
enum class PlanLayout {
  kLocal,      // "Quillon <dir>": no basic parameters, nothing staged
  kClassic,    // "Quillon <dir> <argfile>": basic parameters and staging
  kAutonomic,  // "autonomic"/"kbxmode": basic parameters, nothing staged
};

struct PlanInput {
  std::string text;        // the argument file, as read (zero bytes kept)
  std::string packageDir;  // the run's working directory; "" is the current
  std::string argFile;     // the argument file as the run's second argument
  PlanLayout layout = PlanLayout::kLocal;
  // The options as the run reads them (ParseCmdline). The layout decides
  // the autonomic switch; options.autonomic is not looked at.
  CmdlineOptions options;
  // Plan the section alone, as though the basic parameters were read and
  // the files staged without a problem (nothing on disk is looked at).
  bool sectionOnly = false;
};

// One package file of the staging list.
struct PlannedCopy {
  std::string name, source, destination;  // source and destination as the
                                          // run names them (relative to the
                                          // package directory)
  enum Action { kCopy, kDecode, kRefuse } action = kCopy;
  int method = 0;        // kDecode: 1 or 2
  bool executable = false;  // a ".exe" name: mode 0700, else 0600
  std::string problem;   // kRefuse: why
};

// What a range of return codes leads to.
struct Outcome {
  std::string when;    // "always", "rc 0", "rc != 0", "rc 3 or 4", ...
  // The same return codes as ascending, inclusive ranges.
  std::vector<std::pair<unsigned int, unsigned int>> codes;
  int result = 0;      // the judgement (autonomic: translated)
  bool endsProcess = false;  // an omit-list code out of range is reached
  // Conditions this return code notes (delayed_reboot, not_supported_OS,
  // failure_67, ...), in the order of the flags that note them.
  std::vector<std::string> notes;
};

// What the pending flags make of every return code, given the conditions
// noted before. Steps judged alike (the same flags text, the same
// conditions) share one, so a long file of similar lines costs little.
struct Judgement {
  std::string flags;  // the pending flags text ("" when none are pending)
  std::vector<Outcome> outcomes;  // ascending by the first code of each
};

struct PlanStep {
  enum Kind {
    kFlags,    // a flags line: replaces the pending flags
    kCommand,  // runs through the shell and is judged
    kSkipped,  // its mode prefix excludes the run's mode: not run; a command
               // is judged against 0, a flags line is not taken
    kShort,    // shorter than its six leading columns: passed over
  } kind = kCommand;
  size_t line = 0;
  bool flagsLine = false;  // kSkipped: a flags line of the other mode
  // kFlags, kCommand, kSkipped: the text handed to the shell (prefix off,
  // placeholders in, not masked); kShort: the line as it stands.
  std::string text;
  // kSkipped, kShort; kCommand: a command the shell cannot be executed with
  const char* why = "";
  // kCommand and judged kSkipped: the line of the flags that judge it (0
  // when none are pending), the index of its judgement in Plan::judgements,
  // and the judgement of the code the plan takes it to return (0, or 127
  // for a command the shell cannot be executed with).
  size_t judgedByLine = 0;
  size_t judgement = kNotJudged;
  int resultAtZero = 0;
  static const size_t kNotJudged = static_cast<size_t>(-1);

  // kFlags: the flags text, after "flag" and one separator.
  std::string FlagsText() const {
    return text.size() > 5 ? text.substr(5) : std::string();
  }
};

struct PlanEnd {
  enum Kind {
    kSectionEnd,    // the "[" line after the section
    kNoLines,       // the key's line is the last line of the file
    kCorrupted,     // no "[" line follows, or a line has no line feed
    kNotFound,      // the section's key (and the fallback) not found
    kStops,         // a judgement of 0 stops the run (at `line`)
    kEndsProcess,   // an omit-list code out of range is reached (exit 1)
    kHandlerError,  // the run ends before (or at) `line` with 0x22030003
  } kind = kSectionEnd;
  size_t line = 0;  // 0 when there is none
  unsigned int result = 0;  // the run result (not for kEndsProcess)
  std::string why;
  bool delayedReboot = false;  // a delayed reboot is due at the end
};

struct Plan {
  PlanLayout layout = PlanLayout::kLocal;
  RunMode mode = RunMode::kForce;  // as the options ask (expert stays)
  bool noReboot = false;           // -n, local or autonomic
  // The section.
  const char* sectionKey = nullptr;  // the key used, or the mode's key
  bool sectionFound = false;
  bool fallback = false;
  size_t sectionLine = 0, sectionColumn = 0;
  std::string sectionWhy;
  size_t linesTaken = 0;  // lines of the section marked "1"
  size_t resumeLine = 0;  // the first pending line a run takes up; 0: none
  std::string fwPath;     // the package directory the argument file names
  std::string execPath;   // the execution directory (classic)
  std::vector<PlannedCopy> staging;
  std::vector<PlanStep> steps;
  std::vector<Judgement> judgements;
  PlanEnd end;

  // The judgement of a judged step, or null.
  const Judgement* JudgementOf(const PlanStep& step) const {
    return step.judgement < judgements.size() ? &judgements[step.judgement]
                                              : nullptr;
  }
};

Plan MakePlan(const PlanInput& input);

// Names as the JSON shows them.
const char* ModeName(RunMode mode);
const char* StepKindName(PlanStep::Kind kind);
const char* EndKindName(PlanEnd::Kind kind);
const char* ActionName(PlannedCopy::Action action);
// go_on, abort, reboot, reboot_suppressed, no_adequate_hardware,
// incorrect_target, ends_process, other.
const char* VerdictName(const Outcome& outcome, bool autonomic);

}  // namespace pxtool

#endif  // TOOLS_PXTOOL_PLANNER_H_
