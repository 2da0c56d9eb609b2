// Helpers shared by the tests: a temporary directory, whole-file reads and
// writes, a program run with its output captured, run-log normalisation, a
// fake shell, and fixtures for the run driver and for the trace object.

#ifndef TESTS_TEST_UTIL_H_
#define TESTS_TEST_UTIL_H_

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "quillon.h"
#include "shell.h"

extern char** environ;

namespace quillon_test {

// A directory under /tmp, removed with all its content on destruction.
class ScopedTempDir {
 public:
  ScopedTempDir() {
    char tmpl[] = "/tmp/quillon_test.XXXXXX";
    if (mkdtemp(tmpl) != nullptr) path_ = tmpl;
  }
  ~ScopedTempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline std::string ReadFile(const std::string& path) {
  std::ostringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

inline void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

inline bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// Whether `part` is in `text`; a failure shows both.
inline testing::AssertionResult Contains(const std::string& text, const std::string& part) {
  if (text.find(part) != std::string::npos) return testing::AssertionSuccess();
  return testing::AssertionFailure() << "\"" << part << "\" is not in:\n" << text;
}

inline size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// An argument file's text: every line ended by CR LF.
inline std::string ArgText(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\r\n";
  return text;
}

// Every time stamp "YYYY/MM/DD HH:MM:SS" replaced by "<TS>".
inline std::string NormalizeLog(const std::string& text) {
  static const std::regex stamp("[0-9]{4}/[0-9]{2}/[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}");
  return std::regex_replace(text, stamp, "<TS>");
}

struct ProgramResult {
  int exit_status = -1;  // exit code, or 128 + signal
  std::string out, err;  // standard output and error
};

struct ProgramOptions {
  std::string cwd = "/";
  std::vector<std::string> env;                        // "NAME=value" added
  std::vector<std::string> unset;                      // NAMEs left out
  std::vector<std::pair<int, std::string>> extra_fds;  // inherited: fd -> file
  int umask_value = -1;        // the program's umask (-1: the test's)
  size_t address_space = 0;    // RLIMIT_AS in bytes (0: unlimited)
  unsigned deadline = 30;      // seconds until SIGALRM ends a hung program
};

// Runs `path` with argv[0] = path and `args`, standard input on /dev/null.
// The trace variables and FAKE_HELP2_EXIT of the test's environment are not
// passed on.
inline ProgramResult RunProgram(const std::string& path, const std::vector<std::string>& args,
                                const ProgramOptions& options = ProgramOptions()) {
  std::vector<std::string> env = options.env, argv_text{path};
  for (char** e = environ; *e != nullptr; ++e)
    if (!std::regex_search(*e, std::regex("^(QZ_LOG_|TraceFileLimit=|FAKE_HELP2_EXIT=)")) &&
        std::none_of(options.unset.begin(), options.unset.end(), [&](const std::string& name) {
          return strncmp(*e, (name + "=").c_str(), name.size() + 1) == 0;
        }))
      env.push_back(*e);
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv, envp;
  for (std::string& a : argv_text) argv.push_back(&a[0]);
  for (std::string& e : env) envp.push_back(&e[0]);
  argv.push_back(nullptr);
  envp.push_back(nullptr);

  ProgramResult result;
  int out[2];
  FILE* err = tmpfile();
  if (err == nullptr || pipe(out) != 0) return result;
  pid_t pid = fork();
  if (pid == 0) {
    dup2(open("/dev/null", O_RDONLY), 0);
    dup2(out[1], 1);
    dup2(fileno(err), 2);
    for (const auto& fd : options.extra_fds)  // dup2 leaves close-on-exec off
      dup2(open(fd.second.c_str(), O_RDWR | O_CREAT, 0644), fd.first);
    if (options.umask_value >= 0) umask(static_cast<mode_t>(options.umask_value));
    if (options.address_space > 0) {
      struct rlimit limit = {options.address_space, options.address_space};
      setrlimit(RLIMIT_AS, &limit);
    }
    alarm(options.deadline);  // survives execve
    if (chdir(options.cwd.c_str()) == 0) execve(path.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  close(out[1]);
  char buffer[4096];
  ssize_t n;
  while ((n = read(out[0], buffer, sizeof(buffer))) > 0 || (n < 0 && errno == EINTR))
    if (n > 0) result.out.append(buffer, static_cast<size_t>(n));
  close(out[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  rewind(err);
  while ((n = static_cast<ssize_t>(fread(buffer, 1, sizeof(buffer), err))) > 0)
    result.err.append(buffer, static_cast<size_t>(n));
  fclose(err);
  return result;
}

// A shell that runs nothing: it records every command and answers with the
// queued wait statuses and errno values (0 once the queue is empty; with
// repeat_last, the last reply is kept for ever).
class FakeShell : public Shell {
 public:
  int System(const char* command, const sigset_t&) override {
    commands.push_back(command);
    if (replies_.empty()) return 0;
    std::pair<int, int> reply = replies_.front();
    if (replies_.size() > 1 || !repeat_last) replies_.pop_front();
    errno = reply.second;
    return reply.first;
  }
  void Queue(int wait_status, int error = 0) { replies_.push_back({wait_status, error}); }

  std::vector<std::string> commands;
  bool repeat_last = false;

 private:
  std::deque<std::pair<int, int>> replies_;
};

// Fresh run globals, the real shell and a temporary current directory for
// every test; all restored afterwards. OpenLog makes hLogFile a run log of
// the test, TakeLog returns it (time stamps normalised) and empties it.
class QuillonTest : public testing::Test {
 protected:
  void SetUp() override {
    ResetRunGlobals();
    char* cwd = getcwd(nullptr, 0);
    saved_cwd_ = cwd != nullptr ? cwd : "/";
    free(cwd);
    ASSERT_EQ(0, chdir(dir_.path().c_str()));
  }
  void TearDown() override {
    if (hLogFile != nullptr) fclose(hLogFile);
    ResetRunGlobals();
    SetShell(nullptr);
    EXPECT_EQ(0, chdir(saved_cwd_.c_str()));
  }
  void UseFakeShell() { SetShell(&shell_); }
  void OpenLog() { hLogFile = fopen((dir_ / "test.log").c_str(), "a+"); }
  std::string TakeLog() {
    std::string text = NormalizeLog(ReadFile(dir_ / "test.log"));
    if (hLogFile != nullptr) fclose(hLogFile);
    hLogFile = fopen((dir_ / "test.log").c_str(), "w+");
    return text;
  }

  ScopedTempDir dir_;
  FakeShell shell_;
  std::string saved_cwd_;
};

// Gives every program the tests start a directory of this test process's
// own through the environment variable `variable`, read by the test builds
// only: "<a new directory under /tmp>/<leaf>", which the programs make.
// Registered once per variable with testing::AddGlobalTestEnvironment.
// With `make_leaf` the test makes the leaf itself, for a directory the
// programs expect to find.
class PrivateDirectoryForPrograms : public testing::Environment {
 public:
  PrivateDirectoryForPrograms(const char* variable, const char* leaf, bool make_leaf = false)
      : variable_(variable), leaf_(leaf), make_leaf_(make_leaf) {}
  void SetUp() override {
    char tmpl[] = "/tmp/quillon_env.XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    root_ = tmpl;
    if (make_leaf_) {
      ASSERT_EQ(0, mkdir((root_ + "/" + leaf_).c_str(), 0755));
    }
    setenv(variable_, (root_ + "/" + leaf_).c_str(), 1);
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }

 private:
  const char* variable_;
  const char* leaf_;
  bool make_leaf_;
  std::string root_;
};

// Every program the tests start writes its reboot-required marker into a
// directory of this test process (the test build reads the variable), never
// into /run.
inline testing::Environment* const kPrivateRebootMarkers = testing::AddGlobalTestEnvironment(
    new PrivateDirectoryForPrograms("QUILLON_REBOOT_MARKER_DIR", "run", true));

// Local time follows the zone `tz` (a TZ value) while it lives.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* tz) : saved_(getenv("TZ") ? getenv("TZ") : "") {
    setenv("TZ", tz, 1);
    tzset();
  }
  ~ScopedTimeZone() {
    saved_.empty() ? unsetenv("TZ") : setenv("TZ", saved_.c_str(), 1);
    tzset();
  }

 private:
  const std::string saved_;  // empty: TZ was not set
};

// Every program the tests start keeps its history database in a directory
// of this test process (the test builds read the variable), never in
// /var/lib: so every run of the test build records its history, and the
// tests of the run show that nothing of it changes the run.
inline testing::Environment* const kPrivateHistory = testing::AddGlobalTestEnvironment(
    new PrivateDirectoryForPrograms("QUILLON_HISTORY_DIR", "history"));

// Length of a trace entry header without the memory figure for "Quillon".
const size_t kPlainHeaderLength = 49;

// Moves the modification time of `path` ahead, so that a change is seen
// whatever the clock granularity.
inline void TouchAhead(const std::string& path, int seconds = 100) {
  struct stat st;
  ASSERT_EQ(0, stat(path.c_str(), &st));
  struct timespec times[2] = {st.st_atim, {st.st_mtime + seconds, 0}};
  ASSERT_EQ(0, utimensat(AT_FDCWD, path.c_str(), times, 0));
}

// A temporary tree for the trace object: cfg/ (configuration directory),
// traces/ (the trace directory the configuration names), default/ (the one
// used when none is configured). The trace variables start unset and are
// restored afterwards.
class TraceTest : public testing::Test {
 protected:
  void SetUp() override {
    for (const std::string& dir : {cfg_, trace_, default_}) ASSERT_EQ(0, mkdir(dir.c_str(), 0700));
    for (const char* name :
         {"QZ_LOG_DYNAMIC_UPDATE", "QZ_LOG_RINGBUF_DIR", "QZ_LOG_FILE_MAX_SIZE",
          "QZ_LOG_DEBUG_LEVEL", "TraceFileLimit", "QZ_LOG_RINGBUF_WEIGHT", "QZ_LOG_NOHDR_TOSDTERR",
          "QZ_LOG_RINGBUF_WEIGHT_QUILLON", "QZ_TEST_TRACE"}) {
      const char* old = getenv(name);
      saved_.push_back({name, old != nullptr ? std::optional<std::string>(old) : std::nullopt});
      unsetenv(name);
    }
  }
  void TearDown() override {
    for (const auto& [name, value] : saved_)
      value ? setenv(name.c_str(), value->c_str(), 1) : unsetenv(name.c_str());
  }
  // Sets (or, with null, unsets) one of the trace variables.
  void SetEnv(const char* name, const char* value) {
    value != nullptr ? setenv(name, value, 1) : unsetenv(name);
  }
  // An application file for "Quillon" naming trace/.
  void WriteAppConfig(const std::string& body, const std::string& file = "quillon.ini") {
    WriteFile(cfg_ + "/" + file,
              "[Quillon]\nRingBufferDirectory = " + trace_ + "\n" + body + "\n[EndOfFile]\n");
  }
  // A ring buffer of factor x weight units; no memory figure, so that entry
  // headers have their fixed width.
  void WriteRingConfig(const std::string& level, unsigned factor, unsigned weight) {
    WriteAppConfig("FileDebugLevel = " + level + "\nRingBufferSizeFactor = " +
                   std::to_string(factor) + "\nRingBufferSizeWeight = " + std::to_string(weight) +
                   "\nMemoryTracesFlag = 0");
  }
  std::string LogPath() const { return trace_ + "/log.quillon"; }
  std::string RingPath() const { return trace_ + "/log.quillon_a"; }

  ScopedTempDir tmp_;
  const std::string root_ = tmp_.path(), cfg_ = root_ + "/cfg", trace_ = root_ + "/traces",
                    default_ = root_ + "/default";
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

}  // namespace quillon_test

#endif  // TESTS_TEST_UTIL_H_
