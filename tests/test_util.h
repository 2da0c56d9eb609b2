// Helpers shared by the run driver tests: a temporary directory, whole-file
// reads and writes, running a program with its standard output captured,
// run-log normalisation, a fake shell, and a fixture that gives every test
// fresh run globals and a temporary current directory.

#ifndef TESTS_TEST_UTIL_H_
#define TESTS_TEST_UTIL_H_

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <deque>
#include <filesystem>
#include <fstream>
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
  std::string out;       // standard output
};

struct ProgramOptions {
  std::string cwd = "/";
  std::vector<std::string> env;                        // "NAME=value" added
  std::vector<std::pair<int, std::string>> extra_fds;  // inherited: fd -> file
};

// Runs `path` with argv[0] = path and `args`, standard input on /dev/null.
// The trace variables and FAKE_HELP2_EXIT of the test's environment are not
// passed on.
inline ProgramResult RunProgram(const std::string& path, const std::vector<std::string>& args,
                                const ProgramOptions& options) {
  std::vector<std::string> env, argv_text{path};
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry(*e);
    if (entry.rfind("QZ_LOG_", 0) != 0 && entry.rfind("TraceFileLimit=", 0) != 0 &&
        entry.rfind("FAKE_HELP2_EXIT=", 0) != 0)
      env.push_back(entry);
  }
  env.insert(env.end(), options.env.begin(), options.env.end());
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv, envp;
  for (std::string& a : argv_text) argv.push_back(&a[0]);
  for (std::string& e : env) envp.push_back(&e[0]);
  argv.push_back(nullptr);
  envp.push_back(nullptr);

  ProgramResult result;
  int out[2];
  if (pipe(out) != 0) return result;
  pid_t pid = fork();
  if (pid == 0) {
    dup2(open("/dev/null", O_RDONLY), 0);
    dup2(out[1], 1);
    for (const auto& fd : options.extra_fds)  // dup2 leaves close-on-exec off
      dup2(open(fd.second.c_str(), O_RDWR | O_CREAT, 0644), fd.first);
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
  return result;
}

// A shell that runs nothing: it records every command and answers with the
// queued wait statuses and errno values (0 once the queue is empty; with
// repeat_last, the last reply is kept for ever).
class FakeShell : public Shell {
 public:
  int System(const char* command) override {
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

}  // namespace quillon_test

#endif  // TESTS_TEST_UTIL_H_
