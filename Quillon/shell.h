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
#include <sys/types.h>

#include <cstddef>

// Looks at a command's output while it runs (run_output_writer.h).
class OutputWatcher {
 public:
  virtual ~OutputWatcher() {}
  // Called while the shell runs: whenever the wake descriptor was readable,
  // and at least every kOutputWatchMilliseconds. True when it found the
  // output growing past its bound; the wait then pauses briefly before it
  // looks again, so that a command printing without end costs the run
  // little.
  virtual bool Check() = 0;
};

// Where a command's standard output and error go. The run hands the shell
// one descriptor for both: the command writes into the file itself, in
// the order it writes, and nothing of it passes through Quillon (a killed
// Quillon does not change what a running command does).
struct ShellOutput {
  int fd = -1;  // put on 1 and 2 of the shell; -1: they stay /dev/null
  // The start line the shell's process appends to fd before it executes
  // the shell: pieces[0], the offset it is written at, pieces[1], its own
  // pid, pieces[2] (run_output.h).
  const char* pieces[3] = {nullptr, nullptr, nullptr};
  size_t sizes[3] = {0, 0, 0};
  // Filled in by the shell: the offset of the start line and the bytes of
  // it written (-1: none), and the shell's pid.
  long long lineAt = -1;
  long long lineWritten = -1;
  pid_t pid = 0;
  // Readable when the output may have grown (-1: none); drained by the
  // shell before each Check.
  int wakeFd = -1;
  OutputWatcher* watcher = nullptr;
};

// How often the output is looked at when no wake comes, and the pause
// after a look that found it growing past its bound.
const int kOutputWatchMilliseconds = 100;
const long kOutputPauseNanoseconds = 200 * 1000;

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

  // The same, with the command's output going where `output` says (null:
  // as System). A shell that captures nothing runs it as System does.
  virtual int SystemWithOutput(const char* command,
                               const sigset_t& commandMask,
                               ShellOutput* output) {
    (void)output;
    return System(command, commandMask);
  }
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
