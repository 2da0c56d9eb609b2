#include "shell.h"

#include <errno.h>
#include <poll.h>
#include <sched.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "command_group.h"
#include "interrupts.h"
#include "report.h"

extern char** environ;

namespace {

// What system() reports for a shell that cannot be started.
const int kNotStarted = W_EXITCODE(127, 0);

// What the shell's process is given, and what it leaves for Quillon.
struct ShellStart {
  char* const* argv;
  const sigset_t* commandMask;
  const char* bootId;
  ShellOutput* output;  // null: 1 and 2 stay /dev/null
  int recordError;  // written by the shell's process
  char offsetDigits[24];
  char pidDigits[24];
};

// `value` in decimal into `digits`; returns the length. For the shell's
// process: no call, no stack of its own.
__attribute__((always_inline, no_sanitize("address"))) inline size_t
Decimal(unsigned long long value, char (&digits)[24]) {
  char reversed[24];
  size_t n = 0;
  do {
    reversed[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  for (size_t i = 0; i < n; ++i) digits[i] = reversed[n - 1 - i];
  return n;
}

// In the shell's process: appends the command's start line to the output
// (its offset and pid put in) and puts the output on 1 and 2.
__attribute__((always_inline, no_sanitize("address"))) inline void
StartOutput(ShellStart* start) {
  ShellOutput* out = start->output;
  off_t at = lseek(out->fd, 0, SEEK_END);
  if (at >= 0) {
    struct iovec line[5];
    line[0] = {const_cast<char*>(out->pieces[0]), out->sizes[0]};
    line[1] = {start->offsetDigits,
               Decimal(static_cast<unsigned long long>(at), start->offsetDigits)};
    line[2] = {const_cast<char*>(out->pieces[1]), out->sizes[1]};
    line[3] = {start->pidDigits,
               Decimal(static_cast<unsigned long long>(getpid()), start->pidDigits)};
    line[4] = {const_cast<char*>(out->pieces[2]), out->sizes[2]};
    out->lineAt = at;
    out->lineWritten = writev(out->fd, line, 5);
  }
  dup2(out->fd, 1);
  dup2(out->fd, 2);
}

// The shell's process, from its creation to the execution of the shell. It
// is made as posix_spawn makes it (CLONE_VM | CLONE_VFORK): it shares
// Quillon's memory and runs on a stack of its own while Quillon waits for
// the shell to be executed (or for this process to end). So it makes system
// calls only, and errno is Quillon's. Every signal is blocked on entry.
// Not instrumented by AddressSanitizer, whose bookkeeping at _exit takes
// this stack for Quillon's.
__attribute__((no_sanitize("address"))) int StartShell(void* argument) {
  ShellStart* start = static_cast<ShellStart*>(argument);
  setpgid(0, 0);
  start->recordError = RecordOwnGroup(kGroupRecordName, start->bootId);
  if (start->output != nullptr && start->output->fd >= 0) StartOutput(start);
  // A signal that comes before the shell is executed gets its default
  // action, as it would in the shell.
  ResetHandledSignals();
  sigprocmask(SIG_SETMASK, start->commandMask, nullptr);
  execve("/bin/sh", start->argv, environ);
  _exit(kNotStarted >> 8);
}

// Reaps every child that has ended; for when no shell is waited for.
void ReapEndedChildren() {
  while (waitpid(-1, nullptr, WNOHANG) > 0) {
  }
}

// Reaps every child that has ended but the shell `pid`: a command's orphan
// handed to Quillon, reaped at once without touching the shell's status.
// True once the shell has ended (or no child is left); with WNOHANG in
// `options`, false when none has ended, else it waits for the shell.
bool ReapOrphansUntilShellEnds(pid_t pid, int options) {
  for (;;) {
    siginfo_t info;
    info.si_pid = 0;
    if (waitid(P_ALL, 0, &info, WEXITED | WNOWAIT | options) != 0) {
      if (errno == EINTR) continue;
      return true;  // no child at all: waitpid on the shell says why
    }
    if (info.si_pid == pid) return true;
    if (info.si_pid == 0) return false;
    waitpid(info.si_pid, nullptr, WNOHANG);
  }
}

// Waits for the shell `pid` and returns its wait status, reaping orphans.
int WaitForShell(pid_t pid) {
  ReapOrphansUntilShellEnds(pid, 0);
  int status = -1;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) {
      status = -1;
      break;
    }
  }
  ReapEndedChildren();
  return status;
}

// WaitForShell, looking at the command's output meanwhile: the wait sleeps
// in poll on the shell's pidfd and the output's wake descriptor, reaping
// orphans between looks.
int WaitForShellWatching(pid_t pid, const ShellOutput& output) {
  int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  while (!ReapOrphansUntilShellEnds(pid, WNOHANG)) {
    struct pollfd wake[2] = {{pidfd, POLLIN, 0}, {output.wakeFd, POLLIN, 0}};
    // Without a pidfd (an older kernel) the end of the shell is seen at the
    // next look.
    poll(wake, 2, pidfd >= 0 ? kOutputWatchMilliseconds : 10);
    // A raw system call, like the watcher's look at the size: how often
    // they come depends on timing, and a run's calls through the C library
    // must be the same from one run to the next (the fault sweep counts
    // them).
    if (output.wakeFd >= 0) {
      char events[4096];
      while (syscall(SYS_read, output.wakeFd, events, sizeof(events)) > 0) {
      }
    }
    if (output.watcher->Check()) {
      struct timespec pause = {0, kOutputPauseNanoseconds};
      nanosleep(&pause, nullptr);
    }
  }
  if (pidfd >= 0) close(pidfd);
  return WaitForShell(pid);
}

class SystemShell : public Shell {
 public:
  int System(const char* command, const sigset_t& commandMask) override {
    return SystemWithOutput(command, commandMask, nullptr);
  }
  int SystemWithOutput(const char* command, const sigset_t& commandMask,
                       ShellOutput* output) override;

 private:
  std::string bootId_;  // read once
  // The stack the shell's process runs on until it executes the shell; of
  // no use to anything else (what a process that never returns leaves in
  // it is never read again).
  alignas(16) char stack_[32 * 1024];
};

int SystemShell::SystemWithOutput(const char* command,
                                  const sigset_t& commandMask,
                                  ShellOutput* output) {
  if (bootId_.empty()) bootId_ = ReadBootId();
  char sh[] = "sh", dashC[] = "-c";
  char* argv[] = {sh, dashC, const_cast<char*>(command), nullptr};
  ShellStart start = {argv, &commandMask, bootId_.c_str(), output, 0, {}, {}};

  sigset_t all, held;
  sigfillset(&all);
  sigprocmask(SIG_SETMASK, &all, &held);
  pid_t pid = clone(StartShell, stack_ + sizeof(stack_),
                    CLONE_VM | CLONE_VFORK | SIGCHLD, &start);
  int cloneError = errno;
  sigprocmask(SIG_SETMASK, &held, nullptr);
  if (pid < 0) {
    sigprocmask(SIG_SETMASK, &commandMask, nullptr);
    errno = cloneError;
    return kNotStarted;
  }
  SetRunningGroup(pid);
  if (output != nullptr) output->pid = pid;
  if (start.recordError != 0)
    QREPORT(1, "ERROR : process group %d of the command could not be "
            "recorded in \"%s\" (errno %d) - it runs unrecorded",
            static_cast<int>(pid), kGroupRecordName, start.recordError);
  // A stopping signal held back since the mark reaches the group now.
  sigprocmask(SIG_SETMASK, &commandMask, nullptr);

  int status = output != nullptr && output->fd >= 0 && output->watcher
                   ? WaitForShellWatching(pid, *output)
                   : WaitForShell(pid);
  if (InterruptSignal() != 0) WaitForGroupToEnd(pid);
  SetRunningGroup(0);
  if (start.recordError == 0) unlink(kGroupRecordName);
  errno = 0;
  return status;
}

SystemShell g_systemShell;
Shell* g_shell = &g_systemShell;

}  // namespace

Shell* CurrentShell() { return g_shell; }

void SetShell(Shell* shell) { g_shell = shell ? shell : &g_systemShell; }

unsigned int DecodeWaitStatus(int waitStatus) {
  if (waitStatus != -1 && WIFEXITED(waitStatus))
    return static_cast<unsigned int>(WEXITSTATUS(waitStatus));
  if (waitStatus != -1 && WIFSIGNALED(waitStatus))
    return static_cast<unsigned int>(WTERMSIG(waitStatus));
  return EXECERROR_HandlerError;
}
