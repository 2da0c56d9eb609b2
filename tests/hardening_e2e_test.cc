// Faults a real run meets on a server: the process killed in the middle, a
// second run started on the same package, a full disk, unreadable package
// files. Each test runs the real binary and looks at what it leaves behind.

#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>

#include <chrono>
#include <thread>

#include "another_user.h"
#include "command_group.h"
#include "json_samples.h"
#include "test_util.h"

namespace quillon_test {
namespace {

// The test builds: their run locks are in QUILLON_RUN_LOCK_DIR (run_lock_test.cc).
const std::string kQuillon = std::string(QUILLON_BIN_DIR) + "/Quillon_fakereboot";
const std::string kPxtool = std::string(QUILLON_BIN_DIR) + "/pxtool_testbuild";

// Runs Quillon with `args` in `cwd` and waits for it.
ProgramResult RunIn(const std::string& cwd, const std::vector<std::string>& args,
                    ProgramOptions options = ProgramOptions()) {
  options.cwd = cwd;
  return RunProgram(kQuillon, args, options);
}

// Starts Quillon in `cwd` without waiting for it; a child process of the
// test waits and exits with its exit status.
pid_t StartQuillon(const std::vector<std::string>& args, const std::string& cwd) {
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) _exit(RunIn(cwd, args).exit_status);
  return pid;
}

// Waits up to 10 s for `path` to exist and hold `text`.
bool WaitForText(const std::string& path, const std::string& text = "") {
  for (int i = 0; i < 1000; ++i) {
    if (Exists(path) && ReadFile(path).find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

// The Quillon process of a StartQuillon run (0 when not found).
pid_t QuillonOf(pid_t started) {
  pid_t quillon = 0;
  for (int i = 0; i < 500 && quillon == 0; ++i) {
    std::ifstream children("/proc/" + std::to_string(started) + "/task/" +
                           std::to_string(started) + "/children");
    children >> quillon;
    if (quillon == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return quillon;
}

// A command appending its name to ran.txt.
std::string Command(const std::string& name, const std::string& then = "") {
  return "0 000 echo " + name + " >> ran.txt" + (then.empty() ? "" : "; " + then);
}

TEST(HardeningTest, KilledRunResumesBehindTheLastCommandTakenUp) {
  // The command itself kills its parent: at the first, a middle, the last.
  for (int killAt = 0; killAt < 3; ++killAt) {
    ScopedTempDir dir;
    std::vector<std::string> lines{"[Commands]", "0 000 flag abort_ne 0"};
    for (int i = 0; i < 3; ++i)
      lines.push_back(Command("c" + std::to_string(i), i == killAt ? "kill -9 $PPID" : ""));
    lines.push_back("[End]");
    WriteFile(dir / "px.arg", ArgText(lines));

    EXPECT_EQ(128 + SIGKILL, RunIn(dir.path(), {dir.path()}).exit_status);
    // The killed run: started, never finished.
    EXPECT_EQ("Status=3\nRetval=0", ReadFile(dir / "HandlerStatus.txt"));
    std::string log = NormalizeLog(ReadFile(dir / "Quillon.log"));
    EXPECT_NE(std::string::npos,
              log.find("\n<TS>\texec command <echo c" + std::to_string(killAt)));
    EXPECT_EQ(std::string::npos, log.find("Quillon return code"));

    // The next run goes on behind it; no command runs twice, none is lost.
    EXPECT_EQ(0, RunIn(dir.path(), {dir.path()}).exit_status);
    EXPECT_EQ("c0\nc1\nc2\n", ReadFile(dir / "ran.txt")) << "killed at " << killAt;
    EXPECT_EQ("Status=5\nRetval=0", ReadFile(dir / "HandlerStatus.txt"));
    std::string arg = ReadFile(dir / "px.arg");
    EXPECT_EQ(std::string::npos, arg.find("\n0 ")) << arg;
    // The command that was killed keeps its mark and an untouched result.
    EXPECT_NE(std::string::npos, arg.find("1 000 echo c" + std::to_string(killAt)));
  }
}

TEST(HardeningTest, SecondRunOnTheSamePackageRunsNothing) {
  ScopedTempDir dir;
  WriteFile(dir / "px.arg",
            ArgText({"[Commands]", Command("first", "touch started; sleep 1"), "[End]"}));
  pid_t first = StartQuillon({dir.path()}, dir.path());
  ASSERT_TRUE(WaitForText(dir / "started"));
  std::string statusBefore = ReadFile(dir / "HandlerStatus.txt");
  std::string argBefore = ReadFile(dir / "px.arg");

  // Through another path to the same file: one package, one lock.
  ASSERT_EQ(0, symlink(dir.path().c_str(), (dir / "alias").c_str()));
  ProgramResult second = RunIn(dir / "alias", {dir / "alias", "px.arg", "-d"});
  EXPECT_EQ(3, second.exit_status);
  EXPECT_EQ("Quillon return code: 0x22030003\n", second.out);
  EXPECT_EQ(statusBefore, ReadFile(dir / "HandlerStatus.txt"));
  EXPECT_EQ(argBefore, ReadFile(dir / "px.arg"));
  EXPECT_NE(std::string::npos,
            ReadFile(dir / "Quillon.log")
                .find("ERROR : argument file \"" + dir.path() +
                      "/px.arg\" is in use by another run of Quillon - nothing done"));

  int status = 0;
  ASSERT_EQ(first, waitpid(first, &status, 0));
  EXPECT_EQ(0, WEXITSTATUS(status));
  EXPECT_EQ("first\n", ReadFile(dir / "ran.txt"));
  EXPECT_EQ("Status=5\nRetval=0", ReadFile(dir / "HandlerStatus.txt"));
}

// Reading a package lets another user flock px.arg; that must not hold runs off.
TEST(HardeningTest, AnotherUserCannotHoldThePackage) {
  ScopedTempDir dir;
  ASSERT_EQ(0, chmod(dir.path().c_str(), 0755));
  WriteFile(dir / "px.arg", ArgText({"[Commands]", Command("first"), "[End]"}));
  ASSERT_EQ(0, chmod((dir / "px.arg").c_str(), 0644));
  int ready[2], release[2];
  ASSERT_EQ(0, pipe(ready));
  ASSERT_EQ(0, pipe(release));
  pid_t holder = StartAsAnotherUser([&] {
    close(ready[0]);
    close(release[1]);
    int fd = open((dir / "px.arg").c_str(), O_RDONLY);
    char c = 0;
    if (fd < 0 || flock(fd, LOCK_EX) != 0 || write(ready[1], "x", 1) != 1) return 1;
    return read(release[0], &c, 1) == 0 ? 0 : 2;  // holds it until released
  });
  close(ready[1]);
  close(release[0]);
  char c = 0;
  ASSERT_EQ(1, read(ready[0], &c, 1)) << "the other user could not flock px.arg";

  EXPECT_EQ(0, RunIn(dir.path(), {dir.path()}).exit_status) << ReadFile(dir / "Quillon.log");
  EXPECT_EQ("first\n", ReadFile(dir / "ran.txt"));
  // pxtool status: not "running".
  EXPECT_EQ(0, RunProgram(kPxtool, {"status", dir.path()}, ProgramOptions()).exit_status);
  close(release[1]);
  close(ready[0]);
  EXPECT_EQ(0, WaitForChild(holder));
}

// A run-lock directory others could use stops the run, saying why.
TEST(HardeningTest, RunLockDirectoryOthersCanWriteStopsTheRun) {
  ScopedTempDir dir;
  WriteFile(dir / "px.arg", ArgText({"[Commands]", Command("first"), "[End]"}));
  ASSERT_EQ(0, mkdir((dir / "locks").c_str(), 0700));
  ASSERT_EQ(0, chmod((dir / "locks").c_str(), 0777));
  ProgramOptions options;
  options.env = {"QUILLON_RUN_LOCK_DIR=" + dir / "locks"};
  EXPECT_EQ(3, RunIn(dir.path(), {dir.path()}, options).exit_status);
  EXPECT_NE(std::string::npos,
            ReadFile(dir / "Quillon.log")
                .find("ERROR : the run lock of argument file \"" + dir.path() +
                      "/px.arg\" cannot be taken: " + dir.path() +
                      "/locks: owned by user 0 with mode 0777 - must not be writable by group or "
                      "others (chmod go-w) - nothing done"));
  EXPECT_FALSE(Exists(dir / "HandlerStatus.txt") || Exists(dir / "ran.txt"));
}

// A small tmpfs (mounting needs root: skipped where not allowed).
class SmallDisk {
 public:
  explicit SmallDisk(const std::string& path, const char* size) : path_(path) {
    mounted_ = mount("tmpfs", path.c_str(), "tmpfs", 0, size) == 0;
  }
  ~SmallDisk() {
    if (mounted_) umount2(path_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }
  // Takes up every free block.
  void Fill() {
    std::string filler(4096, 'x');
    FILE* f = fopen((path_ + "/filler").c_str(), "w");
    if (f == nullptr) return;
    setvbuf(f, nullptr, _IONBF, 0);
    for (size_t n : {filler.size(), size_t{1}})
      while (fwrite(filler.data(), 1, n, f) == n) {
      }
    fclose(f);
  }

 private:
  std::string path_;
  bool mounted_ = false;
};

TEST(HardeningTest, FullDiskAndUnreadableFilesStopTheRunCleanly) {
  ScopedTempDir dir;
  std::string disk = dir / "disk";
  ASSERT_EQ(0, mkdir(disk.c_str(), 0755));
  SmallDisk small(disk, "size=256k");
  if (!small.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here";

  // The execution directory on the small disk: the large file cannot be staged.
  std::string fw = dir / "fw";
  ASSERT_EQ(0, mkdir(fw.c_str(), 0755));
  WriteFile(fw + "/firmware.bin", std::string(1 << 20, 'f'));
  ASSERT_EQ(0, mkdir((disk + "/pkg").c_str(), 0755));
  std::string arg = ArgText({"[Runtime]", "FWPATH=" + fw, "[Commands]",
                             "0 000 ls > listing.txt", "[End]"});
  WriteFile(disk + "/pkg/px.arg", arg);

  ProgramResult run = RunIn(dir.path(), {disk, "pkg/px.arg"});
  EXPECT_EQ(3, run.exit_status);
  std::string log = ReadFile(disk + "/Quillon.log");
  EXPECT_NE(std::string::npos, log.find("ERROR : staging \"" + fw + "/firmware.bin\" to \"pkg/"
                                        "firmware.bin\" failed with result 10 (errno 28)"))
      << log;
  EXPECT_NE(std::string::npos, log.find("caught exception 570621955"));
  EXPECT_FALSE(Exists(disk + "/pkg/firmware.bin"));  // no truncated copy
  EXPECT_FALSE(Exists(disk + "/pkg/listing.txt"));   // no command ran
  EXPECT_EQ(arg, ReadFile(disk + "/pkg/px.arg"));
  // Staging failed before the run moved into the execution directory.
  EXPECT_EQ("Status=5\nRetval=570621955", ReadFile(disk + "/HandlerStatus.txt"));

  // An unreadable package file (a FIFO: root reads any file) stops it alike.
  ASSERT_EQ(0, unlink((fw + "/firmware.bin").c_str()));
  ASSERT_EQ(0, mkfifo((fw + "/pipe.bin").c_str(), 0600));
  EXPECT_EQ(3, RunIn(dir.path(), {disk, "pkg/px.arg"}).exit_status);
  EXPECT_NE(std::string::npos, ReadFile(disk + "/Quillon.log").find("pipe.bin\" failed with "
                                                                    "result 5"));
  EXPECT_FALSE(Exists(disk + "/pkg/listing.txt"));

  // The disk full before the run: no log, no status file replaced, yet the
  // commands run and the exit code tells the result.
  ASSERT_EQ(0, unlink((fw + "/pipe.bin").c_str()));
  WriteFile(disk + "/pkg/px.arg",
            ArgText({"[Runtime]", "FWPATH=" + fw, "[Commands]", "0 000 flag abort_ne 0",
                     "0 000 exit 7", "[End]"}));
  small.Fill();
  EXPECT_EQ(2, RunIn(dir.path(), {disk, "pkg/px.arg"}).exit_status);
  // Rewritten in place (no new block needed); none half written.
  EXPECT_EQ("Status=3\nRetval=0", ReadFile(disk + "/HandlerStatus.txt"));
  EXPECT_FALSE(Exists(disk + "/HandlerStatus.txt.new"));
  EXPECT_FALSE(Exists(disk + "/pkg/HandlerStatus.txt"));
  EXPECT_FALSE(Exists(disk + "/pkg/HandlerStatus.txt.new"));
  EXPECT_NE(std::string::npos, ReadFile(disk + "/pkg/px.arg").find("1 007 exit 7"));
}

// What others planted is never written through; what Quillon writes is its
// own whatever the umask.
TEST(HardeningTest, PlantedLinksAndFilesAreNeverWrittenThrough) {
  ScopedTempDir dir, elsewhere;
  const std::string victim = elsewhere / "victim";
  WriteFile(victim, "precious");
  WriteFile(dir / "px.arg", ArgText({"[Commands]", Command("c"), "[End]"}));
  ASSERT_EQ(0, symlink(victim.c_str(), (dir / "Quillon.log").c_str()));
  ASSERT_EQ(0, symlink(victim.c_str(), (dir / "HandlerStatus.txt.new").c_str()));
  ProgramOptions options;
  options.umask_value = 0;
  EXPECT_EQ(0, RunIn(dir.path(), {dir.path()}, options).exit_status);
  EXPECT_EQ("precious", ReadFile(victim));
  EXPECT_EQ("c\n", ReadFile(dir / "ran.txt"));
  struct stat st;
  ASSERT_EQ(0, lstat((dir / "HandlerStatus.txt").c_str(), &st));
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(0644u, st.st_mode & 07777);
  EXPECT_EQ("Status=5\nRetval=0", ReadFile(dir / "HandlerStatus.txt"));

  // Classic mode: a link, then another user's file, at a staged copy's name
  // stops the run before anything is staged over it.
  ScopedTempDir pkg;
  ASSERT_EQ(0, mkdir((pkg / "files").c_str(), 0755));
  ASSERT_EQ(0, mkdir((pkg / "pkg").c_str(), 0755));
  WriteFile(pkg / "files/run.sh", "echo staged >> ran.txt\n");
  WriteFile(pkg / "files/tool.exe", "binary");
  WriteFile(pkg / "pkg/px.arg", ArgText({"[Runtime]", "FWPATH=files", "[Commands]",
                                         "0 000 flag abort_ne 0", "0 000 sh run.sh; exit 2",
                                         "[End]"}));
  ASSERT_EQ(0, symlink(victim.c_str(), (pkg / "pkg/run.sh").c_str()));
  EXPECT_EQ(3, RunIn(pkg.path(), {pkg.path(), "pkg/px.arg"}, options).exit_status);
  EXPECT_EQ("precious", ReadFile(victim));
  EXPECT_NE(std::string::npos, ReadFile(pkg / "Quillon.log").find("run.sh\" is a symbolic link"));
  ASSERT_EQ(0, unlink((pkg / "pkg/run.sh").c_str()));
  WriteFile(pkg / "pkg/run.sh", "planted");
  ASSERT_EQ(0, chown((pkg / "pkg/run.sh").c_str(), 65534, 65534));
  ASSERT_EQ(0, chmod((pkg / "pkg/run.sh").c_str(), 0666));
  EXPECT_EQ(3, RunIn(pkg.path(), {pkg.path(), "pkg/px.arg"}, options).exit_status);
  EXPECT_EQ("planted", ReadFile(pkg / "pkg/run.sh"));
  EXPECT_NE(std::string::npos, ReadFile(pkg / "Quillon.log").find("belongs to user 65534"));
  EXPECT_FALSE(Exists(pkg / "pkg/ran.txt"));

  // Without the planted file the copies are private (kept after the abort).
  ASSERT_EQ(0, unlink((pkg / "pkg/run.sh").c_str()));
  EXPECT_EQ(2, RunIn(pkg.path(), {pkg.path(), "pkg/px.arg"}, options).exit_status);
  for (auto c : {std::make_pair("pkg/run.sh", 0600u), std::make_pair("pkg/tool.exe", 0700u)}) {
    ASSERT_EQ(0, stat((pkg / c.first).c_str(), &st)) << c.first;
    EXPECT_EQ(c.second, st.st_mode & 07777) << c.first;
    EXPECT_EQ(geteuid(), st.st_uid) << c.first;
  }
}

// Files that change under the run, or are not what they should be.
TEST(HardeningTest, ArgumentFileThatIsNotAFileOrChangesStopsTheRun) {
  ScopedTempDir dir;
  ASSERT_EQ(0, mkfifo((dir / "px.arg").c_str(), 0600));
  ProgramOptions options;
  options.deadline = 5;
  EXPECT_EQ(3, RunIn(dir.path(), {dir.path()}, options).exit_status);  // never blocks
  EXPECT_NE(std::string::npos, ReadFile(dir / "Quillon.log").find("is not a regular file"));
  ASSERT_EQ(0, unlink((dir / "px.arg").c_str()));

  // A command that truncates the argument file: no SIGBUS, a clear stop.
  WriteFile(dir / "px.arg", ArgText({"[Commands]", "0 000 : > px.arg", Command("never"),
                                     "[End]"}));
  EXPECT_EQ(3, RunIn(dir.path(), {dir.path()}).exit_status);
  EXPECT_EQ("Status=5\nRetval=570621955", ReadFile(dir / "HandlerStatus.txt"));
  EXPECT_NE(std::string::npos, ReadFile(dir / "Quillon.log").find("changed its size"));
  EXPECT_FALSE(Exists(dir / "ran.txt"));
}

// A command longer than the kernel takes for one argument is marked and
// handed to the shell like any other; the shell cannot be executed, which
// system() reports as exit status 127, and 127 is judged by the flags. The
// run log shows the whole command, with nothing added.
TEST(HardeningTest, OverlongCommandReturns127AndIsJudgedLikeAnyOther) {
  const std::string longCommand = "echo " + std::string(200000, 'x') + " >> ran.txt";
  for (bool abort : {false, true}) {
    ScopedTempDir dir;
    WriteFile(dir / "px.arg",
              ArgText({"[Commands]", abort ? "0 000 flag abort_ne 0" : "0 000 flag abort_eq 1",
                       "0 000 " + longCommand, Command("next"), "[End]"}));
    EXPECT_EQ(abort ? 2 : 0, RunIn(dir.path(), {dir.path()}).exit_status);
    std::string arg = ReadFile(dir / "px.arg");
    EXPECT_NE(std::string::npos, arg.find("\n1 127 echo xxx")) << arg.substr(0, 60);
    EXPECT_EQ(abort ? "" : "next\n", Exists(dir / "ran.txt") ? ReadFile(dir / "ran.txt") : "");
    std::string log = NormalizeLog(ReadFile(dir / "Quillon.log"));
    EXPECT_NE(std::string::npos,
              log.find("\n<TS>\texec command <" + longCommand + ">\n<TS>\t . . . returned 127\n"
                       "<TS>\tExecuted command: \"" + longCommand + "\" Retcode: " +
                       (abort ? "2" : "0") + "\n"))
        << log.size();
    EXPECT_EQ(std::string::npos, log.find("ERROR"));
  }
}

// Standard output is a pipe nobody reads any more (`Quillon ... -d | true`):
// the run is as without the pipe, and the commands still see SIGPIPE as
// they would without Quillon (its default action, not ignored).
TEST(HardeningTest, ClosedStandardOutputChangesNothing) {
  ScopedTempDir dir;
  WriteFile(dir / "px.arg",
            ArgText({"[Runtime]", "FWPATH=files", "[Commands]",
                     "0 000 kill -PIPE $$", "[End]"}));
  ASSERT_EQ(0, mkdir((dir / "files").c_str(), 0755));
  int out[2];
  ASSERT_EQ(0, pipe(out));
  fflush(nullptr);
  pid_t child = fork();
  if (child == 0) {
    dup2(out[1], 1);
    close(out[0]);
    close(out[1]);
    if (chdir(dir.path().c_str()) == 0)
      execl(kQuillon.c_str(), kQuillon.c_str(), dir.path().c_str(), "px.arg", "-d", nullptr);
    _exit(127);
  }
  close(out[0]);
  close(out[1]);
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
  EXPECT_EQ(0, WEXITSTATUS(status));
  EXPECT_NE(std::string::npos, ReadFile(dir / "Quillon.log").find("\tQuillon return code: 0x0"));
  EXPECT_NE(std::string::npos, ReadFile(dir / "px.arg").find("\n1 013 kill"));  // killed by it
}

// A working directory deeper than PATH_MAX: the argument file is still
// recognised as itself after every command, so results are written and the
// run ends as usual.
TEST(HardeningTest, WorkingDirectoryDeeperThanPathMax) {
  ScopedTempDir dir;
  const std::string step(200, 'd');
  int fd = open(dir.path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  for (int depth = 0; depth < 25 && fd >= 0; ++depth) {  // 5000 characters
    ASSERT_EQ(0, mkdirat(fd, step.c_str(), 0755));
    int next = openat(fd, step.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    close(fd);
    fd = next;
  }
  ASSERT_GE(fd, 0);
  const std::string arg = ArgText({"[Commands]", "0 000 true", "0 000 flag abort_ne 0",
                                   "0 000 exit 3", "0 000 echo never > never", "[End]"});
  fflush(nullptr);
  pid_t child = fork();
  if (child == 0) {
    if (fchdir(fd) != 0) _exit(126);
    std::ofstream("px.arg", std::ios::binary) << arg;
    execl(kQuillon.c_str(), kQuillon.c_str(), ".", nullptr);
    _exit(127);
  }
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  EXPECT_EQ(2, WEXITSTATUS(status));  // aborted by the flags, not the handler error
  char text[512] = {};
  int arg_fd = openat(fd, "px.arg", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(arg_fd, 0);
  ASSERT_GT(read(arg_fd, text, sizeof(text) - 1), 0);
  close(arg_fd);
  close(fd);
  EXPECT_NE(std::string::npos, std::string(text).find("1 000 flag abort_ne 0\r\n1 003 exit 3\r\n0 000 echo"))
      << text;
  // The standard library cannot remove a tree this deep by path.
  EXPECT_EQ(0, system(("rm -rf " + dir / step).c_str()));
}

#if !defined(__SANITIZE_ADDRESS__)
// No memory for a command line's working copies: an abort (2, autonomic 8),
// the line left pending.
TEST(HardeningTest, NoMemoryForACommandLineAbortsAndLeavesItPending) {
  for (bool autonomicRun : {false, true}) {
    ScopedTempDir dir;
    // 48 MiB: the mapping fits the limit, its working copies do not.
    WriteFile(dir / "px.arg", ArgText({"[Runtime]", "FWPATH=.", "[Commands]",
                                       "0 000 flag abort_ne 0",
                                       "0 000 : " + std::string(48 << 20, 'm'), "[End]"}));
    ProgramOptions options;
    options.address_space = 120u << 20;
    std::vector<std::string> args{dir.path()};
    if (autonomicRun) args.insert(args.end(), {"autonomic", "-d"});
    const int code = autonomicRun ? 8 : 2;
    EXPECT_EQ(code, RunIn(dir.path(), args, options).exit_status);
    EXPECT_EQ("Status=5\nRetval=" + std::to_string(code), ReadFile(dir / "HandlerStatus.txt"));
    EXPECT_NE(std::string::npos, ReadFile(dir / "Quillon.log").find("ERROR : out of memory"));
    EXPECT_NE(std::string::npos, ReadFile(dir / "px.arg").find("\n0 000 : mmm"));
  }
}

// Below the least address-space limit at which the example runs through,
// every run either does not start (the loader's 127) or ends with a whole
// Status=5 telling its exit status -- never with a signal.
TEST(HardeningTest, AddressSpaceLimitNeverEndsTheRunWithASignal) {
  ScopedTempDir dir;
  const std::string package = std::string(QUILLON_SOURCE_DIR) + "/examples/hello";
  auto runUnder = [&](size_t limit) {
    std::filesystem::remove_all(dir / "work");
    std::filesystem::copy(package, dir / "work", std::filesystem::copy_options::recursive);
    ProgramOptions options;
    options.address_space = limit;
    return RunIn(dir.path(), {dir / "work", "pkg/px.arg"}, options);
  };
  auto status = [&]() {
    for (const char* where : {"/work/pkg/HandlerStatus.txt", "/work/HandlerStatus.txt"})
      if (Exists(dir.path() + where)) return ReadFile(dir.path() + where);
    return std::string();
  };
  // The least limit that runs through, to 64 KiB.
  size_t fails = 4u << 20, runs = 256u << 20;
  while (runs - fails > (64u << 10)) {
    size_t middle = (fails + runs) / 2;
    (runUnder(middle).exit_status == 0 ? runs : fails) = middle;
  }
  int started = 0;
  for (size_t limit = runs - (1536u << 10); limit <= runs; limit += 16u << 10) {
    ProgramResult r = runUnder(limit);
    ASSERT_LT(r.exit_status, 128) << "limit " << limit << ": " << r.err;
    if (r.exit_status == 127 && status().empty()) continue;  // the loader gave up
    ++started;
    std::smatch m;
    std::string text = status();
    ASSERT_TRUE(std::regex_match(text, m, std::regex("Status=5\nRetval=(-?[0-9]+)")))
        << "limit " << limit << ": \"" << text << "\"";
    EXPECT_EQ(r.exit_status, std::stoll(m[1].str()) & 0xFF) << "limit " << limit;
  }
  EXPECT_GT(started, 0);
}
#endif

// SIGTERM while a command runs: passed on to its whole process group; the
// line gets the result, the run the handler error; a second one kills.
TEST(HardeningTest, StoppingSignalIsPassedOnToTheCommandGroup) {
  for (bool stubborn : {false, true}) {
    ScopedTempDir dir;
    std::string command = std::string(stubborn ? "trap '' TERM; " : "") +
                          "sleep 60 & echo $! > sleep.pid; echo > started; wait";
    WriteFile(dir / "px.arg", ArgText({"[Commands]", "0 000 flag abort_ne 0",
                                       "0 000 " + command, Command("next"), "[End]"}));
    pid_t quillon = StartQuillon({dir.path()}, dir.path());
    ASSERT_TRUE(WaitForText(dir / "started"));
    pid_t target = QuillonOf(quillon);
    ASSERT_GT(target, 0);
    kill(target, SIGTERM);
    if (stubborn) {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      kill(target, SIGTERM);
    }
    int status = 0;
    ASSERT_EQ(quillon, waitpid(quillon, &status, 0));
    EXPECT_EQ(3, WEXITSTATUS(status));
    pid_t sleeper = std::stoi(ReadFile(dir / "sleep.pid"));
    EXPECT_TRUE(kill(sleeper, 0) != 0 && errno == ESRCH) << "command left running";
    EXPECT_EQ("Status=5\nRetval=570621955", ReadFile(dir / "HandlerStatus.txt"));
    std::string log = ReadFile(dir / "Quillon.log");
    EXPECT_NE(std::string::npos, log.find(std::string("signal 15 (Terminated) received while "
                                                      "command <") +
                                          (stubborn ? "trap" : "sleep")))
        << log;
    EXPECT_EQ(stubborn, log.find("a further signal killed") != std::string::npos);
    std::string arg = ReadFile(dir / "px.arg");
    EXPECT_NE(std::string::npos, arg.find(stubborn ? "1 009 trap" : "1 015 sleep")) << arg;
    // The next run goes on behind it.
    EXPECT_EQ(0, RunIn(dir.path(), {dir.path()}).exit_status);
    EXPECT_EQ("next\n", ReadFile(dir / "ran.txt"));
  }
}

// Killed with SIGKILL, the run's command goes on; the next run waits for it
// (never killing it), and pxtool status tells. A stale record is passed over.
TEST(HardeningTest, ResumedRunWaitsForTheKilledRunsCommand) {
  ScopedTempDir dir;
  WriteFile(dir / "px.arg",
            ArgText({"[Commands]",
                     "0 000 echo $$ > c1.pid; while [ ! -f release ]; do sleep 0.02; done; "
                     "echo c1 >> ran.txt",
                     Command("c2"), "[End]"}));
  pid_t killed = StartQuillon({dir.path()}, dir.path());
  ASSERT_TRUE(WaitForText(dir / "c1.pid"));
  pid_t quillon = QuillonOf(killed);
  ASSERT_GT(quillon, 0);
  kill(quillon, SIGKILL);
  waitpid(killed, nullptr, 0);
  std::string shell = std::to_string(std::stoi(ReadFile(dir / "c1.pid")));
  auto status = [&](const char* format) {
    return RunProgram(kPxtool, {"status", dir.path(), "--format", format}, ProgramOptions());
  };
  ProgramResult text = status("text");
  EXPECT_EQ(4, text.exit_status);
  EXPECT_NE(std::string::npos,
            text.out.find("State:          interrupted, its command still running (pid " +
                          shell + ")"))
      << text.out;

  pid_t resumed = StartQuillon({dir.path()}, dir.path());
  EXPECT_TRUE(WaitForText(dir / "Quillon.log", "process group " + shell +
                                                   " of an earlier run's command is still "
                                                   "running - waiting for it to end"));
  std::string json = status("json").out;
  KeepJsonSample(json);
  EXPECT_NE(std::string::npos, json.find("\"running_command\": {\n    \"pid\": " + shell));
  EXPECT_FALSE(Exists(dir / "ran.txt"));  // c2 has not started
  WriteFile(dir / "release", "");
  int exit = 0;
  ASSERT_EQ(resumed, waitpid(resumed, &exit, 0));
  EXPECT_EQ(0, WEXITSTATUS(exit));
  EXPECT_EQ("c1\nc2\n", ReadFile(dir / "ran.txt"));
  EXPECT_FALSE(Exists(dir / "Quillon.pgrp"));

  // A record whose pid went to another process (more: command_group_test.cc).
  CommandGroup reused;
  reused.pid = getpid();
  ASSERT_TRUE(ReadProcessStartTime(reused.pid, &reused.startTime));
  ++reused.startTime;
  reused.bootId = ReadBootId();
  WriteFile(dir / "Quillon.pgrp", FormatCommandGroup(reused));
  WriteFile(dir / "px.arg", ArgText({"[Commands]", Command("c3"), "[End]"}));
  EXPECT_EQ(0, RunIn(dir.path(), {dir.path()}).exit_status);
  EXPECT_EQ("c1\nc2\nc3\n", ReadFile(dir / "ran.txt"));
  EXPECT_EQ(1u, Count(ReadFile(dir / "Quillon.log"), "waiting"));
}

// A subreaper, Quillon reaps a command's orphans as they end (no zombie).
TEST(HardeningTest, OrphansAreReapedAsTheyEnd) {
  ScopedTempDir dir;
  WriteFile(dir / "px.arg",
            ArgText({"[Commands]",
                     "0 000 (while [ ! -f go ]; do sleep 0.02; done) & echo $! > orphan.pid",
                     "0 000 touch go; p=$(cat orphan.pid); i=0; "
                     "while [ -e /proc/$p ] && [ $i -lt 500 ]; do sleep 0.02; i=$((i+1)); done; "
                     "if [ -e /proc/$p ]; then echo left; else echo reaped; fi > seen.txt",
                     "[End]"}));
  EXPECT_EQ(0, RunIn(dir.path(), {dir.path()}).exit_status);
  EXPECT_EQ("reaped\n", ReadFile(dir / "seen.txt"));  // a zombie keeps its /proc entry
}

}  // namespace
}  // namespace quillon_test
