// The run's stage and result as the caller sees them: the status file
// written at each stage (its format and the ways it is written are
// status_file.h's) and the final code composed from the run result.

#ifndef QUILLON_RUN_STATUS_H_
#define QUILLON_RUN_STATUS_H_

// Records execstatus as the run's status (unless it is already 4) and writes
// the status file in the current directory with `ret`: replaced atomically,
// else rewritten in place, else removed (status_file.h). What it does is
// reported to the trace and the run log; the run goes on either way. Needs
// no memory and never raises, so that a run that ran out of it still ends
// with its status.
void SetExecStatus(int execstatus, int ret);

// The final code of a run from its result: outside autonomic mode the result
// with bit 0x100000 added for a delayed reboot; in autonomic mode a non-zero
// result as it is, else the code of the first condition flag set.
unsigned int ComposeFinalCode(unsigned int runResult);

#endif  // QUILLON_RUN_STATUS_H_
