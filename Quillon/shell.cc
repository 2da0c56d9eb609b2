#include "shell.h"

#include <errno.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
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
  int recordError;  // written by the shell's process
};

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

// Waits for the shell `pid` and returns its wait status. Any other child
// that ends meanwhile is a command's orphan handed to Quillon: it is reaped
// at once, without touching the shell's status.
int WaitForShell(pid_t pid) {
  for (;;) {
    siginfo_t info;
    info.si_pid = 0;
    if (waitid(P_ALL, 0, &info, WEXITED | WNOWAIT) != 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (info.si_pid == pid) break;
    waitpid(info.si_pid, nullptr, WNOHANG);
  }
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

class SystemShell : public Shell {
 public:
  int System(const char* command, const sigset_t& commandMask) override;

 private:
  std::string bootId_;  // read once
  // The stack the shell's process runs on until it executes the shell; of
  // no use to anything else (what a process that never returns leaves in
  // it is never read again).
  alignas(16) char stack_[32 * 1024];
};

int SystemShell::System(const char* command, const sigset_t& commandMask) {
  if (bootId_.empty()) bootId_ = ReadBootId();
  char sh[] = "sh", dashC[] = "-c";
  char* argv[] = {sh, dashC, const_cast<char*>(command), nullptr};
  ShellStart start = {argv, &commandMask, bootId_.c_str(), 0};

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
  if (start.recordError != 0)
    QREPORT(1, "ERROR : process group %d of the command could not be "
            "recorded in \"%s\" (errno %d) - it runs unrecorded",
            static_cast<int>(pid), kGroupRecordName, start.recordError);
  // A stopping signal held back since the mark reaches the group now.
  sigprocmask(SIG_SETMASK, &commandMask, nullptr);

  int status = WaitForShell(pid);
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
