// What stops a run from outside: SIGTERM, SIGINT and SIGHUP.
//
// By default these kill Quillon at once, leave the running command behind
// as an orphan and the line it was started from looking unfinished. Once
// InstallRunSignalHandlers has run, the first of them is recorded instead
// and passed on to the process group of the command that runs (each command
// runs in a group of its own, see shell.h); a further one kills that group
// with SIGKILL. The run looks at InterruptSignal() before it takes up a line
// and after every command, and ends with the handler error.
//
// SIGXFSZ gets a handler that does nothing, so that a file-size limit makes
// a write fail with EFBIG (which the writers report) instead of killing the
// run part-way. Handlers, unlike an ignored disposition, are reset to the
// default by exec: the commands see every signal as they would without
// Quillon.
//
// The process also becomes a child subreaper: a command's descendants that
// outlive it are handed to Quillon rather than to init, so that an
// interrupted command's whole group can be waited for and reaped.

#ifndef QUILLON_INTERRUPTS_H_
#define QUILLON_INTERRUPTS_H_

#include <sys/types.h>

// Installs the handlers above, and KeepRunningOnBrokenPipe's. Idempotent.
void InstallRunSignalHandlers();

// SIGPIPE gets a handler that does nothing: a write to a standard output
// whose reader has gone (`Quillon ... -d | head -0`) fails with EPIPE and is
// dropped, and the run, its files and its exit status are as without the
// pipe. Not an ignored disposition, which exec would hand on to the
// commands and change what they do.
void KeepRunningOnBrokenPipe();

// The first stopping signal received, or 0; how many were received.
int InterruptSignal();
int InterruptCount();

// The process group of the command that is running (0: none). A stopping
// signal is passed on to it. REQUIRES: the stopping signals are blocked
// while it is set, so that none is lost between the start and the record.
void SetRunningGroup(pid_t group);

// Waits until no process of `group` is left, reaping those handed to this
// process. Kills the group with SIGKILL once kGraceSeconds have passed.
// Gives up (false) when processes still show up well after that, which
// happens only with processes the kernel cannot end (uninterruptible I/O).
bool WaitForGroupToEnd(pid_t group);

// How long an interrupted command's group may take to end by itself.
const int kGraceSeconds = 10;

#endif  // QUILLON_INTERRUPTS_H_
