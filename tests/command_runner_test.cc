// Command runner: one pending command line handled with a fake shell (and
// with the real one where a stopping signal meets the mark).

#include "command_runner.h"
#include "command_text.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "interrupts.h"
#include "test_util.h"

namespace quillon_test {
namespace {

using Commands = std::vector<std::string>;

class CommandRunnerTest : public QuillonTest {
 protected:
  void SetUp() override {
    QuillonTest::SetUp();
    UseFakeShell();
    OpenLog();
  }
  // Hands `line` (without its CR LF) to DoCommandA in a writable buffer,
  // which stays in line_ with its CR LF.
  int Run(const std::string& line) {
    line_ = line + "\r\n";
    return DoCommandA(&line_[0], line.size(), externalOptionBuffer, externalParameterBuffer,
                      externalResetBuffer);
  }
  static std::string Lines(const std::string& cmd, const std::string& returned, int ret) {
    return "\n<TS>\texec command <" + cmd + ">\n<TS>\t . . . " + returned +
           "\n<TS>\tExecuted command: \"" + cmd + "\" Retcode: " + std::to_string(ret);
  }
  std::string line_;
};

TEST_F(CommandRunnerTest, MarksLineAndWritesResultField) {
  const struct {
    int wait_status;
    const char* field;
  } cases[] = {{0, "000"}, {12 << 8, "012"}, {255 << 8, "255"}, {9, "009"}, {-1, "570"}};
  for (const auto& c : cases) {
    shell_.Queue(c.wait_status);
    EXPECT_EQ(0, Run("0|xyz|echo hi"));
    EXPECT_EQ(std::string("1|") + c.field + "|echo hi\r\n", line_);
  }
  EXPECT_EQ(Commands(5, "echo hi"), shell_.commands);
  TakeLog();
  shell_.Queue(2 << 8);
  Run("0 000 echo hi");
  EXPECT_EQ(Lines("echo hi", "returned 2", 0), TakeLog());
}

// A flags line acting on the next command: see the end-to-end tests. A line
// shorter than its six columns is reported and passed over: unmarked,
// nothing written, pending flags kept.
TEST_F(CommandRunnerTest, ShortLineIsPassedOver) {
  EXPECT_EQ(0, Run("0 777 flag abort_eq 0"));
  EXPECT_EQ("1 000 flag abort_eq 0\r\n", line_);  // a flags line's field is 000
  TakeLog();
  line_ = "0 00\r\n0 000 next\r\n";
  EXPECT_EQ(0, DoCommandA(&line_[0], 4, externalOptionBuffer, externalParameterBuffer,
                          externalResetBuffer));
  EXPECT_EQ("0 00\r\n0 000 next\r\n", line_);
  EXPECT_TRUE(shell_.commands.empty());
  EXPECT_NE(nullptr, piFlags[abort_eq]);
  EXPECT_TRUE(Contains(TakeLog(), "shorter than its six leading columns"));
}

TEST_F(CommandRunnerTest, ModePrefixes) {
  update = true;  // update run: force lines skipped but judged as 0
  force = false;
  Run("0 000 flag abort_eq 0");
  EXPECT_EQ(0, Run("0 000 force flag abort_ne 5"));  // skipped: the flags stay
  EXPECT_EQ("1 000 force flag abort_ne 5\r\n", line_);
  TakeLog();
  EXPECT_EQ(2, Run("0 123 force echo f"));  // abort_eq 0 fires on the skip
  EXPECT_EQ("1 000 force echo f\r\n", line_);
  EXPECT_EQ(Lines("echo f", "skipped 0", 2), TakeLog());
  Run("0 000 update echo u");
  Run("0 000 forceXecho 6");  // five compared, six removed: skipped
  Run("0 000 updates!");      // six compared, seven removed: "!" runs
  update = false;             // forced run: the roles exchanged
  force = true;
  Run("0 000 force echo f");
  Run("0 000 update echo u");
  force = false;  // expert run: both run
  expert = true;
  Run("0 000 force echo f");
  Run("0 000 update echo u");
  EXPECT_EQ((Commands{"echo u", "!", "echo f", "echo f", "echo u"}), shell_.commands);
}

TEST_F(CommandRunnerTest, PlaceholdersAndPasswordMask) {
  Run("0 000 run !{EXTVAR} !{RESET} !{PARAM} !{PARAM}");
  externalOption = externalParameter = true;
  strcpy(externalOptionBuffer, "V1");
  strcpy(externalParameterBuffer, "P");
  Run("0 000 run !{EXTVAR} !{RESET} !{PARAM} !{PARAM}");
  reset = true;  // the longest values fit
  memset(externalOptionBuffer, 'v', sizeof(externalOptionBuffer) - 1);
  memset(externalResetBuffer, 'r', sizeof(externalResetBuffer) - 1);
  Run("0 000 !{EXTVAR}!{RESET}!{PARAM}");
  EXPECT_EQ((Commands{"run    !{PARAM}", "run V1  P !{PARAM}",
                      std::string(511, 'v') + std::string(31, 'r') + "P"}),
            shell_.commands);
  TakeLog();

  Run("0 000 tool -pwd s3cr3t -x");
  EXPECT_EQ("tool -pwd s3cr3t -x", shell_.commands.back());  // the shell gets it
  EXPECT_EQ(Lines("tool -pwd ****** -x", "returned 0", 0), TakeLog());
}

TEST_F(CommandRunnerTest, InstallerTexts) {
  shell_.Queue(12 << 8);
  shell_.Queue(3 << 8);
  Run("0 000 /opt/TalBot/run");
  Run("0 000 talbot -i");
  Run("0 000 talbot -i");  // exit 0: no text
  std::string log = TakeLog();
  EXPECT_NE(std::string::npos,
            log.find("\n<TS>\tTalbot did return error code 12: Talbot version is out of date!"));
  EXPECT_EQ(2, std::count(log.begin(), log.end(), '!'));
}

// The real shell, with SIGTERM sent to the run right before it starts the
// command: after the line was marked.
class SignalledShell : public Shell {
 public:
  int System(const char* command, const sigset_t& commandMask) override {
    raise(SIGTERM);
    SetShell(nullptr);
    return CurrentShell()->System(command, commandMask);
  }
};

// DoCommandA on `line` in a child process that has the run's signal
// handlers, with `shell` (the real one if null), after a SIGTERM when
// `signalled`. Returns the code it raised and the line afterwards.
std::string InChild(const std::string& line, Shell* shell, bool signalled) {
  fflush(nullptr);
  pid_t child = fork();
  if (child == 0) {
    InstallRunSignalHandlers();
    if (signalled) raise(SIGTERM);
    SetShell(shell);
    std::string buffer = line + "\r\n";
    unsigned int raised = 0;
    try {
      DoCommandA(&buffer[0], line.size(), externalOptionBuffer, externalParameterBuffer,
                 externalResetBuffer);
    } catch (unsigned int code) {
      raised = code;
    }
    WriteFile("handled.txt", std::to_string(raised) + " " + buffer);
    _exit(0);
  }
  waitpid(child, nullptr, 0);
  return ReadFile("handled.txt");
}

// A stopping signal that comes before the mark leaves the line pending and
// starts nothing; one that comes after it reaches the command at once (the
// command's shell does not inherit the signals held back).
TEST_F(CommandRunnerTest, StoppingSignalAroundTheMark) {
  EXPECT_EQ("570621955 0 000 echo ran > ran.txt\r\n",
            InChild("0 000 echo ran > ran.txt", nullptr, true));
  EXPECT_FALSE(Exists(dir_ / "ran.txt"));
  EXPECT_NE(std::string::npos, TakeLog().find("\tERROR : signal 15 (Terminated) received - run "
                                              "stopped before the next pending line"));

  SignalledShell shell;
  EXPECT_EQ("570621955 1 015 sleep 5; echo late > late.txt\r\n",
            InChild("0 000 sleep 5; echo late > late.txt", &shell, false));
  EXPECT_FALSE(Exists(dir_ / "late.txt"));
  EXPECT_NE(std::string::npos, TakeLog().find("received while command <sleep 5; echo late > "
                                              "late.txt> ran - passed on"));
  EXPECT_FALSE(Exists(dir_ / "Quillon.pgrp"));  // removed with the group
}

}  // namespace
}  // namespace quillon_test
