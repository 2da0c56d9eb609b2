// The commands' output file end to end: the real binary (test build) in
// temporary directories, its Quillon.out read back with the format's
// reader.

#include <signal.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "run_output.h"
#include "test_util.h"

namespace quillon_test {
namespace {

const std::string kQuillon = std::string(QUILLON_BIN_DIR) + "/Quillon_fakereboot";

class RunOutputE2ETest : public testing::Test {
 protected:
  ProgramResult Run(std::vector<std::string> env = {}) {
    ProgramOptions options;
    options.cwd = t_;
    options.env = env;
    options.deadline = 120;
    return RunProgram(kQuillon, {t_}, options);  // local mode
  }
  void Arg(const std::vector<std::string>& commands) {
    std::vector<std::string> lines{"[Commands]"};
    for (const std::string& c : commands) lines.push_back("0 000 " + c);
    lines.push_back("[End]");
    WriteFile(t_ + "/px.arg", ArgText(lines));
  }
  std::string Out() { return ReadFile(t_ + "/Quillon.out"); }
  // Bytes the file holds on disk.
  uint64_t Allocated() {
    struct stat st;
    return stat((t_ + "/Quillon.out").c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_blocks) * 512
                                                        : 0;
  }

  ScopedTempDir tmp_;
  const std::string t_ = tmp_.path();
};

TEST_F(RunOutputE2ETest, BothStreamsFramedPasswordMaskedInHeaderOnly) {
  // The words printed are made by the shell, so that the command texts
  // (in the run log and the argument file) do not hold them.
  Arg({"x=OUT; echo ${x}PUT-LINE; echo ${x}-ERR-LINE >&2; echo ${x}PUT-2",
       "x=FAIL; echo ${x}ING-WORDS >&2; exit 4",
       "echo value -pwd hunter2 x", "true"});
  ASSERT_EQ(0, Run().exit_status);
  std::string text = Out();
  std::vector<OutputRun> runs = ParseRunOutput(text);
  ASSERT_EQ(1u, runs.size());
  // The run line shows the stamp of the run log's header of the same run.
  std::string log = ReadFile(t_ + "/Quillon.log");
  EXPECT_NE(std::string::npos, log.find("Log " + runs[0].stamp + "\n")) << runs[0].stamp;
  ASSERT_EQ(4u, runs[0].commands.size());
  const std::vector<OutputCommand>& c = runs[0].commands;
  EXPECT_EQ("OUTPUT-LINE\nOUT-ERR-LINE\nOUTPUT-2\n", CommandOutput(text, c[0]));
  EXPECT_EQ(2u, c[0].line);
  EXPECT_EQ("[Commands]", c[0].section);
  EXPECT_GT(c[0].shellPid, 0);
  EXPECT_TRUE(c[0].ended);
  EXPECT_EQ("FAILING-WORDS\n", CommandOutput(text, c[1]));
  EXPECT_EQ(4u, c[1].footer.returnCode);
  EXPECT_EQ("echo value -pwd ******* x", c[2].command);
  EXPECT_EQ("value -pwd hunter2 x\n", CommandOutput(text, c[2]));
  EXPECT_EQ("", CommandOutput(text, c[3]));
  // Nothing of the output anywhere else.
  for (const char* file : {"Quillon.log", "HandlerStatus.txt", "px.arg"})
    for (const char* word : {"OUTPUT", "OUT-ERR", "FAILING", "hunter2"})
      if (std::string(file) != "px.arg" || std::string(word) != "hunter2") {  // the command
        EXPECT_EQ(std::string::npos, ReadFile(t_ + "/" + file).find(word)) << file << " " << word;
      }
  EXPECT_EQ(0640u, [&] {
    struct stat st;
    stat((t_ + "/Quillon.out").c_str(), &st);
    return st.st_mode & 0777;
  }());

  // A second run appends its own run with its own token.
  Arg({"echo again"});
  ASSERT_EQ(0, Run().exit_status);
  text = Out();
  runs = ParseRunOutput(text);
  ASSERT_EQ(2u, runs.size());
  EXPECT_NE(runs[0].token, runs[1].token);
  EXPECT_EQ("again\n", CommandOutput(text, runs[1].commands.at(0)));
}

TEST_F(RunOutputE2ETest, BoundsPerCommandAndPerFile) {
  // A full file is renamed at the run's start; a command over its bound
  // keeps head, cut line and tail.
  WriteFile(t_ + "/Quillon.out", std::string(kOutputFileBound + 10, 'x'));
  Arg({"echo first; head -c 3000000 /dev/zero | tr '\\0' m; echo; echo last-line"});
  ASSERT_EQ(0, Run().exit_status);
  EXPECT_EQ(kOutputFileBound + 10, ReadFile(t_ + "/Quillon.out.1").size());
  std::string text = Out();
  std::vector<OutputRun> runs = ParseRunOutput(text);
  ASSERT_EQ(1u, runs.size());
  const OutputCommand& c = runs[0].commands.at(0);
  EXPECT_EQ(3000000u + 17, c.footer.written);
  EXPECT_EQ(c.footer.written - kOutputKeptPerCommand, c.footer.cut);
  std::string_view kept = CommandOutput(text, c);
  EXPECT_EQ("first\nmmm", kept.substr(0, 9));
  EXPECT_NE(std::string_view::npos, kept.find(" cut " + std::to_string(c.footer.cut) + " bytes dropped\n"));
  EXPECT_EQ("\nlast-line\n", kept.substr(kept.size() - 11));
  EXPECT_LT(text.size(), kOutputKeptPerCommand + 4096);
}

// 300 MB of output: the command finishes, the disk holds a fraction of it
// while it runs and the bound after.
TEST_F(RunOutputE2ETest, HugeOutputStaysWithinItsBoundOnDisk) {
  Arg({"head -c 300000000 /dev/zero; echo end-of-zeros"});
  std::atomic<bool> done{false};
  uint64_t most = 0;
  std::thread watch([&] {
    while (!done) {
      most = std::max(most, Allocated());
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  ProgramResult r = Run();
  done = true;
  watch.join();
  ASSERT_EQ(0, r.exit_status);
  // The command writes at its own speed, so how far it gets ahead of the
  // run's cuts depends on how the machine schedules the two: on a loaded
  // machine by tens of megabytes. Without cuts while it runs the disk would
  // hold all 300 MB at the end.
  const uint64_t slack = 96 * 1024 * 1024;
  EXPECT_LT(most, kOutputKeptPerCommand + slack);
  EXPECT_LT(Allocated(), kOutputKeptPerCommand + 256 * 1024);
  std::string text = Out();
  std::vector<OutputRun> runs = ParseRunOutput(text);
  ASSERT_EQ(1u, runs.size());
  const OutputCommand& c = runs[0].commands.at(0);
  EXPECT_EQ(300000000u + 13, c.footer.written);
  std::string_view kept = CommandOutput(text, c);
  EXPECT_EQ(std::string_view("\0end-of-zeros\n", 14), kept.substr(kept.size() - 14)) << kept.size();
}

// A command still running when Quillon is killed finishes its writes into
// the file; its start line has no end line.
TEST_F(RunOutputE2ETest, CommandOutlivingAKilledRunKeepsWriting) {
  Arg({"x=DONE; echo before; sleep 1; echo $x-AFTER-KILL"});
  pid_t pid = fork();
  if (pid == 0) {
    int null = open("/dev/null", O_RDWR);
    for (int fd = 0; fd <= 2; ++fd) dup2(null, fd);
    if (chdir(t_.c_str()) == 0)
      execl(kQuillon.c_str(), kQuillon.c_str(), t_.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  ASSERT_GT(pid, 0);
  auto waitFor = [&](const std::string& word) {
    for (int i = 0; i < 500 && Out().find(word) == std::string::npos; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return Out().find(word) != std::string::npos;
  };
  EXPECT_TRUE(waitFor("before\n"));
  kill(pid, SIGKILL);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFSIGNALED(status));
  EXPECT_TRUE(waitFor("DONE-AFTER-KILL"));
  std::string text = Out();
  std::vector<OutputRun> runs = ParseRunOutput(text);
  ASSERT_EQ(1u, runs.size());
  const OutputCommand& c = runs[0].commands.at(0);
  EXPECT_FALSE(c.ended);
  EXPECT_EQ("before\nDONE-AFTER-KILL\n", std::string(CommandOutput(text, c))) << text;
}

// A link planted at the name is not followed: the commands get /dev/null,
// the run goes on as before, and only the system log hears of it.
TEST_F(RunOutputE2ETest, PlantedLinkIsNotFollowed) {
  ASSERT_EQ(0, symlink((t_ + "/elsewhere").c_str(), (t_ + "/Quillon.out").c_str()));
  Arg({"echo into-nothing; test -w /proc/self/fd/1 && [ /proc/self/fd/1 -ef /dev/null ] && "
       "echo null > ran.txt"});
  ProgramResult r = Run({"QUILLON_SYSTEM_LOG=" + t_ + "/system.log"});
  EXPECT_EQ(0, r.exit_status);
  EXPECT_FALSE(Exists(t_ + "/elsewhere"));
  EXPECT_EQ("null\n", ReadFile(t_ + "/ran.txt"));
  EXPECT_NE(std::string::npos, ReadFile(t_ + "/system.log").find("is a symbolic link"));
  EXPECT_EQ(std::string::npos, ReadFile(t_ + "/Quillon.log").find("Quillon.out"));
  EXPECT_EQ("Status=5\nRetval=0", ReadFile(t_ + "/HandlerStatus.txt"));
}

}  // namespace
}  // namespace quillon_test
