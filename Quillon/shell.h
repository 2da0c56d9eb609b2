// The one way the run starts a program: a command text handed to the system
// shell, waited for without a time limit. An interface, so that the
// judgement, resume and reboot logic can be tested with a fake that records
// the commands and returns chosen wait statuses.
//
// The real shell runs "/bin/sh -c <command>" as system() would, but in a
// process group of its own, so that a stopping signal sent to Quillon can be
// passed on to the command and everything it started (see interrupts.h).
// After such a signal it waits for the whole group, not only the shell, so
// that nothing of the command is left running when the run ends.

#ifndef QUILLON_SHELL_H_
#define QUILLON_SHELL_H_

class Shell {
 public:
  virtual ~Shell() {}
  // Runs `command` through "/bin/sh -c" and waits for it. Returns the raw
  // wait status as system() does (-1 when the shell could not be started,
  // with errno set: E2BIG for a command longer than the kernel takes).
  virtual int System(const char* command) = 0;
};

// The shell in use: the real one unless a test installed another.
Shell* CurrentShell();

// Installs `shell` (not owned) for the following calls; null restores the
// real shell.
void SetShell(Shell* shell);

// A command's return code from its wait status: the exit status for a normal
// exit, the signal number for a command killed by a signal, and
// EXECERROR_HandlerError for anything else (including a shell that could not
// be started).
unsigned int DecodeWaitStatus(int waitStatus);

#endif  // QUILLON_SHELL_H_
