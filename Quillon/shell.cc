#include "shell.h"

#include <sys/wait.h>

#include <cstdlib>

#include "quillon.h"

namespace {

class SystemShell : public Shell {
 public:
  int System(const char* command) override { return system(command); }
};

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
