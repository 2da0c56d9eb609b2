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
//
// The shell's process is made first and held before it executes anything
// until its group is recorded on disk (command_group.h): a run killed at
// any moment leaves either a record of the group or a command that never
// started (the held process ends when it finds Quillon gone).
//
// Quillon is a child subreaper (interrupts.h): a command's processes that
// outlive their parent are handed to it. While it waits for a shell it
// reaps every other child as it ends, and takes the status of the shell
// only where the run decodes it.

#ifndef QUILLON_SHELL_H_
#define QUILLON_SHELL_H_

#include <signal.h>

class Shell {
 public:
  virtual ~Shell() {}
  // Runs `command` through "/bin/sh -c" and waits for it. Returns the raw
  // wait status, as system() does: a shell that cannot be started or
  // executed (a command longer than the kernel takes for one argument, say)
  // is exit status 127. errno is 0 afterwards, unless the start failed in
  // this process (no process or descriptor to be had): then its error.
  //
  // REQUIRES: the stopping signals are held back by the caller
  // (StopSignalsHeld); `commandMask` is the mask from before the hold. The
  // shell gets it, and the process goes back to it as soon as the
  // command's group is recorded, so that a signal held back reaches the
  // command at once.
  virtual int System(const char* command, const sigset_t& commandMask) = 0;
};

// The shell in use: the real one unless a test installed another.
Shell* CurrentShell();

// Installs `shell` (not owned) for the following calls; null restores the
// real shell.
void SetShell(Shell* shell);

// A command's return code from its wait status: the exit status for a normal
// exit, the signal number for a command killed by a signal, and
// EXECERROR_HandlerError for anything else.
unsigned int DecodeWaitStatus(int waitStatus);

#endif  // QUILLON_SHELL_H_
