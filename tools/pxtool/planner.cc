#include "planner.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <climits>
#include <unordered_map>
#include <utility>

#include "px_tool.h"
#include "pxtool.h"
#include "safe_file.h"

namespace pxtool {

namespace {

std::string Join(const std::string& dir, const std::string& path) {
  if (dir.empty() || (!path.empty() && path[0] == '/')) return path;
  return dir.back() == '/' ? dir + path : dir + "/" + path;
}

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

std::string BasicParamsWhy(const BasicParams& params) {
  switch (params.problem) {
    case BasicParamsProblem::kNone: break;
    case BasicParamsProblem::kNoRuntimeSection: return "no [Runtime] section";
    case BasicParamsProblem::kNoLineAfterComments:
      return "no line feed after [Runtime] or its comment lines";
    case BasicParamsProblem::kNoFwPathKey: return "no FWPATH= after [Runtime]";
    case BasicParamsProblem::kFwPathWithoutLineEnd:
      return "the FWPATH= value has no line end";
    case BasicParamsProblem::kEmptyFwPath: return "the FWPATH= value is empty";
    case BasicParamsProblem::kScanPathTooLong:
      return "path " + Quoted(params.overlongPath) +
             " of a package file is longer than " +
             std::to_string(kMaxScanPath) + " characters";
    case BasicParamsProblem::kTooManyFiles:
      return "package directory " + Quoted(params.fwPath) +
             " holds more than " + std::to_string(MAX_PACKAGE_FILES) +
             " files";
    case BasicParamsProblem::kNoMemory: return "out of memory";
  }
  return std::string();
}

// What staging would do with one package file; `dir` is the package
// directory the run's relative paths start from.
PlannedCopy PlanCopy(const std::string& dir, const std::string& name,
                     const std::string& source,
                     const std::string& destination) {
  PlannedCopy copy;
  copy.name = name;
  copy.source = source;
  copy.destination = destination;
  copy.executable = IsExecutableName(destination);
  const std::string src = Join(dir, source), dst = Join(dir, destination);
  PXTool::PXCryptMethod method = PXTool::PXDecrypt;
  unsigned long long plainSize = 0;
  int rc = PXTool::GetPXFileInfo(src.c_str(), method, plainSize);
  copy.action = PlannedCopy::kRefuse;
  if (rc != 0) {
    copy.problem = "cannot be read: ";
    copy.problem += rc != 5 ? strerror(rc)
                    : errno ? strerror(errno)
                            : "not a regular file";
  } else if (method == PXTool::PXEncryptKey3) {
    copy.problem = "method-3 trailer: the codec refuses it";
  } else if (method != PXTool::PXDecrypt && plainSize == 0) {
    copy.problem = "a bare trailer with nothing before it";
  } else if (SameFile(src.c_str(), dst.c_str())) {
    // The package directory is the execution directory: the file is its
    // own copy, which can only be a plain one.
    if (method != PXTool::PXDecrypt)
      copy.problem = "scrambled, and its copy would be the file itself";
    else
      copy.action = PlannedCopy::kCopy;
  } else {
    bool exists = false;
    std::string why = WhyNotOwnFile(dst.c_str(), &exists);
    if (!why.empty()) {
      copy.problem = "staged copy " + Quoted(destination) + " " + why;
    } else if (method == PXTool::PXDecrypt) {
      copy.action = PlannedCopy::kCopy;
    } else {
      copy.action = PlannedCopy::kDecode;
      copy.method = method == PXTool::PXEncryptKey1 ? 1 : 2;
    }
  }
  return copy;
}

// Conditions a judgement noted, by name, in the order of the flags.
std::vector<std::string> NotesOf(const Conditions& c) {
  std::vector<std::string> notes;
  for (const Keyword& k : kKeywords)
    if (k.NotesOwnCondition() && c.noted[k.slot]) notes.push_back(k.note);
  if (c.cmdRet != 0) notes.push_back("failure_" + std::to_string(c.cmdRet));
  return notes;
}

// One return code's judgement: the verdict with the run's conditions, the
// notes from the flags that fire for it alone.
Outcome OutcomeAt(const FlagSet& flags, unsigned int rc,
                  const Conditions& conditions, const JudgeSettings& settings) {
  Conditions carried = conditions, fresh;
  Verdict verdict = Judge(flags, rc, &carried, settings);
  Judge(flags, rc, &fresh, settings);
  Outcome outcome;
  outcome.result = verdict.result;
  outcome.endsProcess = verdict.endsProcess;
  outcome.notes = NotesOf(fresh);
  return outcome;
}

bool SameOutcome(const Outcome& a, const Outcome& b) {
  return a.result == b.result && a.endsProcess == b.endsProcess &&
         a.notes == b.notes;
}

typedef std::pair<unsigned int, unsigned int> Range;  // inclusive

// "rc ..." for the ranges of one outcome, in ascending order.
std::string When(const std::vector<Range>& ranges) {
  const unsigned int kMax = UINT_MAX;
  if (ranges.size() == 1 && ranges[0].first == 0 && ranges[0].second == kMax)
    return "always";
  if (ranges.size() == 2 && ranges[0].first == 0 &&
      ranges[1].second == kMax && ranges[0].second + 2 == ranges[1].first)
    return "rc != " + std::to_string(ranges[0].second + 1);
  if (ranges.size() == 1 && ranges[0].first == 1 && ranges[0].second == kMax)
    return "rc != 0";
  std::vector<std::string> pieces;
  for (const Range& r : ranges) {
    if (r.first == r.second) {
      pieces.push_back(std::to_string(r.first));
    } else if (r.first + 1 == r.second) {
      pieces.push_back(std::to_string(r.first));
      pieces.push_back(std::to_string(r.second));
    } else if (r.second == kMax) {
      pieces.push_back("> " + std::to_string(r.first - 1));
    } else if (r.first == 0) {
      pieces.push_back("< " + std::to_string(r.second + 1));
    } else {
      pieces.push_back(std::to_string(r.first) + ".." +
                       std::to_string(r.second));
    }
  }
  std::string when = "rc ";
  for (size_t i = 0; i < pieces.size(); ++i) {
    if (i > 0) when += i + 1 == pieces.size() ? " or " : ", ";
    when += pieces[i];
  }
  return when;
}

// What every return code leads to. The judgement compares the return code
// with the flags' values and the omit codes only (=, !=, <, >), so it is the
// same all through any range that holds none of them; judging each value,
// its neighbours, 0 and the largest code, and taking each result for the
// codes up to the next one judged, covers every code.
std::vector<Outcome> Outcomes(const FlagSet& flags,
                              const Conditions& conditions,
                              const JudgeSettings& settings) {
  std::vector<unsigned int> values;
  for (int flag = 0; flag < MAX_FLAGS; ++flag)
    if (flags.set[flag] && flag != omit_ret_codes)
      values.push_back(flags.value[flag]);
  if (flags.set[omit_ret_codes])
    for (const OmitCode& code : ReadOmitList(flags.omitList))
      if (code.kind != OmitCodeKind::kOutOfRange) values.push_back(code.value);
  std::vector<unsigned int> points = {0, UINT_MAX};
  for (unsigned int v : values) {
    points.push_back(v);
    if (v > 0) points.push_back(v - 1);
    if (v < UINT_MAX) points.push_back(v + 1);
  }
  std::sort(points.begin(), points.end());
  points.erase(std::unique(points.begin(), points.end()), points.end());

  std::vector<Outcome> outcomes;
  std::vector<std::vector<Range>> ranges;
  for (size_t i = 0; i < points.size(); ++i) {
    Range range(points[i], i + 1 < points.size() ? points[i + 1] - 1 : UINT_MAX);
    Outcome outcome = OutcomeAt(flags, points[i], conditions, settings);
    size_t k = 0;
    while (k < outcomes.size() && !SameOutcome(outcomes[k], outcome)) ++k;
    if (k == outcomes.size()) {
      outcomes.push_back(outcome);
      ranges.emplace_back();
    }
    if (!ranges[k].empty() && ranges[k].back().second + 1 == range.first)
      ranges[k].back().second = range.second;
    else
      ranges[k].push_back(range);
  }
  for (size_t k = 0; k < outcomes.size(); ++k) {
    outcomes[k].when = When(ranges[k]);
    outcomes[k].codes = ranges[k];
  }
  return outcomes;
}

std::string SectionWhy(RunMode mode, const SectionChoice& choice) {
  std::string why = mode == RunMode::kExpert   ? "expert run (-expert)"
                    : mode == RunMode::kUpdate ? "update run (-update)"
                                               : "forced run (the default)";
  if (choice.start) return why + ": " + choice.key;
  why += std::string(": ") + choice.key + " not found";
  if (mode != RunMode::kExpert)
    return why + "; the run ends with the handler error";
  if (choice.UsesFallback())
    return why + "; falls back to [Commands], run as a forced run";
  return why + ", nor [Commands] to fall back to; the run ends with the "
               "handler error";
}

// The preparation a run makes before its section: basic parameters and
// staging. Returns why the run would end there, or an empty text.
std::string Prepare(const PlanInput& in, const char* text, const char* end,
                    Plan* plan) {
  if (in.layout == PlanLayout::kLocal || in.sectionOnly) return std::string();
  std::string workPath = in.packageDir.empty() ? "." : in.packageDir;
  if (in.layout == PlanLayout::kAutonomic) {
    // The run's current directory, absolute, names the package directory.
    if (char* real = realpath(workPath.c_str(), nullptr)) {
      workPath = real;
      free(real);
    }
  }
  BasicParams params =
      ReadBasicParams(text, end, workPath.c_str(),
                      in.layout == PlanLayout::kAutonomic,
                      in.packageDir.empty() ? nullptr : in.packageDir.c_str());
  plan->fwPath = params.fwPath;
  if (params.problem != BasicParamsProblem::kNone)
    return "ERROR " + std::to_string(params.code) +
           " reading basic parameters: " + BasicParamsWhy(params);
  if (in.layout != PlanLayout::kClassic) return std::string();

  size_t slash = in.argFile.rfind('/');
  plan->execPath =
      slash == std::string::npos ? "./" : in.argFile.substr(0, slash);
  std::string failure;
  for (const std::string& name : params.files) {
    StagePaths paths = StagePathsOf(params.fwPath, plan->execPath, name);
    const std::string* longer = paths.TooLong();
    if (failure.empty() && longer != nullptr)
      failure = "path " + Quoted(*longer) + " is longer than " +
                std::to_string(kMaxStagePath) + " characters - nothing staged";
    plan->staging.push_back(
        PlanCopy(in.packageDir, name, paths.source, paths.copy));
  }
  for (const PlannedCopy& copy : plan->staging)
    if (failure.empty() && copy.action == PlannedCopy::kRefuse)
      failure = "staging " + Quoted(copy.source) + " to " +
                Quoted(copy.destination) + " fails: " + copy.problem;
  return failure;
}

// The walk over the section's lines, step by step, as RunCommandSection and
// DoCommandA take them.
class Walker {
 public:
  Walker(const PlanInput& in, Plan* plan, LineMode mode)
      : in_(in), plan_(plan), mode_(mode) {
    settings_.noReboot = plan->noReboot;
    settings_.autonomic = plan->layout == PlanLayout::kAutonomic;
  }

  // Walks the section from its key; `planning` false only counts the
  // marks and finds the resume line.
  void Walk(const char* text, const char* key, const char* end,
            bool planning) {
    planning_ = planning;
    // At most one step per line: room for them at once, so that the steps
    // are never moved (a page of the room is touched only when used).
    if (planning)
      plan_->steps.reserve(static_cast<size_t>(std::count(key, end, '\n')));
    SectionWalk walk(text, key, end);
    for (;;) {
      SectionLine line = walk.Next();
      switch (line.kind) {
        case SectionLine::kNoLines:
          End(PlanEnd::kNoLines, line.number, 0, "the key's line is the last");
          return;
        case SectionLine::kEnd:
          End(PlanEnd::kSectionEnd, line.number, 0, std::string());
          return;
        case SectionLine::kCorrupted:
          End(PlanEnd::kCorrupted, line.number, EXECERROR_HandlerError,
              "corrupted arg file: the text ends before a line feed or "
              "before a line that begins with \"[\"");
          return;
        case SectionLine::kPassedOver:
          if (*line.begin == '1') ++plan_->linesTaken;
          break;
        case SectionLine::kPending:
          Pending(line);
          break;
      }
    }
  }

 private:
  void End(PlanEnd::Kind kind, size_t line, unsigned int result,
           const std::string& why) {
    if (!planning_) return;
    planning_ = false;
    plan_->end = {kind, line, result, why, conditions_.noted[Delayed]};
  }

  // A judged step: what the pending flags make of each return code, and of
  // `assumed`, which the plan takes it to return (0 unless it cannot run);
  // the flags are consumed.
  void Judged(PlanStep* step, bool anyCode, unsigned int assumed = 0) {
    step->judgedByLine = pendingLine_;
    // Lines judged alike (the same flags text, the same conditions) are
    // common; they share one judgement.
    std::string key = ConditionsKey(anyCode) + pendingText_;
    auto known = known_.find(key);
    if (known != known_.end()) {
      step->judgement = known->second;
    } else {
      Judgement judgement;
      judgement.flags = pendingText_;
      if (anyCode) {
        judgement.outcomes = Outcomes(pending_, conditions_, settings_);
      } else {
        Outcome outcome = OutcomeAt(pending_, 0, conditions_, settings_);
        outcome.when = "always";
        outcome.codes.push_back(Range(0, UINT_MAX));
        judgement.outcomes.push_back(outcome);
      }
      step->judgement = plan_->judgements.size();
      plan_->judgements.push_back(std::move(judgement));
      known_.emplace(std::move(key), step->judgement);
    }
    Verdict verdict = Judge(pending_, assumed, &conditions_, settings_);
    step->resultAtZero = verdict.result;
    pending_ = FlagSet();
    pendingText_.clear();
    pendingLine_ = 0;
    plan_->steps.push_back(std::move(*step));
    if (verdict.endsProcess)
      End(PlanEnd::kEndsProcess, plan_->steps.back().line, 0,
          "an omit-list code out of range is reached: the process ends with "
          "exit status 1");
    else if (verdict.result != 0)
      End(PlanEnd::kStops, plan_->steps.back().line,
          static_cast<unsigned int>(verdict.result),
          assumed == 0 ? "its flags stop the run even when it returns 0"
                       : "its flags stop the run on the 127 it returns");
  }

  // What besides the flags text decides a step's outcomes.
  std::string ConditionsKey(bool anyCode) const {
    std::string key(1, anyCode ? '1' : '0');
    for (bool noted : conditions_.noted) key += noted ? '1' : '0';
    return key + std::to_string(conditions_.cmdRet) + ":";
  }

  void Pending(const SectionLine& line) {
    PlanStep step;
    step.line = line.number;
    if (line.size >= kCommandOffset && plan_->resumeLine == 0)
      plan_->resumeLine = line.number;
    if (!planning_) return;
    PendingLine pending =
        ReadPendingLine(line.begin, line.size, in_.options.values, mode_);
    step.why = pending.Why(mode_);
    switch (pending.action) {
      case LineAction::kPassOver:
        step.kind = PlanStep::kShort;
        step.text.assign(line.begin, line.size);
        plan_->steps.push_back(std::move(step));
        return;
      case LineAction::kSkipFlags:
        step.kind = PlanStep::kSkipped;
        step.flagsLine = true;
        step.text = pending.command.toRun;
        plan_->steps.push_back(std::move(step));
        return;
      case LineAction::kTakeFlags:
        step.kind = PlanStep::kFlags;
        step.text = pending.command.toRun;
        pendingText_ = pending.command.FlagsText();
        pending_ = ParseFlags(pendingText_.c_str());
        pendingLine_ = line.number;
        conditions_.cmdRet = 0;
        plan_->steps.push_back(std::move(step));
        return;
      case LineAction::kSkipCommand:
        step.kind = PlanStep::kSkipped;
        step.text = pending.command.toRun;
        Judged(&step, false, pending.CodeJudged(0));
        return;
      case LineAction::kRunCommand:
        // A command the shell cannot be executed with returns 127 (system()
        // reports so), whatever it would return.
        step.kind = PlanStep::kCommand;
        step.text = pending.command.toRun;
        Judged(&step, true, pending.cannotStart ? 127 : 0);
        return;
    }
  }

  const PlanInput& in_;
  Plan* plan_;
  LineMode mode_;
  JudgeSettings settings_;
  bool planning_ = true;
  FlagSet pending_;
  std::string pendingText_;
  size_t pendingLine_ = 0;
  Conditions conditions_;
  std::unordered_map<std::string, size_t> known_;  // key -> judgement
};

}  // namespace

Plan MakePlan(const PlanInput& in) {
  Plan plan;
  plan.layout = in.layout;
  const CmdlineOptions& options = in.options;
  plan.mode = options.expert   ? RunMode::kExpert
              : options.update ? RunMode::kUpdate
                               : RunMode::kForce;
  plan.noReboot = options.noReboot || in.layout != PlanLayout::kClassic;
  plan.sectionKey = SectionKey(plan.mode);

  const char* text = in.text.data();
  const char* end = TextEnd(text, in.text.size());
  if (in.text.empty()) {
    plan.end = {PlanEnd::kHandlerError, 0, EXECERROR_HandlerError,
                "the argument file is empty: a run cannot map it"};
    return plan;
  }
  std::string failure = Prepare(in, text, end, &plan);

  SectionChoice choice = ChooseSection(text, end, plan.mode);
  plan.sectionWhy = SectionWhy(plan.mode, choice);
  const char* start = choice.Start();
  if (start != nullptr) {
    plan.sectionKey = choice.StartKey();
    plan.sectionFound = true;
    plan.fallback = choice.UsesFallback();
    TextPosition position = PositionOf(text, start);
    plan.sectionLine = position.line;
    plan.sectionColumn = position.column;
    if (position.column != 1)
      plan.sectionWhy += " (found inside line " +
                         std::to_string(position.line) +
                         ", not at the start of a line)";
  }

  if (!failure.empty())
    plan.end = {PlanEnd::kHandlerError, 0, EXECERROR_HandlerError, failure};
  else if (start == nullptr)
    plan.end = {PlanEnd::kNotFound, 0, EXECERROR_HandlerError, plan.sectionWhy};
  if (start != nullptr) {
    Walker walker(in, &plan, ModeOfLines(options.force, options.update,
                                          plan.fallback));
    walker.Walk(text, start, end, failure.empty());
  }
  return plan;
}

const char* ModeName(RunMode mode) {
  return mode == RunMode::kExpert   ? "expert"
         : mode == RunMode::kUpdate ? "update"
                                    : "force";
}

const char* StepKindName(PlanStep::Kind kind) {
  switch (kind) {
    case PlanStep::kFlags: return "flags";
    case PlanStep::kCommand: return "command";
    case PlanStep::kSkipped: return "skipped";
    case PlanStep::kShort: return "short";
  }
  return "?";
}

const char* EndKindName(PlanEnd::Kind kind) {
  switch (kind) {
    case PlanEnd::kSectionEnd: return "section_end";
    case PlanEnd::kNoLines: return "no_lines";
    case PlanEnd::kCorrupted: return "corrupted";
    case PlanEnd::kNotFound: return "not_found";
    case PlanEnd::kStops: return "stops";
    case PlanEnd::kEndsProcess: return "ends_process";
    case PlanEnd::kHandlerError: return "handler_error";
  }
  return "?";
}

const char* ActionName(PlannedCopy::Action action) {
  switch (action) {
    case PlannedCopy::kCopy: return "copy";
    case PlannedCopy::kDecode: return "decode";
    case PlannedCopy::kRefuse: return "refuse";
  }
  return "?";
}

const char* VerdictName(const Outcome& outcome, bool autonomic) {
  if (outcome.endsProcess) return "ends_process";
  switch (outcome.result) {
    case 0: return "go_on";
    case 2: return autonomic ? "reboot_suppressed" : "abort";
    case 5: return "reboot";
    case 6: return "reboot_suppressed";
    case 8: return autonomic ? "abort" : "other";
    case 16: return "no_adequate_hardware";
    case 17: return "incorrect_target";
  }
  return "other";
}

}  // namespace pxtool
