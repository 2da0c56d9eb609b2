// One run per package at a time.
//
// A run takes an exclusive advisory lock (flock) on its argument file before
// it writes anything: run log, status file or marks. A second Quillon
// started on the same package while the first one runs finds the lock held
// and ends without touching the package. The lock lives on a descriptor of
// its own (close-on-exec, never inherited by the commands) and is released
// by the kernel when the process ends, however it ends: a crashed run never
// leaves a stale lock behind.

#ifndef QUILLON_RUN_LOCK_H_
#define QUILLON_RUN_LOCK_H_

// Takes the lock on `argFileName` (relative to the current directory) and
// keeps it until the process ends. Returns true only when another process
// holds it. An argument file that cannot be opened, or a file system
// without flock, is not an error here: the run goes on and reports what
// it meets.
bool AnotherRunHoldsPackage(const char* argFileName);

#endif  // QUILLON_RUN_LOCK_H_
