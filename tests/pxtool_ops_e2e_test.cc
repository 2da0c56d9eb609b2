// pxtool status, report and reset against real runs of the binary: a run
// that finished, one aborted by its flags, one that asked for a reboot, one
// killed with SIGKILL while its command ran, and one running while status is
// polled beside it.

#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "json_samples.h"
#include "test_util.h"

namespace quillon_test {
namespace {

using Json = nlohmann::json;

const std::string kBin = QUILLON_BIN_DIR;
// The test builds: their run locks are in QUILLON_RUN_LOCK_DIR (run_lock_test.cc).
const std::string kPxtool = kBin + "/pxtool_testbuild";
const std::string kQuillon = kBin + "/Quillon_fakereboot";

// A command that records its process group (its shell's pid) and then waits
// until the test creates "release" beside it.
const std::string kWaitingCommand =
    "0 000 sh -c \"echo $$ > started; while [ ! -e release ]; do sleep 0.02; done\"";

class PxtoolOpsTest : public testing::Test {
 protected:
  // The classic layout of examples/hello, with `lines` as [Commands] (the
  // example's own argument file when empty).
  void MakePackage(const std::vector<std::string>& lines = {}) {
    std::filesystem::copy(std::string(QUILLON_SOURCE_DIR) + "/examples/hello", pkg_,
                          std::filesystem::copy_options::recursive);
    if (!lines.empty()) {
      std::vector<std::string> all = {"[Runtime]", "FWPATH=files", "[Commands]"};
      all.insert(all.end(), lines.begin(), lines.end());
      all.push_back("[End]");
      WriteFile(ArgPath(), ArgText(all));
    }
  }
  std::string ArgPath() const { return pkg_ + "/pkg/px.arg"; }

  int RunQuillon(const std::vector<std::string>& options = {}) {
    std::vector<std::string> args = {pkg_, "pkg/px.arg"};
    args.insert(args.end(), options.begin(), options.end());
    return RunProgram(kQuillon, args, Options()).exit_status;
  }
  ProgramOptions Options() const {
    ProgramOptions options;
    options.cwd = dir_.path();
    return options;
  }
  // Starts Quillon without waiting; returns its pid once its command runs.
  pid_t StartQuillon() {
    pid_t pid = fork();
    if (pid == 0) {
      int null = open("/dev/null", O_RDWR);
      dup2(null, 0), dup2(null, 1), dup2(null, 2);
      if (chdir(dir_.path().c_str()) == 0)
        execl(kQuillon.c_str(), "Quillon", pkg_.c_str(), "pkg/px.arg",
              static_cast<char*>(nullptr));
      _exit(127);
    }
    for (int i = 0; i < 1000 && ReadFile(pkg_ + "/pkg/started").empty(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return pid;
  }
  int Wait(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
  }
  ProgramResult Pxtool(const std::vector<std::string>& args) {
    return RunProgram(kPxtool, args, Options());
  }
  Json StatusJson(int* exit_status = nullptr) {
    ProgramResult r = Pxtool({"status", pkg_, "--format", "json"});
    if (exit_status) *exit_status = r.exit_status;
    return ParsePxtoolJson(r.out);
  }
  Json ReportJson() {
    return ParsePxtoolJson(Pxtool({"report", pkg_, "--format", "json"}).out);
  }

  ScopedTempDir dir_;
  const std::string pkg_ = dir_.path() + "/pkg_dir";
};

TEST_F(PxtoolOpsTest, FinishedRunThenReset) {
  MakePackage();
  const std::string original = ReadFile(ArgPath());
  ASSERT_EQ(6, Pxtool({"status", pkg_}).exit_status);  // not started
  ASSERT_EQ(0, RunQuillon());

  int exit_status = -1;
  Json s = StatusJson(&exit_status);
  EXPECT_EQ(0, exit_status);
  EXPECT_EQ("finished", s["state"]);
  EXPECT_EQ(true, s["success"]);
  EXPECT_EQ(true, s["reboot_required"]);
  EXPECT_EQ("0x100000", s["final_code"]["hex"]);
  EXPECT_EQ(true, s["final_code"]["delayed_reboot"]);
  EXPECT_EQ(pkg_ + "/pkg/HandlerStatus.txt", s["status_file"]["path"]);
  EXPECT_EQ(6, s["progress"]["lines_taken"]);
  EXPECT_EQ(10, s["progress"]["last_command"]["line"]);
  EXPECT_TRUE(s["progress"]["resume_line"].is_null());
  std::string text = Pxtool({"status", pkg_}).out;
  EXPECT_TRUE(Contains(text, "[0x100000 = 1048576]"));

  Json r = ReportJson();
  ASSERT_EQ(1u, r["runs"].size());
  const Json& run = r["runs"][0];
  EXPECT_EQ("finished", run["end"]);
  EXPECT_EQ("[Commands]", run["section"]);
  ASSERT_EQ(6u, run["commands"].size());
  std::vector<std::string> verdicts;
  for (const Json& c : run["commands"]) verdicts.push_back(c["verdict"]);
  EXPECT_EQ((std::vector<std::string>{"flags", "ok", "flags", "ok", "flags", "go_on"}), verdicts);
  EXPECT_EQ(10, run["commands"][5]["line"]);
  EXPECT_EQ(3, run["commands"][5]["return_code"]);

  // Reset gives back the file as shipped, byte for byte; the run's file is
  // kept beside it; the status files go.
  const std::string ran = ReadFile(ArgPath());
  ProgramResult reset = Pxtool({"reset", pkg_});
  ASSERT_EQ(0, reset.exit_status) << reset.err;
  EXPECT_EQ(original, ReadFile(ArgPath()));
  EXPECT_EQ(ran, ReadFile(ArgPath() + ".bak"));
  EXPECT_FALSE(Exists(pkg_ + "/pkg/HandlerStatus.txt"));
  EXPECT_FALSE(Exists(pkg_ + "/HandlerStatus.txt"));
  EXPECT_EQ(6, Pxtool({"status", pkg_}).exit_status);
  ASSERT_EQ(0, RunQuillon());  // the package runs again
  EXPECT_EQ(ran.substr(0, 20), ReadFile(ArgPath()).substr(0, 20));
  EXPECT_EQ(2u, ReportJson()["runs"].size());
}

TEST_F(PxtoolOpsTest, ResetSectionAndKeepStatus) {
  MakePackage();
  ASSERT_EQ(0, RunQuillon({"-update"}));
  const std::string ran = ReadFile(ArgPath());
  ASSERT_EQ(0, Pxtool({"reset", pkg_, "--section", "Commands", "--keep-status"}).exit_status);
  EXPECT_EQ(ran, ReadFile(ArgPath()));  // nothing of [Commands] was taken
  EXPECT_TRUE(Exists(pkg_ + "/pkg/HandlerStatus.txt"));
  Json s = StatusJson();
  EXPECT_EQ("[UpdCommands]", s["progress"]["section"]);  // from the run log
  EXPECT_EQ(2, s["progress"]["lines_taken"]);
  ASSERT_EQ(0, Pxtool({"reset", pkg_, "--section", "[UpdCommands]"}).exit_status);
  EXPECT_EQ(0u, Count(ReadFile(ArgPath()), "\n1 "));
  EXPECT_EQ(2, Pxtool({"reset", pkg_, "--section", "Nope"}).exit_status);
}

// The failing command's own words are shown where operators look: under
// its row in the report, with the last command in the status, and whole
// through --output.
TEST_F(PxtoolOpsTest, AbortedRun) {
  const std::string words = "firmware image does not match this board";
  MakePackage({"0 000 echo preparing", "0 000 flag abort_ne 0",
               "0 000 sh -c \"echo first; echo " + words + " >&2; exit 7\"",
               "0 000 true"});
  ASSERT_EQ(2, RunQuillon());
  int exit_status = -1;
  Json s = StatusJson(&exit_status);
  EXPECT_EQ(1, exit_status);
  EXPECT_EQ("finished", s["state"]);
  EXPECT_EQ(false, s["success"]);
  EXPECT_EQ("aborted", s["final_code"]["verdict"]);
  EXPECT_EQ(6, s["progress"]["last_command"]["line"]);
  EXPECT_EQ(7, s["progress"]["last_command"]["return_code"]);
  EXPECT_EQ(7, s["progress"]["resume_line"]);
  EXPECT_EQ(Json::array({"first", words}), s["progress"]["last_command"]["output_tail"]);
  EXPECT_EQ(6 + words.size() + 1, s["progress"]["last_command"]["output_size"]);
  EXPECT_NE(std::string::npos, Pxtool({"status", pkg_}).out.find("| " + words + "\n"));

  Json commands = ReportJson()["runs"][0]["commands"];
  EXPECT_EQ("aborted", commands[2]["verdict"]);
  EXPECT_EQ(7, commands[2]["return_code"]);
  EXPECT_EQ(Json::array({"first", words}), commands[2]["output_tail"]);
  EXPECT_EQ(Json::array({"preparing"}), commands[0]["output_tail"]);
  EXPECT_TRUE(commands[1]["output_tail"].is_null());  // a flags line runs nothing
  std::string text = Pxtool({"report", pkg_}).out;
  EXPECT_TRUE(Contains(text, "\n          | " + words + "\n"));
  EXPECT_EQ(std::string::npos, text.find("| preparing"));  // it succeeded

  ProgramResult whole = Pxtool({"report", pkg_, "--output", "6"});
  EXPECT_EQ(0, whole.exit_status) << whole.err;
  EXPECT_EQ("first\n" + words + "\n", whole.out);
  EXPECT_EQ("first\n" + words + "\n", Pxtool({"report", pkg_, "--output", "6", "--run", "1"}).out);
  EXPECT_EQ(1, Pxtool({"report", pkg_, "--output", "6", "--run", "2"}).exit_status);
  EXPECT_EQ(1, Pxtool({"report", pkg_, "--output", "7"}).exit_status);  // never ran
  EXPECT_EQ(2, Pxtool({"report", pkg_, "--run", "1"}).exit_status);
}

TEST_F(PxtoolOpsTest, RebootRequest) {
  MakePackage({"0 000 flag Reboot", "0 000 true", "0 000 true"});
  ASSERT_EQ(5, RunQuillon());
  int exit_status = -1;
  Json s = StatusJson(&exit_status);
  EXPECT_EQ(5, exit_status);
  EXPECT_EQ("reboot_requested", s["state"]);
  EXPECT_EQ(4, s["status_file"]["status"]);
  EXPECT_EQ(true, s["reboot_required"]);
  EXPECT_EQ(6, s["progress"]["resume_line"]);
  Json run = ReportJson()["runs"][0];
  EXPECT_EQ(true, run["reboot_requested"]);
  EXPECT_EQ("reboot", run["commands"][1]["verdict"]);
  EXPECT_EQ(true, run["commands"][1]["reboot_requested"]);
}

TEST_F(PxtoolOpsTest, KilledRunAndTimeline) {
  MakePackage({"0 000 true", kWaitingCommand, "0 000 true"});
  pid_t pid = StartQuillon();
  pid_t group = std::stoi(ReadFile(pkg_ + "/pkg/started"));
  kill(pid, SIGKILL);
  Wait(pid);
  kill(-group, SIGKILL);

  int exit_status = -1;
  Json s = StatusJson(&exit_status);
  EXPECT_EQ(4, exit_status);
  EXPECT_EQ("interrupted", s["state"]);
  EXPECT_EQ(pkg_ + "/HandlerStatus.txt", s["status_file"]["path"]);
  EXPECT_EQ(5, s["progress"]["last_command"]["line"]);
  EXPECT_TRUE(s["progress"]["last_command"]["return_code"].is_null());
  EXPECT_EQ(6, s["progress"]["resume_line"]);

  // A torn line, as a full disk leaves it, does not disturb the report.
  std::ofstream(pkg_ + "/Quillon.log", std::ios::app) << "\n2026/01/0";
  Json run = ReportJson()["runs"][0];
  EXPECT_EQ("killed", run["end"]);
  EXPECT_EQ("killed", run["commands"][1]["verdict"]);
  EXPECT_EQ(5, run["commands"][1]["line"]);

  // The timeline is an SVG file a renderer takes.
  ProgramResult svg = Pxtool({"report", pkg_, "--format", "svg"});
  ASSERT_EQ(0, svg.exit_status);
  EXPECT_TRUE(Contains(svg.out, "interrupted"));
  WriteFile(dir_ / "t.svg", svg.out);
  if (system("command -v rsvg-convert >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "rsvg-convert is not installed";
  ASSERT_EQ(0, system(("rsvg-convert -o " + dir_ / "t.png" + " " + dir_ / "t.svg").c_str()));
  EXPECT_GT(ReadFile(dir_ / "t.png").size(), 0u);
}

TEST_F(PxtoolOpsTest, RunningWhileStatusIsPolled) {
  MakePackage({"0 000 true", kWaitingCommand});
  pid_t pid = StartQuillon();
  const std::string before = ReadFile(ArgPath());
  for (int i = 0; i < 10; ++i) {
    ProgramResult r = Pxtool({"status", pkg_, "--format", "json"});
    EXPECT_EQ(3, r.exit_status);
    EXPECT_EQ("running", ParsePxtoolJson(r.out)["state"]);
  }
  EXPECT_EQ(7, Pxtool({"status", pkg_, "--wait", "--timeout", "0.1"}).exit_status);
  ProgramResult reset = Pxtool({"reset", pkg_});
  EXPECT_EQ(1, reset.exit_status);
  EXPECT_TRUE(Contains(reset.err, "holds the package's lock"));
  EXPECT_EQ(before, ReadFile(ArgPath()));
  EXPECT_FALSE(Exists(ArgPath() + ".bak"));
  EXPECT_EQ("running", ReportJson()["runs"][0]["end"]);

  WriteFile(pkg_ + "/pkg/release", "");
  ProgramResult waited = Pxtool({"status", pkg_, "--wait", "--timeout", "20"});
  EXPECT_EQ(0, waited.exit_status) << waited.out;
  EXPECT_EQ(0, Wait(pid));  // the run was not disturbed
}

TEST_F(PxtoolOpsTest, UnreadableFilesAreNamed) {
  MakePackage();
  ASSERT_EQ(0, RunQuillon());
  const std::string status = pkg_ + "/pkg/HandlerStatus.txt";
  const std::pair<std::string, std::string> cases[] = {
      {"", "empty"}, {std::string("\x7f" "ELF\0\1\2", 7), "not a status file"}};
  for (const auto& c : cases) {
    WriteFile(status, c.first);
    ProgramResult r = Pxtool({"status", pkg_});
    EXPECT_EQ(1, r.exit_status);
    EXPECT_TRUE(Contains(r.err, status));
    EXPECT_TRUE(Contains(r.err, c.second));
  }
  std::filesystem::remove(status);
  WriteFile(dir_ / "outside.log", "x");
  std::filesystem::rename(pkg_ + "/Quillon.log", dir_ / "kept.log");
  std::filesystem::create_symlink(dir_ / "outside.log", pkg_ + "/Quillon.log");
  for (const char* command : {"status", "report"}) {
    ProgramResult r = Pxtool({command, pkg_});
    EXPECT_EQ(1, r.exit_status) << command;
    EXPECT_TRUE(Contains(r.err, "symbolic link out of the package"));
  }
  std::filesystem::remove(pkg_ + "/Quillon.log");
  WriteFile(pkg_ + "/Quillon.log", "");
  ASSERT_EQ(0, truncate((pkg_ + "/Quillon.log").c_str(), 3LL << 30));  // sparse
  ProgramResult huge = Pxtool({"report", pkg_, "--format", "json"});
  EXPECT_EQ(1, huge.exit_status);
  EXPECT_TRUE(Contains(huge.err, "Quillon.log"));
  EXPECT_EQ("", huge.out);  // no half document for a reader to take
  std::filesystem::remove(ArgPath());
  for (const char* command : {"status", "reset"}) {
    ProgramResult r = Pxtool({command, pkg_, "pkg/px.arg"});
    EXPECT_EQ(1, r.exit_status) << command;
    EXPECT_TRUE(Contains(r.err, "px.arg"));
  }
}

}  // namespace
}  // namespace quillon_test
