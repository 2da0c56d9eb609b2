// pxtool plan: the planner's answers on small packages, and the subcommand
// end to end (text, JSON, nothing written).

#include <nlohmann/json.hpp>

#include "json_samples.h"
#include "planner.h"
#include "test_util.h"

namespace quillon_test {
namespace {

using pxtool::MakePlan;
using pxtool::Plan;
using pxtool::PlanInput;
using pxtool::PlanStep;

std::string Whens(const Plan& plan, size_t step) {
  std::string text;
  for (const pxtool::Outcome& o : plan.JudgementOf(plan.steps.at(step))->outcomes)
    text += o.when + ": " + std::to_string(o.result) + (o.notes.empty() ? "" : " " + o.notes[0]) +
            "; ";
  return text;
}

Plan PlanText(const std::vector<std::string>& lines, const std::vector<std::string>& args,
              pxtool::PlanLayout layout = pxtool::PlanLayout::kLocal) {
  std::vector<std::string> words = {"Quillon", "dir"};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(&w[0]);
  PlanInput in;
  in.text = ArgText(lines);
  in.layout = layout;
  in.sectionOnly = true;
  in.options = ParseCmdline(static_cast<int>(argv.size()), argv.data());
  return MakePlan(in);
}

TEST(PlannerTest, StepsOutcomesAndEnd) {
  Plan plan = PlanText({"[Commands]", "1 000 done", "0 0", "0 000 flag abort_ne 0 omit_ret_codes 3,4;",
                        "0 000 run !{EXTVAR} -pwd secret", "0 000 update flag Reboot",
                        "0 000 flag not_supported_OS 59 abort_gt 1", "0 000 update later",
                        "0 000 flag reboot_eq 7 no_adequate_HW 16 abort_ne 0", "0 000 last", "[End]"},
                       {"-external-variable", " \"v\" "}, pxtool::PlanLayout::kClassic);
  EXPECT_EQ(1u, plan.linesTaken);
  EXPECT_EQ(4u, plan.resumeLine);  // the short line 3 is not taken up
  ASSERT_EQ(8u, plan.steps.size());
  EXPECT_EQ(PlanStep::kShort, plan.steps[0].kind);
  EXPECT_EQ("abort_ne 0 omit_ret_codes 3,4;", plan.steps[1].FlagsText());
  EXPECT_EQ("run v -pwd secret", plan.steps[2].text);  // masked only when shown
  EXPECT_EQ("rc 0, 3 or 4: 0; rc 1, 2 or > 4: 2; ", Whens(plan, 2));
  // A flags line of the other mode leaves the pending flags alone; a
  // skipped command is judged against 0 and consumes them.
  EXPECT_TRUE(plan.steps[3].flagsLine);
  EXPECT_EQ(PlanStep::kSkipped, plan.steps[5].kind);
  EXPECT_EQ("always: 0; ", Whens(plan, 5));
  EXPECT_EQ(7u, plan.steps[5].judgedByLine);
  // Classic without -n may reboot; 16 comes from no_adequate_HW.
  EXPECT_EQ("rc 0: 0; rc 1..6, 8..15 or > 16: 2; rc 7: 5; rc 16: 16 no_adequate_hw; ",
            Whens(plan, 7));
  EXPECT_EQ(pxtool::PlanEnd::kSectionEnd, plan.end.kind);
  EXPECT_EQ(11u, plan.end.line);
}

TEST(PlannerTest, ModesFallbackAndStops) {
  const std::vector<std::string> lines = {"[Commands]", "0 000 flag Reboot", "0 000 force a",
                                          "0 000 b", "[End]"};
  Plan forced = PlanText(lines, {});  // local: reboots suppressed
  ASSERT_EQ(2u, forced.steps.size());
  EXPECT_EQ("always: 6; ", Whens(forced, 1));
  EXPECT_EQ(pxtool::PlanEnd::kStops, forced.end.kind);
  EXPECT_EQ(3u, forced.end.line);
  EXPECT_EQ(6u, forced.end.result);

  Plan classic = PlanText(lines, {"-expert"}, pxtool::PlanLayout::kClassic);
  EXPECT_TRUE(classic.fallback);
  EXPECT_EQ(PlanStep::kCommand, classic.steps[1].kind);  // run as a forced run
  EXPECT_EQ("always: 5; ", Whens(classic, 1));

  Plan update = PlanText(lines, {"-update", "autonomic"}, pxtool::PlanLayout::kAutonomic);
  EXPECT_FALSE(update.sectionFound);
  EXPECT_EQ(pxtool::PlanEnd::kNotFound, update.end.kind);
  Plan autonomic = PlanText(lines, {"autonomic"}, pxtool::PlanLayout::kAutonomic);
  EXPECT_EQ("always: 2; ", Whens(autonomic, 1));  // reboot, translated

  // A command the shell cannot be executed with returns 127, judged so.
  for (size_t length : {131071u, 131072u})
    EXPECT_EQ(length > 131071 ? 2u : 0u,
              PlanText({"[Commands]", "0 000 flag abort_ne 0", "0 000 " + std::string(length, 'x'),
                        "[End]"}, {}).end.result);

  Plan corrupted = PlanText({"[Commands]", "0 000 a"}, {});
  EXPECT_EQ(pxtool::PlanEnd::kCorrupted, corrupted.end.kind);
  EXPECT_EQ(1u, corrupted.steps.size());
}

class PlanCliTest : public testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::copy(std::string(QUILLON_SOURCE_DIR) + "/examples/hello", pkg_,
                          std::filesystem::copy_options::recursive);
  }
  int Run(const std::vector<std::string>& args) {
    ProgramOptions options;
    options.cwd = dir_.path();
    std::vector<std::string> argv = {"plan"};
    argv.insert(argv.end(), args.begin(), args.end());
    r_ = RunProgram(std::string(QUILLON_BIN_DIR) + "/pxtool", argv, options);
    return r_.exit_status;
  }
  // Every path below the package with its size and modification time.
  std::string Listing() {
    std::string text;
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir_.path())) {
      struct stat st;
      lstat(e.path().c_str(), &st);
      text += e.path().string() + " " + std::to_string(st.st_size) + " " +
              std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec) + "\n";
    }
    return text;
  }
  ScopedTempDir dir_;
  std::string pkg_ = dir_ / "hello";
  ProgramResult r_;
};

TEST_F(PlanCliTest, ExampleWritesNothing) {
  chmod((pkg_ + "/pkg/px.arg").c_str(), 0444);  // read, never opened for writing
  std::string before = Listing();
  ASSERT_EQ(0, Run({"hello", "--format", "json", "-external-variable", "x"})) << r_.err;
  EXPECT_EQ(before, Listing());
  nlohmann::ordered_json j = quillon_test::ParsePxtoolJson<nlohmann::ordered_json>(r_.out);
  EXPECT_EQ("schema", j.begin().key());
  EXPECT_EQ("pkg/px.arg", j["argument_file"]);
  EXPECT_EQ(5, j["resume_line"]);
  EXPECT_EQ("decode", j["staging"][1]["action"]);
  EXPECT_EQ(1, j["staging"][1]["method"]);
  EXPECT_EQ("sh install.sh x", j["steps"][3]["text"]);
  EXPECT_EQ("rc != 0", j["steps"][1]["outcomes"][1]["when"]);
  EXPECT_EQ("abort", j["steps"][1]["outcomes"][1]["verdict"]);
  EXPECT_EQ("section_end", j["end"]["kind"]);
  EXPECT_TRUE(j["end"]["delayed_reboot"].get<bool>());

  ASSERT_EQ(0, Run({"hello", "-n"}));
  EXPECT_TRUE(Contains(r_.out, "rc != 0: abort (2)"));
  EXPECT_EQ(before, Listing());
}

// Quillon's own words keep their single dash, anywhere among pxtool's
// options, and a value word takes the next word whatever it is, as the run
// reads them.
TEST_F(PlanCliTest, RunWordsAsTheRunReadsThem) {
  ASSERT_EQ(0, Run({"-expert", "hello", "--format=json", "-update", "-n",
                    "-external-variable", "-force"}))
      << r_.err;
  nlohmann::json j = nlohmann::json::parse(r_.out);
  EXPECT_EQ("update", j["mode"]);
  EXPECT_EQ("sh install.sh update", j["steps"][1]["text"]);
  ASSERT_EQ(0, Run({"hello", "--format", "json", "-external-variable", "--format"})) << r_.err;
  EXPECT_EQ("sh install.sh --format", nlohmann::json::parse(r_.out)["steps"][3]["text"]);
  ASSERT_EQ(0, Run({"hello", "autonomic", "-force"}));
  EXPECT_TRUE(Contains(r_.out, "Mode:      force, autonomic"));
}

TEST_F(PlanCliTest, RefusedStagingAndBadInput) {
  WriteFile(pkg_ + "/files/old.bin", "abc#MIRA_DOV#");  // method 3
  ASSERT_EQ(0, Run({"hello", "pkg/px.arg", "--format=json"}));
  nlohmann::json j = quillon_test::ParsePxtoolJson(r_.out);
  EXPECT_EQ("refuse", j["staging"][0]["action"]);  // old.bin, copied first
  EXPECT_EQ("handler_error", j["end"]["kind"]);
  EXPECT_EQ(0x22030003, j["end"]["result"]);
  EXPECT_TRUE(j["steps"].empty());

  EXPECT_EQ(1, Run({"missing"}));
  EXPECT_TRUE(Contains(r_.err, "missing"));
  for (std::vector<std::string> usage : std::vector<std::vector<std::string>>{
           {}, {"hello", "-updte"}, {"hello", "--format", "xml"}})
    EXPECT_EQ(2, Run(usage));
}

}  // namespace
}  // namespace quillon_test
