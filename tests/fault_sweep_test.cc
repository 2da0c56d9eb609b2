// The fault sweeps: the real binary, run on a copy of a package with the
// interposer fault_shim.cc preloaded. A clean run counts the file-system
// calls, or the allocations (C); then for every N (every 7th on the larger
// package) and each kind of fault -- EIO, ENOSPC or SIGKILL at a
// file-system call, SIGTERM sent at one, or an allocation that fails -- a
// run with the fault at call N is followed by a clean run on the same copy,
// and what the two leave behind is checked:
//   - no command runs twice, and none that the clean run runs is lost
//     without a run-log line of the faulted run naming why;
//   - both status files are whole ("Status=N\nRetval=M"); a run that exits
//     leaves Status=5 with its own return value;
//   - the argument file differs from the original only in the marks and
//     result fields of pending lines;
//   - a mark whose flush to disk failed does not let its command start, and
//     a failed flush (fsync, fdatasync, syncfs, msync) is reported in the
//     run log;
//   - a run whose result differs from the clean run's says why (an error
//     line in its run log);
//   - commands get /dev/null on descriptor 0, and on 1 and 2 both the run's
//     output file (Quillon.out in the working directory) or both /dev/null
//     (when the file could not be had), and nothing is written into the
//     directory the run was started in;
//   - no run hangs (SIGALRM after kTimeoutSeconds) or dies of a signal
//     other than the injected SIGKILL, or the injected SIGTERM before the
//     run has started (before it wrote a status file or a log line);
//   - a stop is never ignored: no command starts after the SIGTERM (one
//     whose mark was being flushed when it came may start, but must then
//     see the signal and end of it), and while a pending line was left the
//     run ends with the handler error;
//   - an allocation that fails ends the run as its place documents or
//     through the catch with EXECERROR_NoMemory (then the run log shows the
//     catch), never by a signal.
// With a history database (the sweep of its calls), besides: after each of
// the two runs the database passes SQLite's integrity check; after the
// clean run no run is left open unmarked and its own run is recorded with
// its end and signer; a failing (not killed) history call leaves the run's
// exit status, status files, run log and argument file as the clean run
// has them, and puts at most one line into the system log.
// Faults the code is known to have are listed in kKnownFaults: they are
// printed as expected failures, everything else fails the test.
// Run alone: build/bin/quillon_tests --gtest_filter='FaultSweep*'

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <map>
#include <set>

#include <sqlite3.h>

#include "px_tool.h"
#include "test_util.h"

namespace quillon_test {
namespace {

namespace fs = std::filesystem;

// The test build: its run locks are in QUILLON_RUN_LOCK_DIR (run_lock_test.cc),
// its trusted keys come from the environment.
const std::string kQuillon = std::string(QUILLON_BIN_DIR) + "/Quillon_fakereboot";
const std::string kPxtool = std::string(QUILLON_BIN_DIR) + "/pxtool";
const unsigned kTimeoutSeconds = 20;
const std::vector<std::string> kFileFaults = {"eio", "enospc", "kill"};
const std::vector<std::string> kStop = {"term"};
const std::vector<std::string> kNoMemory = {"enomem"};

// Exit statuses of the run's codes: the handler error, the memory error and
// the abort of a command line without memory for its working copies.
const int kHandlerErrorExit = 0x22030003 & 0xFF;
const int kNoMemoryExit = 0x22030005 & 0xFF;
const int kAbortExit = 2;

// How a run ended.
struct Ending {
  int signal = 0;  // the signal that ended it, or 0
  int code = -1;   // its exit status when signal is 0
  std::string Text() const {
    return signal ? "signal " + std::to_string(signal) : "exit " + std::to_string(code);
  }
};

// Runs `binary` with `args` in `cwd`: descriptors 0 to 2 on /dev/null and
// no other open, the test's environment without trace settings and without
// the history's directory (a sweep that wants a history names one in `env`)
// plus `env`, ended by SIGALRM when it takes longer than kTimeoutSeconds.
Ending RunQuillon(const std::string& binary, const std::string& cwd,
                  const std::vector<std::string>& args, const std::vector<std::string>& env) {
  std::vector<std::string> envText = env, argvText{binary};
  for (char** e = environ; *e != nullptr; ++e)
    if (!std::regex_search(*e, std::regex("^(QZ_LOG_|TraceFileLimit=|FAKE_HELP2_EXIT=|LD_PRELOAD=|"
                                          "FAULT_SHIM_|QUILLON_HISTORY_DIR=)")))
      envText.push_back(*e);
  argvText.insert(argvText.end(), args.begin(), args.end());
  std::vector<char*> argv, envp;
  for (std::string& a : argvText) argv.push_back(&a[0]);
  for (std::string& e : envText) envp.push_back(&e[0]);
  argv.push_back(nullptr);
  envp.push_back(nullptr);
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    int null = open("/dev/null", O_RDWR);
    for (int fd = 0; fd <= 2; ++fd) dup2(null, fd);
    close_range(3, ~0U, 0);
    sigset_t all;
    sigemptyset(&all);
    sigprocmask(SIG_SETMASK, &all, nullptr);
    signal(SIGALRM, SIG_DFL);
    alarm(kTimeoutSeconds);  // kept across exec
    if (chdir(cwd.c_str()) == 0) execve(binary.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  Ending ending;
  if (WIFSIGNALED(status)) ending.signal = WTERMSIG(status);
  else ending.code = WEXITSTATUS(status);
  return ending;
}

std::vector<std::string> SplitLines(const std::string& text, const std::string& end = "\n") {
  std::vector<std::string> lines;
  size_t at = 0;
  for (size_t next; (next = text.find(end, at)) != std::string::npos; at = next + end.size())
    lines.push_back(text.substr(at, next - at));
  if (at < text.size()) lines.push_back(text.substr(at));
  return lines;
}

// The name a command line records ("c3"), or "" for a flags line or text.
std::string CommandName(const std::string& line) {
  std::smatch m;
  return std::regex_search(line, m, std::regex("echo (c[0-9]+) [$][?] >> ")) ? m[1].str() : "";
}

// What a command records before it does its work: its name, and 0 when it
// was started with descriptor 0 on /dev/null and 1 and 2 both on /dev/null
// or both on the run's output file, Quillon.out in the runs' working
// directory "work" (1 otherwise).
const char kRecordFormat[] =
    "[ /proc/$$/fd/0 -ef /dev/null ] && { { [ /proc/$$/fd/1 -ef /dev/null ] && "
    "[ /proc/$$/fd/2 -ef /dev/null ]; } || { [ /proc/$$/fd/1 -ef /proc/$$/fd/2 ] && "
    "case $(readlink /proc/$$/fd/1) in */work/Quillon.out) true;; *) false;; esac; }; }; "
    "echo %s $? >> %s; ";

// The names in a record file, in order; names of commands started with
// other descriptors are added to `badDescriptors`.
std::vector<std::string> Recorded(const std::string& record,
                                  std::set<std::string>* badDescriptors = nullptr) {
  std::vector<std::string> names;
  for (const std::string& line : SplitLines(ReadFile(record))) {
    names.push_back(line.substr(0, line.find(' ')));
    if (badDescriptors != nullptr && line != names.back() + " 0")
      badDescriptors->insert(names.back());
  }
  return names;
}

// Empty when `now` differs from `original` only in the marks (column 1,
// 0 -> 1) and the result fields (columns 3 to 5, digits) of pending lines.
std::string ArgFileChange(const std::string& original, const std::string& now) {
  if (now.size() != original.size())
    return "size " + std::to_string(original.size()) + " -> " + std::to_string(now.size());
  size_t lineStart = 0;
  for (size_t i = 0; i < original.size(); ++i) {
    if (i > 0 && original[i - 1] == '\n') lineStart = i;
    if (now[i] == original[i]) continue;
    size_t column = i - lineStart;
    bool pending = original[lineStart] == '0';
    bool mark = column == 0 && now[i] == '1';
    bool result = column >= 2 && column <= 4 && isdigit(static_cast<unsigned char>(now[i]));
    if (!pending || !(mark || result))
      return "byte " + std::to_string(i) + " of line \"" +
             original.substr(lineStart, original.find('\r', lineStart) - lineStart) + "\" is '" +
             now[i] + "'";
  }
  return "";
}

// The status file in `dir`, or kNoStatus.
const char kNoStatus[] = "(none)";
std::string Status(const std::string& dir) {
  std::string path = dir + "/HandlerStatus.txt";
  return Exists(path) ? ReadFile(path) : kNoStatus;
}

// A status text on one line.
std::string Shown(const std::string& text) {
  return "\"" + std::regex_replace(text, std::regex("\n"), "\\n") + "\"";
}

bool StatusWhole(const std::string& text) {
  return std::regex_match(text, std::regex("Status=[345]\nRetval=-?[0-9]+"));
}

// Whether a status text says the run ended with exit status `code`.
bool StatusTellsEnd(const std::string& text, int code) {
  std::smatch m;
  return std::regex_match(text, m, std::regex("Status=5\nRetval=(-?[0-9]+)")) &&
         (std::stoll(m[1].str()) & 0xFF) == code;
}

bool HasErrorLine(const std::string& log) {
  return std::regex_search(log, std::regex("error|Error|ERROR"));
}

// A package for the sweep: `root`/files (the package files) and
// `root`/pkg/px.arg, whose command lines first append their name to
// `record`. Runs are made on copies of it.
struct Package {
  std::string root, record, argText;
  std::vector<std::string> marked;  // per pending line of [Commands]: its name or ""
  std::vector<size_t> markedAt;     // where each of these lines starts in argText
};

// The argument file `lines` with every pending command line recording its
// name: "0 000 [update |force ]echo cK >> RECORD; COMMAND".
Package MakePackage(const std::string& root, const std::string& record,
                    const std::vector<std::string>& lines) {
  Package package{root, record, "", {}, {}};
  bool inCommands = false;
  int next = 1;
  size_t at = 0;
  std::vector<std::string> out;
  for (std::string line : lines) {
    if (line.rfind("[", 0) == 0) inCommands = line == "[Commands]";
    if (line.rfind("0 000 ", 0) == 0 && line.rfind("0 000 flag", 0) != 0) {
      std::string text = line.substr(6), prefix;
      for (const char* mode : {"update ", "force "})
        if (text.rfind(mode, 0) == 0) prefix = mode, text = text.substr(strlen(mode));
      char recording[512];
      snprintf(recording, sizeof(recording), kRecordFormat, ("c" + std::to_string(next++)).c_str(),
               record.c_str());
      line = "0 000 " + prefix + recording + text;
    }
    if (inCommands && line.rfind("0", 0) == 0) {
      package.marked.push_back(CommandName(line));
      package.markedAt.push_back(at);
    }
    out.push_back(line);
    at += line.size() + 2;
  }
  package.argText = ArgText(out);
  fs::create_directories(root + "/pkg");
  WriteFile(root + "/pkg/px.arg", package.argText);
  return package;
}

// The example package of the repository, commands recording.
Package HelloPackage(const std::string& root, const std::string& record) {
  fs::create_directories(root);
  fs::copy(std::string(QUILLON_SOURCE_DIR) + "/examples/hello/files", root + "/files");
  std::string text = ReadFile(std::string(QUILLON_SOURCE_DIR) + "/examples/hello/pkg/px.arg");
  return MakePackage(root, record, SplitLines(text, "\r\n"));
}

// A trusted key pair in minisign's formats, the secret key unencrypted.
const char kSweepPublicKey[] =
    "untrusted comment: sweep test key\n"
    "RWRRVUlMTE9OMXm1Vi6P5lT5QHixEuipi6eQH4U65pW+1+DjkQutBJZk\n";
const char kSweepSecretKey[] =
    "untrusted comment: sweep test secret key\n"
    "RWQAAEIyAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAUVVJTExPTjEBAgMEBQYHCAkK"
    "CwwNDg8QERITFBUWFxgZGhscHR4fIHm1Vi6P5lT5QHixEuipi6eQH4U65pW+1+DjkQutBJZkAAAAAAAAAAAAAAAAAAAAAAAA"
    "AAAAAAAAAAAAAAAAAAA=\n";

// The example package signed with the sweep's key, whose public half is
// the only key in `keys`.
Package SignedHelloPackage(const std::string& root, const std::string& record,
                           const std::string& keys) {
  Package package = HelloPackage(root, record);
  fs::create_directories(keys);
  WriteFile(keys + "/sweep.pub", kSweepPublicKey);
  WriteFile(root + "/../sweep.key", kSweepSecretKey);
  ProgramOptions options;
  options.cwd = root;
  ProgramResult signing =
      RunProgram(kPxtool, {"sign", "--key", "../sweep.key", ".", "pkg/px.arg"}, options);
  EXPECT_EQ(0, signing.exit_status) << signing.err;
  return package;
}

// More commands and files: plain, scrambled with both methods, an ".exe";
// the command section crosses a page boundary of the argument file.
Package LargePackage(const std::string& root, const std::string& record) {
  std::string files = root + "/files";
  fs::create_directories(files);
  std::string firmware;
  for (int i = 0; i < 40000; ++i) firmware += static_cast<char>(i * 7 % 251);
  WriteFile(files + "/fw1.bin", firmware);
  WriteFile(root + "/plain2.txt", "second part, scrambled with method 1\n");
  WriteFile(root + "/plain3.txt", "third part, scrambled with method 2\n");
  PXTool tool;
  EXPECT_EQ(0, tool.GetPXFile2File((root + "/plain2.txt").c_str(), (files + "/fw2.txt").c_str(),
                                   PXTool::PXEncryptKey1));
  EXPECT_EQ(0, tool.GetPXFile2File((root + "/plain3.txt").c_str(), (files + "/fw3.dat").c_str(),
                                   PXTool::PXEncryptKey2));
  WriteFile(files + "/tool.exe", "#!/bin/sh\nexit 0\n");
  WriteFile(files + "/notes.txt", "release notes\n");
  std::vector<std::string> lines{"[Runtime]"};
  for (int i = 0; i < 38; ++i)
    lines.push_back("# padding so that the command section crosses a page boundary, line " +
                    std::to_string(i) + std::string(20, '.'));
  lines.insert(lines.end(),
               {"FWPATH=files", "[Commands]", "0 000 flag abort_ne 0",
                "0 000 cmp -s fw1.bin ../files/fw1.bin", "0 000 flag abort_ne 0",
                "0 000 cmp -s fw2.txt ../plain2.txt", "0 000 flag abort_ne 0",
                "0 000 cmp -s fw3.dat ../plain3.txt", "0 000 flag abort_ne 0 Delayed",
                "0 000 test -x tool.exe && ./tool.exe", "0 000 flag abort_ne 0 omit_ret_codes 3,4;",
                "0 000 exit 4", "0 000 update echo never", "0 000 force cat notes.txt",
                "0 000 flag abort_ne 0", "0 000 test -f notes.txt", "0 000 true", "[UpdCommands]",
                "0 000 true", "[End]"});
  Package package = MakePackage(root, record, lines);
  size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  EXPECT_LT(package.argText.find("[Commands]"), page);
  EXPECT_GT(package.argText.find("[UpdCommands]"), page);
  return package;
}

// A fault the code is known to have: violations of `check` by a fault of a
// kind that matches `kinds` at a call that matches `call` ("name detail",
// the sweep's directory shown as <tmp>) are printed as expected failures.
struct KnownFault {
  const char* kinds;
  const char* check;
  const char* call;
  const char* why;
};

const KnownFault kKnownFaults[] = {
    // The run's documented behaviour: a change of directory is not checked,
    // and a package directory that cannot be listed, or a package file that
    // cannot be examined, makes no package file (the file is passed over).
    {"eio|enospc", "outside", "chdir <tmp>/work",
     "documented: a change of directory is not checked"},
    {"eio|enospc", "status-end", "chdir <tmp>/work",
     "documented: a change of directory is not checked"},
    {"eio|enospc", "silent-change", "chdir .*", "documented: a change of directory is not checked"},
    {"eio|enospc", "silent-change", "scandir files",
     "documented: an unlistable package directory is empty"},
    {"eio|enospc", "silent-change", "stat files/.*",
     "documented: a file that cannot be examined is passed over"},
    // The listing's own allocations (scandir's, inside the C library).
    {"enomem", "silent-change", "(malloc|realloc) libc.so.6:(scandir|Quillon_fakereboot)",
     "documented: an unlistable package directory is empty"},
    {"enomem", "memory-end", "(malloc|realloc) libc.so.6:(scandir|Quillon_fakereboot)",
     "documented: an unlistable package directory is empty"},
};

struct Violation {
  long n;
  std::string kind, call, check, detail;
};

const KnownFault* Known(const Violation& v) {
  for (const KnownFault& k : kKnownFaults)
    if (std::regex_match(v.kind, std::regex(k.kinds)) && v.check == k.check &&
        std::regex_match(v.call, std::regex(k.call)))
      return &k;
  return nullptr;
}

// The sweep's directory: on /dev/shm where there is one, since the runs
// flush to disk many times and the sweep is about faults, not the disk.
class SweepDir {
 public:
  SweepDir() {
    struct stat st;
    std::string base = stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) ? "/dev/shm" : "/tmp";
    std::string name = base + "/quillon_sweep.XXXXXX";
    if (mkdtemp(&name[0]) != nullptr) path_ = name;
  }
  ~SweepDir() {
    std::error_code ignored;
    if (!path_.empty()) fs::remove_all(path_, ignored);
  }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

class FaultSweep : public testing::Test {
 protected:
  void SetUp() override {
#ifndef QUILLON_FAULT_SHIM
    GTEST_SKIP() << "no fault shim in this build: the sanitizer runtimes must come first in the "
                    "process, so an LD_PRELOAD interposer cannot be used there";
#else
    shim_ = QUILLON_FAULT_SHIM;
#endif
    ASSERT_FALSE(dir_.path().empty());
    fs::create_directory(start_);
    // The runs' lock directory is there from the start, so that every run
    // makes the same calls.
    ASSERT_EQ(0, mkdir((dir_ / "locks").c_str(), 0700));
  }

  // Copies the package to a fresh work directory; the record, the trace's
  // files, the runs' records of taken lines and their reboot-required
  // marker are emptied.
  void FreshCopy(const Package& package) {
    fs::remove_all(work_);
    fs::remove_all(state_);
    fs::remove_all(markers_);
    fs::create_directory(markers_);
    fs::copy(package.root, work_, fs::copy_options::recursive);
    fs::remove(package.record);
    fs::remove_all(trace_);
    fs::create_directory(trace_);
    fs::remove_all(history_);
    fs::remove(syslog_);
  }

  std::vector<std::string> ShimEnv(const std::string& mode, long n) {
    std::vector<std::string> env = BaseEnv();
    env.insert(env.end(), {"LD_PRELOAD=" + shim_, "FAULT_SHIM_MODE=" + mode,
                           "FAULT_SHIM_AT=" + std::to_string(n), "FAULT_SHIM_OUT=" + out_});
    return env;
  }

  // Every run's environment: the trace's files, the run locks and the
  // records of taken lines in the sweep's directory, and what the test sets.
  std::vector<std::string> BaseEnv() const {
    std::vector<std::string> env = env_;
    env.push_back("QZ_LOG_RINGBUF_DIR=" + trace_);
    env.push_back(locks_);
    env.push_back("QUILLON_STATE_DIR=" + state_);
    env.push_back("QUILLON_REBOOT_MARKER_DIR=" + markers_);
    if (withHistory_) {
      env.push_back("QUILLON_HISTORY_DIR=" + history_);
      env.push_back("QUILLON_SYSTEM_LOG=" + syslog_);
    }
    return env;
  }

  // A line of the shim's output with the sweep's directory shown as <tmp>
  // and no process id.
  std::string Normalize(const std::string& line) const {
    std::string text = std::regex_replace(line, std::regex(dir_.path()), "<tmp>");
    text = std::regex_replace(text, std::regex("[0-9]+-[0-9]+[.]lock"), "DEV-INODE.lock");
    return std::regex_replace(text, std::regex("pxtmp-[0-9]+-"), "pxtmp-PID-");
  }

  // The clean run: the calls it makes ("N call detail" per line), counted in
  // the shim's mode `count` (file-system calls) or `count-alloc`.
  std::vector<std::string> CountCalls(const Package& package, std::set<std::string>* ran,
                                      const std::string& count) {
    FreshCopy(package);
    Ending end = RunQuillon(binary_, start_, {work_, "pkg/px.arg"}, ShimEnv(count, 0));
    EXPECT_EQ(0, end.signal);
    EXPECT_TRUE(StatusTellsEnd(ReadFile(work_ + "/pkg/HandlerStatus.txt"), end.code));
    clean_code_ = end.code;
    clean_ = {ReadFile(work_ + "/pkg/HandlerStatus.txt"), ReadFile(work_ + "/pkg/px.arg"),
              NormalizeLog(ReadFile(work_ + "/Quillon.log"))};
    std::set<std::string> badDescriptors;
    for (const std::string& name : Recorded(package.record, &badDescriptors))
      EXPECT_TRUE(ran->insert(name).second) << name << " ran twice in the clean run";
    EXPECT_TRUE(badDescriptors.empty())
        << "commands started with other descriptors than /dev/null and the output file";
    std::vector<std::string> lines;
    for (const std::string& line : SplitLines(ReadFile(out_))) lines.push_back(Normalize(line));
    if (lines.empty()) return {};
    EXPECT_EQ("calls " + std::to_string(lines.size() - 1), lines[0]);
    lines.erase(lines.begin());
    return lines;
  }

  // One injected run at call `n` of kind `kind` and the clean run after it.
  void InjectAt(const Package& package, const std::vector<std::string>& calls,
                const std::set<std::string>& expected, long n, const std::string& kind) {
    FreshCopy(package);
    fs::remove(out_);
    std::string call = calls[n - 1].substr(calls[n - 1].find(' ') + 1);
    auto fail = [&](const std::string& check, const std::string& detail) {
      violations_.push_back({n, kind, call, check, detail});
    };
    Ending first = RunQuillon(binary_, start_, {work_, "pkg/px.arg"}, ShimEnv(kind, n));
    std::string log1 = ReadFile(work_ + "/Quillon.log");
    std::string arg1 = ReadFile(work_ + "/pkg/px.arg");
    std::vector<std::string> status1{Status(work_), Status(work_ + "/pkg")};
    std::set<std::string> badDescriptors;
    std::vector<std::string> ran1 = Recorded(package.record, &badDescriptors);
    std::vector<std::string> hit = SplitLines(ReadFile(out_));
    const std::string integrity1 = withHistory_ ? Query("PRAGMA integrity_check") : "";
    const std::string syslog1 = ReadFile(syslog_);
    if (hit.empty()) fail("not-reached", "the run never made call " + std::to_string(n));
    else if (Normalize(hit[0]) != calls[n - 1]) fail("diverged", "call N was " + hit[0]);
    else ++injected_;
    Ending second = RunQuillon(binary_, start_, {work_, "pkg/px.arg"}, BaseEnv());
    std::vector<std::string> ran = Recorded(package.record, &badDescriptors);
    for (const std::string& name : badDescriptors)
      fail("descriptors", name + " started without /dev/null on 0 and the output file (or "
                                 "/dev/null) on both 1 and 2");

    // Nothing is written outside the package's directory (the runs start in
    // an empty directory of their own).
    std::string outside;
    for (const auto& entry : fs::directory_iterator(start_)) outside += " " + entry.path().string();
    if (!outside.empty()) fail("outside", "left in the starting directory:" + outside);
    fs::remove_all(start_);
    fs::create_directory(start_);

    // Ends: no hang, no foreign signal; the clean run ends well. A stop
    // before the run has started ends the process as the signal's default.
    const bool killed = kind == "kill", stopped = kind == "term", memory = kind == "enomem";
    const bool notStarted = status1[0] == kNoStatus && status1[1] == kNoStatus && log1.empty();
    if (first.signal == SIGALRM || second.signal == SIGALRM) fail("hang", "timed out");
    else if (first.signal != (killed ? SIGKILL : 0) &&
             !(stopped && first.signal == SIGTERM && notStarted))
      fail("signal", "faulted run: " + first.Text());
    if (second.signal != 0 && second.signal != SIGALRM)
      fail("signal", "clean run after it: " + second.Text());

    // Commands: at most once; the clean run's set, each lost one explained.
    std::map<std::string, int> times;
    for (const std::string& name : ran) ++times[name];
    for (const auto& [name, count] : times) {
      if (count > 1) fail("twice", name + " ran " + std::to_string(count) + " times");
      if (!expected.count(name)) fail("twice", name + " ran, but a clean run does not run it");
    }
    std::vector<std::string> logLines = SplitLines(log1);
    for (const std::string& name : expected) {
      if (times.count(name)) continue;
      auto exec = std::find_if(logLines.begin(), logLines.end(), [&](const std::string& l) {
        return l.find("exec command <") != std::string::npos && CommandName(l) == name;
      });
      bool explained = exec != logLines.end() &&
                       (killed || HasErrorLine(Join(exec + 1, logLines.end())));
      if (!explained) fail("lost", name + " never ran and the faulted run's log does not say why");
    }

    // Status files: whole; each run that exits tells its end.
    std::vector<std::string> status2{Status(work_), Status(work_ + "/pkg")};
    for (const std::string& s : {status1[0], status1[1], status2[0], status2[1]})
      if (s != kNoStatus && !StatusWhole(s)) fail("status-torn", Shown(s));
    // A run that cannot take the package's lock leaves the status files to
    // the run that may hold it, and says so.
    bool nothingDone = log1.find(" - nothing done") != std::string::npos;
    if (first.signal == 0 && !nothingDone && !StatusTellsEnd(status1[0], first.code) &&
        !StatusTellsEnd(status1[1], first.code))
      fail("status-end", "faulted run ended with " + first.Text() + ", status files " +
                             Shown(status1[0]) + " and " + Shown(status1[1]) + " (pkg/)");
    if (second.signal == 0 && !StatusTellsEnd(status2[1], second.code))
      fail("status-end", "clean run after it ended with " + second.Text() + ", status " +
                             Shown(status2[1]));

    // Argument file: only marks and result fields changed.
    for (const std::string& arg : {arg1, ReadFile(work_ + "/pkg/px.arg")}) {
      std::string change = ArgFileChange(package.argText, arg);
      if (!change.empty()) fail("argfile", change);
    }

    // Flushes: a failed one is reported; a mark not on disk starts nothing.
    const bool failed = !killed && !stopped;
    std::string name = call.substr(0, call.find(' '));
    // (The history's flushes are its own: never in the run log.)
    if (failed && !withHistory_ &&
        (name == "fsync" || name == "fdatasync" || name == "syncfs" || name == "msync") &&
        !HasErrorLine(log1))
      fail("flush-silent", "no error line in the faulted run's log");
    std::vector<long> flushes = MarkFlushes(calls);
    if (failed && name == "msync") {
      size_t k = std::find(flushes.begin(), flushes.end(), n) - flushes.begin();
      std::string marked = k < package.marked.size() ? package.marked[k] : "";
      if (!marked.empty() && std::count(ran1.begin(), ran1.end(), marked))
        fail("unflushed-mark", marked + " started although its mark was not flushed");
    }

    // A different result is explained, by the log or by the memory error.
    if (!killed && first.signal == 0 && first.code != clean_code_ && !HasErrorLine(log1) &&
        !(memory && first.code == kNoMemoryExit))
      fail("silent-change", "faulted run ended with " + first.Text() + " (clean run: exit " +
                                std::to_string(clean_code_) + ") and its log names no error");

    if (withHistory_) {
      if (integrity1 != "ok" && integrity1 != kNoDatabase)
        fail("history-integrity", "after the faulted run: " + integrity1);
      const std::string integrity2 = Query("PRAGMA integrity_check");
      if (integrity2 != "ok") fail("history-integrity", "after the clean run: " + integrity2);
      const std::string open =
          Query("SELECT count(*) FROM runs WHERE ended_ms IS NULL AND interrupted_ms IS NULL");
      if (open != "0") fail("history-open", open + " runs without an end left unmarked");
      if (Query("SELECT verdict || ' ' || key_id FROM runs ORDER BY id DESC LIMIT 1").empty())
        fail("history-clean-run", "the clean run has no end or no signer in the history");
      const std::vector<std::string> faulted{status1[1], arg1, NormalizeLog(log1)};
      for (size_t i = 0; !killed && i < faulted.size(); ++i)
        if (faulted[i] != clean_[i])
          fail("history-changed-run", "left another " +
                                          std::string(i == 0 ? "status" : i == 1 ? "argument file" : "run log") +
                                          " than the clean run: " + faulted[i] + "\n---\n" + clean_[i]);
      if (!killed && (first.signal != 0 || first.code != clean_code_))
        fail("history-changed-run", "the run ended with " + first.Text());
      if (Count(syslog1, "\n") > 1) fail("history-reports", "more than one line: " + syslog1);
    }
    if (memory && first.signal == 0) CheckMemoryEnd(first, log1, fail);
    if (stopped) CheckStop(package, flushes, n, first, ran1, arg1, fail);
  }

  // The calls (1 = the first) that flush the mark of each pending line of
  // the command section, in order.
  static std::vector<long> MarkFlushes(const std::vector<std::string>& calls) {
    std::vector<long> flushes;
    for (size_t i = 0; i < calls.size(); ++i)
      if (calls[i].find(" msync ") != std::string::npos) flushes.push_back(static_cast<long>(i + 1));
    return flushes;
  }

  // A failed allocation ends the run as its place documents -- the run's
  // own result; the handler error after the basic parameters, a staged
  // file or the shell failed for it (errno 12); an abort when a command
  // line's working copies found none -- or through the catch with the
  // memory error.
  template <typename Fail>
  void CheckMemoryEnd(const Ending& first, const std::string& log, Fail fail) {
    // libcrypto reports a verification that ran out of memory inside as a
    // signature that does not match: the trust check then fails closed.
    static const std::regex documented(
        "ERROR (570621957|55) reading basic parameters|[(]errno 12[)]|"
        "out of memory for a command line|ERROR : package signature check: ");
    const int code = first.code;
    if (code != clean_code_ && code != kNoMemoryExit &&
        !((code == kHandlerErrorExit || code == kAbortExit) && std::regex_search(log, documented)))
      fail("memory-end", "faulted run ended with " + first.Text() + " for no documented reason");
    if (code == kNoMemoryExit && !log.empty() &&
        log.find("caught exception 570621957") == std::string::npos)
      fail("memory-end", "the memory error did not go through the catch");
  }

  // A stop at call `n`: no command starts after it, one whose mark it met
  // being flushed sees it, and the run stops when something was left to do.
  template <typename Fail>
  void CheckStop(const Package& package, const std::vector<long>& flushes, long n,
                 const Ending& first, const std::vector<std::string>& ran, const std::string& arg,
                 Fail fail) {
    bool left = false;
    for (size_t k = 0; k < flushes.size() && k < package.marked.size(); ++k) {
      left |= flushes[k] > n;
      const std::string& command = package.marked[k];
      if (command.empty() || !std::count(ran.begin(), ran.end(), command)) continue;
      if (flushes[k] > n) fail("started-after-stop", command + " started after the stop");
      else if (flushes[k] == n && arg.compare(package.markedAt[k] + 2, 3, "015") != 0)  // SIGTERM
        fail("unsignalled-start", command + " started during the stop and did not end of it");
    }
    if (left && first.signal == 0 && first.code != kHandlerErrorExit)
      fail("stop-ignored", "lines were left, yet the run ended with " + first.Text());
  }


  static std::string Join(std::vector<std::string>::const_iterator begin,
                          std::vector<std::string>::const_iterator end) {
    std::string text;
    for (; begin != end; ++begin) text += *begin + "\n";
    return text;
  }

  // What the fault injection cannot show, a flush left out, the clean
  // run's calls can: every status file reaches the disk before its name
  // does (an fsync of the temporary after its write, before the rename),
  // and its directory is flushed after the rename.
  static void CheckStatusDurability(const std::vector<std::string>& calls) {
    bool synced = false;
    for (size_t i = 0; i < calls.size(); ++i) {
      const std::string call = calls[i].substr(calls[i].find(' ') + 1);
      const bool temporary = call.find("HandlerStatus.txt.new") != std::string::npos;
      if (temporary && call.compare(0, 6, "write ") == 0) synced = false;
      if (temporary && call.compare(0, 6, "fsync ") == 0) synced = true;
      if (call.compare(0, 28, "rename HandlerStatus.txt.new") != 0) continue;
      EXPECT_TRUE(synced) << "call " << i + 1 << ": status file renamed unflushed";
      bool dirSynced = false;
      for (size_t j = i + 1; j < calls.size() && j < i + 4; ++j)
        dirSynced |= calls[j].find(" fsync ") != std::string::npos &&
                     calls[j].find("HandlerStatus") == std::string::npos;
      EXPECT_TRUE(dirSynced) << "call " << i + 1 << ": directory not flushed after the rename";
      synced = false;
    }
  }

  // Sweeps every `step`-th call of the package's clean run with each of
  // `kinds` (the shim's modes: all of them at file-system calls, or
  // "enomem" alone at allocations).
  void Sweep(const std::string& title, const Package& package, long step,
             const std::vector<std::string>& kinds) {
    const std::string count = kinds == kNoMemory ? "count-alloc" : "count";
    std::set<std::string> expected, again;
    std::vector<std::string> calls = CountCalls(package, &expected, count);
    ASSERT_FALSE(calls.empty()) << "the clean run counted no calls";
    if (count == "count") CheckStatusDurability(calls);
    ASSERT_FALSE(expected.empty()) << "the clean run ran no command";
    // The count is repeatable, or N would not name the same call twice.
    ASSERT_EQ(calls.size(), CountCalls(package, &again, count).size());
    long swept = 0;
    for (long n = 1; n <= static_cast<long>(calls.size()); n += step) {
      if (!only_.empty() && !std::regex_search(calls[n - 1], std::regex(only_))) continue;
      ++swept;
      for (const std::string& kind : kinds) InjectAt(package, calls, expected, n, kind);
    }
    const size_t runs = kinds.size() * static_cast<size_t>(swept);
    std::cout << "fault sweep " << title << ": " << calls.size() << " calls, " << swept
              << " swept, " << runs << " injected runs (" << injected_ << " reached)\n";
    EXPECT_EQ(runs, injected_) << "injected runs that never reached N";
    if (step == 1 && only_.empty()) {
      EXPECT_EQ(static_cast<long>(calls.size()), swept) << "the sweep missed calls";
    }
    Report(step == 1 && only_.empty(), kinds);
  }

  // Prints every violation; unknown ones fail the test. A complete sweep
  // names the known faults of its kinds that it did not meet.
  void Report(bool complete, const std::vector<std::string>& kinds) {
    std::set<const KnownFault*> seen;
    for (const Violation& v : violations_) {
      const KnownFault* known = Known(v);
      std::string text = "N=" + std::to_string(v.n) + " " + v.kind + " at " + v.call + ": " +
                         v.check + ": " + v.detail;
      if (known != nullptr) {
        seen.insert(known);
        std::cout << "  expected failure (" << known->why << "): " << text << "\n";
      } else {
        ADD_FAILURE() << text;
      }
    }
    for (const KnownFault& k : kKnownFaults)
      if (complete && !seen.count(&k) &&
          std::any_of(kinds.begin(), kinds.end(),
                      [&](const std::string& kind) { return std::regex_match(kind, std::regex(k.kinds)); }))
        std::cout << "  known fault not seen in this sweep (fixed? remove it from kKnownFaults): "
                  << k.check << " at " << k.call << "\n";
  }

  // The first value of `sql` on the history database, kNoDatabase when
  // there is none, or SQLite's error.
  std::string Query(const char* sql) const {
    const std::string path = history_ + "/history.db";
    if (!Exists(path)) return kNoDatabase;
    sqlite3* db = nullptr;
    std::string value;
    int code = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
    sqlite3_stmt* s = nullptr;
    if (code == SQLITE_OK) code = sqlite3_prepare_v2(db, sql, -1, &s, nullptr);
    if (code == SQLITE_OK) code = sqlite3_step(s);
    if (code == SQLITE_ROW && sqlite3_column_text(s, 0) != nullptr)
      value = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
    else if (code != SQLITE_ROW && code != SQLITE_DONE)
      value = std::string("error: ") + sqlite3_errstr(code);
    sqlite3_finalize(s);
    sqlite3_close(db);
    return value;
  }
  static constexpr const char* kNoDatabase = "(no database)";

  SweepDir dir_;
  std::string shim_, start_ = dir_ / "start", work_ = dir_ / "work", out_ = dir_ / "shim.out",
                     trace_ = dir_ / "trace", locks_ = "QUILLON_RUN_LOCK_DIR=" + dir_ / "locks",
                     state_ = dir_ / "state", markers_ = dir_ / "run",
                     history_ = dir_ / "history", syslog_ = dir_ / "syslog";
  bool withHistory_ = false;
  std::string only_;  // a pattern: only the calls that match are swept
  std::vector<std::string> clean_;  // the clean run's status, argument file, log
  std::string binary_ = kQuillon;
  std::vector<std::string> env_;
  int clean_code_ = 0;
  size_t injected_ = 0;
  std::vector<Violation> violations_;
};

TEST_F(FaultSweep, ExamplePackageEveryCall) {
  Sweep("examples/hello", HelloPackage(dir_ / "hello", dir_ / "ran.txt"), 1, kFileFaults);
}

TEST_F(FaultSweep, LargerPackageEverySeventhCall) {
  Sweep("larger package", LargePackage(dir_ / "large", dir_ / "ran.txt"), 7, kFileFaults);
}

TEST_F(FaultSweep, ExamplePackageStopAtEveryCall) {
  Sweep("examples/hello, SIGTERM", HelloPackage(dir_ / "hello", dir_ / "ran.txt"), 1, kStop);
}

// With the trace on, so that its own copies (the command text it shows)
// are among the allocations.
TEST_F(FaultSweep, ExamplePackageEveryAllocationFails) {
  env_ = {"QZ_LOG_DEBUG_LEVEL=3", "TraceFileLimit=1", "QZ_LOG_RINGBUF_WEIGHT=1"};
  Sweep("examples/hello, allocations", HelloPackage(dir_ / "hello", dir_ / "ran.txt"), 1,
        kNoMemory);
}

// A signed package, whose runs add each line to the record of taken lines
// before its mark: a run killed or failing anywhere, also between the two,
// is followed by one that verifies and finishes.
TEST_F(FaultSweep, SignedExamplePackageEveryCall) {
  env_ = {"QUILLON_TRUSTED_KEYS_DIR=" + (dir_ / "keys")};
  Sweep("examples/hello signed", SignedHelloPackage(dir_ / "hello", dir_ / "ran.txt", dir_ / "keys"),
        1, kFileFaults);
}

// libcrypto's own allocations, thousands of them (its first use loads its
// configuration and algorithm tables): the signature and digest set-up.
TEST_F(FaultSweep, SignedExamplePackageEveryTwentyThirdAllocationFails) {
  binary_ = kQuillon;
  env_ = {"QUILLON_TRUSTED_KEYS_DIR=" + (dir_ / "keys")};
  Sweep("examples/hello signed, allocations",
        SignedHelloPackage(dir_ / "hello", dir_ / "ran.txt", dir_ / "keys"), 23, kNoMemory);
}

// The history database's calls, each killed and each failing with a full
// disk, on a signed package (whose signer goes into the history): the
// database survives every one of them whole, the next run records itself,
// and a failure changes nothing of the run.
TEST_F(FaultSweep, HistoryEveryCall) {
  env_ = {"QUILLON_TRUSTED_KEYS_DIR=" + (dir_ / "keys")};
  withHistory_ = true;
  only_ = "history";
  Sweep("examples/hello signed, history calls",
        SignedHelloPackage(dir_ / "hello", dir_ / "ran.txt", dir_ / "keys"), 1,
        {"kill", "enospc"});
}

}  // namespace
}  // namespace quillon_test
