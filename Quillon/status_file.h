// The status file "HandlerStatus.txt" and the run's final return code.
//
// The status file tells the caller how far the run got: Status=3 once the
// run has started, 4 once a reboot was requested (and from then on for the
// rest of the run), 5 when the run has ended. Its second line is the 32-bit
// return value in signed decimal. There is no line feed at the end.
//
// Durability: the file is replaced atomically. The new content is written to
// "HandlerStatus.txt.new" in the same directory (created exclusively, mode
// 0644, never through a link or a planted file), flushed to disk, and
// renamed over the old file; the directory is flushed too. A crash or power
// cut at any moment therefore leaves either the old or the new content,
// never an empty or torn file.
//
// When that fails (a full disk, a directory that takes no new file), the
// old file is rewritten in place and flushed: overwriting its few bytes
// needs no new block. Only a regular file of this user with one link is
// written so. A crash during that rewrite may leave it torn; it is the last
// resort. When even that fails, the old file is removed, so that it never
// shows an earlier stage or an earlier run's result as the current one.

#ifndef QUILLON_STATUS_FILE_H_
#define QUILLON_STATUS_FILE_H_

extern const char kStatusFileName[];
extern const char kStatusTempName[];  // the new content before its rename

// Records execstatus as the run's status (unless it is already 4) and writes
// the status file in the current directory with `ret`. Failures are reported
// to the trace and the run log; the run goes on either way. Needs no memory
// and never raises, so that a run that ran out of it still ends with its
// status.
void SetExecStatus(int execstatus, int ret);

// The final code of a run from its result: outside autonomic mode the result
// with bit 0x100000 added for a delayed reboot; in autonomic mode a non-zero
// result as it is, else the code of the first condition flag set.
unsigned int ComposeFinalCode(unsigned int runResult);

#endif  // QUILLON_STATUS_FILE_H_
