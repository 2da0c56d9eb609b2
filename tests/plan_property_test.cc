// The plan holds the tools to the run: for every argument file of the fuzz
// corpus and for generated ones, MakePlan predicts exactly the commands a
// run hands to its shell, in order and with their text, and how the run
// ends; and with a shell that fails one command with a chosen return code,
// what the run makes of it is what the plan's outcomes say for that code.

#include <dirent.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <random>

#include "../fuzz/fuzz_support.h"  // HasOverlongNumber
#include "command_runner.h"
#include "planner.h"
#include "reboot.h"
#include "test_util.h"

namespace quillon_test {
namespace {

using pxtool::MakePlan;
using pxtool::Plan;
using pxtool::PlanInput;
using pxtool::PlanStep;

// How the run is started, as the fuzz target's control byte says.
struct Switches {
  RunMode mode = RunMode::kForce;
  bool autonomic = false, noReboot = false;
  bool option = false, reset = false, parameter = false;
};

Switches FromControlByte(uint8_t bits) {
  Switches s;
  s.mode = (bits & 3) == 1 ? RunMode::kUpdate
           : (bits & 3) == 2 ? RunMode::kExpert
                             : RunMode::kForce;
  s.autonomic = (bits & 4) != 0;
  s.noReboot = (bits & 8) != 0 || s.autonomic;  // autonomic implies it
  s.option = (bits & 16) != 0;
  s.reset = (bits & 32) != 0;
  s.parameter = (bits & 64) != 0;
  return s;
}

const std::string kOption(EXTERNAL_OPTION_SIZE - 1, 'O'),
    kReset(EXTERNAL_RESET_SIZE - 1, 'R'),
    kParameter(EXTERNAL_PARAMETER_SIZE - 1, 'P');
const char kRebootRequest[] = "/bin/true  0 \"Reboot for a Firmware flash\"";

// Answers `rc` to the command numbered `failing` (from 0), 0 to every other
// one, and records the commands; reboot requests are left out.
class ScriptedShell : public Shell {
 public:
  int System(const char* command, const sigset_t&) override {
    if (strcmp(command, kRebootRequest) == 0) return 0;
    commands.push_back(command);
    if (commands.size() - 1 == failing) return static_cast<int>(rc << 8);
    return strlen(command) > kLongestCommand ? 127 << 8 : 0;  // as the real shell
  }
  std::vector<std::string> commands;
  size_t failing = SIZE_MAX;
  unsigned int rc = 0;
};

struct RunResult {
  std::vector<std::string> commands;
  bool raised = false;
  unsigned int result = 0;
  size_t lastMarkedLine = 0;  // the last line the run marked "1"
};

class PlanPropertyTest : public QuillonTest {
 protected:
  void SetUp() override {
    QuillonTest::SetUp();
    savedReboot_ = pRebootProgram;
    pRebootProgram = "/bin/true";
  }
  void TearDown() override {
    pRebootProgram = savedReboot_;
    QuillonTest::TearDown();
  }

  // A run over `text` in-process, as run.cc does it, with the shell.
  RunResult RunInProcess(const std::string& text, const Switches& s,
                         ScriptedShell* shell) {
    ResetRunGlobals();
    force = s.mode == RunMode::kForce;
    update = s.mode == RunMode::kUpdate;
    expert = s.mode == RunMode::kExpert;
    autonomic = s.autonomic;
    agt_no_reboot = s.noReboot;
    externalOption = s.option;
    reset = s.reset;
    externalParameter = s.parameter;
    memcpy(externalOptionBuffer, kOption.c_str(), kOption.size() + 1);
    memcpy(externalResetBuffer, kReset.c_str(), kReset.size() + 1);
    memcpy(externalParameterBuffer, kParameter.c_str(), kParameter.size() + 1);
    SetShell(shell);

    std::unique_ptr<char[]> buffer(new char[text.size() + 1]);
    memcpy(buffer.get(), text.data(), text.size());
    char* end = const_cast<char*>(TextEnd(buffer.get(), text.size()));
    RunResult r;
    try {
      const char* start = EnterCommandSection(buffer.get(), end);
      r.result = RunCommandSection(const_cast<char*>(start), end,
                                   SectionContext{nullptr, nullptr, "/t"});
    } catch (unsigned int code) {
      r.raised = true;
      r.result = code;
    }
    SetShell(nullptr);
    r.commands = shell->commands;
    size_t line = 1;
    for (size_t i = 0; i < text.size(); ++i) {
      if ((i == 0 || text[i - 1] == '\n') && text[i] == '0' && buffer[i] == '1')
        r.lastMarkedLine = line;
      if (text[i] == '\n') ++line;
    }
    ResetRunGlobals();
    return r;
  }

  static Plan PlanOf(const std::string& text, const Switches& s) {
    PlanInput in;
    in.text = text;
    in.sectionOnly = true;
    in.layout = s.autonomic ? pxtool::PlanLayout::kAutonomic
                            : pxtool::PlanLayout::kClassic;
    in.options.force = s.mode == RunMode::kForce;
    in.options.update = s.mode == RunMode::kUpdate;
    in.options.expert = s.mode == RunMode::kExpert;
    in.options.noReboot = s.noReboot;
    in.options.values.option = s.option;
    in.options.values.reset = s.reset;
    in.options.values.parameter = s.parameter;
    in.options.values.optionValue = kOption;
    in.options.values.resetValue = kReset;
    in.options.values.parameterValue = kParameter;
    return MakePlan(in);
  }

  static int ResultFor(const Plan& plan, const PlanStep& step, unsigned int rc) {
    for (const pxtool::Outcome& o : plan.JudgementOf(step)->outcomes)
      for (const auto& range : o.codes)
        if (range.first <= rc && rc <= range.second) return o.result;
    ADD_FAILURE() << "no outcome of line " << step.line << " covers rc " << rc;
    return -1;
  }

  // Return codes worth trying on a step: a few fixed ones, and the numbers
  // of its flags text and their neighbours (a run's codes are 0 to 255).
  static std::vector<unsigned int> CodesToTry(const std::string& f) {
    std::vector<unsigned int> codes = {1, 2, 3, 16, 59, 255};
    for (size_t i = 0; i < f.size();) {
      if (!isdigit(static_cast<unsigned char>(f[i]))) {
        ++i;
        continue;
      }
      size_t j = i;
      while (j < f.size() && isdigit(static_cast<unsigned char>(f[j]))) ++j;
      if (j - i <= 3) {
        unsigned int v = static_cast<unsigned int>(std::stoul(f.substr(i, j - i)));
        for (unsigned int c : {v - 1, v, v + 1})
          if (c >= 1 && c <= 255) codes.push_back(c);
      }
      i = j;
    }
    std::sort(codes.begin(), codes.end());
    codes.erase(std::unique(codes.begin(), codes.end()), codes.end());
    return codes;
  }

  // Checks one argument file in one way of starting the run; returns the
  // number of runs made.
  size_t Check(const std::string& text, const Switches& s, const std::string& name) {
    SCOPED_TRACE(name);
    Plan plan = PlanOf(text, s);
    std::vector<const PlanStep*> commands;
    for (const PlanStep& step : plan.steps)
      if (step.kind == PlanStep::kCommand) commands.push_back(&step);

    // (a) Every command returns 0: the same commands, the same end.
    ScriptedShell zero;
    RunResult run = RunInProcess(text, s, &zero);
    std::vector<std::string> planned;
    for (const PlanStep* step : commands) planned.push_back(step->text);
    EXPECT_EQ(planned, run.commands);
    const auto kind = plan.end.kind;
    if (run.raised) {
      EXPECT_TRUE(kind == pxtool::PlanEnd::kCorrupted || kind == pxtool::PlanEnd::kNotFound ||
                  kind == pxtool::PlanEnd::kHandlerError)
          << pxtool::EndKindName(kind);
    } else {
      EXPECT_TRUE(kind == pxtool::PlanEnd::kSectionEnd || kind == pxtool::PlanEnd::kNoLines ||
                  kind == pxtool::PlanEnd::kStops)
          << pxtool::EndKindName(kind);
    }
    EXPECT_EQ(run.result, plan.end.result);
    if (HasFailure()) return 1;

    // (b) The k-th command fails with rc: the run's verdict on it is the
    // plan's outcome for rc (0 when the run went on past it).
    size_t runs = 1;
    for (size_t k = 0; k < commands.size() && k < 6; ++k) {
      const std::string& judgedBy = plan.JudgementOf(*commands[k])->flags;
      for (unsigned int rc : CodesToTry(judgedBy)) {
        ScriptedShell failing;
        failing.failing = k;
        failing.rc = rc;
        RunResult r = RunInProcess(text, s, &failing);
        ++runs;
        int expected = ResultFor(plan, *commands[k], rc);
        bool stoppedThere = r.lastMarkedLine == commands[k]->line && !r.raised;
        EXPECT_EQ(expected, stoppedThere ? static_cast<int>(r.result) : 0)
            << "line " << commands[k]->line << " rc " << rc << " judged by \""
            << judgedBy << "\"";
        if (HasFailure()) return runs;
      }
    }
    return runs;
  }

  const char* savedReboot_ = nullptr;
};

TEST_F(PlanPropertyTest, FuzzCorpusRunsAsPlanned) {
  const std::string dir = std::string(QUILLON_SOURCE_DIR) + "/fuzz/corpus/arg_file_fuzz";
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (struct dirent* e = readdir(d))
      if (e->d_name[0] != '.') names.push_back(e->d_name);
    closedir(d);
  }
  ASSERT_GE(names.size(), 10u);
  for (const std::string& name : names) {
    std::string input = ReadFile(dir + "/" + name);
    if (input.size() < 3) continue;
    std::string text = input.substr(3);
    // A code out of range ends the process by design: not runnable here.
    if (quillon_fuzz::HasOverlongNumber(text)) continue;
    Check(text, FromControlByte(static_cast<uint8_t>(input[0])), name);
    if (HasFailure()) return;
  }
}

// Argument files made of the pieces that change what a run does: sections
// and keys in comments, flags lines with random flags, values and omit
// lists, mode prefixes, placeholders, passwords, short lines, marked lines,
// comments, bare line feeds and missing section ends.
std::string GenerateArgFile(std::mt19937* random) {
  auto pick = [&](size_t n) { return static_cast<size_t>((*random)() % n); };
  const char* const keys[] = {"[Commands]", "[UpdCommands]", "[ExpCommands]"};
  const char* const prefixes[] = {"", "", "", "force ", "update ", "forced", "updater "};
  std::string text = "[Runtime]\r\nFWPATH=files\r\n";
  if (pick(6) == 0) text += "# old " + std::string(keys[pick(3)]) + "\r\n";
  size_t sections = 1 + pick(3);
  for (size_t s = 0; s < sections; ++s) {
    text += std::string(keys[pick(3)]) + "\r\n";
    size_t lines = pick(14);
    for (size_t l = 0; l < lines; ++l) {
      std::string line;
      switch (pick(10)) {
        case 0: case 1: case 2: {  // a flags line
          line = "0 000 " + std::string(prefixes[pick(7)]) + "flag";
          // Half of the flags from those that decide verdicts or turn them.
          const int verdictFlags[] = {abort_ne, abort_eq, abort_gt, abort_lt, Reboot,
                                      reboot_ne, reboot_gt, omit_update_eq, omit_ret_codes,
                                      incorrect_target_system, not_omit_flags,
                                      extraction_fail, not_supported_OS, no_adequate_HW};
          size_t flags = pick(5);
          for (size_t f = 0; f < flags; ++f) {
            int flag = pick(2) ? verdictFlags[pick(14)] : static_cast<int>(pick(MAX_FLAGS));
            if (flag == omit_ret_codes) {
              line += " omit_ret_codes ";
              size_t codes = 1 + pick(3);
              for (size_t c = 0; c < codes; ++c)
                line += (c ? "," : "") + std::to_string(pick(6));
              if (pick(3)) line += ";";
            } else {
              line += std::string(" ") + flag_name[flag];
              if (IsNumberFlag(flag))
                line += (pick(8) == 0 ? "=" : " ") + std::to_string(pick(6));
            }
          }
          break;
        }
        case 3: case 4: case 5: case 6: {  // a command
          line = "0 000 " + std::string(prefixes[pick(7)]) + "cmd" + std::to_string(l);
          if (pick(4) == 0) line += " !{EXTVAR}";
          if (pick(5) == 0) line += " !{RESET}!{PARAM}";
          if (pick(6) == 0) line += " -pwd secret";
          break;
        }
        case 7: line = pick(2) ? "0 0" : "0"; break;  // short
        case 8: line = "1 000 done" + std::to_string(l); break;
        default: line = pick(2) ? "# comment" : ""; break;
      }
      text += line + (pick(40) == 0 ? "\n" : "\r\n");
    }
  }
  if (pick(8) != 0) text += "[End]\r\n";
  return text;
}

TEST_F(PlanPropertyTest, GeneratedFilesRunAsPlanned) {
  std::mt19937 random(20240222);
  size_t runs = 0;
  for (int i = 0; i < 400; ++i) {
    std::string text = GenerateArgFile(&random);
    runs += Check(text, FromControlByte(static_cast<uint8_t>(random())),
                  "generated file " + std::to_string(i) + ":\n" + text);
    if (HasFailure()) return;
  }
  EXPECT_GT(runs, 2000u);  // the failing runs are really made
}

}  // namespace
}  // namespace quillon_test
