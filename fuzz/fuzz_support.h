// What the fuzz targets share: a shell that runs nothing, a private scratch
// directory, a check that stops the fuzzer with a message, and the input
// filter for numbers that end the process by design.
//
// Every target installs the recording shell before its first input, so no
// command text taken from an input ever reaches /bin/sh, and works in a
// scratch directory of its own while it runs an input, so that the status
// file written by a reboot request lands there and nowhere else. Between
// inputs the current directory is the one the fuzzer was started in, where
// libFuzzer resolves its corpus and artifact paths; a finding reported from
// inside an input (a sanitizer report) is written by libFuzzer while the
// scratch directory is current, so give an absolute -artifact_prefix, as
// scripts/run_fuzzers.sh does.

#ifndef FUZZ_FUZZ_SUPPORT_H_
#define FUZZ_FUZZ_SUPPORT_H_

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "reboot.h"
#include "shell.h"

namespace quillon_fuzz {

// The scratch directory, and the directory the fuzzer was started in (as
// open descriptors, -1 until EnterSandbox).
struct SandboxState {
  std::string path;
  int scratchFd = -1;
  int startFd = -1;
};

inline SandboxState& Sandbox() {
  static SandboxState state;
  return state;
}

// Back to the directory the fuzzer was started in, where libFuzzer reads
// its corpus and writes its findings by relative paths.
inline void LeaveScratchDir() {
  if (Sandbox().startFd >= 0 && fchdir(Sandbox().startFd) != 0) _exit(2);
}

// Stops the fuzzer with a message when `condition` is false; libFuzzer
// saves the input as a crash.
#define FUZZ_CHECK(condition)                                              \
  do {                                                                     \
    if (!(condition)) {                                                    \
      ::quillon_fuzz::LeaveScratchDir();                                   \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__,     \
              #condition);                                                 \
      abort();                                                             \
    }                                                                      \
  } while (0)

// A shell that never starts anything: it records each command and answers
// with wait statuses from `replies`, in turn (0 when there are none).
class RecordingShell : public Shell {
 public:
  int System(const char* command, const sigset_t&) override {
    commands.emplace_back(command);
    if (replies.empty()) return 0;
    return replies[(commands.size() - 1) % replies.size()];
  }
  void Reset() {
    commands.clear();
    replies.clear();
  }

  std::vector<std::string> commands;
  std::vector<int> replies;
};

// Removes the files of directory `path` and the directory itself.
inline void RemoveDir(const std::string& path) {
  if (DIR* dir = opendir(path.c_str())) {
    while (struct dirent* entry = readdir(dir)) {
      std::string name = entry->d_name;
      if (name != "." && name != "..") unlink((path + "/" + name).c_str());
    }
    closedir(dir);
  }
  rmdir(path.c_str());
}

inline void RemoveScratchDir() {
  if (!Sandbox().path.empty()) RemoveDir(Sandbox().path);
}

// Removes the scratch directories in `base` of fuzzers that no longer run
// (libFuzzer does not always leave through exit(), and a crash never does).
inline void SweepStaleScratchDirs(const std::string& base) {
  static const char kPrefix[] = "quillon_fuzz.";
  DIR* dir = opendir(base.c_str());
  if (dir == nullptr) return;
  while (struct dirent* entry = readdir(dir)) {
    if (strncmp(entry->d_name, kPrefix, sizeof(kPrefix) - 1) != 0) continue;
    long pid = strtol(entry->d_name + sizeof(kPrefix) - 1, nullptr, 10);
    if (pid > 0 && kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)
      RemoveDir(base + "/" + entry->d_name);
  }
  closedir(dir);
}

// Installs `shell` for every command and reboot request, points the reboot
// program at a harmless name, and makes a fresh scratch directory
// "quillon_fuzz.<pid>" (on /dev/shm when there is one, so that the status
// file's flushes cost nothing), removed again at exit or by the next
// fuzzer that starts. Returns its path. Exits when none can be made.
inline std::string EnterSandbox(RecordingShell* shell) {
  SetShell(shell);
  pRebootProgram = "/bin/true";
  SandboxState& state = Sandbox();
  const std::string base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  SweepStaleScratchDirs(base);
  state.path = base + "/quillon_fuzz." + std::to_string(getpid());
  RemoveDir(state.path);
  if (mkdir(state.path.c_str(), 0700) != 0) {
    perror("quillon_fuzz: scratch directory");
    exit(2);
  }
  state.scratchFd = open(state.path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  state.startFd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (state.scratchFd < 0 || state.startFd < 0) {
    perror("quillon_fuzz: scratch directory");
    exit(2);
  }
  atexit(RemoveScratchDir);
  return state.path;
}

// Works in the scratch directory for its lifetime, so that the status file
// that a reboot request writes in the current directory lands there.
class InScratchDir {
 public:
  InScratchDir() {
    if (fchdir(Sandbox().scratchFd) != 0) _exit(2);
  }
  ~InScratchDir() { LeaveScratchDir(); }
  InScratchDir(const InScratchDir&) = delete;
  InScratchDir& operator=(const InScratchDir&) = delete;
};

// True when `text`, after every command placeholder is taken out, holds a
// run of more than 19 significant decimal digits.
//
// Such a number in an omit list ends the process with exit status 1
// (string2intA's out-of-range rule: the run stops on a package it cannot
// judge). libFuzzer counts any exit of the target as a crash, so the
// targets skip these inputs instead. Every number of 19 significant digits
// or fewer is below the range limit and is fuzzed as usual. The
// placeholders are taken out first because the command runner removes an
// unset placeholder, which joins the digits around it.
inline bool HasOverlongNumber(const std::string& text) {
  static const char* const kPlaceholders[] = {"!{EXTVAR}", "!{RESET}",
                                              "!{PARAM}"};
  std::string joined = text;
  for (bool removed = true; removed;) {
    removed = false;
    for (const char* placeholder : kPlaceholders) {
      std::string p(placeholder);
      for (size_t at; (at = joined.find(p)) != std::string::npos;) {
        joined.erase(at, p.size());
        removed = true;
      }
    }
  }
  size_t significant = 0;
  bool inRun = false;
  for (char c : joined) {
    if (c >= '0' && c <= '9') {
      if (!inRun) significant = 0;
      inRun = true;
      if (significant > 0 || c != '0') ++significant;
      if (significant > 19) return true;
    } else {
      inRun = false;
    }
  }
  return false;
}

}  // namespace quillon_fuzz

#endif  // FUZZ_FUZZ_SUPPORT_H_
