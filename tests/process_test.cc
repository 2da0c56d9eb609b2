// Tests of CProcess: working directory, /proc information, execution.

#include "process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

const unsigned int kNone = 0xFFFFFFFF;
using Args = std::vector<std::string>;

class ProcessTest : public testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/process_test_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    start_dir_ = get_current_directory();
  }
  void TearDown() override {
    set_working_directory(start_dir_);
    std::filesystem::remove_all(dir_);
  }
  // Writes dir_/name; returns its path.
  std::string Write(const std::string& name, const std::string& text,
                    mode_t mode = 0644) {
    std::string path = dir_ + "/" + name;
    std::ofstream(path) << text;
    chmod(path.c_str(), mode);
    return path;
  }
  // A command line running `body` as a shell script (the command line
  // itself has no quoting, so everything shell-like goes into a file).
  std::string Sh(const std::string& name, const std::string& body) {
    return "/bin/sh " + Write(name, body);
  }
  std::string Read(const std::string& path) {
    std::stringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
  }
  std::string dir_, start_dir_;
  unsigned int pid_ = 0, exit_code_ = 0;
};

TEST_F(ProcessTest, WorkingDirectory) {
  EXPECT_FALSE(CProcess::SetCurrentDir(""));
  EXPECT_FALSE(CProcess::SetCurrentDir(nullptr));
  EXPECT_FALSE(CProcess::SetCurrentDir((dir_ + "/missing").c_str()));
  EXPECT_EQ(start_dir_, get_current_directory());

  // A removed current directory cannot be reported; the output is kept.
  std::string gone = dir_ + "/gone", out = "unchanged";
  ASSERT_EQ(0, mkdir(gone.c_str(), 0755));
  ASSERT_TRUE(CProcess::SetCurrentDir(gone.c_str()));
  ASSERT_EQ(0, rmdir(gone.c_str()));
  EXPECT_FALSE(CProcess::GetCurrentDir(out));
  EXPECT_EQ("unchanged", out);
}

TEST(CheckLine, ParsesFieldsAndUnits) {
  size_t usage = 7;
  EXPECT_TRUE(check_line("VmRSS:\t    2048 kB", "VmRSS:", &usage));
  EXPECT_EQ(2048u * 1024u, usage);
  EXPECT_TRUE(check_line("  VmRSS: 3 MB", "VmRSS:", &usage));
  EXPECT_EQ(3u << 20, usage);
  EXPECT_TRUE(check_line("VmRSS: 5 pages", "VmRSS:", &usage));
  EXPECT_EQ(5u, usage);
  EXPECT_TRUE(check_line("VmRSS:", "VmRSS:", &usage));
  EXPECT_EQ(0u, usage);
  // The first word must equal the field name exactly, colon included.
  usage = 7;
  EXPECT_FALSE(check_line("VmRSS:\t2048 kB", "VmRSS", &usage));
  EXPECT_FALSE(check_line("VmRSS:x 2048 kB", "VmRSS:", &usage));
  EXPECT_FALSE(check_line("", "VmRSS:", &usage));
  EXPECT_EQ(7u, usage);
}

TEST(ProcessInfo, MemoryFigures) {
  unsigned int self = CProcess::GetCurrentProcessId();
  size_t kb = 0, none = 0, prior = 5 * 1024;
  CProcess::GetProcessMemorySpecificInfo(self, &kb, "VmRSS:", CProcess::KB);
  EXPECT_GT(kb, 0u);
  CProcess::GetProcessMemorySpecificInfo(self, &none, "VmRSS", CProcess::KB);
  EXPECT_EQ(0u, none);
  // No such process: the prior value is only scaled.
  CProcess::GetProcessMemorySpecificInfo(kNone, &prior, "VmRSS:",
                                         CProcess::KB);
  EXPECT_EQ(5u, prior);

  size_t cur = 1, peak = 1, swap = 1, peak_swap = 1, priv = 1;
  ASSERT_TRUE(CProcess::GetProcessMemoryInfo(self, &cur, &peak, &swap,
                                             &peak_swap, &priv));
  EXPECT_GE(peak, cur);
  EXPECT_LT(priv, cur);
  EXPECT_FALSE(CProcess::GetProcessMemoryInfo(kNone, &cur, &peak, &swap,
                                              &peak_swap, &priv));
  EXPECT_EQ(0u, cur + peak + swap + peak_swap + priv);
}

TEST_F(ProcessTest, NameAndPathOfARunningProgram) {
  std::string name = "qp" + std::to_string(getpid());
  std::string program = dir_ + "/" + name;
  std::filesystem::copy_file("/bin/sleep", program);
  ASSERT_TRUE(CProcess::ExecuteCmdAsync((program + " 30").c_str(), pid_,
                                        nullptr, false, false));
  // The child carries the test's name until its exec; poll for the new one.
  unsigned int found = 0;
  for (int i = 0; i < 500 && !CProcess::FindProcess(found, name.c_str()); ++i)
    usleep(10000);
  EXPECT_EQ(pid_, found);
  std::string got_name, got_path;
  EXPECT_TRUE(CProcess::GetProcessInfo(pid_, got_name, got_path));
  EXPECT_EQ(name, got_name);
  EXPECT_EQ(program, got_path);

  EXPECT_TRUE(CProcess::TerminateProcess(pid_, 0));
  EXPECT_FALSE(CProcess::WaitForExit(pid_, exit_code_, 10));
  EXPECT_EQ(kNone, exit_code_);
  got_name = got_path = "keep";
  EXPECT_FALSE(CProcess::GetProcessInfo(pid_, got_name, got_path));
  EXPECT_EQ("keep", got_name);
  EXPECT_EQ("keep", got_path);
  EXPECT_FALSE(CProcess::FindProcess(found, "no-such-process"));
  EXPECT_EQ(kNone, found);
}

TEST(SplitArguments, AppendsAndBlankLine) {
  Args args{"kept"};
  split_arguments("   ", args);
  EXPECT_EQ((Args{"kept", ""}), args);
  EXPECT_EQ((std::vector<char*>{args[0].data(), args[1].data(), nullptr}),
            getArgumentsVTable(args));
}

TEST_F(ProcessTest, ExitCodesAndArguments) {
  std::string out = dir_ + "/args.txt";
  std::string line = Sh("args.sh",
                        "out=$1; shift; printf '%s:' $# > \"$out\"\n"
                        "for a in \"$@\"; do printf '[%s]' \"$a\"; done"
                        " >> \"$out\"\n") +
                     " " + out + " 'a b'  c ";
  EXPECT_TRUE(CProcess::ExecuteCmd(line.c_str(), pid_, exit_code_, nullptr,
                                   false, false));
  EXPECT_EQ(0u, exit_code_);
  EXPECT_EQ("4:['a][b'][c][]", Read(out));

  EXPECT_FALSE(CProcess::ExecuteCmd("/bin/false", pid_, exit_code_, nullptr,
                                    false, false));
  EXPECT_EQ(1u, exit_code_);
  EXPECT_FALSE(CProcess::ExecuteCmd(Sh("kill.sh", "kill -9 $$").c_str(), pid_,
                                    exit_code_, nullptr, false, false));
  EXPECT_EQ(kNone, exit_code_);

  // A missing program: the child exists but ends with 255.
  std::string missing = dir_ + "/missing";
  EXPECT_FALSE(CProcess::ExecuteCmd(missing.c_str(), pid_, exit_code_,
                                    nullptr, false, false));
  EXPECT_EQ(255u, exit_code_);
  EXPECT_FALSE(CProcess::ExecuteCmd("", nullptr, false, false));
  pid_ = 0;
  EXPECT_TRUE(CProcess::ExecuteCmdAsync(missing.c_str(), pid_, nullptr, false,
                                        false));
  EXPECT_TRUE(is_single_process_id(pid_));
  EXPECT_FALSE(CProcess::WaitForExit(pid_, exit_code_, 0));
  EXPECT_EQ(255u, exit_code_);
}

TEST_F(ProcessTest, PathSearchAndShellFallback) {
  // A file without "#!" is run by /bin/sh; a PATH entry where the name is
  // not executable is passed over for the next one.
  ASSERT_EQ(0, mkdir((dir_ + "/bin").c_str(), 0755));
  ASSERT_EQ(0, mkdir((dir_ + "/locked").c_str(), 0755));
  Write("bin/qp_tool", "exit $1\n", 0755);
  Write("locked/qp_tool", "exit 9\n", 0644);
  const char* old = getenv("PATH");
  std::string saved = old != nullptr ? old : "";
  setenv("PATH", (dir_ + "/locked:" + dir_ + "/bin:/bin:/usr/bin").c_str(), 1);
  EXPECT_FALSE(CProcess::ExecuteCmd("qp_tool 6", pid_, exit_code_, nullptr,
                                    false, false));
  EXPECT_EQ(6u, exit_code_);
  EXPECT_TRUE(CProcess::ExecuteCmd("true", nullptr, false, false));
  EXPECT_FALSE(CProcess::ExecuteCmd("qp_not_there", pid_, exit_code_, nullptr,
                                    false, false));
  EXPECT_EQ(255u, exit_code_);
  setenv("PATH", saved.c_str(), 1);
}

TEST_F(ProcessTest, WorkingDirectoryOfTheChild) {
  std::string sub = dir_ + "/sub";
  ASSERT_EQ(0, mkdir(sub.c_str(), 0755));
  std::string pwd = Sh("pwd.sh", "pwd > where.txt; exit 3");
  EXPECT_FALSE(CProcess::ExecuteCmd(pwd.c_str(), pid_, exit_code_,
                                    sub.c_str(), false, false));
  EXPECT_EQ(3u, exit_code_);
  EXPECT_EQ(std::filesystem::canonical(sub).string() + "\n",
            Read(sub + "/where.txt"));
  EXPECT_EQ(start_dir_, get_current_directory());

  // A missing working directory: nothing runs, outputs untouched.
  std::string marker = dir_ + "/marker", nowhere = dir_ + "/nowhere";
  std::string touch = Sh("touch.sh", "echo > \"$1\"") + " " + marker;
  pid_ = 1234;
  exit_code_ = 5678;
  EXPECT_FALSE(CProcess::ExecuteCmd(touch.c_str(), pid_, exit_code_,
                                    nowhere.c_str(), false, false));
  EXPECT_FALSE(CProcess::ExecuteCmdAsync(touch.c_str(), pid_, nowhere.c_str(),
                                         false, false));
  EXPECT_EQ(1234u, pid_);
  EXPECT_EQ(5678u, exit_code_);
  EXPECT_FALSE(std::filesystem::exists(marker));
  EXPECT_EQ(start_dir_, get_current_directory());
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
    if (fcntl(fd, F_GETFD) == -1) continue;  // not open in this test run
    std::string line = probe + std::to_string(fd);
    EXPECT_TRUE(CProcess::ExecuteCmd(line.c_str(), nullptr, false, false));
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
  EXPECT_TRUE(CProcess::ExecuteCmd(
      "grep -q SigBlk:.0000000000000200 /proc/self/status", nullptr, false,
      false));
  sigprocmask(SIG_SETMASK, &old, nullptr);
}

TEST_F(ProcessTest, RefusesIdsThatAreNoProcess) {
  ASSERT_TRUE(CProcess::ExecuteCmdAsync(Sh("exit3.sh", "exit 3").c_str(),
                                        pid_, nullptr, false, false));
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
}

}  // namespace
