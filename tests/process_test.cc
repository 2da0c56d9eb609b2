// CProcess: execution, its working directory, descriptors and signals, and
// the ids it refuses.

#include "process.h"

#include <signal.h>

#include "test_util.h"

namespace quillon_test {
namespace {

const unsigned int kNone = 0xFFFFFFFF;

class ProcessTest : public testing::Test {
 protected:
  void SetUp() override { start_dir_ = get_current_directory(); }
  void TearDown() override { set_working_directory(start_dir_); }
  // A command line running `body` as a shell script in a file (the command
  // line itself knows no quoting).
  std::string Sh(const std::string& name, const std::string& body) {
    WriteFile(dir_ / name, body);
    return "/bin/sh " + (dir_ / name);
  }
  bool Exec(const std::string& line, const char* wd = nullptr) {
    return CProcess::ExecuteCmd(line.c_str(), pid_, exit_code_, wd, false, false);
  }
  ScopedTempDir dir_;
  std::string start_dir_;
  unsigned int pid_ = 0, exit_code_ = 0;
};

TEST_F(ProcessTest, ArgumentsExitCodesAndPathSearch) {
  std::string out = dir_ / "args.txt";
  EXPECT_TRUE(Exec(Sh("args.sh", "out=$1; shift; printf '%s:' $# > \"$out\"\n"
                                 "for a in \"$@\"; do printf '[%s]' \"$a\"; done >> \"$out\"\n") +
                   " " + out + " 'a b'  c "));
  EXPECT_EQ(0u, exit_code_);
  EXPECT_EQ("4:['a][b'][c][]", ReadFile(out));
  EXPECT_FALSE(Exec("/bin/false"));
  EXPECT_EQ(1u, exit_code_);
  EXPECT_FALSE(Exec(Sh("kill.sh", "kill -9 $$")));
  EXPECT_EQ(kNone, exit_code_);
  EXPECT_FALSE(Exec(dir_ / "missing"));  // the child exists but ends with 255
  EXPECT_EQ(255u, exit_code_);

  // A file without "#!" is run by /bin/sh; a PATH entry where the name is
  // not executable is passed over for the next one.
  ASSERT_EQ(0, mkdir((dir_ / "bin").c_str(), 0755));
  ASSERT_EQ(0, mkdir((dir_ / "locked").c_str(), 0755));
  WriteFile(dir_ / "bin/qp_tool", "exit $1\n");
  chmod((dir_ / "bin/qp_tool").c_str(), 0755);
  WriteFile(dir_ / "locked/qp_tool", "exit 9\n");
  const std::string saved = getenv("PATH") != nullptr ? getenv("PATH") : "";
  setenv("PATH", (dir_ / "locked:" + dir_ / "bin:/bin:/usr/bin").c_str(), 1);
  EXPECT_FALSE(Exec("qp_tool 6"));
  EXPECT_EQ(6u, exit_code_);
  setenv("PATH", saved.c_str(), 1);
}

TEST_F(ProcessTest, WorkingDirectory) {
  std::string sub = dir_ / "sub";
  ASSERT_EQ(0, mkdir(sub.c_str(), 0755));
  EXPECT_FALSE(Exec(Sh("pwd.sh", "pwd > where.txt; exit 3"), sub.c_str()));
  EXPECT_EQ(3u, exit_code_);
  EXPECT_EQ(std::filesystem::canonical(sub).string() + "\n", ReadFile(sub + "/where.txt"));
  EXPECT_EQ(start_dir_, get_current_directory());

  // A missing working directory: nothing runs, outputs untouched.
  std::string marker = dir_ / "marker", nowhere = dir_ / "nowhere";
  std::string touch = Sh("touch.sh", "echo > \"$1\"") + " " + marker;
  EXPECT_FALSE(Exec(touch, nowhere.c_str()));
  EXPECT_FALSE(CProcess::ExecuteCmdAsync(touch.c_str(), pid_, nowhere.c_str(), false, false));
  EXPECT_FALSE(CProcess::SetCurrentDir(nowhere.c_str()));
  EXPECT_FALSE(Exists(marker));
  EXPECT_EQ(start_dir_, get_current_directory());
}

TEST_F(ProcessTest, DescriptorsAndSignalsOfTheChild) {
  std::string probe = Sh("fd.sh", "test -e /proc/self/fd/$1") + " ";
  // Inheritable on purpose: 3, the first one to close (whatever holds it is
  // moved aside meanwhile), and one far above.
  const int aside = fcntl(3, F_DUPFD_CLOEXEC, 10), aside_flags = fcntl(3, F_GETFD);
  close(3);
  const int low = open("/dev/null", O_RDONLY), high = fcntl(low, F_DUPFD, 700);
  ASSERT_EQ(3, low);
  ASSERT_GE(high, 700);
  for (int fd : {low, high}) {
    std::string line = probe + std::to_string(fd);
    EXPECT_FALSE(CProcess::ExecuteCmd(line.c_str(), nullptr, false, false));
    EXPECT_TRUE(CProcess::ExecuteCmd(line.c_str(), nullptr, false, true));
  }
  close(high);
  close(low);
  if (aside >= 0 && dup2(aside, 3) == 3) fcntl(3, F_SETFD, aside_flags), close(aside);

  // SIGTERM is unblocked in the child, other blocked signals stay blocked
  // (grep runs directly: a shell would reset its mask).
  sigset_t block, old;
  sigemptyset(&block);
  sigaddset(&block, SIGTERM);
  sigaddset(&block, SIGUSR1);
  ASSERT_EQ(0, sigprocmask(SIG_SETMASK, &block, &old));
  EXPECT_TRUE(Exec("grep -q SigBlk:.0000000000000200 /proc/self/status"));
  sigprocmask(SIG_SETMASK, &old, nullptr);
}

TEST_F(ProcessTest, RefusesIdsThatAreNoProcess) {
  ASSERT_TRUE(CProcess::ExecuteCmdAsync(Sh("exit3.sh", "exit 3").c_str(), pid_, nullptr, false,
                                        false));
  // Were 0 or -1 passed on, waitpid would reap our child. TerminateProcess
  // shares the check but is not called here: a fault would signal every
  // process of the machine.
  for (unsigned int bad : {0u, kNone, 0x80000000u}) {
    exit_code_ = 0;
    EXPECT_FALSE(is_single_process_id(bad));
    EXPECT_FALSE(CProcess::WaitForExit(bad, exit_code_, 0));
    EXPECT_EQ(kNone, exit_code_);
  }
  EXPECT_TRUE(is_single_process_id(0x7FFFFFFF));
  EXPECT_FALSE(CProcess::WaitForExit(pid_, exit_code_, 0));
  EXPECT_EQ(3u, exit_code_);
}

// The trace's cheap resident-memory figure is the one the status file
// shows, in the same unit (within a tenth: memory moves between the reads,
// more so under a sanitizer; a wrong unit is four times off or more).
TEST_F(ProcessTest, OwnResidentMemoryIsVmRss) {
  size_t status_kb = 0;
  CProcess::GetProcessMemorySpecificInfo(static_cast<unsigned>(getpid()), &status_kb, "VmRSS:",
                                         CProcess::KB);
  const size_t statm_kb = CProcess::GetOwnResidentKilobytes();
  ASSERT_GT(status_kb, 0u);
  EXPECT_NEAR(static_cast<double>(status_kb), static_cast<double>(statm_kb), status_kb / 10.0);
}

}  // namespace
}  // namespace quillon_test
