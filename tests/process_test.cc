// CProcess: working directory, /proc information, execution.

#include "process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

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

TEST(ProcessInfo, StatusLinesAndMemoryFigures) {
  // Line, field, found, figure (7: untouched); the colon is part of the name.
  const std::tuple<const char*, const char*, bool, size_t> lines[] = {
      {"VmRSS:\t    2048 kB", "VmRSS:", true, 2048u << 10},
      {"  VmRSS: 3 MB", "VmRSS:", true, 3u << 20},
      {"VmRSS: 5 pages", "VmRSS:", true, 5}, {"VmRSS:", "VmRSS:", true, 0},
      {"VmRSS:\t2048 kB", "VmRSS", false, 7}, {"VmRSS:x 2048 kB", "VmRSS:", false, 7},
      {"", "VmRSS:", false, 7}};
  for (const auto& [line, field, found, figure] : lines) {
    size_t usage = 7;
    EXPECT_EQ(found, check_line(line, field, &usage)) << line;
    EXPECT_EQ(figure, usage) << line;
  }
  size_t cur = 1, peak = 1, swap = 1, peak_swap = 1, priv = 1;
  EXPECT_FALSE(CProcess::GetProcessMemoryInfo(kNone, &cur, &peak, &swap, &peak_swap, &priv));
  EXPECT_EQ(0u, cur + peak + swap + peak_swap + priv);  // no such process: all zero
}

TEST_F(ProcessTest, NameAndPathOfARunningProgram) {
  std::string name = "qp" + std::to_string(getpid()), program = dir_ / name;
  std::filesystem::copy_file("/bin/sleep", program);
  ASSERT_TRUE(CProcess::ExecuteCmdAsync((program + " 30").c_str(), pid_, nullptr, false, false));
  // The child carries the test's name until its exec; poll for the new one.
  unsigned int found = 0;
  for (int i = 0; i < 500 && !CProcess::FindProcess(found, name.c_str()); ++i) usleep(10000);
  EXPECT_EQ(pid_, found);
  std::string got_name, got_path;
  EXPECT_TRUE(CProcess::GetProcessInfo(pid_, got_name, got_path));
  EXPECT_EQ(name, got_name);
  EXPECT_EQ(program, got_path);

  EXPECT_TRUE(CProcess::TerminateProcess(pid_, 0));
  EXPECT_FALSE(CProcess::WaitForExit(pid_, exit_code_, 10));
  EXPECT_EQ(kNone, exit_code_);
  EXPECT_FALSE(CProcess::GetProcessInfo(pid_, got_name, got_path));
  EXPECT_FALSE(CProcess::FindProcess(found, "no-such-process"));
  EXPECT_EQ(kNone, found);
}

TEST_F(ProcessTest, ArgumentsExitCodesAndPathSearch) {
  std::vector<std::string> args{"kept"};
  split_arguments("   ", args);  // a blank line gives one empty argument
  EXPECT_EQ((std::vector<std::string>{"kept", ""}), args);
  EXPECT_EQ((std::vector<char*>{args[0].data(), args[1].data(), nullptr}),
            getArgumentsVTable(args));
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
  EXPECT_FALSE(CProcess::ExecuteCmd("", nullptr, false, false));

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
  EXPECT_TRUE(Exec("true"));
  EXPECT_FALSE(Exec("qp_not_there"));
  EXPECT_EQ(255u, exit_code_);
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
  pid_ = 1234;
  exit_code_ = 5678;
  EXPECT_FALSE(Exec(touch, nowhere.c_str()));
  EXPECT_FALSE(CProcess::ExecuteCmdAsync(touch.c_str(), pid_, nowhere.c_str(), false, false));
  EXPECT_EQ(1234u, pid_);
  EXPECT_EQ(5678u, exit_code_);
  EXPECT_FALSE(Exists(marker));
  EXPECT_EQ(start_dir_, get_current_directory());

  EXPECT_FALSE(CProcess::SetCurrentDir(""));
  EXPECT_FALSE(CProcess::SetCurrentDir(nullptr));
  EXPECT_FALSE(CProcess::SetCurrentDir(nowhere.c_str()));
  EXPECT_EQ(start_dir_, get_current_directory());
  // A removed current directory cannot be reported; the output is kept.
  std::string out = "unchanged";
  ASSERT_TRUE(CProcess::SetCurrentDir(sub.c_str()));
  ASSERT_EQ(0, system(("rm -r " + sub).c_str()));
  EXPECT_FALSE(CProcess::GetCurrentDir(out));
  EXPECT_EQ("unchanged", out);
}

TEST_F(ProcessTest, DescriptorsAndSignalsOfTheChild) {
  std::string probe = Sh("fd.sh", "test -e /proc/self/fd/$1") + " ";
  int low = open("/dev/null", O_RDONLY);  // inheritable on purpose
  int high = fcntl(low, F_DUPFD, 700);
  ASSERT_GE(low, 3);
  ASSERT_GE(high, 700);
  for (int fd : {low, high}) {
    std::string line = probe + std::to_string(fd);
    EXPECT_FALSE(CProcess::ExecuteCmd(line.c_str(), nullptr, false, false));
    EXPECT_TRUE(CProcess::ExecuteCmd(line.c_str(), nullptr, false, true));
  }
  for (int fd : {0, 1, 2}) {
    EXPECT_TRUE(fcntl(fd, F_GETFD) == -1 || Exec(probe + std::to_string(fd)));  // if open here
  }
  close(low);
  close(high);

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
  EXPECT_FALSE(CProcess::WaitForExit(pid_, exit_code_, 0));  // reaped already
  EXPECT_EQ(kNone, exit_code_);
  // A program that cannot be started still leaves a child that ends with 255.
  ASSERT_TRUE(CProcess::ExecuteCmdAsync((dir_ / "missing").c_str(), pid_, nullptr, false, false));
  EXPECT_FALSE(CProcess::WaitForExit(pid_, exit_code_, 0));
  EXPECT_EQ(255u, exit_code_);
}

}  // namespace
}  // namespace quillon_test
