// pxtool plan PACKAGE_DIR [ARGUMENT_FILE] [options] [--format text|json]:
// what a run would do, without doing any of it (see planner.h). The
// argument file is read, never opened for writing; nothing is written but
// standard output.

#include <string.h>

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "package_files.h"
#include "planner.h"
#include "pxtool.h"

namespace pxtool {

namespace {

// Fields in the order written: "schema" and "schema_version" first.
using json = nlohmann::ordered_json;

const char* LayoutName(PlanLayout layout) {
  return layout == PlanLayout::kClassic     ? "classic"
         : layout == PlanLayout::kAutonomic ? "autonomic"
                                            : "local";
}

std::string VerdictText(const Outcome& outcome, bool autonomic) {
  std::string name = VerdictName(outcome, autonomic);
  for (char& c : name)
    if (c == '_') c = ' ';
  if (outcome.endsProcess) return "the process ends (exit status 1)";
  std::string text = name + " (" + std::to_string(outcome.result) + ")";
  if (!outcome.notes.empty()) {
    text += ", notes";
    for (const std::string& note : outcome.notes) text += " " + note;
  }
  return text;
}

json NullOr(size_t line) { return line == 0 ? json(nullptr) : json(line); }
json NullOr(const std::string& text) {
  return text.empty() ? json(nullptr) : json(text);
}

// The plan's fields before "steps".
json HeadJson(const Plan& plan, const PackageLocation& where) {
  json j;
  j["schema"] = "pxtool.plan";
  j["schema_version"] = 1;
  j["package_dir"] = where.dir;
  j["argument_file"] = where.argFile;
  j["layout"] = LayoutName(plan.layout);
  j["mode"] = ModeName(plan.mode);
  j["no_reboot"] = plan.noReboot;
  j["section"] = {{"key", plan.sectionKey},
                  {"found", plan.sectionFound},
                  {"line", NullOr(plan.sectionLine)},
                  {"column", NullOr(plan.sectionColumn)},
                  {"fallback", plan.fallback},
                  {"why", plan.sectionWhy}};
  j["lines_taken"] = plan.linesTaken;
  j["resume_line"] = NullOr(plan.resumeLine);
  json staging = json::array();
  for (const PlannedCopy& c : plan.staging)
    staging.push_back({{"name", c.name},
                       {"source", c.source},
                       {"destination", c.destination},
                       {"action", ActionName(c.action)},
                       {"method", c.action == PlannedCopy::kDecode
                                      ? json(c.method)
                                      : json(nullptr)},
                       {"mode", c.executable ? "0700" : "0600"},
                       {"problem", NullOr(c.problem)}});
  j["staging"] = staging;
  return j;
}

json StepJson(const Plan& plan, const PlanStep& s) {
  bool autonomic = plan.layout == PlanLayout::kAutonomic;
  json step = {{"line", s.line},
               {"kind", StepKindName(s.kind)},
               {"text", MaskPassword(s.text)}};
  if (s.kind == PlanStep::kFlags) step["flags"] = MaskPassword(s.FlagsText());
  if (s.kind == PlanStep::kSkipped || s.kind == PlanStep::kShort || *s.why)
    step["why"] = s.why;
  if (s.kind == PlanStep::kSkipped) step["flags_line"] = s.flagsLine;
  if (s.kind == PlanStep::kCommand || s.kind == PlanStep::kSkipped) {
    const Judgement* judgement = plan.JudgementOf(s);
    step["judged_by"] = judgement && s.judgedByLine
                            ? json(MaskPassword(judgement->flags))
                            : json(nullptr);
    step["judged_by_line"] = NullOr(s.judgedByLine);
    json outcomes = json::array();
    if (judgement)
      for (const Outcome& o : judgement->outcomes)
        outcomes.push_back(
            {{"when", o.when},
             {"verdict", VerdictName(o, autonomic)},
             {"result", o.endsProcess ? json(nullptr) : json(o.result)},
             {"codes", o.codes},
             {"notes", o.notes}});
    step["outcomes"] = outcomes;
  }
  return step;
}

json EndJson(const PlanEnd& e) {
  return {{"kind", EndKindName(e.kind)},
          {"line", NullOr(e.line)},
          {"result", e.kind == PlanEnd::kEndsProcess ? json(nullptr)
                                                     : json(e.result)},
          {"why", NullOr(e.why)},
          {"delayed_reboot", e.delayedReboot}};
}

// `value` as indented JSON, its lines after the first indented by
// `indent` more (invalid UTF-8 written as U+FFFD).
void PrintJsonValue(const json& value, const char* indent) {
  std::string text = value.dump(2, ' ', false, json::error_handler_t::replace);
  std::string out;
  out.reserve(text.size() + text.size() / 8);
  for (char c : text) {
    out += c;
    if (c == '\n') out += indent;
  }
  fwrite(out.data(), 1, out.size(), stdout);
}

// The plan as one JSON object, written a step at a time: a file of many
// lines never needs its whole document in memory.
void PrintJson(const Plan& plan, const PackageLocation& where) {
  std::string head =
      HeadJson(plan, where).dump(2, ' ', false, json::error_handler_t::replace);
  head.erase(head.size() - 2);  // "\n}": the object goes on
  fwrite(head.data(), 1, head.size(), stdout);
  printf(",\n  \"steps\": [");
  for (size_t i = 0; i < plan.steps.size(); ++i) {
    printf(i == 0 ? "\n    " : ",\n    ");
    PrintJsonValue(StepJson(plan, plan.steps[i]), "    ");
  }
  printf(plan.steps.empty() ? "],\n  \"end\": " : "\n  ],\n  \"end\": ");
  PrintJsonValue(EndJson(plan.end), "  ");
  printf("\n}\n");
}

void PrintText(const Plan& plan, const PackageLocation& where) {
  bool autonomic = plan.layout == PlanLayout::kAutonomic;
  printf("Package:   %s, argument file %s (%s layout)\n", where.dir.c_str(),
         where.argFile.c_str(), LayoutName(plan.layout));
  printf("Mode:      %s%s\n", ModeName(plan.mode),
         autonomic        ? ", autonomic: results translated, no reboot"
         : plan.noReboot ? ", reboots suppressed"
                          : ", may reboot");
  if (plan.sectionFound)
    printf("Section:   %s at line %zu: %s\n", plan.sectionKey,
           plan.sectionLine, plan.sectionWhy.c_str());
  else
    printf("Section:   %s\n", plan.sectionWhy.c_str());
  printf("Progress:  %zu line%s already taken; ", plan.linesTaken,
         plan.linesTaken == 1 ? "" : "s");
  if (plan.resumeLine)
    printf("a run starts at line %zu\n", plan.resumeLine);
  else
    printf("nothing pending\n");
  for (size_t i = 0; i < plan.staging.size(); ++i) {
    const PlannedCopy& c = plan.staging[i];
    printf("%s%s -> %s: %s", i == 0 ? "Staging:   " : "           ",
           c.source.c_str(), c.destination.c_str(), ActionName(c.action));
    if (c.action == PlannedCopy::kDecode) printf(" (method %d)", c.method);
    if (c.action == PlannedCopy::kRefuse) printf(" (%s)", c.problem.c_str());
    if (c.executable) printf(", mode 0700");
    printf("\n");
  }
  if (!plan.steps.empty()) printf("Steps:\n");
  for (const PlanStep& s : plan.steps) {
    printf("  line %-5zu %-8s %s\n", s.line, StepKindName(s.kind),
           MaskPassword(s.text).c_str());
    if (*s.why) printf("%22s%s\n", "", s.why);
    if (s.kind != PlanStep::kCommand &&
        !(s.kind == PlanStep::kSkipped && !s.flagsLine))
      continue;
    const Judgement* judgement = plan.JudgementOf(s);
    if (judgement == nullptr) continue;
    if (s.judgedByLine)
      printf("%22sjudged by line %zu: %s\n", "", s.judgedByLine,
             MaskPassword(judgement->flags).c_str());
    else
      printf("%22sno flags pending\n", "");
    for (const Outcome& o : judgement->outcomes)
      printf("%22s%s: %s\n", "", o.when.c_str(),
             VerdictText(o, autonomic).c_str());
  }
  const PlanEnd& e = plan.end;
  printf("End:       %s", EndKindName(e.kind));
  if (e.line) printf(" at line %zu", e.line);
  if (e.kind != PlanEnd::kEndsProcess)
    printf(", run result %u (0x%X)", e.result, e.result);
  if (!e.why.empty()) printf(": %s", e.why.c_str());
  if (e.delayedReboot) printf("; a delayed reboot is due");
  printf("\n");
  if (e.kind == PlanEnd::kSectionEnd || e.kind == PlanEnd::kNoLines ||
      e.kind == PlanEnd::kStops)
    printf("(assuming every command returns 0)\n");
}

}  // namespace

// The run's own words (Option::kRunWord in the table of commands) come
// apart from pxtool's options, exactly as written and in their order, and
// go to ParseCmdline as the run would read them.
int RunPlan(const CommandLine& line) {
  const char* format = line.Last("format");
  bool asJson = format != nullptr && !strcmp(format, "json");
  const std::vector<std::string>& options = line.runWords();
  bool autonomic = false;
  for (size_t i = 0; i < options.size(); ++i) {
    autonomic = autonomic || options[i] == "autonomic" || options[i] == "kbxmode";
    // A value is passed over: "-reset autonomic" is no mode.
    if (options[i] == "-external-variable" || options[i] == "-reset" ||
        options[i] == "-external-parameter")
      ++i;
  }

  PackageLocation where;
  std::string error;
  PlanInput input;
  int rc = LocateNamedPackage(line, PackageOperands::kRequired, &where, &error);
  if (rc == kExitUsage) return rc;
  if (rc != kExitSuccess ||
      !ReadPackageFile(where.ArgPath(), kMaxArgumentFileSize, where.dir, &input.text, &error))
    return Fail("%s", error.c_str());
  input.packageDir = where.dir;
  input.argFile = where.argFile;
  // Quillon <dir> <argfile> is the classic layout; so is an argument file
  // found below the package directory. px.arg in the directory itself is
  // the local one.
  bool classic = line.operands().size() > 1 || where.argFile.find('/') != std::string::npos;
  input.layout = autonomic ? PlanLayout::kAutonomic
                 : classic ? PlanLayout::kClassic
                           : PlanLayout::kLocal;
  // The options as the run would see its command line.
  std::vector<std::string> words = {"Quillon", where.dir};
  if (input.layout == PlanLayout::kClassic) words.push_back(where.argFile);
  words.insert(words.end(), options.begin(), options.end());
  std::vector<char*> args;
  for (std::string& w : words) args.push_back(&w[0]);
  input.options = ParseCmdline(static_cast<int>(args.size()), args.data());

  Plan plan = MakePlan(input);
  if (asJson)
    PrintJson(plan, where);
  else
    PrintText(plan, where);
  return kExitSuccess;
}

}  // namespace pxtool
