#include "shell.h"

#include <errno.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstdlib>

#include "interrupts.h"
#include "quillon.h"

extern char** environ;

namespace {

class SystemShell : public Shell {
 public:
  int System(const char* command) override;
};

int SystemShell::System(const char* command) {
  // The stopping signals stay blocked from before the start until the new
  // group is recorded, so none of them can miss the command.
  sigset_t stopping, previous;
  sigemptyset(&stopping);
  sigaddset(&stopping, SIGTERM);
  sigaddset(&stopping, SIGINT);
  sigaddset(&stopping, SIGHUP);
  sigprocmask(SIG_BLOCK, &stopping, &previous);

  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes,
                           POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK);
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setsigmask(&attributes, &previous);
  char sh[] = "sh", dashC[] = "-c";
  char* argv[] = {sh, dashC, const_cast<char*>(command), nullptr};
  pid_t pid = -1;
  int error = posix_spawn(&pid, "/bin/sh", nullptr, &attributes, argv, environ);
  posix_spawnattr_destroy(&attributes);
  if (error != 0) {
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    errno = error;
    return -1;
  }
  SetRunningGroup(pid);
  sigprocmask(SIG_SETMASK, &previous, nullptr);

  int status = -1;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) {
      status = -1;
      break;
    }
  }
  if (InterruptSignal() != 0) WaitForGroupToEnd(pid);
  SetRunningGroup(0);
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
